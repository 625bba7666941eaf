"""Chunk transfers under load through the real stack (Apache, mod_lua,
mod_cgid, diskrelay, admissiond): many clients at once, the admission limit
held, every byte compared."""

import random
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from admissiond import Admissiond
from chunk_stack import CONTEXT_HEADER, ChunkStack
from client import connect, fetch, read_answer, request_head
from loadkit import WIDE_EVENT_MPM, report, wait_until

LIMIT = 8
RETRY = 7
DOWNLOADS = 200
IMAGE_SIZE = 24 << 20
DOWNLOAD_SIZE = (8 << 20) + 4097      # more than the buffers on the way; crosses 1 MiB blocks
UPLOADS = 64
UPLOAD_SIZE = (1 << 20) + 13          # chunk boundaries off the page size
RACERS = 12
RACE_ROUNDS = 4
# The location's bounds on a client that holds a slot without moving bytes
# (chunk-location.conf.in): an upload body must keep a minimum rate from
# BODY_TIMEOUT seconds on, and a write to a client that reads nothing gives
# up after WRITE_TIMEOUT seconds. SLACK covers a busy machine.
BODY_TIMEOUT = 20
WRITE_TIMEOUT = 30
SLACK = 10
TRICKLE_EVERY = 25


def together(n, job):
    """Runs job(i, barrier) for i in range(n) on n threads that wait for one
    another before they send; returns the results in order."""
    barrier = threading.Barrier(n, timeout=60)
    with ThreadPoolExecutor(max_workers=n) as pool:
        return list(pool.map(lambda i: job(i, barrier), range(n)))


def exchange(port, method, path, headers, body, barrier, pace=None, rcvbuf=None):
    with connect(port, rcvbuf=rcvbuf) as s:
        barrier.wait()
        s.sendall(request_head(method, path, headers, len(body) if method == "POST" else None) + body)
        return read_answer(s, pace)


def upload_in_halves(port, paths, bodies, ready):
    """Every upload sends its head and half its body, all at once; once
    ready() holds (polled, at most a minute) they send the rest. Returns
    the answers and ready()'s last value."""
    go = threading.Event()

    def job(i, barrier):
        half = len(bodies[i]) // 2
        with connect(port) as s:
            barrier.wait()
            s.sendall(request_head("POST", paths[i], {CONTEXT_HEADER: f"half-{i}"}, len(bodies[i]))
                      + bodies[i][:half])
            go.wait(60)
            s.sendall(bodies[i][half:])
            return read_answer(s)

    with ThreadPoolExecutor(max_workers=1) as runner:
        running = runner.submit(together, len(bodies), job)
        try:
            state = wait_until(ready, timeout=60)
        finally:
            go.set()
        return running.result(), state


class ChunkLoad(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # /chunks: the admission limit under test; /wide: room for every
        # upload at once, so that they really run side by side.
        cls.wide = Admissiond(limit=UPLOADS, retry=RETRY)
        cls.addClassCleanup(cls.wide.stop)
        cls.wide.start()
        cls.stack = ChunkStack("load-chunks", limit=LIMIT, retry=RETRY, conf=WIDE_EVENT_MPM)
        cls.stack.locations["/wide"] = (cls.wide.socket_path, None)
        cls.addClassCleanup(cls.stack.stop)
        cls.stack.start()
        cls.data = random.Random(6).randbytes(IMAGE_SIZE)
        cls.stack.write_image("big.img", cls.data)

    @classmethod
    def tearDownClass(cls):
        # The uploads cut short for trickling (mod_cgid notes each).
        cls.stack.httpd.assert_clean_log(allow=(r"AH01270: Error reading request entity data",))

    def test_downloads_beyond_the_admission_limit(self):
        # Legend: held = the clients that are let in stop reading after their
        # first bytes until the daemon has answered every request, so the
        # admitted transfers keep their slots: exactly LIMIT run and every
        # other request is turned away. Without it transfers come and go,
        # and later requests may find a free slot. Either way every answer
        # is a whole chunk or a 403 with the retry time.
        rows = [{"name": "slots held", "held": True}, {"name": "flowing", "held": False}]
        port = self.stack.httpd.port
        starts = [(i * 1234567) % (IMAGE_SIZE - DOWNLOAD_SIZE) for i in range(DOWNLOADS)]
        for row in rows:
            with self.subTest(row["name"]):
                before = self.stack.adm.status()
                answered = threading.Event()

                def pace(received):
                    if row["held"] and received >= 65536:
                        answered.wait(60)

                def job(i, barrier):
                    first = starts[i]
                    headers = {CONTEXT_HEADER: f"load-{i}", "Range": f"bytes={first}-{first + DOWNLOAD_SIZE - 1}"}
                    return exchange(port, "GET", "/chunks/big.img", headers, b"", barrier, pace, rcvbuf=65536)

                def all_answered():
                    st = self.stack.adm.status()
                    return st["admitted"] + st["denied"] - before["admitted"] - before["denied"] == DOWNLOADS

                began = time.monotonic()
                with ThreadPoolExecutor(max_workers=1) as runner:
                    running = runner.submit(together, DOWNLOADS, job)
                    try:
                        held = self.stack.adm.status()["running"] if wait_until(all_answered, timeout=60) else None
                    finally:
                        answered.set()
                    answers = running.result()
                seconds = time.monotonic() - began

                done = deferred = compared = 0
                for i, a in enumerate(answers):
                    with self.subTest(request=i):
                        if a.status == 206:
                            first = starts[i]
                            self.assertTrue(a.complete, a)
                            self.assertEqual(a.header("Content-Range"),
                                             f"bytes {first}-{first + DOWNLOAD_SIZE - 1}/{IMAGE_SIZE}")
                            self.assertTrue(a.body == self.data[first:first + DOWNLOAD_SIZE], "bytes differ")
                            done += 1
                            compared += len(a.body)
                        else:
                            self.assertEqual((a.status, a.header("X-OVRA-Retry"), a.header("OVRA-Error-Code"),
                                              a.body), (403, str(RETRY), "120", b""), a)
                            deferred += 1
                st = self.stack.adm.wait_status(running=0)
                report(f"downloads, {row['name']}", requests=DOWNLOADS, completed=done, deferred=deferred,
                       peak=st["peak"], limit=LIMIT, bytes_compared=compared, seconds=f"{seconds:.1f}")
                self.assertEqual(st["running"], 0)
                self.assertLessEqual(st["peak"], LIMIT)
                self.assertEqual((st["admitted"] - before["admitted"], st["denied"] - before["denied"]),
                                 (done, deferred))
                if row["held"]:
                    self.assertEqual((done, deferred, held), (LIMIT, DOWNLOADS - LIMIT, LIMIT))
                else:
                    self.assertGreaterEqual(done, LIMIT)

    def test_uploads_into_distinct_ranges_of_one_image(self):
        # The image exists and is as long as all chunks together: nothing
        # but the chunks' own bytes may change. The uploads wait halfway
        # until all of them are admitted, so that they really overlap.
        self.stack.write_image("shared.img", b"\xee" * (UPLOADS * UPLOAD_SIZE))
        bodies = [random.Random(1000 + i).randbytes(UPLOAD_SIZE) for i in range(UPLOADS)]
        paths = [f"/wide/shared.img?start={i * UPLOAD_SIZE}" for i in range(UPLOADS)]
        before = self.wide.status()
        began = time.monotonic()
        answers, all_in = upload_in_halves(self.stack.httpd.port, paths, bodies,
                                           lambda: self.wide.status()["running"] == UPLOADS)
        seconds = time.monotonic() - began
        for i, a in enumerate(answers):
            with self.subTest(upload=i):
                self.assertEqual((a.status, a.header("OVRA-Error-Code"), a.complete), (200, None, True), a)
        image = self.stack.read_image("shared.img")
        st = self.wide.wait_status(running=0)
        report("uploads", uploads=UPLOADS, peak=st["peak"], bytes_compared=len(image),
               seconds=f"{seconds:.1f}")
        self.assertTrue(all_in, "the uploads never ran all at once")
        self.assertEqual(st["admitted"] - before["admitted"], UPLOADS)
        self.assertTrue(image == b"".join(bodies), "image differs")

    def test_uploads_beyond_the_admission_limit(self):
        # Each upload either lands whole (200) or is turned away (403 with
        # the retry time) and leaves its range as it was: a deferred upload
        # never writes a byte. The admitted ones hold their slots halfway
        # until the daemon has answered every upload.
        fill = b"\x3c" * (UPLOADS * UPLOAD_SIZE)
        self.stack.write_image("limited.img", fill)
        bodies = [random.Random(3000 + i).randbytes(UPLOAD_SIZE) for i in range(UPLOADS)]
        paths = [f"/chunks/limited.img?start={i * UPLOAD_SIZE}" for i in range(UPLOADS)]
        before = self.stack.adm.status()

        def all_answered():
            st = self.stack.adm.status()
            return st["admitted"] + st["denied"] - before["admitted"] - before["denied"] == UPLOADS

        answers, _ = upload_in_halves(self.stack.httpd.port, paths, bodies, all_answered)
        image = self.stack.read_image("limited.img")
        stored = deferred = 0
        for i, a in enumerate(answers):
            with self.subTest(upload=i):
                part = image[i * UPLOAD_SIZE:(i + 1) * UPLOAD_SIZE]
                if a.status == 200:
                    self.assertEqual(a.header("OVRA-Error-Code"), None, a)
                    self.assertTrue(part == bodies[i], "chunk differs")
                    stored += 1
                else:
                    self.assertEqual((a.status, a.header("X-OVRA-Retry"), a.header("OVRA-Error-Code")),
                                     (403, str(RETRY), "120"), a)
                    self.assertTrue(part == fill[:UPLOAD_SIZE], "a deferred upload wrote")
                    deferred += 1
        st = self.stack.adm.wait_status(running=0)
        report("uploads beyond the limit", uploads=UPLOADS, stored=stored, deferred=deferred,
               peak=st["peak"], limit=LIMIT, bytes_compared=len(image))
        self.assertEqual((stored, deferred), (LIMIT, UPLOADS - LIMIT))
        self.assertLessEqual(st["peak"], LIMIT)

    def test_slots_not_held_hostage(self):
        # Legend: LIMIT clients take every slot and then hardly move bytes;
        # a normal client is turned away at first and admitted once the
        # location's bound ("bound", seconds from the hostages' requests) has
        # cut them off. Uploads send one byte every TRICKLE_EVERY seconds;
        # downloads read nothing.
        port = self.stack.httpd.port
        rows = [
            {"name": "uploads trickling", "method": "POST", "bound": BODY_TIMEOUT},
            {"name": "downloads not read", "method": "GET", "bound": WRITE_TIMEOUT},
        ]
        for row in rows:
            with self.subTest(row["name"]):
                stop = threading.Event()

                def hostage(i, barrier):
                    with connect(port, timeout=TRICKLE_EVERY, rcvbuf=4096) as s:
                        barrier.wait()
                        headers = {CONTEXT_HEADER: f"hostage-{i}"}
                        if row["method"] == "POST":
                            s.sendall(request_head("POST", f"/chunks/hostage-{i}.img?start=0", headers, 1000) + b"x")
                            while not stop.is_set():
                                a = read_answer(s)
                                if a.status or "timed out" not in (a.error or ""):
                                    return a
                                s.sendall(b"x")
                        else:
                            s.sendall(request_head("GET", "/chunks/big.img", headers))
                            stop.wait(WRITE_TIMEOUT + 2 * SLACK)
                    return None

                before = self.stack.adm.status()["admitted"]
                began = time.monotonic()
                with ThreadPoolExecutor(max_workers=1) as runner:
                    running = runner.submit(together, LIMIT, hostage)
                    try:
                        held = wait_until(lambda: self.stack.adm.status()["admitted"] - before == LIMIT, 30)
                        statuses = []
                        while time.monotonic() - began < row["bound"] + 2 * SLACK:
                            a = fetch(port, "GET", "/chunks/big.img", {CONTEXT_HEADER: "normal", "Range": "bytes=0-9"})
                            statuses.append(a.status)
                            if a.status == 206:
                                break
                            time.sleep(0.5)
                        admitted_after = time.monotonic() - began
                    finally:
                        stop.set()
                    running.result()
                report(f"slots held hostage, {row['name']}", hostages=LIMIT, bound=row["bound"],
                       admitted_after=f"{admitted_after:.1f}", refused_first=len(statuses) - 1)
                self.assertTrue(held, self.stack.adm.status())
                self.assertEqual((statuses[0], statuses[-1]), (403, 206), statuses)
                self.assertLessEqual(admitted_after, row["bound"] + SLACK)
                self.assertEqual(self.stack.adm.wait_status(running=0)["running"], 0)

    def test_uploads_racing_to_create_one_image(self):
        port = self.stack.httpd.port
        compared = 0
        for round_ in range(RACE_ROUNDS):
            name = f"race-{round_}.img"
            # Chunks in a shuffled order: the one that reaches the file
            # first is not always the one at offset 0.
            order = list(range(RACERS))
            random.Random(round_).shuffle(order)
            bodies = [random.Random(2000 + round_ * 100 + i).randbytes(UPLOAD_SIZE) for i in range(RACERS)]

            def job(n, barrier):
                i = order[n]
                return exchange(port, "POST", f"/wide/{name}?start={i * UPLOAD_SIZE}",
                                {CONTEXT_HEADER: f"race-{round_}-{i}"}, bodies[i], barrier)

            answers = together(RACERS, job)
            with self.subTest(round=round_):
                self.assertEqual([a.status for a in answers], [200] * RACERS, answers)
                image = self.stack.read_image(name)
                self.assertTrue(image == b"".join(bodies), "image differs")
                compared += len(image)
        report("racing creation", rounds=RACE_ROUNDS, uploads_per_round=RACERS, bytes_compared=compared)


if __name__ == "__main__":
    unittest.main()
