"""A real Active Directory domain for the tests: Samba's AD DC in a network
namespace of its own, and this process made the domain's member server.

    domain = Domain(cache_dir).start()     # DC up, this process is the member
    domain.join()                          # net ads join, keytab, winbindd
    ...  # Apache started now runs on the member: NTLM through winbind,
         # forms against the DC's KDC with the member's keytab
    domain.stop()

What tests use:
  USERS, PASSWORD     the accounts by state, all with the same password
  REALM, DOMAIN, DNS_DOMAIN, DC_IP, MEMBER_IP
  keytab              the member's keytab (/etc/krb5.keytab, from the join)
  env                 KRB5_CONFIG etc. for processes using the library
  run(argv)           a command on the member (its /etc, /run/samba)
  timings             seconds taken: provision (0 when cached), dc_start,
                      join, winbindd

The DC: `samba-tool domain provision` runs once per cache folder (the test
run's build tree) with every account made then; each start copies the
provisioned folder and rewrites its smb.conf for the copy, so a test's
lockouts never reach the next run. samba runs in a mount namespace of its
own (/run/samba bound to its folder) and in the namespace ov20-dc-PID, its
veth peer in ov20-mb-PID.

The member is this very process: start() moves it into a private mount and
UTS namespace (hostname "member") and into ov20-mb-PID, with an overlay over
/etc and private folders over /run/samba, /var/lib/samba, /var/cache/samba
and /var/log/samba. So the member's set-up is an administrator's, at the
usual paths (docs/operations.md, "Joining an Active Directory domain"), and
nothing reaches the host's /etc. Every process started afterwards (Apache,
curl, the NTLM client) lives on the member. Call start() before any thread
is started: a process with threads cannot leave its mount namespace.

Needs root and Debian's samba, samba-ad-dc, samba-ad-provision, winbind and
krb5-user packages.
"""

import ctypes
import os
import shutil
import socket
import subprocess
import tempfile
import time

from procs import Process, keep

REALM = "AD.ORVANE.TEST"
DNS_DOMAIN = "ad.orvane.test"
DOMAIN = "ORVANE"
DC_NAME = "dc1"
MEMBER_NAME = "member"
DC_IP = "10.220.0.1"
MEMBER_IP = "10.220.0.2"
ADMIN_PASSWORD = "Adm1n-Ov20!"
PASSWORD = "Secret-1a"
START_TIMEOUT = 60.0

# The accounts by the state the result codes tell apart. "locked" is locked
# out by two wrong passwords under its own password settings object (a
# domain-wide lockout policy would lock the others in wrong-password tests).
USERS = {"good": "alice", "disabled": "bob", "expired": "carol", "must_change": "dave", "locked": "erin"}
LOCKOUT_THRESHOLD = 2

# Provisioning, after which the DC runs from a copy of the folder.
PROVISION = [
    ["samba-tool", "domain", "provision", "--realm", REALM, "--domain", DOMAIN, "--server-role", "dc",
     "--dns-backend", "SAMBA_INTERNAL", "--adminpass", ADMIN_PASSWORD, "--host-name", DC_NAME,
     "--host-ip", DC_IP, "--targetdir", "{dir}", "--option", "dns forwarder = 127.0.0.1",
     "--option", "log file = {dir}/log.%m", "--option", "prefork children = 1"],
    # No expiry, so a cache of any age works; no domain-wide lockout.
    ["samba-tool", "domain", "passwordsettings", "set", "--max-pwd-age", "0", "--min-pwd-age", "0",
     "--complexity", "off", "--history-length", "0", "--account-lockout-threshold", "0"],
    *[["samba-tool", "user", "create", user, PASSWORD] + (["--must-change-at-next-login"] if state == "must_change"
                                                           else [])
      for state, user in USERS.items()],
    ["samba-tool", "user", "disable", USERS["disabled"]],
    ["samba-tool", "user", "setexpiry", USERS["expired"], "--days", "0"],
    ["samba-tool", "domain", "passwordsettings", "pso", "create", "test-lockout", "1",
     "--account-lockout-threshold", str(LOCKOUT_THRESHOLD), "--account-lockout-duration", "600",
     "--reset-account-lockout-after", "600"],
    ["samba-tool", "domain", "passwordsettings", "pso", "apply", "test-lockout", USERS["locked"]],
]

# The DC's own mount namespace: its run folder over /run/samba, then samba in
# the DC's network namespace. $1 folder, $2 network namespace.
DC_SHELL = ('mount --bind "$1/run" /run/samba && mount --bind "$1/hosts" /etc/hosts && '
            'exec nsenter --net="/run/netns/$2" samba --interactive --no-process-group '
            '-s "$1/etc/smb.conf" --debuglevel=1')

HOSTS = f"""127.0.0.1 localhost
{DC_IP} {DC_NAME}.{DNS_DOMAIN} {DC_NAME}
{MEMBER_IP} {MEMBER_NAME}.{DNS_DOMAIN} {MEMBER_NAME}
"""

# The member's configuration, as docs/operations.md gives it.
MEMBER_SMB_CONF = f"""[global]
    workgroup = {DOMAIN}
    realm = {REALM}
    security = ads
    netbios name = {MEMBER_NAME.upper()}
    kerberos method = secrets and keytab
    winbind use default domain = no
    idmap config * : backend = tdb
    idmap config * : range = 100000-199999
    load printers = no
    disable spoolss = yes
"""

MEMBER_KRB5_CONF = f"""[libdefaults]
    default_realm = {REALM}
    dns_lookup_kdc = false
    dns_lookup_realm = false
    rdns = false
    udp_preference_limit = 1

[realms]
    {REALM} = {{
        kdc = {DC_NAME}.{DNS_DOMAIN}
    }}

[domain_realm]
    .{DNS_DOMAIN} = {REALM}
"""

# The administrator's steps around winbindd's start (docs/operations.md):
# $ADMIN is "Administrator%password".
JOIN_SCRIPT = """\
net ads join -U "$ADMIN"
net ads keytab add HTTP -U "$ADMIN"
chgrp www-data /etc/krb5.keytab && chmod 0640 /etc/krb5.keytab
"""
WINBIND_ACCESS_SCRIPT = """\
usermod -a -G winbindd_priv www-data
chgrp winbindd_priv /var/lib/samba/winbindd_privileged
"""

CLONE_NEWNS = 0x00020000
CLONE_NEWUTS = 0x04000000
CLONE_NEWNET = 0x40000000


class DomainError(RuntimeError):
    pass


def _libc():
    return ctypes.CDLL(None, use_errno=True)


def _check(result, what):
    if result != 0:
        err = ctypes.get_errno()
        raise DomainError(f"{what}: {os.strerror(err)}")


def run(argv, timeout=120, check=True, **kwargs):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout,
                          **kwargs)
    if check and done.returncode != 0:
        raise DomainError(f"{' '.join(argv)} failed ({done.returncode}): {done.stdout}{done.stderr}")
    return done


def provision(cache):
    """Provisions the DC into cache/dc unless a finished one is there; returns
    the seconds it took (0 when cached)."""
    target = os.path.join(cache, "dc")
    if os.path.exists(os.path.join(target, "provisioned")):
        return 0.0
    began = time.monotonic()
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    conf = os.path.join(target, "etc", "smb.conf")
    for step in PROVISION:
        argv = [a.format(dir=target) for a in step]
        run(argv + ([] if step is PROVISION[0] else ["-s", conf]), timeout=300)
    # Where it was made: its smb.conf names that folder.
    with open(os.path.join(target, "provisioned"), "w") as f:
        f.write(target + "\n")
    return time.monotonic() - began


def _port_open(host, port):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex((host, port)) == 0


def _kill_netns(name):
    """SIGKILLs every process but this one in network namespace name."""
    try:
        inode = os.stat("/run/netns/" + name).st_ino
    except OSError:
        return
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if int(pid) != os.getpid() and os.stat(f"/proc/{pid}/ns/net").st_ino == inode:
                os.kill(int(pid), 9)
        except OSError:
            continue


class Domain:
    def __init__(self, cache):
        self.cache = cache
        tag = str(os.getpid())
        self.dc_ns = "ov20-dc-" + tag
        self.member_ns = "ov20-mb-" + tag
        self.veth = ("ov20d" + tag, "ov20m" + tag)
        self.dir = None
        self.dc = None
        self.winbindd = None
        self.timings = {}
        self._host_mnt = None

    # -- life cycle ---------------------------------------------------------

    def start(self):
        try:
            self.timings["provision"] = provision(self.cache)
            began = time.monotonic()
            self.dir = tempfile.mkdtemp(prefix="ov20-addc-")
            os.chmod(self.dir, 0o755)
            self._networks()
            self._become_member()
            self._start_dc()
            self.timings["dc_start"] = time.monotonic() - began
            return self
        except BaseException:
            self.stop()
            raise

    def join(self, files=None, join_script=JOIN_SCRIPT, access_script=WINBIND_ACCESS_SCRIPT):
        """Joins the member to the domain and starts winbindd, as
        docs/operations.md tells an administrator: files {path: text}
        (default: smb.conf and krb5.conf), the join script, winbindd, the
        script that lets Apache's children reach it."""
        began = time.monotonic()
        for path, text in (files or {"/etc/samba/smb.conf": MEMBER_SMB_CONF,
                                     "/etc/krb5.conf": MEMBER_KRB5_CONF}).items():
            self._write(path, text)
        self.script(join_script)
        self.timings["join"] = time.monotonic() - began
        self.start_winbindd()
        self.script(access_script)

    def script(self, text):
        """Runs an administrator's commands (bash, stopping at the first
        failure) on the member; $ADMIN is the administrator with password."""
        return run(["bash", "-euo", "pipefail", "-c", text],
                   env=dict(os.environ, ADMIN="Administrator%" + ADMIN_PASSWORD))

    def start_winbindd(self):
        began = time.monotonic()
        self.winbindd = Process(["winbindd", "--foreground", "--no-process-group", "--debug-stdout",
                                 "--debuglevel=1"], os.path.join(self.dir, "winbindd.out"))
        state = self.winbindd.wait_ready(lambda: run(["wbinfo", "-P"], check=False).returncode == 0,
                                         START_TIMEOUT)
        if state is not True:
            raise DomainError("winbindd not ready (%s): %s" % (state, self.read("winbindd.out")))
        self.timings["winbindd"] = time.monotonic() - began

    def stop_winbindd(self):
        # winbindd starts samba-dcerpcd, which outlives it: the session goes.
        if self.winbindd is not None:
            self.winbindd.stop()
            self.winbindd = None

    def stop(self):
        self.stop_winbindd()
        if self.dc is not None:
            self.dc.stop()
            self.dc = None
        # Daemons that left the sessions (samba-dcerpcd, the DC's winbindd)
        # live in the namespaces nobody else uses.
        for ns in (self.dc_ns, self.member_ns):
            _kill_netns(ns)
        if self._host_mnt is not None:
            for ns in (self.dc_ns, self.member_ns):
                run(["nsenter", "--mount=/proc/%d/fd/%d" % (os.getpid(), self._host_mnt), "ip", "netns", "del", ns],
                    check=False)
        if self.dir is not None and not keep():
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    # -- what tests use -----------------------------------------------------

    keytab = "/etc/krb5.keytab"

    def read(self, name):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def dc_log(self):
        return self.read("dc/samba.out")

    # -- helpers ------------------------------------------------------------

    def _write(self, path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def _networks(self):
        run(["ip", "netns", "add", self.dc_ns])
        run(["ip", "netns", "add", self.member_ns])
        d, m = self.veth
        run(["ip", "link", "add", d, "netns", self.dc_ns, "type", "veth", "peer", "name", m, "netns", self.member_ns])
        for ns, dev, ip in ((self.dc_ns, d, DC_IP), (self.member_ns, m, MEMBER_IP)):
            run(["ip", "-n", ns, "addr", "add", ip + "/24", "dev", dev])
            run(["ip", "-n", ns, "link", "set", dev, "up"])
            run(["ip", "-n", ns, "link", "set", "lo", "up"])

    def _become_member(self):
        """This process into private mount and UTS namespaces and the
        member's network namespace; /etc overlaid, Samba's folders private."""
        libc = _libc()
        self._host_mnt = os.open("/proc/self/ns/mnt", os.O_RDONLY)
        _check(libc.unshare(CLONE_NEWNS | CLONE_NEWUTS), "unshare")
        run(["mount", "--make-rprivate", "/"])
        name = MEMBER_NAME.encode()
        _check(libc.sethostname(name, len(name)), "sethostname")
        member = os.path.join(self.dir, "member")
        upper, work = os.path.join(member, "etc"), os.path.join(member, "etc.work")
        os.makedirs(upper)
        os.makedirs(work)
        run(["mount", "-t", "overlay", "overlay", "-o", f"lowerdir=/etc,upperdir={upper},workdir={work}", "/etc"])
        for folder in ("/run/samba", "/var/lib/samba", "/var/cache/samba", "/var/log/samba"):
            private = os.path.join(member, folder.strip("/").replace("/", "-"))
            os.makedirs(private)
            os.makedirs(folder, exist_ok=True)
            run(["mount", "--bind", private, folder])
        os.makedirs("/var/lib/samba/private", mode=0o700)
        self._write("/etc/hosts", HOSTS)
        self._write("/etc/resolv.conf", f"nameserver {DC_IP}\n")
        fd = os.open("/run/netns/" + self.member_ns, os.O_RDONLY)
        try:
            _check(libc.setns(fd, CLONE_NEWNET), "setns")
        finally:
            os.close(fd)

    def _start_dc(self):
        dc = os.path.join(self.dir, "dc")
        shutil.copytree(os.path.join(self.cache, "dc"), dc, symlinks=True)
        os.makedirs(os.path.join(dc, "run"), exist_ok=True)
        conf = os.path.join(dc, "etc", "smb.conf")
        with open(os.path.join(dc, "provisioned")) as f:
            made_in = f.read().strip()
        with open(conf) as f:
            text = f.read().replace(made_in, dc)
        self._write(conf, text)
        self._write(os.path.join(dc, "hosts"), HOSTS)
        self.dc = Process(["unshare", "--mount", "--propagation", "private", "sh", "-c", DC_SHELL, "dc", dc,
                           self.dc_ns], os.path.join(dc, "samba.out"), env=dict(os.environ, KRB5_CONFIG=os.path.join(
                               dc, "private", "krb5.conf")))
        state = self.dc.wait_ready(lambda: all(_port_open(DC_IP, p) for p in (88, 389, 445)), START_TIMEOUT)
        if state is not True:
            raise DomainError("the DC did not answer (%s): %s" % (state, self.dc_log()))
