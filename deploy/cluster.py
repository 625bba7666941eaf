"""The site on several hosts behind a TCP balancer, over one Gluster volume,
in network namespaces of its own (names beginning "ov21-"), for the
cluster tests, the bench and `scripts/serve --cluster N`.

    with Cluster(build_dir, hosts=2, user=("alice", "Secret-1")) as cluster:
        device = cluster.ca.issue("device", DEVICE)
        cluster.device_folder(DEVICE)
        curl(cluster.url("/chunks/..."), ...)   # through the balancer

Topology (docs/scale-out.md): a bridge ov21-br holding 10.21.0.1, the
address of this (root) namespace, where clients and the KDC are; the
storage namespace ov21-st (10.21.0.2) with glusterd and the brick; the
balancer's ov21-lb (10.21.0.3:443) running HAProxy in TCP mode with health
checks and PROXY v2; and hosts ov21-h1, ov21-h2, ... (10.21.0.11, ...), each
with a FUSE mount of the volume, its own admission daemon on a socket
path of its own (path-based Unix sockets are shared by all namespaces), and
Apache serving the site of site.conf.in rendered for it, with the balancer
as the only sender of PROXY headers believed.

Every server is a procs.Process, stopped by its pid's session; glusterd
runs in a mount namespace of its own where Gluster's fixed folders
(/var/lib/glusterd, /var/log/glusterfs, /run/gluster) are folders of ours,
so nothing of it stays on the machine. stop() unmounts, removes the
namespaces and the bridge, and the folder unless ORVANE_KEEP is set.
"""

import glob
import http.client
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time

import httpd as httpd_mod
from admissiond import Admissiond
from procs import Process, keep
from realm import KDC
from site_config import MODULES, loads, ntlm_user_file, site_conf
from tlsca import CA

PREFIX = "ov21-"
BRIDGE = PREFIX + "br"
NET = "10.21.0."
CLIENT_ADDR = NET + "1"      # this namespace: clients, the KDC
STORAGE_ADDR = NET + "2"
BALANCER_ADDR = NET + "3"
PORT = 443
VOLUME = PREFIX + "images"
NETNS_DIR = "/run/netns"
GSYNCD = "/usr/lib/x86_64-linux-gnu/glusterfs/gsyncd"
GLUSTER_DIRS = ("/var/lib/glusterd", "/var/log/glusterfs", "/run/gluster")

# Without them a write fdatasync'ed on one host was read stale on another
# for about a second: every host must see at once what another stored.
VOLUME_OPTIONS = (("performance.stat-prefetch", "off"), ("performance.quick-read", "off"),
                  ("performance.open-behind", "off"))
MOUNT_OPTIONS = ("--attribute-timeout=0", "--entry-timeout=0")

START_DEADLINE = 30.0
# Who runs the cluster: "pid folder", so that the next one can clear what
# a cluster whose owner was killed left behind.
OWNER = "/tmp/" + PREFIX + "cluster.owner"

GLUSTERD_VOL = """\
volume management
    type mgmt/glusterd
    option working-directory {dir}/glusterd
    option run-directory {dir}/run
    option glusterd-sockfile {dir}/run/glusterd.socket
    option transport-type socket
    option transport.socket.listen-port 24007
    option transport.socket.bind-address {address}
    option ping-timeout 0
    option event-threads 1
end-volume
"""

# glusterd asks its geo-replication helper for a while at every start
# (about 8 s); this one only says its version.
GSYNCD_STUB = '#!/bin/sh\n[ "$1" = --version ] && echo "gsyncd.py 4.0.0"\nexit 0\n'

HAPROXY_CFG = """\
global
    maxconn 1024
    stats socket {dir}/haproxy.sock mode 600 level admin
    log stdout format raw local0 info

defaults
    mode tcp
    log global
    option tcplog
    timeout connect 2s
    timeout client 120s
    timeout server 120s
    # A connection refused by a host that just went is tried again on another.
    retries 2
    option redispatch

frontend site
    bind {address}:{port}
    default_backend hosts

backend hosts
    balance roundrobin
    # TLS passes through: each host sees the device certificate. The health
    # check is an HTTPS request with a PROXY header of its own, so a host
    # whose Apache hangs is taken out too.
    option httpchk
    http-check send meth GET uri /__fixture_ready ver HTTP/1.1 hdr Host {address}
    http-check expect status 200
    default-server send-proxy-v2 check check-ssl verify none check-send-proxy inter 300 fall 2 rise 1
{servers}
"""


def host_addr(index):
    """Address of host index (1, 2, ...)."""
    return f"{NET}{10 + index}"


def run(*argv, timeout=30):
    r = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({r.returncode}): {r.stdout}{r.stderr}")
    return r.stdout


def in_netns(ns, argv):
    """argv run in namespace ns's network, with this mount namespace."""
    return ["nsenter", f"--net={NETNS_DIR}/{ns}", *argv]


class HostApache(httpd_mod.TlsApache):
    """An Apache in a host's network namespace, on its own address; the
    site's certificate (for the balancer's address) instead of its own."""

    ns = address = None

    def place(self, ns, address, cert):
        self.ns, self.address, self.server_cert, self.port = ns, address, cert, PORT
        return self

    def listen_conf(self):
        # Named as clients call the site: the balancer's address.
        return (super().listen_conf().replace(f"Listen 127.0.0.1:{self.port}", f"Listen {self.address}:{self.port}") +
                f"\nServerName {BALANCER_ADDR}")

    def _argv(self):
        return in_netns(self.ns, super()._argv())

    def url(self, path="/"):
        return f"https://{self.address}:{self.port}{path}"

    def connection(self, timeout=60, nodelay=False, cert=None):
        # Straight to the host, as the balancer's health check does: the
        # certificate names the balancer's address, not the host's.
        ctx = self.ssl_context(cert)
        ctx.check_hostname = False
        return self._nodelay(http.client.HTTPSConnection(self.address, self.port, timeout=timeout, context=ctx),
                             nodelay)


class Host:
    def __init__(self, index):
        self.index = index
        self.name = f"h{index}"
        self.ns = PREFIX + self.name
        self.address = host_addr(index)
        self.mount = None
        self.client = None     # the volume's FUSE client (Process)
        self.adm = None
        self.httpd = None


class Cluster:
    def __init__(self, build_dir, hosts=2, limit=8, retry=30, domain="ORVANE", user=None,
                 storage_timeout=25, ping_timeout=42, apache_class=HostApache):
        """user: (name, password) of a domain user, for the form login (a
        KDC of the cluster's own, on CLIENT_ADDR) and NTLM (the user
        file); storage_timeout: diskrelay's
        UPLOAD_STORAGE_TIMEOUT; ping_timeout: the volume's network.ping-timeout
        (how long its clients wait for a silent brick); apache_class: a
        HostApache (the tests add their log verdict)."""
        self.build_dir = build_dir
        self.hosts = [Host(i + 1) for i in range(hosts)]
        self.limit, self.retry = limit, retry
        self.kdc, self.domain, self.user = None, domain, user
        self.storage_timeout, self.ping_timeout = storage_timeout, ping_timeout
        self.apache_class = apache_class
        self.dir = None
        self.namespaces = []
        self.glusterd = None
        self.made_dirs = []   # Gluster's fixed folders this machine lacked
        self.haproxy = None
        self.ca = None

    # -- what users of the cluster use ----------------------------------------

    def url(self, path="/"):
        return f"https://{BALANCER_ADDR}:{PORT}{path}"

    @property
    def images(self):
        """The image folder as the first host mounts it."""
        return os.path.join(self.hosts[0].mount, "images")

    def device_folder(self, device):
        """Makes the device's image folder on the volume; returns its path."""
        path = os.path.join(self.images, device)
        os.makedirs(path, 0o755, exist_ok=True)
        uid, gid = httpd_mod.www_ids()
        os.chown(path, uid, gid)
        return path

    def brick_pids(self, folder=None):
        """The brick processes of the volume (glusterd starts them in
        sessions of their own)."""
        folder = folder or self.dir
        pids = []
        for pid_file in glob.glob(os.path.join(folder, "run", "vols", "*", "*.pid")):
            try:
                with open(pid_file, encoding="ascii") as f:
                    pid = int(f.read().strip())
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if folder.encode() in f.read():
                        pids.append(pid)
            except (OSError, ValueError):
                continue
        return pids

    def freeze_volume(self, frozen=True):
        """Stops (or resumes) the brick: the volume stops answering."""
        for pid in self.brick_pids():
            os.kill(pid, signal.SIGSTOP if frozen else signal.SIGCONT)

    def backends(self):
        """{server name: "UP"/"DOWN"/...} as the balancer sees them."""
        reply = self.haproxy_command("show stat")
        states = {}
        for line in reply.splitlines():
            fields = line.split(",")
            if len(fields) > 17 and fields[0] == "hosts" and fields[1] not in ("BACKEND",):
                states[fields[1]] = fields[17]
        return states

    def haproxy_command(self, command):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(os.path.join(self.dir, "haproxy.sock"))
            s.sendall(command.encode() + b"\n")
            out = b""
            while more := s.recv(65536):
                out += more
        return out.decode()

    def wait_backends(self, expected, timeout=10):
        """Waits until the balancer sees the hosts as expected ({name: "UP"});
        returns what it saw last."""
        deadline = time.monotonic() + timeout
        while True:
            seen = self.backends()
            if all(seen.get(k) == v for k, v in expected.items()) or time.monotonic() > deadline:
                return seen
            time.sleep(0.1)

    # -- life cycle -----------------------------------------------------------

    def __enter__(self):
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._clear_leftovers()
        if os.path.exists(os.path.join("/sys/class/net", BRIDGE)):
            raise RuntimeError(f"{BRIDGE} exists: another cluster runs (see {OWNER})")
        self.dir = tempfile.mkdtemp(prefix=PREFIX + "cluster-")
        os.chmod(self.dir, 0o711)
        with open(OWNER, "w", encoding="utf-8") as f:
            f.write(f"{os.getpid()} {self.dir}\n")
        self._network()
        if self.user:
            self.kdc = KDC(domain=self.domain, address=CLIENT_ADDR).start()
            self.kdc.add_user(*self.user)
        self._volume()
        self.ca = CA(os.path.join(self.dir, "ca"))
        site_cert = self.ca.issue("site", BALANCER_ADDR, server=True, addresses=(BALANCER_ADDR,))
        for host in self.hosts:
            self._mount(host)
        os.makedirs(self.images, exist_ok=True)
        uid, gid = httpd_mod.www_ids()
        os.chown(self.images, uid, gid)
        for host in self.hosts:
            self._serve(host, site_cert)
        self._balancer()
        return self

    def stop(self):
        if self.haproxy is not None:
            self.haproxy.stop()
            self.haproxy = None
        for host in self.hosts:
            if host.httpd is not None:
                host.httpd.stop()
            if host.adm is not None:
                host.adm.stop()
            if host.mount and os.path.ismount(host.mount):
                subprocess.run(["umount", "-l", host.mount], capture_output=True, timeout=30)
            if host.client is not None:
                host.client.stop()
                host.client = None
        if self.kdc is not None:
            self.kdc.stop()
            self.kdc = None
        if self.glusterd is not None:
            self.freeze_volume(False)
            bricks = self.brick_pids()
            self.glusterd.stop()
            self.glusterd = None
            for pid in bricks:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        for folder in reversed(self.made_dirs):
            try:
                os.rmdir(folder)
            except OSError:
                pass
        self.made_dirs = []
        for ns in reversed(self.namespaces):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)
        self.namespaces = []
        if os.path.exists(os.path.join("/sys/class/net", BRIDGE)) and self.dir:
            subprocess.run(["ip", "link", "del", BRIDGE], capture_output=True, timeout=30)
        if self.dir and self._owner() == (os.getpid(), self.dir):
            os.unlink(OWNER)
        if self.dir and not keep():
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    @staticmethod
    def _owner():
        """(pid, folder) of the cluster that runs or ran last, or None."""
        try:
            with open(OWNER, encoding="utf-8") as f:
                pid, folder = f.read().split()
            return int(pid), folder
        except (OSError, ValueError):
            return None

    def _clear_leftovers(self):
        """What a cluster whose owner was killed outright leaves: the
        watchdogs of its servers stopped their sessions, but not the brick
        (a session of its own), the mounts, the namespaces and the bridge."""
        owner = self._owner()
        if owner is None:
            return
        pid, folder = owner
        try:
            os.kill(pid, 0)
            return          # it still runs
        except ProcessLookupError:
            pass
        for brick in self.brick_pids(folder):
            os.kill(brick, signal.SIGKILL)
        for mount in glob.glob(os.path.join(folder, "mnt-*")):
            subprocess.run(["umount", "-l", mount], capture_output=True, timeout=30)
        listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True, timeout=30).stdout
        for ns in [line.split()[0] for line in listed.splitlines() if line.startswith(PREFIX)]:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)
        subprocess.run(["ip", "link", "del", BRIDGE], capture_output=True, timeout=30)
        shutil.rmtree(folder, ignore_errors=True)
        os.unlink(OWNER)

    def kill_host(self, host):
        """Kills a host's Apache outright, with every program it runs, as a
        host that dies; its admission daemon and mount stay."""
        if host.httpd.proc is not None:
            host.httpd.proc.signal_session(signal.SIGKILL)
        host.httpd.stop(keep_root=True)

    def restart_host(self, host):
        host.httpd.start()

    # -- the parts ------------------------------------------------------------

    def _network(self):
        run("ip", "link", "add", BRIDGE, "type", "bridge")
        run("ip", "addr", "add", CLIENT_ADDR + "/24", "dev", BRIDGE)
        run("ip", "link", "set", BRIDGE, "up")
        parts = [("st", STORAGE_ADDR), ("lb", BALANCER_ADDR)] + [(h.name, h.address) for h in self.hosts]
        for name, address in parts:
            ns = PREFIX + name
            run("ip", "netns", "add", ns)
            self.namespaces.append(ns)
            run("ip", "link", "add", f"{PREFIX}{name}-v", "type", "veth", "peer", "name", "eth0", "netns", ns)
            run("ip", "link", "set", f"{PREFIX}{name}-v", "master", BRIDGE, "up")
            run("ip", "-n", ns, "addr", "add", address + "/24", "dev", "eth0")
            run("ip", "-n", ns, "link", "set", "eth0", "up")
            run("ip", "-n", ns, "link", "set", "lo", "up")

    def gluster(self, *args):
        """The gluster command line, in glusterd's mount namespace (its
        history and log go to our folders)."""
        # --root: entering a mount namespace resets the root directory to the
        # namespace's own, which is not glusterd's when it runs in a chroot.
        return run("nsenter", f"--target={self.glusterd.pid}", "--mount", "--root", "gluster", "--mode=script",
                   f"--glusterd-sock={self.dir}/run/glusterd.socket", *args, timeout=60)

    def _volume(self):
        for sub in ("glusterd", "run", "brick", "state/lib", "state/log", "state/run"):
            os.makedirs(os.path.join(self.dir, sub))
        vol = os.path.join(self.dir, "glusterd.vol")
        with open(vol, "w", encoding="ascii") as f:
            f.write(GLUSTERD_VOL.format(dir=self.dir, address=STORAGE_ADDR))
        stub = os.path.join(self.dir, "gsyncd")
        with open(stub, "w", encoding="ascii") as f:
            f.write(GSYNCD_STUB)
        os.chmod(stub, 0o755)
        binds = [(stub, GSYNCD)] + list(zip((f"{self.dir}/state/{d}" for d in ("lib", "log", "run")), GLUSTER_DIRS))
        # The mount points: /run/gluster is made at boot only where glusterd
        # runs as a service, so a machine may lack it. Made empty, and
        # removed again by stop.
        for _, dst in binds:
            if not os.path.exists(dst):
                os.makedirs(dst)
                self.made_dirs.append(dst)
        script = " && ".join(f"mount --bind {src} {dst}" for src, dst in binds)
        script += f" && exec glusterd -N -f {vol} -p {self.dir}/run/glusterd.pid -l {self.dir}/glusterd.log"
        self.glusterd = Process(in_netns(PREFIX + "st", ["unshare", "-m", "--propagation", "private",
                                                          "sh", "-c", script]),
                                os.path.join(self.dir, "glusterd.out"))

        def answers():
            if not os.path.exists(f"{self.dir}/run/glusterd.socket"):
                return None
            try:
                self.gluster("volume", "list")
                return "ready"
            except RuntimeError:
                return None
        self._ready(self.glusterd, answers, "glusterd", os.path.join(self.dir, "glusterd.log"))
        self.gluster("volume", "create", VOLUME, f"{STORAGE_ADDR}:{self.dir}/brick", "force")
        options = VOLUME_OPTIONS + (("network.ping-timeout", str(self.ping_timeout)),)
        self.gluster("volume", "set", VOLUME, *(word for pair in options for word in pair))
        self.gluster("volume", "start", VOLUME)

    def _mount(self, host):
        host.mount = os.path.join(self.dir, "mnt-" + host.name)
        os.makedirs(host.mount)
        host.client = Process(in_netns(host.ns, ["glusterfs", "-N", f"--volfile-server={STORAGE_ADDR}",
                                                 f"--volfile-id={VOLUME}", *MOUNT_OPTIONS,
                                                 f"--log-file={self.dir}/mount-{host.name}.log", host.mount]),
                              os.path.join(self.dir, f"mount-{host.name}.out"))
        self._ready(host.client, lambda: os.path.ismount(host.mount) and "ready", "mount of " + host.name,
                    os.path.join(self.dir, f"mount-{host.name}.log"))

    def _serve(self, host, site_cert):
        host.adm = Admissiond(limit=self.limit, retry=self.retry, parent=self.dir).start()
        httpd = self.apache_class(PREFIX + host.name, ca=self.ca, modules=MODULES, load=loads(self.build_dir),
                                  env=dict(self.kdc.env) if self.kdc else {}, perturb_malloc=False)
        host.httpd = httpd.place(host.ns, host.address, site_cert)
        if self.user:
            ntlm_user_file(httpd, self.domain, *self.user)
        httpd.conf = (site_conf(httpd, self.build_dir, os.path.join(host.mount, "images"), host.adm.socket_path,
                                self.domain, balancer=BALANCER_ADDR) +
                      f"\nSetEnv UPLOAD_STORAGE_TIMEOUT {self.storage_timeout}\n")
        httpd.start()

    def _balancer(self):
        cfg = os.path.join(self.dir, "haproxy.cfg")
        servers = "\n".join(f"    server {h.name} {h.address}:{PORT}" for h in self.hosts)
        with open(cfg, "w", encoding="ascii") as f:
            f.write(HAPROXY_CFG.format(dir=self.dir, address=BALANCER_ADDR, port=PORT, servers=servers))
        log = os.path.join(self.dir, "haproxy.log")
        self.haproxy = Process(in_netns(PREFIX + "lb", ["haproxy", "-db", "-f", cfg]), log)

        def all_up():
            try:
                return set(self.backends().values()) == {"UP"} and "ready"
            except OSError:
                return None
        self._ready(self.haproxy, all_up, "haproxy", log)

    @staticmethod
    def _ready(proc, probe, what, log):
        state = proc.wait_ready(probe, START_DEADLINE)
        if state != "ready" and state is not True:
            proc.stop()
            text = httpd_mod.read_from(log)[-3000:]
            raise RuntimeError(f"{what}: {state}\n{text}")

    def ssl_context(self, cert=None):
        """A client context for the site through the balancer."""
        ctx = ssl.create_default_context(cafile=self.ca.cert)
        if cert:
            ctx.load_cert_chain(cert.cert, cert.key)
        return ctx
