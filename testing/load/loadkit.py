"""Shared setup of the load and fault tests: the chunk stack of
deploy/chunk-location.conf.in behind a real Apache sized for many concurrent
requests, a raw HTTP/1.1 client that shows exactly what arrived (also when a
response falls short), and the figures the tests print.

    cls.stack = ChunkStack("load", limit=8, retry=5)   # Admissiond + Apache
    cls.addClassCleanup(cls.stack.stop)
    cls.stack.start()
    r = fetch(cls.stack.httpd.port, "GET", "/chunks/a.img", {"Range": "bytes=0-9"})
"""

import os
import socket
import sys
import time

from admission import Admissiond
from apache import Apache

sys.path.insert(0, os.path.join(os.environ["ORVANE_SOURCE_DIR"], "deploy"))

from chunk_location import MODULES, chunk_conf  # noqa: E402

BUILD = os.environ["ORVANE_BUILD_DIR"]
DISKRELAY = os.path.join(BUILD, "transfer", "diskrelay")
CONTEXT_HEADER = "X-OVRA-Xfer-Context"

# Room for a few hundred requests at once (the fixture's default pool is
# sized for functional tests). Spare-thread limits high enough that no child
# is stopped in the middle of a run: the memory figures compare the same
# processes before and after.
WIDE_EVENT_MPM = """\
ServerLimit 8
StartServers 2
ThreadsPerChild 32
MaxRequestWorkers 256
MinSpareThreads 8
MaxSpareThreads 256
MaxConnectionsPerChild 0
ListenBacklog 511
"""


def report(test, **figures):
    """Prints one line of figures, for the CTest log."""
    text = " ".join(f"{k}={v}" for k, v in figures.items())
    print(f"\n[figures] {test}: {text}", flush=True)


class ChunkStack:
    """An admission daemon and an Apache serving the chunk location over an
    image folder owned by the server's user. extra_locations maps further URL
    prefixes to (admission socket path, image folder); None for either means
    the stack's own."""

    def __init__(self, name, limit=8, retry=5, extra_locations=None, mpm_conf=WIDE_EVENT_MPM):
        if not os.access(DISKRELAY, os.X_OK):
            raise RuntimeError(f"{DISKRELAY} is not built")
        self.adm = Admissiond(limit=limit, retry=retry)
        self.httpd = Apache(name, modules=MODULES)
        self.images = self.httpd.mkdir_for_www("images")
        self.extra_locations = dict(extra_locations or {})
        self.mpm_conf = mpm_conf

    def start(self):
        self.adm.start()
        locations = {"/chunks": (None, None), **self.extra_locations}
        # The tuning goes last: the location sets server-wide time-outs of its own.
        self.httpd.conf = "\n".join(
            chunk_conf(self.httpd, DISKRELAY, images or self.images, sock or self.adm.socket_path, prefix)
            for prefix, (sock, images) in locations.items()) + "\n" + self.mpm_conf
        self.httpd.start()
        return self

    @property
    def diskrelay(self):
        """The copy of diskrelay the server runs."""
        return os.path.join(self.httpd.root, "bin", "diskrelay")

    def stop(self):
        try:
            self.httpd.stop()
        finally:
            self.adm.stop()

    def write_image(self, name, data, folder=None):
        path = os.path.join(folder or self.images, name)
        with open(path, "wb") as f:
            f.write(data)
        self.httpd.give_to_www_data(path)
        return path

    def read_image(self, name, folder=None):
        with open(os.path.join(folder or self.images, name), "rb") as f:
            return f.read()


# --- raw HTTP/1.1 client -----------------------------------------------------

class Answer:
    def __init__(self):
        self.status = 0
        self.headers = {}           # lower-case names
        self.body = b""
        self.complete = False       # the body reached its Content-Length
        self.error = None           # what cut the exchange short, if anything

    def header(self, name):
        return self.headers.get(name.lower())

    def __repr__(self):
        return (f"Answer({self.status}, {self.headers}, {len(self.body)} bytes, "
                f"complete={self.complete}, error={self.error!r})")


def connect(port, timeout=60, rcvbuf=None):
    """A loopback connection; rcvbuf caps the receive window (set before
    connecting, so that a client that pauses soon holds up its sender)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.settimeout(timeout)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.connect(("127.0.0.1", port))
    except BaseException:
        s.close()
        raise
    return s


def request_head(method, path, headers, body_length=None):
    lines = [f"{method} {path} HTTP/1.1", "Host: 127.0.0.1"]
    lines += [f"{k}: {v}" for k, v in headers.items()]
    if body_length is not None:
        lines.append(f"Content-Length: {body_length}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def read_answer(sock, pace=None):
    """Reads one response from sock. pace(received_body_bytes) is called
    after every piece of body, so a test can act in the middle of it."""
    a = Answer()
    buf = b""
    try:
        while b"\r\n\r\n" not in buf:
            more = sock.recv(65536)
            if not more:
                a.error = "closed before the head"
                return a
            buf += more
        head, _, buf = buf.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        a.status = int(lines[0].split()[1])
        for line in lines[1:]:
            k, _, v = line.partition(":")
            a.headers[k.strip().lower()] = v.strip()
        length = a.headers.get("content-length")
        if length is None:
            raise RuntimeError(f"no Content-Length in {lines}")
        length = int(length)
        body = bytearray(buf)
        while len(body) < length:
            if pace:
                pace(len(body))
            more = sock.recv(min(1 << 20, length - len(body)))
            if not more:
                a.error = "closed in the body"
                break
            body += more
        a.body = bytes(body)
        a.complete = len(body) == length
    except OSError as e:
        a.error = repr(e)
    return a


def fetch(port, method, path, headers, body=b"", pace=None, timeout=60):
    """One request on a fresh connection; returns its Answer."""
    with connect(port, timeout) as s:
        s.sendall(request_head(method, path, headers, len(body) if method == "POST" else None) + body)
        return read_answer(s, pace)


def wait_until(predicate, timeout=10.0, step=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def running_copies(program):
    """Process ids running the given program file (the copy that
    chunk_conf installed into one server's root, so other tests' servers
    do not count)."""
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == program:
                    pids.append(int(entry))
            except OSError:
                pass
    return pids
