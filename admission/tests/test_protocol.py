"""admissiond's answer to every form of request, against the real daemon."""

import re
import socket
import unittest

from admissiond import Admissiond, connect, read_to_end

LIMIT = 1
RETRY = 7
STATUS_LINE = re.compile(rb"running=\d+ peak=\d+ admitted=\d+ denied=\d+\n\Z")

# Legend: request None sends nothing and shuts down the writing side; reply b""
# means the daemon closed the connection without answering; a pattern must
# match the whole reply.
ROWS = [
    # name, request, slots held by others first, reply, connection holds a slot
    ("admit", b"ADMIT abc", 0, b"PROCEED", True),
    ("admit with empty context", b"ADMIT ", 0, b"PROCEED", True),
    ("admit with spaces in context", b"ADMIT a b  c ", 0, b"PROCEED", True),
    ("admit of longest length", b"ADMIT " + b"c" * 249, 0, b"PROCEED", True),
    ("admit with binary context", b"ADMIT \x00\xff\n", 0, b"PROCEED", True),
    ("admit with a device", b"ADMIT abc\x00device=6f1c", 0, b"PROCEED", True),
    ("admit of longest length with a device", b"ADMIT " + b"c" * 233 + b"\x00device=6f1c2a44", 0, b"PROCEED", True),
    ("admit when full", b"ADMIT abc", 1, b"RETRY 7", False),
    ("status", b"STATUS", 0, STATUS_LINE, False),
    ("status with line feed", b"STATUS\n", 0, STATUS_LINE, False),
    ("status when full", b"STATUS", 1, re.compile(rb"running=1 peak=1 .*\n\Z"), False),
    ("one byte too long", b"ADMIT " + b"c" * 250, 0, b"", False),
    ("far too long", b"ADMIT " + b"c" * 70000, 0, b"", False),
    ("too long when full", b"ADMIT " + b"c" * 250, 1, b"", False),
    ("lower case verb", b"admit abc", 0, b"", False),
    ("verb alone", b"ADMIT", 0, b"", False),
    ("verb and tab", b"ADMIT\tabc", 0, b"", False),
    ("leading space", b" ADMIT abc", 0, b"", False),
    ("status with argument", b"STATUS now", 0, b"", False),
    ("status with two line feeds", b"STATUS\n\n", 0, b"", False),
    ("reply word", b"PROCEED", 0, b"", False),
    ("binary", b"\x00\x01\xfe\xff", 0, b"", False),
    ("nothing, then half close", None, 0, b"", False),
]


def still_quiet(sock):
    """Nothing arrives and the connection stays open for a moment."""
    sock.settimeout(0.2)
    try:
        sock.recv(4096)
        return False
    except socket.timeout:
        return True
    finally:
        sock.settimeout(5)


class Replies(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.adm = Admissiond(limit=LIMIT, retry=RETRY).start()

    @classmethod
    def tearDownClass(cls):
        rc = cls.adm.stop()
        if rc != 0:
            print(cls.adm.log())

    def test_replies(self):
        for name, request, held, expected, holds in ROWS:
            with self.subTest(name):
                holders = [self.hold_slot() for _ in range(held)]
                try:
                    self.check_row(request, held, expected, holds)
                finally:
                    for sock in holders:
                        sock.close()
                self.assertEqual(self.adm.wait_status(running=0)["running"], 0, "slot leaked")
        self.assertIsNone(self.adm.proc.poll(), "daemon died")
        self.assertIn("refused an unknown request", self.adm.log())

    def hold_slot(self):
        reply, sock = self.adm.request(b"ADMIT holder")
        self.assertEqual(reply, b"PROCEED")
        return sock

    def check_row(self, request, held, expected, holds):
        with connect(self.adm.socket_path) as sock:
            try:
                if request is None:
                    sock.shutdown(socket.SHUT_WR)
                else:
                    sock.sendall(request)
            except (BrokenPipeError, ConnectionResetError):
                self.assertFalse(holds, "closed on an admitted client")
            if not holds:
                reply = read_to_end(sock)
                if isinstance(expected, bytes):
                    self.assertEqual(reply, expected)
                else:
                    self.assertRegex(reply, expected)
                return
            self.assertEqual(sock.recv(4096), expected)
            self.assertTrue(still_quiet(sock), "bytes after PROCEED")
            sock.sendall(b"anything more is ignored " * 100)
            self.assertTrue(still_quiet(sock), "answer to bytes after admission")
            self.assertEqual(self.adm.status()["running"], held + 1)


if __name__ == "__main__":
    unittest.main()
