"""A /dev/log of our own, for scripts/serve on machines with no syslog daemon
(containers, CI: without /dev/log, diskrelay's syslog lines go to the console
and are lost), and for the tests and benchmarks that run diskrelay and want
its syslog lines caught or drained without a daemon. As root, the program
runs again in a mount namespace of its own with a writable overlay on /dev,
so that its socket on /dev/log is seen by the processes it starts and by
nothing else on the machine.

    if syslog_sink.missing():
        syslog_sink.reexec_private()      # returns only where that cannot be
    sink = syslog_sink.FileSink(path) if syslog_sink.private() else None
    sink = syslog_sink.Sink(lines.append)  # every datagram, as bytes

The mount namespace alone serves other tests that mount things
(reexec_private(), then private() says whether it worked).
"""

import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

DEV_LOG = "/dev/log"
MARK = "ORVANE_PRIVATE_MOUNTS"
LEVELS = ("emerg", "alert", "crit", "err", "warning", "notice", "info", "debug")


def missing():
    return not os.path.exists(DEV_LOG)


def reexec_private():
    """Runs this program again in a mount namespace of its own (same process
    id); returns when not root, already there, or without unshare."""
    if os.environ.get(MARK) or os.geteuid() != 0 or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        return
    os.environ[MARK] = "1"
    os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable, *sys.argv])


def drain():
    """As root, runs this program again in a mount namespace with a /dev/log
    of its own that reads and drops every line, as a syslog daemon would;
    returns whether it did."""
    reexec_private()
    if not private():
        return False
    Sink(lambda data: None)
    return True


def private():
    """Whether this process runs in the namespace reexec_private() made."""
    return os.environ.get(MARK) == "1" and os.geteuid() == 0


def overlay_dev():
    """Puts a writable overlay on /dev, with the mounts below it (pts, shm)
    carried over, since the overlay shows only /dev's own files."""
    scratch = tempfile.mkdtemp(prefix="orvane-serve-dev-")
    mount = lambda *args: subprocess.run(["mount", *args], check=True)
    mount("-t", "tmpfs", "none", scratch)
    with open("/proc/self/mountinfo", encoding="utf-8") as f:
        points = sorted({line.split()[4] for line in f if line.split()[4].startswith("/dev/")})
    below = [p for p in points if not any(p.startswith(q + "/") for q in points)]
    for n, point in enumerate(below):
        os.mkdir(f"{scratch}/{n}")
        mount("--rbind", point, f"{scratch}/{n}")
    os.mkdir(scratch + "/u")
    os.mkdir(scratch + "/w")
    mount("-t", "overlay", "overlay", "-o", f"lowerdir=/dev,upperdir={scratch}/u,workdir={scratch}/w", "/dev")
    for n, point in enumerate(below):
        mount("--move", f"{scratch}/{n}", point)
    subprocess.run(["umount", "-l", scratch], check=True)   # the overlay keeps what it uses
    os.rmdir(scratch)


def bind_dev_log():
    """A datagram socket bound on /dev/log in the private /dev, open to all
    (diskrelay runs as www-data under Apache)."""
    overlay_dev()
    if os.path.lexists(DEV_LOG):
        os.unlink(DEV_LOG)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(DEV_LOG)
    os.chmod(DEV_LOG, 0o666)
    sock.setblocking(False)
    return sock


class Sink:
    """The socket on /dev/log, read on a thread of its own: senders block once
    a few datagrams wait. Each datagram goes to take(bytes), under lock;
    drain() hands over what waits at once."""

    def __init__(self, take):
        self.sock = bind_dev_log()
        self.take = take
        self.lock = threading.Lock()
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def drain(self):
        with self.lock:
            while True:
                try:
                    data = self.sock.recv(65536)
                except (BlockingIOError, OSError):
                    return
                self.take(data)

    def _serve(self):
        while not self.stopping:
            select.select([self.sock], [], [], 0.2)
            self.drain()

    def close(self):
        self.stopping = True
        self.thread.join(2)
        self.sock.close()


class FileSink(Sink):
    """A Sink that appends each line to path as "<level> TEXT", TEXT as the
    sender wrote it."""

    def __init__(self, path):
        self.path = path
        self.out = open(path, "a", encoding="utf-8")
        super().__init__(self._write)

    def _write(self, data):
        data = data.decode("utf-8", "replace").rstrip("\0\n")
        level = ""
        if data.startswith("<") and ">" in data[:5]:
            pri, data = data[1:].split(">", 1)
            level = f"<{LEVELS[int(pri) & 7]}> " if pri.isdigit() else ""
        self.out.write(level + data + "\n")
        self.out.flush()

    def close(self):
        super().close()
        self.out.close()
