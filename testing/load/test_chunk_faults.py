"""Chunk transfers meeting faults, through the real stack: the admission
daemon going away (also while transfers run), a file system that fills up
under an upload, an image cut short under a download, clients that go away
in the middle. Every failure gets diskrelay's documented answer, a failed
upload is never answered 200, and no header text lands in image bytes."""

import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from chunk_stack import CONTEXT_HEADER, ChunkStack, REFUSAL_LOG
from client import connect, fetch, read_answer, request_head
from httpd import www_ids
from loadkit import WIDE_EVENT_MPM, report, running_copies, wait_until

RETRY = 7
BIG = 48 << 20                    # far more than every buffer between diskrelay and the client
SMALL_FS = 4 << 20                # the file system that fills up
MIB = 1 << 20
CGI_TIMEOUT = 5
# What diskrelay and Apache write in a response head; none of it may ever
# reach an image.
HEAD_TEXTS = (b"Content-Type:", b"Content-Length:", b"Status:", b"X-OVRA-", b"OVRA-Error-Code",
              b"HTTP/1.1", b"Content-Range:")


def ctx(name, **more):
    return {CONTEXT_HEADER: name, **more}


class ChunkFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # /small serves a tmpfs of SMALL_FS bytes, made (and removed) here.
        cls.small = tempfile.mkdtemp(prefix="load-smallfs-")
        cls.addClassCleanup(shutil.rmtree, cls.small, ignore_errors=True)
        uid, gid = www_ids()
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={SMALL_FS},uid={uid},gid={gid},mode=0755",
                        "load-smallfs", cls.small], check=True)
        cls.addClassCleanup(subprocess.run, ["umount", "--lazy", cls.small], check=False)
        # A short CGI time-out: a frozen admission daemon holds a request
        # that long.
        cls.stack = ChunkStack("load-faults", limit=8, retry=RETRY, conf=WIDE_EVENT_MPM + f"Timeout {CGI_TIMEOUT}\n")
        cls.stack.locations["/small"] = (None, cls.small)
        cls.addClassCleanup(cls.stack.stop)
        cls.stack.start()
        cls.data = random.Random(61).randbytes(BIG)
        cls.stack.write_image("big.img", cls.data)

    @classmethod
    def tearDownClass(cls):
        for folder in (cls.stack.images, cls.small):
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), "rb") as f:
                    image = f.read()
                for text in HEAD_TEXTS:
                    assert text not in image, f"{text!r} inside {name}"
        # Apache notes the uploads whose client went away and the request
        # the frozen daemon held; nothing else.
        cls.stack.httpd.assert_clean_log(allow=(r"AH01270: Error reading request entity data",
                                                r"Script timed out before returning headers: diskrelay",
                                                REFUSAL_LOG))

    def setUp(self):
        if not self.stack.adm.proc or self.stack.adm.proc.poll() is not None:
            self.stack.adm.start()

    def assertIdle(self, timeout=10):
        """No diskrelay left running and every admission slot back."""
        self.assertEqual(wait_until(lambda: not running_copies(self.stack.diskrelay), timeout), True,
                         running_copies(self.stack.diskrelay))
        self.assertEqual(self.stack.adm.wait_status(running=0)["running"], 0)

    def assertFailed(self, a, code):
        self.assertEqual((a.status, a.header("OVRA-Error-Code"), a.body), (500, code, b""), a)

    # --- the admission daemon -----------------------------------------------------

    def test_admission_daemon_gone(self):
        # Legend: sig = what happens to the daemon; status, code = the answer
        # to a download and an upload then. A stopped or killed daemon fails
        # the request at once (121); a frozen one holds diskrelay until the
        # server's CGI time-out (504), after which nothing is left running.
        # Either way the upload leaves the image as it was.
        rows = [
            {"name": "stopped", "sig": signal.SIGTERM, "status": 500, "code": "121"},
            {"name": "killed", "sig": signal.SIGKILL, "status": 500, "code": "121"},
            {"name": "frozen", "sig": signal.SIGSTOP, "status": 504, "code": None},
        ]
        port = self.stack.httpd.port
        self.stack.write_image("gone.img", b"\x5a" * MIB)
        for row in rows:
            with self.subTest(row["name"]):
                frozen = row["sig"] == signal.SIGSTOP
                if frozen:
                    self.stack.adm.proc.send_signal(signal.SIGSTOP)
                else:
                    self.stack.adm.terminate(row["sig"])
                try:
                    requests = [("POST", "/chunks/gone.img?start=0", ctx("gone"), b"\x01" * 70000)]
                    if not frozen:
                        requests.append(("GET", "/chunks/big.img", ctx("gone", Range="bytes=0-99"), b""))
                    for method, path, headers, body in requests:
                        a = fetch(port, method, path, headers, body)
                        self.assertEqual((a.status, a.header("OVRA-Error-Code")), (row["status"], row["code"]), a)
                    self.assertEqual(self.stack.read_image("gone.img"), b"\x5a" * MIB)
                    # (The server ends a program it gave up on after it has answered.)
                    self.assertTrue(wait_until(lambda: not running_copies(self.stack.diskrelay)))
                finally:
                    if frozen:
                        self.stack.adm.proc.send_signal(signal.SIGCONT)
                    else:
                        # Started again on the same socket, it serves at once.
                        self.stack.adm.start()
                a = fetch(port, "GET", "/chunks/big.img", ctx("back", Range="bytes=0-99"))
                self.assertEqual((a.status, a.body), (206, self.data[:100]))
                self.assertIdle()

    def test_admission_daemon_killed_during_transfers(self):
        # Transfers already admitted hold their own connection to the daemon
        # and finish whole; only new requests see it gone.
        port = self.stack.httpd.port
        target = bytearray(b"\xc3" * (8 * MIB))
        self.stack.write_image("during.img", bytes(target))
        killed = threading.Event()
        answers = {}

        def download(i):
            def pace(received):
                if received >= MIB:
                    killed.wait(30)
            answers[f"get{i}"] = fetch(port, "GET", "/chunks/big.img", ctx(f"get{i}"), pace=pace)

        bodies = [random.Random(70 + i).randbytes(2 * MIB) for i in range(4)]

        def upload(i):
            with connect(port) as s:
                s.sendall(request_head("POST", f"/chunks/during.img?start={i * 2 * MIB}", ctx(f"up{i}"), 2 * MIB))
                s.sendall(bodies[i][:MIB])
                killed.wait(30)
                s.sendall(bodies[i][MIB:])
                answers[f"up{i}"] = read_answer(s)

        threads = [threading.Thread(target=download, args=(i,)) for i in range(4)]
        threads += [threading.Thread(target=upload, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        try:
            st = self.stack.adm.wait_status(timeout=20, running=8)
            self.assertEqual(st["running"], 8, st)
            self.stack.adm.terminate(signal.SIGKILL)
            late = fetch(port, "GET", "/chunks/big.img", ctx("late", Range="bytes=0-9"))
        finally:
            killed.set()
            for t in threads:
                t.join(60)
        self.assertFailed(late, "121")
        compared = 0
        for i in range(4):
            with self.subTest(transfer=f"get{i}"):
                a = answers[f"get{i}"]
                self.assertEqual((a.status, a.complete), (200, True), a)
                self.assertTrue(a.body == self.data, "bytes differ")
                compared += len(a.body)
            with self.subTest(transfer=f"up{i}"):
                a = answers[f"up{i}"]
                self.assertEqual((a.status, a.header("OVRA-Error-Code")), (200, None), a)
                target[i * 2 * MIB:(i + 1) * 2 * MIB] = bodies[i]
        self.assertTrue(self.stack.read_image("during.img") == bytes(target), "image differs")
        compared += len(target)
        report("admission killed during transfers", running_when_killed=st["running"], bytes_compared=compared)
        self.stack.adm.start()
        self.assertIdle()

    # --- the file system fills up --------------------------------------------------

    def test_file_system_fills_up_during_upload(self):
        # Legend: fill = bytes already taken on the small file system before
        # the upload; size = the upload's body; the answer is 500 with 101
        # however the shortage shows (a block write, or the final flush).
        rows = [
            {"name": "chunk larger than the file system", "fill": 0, "size": 6 * MIB},
            {"name": "chunk larger than the room left", "fill": 3 * MIB, "size": 2 * MIB},
            {"name": "small chunk, no room left at the flush", "fill": SMALL_FS - 8192, "size": 20000},
        ]
        port = self.stack.httpd.port
        for n, row in enumerate(rows):
            with self.subTest(row["name"]):
                for name in os.listdir(self.small):
                    os.unlink(os.path.join(self.small, name))
                if row["fill"]:
                    self.stack.write_image("filler", b"\0" * row["fill"], folder=self.small)
                body = random.Random(80 + n).randbytes(row["size"])
                a = fetch(port, "POST", "/small/full.img?start=0", ctx(f"full{n}"), body)
                self.assertFailed(a, "101")
                # What did land is the chunk's own beginning.
                stored = self.stack.read_image("full.img", folder=self.small)
                self.assertLess(len(stored), len(body))
                self.assertTrue(body.startswith(stored), "stored bytes are not the chunk's")
                self.assertIdle()
        # With room again, the same upload goes through.
        os.unlink(os.path.join(self.small, "filler"))
        os.unlink(os.path.join(self.small, "full.img"))
        a = fetch(port, "POST", "/small/full.img?start=0", ctx("room"), body)
        self.assertEqual(a.status, 200, a)
        self.assertEqual(self.stack.read_image("full.img", folder=self.small), body)

    # --- an image cut short under a download -----------------------------------------

    def test_image_shrinks_under_download(self):
        # Legend: when = when the image is cut to 2 MiB. "before the head":
        # after the server worked out the range from the file's size, while
        # diskrelay waits for its admission (the daemon is frozen until the
        # cut), so diskrelay finds the range gone and answers 500 with 101.
        # "in the body": the head with the full length is already out, the
        # body stops short of it, and what came is the image's own bytes.
        # (Apache keeps the connection open after the program ended short of
        # its Content-Length, so the client sees the end only when the
        # connection's keep-alive time runs out: the seconds are printed.)
        rows = [
            {"name": "before the head", "when": "head"},
            {"name": "in the middle of the body", "when": "body"},
        ]
        port = self.stack.httpd.port
        cut = 2 * MIB
        for row in rows:
            with self.subTest(row["name"]):
                path = self.stack.write_image("shrink.img", self.data)
                done = []
                if row["when"] == "head":
                    self.stack.adm.proc.send_signal(signal.SIGSTOP)
                    try:
                        with ThreadPoolExecutor(max_workers=1) as pool:
                            pending = pool.submit(fetch, port, "GET", "/chunks/shrink.img", ctx("shrink"))
                            self.assertTrue(wait_until(lambda: running_copies(self.stack.diskrelay)))
                            os.truncate(path, cut)
                            self.stack.adm.proc.send_signal(signal.SIGCONT)
                            a = pending.result()
                    finally:
                        self.stack.adm.proc.send_signal(signal.SIGCONT)
                    self.assertFailed(a, "101")
                else:
                    def pace(received):
                        if received >= MIB and not done:
                            os.truncate(path, cut)
                            done.append((received, time.monotonic()))

                    a = fetch(port, "GET", "/chunks/shrink.img", ctx("shrink"), pace=pace)
                    waited = time.monotonic() - done[0][1]
                    self.assertEqual((a.status, a.header("Content-Length")), (200, str(BIG)), a)
                    self.assertFalse(a.complete, a)
                    self.assertLess(len(a.body), BIG)
                    self.assertTrue(a.body == self.data[:len(a.body)], "bytes differ")
                    report("image shrinks", content_length=BIG, received=len(a.body), truncated_at=done[0][0],
                           seconds_until_the_client_sees_the_end=f"{waited:.1f}")
                self.assertIdle()

    # --- clients that go away ---------------------------------------------------

    def test_refused_upload_answered_before_its_body(self):
        # An upload the location refuses is answered at once and its
        # connection closed, not after its whole body was read and thrown
        # away: the client below sends a little and waits for the answer
        # (reading the rest would wait for the server's time-out, then 408).
        rows = [
            {"name": "bad image path", "path": "/chunks/.hidden.img?start=0", "status": 404},
            {"name": "past the maximum image size", "path": "/chunks/x.img?start=2199023255552", "status": 413},
            {"name": "no offset", "path": "/chunks/x.img", "status": 400},
        ]
        for row in rows:
            with self.subTest(row["name"]):
                with connect(self.stack.httpd.port, timeout=CGI_TIMEOUT - 1) as s:
                    s.sendall(request_head("POST", row["path"], ctx("refused"), BIG) + self.data[:65536])
                    a = read_answer(s)
                self.assertEqual((a.status, a.header("Connection"), a.complete), (row["status"], "close", True), a)
        self.assertFalse(os.path.exists(os.path.join(self.stack.images, "x.img")))

    def test_client_goes_away(self):
        # Legend: method = the transfer cut off; sent = body bytes sent (of
        # 8 MiB, announced by Content-Length or sent as one chunk of a
        # chunked body) or body bytes read, before the client resets the
        # connection, or with "half_close" only stops sending (and gets a
        # 400), or with "stall" just stops reading or sending and waits: the
        # server's time-out ends the transfer. Afterwards nothing hangs on:
        # no diskrelay, no slot.
        rows = [
            {"name": "in the middle of a download", "method": "GET", "sent": MIB},
            {"name": "in the middle of an upload", "method": "POST", "sent": 3 * MIB},
            {"name": "right after an upload's head", "method": "POST", "sent": 0},
            {"name": "in the middle of a chunked upload", "method": "POST", "sent": 3 * MIB,
             "chunked": True},
            {"name": "stops sending a chunked upload", "method": "POST", "sent": MIB,
             "chunked": True, "half_close": True},
            {"name": "stops reading a download", "method": "GET", "sent": MIB, "stall": True},
            {"name": "stops sending an upload", "method": "POST", "sent": MIB, "stall": True},
        ]
        port = self.stack.httpd.port
        for n, row in enumerate(rows):
            with self.subTest(row["name"]):
                self.stack.write_image("away.img", b"\x77" * (16 * MIB))
                body = random.Random(90 + n).randbytes(8 * MIB)
                path = f"/chunks/away.img?start={MIB}&row={n}" if row["method"] == "POST" \
                    else f"/chunks/big.img?row={n}"
                s = connect(port)
                try:
                    if row["method"] == "GET":
                        s.sendall(request_head("GET", path, ctx(f"away{n}")))
                        got = 0
                        while got < row["sent"]:
                            got += len(s.recv(65536))
                    elif row.get("chunked"):
                        s.sendall(request_head("POST", path, ctx(f"away{n}", **{"Transfer-Encoding": "chunked"})))
                        s.sendall(b"%x\r\n%s\r\n" % (row["sent"], body[:row["sent"]]))
                    else:
                        s.sendall(request_head("POST", path, ctx(f"away{n}"), len(body)))
                        s.sendall(body[:row["sent"]])
                    if row["method"] == "POST":
                        self.stack.adm.wait_status(running=1)
                    if row.get("half_close"):
                        s.shutdown(socket.SHUT_WR)
                        a = read_answer(s)
                        self.assertEqual(a.status, 400, a)
                    if row.get("stall"):
                        began = time.monotonic()
                        self.assertIdle(timeout=3 * CGI_TIMEOUT)
                        report(row["name"], seconds_until_released=f"{time.monotonic() - began:.1f}")
                finally:
                    # A reset, not a polite close.
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    s.close()
                self.assertIdle()
                if row["method"] == "POST":
                    # Bytes that landed are the chunk's beginning, in place.
                    image = self.stack.read_image("away.img")
                    self.assertEqual(len(image), 16 * MIB)
                    self.assertTrue(image[:MIB] == b"\x77" * MIB and image[9 * MIB:] == b"\x77" * (7 * MIB))
                    landed = image[MIB:9 * MIB]
                    same = next((i for i, (x, y) in enumerate(zip(landed, body)) if x != y), len(body))
                    self.assertLessEqual(same, row["sent"])
                    self.assertTrue(landed[same:] == b"\x77" * (len(body) - same), "bytes beyond the sent part changed")
                    self.assertNotIn(f"row={n} HTTP/1.1\" 200", self.stack.httpd.access_log())
                # The server goes on serving.
                a = fetch(port, "GET", "/chunks/big.img", ctx("after", Range="bytes=5-9"))
                self.assertEqual((a.status, a.body), (206, self.data[5:10]))


if __name__ == "__main__":
    unittest.main()
