"""The KDC of the tests: deploy/realm.py's KDC (its text tells what tests
use), and SilentKdc(), a KDC address that takes every message and never
answers, and counts who came (contacts)."""

import os
import select
import socket
import threading

from procs import free_port
from realm import KDC, KDCError  # noqa: F401


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
