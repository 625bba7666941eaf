"""The chunk stack of the tests, the load tests and the benchmarks: an
admission daemon and an Apache serving deploy/chunk-location.conf.in (with
deploy/chunk_vars.lua and diskrelay) over an image folder owned by the
server's user.

    stack = ChunkStack("load", limit=8, retry=5, conf=WIDE_EVENT_MPM)
    stack.locations["/full"] = (other_adm.socket_path, None)
    cls.addClassCleanup(stack.stop)          # also when start() fails
    stack.start()
    stack.write_image("a.img", data)
    curl(stack.httpd, "/chunks/a.img", "-H", CONTEXT_HEADER + ": test")

locations maps URL prefixes to (admission socket, image folder), None for
either meaning the stack's own (stack.adm.socket_path, stack.images); conf is
server text put after them, as the location sets server-wide time-outs of
its own. Both may change until start(). tls=True serves HTTPS
(httpd.TlsApache); other keyword arguments go to the server.
"""

import os

from admissiond import Admissiond
from chunk_location import MODULES, chunk_conf
from httpd import Apache, TlsApache

CONTEXT_HEADER = "X-OVRA-Xfer-Context"
# What the location logs, at level warn, for each request it refuses.
REFUSAL_LOG = r"\[lua:warn\] .* chunk_vars: "


def relay_env(**variables):
    """What the location hands diskrelay, for running it by hand without
    admission control; variables override or add."""
    return {"PATH": "/usr/bin:/bin", "HTTP_X_OVRA_XFER_CONTEXT": "bench",
            "ADM_CTRL_PATH": "/nonexistent", "BYPASS_ADMCTL": "", "XFER_START": "0", **variables}


class ChunkStack:
    def __init__(self, name, limit=8, retry=5, conf="", tls=False, diskrelay=None, modules=MODULES, **server):
        self.program = diskrelay or os.path.join(os.environ["ORVANE_BUILD_DIR"], "transfer", "diskrelay")
        if not os.access(self.program, os.X_OK):
            raise RuntimeError(f"{self.program} is not built")
        self.adm = Admissiond(limit=limit, retry=retry)
        self.adm.make_dir()     # the socket's path is known before start()
        self.httpd = (TlsApache if tls else Apache)(name, modules=modules, **server)
        self.images = self.httpd.mkdir_for_www("images")
        self.locations = {"/chunks": (None, None)}
        self.conf = conf

    def start(self):
        self.adm.start()
        self.httpd.conf = "\n".join(
            chunk_conf(self.httpd, self.program, images or self.images, sock or self.adm.socket_path, prefix)
            for prefix, (sock, images) in self.locations.items()) + "\n" + self.conf
        self.httpd.start()

    def stop(self):
        try:
            self.httpd.stop()
        finally:
            self.adm.stop()

    @property
    def diskrelay(self):
        """The copy of diskrelay the server runs."""
        return os.path.join(self.httpd.root, "bin", "diskrelay")

    def write_image(self, name, data, folder=None):
        path = os.path.join(folder or self.images, name)
        with open(path, "wb") as f:
            f.write(data)
        self.httpd.give_to_www_data(path)
        return path

    def read_image(self, name, offset=0, length=-1, folder=None):
        with open(os.path.join(folder or self.images, name), "rb") as f:
            f.seek(offset)
            return f.read(length)
