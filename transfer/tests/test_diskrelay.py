#!/usr/bin/python3
"""diskrelay run as the web server runs it: one process per request, the
request in environment variables, the answer on standard output. The
admission server is a stub owned by each test, so every byte of the
conversation is seen; syslog lines are caught on a /dev/log of our own, in
a private mount namespace (as root; elsewhere the log checks are skipped)."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import syslog_sink

syslog_sink.reexec_private()

RELAY = os.path.join(os.environ.get("ORVANE_BUILD_DIR", "build"), "transfer", "diskrelay")
MIB, GIB = 1 << 20, 1 << 30
DROP = None  # in a row's variables: remove this variable


class Syslog:
    """Every line sent to our /dev/log, by sender pid."""
    LINE = re.compile(rb"<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d diskrelay:\[(\d+)\]: (.*)", re.S)
    LEVELS = {3: "ERR", 5: "NOTICE"}

    def __init__(self):
        self.raw = []
        self.sink = syslog_sink.Sink(self.raw.append)

    def take(self, pid):
        """[(level, text)] that process pid logged, all as user facility."""
        self.sink.drain()
        with self.sink.lock:
            mine, rest = [], []
            for line in self.raw:
                m = self.LINE.fullmatch(line)
                if m and int(m[2]) == pid:
                    mine.append(m)
                else:
                    rest.append(line)
            self.raw[:] = rest
        assert all(int(m[1]) >> 3 == 1 for m in mine), mine
        return [(self.LEVELS[int(m[1]) & 7], m[3].decode()) for m in mine]


SYSLOG = Syslog() if syslog_sink.private() else None


class AdmissionStub:
    """Admission server of the test. Answers every connection with `reply`
    (None: closes without answering); keeps what each client sent before the
    answer and after it, up to the client's close."""

    def __init__(self, directory, reply=b"PROCEED", on_client_close=None):
        self.path = os.path.join(directory, "adm.sock")
        self.reply, self.on_client_close = reply, on_client_close
        self.requests, self.after_reply = [], []
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(64)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            conn.settimeout(20)
            request = conn.recv(4096)
            self.requests.append(request)
            if self.reply is None or not request:
                return
            conn.sendall(self.reply)
            rest = b""
            while chunk := conn.recv(4096):
                rest += chunk
            if self.on_client_close:
                self.on_client_close()
            self.after_reply.append(rest)

    def close(self):
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        os.unlink(self.path)


class Answer:
    def __init__(self, proc, out, err):
        self.exit, self.out, self.err = proc.returncode, out, err
        head, _, self.body = out.partition(b"\n\n")
        self.fields = dict(line.split(": ", 1) for line in head.decode().splitlines() if ": " in line)
        self.status = self.fields.get("Status")
        self.code = int(self.fields.get("OVRA-Error-Code", 0))
        self.log = SYSLOG.take(proc.pid) if SYSLOG else None


def wait_for(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def start(env, stdin=subprocess.PIPE):
    return subprocess.Popen([RELAY], env=env, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def run(env, body=b"", stdin=None):
    proc = start(env, stdin or subprocess.PIPE)
    out, err = proc.communicate(None if stdin else body, timeout=30)
    return Answer(proc, out, err)


def run_fed(env, body, piece):
    """run with the body sent through a Unix stream socket, as mod_cgid
    gives it, in pieces of piece bytes."""
    ours, theirs = socket.socketpair()
    proc = start(env, stdin=theirs.fileno())
    theirs.close()
    with ours:
        ours.settimeout(30)
        for at in range(0, len(body), piece):
            ours.sendall(body[at:at + piece])
        ours.shutdown(socket.SHUT_WR)
        out, err = proc.communicate(timeout=30)
    return Answer(proc, out, err)


class Fixture(unittest.TestCase):
    """A private folder with a 3 MiB + 5 byte image, and a PROCEED stub."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="diskrelay-test-")
        self.dir = self.tmp.name
        self.image = os.path.join(self.dir, "image")
        self.data = os.urandom(3 * MIB + 5)
        with open(self.image, "wb") as f:
            f.write(self.data)
        self.stub = AdmissionStub(self.dir)

    def tearDown(self):
        self.stub.close()
        self.tmp.cleanup()

    def request(self, changes=None, **more):
        env = {"XFER_CANON_PATH": self.image, "HTTP_X_OVRA_XFER_CONTEXT": "ctx-1", "XFER_START": "0",
               "REQUEST_METHOD": "GET", "ADM_CTRL_PATH": self.stub.path, "XFER_END": "10"}
        for name, value in {**(changes or {}), **more}.items():
            if value is DROP:
                env.pop(name, None)
            else:
                env[name] = value.format(dir=self.dir, image=self.image) if isinstance(value, str) else value
        return env

    def assertErrors(self, answer, expected):
        """The LOG_ERR lines, in order; an expected line ending in ": *"
        matches any errno text."""
        if answer.log is None:
            return
        got = [text for level, text in answer.log if level == "ERR"]
        self.assertEqual(len(got), len(expected), got)
        for line, want in zip(got, expected):
            self.assertTrue(line == want or want.endswith(": *") and line.startswith(want[:-1]), line)
        self.assertTrue(all(text.startswith("ERR  ") == (level == "ERR") for level, text in answer.log))

    def assertLogged(self, answer, expected):
        if answer.log is None:
            return
        stamp = re.compile(r"timestamp=\d+\.\d{6} ")
        self.assertEqual([(level, stamp.sub("timestamp=T ", text)) for level, text in answer.log], expected)


class VariableContract(Fixture):
    # outcome: (status, code) = header block; ("missing", NAME) = environment
    # dump, no output, exit 1; ("method", TEXT) = refused method, exit 1.
    ROWS = [
        ("416 needs no other variable", "only", {"RANGE_UNSATISFIABLE": ""}, ("416 Range Unsatisfiable", 103), False),
        ("path missing", {"XFER_CANON_PATH": DROP, "HTTP_COOKIE": "s=1", "HTTP_AUTHORIZATION": "Basic cHc=",
                          "HTTP_PROXY_AUTHORIZATION": "NTLM x", "HTTP_AUTHORIZATIONS": "shown"},
         ("missing", "XFER_CANON_PATH"), False),
        ("context missing", {"HTTP_X_OVRA_XFER_CONTEXT": DROP}, ("missing", "HTTP_X_OVRA_XFER_CONTEXT"), False),
        ("start missing", {"XFER_START": DROP}, ("missing", "XFER_START"), False),
        ("method missing", {"REQUEST_METHOD": DROP}, ("missing", "REQUEST_METHOD"), False),
        ("first missing is named", {"XFER_START": DROP, "HTTP_X_OVRA_XFER_CONTEXT": DROP},
         ("missing", "HTTP_X_OVRA_XFER_CONTEXT"), False),
        ("device id needs cert id", {"EXPECTED_DEVICE_ID": "AbC"}, ("missing", "HTTP_SSL_DEVICE_UUID"), False),
        ("device id differs in case", {"EXPECTED_DEVICE_ID": "AbC", "HTTP_SSL_DEVICE_UUID": "abc"},
         ("500 Internal Server Error", 118), False),
        ("device id matches", {"EXPECTED_DEVICE_ID": "AbC", "HTTP_SSL_DEVICE_UUID": "AbC"}, ("200 OK", 0), True),
        # Another device must not learn that a range lies past the image's end.
        ("device id checked before 416", {"RANGE_UNSATISFIABLE": "", "EXPECTED_DEVICE_ID": "a",
                                          "HTTP_SSL_DEVICE_UUID": "b"}, ("500 Internal Server Error", 118), False),
        ("cert id unread without device id", {"HTTP_SSL_DEVICE_UUID": "x"}, ("200 OK", 0), True),
        ("bypass still needs socket path", {"BYPASS_ADMCTL": "", "ADM_CTRL_PATH": DROP}, ("missing", "ADM_CTRL_PATH"), False),
        ("bypass asks nobody", {"BYPASS_ADMCTL": ""}, ("200 OK", 0), False),
        ("start out of range, before admission", {"XFER_START": "9" * 20}, ("500 Internal Server Error", 107), False),
        ("GET needs end", {"XFER_END": DROP}, ("missing", "XFER_END"), True),
        ("end out of range, after admission", {"XFER_END": "9" * 20}, ("500 Internal Server Error", 107), True),
        ("range needs content range", {"HTTP_RANGE": "bytes=0-9"}, ("missing", "CONTENT_RANGE_HEADER"), True),
        ("POST needs no end", {"REQUEST_METHOD": "POST", "XFER_END": DROP}, ("200 OK", 0), True),
        ("lower-case get", {"REQUEST_METHOD": "get"}, ("method", "get"), True),
        ("HEAD", {"REQUEST_METHOD": "HEAD"}, ("method", "HEAD"), True),
        ("PUT", {"REQUEST_METHOD": "PUT"}, ("method", "PUT"), True),
    ]

    def test_rows(self):
        for name, *row in self.ROWS:
            only = row[0] == "only"
            changes, outcome, asks = row[1:] if only else row
            with self.subTest(name):
                env = changes if only else self.request(changes)
                asked_before = len(self.stub.requests)
                answer = run(env)
                self.assertEqual(len(self.stub.requests) - asked_before, int(asks))
                if outcome[0] == "missing":
                    hidden = {"HTTP_COOKIE", "HTTP_AUTHORIZATION", "HTTP_PROXY_AUTHORIZATION"}  # credentials
                    dump = "".join(f"{k}={'(hidden)' if k in hidden else v}\n" for k, v in env.items())
                    self.assertEqual((answer.exit, answer.out), (1, b""))
                    self.assertEqual(answer.err.decode(), f"Missing required environment variable {outcome[1]}\n{dump}")
                elif outcome[0] == "method":
                    self.assertEqual((answer.exit, answer.out, answer.err),
                                     (1, b"", f"Unknown request_method {outcome[1]}".encode()))
                else:
                    self.assertEqual((answer.status, answer.code, answer.err), (*outcome, b""))
                    self.assertEqual(answer.exit, 0 if outcome[1] in (0, 103) else 1)


class HeaderBlocks(Fixture):
    LEAD = ("Content-Type: application/octet-stream\nContent-Length: {}\nStatus: {}\n"
            "X-OVRA-Release: 1.99B\nX-OVRA-Version: 4.0.1\n")
    ROWS = [  # name, changes, stub reply, exact header block
        ("GET", {"XFER_START": "3", "XFER_END": "13"}, b"PROCEED", LEAD.format(10, "200 OK") + "\n"),
        ("GET with range", {"XFER_END": "10", "HTTP_RANGE": "x", "CONTENT_RANGE_HEADER": "bytes 0-9/7"}, b"PROCEED",
         LEAD.format(10, "206 Partial Content") + "Content-Range: bytes 0-9/7\n\n"),
        ("POST", {"REQUEST_METHOD": "POST"}, b"PROCEED", LEAD.format(0, "200 OK") + "\n"),
        ("range unsatisfiable", {"RANGE_UNSATISFIABLE": ""}, b"PROCEED",
         LEAD.format(0, "416 Range Unsatisfiable") + "OVRA-Error-Code: 103\n\n"),
        ("admission deferred", {}, b"RETRY 30", LEAD.format(0, "403 Forbidden") + "X-OVRA-Retry: 30\nOVRA-Error-Code: 120\n\n"),
        ("failure", {"XFER_CANON_PATH": "{dir}/none"}, b"PROCEED",
         LEAD.format(0, "500 Internal Server Error") + "OVRA-Error-Code: 108\n\n"),
    ]

    def test_rows(self):
        for name, changes, reply, block in self.ROWS:
            with self.subTest(name):
                self.stub.reply = reply
                answer = run(self.request(changes))
                head = answer.out[:len(answer.out) - len(answer.body)]
                self.assertEqual(head.decode(), block)
                self.assertEqual(len(answer.body), int(answer.fields["Content-Length"]))


class TransferErrors(Fixture):
    SIZE = 3 * MIB + 5
    # expected log: the LOG_ERR lines (see assertErrors)
    ROWS = [
        ("seek to negative start", {"XFER_START": "-1"}, b"", 101,
         ["ERR  SYNC ERR send_file: could not seek to xfer_start: Invalid argument"]),
        ("range past end of file", {"XFER_START": "10", "XFER_END": str(SIZE + 1)}, b"", 101,
         ["ERR  SYNC ERR send_file: unexpected EOF: *"]),
        ("range beyond end of file", {"XFER_START": str(SIZE + 10), "XFER_END": str(SIZE + 20)}, b"", 101,
         ["ERR  SYNC ERR send_file: unexpected EOF: *"]),
        ("upload at negative start", {"REQUEST_METHOD": "POST", "XFER_START": "-1"}, b"abc", 101,
         ["ERR  SYNC ERR receive_file: could not seek to xfer_start: Invalid argument"]),
        ("upload body cut short", {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": "100", "XFER_CANON_PATH": "{dir}/short"}, b"x" * 10, 101,
         ["ERR  SYNC ERR receive_file: request body ended early: *"]),
        ("upload block not written", {"REQUEST_METHOD": "POST", "XFER_CANON_PATH": "/dev/full"}, b"x" * MIB, 101,
         ["ERR  SYNC ERR transfer_file: could not write all data: No space left on device"]),
        ("upload not flushed at close", {"REQUEST_METHOD": "POST", "XFER_CANON_PATH": "/dev/full"}, b"x", 101,
         ["ERR  SYNC ERR receive_file: could not close src stream: No space left on device"]),
        ("start without digits", {"XFER_START": "abc"}, b"", 107,
         ["ERR  diskrelay: error converting_str=abc to xfer_start - errno is 22",
          "ERR  SYNC ERR get_offset: cannot read offset: Invalid argument"]),
        ("start with trailing text", {"XFER_START": "12abc"}, b"", 107,
         ["ERR  diskrelay: error converting_str=12abc to xfer_start - errno is 22",
          "ERR  SYNC ERR get_offset: cannot read offset: Invalid argument"]),
        ("empty start", {"XFER_START": ""}, b"", 107,
         ["ERR  diskrelay: error converting_str= to xfer_start - errno is 22",
          "ERR  SYNC ERR get_offset: cannot read offset: Invalid argument"]),
        ("start beyond 64 bits", {"XFER_START": "9" * 20}, b"", 107,
         [f"ERR  diskrelay: error converting_str={'9' * 20} to xfer_start - errno is 34",
          "ERR  SYNC ERR get_offset: cannot read offset: Numerical result out of range"]),
        ("end below start", {"XFER_START": "10", "XFER_END": "9"}, b"", 107,
         ["ERR  SYNC ERR diskrelay: xfer_end below xfer_start: Invalid argument"]),
        ("missing file", {"XFER_CANON_PATH": "{dir}/none"}, b"", 108,
         ["ERR  SYNC ERR send_file: could not open file: No such file or directory"]),
        ("directory", {"XFER_CANON_PATH": "{dir}"}, b"", 108,
         ["ERR  SYNC ERR send_file: could not open file: Is a directory"]),
        ("upload into missing folder", {"REQUEST_METHOD": "POST", "XFER_CANON_PATH": "{dir}/no/file"}, b"abc", 108,
         ["ERR  SYNC ERR receive_file: could not open file: No such file or directory"]),
        # Below the image folder no symbolic link is followed, not even one
        # that stays inside; a path outside the folder is not opened at all.
        ("link below the image folder", {"CHUNK_IMAGE_DIR": "{dir}", "XFER_CANON_PATH": "{dir}/link"}, b"", 108,
         ["ERR  SYNC ERR send_file: could not open file: Too many levels of symbolic links"]),
        ("linked folder", {"CHUNK_IMAGE_DIR": "{dir}", "XFER_CANON_PATH": "{dir}/linkdir/image"}, b"", 108,
         ["ERR  SYNC ERR send_file: could not open file: Too many levels of symbolic links"]),
        ("upload through a dangling link", {"REQUEST_METHOD": "POST", "CHUNK_IMAGE_DIR": "{dir}/",
                                            "XFER_CANON_PATH": "{dir}/dangling"}, b"abc", 108,
         ["ERR  SYNC ERR receive_file: could not open file: Too many levels of symbolic links"]),
        ("path outside the image folder", {"CHUNK_IMAGE_DIR": "{dir}/sub", "XFER_CANON_PATH": "{dir}/sub-image"},
         b"", 108, ["ERR  SYNC ERR send_file: could not open file: Invalid cross-device link"]),
        # The web server's bound on an upload: nothing is written past it.
        ("upload longer than its bound", {"REQUEST_METHOD": "POST", "XFER_START": "2", "XFER_UPLOAD_END": "5",
                                          "XFER_CANON_PATH": "{dir}/bounded"}, b"0123456789", 101,
         ["ERR  SYNC ERR transfer_file: could not write all data: File too large"]),
        ("upload bound below start", {"REQUEST_METHOD": "POST", "XFER_START": "2", "XFER_UPLOAD_END": "1"}, b"x", 107,
         ["ERR  SYNC ERR diskrelay: xfer_end below xfer_start: Invalid argument"]),
        ("device id mismatch", {"EXPECTED_DEVICE_ID": "a", "HTTP_SSL_DEVICE_UUID": "b"}, b"", 118,
         ["ERR  SYNC ERR diskrelay: expected device ID does not match SSL cert: *"]),
        ("no admission server", {"ADM_CTRL_PATH": "{dir}/nobody"}, b"", 121,
         ["ERR  SYNC ERR connect_to_admission_server: could not connect to admission control server: "
          "No such file or directory"]),
        ("socket path over 107 bytes", {"ADM_CTRL_PATH": "/" * 113 + "{dir}/adm.sock"}, b"", 121,
         ["ERR  SYNC ERR connect_to_admission_server: socket path too long: File name too long"]),
        ("context too long", {"HTTP_X_OVRA_XFER_CONTEXT": "c" * 250}, b"", 121,
         ["ERR  SYNC ERR send_message_to_adm_ctl: unexpectedly long message: *"]),
    ]

    def test_rows(self):
        outside = self.dir + "-outside"
        self.addCleanup(lambda: os.path.exists(outside) and os.unlink(outside))
        os.symlink("image", os.path.join(self.dir, "link"))
        os.symlink(".", os.path.join(self.dir, "linkdir"))
        os.symlink(outside, os.path.join(self.dir, "dangling"))
        for name, changes, body, code, errors in self.ROWS:
            with self.subTest(name):
                env = self.request(changes, CONTENT_LENGTH=changes.get("CONTENT_LENGTH", str(len(body))))
                answer = run(env, body)
                self.assertEqual((answer.exit, answer.status, answer.code, answer.body),
                                 (1, "500 Internal Server Error", code, b""))
                self.assertErrors(answer, errors)
                self.assertEqual(self.data, read(self.image))
        self.assertFalse(os.path.exists(outside))
        self.assertEqual(os.path.getsize(os.path.join(self.dir, "bounded")), 0)  # nothing of the too-long body


class AdmissionConversation(Fixture):
    # outcome: 0 = transfer runs, n > 0 = 403 with retry n, -1 = 500 with 121
    UNKNOWN = "ERR  request_admission: unknown response from admission control: "
    ROWS = [  # name, context, reply (None: close unanswered), outcome, LOG_ERR line before the fatal one
        ("plain request", "abc", b"PROCEED", 0, None),
        ("255-character request", "c" * 249, b"PROCEED", 0, None),
        ("context with spaces", "a b  c", b"PROCEED", 0, None),
        ("PROCEED with NUL", "abc", b"PROCEED\0", 0, None),
        ("PROCEED and more", "abc", b"PROCEED now please", 0, None),
        ("PROCEED after spaces", "abc", b"  PROCEED", 0, None),
        ("start of PROCEED", "abc", b"PRO", 0, None),
        ("PROCEED with line feed", "abc", b"PROCEED\n", -1, UNKNOWN + "PROCEED\\x0a"),
        ("PROCEEDED", "abc", b"PROCEEDED", -1, UNKNOWN + "PROCEEDED"),
        ("RETRY 30", "abc", b"RETRY 30", 30, None),
        ("RETRY 30 with line feed", "abc", b"RETRY 30\n", 30, None),
        ("RETRY past int range", "abc", b"RETRY  99999999999", 2147483647, None),
        ("RETRY 0", "abc", b"RETRY 0", 0, None),
        ("RETRY word", "abc", b"RETRY abc", 0, None),
        ("RETRY negative", "abc", b"RETRY -5", -1, None),
        ("RETRY alone", "abc", b"RETRY", -1, UNKNOWN + "RETRY"),
        ("RETRY and spaces", "abc", b"RETRY   ", -1, UNKNOWN + "RETRY"),
        ("lower case", "abc", b"retry 30", -1, UNKNOWN + "retry"),
        ("no token", "abc", b"   ", -1, UNKNOWN),
        ("closed unanswered", "abc", None, -1,
         "ERR  request_admission: could not read response from admission control server"),
    ]

    def test_rows(self):
        for name, context, reply, outcome, error in self.ROWS:
            with self.subTest(name):
                self.stub.reply = reply
                sent = len(self.stub.requests)
                answer = run(self.request(HTTP_X_OVRA_XFER_CONTEXT=context))
                self.assertEqual(self.stub.requests[sent:], [b"ADMIT " + context.encode()])
                if outcome == 0:
                    self.assertEqual((answer.status, answer.body), ("200 OK", self.data[:10]))
                elif outcome > 0:
                    self.assertEqual((answer.status, answer.fields.get("X-OVRA-Retry"), answer.code, answer.exit),
                                     ("403 Forbidden", str(outcome), 120, 0))
                else:
                    self.assertEqual((answer.status, answer.code, answer.exit), ("500 Internal Server Error", 121, 1))
                fatal = ["ERR  SYNC ERR error requesting admission: *"] if outcome < 0 else []
                self.assertErrors(answer, ([error] if error else []) + fatal)
        answered = sum(reply is not None for _, _, reply, _, _ in self.ROWS)
        self.assertTrue(wait_for(lambda: len(self.stub.after_reply) == answered))
        self.assertEqual(set(self.stub.after_reply), {b""})  # nothing more sent, ever

    def test_device_field(self):
        # Legend: the request's variables, and what the admission server gets
        # (None: nothing, the request fails with 121 first). Only a device id
        # that diskrelay checked goes along, behind a NUL.
        checked = {"EXPECTED_DEVICE_ID": "dev-1", "HTTP_SSL_DEVICE_UUID": "dev-1"}
        rows = [
            ("no device check", {"HTTP_X_OVRA_XFER_CONTEXT": "abc"}, b"ADMIT abc"),
            ("device header alone, unchecked", {"HTTP_X_OVRA_XFER_CONTEXT": "abc", "HTTP_SSL_DEVICE_UUID": "dev-1"},
             b"ADMIT abc"),
            ("checked device", {**checked, "HTTP_X_OVRA_XFER_CONTEXT": "abc"}, b"ADMIT abc\0device=dev-1"),
            # The server only logs the context: a long one makes room.
            ("longest context gives way to the device", {**checked, "HTTP_X_OVRA_XFER_CONTEXT": "c" * 249},
             b"ADMIT " + b"c" * 236 + b"\0device=dev-1"),
            ("longest device", {"EXPECTED_DEVICE_ID": "d" * 241, "HTTP_SSL_DEVICE_UUID": "d" * 241},
             b"ADMIT \0device=" + b"d" * 241),
            ("device too long to send", {"EXPECTED_DEVICE_ID": "d" * 242, "HTTP_SSL_DEVICE_UUID": "d" * 242}, None),
        ]
        for name, changes, sent in rows:
            with self.subTest(name):
                before = len(self.stub.requests)
                answer = run(self.request(changes))
                if sent is None:
                    self.assertEqual((answer.status, answer.code), ("500 Internal Server Error", 121))
                    self.assertErrors(answer, ["ERR  SYNC ERR send_message_to_adm_ctl: unexpectedly long message: *"])
                    wait_for(lambda: len(self.stub.requests) > before, timeout=0.3)
                    self.assertIn(self.stub.requests[before:], ([], [b""]))  # connected, nothing sent
                else:
                    self.assertEqual(answer.status, "200 OK")
                    self.assertTrue(wait_for(lambda: len(self.stub.requests) > before))
                    self.assertEqual(self.stub.requests[before:], [sent])
                    self.assertLessEqual(len(sent), 255)

    def test_connection_held_until_transfer_done(self):
        body = os.urandom(2 * MIB)
        target = os.path.join(self.dir, "upload")
        closes = []
        self.stub.on_client_close = lambda: closes.append(read(target) if os.path.exists(target) else None)

        upload = start(self.request(REQUEST_METHOD="POST", XFER_CANON_PATH=target, CONTENT_LENGTH=str(len(body))))
        upload.stdin.write(body[:MIB + 7])
        upload.stdin.flush()
        time.sleep(0.3)
        self.assertEqual((len(self.stub.requests), closes), (1, []))
        out, _ = upload.communicate(body[MIB + 7:], timeout=30)
        self.assertEqual((upload.returncode, Answer(upload, out, b"").status), (0, "200 OK"))
        self.assertTrue(wait_for(lambda: closes))
        self.assertEqual(closes, [body])  # closed only once the upload was stored

        os.unlink(target)
        download = start(self.request(XFER_END=str(len(self.data))))
        first = download.stdout.read(MIB)  # the rest waits in the pipe
        time.sleep(0.3)
        self.assertEqual((len(self.stub.requests), len(closes)), (2, 1))
        rest = download.stdout.read()
        download.communicate(timeout=30)
        self.assertTrue(Answer(download, first + rest, b"").body == self.data)
        self.assertTrue(wait_for(lambda: len(closes) == 2))


class ByteExactness(Fixture):
    SPARSE = 4 * GIB + 3 * MIB  # sparse files: only the bytes around 4 GiB are real

    def test_downloads(self):
        sparse = os.path.join(self.dir, "sparse")
        marks = os.urandom(64)
        with open(sparse, "wb") as f:
            f.truncate(self.SPARSE)
            f.seek(4 * GIB - 32)
            f.write(marks)
        size = len(self.data)
        rows = [  # name, path, start, end, Content-Range, expected bytes
            ("empty range", self.image, 5, 5, None, b""),
            ("one block and one byte", self.image, 7, 7 + MIB + 1, None, self.data[7:7 + MIB + 1]),
            ("whole file", self.image, 0, size, None, self.data),
            ("file tail as range", self.image, size - 3, size, "bytes 9-11/12", self.data[-3:]),
            ("across 4 GiB", sparse, 4 * GIB - 40, 4 * GIB + 40, None, bytes(8) + marks + bytes(8)),
            ("past 4 GiB", sparse, 4 * GIB + 1, 4 * GIB + 20, "bytes x", marks[33:52]),
            ("white space and sign", self.image, " +3", 9, None, self.data[3:9]),
        ]
        for name, path, first, end, content_range, expected in rows:
            with self.subTest(name):
                extra = {"HTTP_RANGE": "r", "CONTENT_RANGE_HEADER": content_range} if content_range else {}
                answer = run(self.request(XFER_CANON_PATH=path, XFER_START=str(first), XFER_END=str(end), **extra))
                self.assertEqual((answer.exit, answer.status, answer.fields.get("Content-Range")),
                                 (0, "206 Partial Content" if content_range else "200 OK", content_range))
                self.assertEqual(answer.fields["Content-Length"], str(len(expected)))
                self.assertTrue(answer.body == expected)

    def test_uploads(self):
        body = os.urandom(MIB + 3)
        rows = [  # name, start, body, file before (None: none; a number: that many zero bytes, sparse), size after,
            # pieces (None: the body through a pipe at once; n: through a socket, n bytes at a time)
            ("new file", 0, body, None, len(body), None),
            ("new file at an offset", 1000, body, None, 1000 + len(body), None),
            ("empty body, new file", 0, b"", None, 0, None),
            ("middle of a file", 100, body, self.data, len(self.data), None),
            ("growing a file", len(self.data) - 3, b"abcdef", self.data, len(self.data) + 3, None),
            ("past 4 GiB, new file", 4 * GIB + 5, body, None, 4 * GIB + 5 + len(body), None),
            ("across 4 GiB, sparse file", 4 * GIB - 3, body, self.SPARSE, self.SPARSE, None),
            ("from a socket", 100, body, self.data, len(self.data), 65536),
            ("from a socket in small pieces", 5, body[:300000], self.data, len(self.data), 100),
        ]
        for n, (name, first, data, existing, size, pieces) in enumerate(rows):
            with self.subTest(name):
                target = os.path.join(self.dir, f"upload{n}")
                old = existing if isinstance(existing, bytes) else b""
                if existing is not None:
                    with open(target, "wb") as f:
                        f.write(old)
                        f.truncate(max(len(old), 0 if old else existing))
                env = self.request(REQUEST_METHOD="POST", XFER_CANON_PATH=target, XFER_START=str(first),
                                   CONTENT_LENGTH=str(len(data)))
                answer = run_fed(env, data, pieces) if pieces else run(env, data)
                self.assertEqual((answer.exit, answer.status, answer.body), (0, "200 OK", b""))
                self.assertEqual(os.path.getsize(target), size)
                low = max(0, first - 16)
                before = old[low:first].ljust(first - low, b"\0")
                after = old[first + len(data):first + len(data) + 16]
                with open(target, "rb") as f:
                    f.seek(low)
                    self.assertTrue(f.read(len(before) + len(data) + len(after)) == before + data + after)
                os.unlink(target)

    def test_concurrent_uploads_into_one_file(self):
        parts = [os.urandom(512 * 1024 + i) for i in range(8)]
        offsets = [sum(map(len, parts[:i])) for i in range(8)]
        target = os.path.join(self.dir, "shared")
        with open(target, "wb") as f:
            f.truncate(sum(map(len, parts)))
        procs = [start(self.request(REQUEST_METHOD="POST", XFER_CANON_PATH=target, XFER_START=str(o)))
                 for o in offsets]
        for proc, part in zip(procs, parts):  # every upload has started before any ends
            proc.stdin.write(part[:1000])
        for proc, part in zip(procs, parts):
            out, err = proc.communicate(part[1000:], timeout=30)
            self.assertEqual((proc.returncode, Answer(proc, out, err).status), (0, "200 OK"))
        self.assertTrue(read(target) == b"".join(parts))

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_racing_creators_keep_both_chunks(self):
        # The late creator is held for a moment after it found no file, so
        # the early one creates the file and stores its chunk in between.
        early, late = os.urandom(256 * 1024), os.urandom(256 * 1024)
        target = os.path.join(self.dir, "race")
        hold = ["strace", "-qq", "-o", "/dev/null", "-P", target, "-e", "trace=newfstatat,stat",
                "-e", "inject=newfstatat,stat:delay_exit=1000000"]
        env = self.request(REQUEST_METHOD="POST", XFER_CANON_PATH=target, XFER_START=str(len(early)),
                           ASAN_OPTIONS="detect_leaks=0")  # the leak checker refuses to run traced
        held = subprocess.Popen(hold + [RELAY], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        time.sleep(0.2)
        self.assertEqual(run(self.request(REQUEST_METHOD="POST", XFER_CANON_PATH=target), early).status, "200 OK")
        out, _ = held.communicate(late, timeout=30)
        self.assertEqual((held.returncode, out.count(b"Status: 200 OK")), (0, 1))
        self.assertTrue(read(target) == early + late)


@unittest.skipUnless(SYSLOG, "needs root for a private /dev/log")
class SyslogLines(Fixture):
    PERF = "perf_log event={} source={} timestamp=T chunk_no={} chunk_size={}\n"
    TIMING = {"LOG_REQUESTS": "", "REMOTE_ADDR": "192.0.2.7", "HTTP_X_OVRA_CLIENTID": "dev-9", "CKNO": "4", "CKSIZE": "10"}
    ROWS = [  # name, changes, stub reply, body, [(level, text)] with {image} for the file path
        ("timed download", TIMING, b"PROCEED", b"", [
            ("NOTICE", PERF.format("chunk_start", "192.0.2.7:dev-9", 4, 10)),
            ("NOTICE", "diskrelay started - GET {image} context=ctx-1 start=0"),
            ("NOTICE", "sendfile complete - xfer_canonpath={image}"),
            ("NOTICE", PERF.format("chunk_end", "192.0.2.7:dev-9", 4, 10))]),
        ("upload", {"REQUEST_METHOD": "POST", "XFER_START": "5"}, b"PROCEED", b"hello", [
            ("NOTICE", "diskrelay started - POST {image} context=ctx-1 start=5"),
            ("NOTICE", "receive_file complete: total_recv=5 xfer_canon_path={image}")]),
        ("unsatisfiable, timed", {"RANGE_UNSATISFIABLE": "", "LOG_REQUESTS": ""}, b"PROCEED", b"", [
            ("NOTICE", PERF.format("chunk_start", "-:-", "-", "-"))]),
        ("deferred, timed", {"LOG_REQUESTS": ""}, b"RETRY 30", b"", [
            ("NOTICE", PERF.format("chunk_start", "-:-", "-", "-")),
            ("NOTICE", "diskrelay started - GET {image} context=ctx-1 start=0"),
            ("NOTICE", "admission denied, retry=30")]),
        ("upload failure", {"REQUEST_METHOD": "POST", "XFER_CANON_PATH": "{dir}"}, b"PROCEED", b"", [
            ("NOTICE", "diskrelay started - POST {dir} context=ctx-1 start=0"),
            ("ERR", "ERR  SYNC ERR receive_file: could not open file: Is a directory")]),
        # Client text: no field, line or raw byte of its own (\udcXX: raw bytes).
        ("forged fields", {**TIMING, "HTTP_X_OVRA_CLIENTID": "x timestamp=0 chunk_no=999 event=chunk_end",
                           "HTTP_X_OVRA_XFER_CONTEXT": "c start=9"}, b"PROCEED", b"", [
            ("NOTICE", PERF.format("chunk_start", r"192.0.2.7:x\x20timestamp=0\x20chunk_no=999\x20event=chunk_end",
                                   4, 10)),
            ("NOTICE", r"diskrelay started - GET {image} context=c\x20start=9 start=0"),
            ("NOTICE", "sendfile complete - xfer_canonpath={image}"),
            ("NOTICE", PERF.format("chunk_end", r"192.0.2.7:x\x20timestamp=0\x20chunk_no=999\x20event=chunk_end",
                                   4, 10))]),
        ("raw bytes, quotes, line ends", {**TIMING, "HTTP_X_OVRA_CLIENTID": "\udcff\udcfe\udc80\"\\",
                                          "CKNO": "1\nERR  forged", "HTTP_X_OVRA_XFER_CONTEXT": "\t\r\n\x7f"},
         b"PROCEED", b"", [
            ("NOTICE", PERF.format("chunk_start", r"192.0.2.7:\xff\xfe\x80\x22\x5c", r"1\x0aERR\x20\x20forged", 10)),
            ("NOTICE", r"diskrelay started - GET {image} context=\x09\x0d\x0a\x7f start=0"),
            ("NOTICE", "sendfile complete - xfer_canonpath={image}"),
            ("NOTICE", PERF.format("chunk_end", r"192.0.2.7:\xff\xfe\x80\x22\x5c", r"1\x0aERR\x20\x20forged", 10))]),
        ("offset text", {"XFER_START": "1 x\udcff"}, b"PROCEED", b"", [
            ("NOTICE", r"diskrelay started - GET {image} context=ctx-1 start=1\x20x\xff"),
            ("ERR", r"ERR  diskrelay: error converting_str=1\x20x\xff to xfer_start - errno is 22"),
            ("ERR", "ERR  SYNC ERR get_offset: cannot read offset: Invalid argument")]),
    ]

    def test_rows(self):
        for name, changes, reply, body, lines in self.ROWS:
            with self.subTest(name):
                self.stub.reply = reply
                before = time.time()
                answer = run(self.request(changes), body)
                expected = [(level, text.format(image=self.image, dir=self.dir)) for level, text in lines]
                self.assertLogged(answer, expected)
                for stamp in re.findall(r"timestamp=(\d+\.\d{6}) ", " ".join(t for _, t in answer.log)):
                    self.assertTrue(before - 1 < float(stamp) < time.time() + 1)

    def test_terminal_gets_a_copy(self):
        leader, follower = os.openpty()
        proc = subprocess.Popen([RELAY], env=self.request(), stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        proc.communicate(timeout=30)
        copy = b""
        try:
            while chunk := os.read(leader, 65536):
                copy += chunk
        except OSError:  # EIO: the last holder of the terminal is gone
            pass
        os.close(leader)
        copy = copy.decode()
        self.assertIn("diskrelay:[%d]: sendfile complete - xfer_canonpath=%s" % (proc.pid, self.image), copy)


class UnfinishedAnswers(Fixture):
    """Upload bodies read to the end before any answer; no second header
    block once bytes are on their way."""

    def test_turned_away_uploads_read_the_whole_body(self):
        body_file = os.path.join(self.dir, "body")
        with open(body_file, "wb") as f:
            f.write(os.urandom(3 * MIB))
        rows = [  # name, changes, stub reply, CONTENT_LENGTH, expected status, body bytes read at least
            ("open fails", {"XFER_CANON_PATH": "{dir}/no/file"}, b"PROCEED", str(2 * MIB), "500 Internal Server Error", 2 * MIB),
            ("open fails, no length", {"XFER_CANON_PATH": "{dir}/no/file"}, b"PROCEED", DROP, "500 Internal Server Error", 3 * MIB),
            ("admission fails", {}, b"nope", str(3 * MIB), "500 Internal Server Error", 3 * MIB),
            ("admission deferred", {}, b"RETRY 9", str(3 * MIB), "403 Forbidden", 3 * MIB),
        ]
        for name, changes, reply, length, status, consumed in rows:
            with self.subTest(name):
                self.stub.reply = reply
                with open(body_file, "rb") as stdin:
                    answer = run(self.request(changes, REQUEST_METHOD="POST", CONTENT_LENGTH=length), stdin=stdin)
                    self.assertGreaterEqual(os.lseek(stdin.fileno(), 0, os.SEEK_CUR), consumed)
                self.assertEqual((answer.status, answer.out.count(b"Status:")), (status, 1))

    def test_failing_downloads_stop_after_their_header_block(self):
        rows = [  # name, changes, how stdout is given, LOG_ERR fatal line
            ("source ends mid-stream", {"XFER_CANON_PATH": "/dev/null"}, "pipe", "send_file: unexpected EOF"),
            ("client gone", {"XFER_END": str(3 * MIB)}, "closed", "send_file: could not write all data"),
            ("client gone, range within one buffer", {"XFER_END": "100"}, "closed",
             "send_file: could not write all data"),
        ]
        for name, changes, stdout, fatal in rows:
            with self.subTest(name):
                read_end, write_end = os.pipe()
                if stdout == "closed":
                    os.close(read_end)
                proc = subprocess.Popen([RELAY], env=self.request(changes), stdout=write_end)
                os.close(write_end)
                proc.wait(timeout=30)
                log = SYSLOG.take(proc.pid) if SYSLOG else None
                self.assertEqual(proc.returncode, 1)
                if stdout == "pipe":
                    with os.fdopen(read_end, "rb") as r:
                        out = r.read()
                    self.assertEqual((out.count(b"Status:"), out.partition(b"\n\n")[2]), (1, b""))
                if log is not None:
                    self.assertTrue(log[-1][1].startswith(f"ERR  SYNC ERR {fatal}: "), log)


class Durability(Fixture):
    """An upload is answered only once fdatasync has its bytes on storage,
    unless NO_UPLOAD_SYNC says otherwise; a download syncs nothing."""

    def test_rows(self):
        rows = [  # name, changes, fdatasync expected
            ("upload", {"REQUEST_METHOD": "POST"}, True),
            ("upload, sync turned off", {"REQUEST_METHOD": "POST", "NO_UPLOAD_SYNC": ""}, False),
            ("download", {}, False),
        ]
        for name, changes, synced in rows:
            with self.subTest(name):
                trace = os.path.join(self.dir, "trace")
                env = self.request(changes, CONTENT_LENGTH="3")
                proc = subprocess.run(["strace", "-qq", "-s", "64", "-o", trace, "-e", "trace=fdatasync,write",
                                       RELAY], env=env, input=b"abc", capture_output=True, timeout=30)
                self.assertIn(b"Status: 200 OK", proc.stdout)
                with open(trace, encoding="utf-8", errors="replace") as f:
                    calls = [line for line in f if line.startswith(("fdatasync(", "write(1,"))]
                self.assertEqual([c.split("(")[0] for c in calls], ["fdatasync", "write"] if synced else ["write"] * len(calls))
                if synced:
                    self.assertTrue(calls[0].rstrip().endswith("= 0"), calls)


class StalledVolume(Fixture):
    """A volume that stops answering, played by strace holding the main
    thread's storage calls (a frozen network file system does the same; the
    cluster test freezes a real one): past UPLOAD_STORAGE_TIMEOUT in them
    all together the upload is answered 500 with code 101 at once, its slot
    goes back, and no 200 follows, whenever the stuck call returns."""
    BOUND_ERR = "ERR  SYNC ERR receive_file: the volume did not confirm the upload within 1 s (UPLOAD_STORAGE_TIMEOUT): "
    ROWS = [  # name, call strace delays (each time), delay in s, expected status
        ("sync stalls past the bound", "fdatasync", 8, "500 Internal Server Error"),
        ("writes add up past the bound", "pwrite64", 0.3, "500 Internal Server Error"),
        ("sync slow within the bound", "fdatasync", 0.3, "200 OK"),
    ]

    def test_rows(self):
        body = os.urandom(6 * MIB)  # 6 blocks: 6 writes
        for name, call, delay, status in self.ROWS:
            with self.subTest(name):
                target = os.path.join(self.dir, "new-" + call)
                env = self.request({"REQUEST_METHOD": "POST", "XFER_CANON_PATH": target},
                                   UPLOAD_STORAGE_TIMEOUT="1", CONTENT_LENGTH=str(len(body)))
                proc = start(env)
                # Only the main thread is traced: the watching thread runs free.
                tracer = subprocess.Popen(["strace", "-qq", "-o", "/dev/null", "-e", f"trace={call}",
                                           "-e", f"inject={call}:delay_enter={int(delay * 1e6)}", "-p", str(proc.pid)],
                                          stderr=subprocess.DEVNULL)
                self.addCleanup(lambda t=tracer: (t.kill(), t.wait()))
                self.assertTrue(wait_for(lambda: "TracerPid:\t0\n" not in read(f"/proc/{proc.pid}/status").decode()))
                began = time.monotonic()
                proc.stdin.write(body)
                proc.stdin.close()
                with proc.stdout:
                    out = proc.stdout.read()  # to its end: the stuck process closed it
                took = time.monotonic() - began
                # The slot is back while the call is still stuck.
                slot_back = wait_for(lambda: len(self.stub.after_reply) == len(self.stub.requests), timeout=2)
                tracer.kill()
                tracer.wait()
                proc.wait(timeout=30)
                answer = Answer(proc, out, proc.stderr.read())
                proc.stderr.close()
                self.assertEqual((answer.status, out.count(b"Status:")), (status, 1), out)
                if status == "200 OK":
                    self.assertEqual(read(target), body)
                    continue
                self.assertEqual((answer.exit, answer.code), (1, 101))
                self.assertLess(took, 4)
                self.assertErrors(answer, [self.BOUND_ERR + "Connection timed out"])
                self.assertTrue(slot_back)


if __name__ == "__main__":
    unittest.main()
