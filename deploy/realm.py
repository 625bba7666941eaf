"""A real MIT Kerberos KDC on loopback, in a temporary realm, for scripts/serve
and the tests; and SilentKdc(), a KDC address that takes every message, never
answers, and counts who came (contacts).

    with KDC() as kdc:                        # or kdc = KDC().start() ... kdc.stop()
        kdc.add_user("alice", "Secret-1")
        env = dict(os.environ, **kdc.env)     # for processes using liblsaclient
        ...  # "ORVANE\\alice" with "Secret-1" now authenticates

What tests use:
  add_user(name, password, expired_password=, locked=, expired_account=,
           lockout=, preauth=)   principals; see add_user
  env                     KRB5_CONFIG, KRB5_KDC_PROFILE, KRB5CCNAME,
                          KRB5RCACHEDIR and LSACLIENT_CONF, to hand to Apache
                          or any process using the LSA client library
  realm, domain, port     the realm, the short domain mapped to it, the port
  keytab, service         the keytab of the service principal (HTTP/...) that
                          vouches for the KDC's replies, and its name
  write_library_config({domain: realm}, verify=True, extra="")   rewrites
                          the library's configuration; domains of this realm
                          name the keytab unless verify is false
  stop_kdc(), start_kdc() take the KDC away (the domain goes offline) and back
  kadmin(*command)        any other kadmin.local command in the realm
  add_krb5_conf(text)     appends to krb5.conf (e.g. SilentKdc.realm_conf)
  log(), path(name)       the KDC's log; files in the directory

Everything lives in one temporary directory: the database, krb5.conf and
kdc.conf (KRB5_CONFIG and KRB5_KDC_PROFILE point there, so nothing under /etc
is read), the KDC log and the LSA client's configuration, which maps the
short domain name (default "ORVANE") to the realm and verifies the KDC's
replies with the service keytab. Each KDC gets a realm name
and a port of its own: krb5kdc binds with SO_REUSEPORT, so a second KDC on a
port would silently share it; start() moves on to another port when it finds
any other process holding its port. krb5kdc runs in the foreground as our
child (a procs.Process); start() returns once it holds its port alone and
has issued a ticket for the principal "probe". The KDC and its directory also
go when the process that started it dies; ORVANE_KEEP=1 keeps the directory
after stop().

The directory and the configuration files in it are readable by all, so that
an Apache child running as www-data can use them; the database stays private.
Needs Debian's krb5-kdc, krb5-admin-server and krb5-user packages.
"""

import os
import secrets
import select
import shutil
import socket
import subprocess
import tempfile
import threading

from procs import Process, free_port, keep

SBIN = "/usr/sbin"
KINIT = "/usr/bin/kinit"
START_TIMEOUT = 30.0
LOCKOUT_POLICY = "lockout"

KRB5_CONF = """\
[libdefaults]
    default_realm = {realm}
    dns_lookup_kdc = false
    dns_lookup_realm = false
    dns_uri_lookup = false
    rdns = false
    noaddresses = true
    default_ccache_name = FILE:{dir}/ccache

[realms]
    {realm} = {{
        kdc = {address}:{port}
        primary_kdc = {address}:{port}
    }}

[logging]
    kdc = FILE:{dir}/kdc.log
    admin_server = FILE:{dir}/kadmin.log
    default = FILE:{dir}/krb5lib.log
"""

KDC_CONF = """\
[kdcdefaults]
    kdc_listen = {address}:{port}
    kdc_tcp_listen = {address}:{port}

[realms]
    {realm} = {{
        database_name = {dir}/principal
        key_stash_file = {dir}/stash
        acl_file = {dir}/kadm5.acl
        kdc_listen = {address}:{port}
        kdc_tcp_listen = {address}:{port}
        max_life = 1h
        max_renewable_life = 0
    }}
"""


class KDCError(RuntimeError):
    pass


def _socket_inodes(port):
    """Inodes of the sockets bound to port on IPv4 (UDP, or TCP listening)."""
    inodes = set()
    for table, listening in (("/proc/net/udp", None), ("/proc/net/tcp", "0A")):
        with open(table) as f:
            next(f)
            for line in f:
                fields = line.split()
                local, state, inode = fields[1], fields[3], fields[9]
                if int(local.split(":")[1], 16) == port and (listening is None or state == listening):
                    inodes.add(inode)
    return inodes


def _socket_owners(inodes):
    """Pids of the processes holding any of the socket inodes."""
    wanted = {"socket:[%s]" % i for i in inodes}
    owners = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
            for fd in fds:
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) in wanted:
                    owners.add(int(pid))
                    break
        except OSError:
            continue  # gone, or not ours to look at
    return owners


class KDC:
    """One KDC with its realm. Use as a context manager, or start()/stop().
    port is only the first port tried; the one in use is self.port.
    address is where it listens (another one than loopback for servers in
    other network namespaces, deploy/cluster.py)."""

    def __init__(self, domain="ORVANE", realm=None, port=None, address="127.0.0.1"):
        self.address = address
        self.domain = domain
        self.realm = realm or "T%s.ORVANE.TEST" % secrets.token_hex(4).upper()
        self.first_port = port
        self.dir = None
        self.port = None
        self.proc = None

    # -- life cycle ---------------------------------------------------------

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="orvane-kdc-")
        os.chmod(self.dir, 0o755)
        try:
            self._write_files(self.first_port or free_port(udp=True))
            self._run(SBIN + "/kdb5_util", "create", "-s", "-W", "-r", self.realm, "-P", secrets.token_hex(16))
            self.kadmin("add_policy", "-maxfailure", "3", "-lockoutduration", "1h", LOCKOUT_POLICY)
            self.kadmin("add_principal", "-randkey", "probe@" + self.realm)
            self.kadmin("ktadd", "-k", self.path("probe.keytab"), "-norandkey", "probe@" + self.realm)
            self.kadmin("add_principal", "-randkey", self.service)
            self.kadmin("ktadd", "-k", self.keytab, "-norandkey", self.service)
            os.chmod(self.keytab, 0o644)   # read by Apache children as www-data; a real one is 0640
            self.write_library_config({self.domain: self.realm})
            for _ in range(5):
                if self._try_start_kdc():
                    return self
                self._write_files(free_port(udp=True))
            raise KDCError("krb5kdc found no port of its own; see " + self.path("krb5kdc.out"))
        except BaseException:
            self.stop()
            raise

    def stop(self):
        self.stop_kdc()
        if self.dir is not None and not keep():
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def stop_kdc(self):
        """Stops the KDC process only: the realm becomes unreachable."""
        if self.proc is not None:
            self.proc.stop()
            self.proc = None

    def start_kdc(self):
        """Starts the KDC process again, on the same port."""
        if not self._try_start_kdc():
            raise KDCError("krb5kdc could not take port %d back" % self.port)

    # -- what tests use -----------------------------------------------------

    def path(self, name):
        return os.path.join(self.dir, name)

    @property
    def keytab(self):
        return self.path("service.keytab")

    @property
    def service(self):
        return "HTTP/lsa.orvane.test@" + self.realm

    @property
    def env(self):
        """Environment for processes that talk to this KDC."""
        return {
            "KRB5_CONFIG": self.path("krb5.conf"),
            "KRB5_KDC_PROFILE": self.path("kdc.conf"),
            "KRB5CCNAME": "FILE:" + self.path("ccache"),
            "KRB5RCACHEDIR": self.dir,
            "LSACLIENT_CONF": self.path("lsaclient.conf"),
        }

    def add_user(self, name, password, expired_password=False, locked=False, expired_account=False,
                 lockout=False, preauth=True):
        """Adds name@REALM, with pre-authentication required as a Windows
        domain does unless preauth is false. name is in kadmin syntax: "a/b"
        has two components, "a\\/b" and "a\\@b" one. locked disables the
        account; lockout puts it under a policy that locks it after 3 wrong
        passwords in a row."""
        args = ["+requires_preauth" if preauth else "-requires_preauth", "-pw", password]
        if expired_password:
            args += ["-pwexpire", "2000-01-01 00:00:00 UTC"]
        if locked:
            args += ["-allow_tix"]
        if expired_account:
            args += ["-expire", "2000-01-01 00:00:00 UTC"]
        if lockout:
            args += ["-policy", LOCKOUT_POLICY]
        self.kadmin("add_principal", *args, "%s@%s" % (name, self.realm))

    def kadmin(self, *command):
        """Runs one kadmin.local command in the realm; returns its output."""
        return self._run(SBIN + "/kadmin.local", "-r", self.realm, *command)

    def add_krb5_conf(self, text):
        with open(self.path("krb5.conf"), "a") as f:
            f.write(text)

    def write_library_config(self, mapping, verify=True, extra=""):
        """Writes the LSA client's configuration: {domain: realm}; domains
        of this realm name the service keytab unless verify is false; extra
        lines go at the end."""
        lines = ["%s = %s%s\n" % (domain, realm, " " + self.keytab if verify and realm == self.realm else "")
                 for domain, realm in mapping.items()]
        self._write("lsaclient.conf", "# domain = realm [keytab]\n" + "".join(lines) + extra)

    def log(self):
        """The KDC's log so far."""
        try:
            with open(self.path("kdc.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    # -- helpers ------------------------------------------------------------

    def _write_files(self, port):
        self.port = port
        values = {"realm": self.realm, "port": port, "dir": self.dir, "address": self.address}
        for name, template in (("krb5.conf", KRB5_CONF), ("kdc.conf", KDC_CONF)):
            self._write(name, template.format(**values))
        self._write("kadm5.acl", "")

    def _write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        os.chmod(self.path(name), 0o644)

    def _run(self, *argv):
        env = dict(os.environ, **self.env)
        done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=60)
        if done.returncode != 0:
            raise KDCError("%s failed (%d): %s%s" % (argv[0], done.returncode, done.stdout, done.stderr))
        return done.stdout

    def _try_start_kdc(self):
        """Starts krb5kdc; True once it alone holds the port and answers.
        False (and no KDC) when it could not bind or shares the port."""
        self.proc = Process([SBIN + "/krb5kdc", "-n", "-r", self.realm], self.path("krb5kdc.out"),
                            env=dict(os.environ, **self.env), folder=self.dir)

        def alone_and_answering():
            inodes = _socket_inodes(self.port)
            if len(inodes) < 2:  # UDP and TCP
                return None
            if _socket_owners(inodes) != {self.proc.pid}:
                return "shared"  # krb5kdc binds with SO_REUSEPORT: we would share the port
            return "ready" if self._probe() else None

        state = self.proc.wait_ready(alone_and_answering, START_TIMEOUT)
        if state == "ready":
            return True
        self.stop_kdc()
        if state == "timeout":
            raise KDCError("krb5kdc did not answer within %.0f s; see %s" % (START_TIMEOUT, self.path("kdc.log")))
        return False

    def _probe(self):
        """True when the KDC on our port issues a ticket in our realm."""
        done = subprocess.run([KINIT, "-k", "-t", self.path("probe.keytab"), "probe@" + self.realm],
                              env=dict(os.environ, **self.env), stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=30)
        return done.returncode == 0


class SilentKdc:
    """A loopback KDC address (TCP and UDP on one port) that accepts every
    connection and datagram and never answers. contacts counts them."""

    def __init__(self):
        while True:
            self.port = free_port(udp=True)
            self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            try:
                self.tcp.bind(("127.0.0.1", self.port))
                self.udp.bind(("127.0.0.1", self.port))
                break
            except OSError:
                self.tcp.close()
                self.udp.close()
        self.tcp.listen(64)
        self.contacts = 0
        self._held = []
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def realm_conf(self, realm):
        """krb5.conf text that makes this address the realm's KDC."""
        return "[realms]\n    %s = {\n        kdc = 127.0.0.1:%d\n    }\n" % (realm, self.port)

    def _serve(self):
        while True:
            ready = select.select([self.tcp, self.udp, self._stop_r], [], [])[0]
            if self._stop_r in ready:
                return
            if self.tcp in ready:
                self._held.append(self.tcp.accept()[0])
                self.contacts += 1
            if self.udp in ready:
                self.udp.recv(65536)
                self.contacts += 1

    def stop(self):
        os.write(self._stop_w, b"x")
        self._thread.join()
        for sock in self._held + [self.tcp, self.udp]:
            sock.close()
        os.close(self._stop_r)
        os.close(self._stop_w)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
