"""Shared setup of the load and fault tests: the chunk stack of
deploy/chunk-location.conf.in behind a real Apache sized for many concurrent
requests, and the figures the tests print (the raw client is client.py's).

    cls.stack = ChunkStack("load", limit=8, retry=5)   # Admissiond + Apache
    cls.addClassCleanup(cls.stack.stop)
    cls.stack.start()
    r = fetch(cls.stack.httpd.port, "GET", "/chunks/a.img", {"Range": "bytes=0-9"})
"""

import os
import time

from admission import Admissiond
from apache import Apache
from chunk_location import MODULES, chunk_conf

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
