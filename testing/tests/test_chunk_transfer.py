"""Chunk transfer end to end: curl -> Apache (chunk location, mod_lua, mod_cgid)
-> diskrelay -> image files, with a real admission daemon."""

import os
import random
import unittest
from concurrent.futures import ThreadPoolExecutor

from admissiond import Admissiond, exchange
from chunk_stack import CONTEXT_HEADER, REFUSAL_LOG, ChunkStack
from client import curl

SIZE = 3 * 1024 * 1024 + 123          # crosses diskrelay's 1 MiB blocks
FOUR_GIB = 4 << 30
SPARSE_SIZE = FOUR_GIB + (1 << 20)
MARK_AT = FOUR_GIB + 4096             # bytes written into the sparse image
MARK = b"past four GiB"
RETRY = 17
CTX = ("-H", CONTEXT_HEADER + ": test-transfer")
MAX_IMAGE = 2199023255552             # the location's maximum image size


class ChunkTest(unittest.TestCase):
    """One Apache with three chunk locations: /chunks (admission with room),
    /full (a daemon whose single slot the test holds), /down (no daemon)."""

    MPM = "event"

    @classmethod
    def setUpClass(cls):
        cls.full = Admissiond(limit=1, retry=RETRY)
        cls.addClassCleanup(cls.full.stop)
        cls.full.start()
        cls.stack = ChunkStack("chunks", retry=RETRY, mpm=cls.MPM)
        cls.addClassCleanup(cls.stack.stop)
        cls.httpd, cls.adm, cls.images = cls.stack.httpd, cls.stack.adm, cls.stack.images
        cls.stack.locations.update({"/full": (cls.full.socket_path, None),
                                    "/down": (os.path.join(cls.httpd.root, "no-such-admission.sock"), None)})

        rnd = random.Random(20261208)
        cls.data = rnd.randbytes(SIZE)
        cls.stack.write_image("a.img", cls.data)
        cls.stack.write_image("empty.img", b"")
        os.makedirs(os.path.join(cls.images, "sub"))
        cls.httpd.give_to_www_data(os.path.join(cls.images, "sub"))
        cls.stack.write_image("sub/b.img", cls.data[:1000])
        cls.stack.write_image(".hidden.img", cls.data[:1000])
        with open(os.path.join(cls.images, "sparse.img"), "wb") as f:
            f.truncate(SPARSE_SIZE)
            f.seek(MARK_AT)
            f.write(MARK)
        cls.httpd.give_to_www_data(os.path.join(cls.images, "sparse.img"))
        # Symbolic links below the image folder, out of it and within it.
        cls.outside = cls.httpd.mkdir_for_www("outside")
        with open(os.path.join(cls.outside, "secret.img"), "wb") as f:
            f.write(b"not an image of this folder")
        for name, target in (("link.img", os.path.join(cls.outside, "secret.img")),
                             ("linkdir", cls.outside), ("inlink.img", "a.img"),
                             ("dangling.img", os.path.join(cls.outside, "created.img"))):
            os.symlink(target, os.path.join(cls.images, name))
        cls.stack.start()

    @classmethod
    def tearDownClass(cls):
        # The location logs its refusals; diskrelay logs to syslog only.
        cls.httpd.assert_clean_log(allow=(REFUSAL_LOG,))

    def assertAnswer(self, r, status, code=None, length=None):
        self.assertEqual(r.status, status, r)
        self.assertEqual(r.exit_code, 0, r.stderr)
        self.assertEqual(r.headers.get("OVRA-Error-Code"), code, r)
        if length is not None:
            # The CGI's own Content-Length reaches the client (not chunked).
            self.assertEqual(r.headers.get("Content-Length"), str(length), r)
            self.assertNotIn("Transfer-Encoding", r.headers)


class Downloads(ChunkTest):
    # Legend: body = (first, stop) slice of the image, or None for no check;
    # crange = expected Content-Range ("-" means absent); code = OVRA-Error-Code.
    ROWS = [
        {"name": "whole file", "url": "/chunks/a.img", "range": None,
         "status": 200, "body": (0, SIZE), "crange": "-"},
        {"name": "span across blocks", "url": "/chunks/a.img", "range": "bytes=1000-2098151",
         "status": 206, "body": (1000, 2098152), "crange": f"bytes 1000-2098151/{SIZE}"},
        {"name": "open end", "url": "/chunks/a.img", "range": f"bytes={SIZE - 10}-",
         "status": 206, "body": (SIZE - 10, SIZE), "crange": f"bytes {SIZE - 10}-{SIZE - 1}/{SIZE}"},
        {"name": "suffix", "url": "/chunks/a.img", "range": "bytes=-500",
         "status": 206, "body": (SIZE - 500, SIZE), "crange": f"bytes {SIZE - 500}-{SIZE - 1}/{SIZE}"},
        {"name": "last byte clamped to the file", "url": "/chunks/a.img", "range": "bytes=7-99999999999",
         "status": 206, "body": (7, SIZE), "crange": f"bytes 7-{SIZE - 1}/{SIZE}"},
        {"name": "one byte", "url": "/chunks/a.img", "range": "Bytes = 0-0",
         "status": 206, "body": (0, 1), "crange": f"bytes 0-0/{SIZE}"},
        {"name": "several ranges are ignored", "url": "/chunks/a.img", "range": "bytes=0-1,5-6",
         "status": 200, "body": (0, SIZE), "crange": "-"},
        {"name": "first after last is ignored", "url": "/chunks/a.img", "range": "bytes=9-3",
         "status": 200, "body": (0, SIZE), "crange": "-"},
        {"name": "leading zeros in the last byte", "url": "/chunks/a.img", "range": "bytes=1-000000000000000000002",
         "status": 206, "body": (1, 3), "crange": f"bytes 1-2/{SIZE}"},
        {"name": "leading zeros in the first byte", "url": "/chunks/a.img", "range": "bytes=000000000000000000001-2",
         "status": 206, "body": (1, 3), "crange": f"bytes 1-2/{SIZE}"},
        {"name": "leading zeros in a suffix", "url": "/chunks/a.img", "range": "bytes=-0000000000000000000010",
         "status": 206, "body": (SIZE - 10, SIZE), "crange": f"bytes {SIZE - 10}-{SIZE - 1}/{SIZE}"},
        # No validator is ever given out, so none can match: the whole file.
        {"name": "If-Range", "url": "/chunks/a.img", "range": "bytes=0-9", "more": ("-H", 'If-Range: "v1"'),
         "status": 200, "body": (0, SIZE), "crange": "-"},
        {"name": "start at the end", "url": "/chunks/a.img", "range": f"bytes={SIZE}-",
         "status": 416, "code": "103", "crange": f"bytes */{SIZE}"},
        {"name": "start far past the end", "url": "/chunks/a.img", "range": "bytes=123456789012345678901-",
         "status": 416, "code": "103", "crange": f"bytes */{SIZE}"},
        {"name": "empty suffix", "url": "/chunks/a.img", "range": "bytes=-0",
         "status": 416, "code": "103", "crange": f"bytes */{SIZE}"},
        {"name": "empty file, no range", "url": "/chunks/empty.img", "range": None,
         "status": 200, "body": (0, 0), "crange": "-"},
        {"name": "empty file, suffix", "url": "/chunks/empty.img", "range": "bytes=-1",
         "status": 416, "code": "103", "crange": "bytes */0"},
        {"name": "sub folder", "url": "/chunks/sub/b.img", "range": "bytes=10-19",
         "status": 206, "body": (10, 20), "crange": "bytes 10-19/1000"},
        {"name": "missing file", "url": "/chunks/nope.img", "range": None,
         "status": 500, "code": "108", "crange": "-"},
        {"name": "missing file with range", "url": "/chunks/nope.img", "range": "bytes=0-99",
         "status": 500, "code": "108", "crange": "-"},
    ]

    def test_ranges(self):
        for row in self.ROWS:
            with self.subTest(row["name"]):
                args = ("-H", "Range: " + row["range"]) if row["range"] else ()
                r = curl(self.httpd, row["url"], *CTX, *args, *row.get("more", ()))
                body = row.get("body")
                self.assertAnswer(r, row["status"], row.get("code"),
                                  body[1] - body[0] if body else 0)
                self.assertEqual(r.headers.get("Content-Range", "-"), row["crange"])
                if body:
                    self.assertTrue(r.body == self.data[body[0]:body[1]], "bytes differ")
                if row["status"] != 500:
                    self.assertEqual(r.headers.get("X-OVRA-Version"), "4.0.1")

    def test_offsets_past_four_gib(self):
        first, last = MARK_AT - 3, MARK_AT + len(MARK) + 2
        r = curl(self.httpd, "/chunks/sparse.img", *CTX, "-H", f"Range: bytes={first}-{last}")
        self.assertAnswer(r, 206, None, last - first + 1)
        self.assertEqual(r.headers.get("Content-Range"), f"bytes {first}-{last}/{SPARSE_SIZE}")
        self.assertEqual(r.body, b"\0\0\0" + MARK + b"\0\0\0")

    # Requests refused before diskrelay runs: the image never leaks. Legend:
    # text = the one-line answer, whose reason is logged once (None: refused
    # by Apache itself, which neither explains nor logs).
    BAD_PATH = "not an image path (plain names: letters, digits, ._+-)"
    LINK = "symbolic links in the image folder are not followed"
    NOT_ALLOWED = "method %s not allowed (GET, HEAD, POST)"
    REFUSED = [
        {"name": "hidden file", "url": "/chunks/.hidden.img", "args": CTX, "status": 404, "text": BAD_PATH},
        {"name": "dot-dot below the location", "url": "/chunks/sub/../../a.img", "args": CTX, "status": 404},
        {"name": "encoded dot-dot", "url": "/chunks/%2e%2e/images/a.img", "args": CTX, "status": 404},
        {"name": "encoded slash", "url": "/chunks/..%2fa.img", "args": CTX, "status": 404},
        {"name": "odd character", "url": "/chunks/a%20b.img", "args": CTX, "status": 404, "text": BAD_PATH},
        {"name": "the folder itself", "url": "/chunks/", "args": CTX, "status": 404, "text": BAD_PATH},
        {"name": "a folder", "url": "/chunks/sub", "args": CTX, "status": 404, "text": "not an image file"},
        {"name": "trailing slash", "url": "/chunks/sub/b.img/", "args": CTX, "status": 404, "text": BAD_PATH},
        {"name": "hidden folder", "url": "/chunks/sub/.git/b.img", "args": CTX, "status": 404, "text": BAD_PATH},
        {"name": "no transfer context", "url": "/chunks/a.img", "args": (), "status": 400,
         "text": "no X-OVRA-Xfer-Context header"},
        {"name": "PUT", "url": "/chunks/a.img", "args": CTX + ("-X", "PUT", "--data", "x"), "status": 405,
         "text": NOT_ALLOWED % "PUT"},
        {"name": "OPTIONS", "url": "/chunks/a.img", "args": CTX + ("-X", "OPTIONS"), "status": 405,
         "text": NOT_ALLOWED % "OPTIONS"},
        {"name": "link out of the folder", "url": "/chunks/link.img", "args": CTX, "status": 404, "text": LINK},
        {"name": "link out, with a range", "url": "/chunks/link.img", "args": CTX + ("-H", "Range: bytes=999999-"),
         "status": 404, "text": LINK},
        {"name": "linked folder", "url": "/chunks/linkdir/secret.img", "args": CTX, "status": 404, "text": LINK},
        {"name": "link within the folder", "url": "/chunks/inlink.img", "args": CTX, "status": 404, "text": LINK},
        {"name": "upload through a link", "url": "/chunks/link.img?start=0", "args": CTX + ("--data", "x"),
         "status": 404, "text": LINK},
        {"name": "upload through a dangling link", "url": "/chunks/dangling.img?start=0",
         "args": CTX + ("--data", "x"), "status": 404, "text": LINK},
    ]

    def test_refused_requests(self):
        for row in self.REFUSED:
            with self.subTest(row["name"]):
                logged = len(self.httpd.error_lines())
                r = curl(self.httpd, row["url"], *row["args"])
                self.assertEqual(r.status, row["status"], r)
                self.assertNotIn("X-OVRA-Version", r.headers)
                self.assertNotIn(self.data[:64], r.body)
                self.assertNotIn(b"not an image of this folder", r.body)
                if row["status"] == 405:
                    self.assertEqual(r.headers.get("Allow"), "GET, HEAD, POST")
                if row.get("text"):
                    self.assertEqual(r.body.decode(), row["text"] + "\n")
                    new = self.httpd.error_lines()[logged:]
                    self.assertEqual(len(new), 1, new)
                    self.assertIn("chunk_vars: " + row["text"], new[0])
        with open(os.path.join(self.outside, "secret.img"), "rb") as f:
            self.assertEqual(f.read(), b"not an image of this folder")
        self.assertFalse(os.path.exists(os.path.join(self.outside, "created.img")))

    def test_head(self):
        # Legend: length = the Content-Length answered (None: absent).
        rows = [
            {"name": "image", "url": "/chunks/a.img", "status": 200, "length": str(SIZE)},
            {"name": "past four GiB", "url": "/chunks/sparse.img", "status": 200, "length": str(SPARSE_SIZE)},
            # Apache leaves a zero Content-Length out of every HEAD answer.
            {"name": "empty image", "url": "/chunks/empty.img", "status": 200, "length": None},
            {"name": "missing image", "url": "/chunks/nope.img", "status": 404, "length": None},
            # The only slot is held by someone else: HEAD takes none.
            {"name": "full admission", "url": "/full/a.img", "status": 200, "length": str(SIZE)},
        ]
        reply, held = exchange(self.full.socket_path, b"ADMIT holder")
        try:
            self.assertTrue(reply.startswith(b"PROCEED"), reply)
            for row in rows:
                with self.subTest(row["name"]):
                    r = curl(self.httpd, row["url"], "--head")
                    self.assertEqual(r.status, row["status"], r)
                    if row["length"] is not None:
                        self.assertEqual((r.headers.get("Content-Length"), r.headers.get("Accept-Ranges")),
                                         (row["length"], "bytes"))
                    self.assertNotIn("OVRA-Error-Code", r.headers)
        finally:
            held.close()


class DownloadsPrefork(Downloads):
    # One interpreter per thread (LuaScope) and the CGI daemon in a
    # process-per-request server.
    MPM = "prefork"


class Uploads(ChunkTest):
    # Legend: target = image written; offset = where the bytes must land
    # (None: the request is refused and the image stays as it was).
    ROWS = [
        {"name": "query offset", "target": "up1.img", "offset": 100,
         "args": ("--data-binary", "@-"), "query": "?start=100", "status": 200},
        {"name": "content-range", "target": "up2.img", "offset": 2000,
         "args": ("--data-binary", "@-", "-H", "Content-Range: bytes 2000-3023/*"),
         "query": "", "status": 200, "len": 1024},
        {"name": "both, agreeing", "target": "up3.img", "offset": 5,
         "args": ("--data-binary", "@-", "-H", f"Content-Range: bytes 5-1028/{SIZE}"),
         "query": "?start=5", "status": 200, "len": 1024},
        {"name": "chunked body", "target": "up4.img", "offset": 1 << 20,
         "args": ("-T", "-", "-X", "POST", "-H", "Transfer-Encoding: chunked"),
         "query": f"?start={1 << 20}", "status": 200},
        {"name": "no offset", "target": "up5.img", "offset": None,
         "args": ("--data-binary", "@-"), "query": "", "status": 400},
        {"name": "offset not a number", "target": "up6.img", "offset": None,
         "args": ("--data-binary", "@-"), "query": "?start=12x", "status": 400},
        {"name": "content-range longer than the body", "target": "up7.img", "offset": None,
         "args": ("--data-binary", "@-", "-H", "Content-Range: bytes 0-99999/*"),
         "query": "", "status": 400},
        {"name": "offsets disagree", "target": "up8.img", "offset": None,
         "args": ("--data-binary", "@-", "-H", "Content-Range: bytes 0-1023/*"),
         "query": "?start=1", "status": 400, "len": 1024},
        # A chunked body carries no length to check beforehand: diskrelay
        # fails the upload once the body outgrows its range, before it writes
        # what it holds (a range over 64 KiB may have its first part written;
        # nothing lands past it).
        {"name": "chunked body longer than its Content-Range", "target": "up9.img", "offset": None,
         "args": ("-T", "-", "-X", "POST", "-H", "Transfer-Encoding: chunked", "-H", "Content-Range: bytes 2-4/20"),
         "query": "", "status": 500, "code": "101", "len": 10},
        {"name": "chunked body shorter than its Content-Range", "target": "up14.img", "offset": None,
         "args": ("-T", "-", "-X", "POST", "-H", "Transfer-Encoding: chunked", "-H", "Content-Range: bytes 2-11/20"),
         "query": "", "status": 500, "code": "101", "len": 2, "lands": 2},
        {"name": "chunked body, larger one", "target": "up10.img", "offset": None,
         "args": ("-T", "-", "-X", "POST", "-H", "Transfer-Encoding: chunked",
                  "-H", "Content-Range: bytes 4096-8191/*"),
         "query": "", "status": 500, "code": "101"},
        {"name": "starts at the maximum image size", "target": "up11.img", "offset": None,
         "args": ("--data-binary", "@-"), "query": f"?start={MAX_IMAGE}", "status": 413, "len": 3},
        {"name": "ends past the maximum image size", "target": "up12.img", "offset": None,
         "args": ("--data-binary", "@-"), "query": f"?start={MAX_IMAGE - 2}", "status": 413, "len": 3},
        {"name": "chunked, starts past the maximum", "target": "up13.img", "offset": None,
         "args": ("-T", "-", "-X", "POST", "-H", "Transfer-Encoding: chunked"),
         "query": "?start=17592186040000", "status": 413, "len": 3},
    ]

    def test_uploads(self):
        for n, row in enumerate(self.ROWS):
            with self.subTest(row["name"]):
                before = self.data[n * 4096:(n + 1) * 4096 * 300]
                self.stack.write_image(row["target"], before)
                body = random.Random(n).randbytes(row.get("len", 1536 * 1024 + 7))
                r = curl(self.httpd, "/chunks/" + row["target"] + row["query"], *CTX, *row["args"],
                         stdin=body)
                self.assertEqual((r.status, r.headers.get("OVRA-Error-Code")), (row["status"], row.get("code")), r)
                expected, after = before, self.stack.read_image(row["target"])
                if row["offset"] is not None:
                    self.assertAnswer(r, 200, None, 0)
                    o = row["offset"]
                    expected = before[:o] + b"\0" * (o - len(before)) + body + before[o + len(body):]
                if "lands" in row:  # refused, but what arrived stays, as for any upload cut short
                    o = row["lands"]
                    expected = before[:o] + body + before[o + len(body):]
                self.assertTrue(after == expected, "file content differs")

    def test_new_file_and_offset_past_four_gib(self):
        body = b"chunk past 4 GiB"
        r = curl(self.httpd, f"/chunks/sub/new.img?start={FOUR_GIB + 1}", *CTX,
                 "--data-binary", "@-", stdin=body)
        self.assertAnswer(r, 200, None, 0)
        st = os.stat(os.path.join(self.images, "sub", "new.img"))
        self.assertEqual(st.st_size, FOUR_GIB + 1 + len(body))
        self.assertEqual(self.stack.read_image("sub/new.img", FOUR_GIB, len(body) + 1), b"\0" + body)

    def test_parallel_uploads_into_one_new_file(self):
        # Every client creates the file if it is missing: none may cut
        # another's bytes off.
        parts, size = 8, 300 * 1024 + 1          # no more than the admission limit
        bodies = [random.Random(100 + i).randbytes(size) for i in range(parts)]

        def put(i):
            return curl(self.httpd, f"/chunks/together.img?start={i * size}", *CTX,
                        "--data-binary", "@-", stdin=bodies[i])

        with ThreadPoolExecutor(max_workers=parts) as pool:
            answers = list(pool.map(put, range(parts)))
        for r in answers:
            self.assertAnswer(r, 200, None, 0)
        self.assertTrue(self.stack.read_image("together.img") == b"".join(bodies), "file content differs")

    def test_upload_into_missing_folder(self):
        # A body larger than the pipe to diskrelay: the answer must still arrive whole.
        r = curl(self.httpd, "/chunks/nodir/x.img?start=0", *CTX, "--data-binary", "@-",
                 stdin=self.data)
        self.assertAnswer(r, 500, "108", 0)


class Admission(ChunkTest):
    def test_full_server_defers_and_missing_server_fails(self):
        reply, held = exchange(self.full.socket_path, b"ADMIT holder")
        try:
            self.assertTrue(reply.startswith(b"PROCEED"), reply)
            r = curl(self.httpd, "/full/a.img", *CTX, "-H", "Range: bytes=0-9")
            self.assertAnswer(r, 403, "120", 0)
            self.assertEqual(r.headers.get("X-OVRA-Retry"), str(RETRY))
            r = curl(self.httpd, "/full/new.img?start=0", *CTX, "--data-binary", "@-", stdin=self.data)
            self.assertAnswer(r, 403, "120", 0)
            self.assertFalse(os.path.exists(os.path.join(self.images, "new.img")))
        finally:
            held.close()
        self.assertEqual(self.full.wait_status(running=0)["running"], 0)
        r = curl(self.httpd, "/full/a.img", *CTX, "-H", "Range: bytes=0-9")
        self.assertAnswer(r, 206, None, 10)
        self.assertEqual(r.body, self.data[:10])

        r = curl(self.httpd, "/down/a.img", *CTX)
        self.assertAnswer(r, 500, "121", 0)

    def test_context_reaches_the_daemon_and_slots_come_back(self):
        for n in range(3):
            r = curl(self.httpd, "/chunks/a.img", "-H", f"X-OVRA-Xfer-Context: ctx-{n} of device 7",
                     "-H", "Range: bytes=0-0")
            self.assertAnswer(r, 206, None, 1)
        st = self.adm.wait_status(running=0)
        self.assertEqual((st["running"], st["denied"]), (0, 0))
        for n in range(3):
            self.assertIn(f"ctx-{n} of device 7", self.adm.log())


if __name__ == "__main__":
    unittest.main()
