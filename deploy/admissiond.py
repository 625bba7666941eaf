"""A real admissiond on a Unix socket in a private temporary folder, for
scripts/serve and the tests; connect(), exchange(), read_to_end() and
read_status() talk to it as its clients do.

    with Admissiond(limit=8, retry=30) as adm:
        env = {"ADM_CTRL_PATH": adm.socket_path}
        ...
        adm.status()   # {'running': 0, 'peak': 3, 'admitted': 3, 'denied': 0}

The folder has mode 0711 and the socket 0666, so CGI programs running as the
web server's user reach it. The daemon logs to stderr, kept in log_path. It
runs as a procs.Process: the daemon and its folder go when the process that
started it dies; ORVANE_KEEP=1 keeps the folder after stop().
"""

import os
import shutil
import signal
import socket
import tempfile
import time

from procs import Process, keep

STATUS_FIELDS = ("running", "peak", "admitted", "denied")


def binary_path():
    build = os.environ.get("ORVANE_BUILD_DIR")
    if not build:
        raise RuntimeError("ORVANE_BUILD_DIR is not set")
    return os.path.join(build, "admission", "admissiond")


def exchange(socket_path, message, timeout=5.0):
    """Sends one request and returns (reply bytes of the first read, socket).

    The socket stays open, so an admitted caller holds its slot until it
    closes it."""
    sock = connect(socket_path, timeout)
    try:
        if message:
            sock.sendall(message)
        return sock.recv(4096), sock
    except BaseException:
        sock.close()
        raise


def connect(socket_path, timeout=5.0):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    try:
        sock.connect(socket_path)
    except BaseException:
        sock.close()
        raise
    return sock


def read_to_end(sock):
    """Everything until the daemon closes the connection; a reset counts as
    the close (the daemon closes with unread bytes on refused requests)."""
    data = b""
    try:
        while chunk := sock.recv(4096):
            data += chunk
    except ConnectionResetError:
        pass
    return data


def read_status(socket_path, timeout=5.0):
    reply, sock = exchange(socket_path, b"STATUS", timeout)
    with sock:
        while not reply.endswith(b"\n"):
            more = sock.recv(4096)
            if not more:
                break
            reply += more
    fields = dict(item.split("=", 1) for item in reply.decode().split())
    if tuple(fields) != STATUS_FIELDS:
        raise RuntimeError(f"unexpected status line {reply!r}")
    return {name: int(value) for name, value in fields.items()}


class Admissiond:
    def __init__(self, limit=8, retry=30, idle_timeout=None, extra_args=(),
                 parent="/tmp", binary=None, launcher=()):
        """launcher: words put before the command, e.g. ("prlimit", "--nofile=64")."""
        self.limit = limit
        self.retry = retry
        self.idle_timeout = idle_timeout
        self.extra_args = list(extra_args)
        self.launcher = list(launcher)
        self.parent = parent
        self.binary = binary or binary_path()
        self.dir = None
        self.socket_path = None
        self.log_path = None
        self.proc = None
        self.returncode = None
        self.final_log = ""

    def command(self):
        cmd = self.launcher + [self.binary, "--socket", self.socket_path, "--limit", str(self.limit),
               "--retry", str(self.retry), "--log", "stderr"]
        if self.idle_timeout is not None:
            cmd += ["--idle-timeout", str(self.idle_timeout)]
        return cmd + self.extra_args

    def make_dir(self):
        """Creates the folder and names the paths; start() calls it when needed."""
        self.dir = tempfile.mkdtemp(prefix="admissiond-", dir=self.parent)
        os.chmod(self.dir, 0o711)
        self.socket_path = os.path.join(self.dir, "admission.sock")
        self.log_path = os.path.join(self.dir, "admissiond.log")
        return self.dir

    def start(self, timeout=10.0):
        if self.dir is None:
            self.make_dir()
        self.proc = Process(self.command(), self.log_path, folder=self.dir, append=False)

        def answers():
            try:
                return read_status(self.socket_path, timeout=1.0)
            except OSError:
                return None
        state = self.proc.wait_ready(answers, timeout)
        if state in ("exited", "timeout"):
            log = self.log()
            self.stop()
            raise RuntimeError(f"admissiond exited with {self.returncode}:\n{log}" if state == "exited" else
                               f"admissiond did not answer within {timeout} s:\n{log}")
        return self

    def status(self):
        return read_status(self.socket_path)

    def wait_status(self, timeout=5.0, **expected):
        """Polls until the status shows the expected values; returns the last one."""
        deadline = time.monotonic() + timeout
        while True:
            st = self.status()
            if all(st[k] == v for k, v in expected.items()) or time.monotonic() > deadline:
                return st
            time.sleep(0.01)

    def request(self, message, timeout=5.0):
        return exchange(self.socket_path, message, timeout)

    def log(self):
        if self.dir is None:
            return self.final_log
        if not self.log_path or not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def terminate(self, sig=signal.SIGTERM, timeout=5.0):
        """Signals the daemon and waits, escalating to SIGKILL; keeps the folder.
        Returns the exit status (negative for a signal, as subprocess has it)."""
        if self.proc is not None:
            self.returncode = self.proc.stop(sig, timeout)
        return self.returncode

    def stop(self, sig=signal.SIGTERM, timeout=5.0):
        """terminate(), then removes the folder; log() still answers after it."""
        self.terminate(sig, timeout)
        if self.dir:
            self.final_log = self.log()
            if not keep():
                shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None
        return self.returncode

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
