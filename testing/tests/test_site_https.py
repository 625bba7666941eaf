"""The HTTPS site of deploy/site.conf.in end to end, with real clients: curl
with device certificates against the chunk location (diskrelay, a real
admission daemon), login forms against a real KDC, NTLM with requests-ntlm."""

import hashlib
import html
import json
import os
import random
import shutil
import subprocess
import tempfile
import time
import unittest
from urllib.parse import urlencode

SOURCE = os.environ["ORVANE_SOURCE_DIR"]
BUILD = os.environ["ORVANE_BUILD_DIR"]

from admissiond import Admissiond, exchange  # noqa: E402
from client import curl  # noqa: E402
from httpd import TlsApache  # noqa: E402
from realm import KDC  # noqa: E402
from tlsca import CA  # noqa: E402
from site_config import (CHUNK_PREFIX, LOGIN_URL, MODULES, NTLM_URL, install, loads,  # noqa: E402
                         ntlm_user_file, site_conf)

PYTHON = "/usr/bin/python3"
NTLM_CLIENT = os.path.join(SOURCE, "deploy", "ntlm_client.py")
NTLM_OPENSSL_CONF = os.path.join(SOURCE, "deploy", "ntlm_openssl.cnf")

DEVICE, OTHER = "6f1c2a44-0d3e-4b8e-9a51-7c2d1e0f9b10", "0a9e7d55-1c2b-4f3a-8e6d-5b4c3a2f1e0d"
DOMAIN, USER, PASSWORD = "ORVANE", "alice", "S1te pass&word="
RETRY = 17
IMAGE_SIZE = 5 * (1 << 20) + 321       # six chunks, the last one short
CHUNK = 1 << 20

# What every answer of the site says about itself.
SITE_HEADERS = {"Strict-Transport-Security": "max-age=31536000",
                "Content-Security-Policy": "frame-ancestors 'none'", "X-Frame-Options": "DENY",
                "Referrer-Policy": "same-origin", "X-Content-Type-Options": "nosniff"}

# The site refuses these on purpose, so they are logged.
EXPECTED_LOG = (
    r"\[lua:warn\] .* chunk_vars: ",                             # the chunk location's refusals
    r"AH02039: Certificate Verification: Error",                # another CA's certificate
    r"check_lsa_error: LSA error \(40022\)",                    # wrong form password
    r"gss_accept_sec_context\(\) failed",                       # wrong NTLM password
    r"AH01630: client denied by server configuration: .*login",  # GET or HEAD with a body
    r"AH01623: client method denied by server configuration: '(PUT|DELETE)'",  # methods at the login
)


def form(user, password, domain=DOMAIN):
    return urlencode({"username": user, "domain": domain, "password": password, "result": "-"}).encode()


class Site(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.kdc = KDC(domain=DOMAIN)
        cls.addClassCleanup(cls.kdc.stop)
        cls.kdc.start()
        cls.kdc.add_user(USER, PASSWORD)
        cls.adm = Admissiond(limit=2, retry=RETRY)
        cls.addClassCleanup(cls.adm.stop)
        cls.adm.start()

        cls.httpd = TlsApache("site", modules=MODULES, load=loads(BUILD))
        cls.addClassCleanup(cls.httpd.stop)
        cls.device = cls.httpd.ca.issue("device", DEVICE)
        cls.other = cls.httpd.ca.issue("other", OTHER)
        cls.httpd.client_cert = cls.device
        cls.stranger = CA(os.path.join(cls.httpd.root, "stranger-ca")).issue("device", DEVICE)

        images = cls.httpd.mkdir_for_www("images")
        cls.device_dir = cls.httpd.mkdir_for_www(os.path.join("images", DEVICE))
        cls.httpd.mkdir_for_www(os.path.join("images", OTHER))
        cls.httpd.env = dict(cls.kdc.env)
        ntlm_user_file(cls.httpd, DOMAIN, USER, PASSWORD)
        cls.httpd.conf = site_conf(cls.httpd, BUILD, images, cls.adm.socket_path, DOMAIN)
        cls.httpd.start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.assert_clean_log(allow=EXPECTED_LOG)

    def chunk_url(self, name, device=DEVICE):
        return f"{CHUNK_PREFIX}/{device}/{name}"

    def test_image_round_trip_chunk_by_chunk(self):
        data = random.Random(5).randbytes(IMAGE_SIZE)
        for n, first in enumerate(range(0, IMAGE_SIZE, CHUNK)):
            piece = data[first:first + CHUNK]
            # Odd chunks name their offset in the query, even ones by Content-Range.
            where = (("?start=%d" % first,) if n % 2 else
                     ("", "-H", "Content-Range: bytes %d-%d/%d" % (first, first + len(piece) - 1, IMAGE_SIZE)))
            r = curl(self.httpd, self.chunk_url("disk.img") + where[0], *where[1:],
                     "-H", "X-OVRA-Xfer-Context: up-%d" % n, "-H", "X-OVRA-Chunk-No: %d" % n,
                     "-H", "X-OVRA-Chunk-Size: %d" % len(piece), "--data-binary", "@-", stdin=piece)
            self.assertEqual(r.status, 200, r)
        with open(os.path.join(self.device_dir, "disk.img"), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), hashlib.sha256(data).hexdigest())

        got = hashlib.sha256()
        for n, first in enumerate(range(0, IMAGE_SIZE, CHUNK)):
            last = min(first + CHUNK, IMAGE_SIZE) - 1
            r = curl(self.httpd, self.chunk_url("disk.img"), "-H", "X-OVRA-Xfer-Context: down-%d" % n,
                     "-H", "Range: bytes=%d-%d" % (first, last))
            self.assertEqual((r.status, r.headers.get("Content-Range")),
                             (206, "bytes %d-%d/%d" % (first, last, IMAGE_SIZE)))
            self.assertEqual(len(r.body), last - first + 1)
            got.update(r.body)
        self.assertEqual(got.hexdigest(), hashlib.sha256(data).hexdigest())

    def test_device_identity(self):
        with open(os.path.join(self.device_dir, "id.img"), "wb") as f:
            f.write(b"device image")
        self.httpd.give_to_www_data(os.path.join(self.device_dir, "id.img"))
        ctx = ("-H", "X-OVRA-Xfer-Context: id")
        # Another device gets one and the same answer whatever it asks, so it
        # learns nothing about the image, not even whether it exists.
        not_yours = "the client certificate is not that of the device in the URL\n"
        # Legend: cert is the client certificate presented (None: none);
        # status 0 means the TLS handshake itself was refused; code is the
        # transfer error code diskrelay sent (None: no header); text the
        # location's one-line refusal.
        rows = [
            {"name": "own device", "cert": self.device, "args": (), "status": 200, "code": None},
            {"name": "another device's certificate", "cert": self.other, "args": (),
             "status": 403, "code": None, "text": not_yours},
            {"name": "another device, range past the end", "cert": self.other,
             "args": ("-H", "Range: bytes=999999999-"), "status": 403, "code": None, "text": not_yours},
            {"name": "another device, missing image", "cert": self.other, "path": "nope.img",
             "args": (), "status": 403, "code": None, "text": not_yours},
            {"name": "another device, a folder", "cert": self.other, "path": "",
             "args": (), "status": 403, "code": None, "text": not_yours},
            {"name": "another device's HEAD", "cert": self.other, "args": ("--head",),
             "status": 403, "code": None},
            {"name": "another device's upload", "cert": self.other, "path": "id.img?start=0",
             "args": ("--data-binary", "overwritten"), "status": 403, "code": None, "text": not_yours},
            {"name": "device header sent by the client", "cert": self.other,
             "args": ("-H", "SSL-Device-UUID: " + DEVICE), "status": 403, "code": None, "text": not_yours},
            {"name": "device header in CGI spelling", "cert": self.other,
             "args": ("-H", "SSL_DEVICE_UUID: " + DEVICE), "status": 403, "code": None, "text": not_yours},
            {"name": "no certificate, device header sent", "cert": None,
             "args": ("-H", "SSL-Device-UUID: " + DEVICE), "status": 403, "code": None,
             "text": "a client certificate with a device id is required\n"},
            {"name": "certificate of another CA", "cert": self.stranger, "args": (), "status": 0, "code": None},
            {"name": "no device folder in the URL", "cert": self.device,
             "url": CHUNK_PREFIX + "/id.img", "args": (), "status": 404, "code": None,
             "text": "no device folder in the URL\n"},
            {"name": "own device, no transfer context", "cert": self.device, "url": self.chunk_url("id.img"),
             "ctx": (), "args": (), "status": 400, "code": None, "text": "no X-OVRA-Xfer-Context header\n"},
        ]
        for row in rows:
            with self.subTest(row["name"]):
                url = row.get("url") or self.chunk_url(row.get("path", "id.img"))
                r = curl(self.httpd, url, *row.get("ctx", ctx), *row["args"], cert=row["cert"])
                self.assertEqual((r.status, r.headers.get("OVRA-Error-Code")), (row["status"], row["code"]), r)
                if row["status"] == 200:
                    self.assertEqual(r.body, b"device image")
                if row["status"] == 0:
                    self.assertNotEqual(r.exit_code, 0)
                if "text" in row:
                    self.assertEqual(r.body.decode(), row["text"])
        with open(os.path.join(self.device_dir, "id.img"), "rb") as f:
            self.assertEqual(f.read(), b"device image")

    def test_trace_and_server_header(self):
        # TRACE would echo credentials back; the Server header names no version.
        for name, url, cert in (("chunk location", self.chunk_url("disk.img"), self.device),
                                ("login", LOGIN_URL, None), ("NTLM", NTLM_URL, None)):
            with self.subTest(name):
                r = curl(self.httpd, url, "-X", "TRACE", "-H", "Cookie: session=secret-cookie",
                         "-H", "Authorization: Basic c2VjcmV0", cert=cert)
                self.assertEqual((r.status, r.headers.get("Server")), (405, "Apache"), r)
                self.assertNotIn(b"secret", r.body)

    def test_admission_full(self):
        held = []
        try:
            for n in range(self.adm.limit):
                reply, sock = exchange(self.adm.socket_path, b"ADMIT holder-%d" % n)
                held.append(sock)
                self.assertEqual(reply.strip(), b"PROCEED")
            r = curl(self.httpd, self.chunk_url("disk.img"), "-H", "X-OVRA-Xfer-Context: late",
                     "-H", "Range: bytes=0-9")
            self.assertEqual((r.status, r.headers.get("X-OVRA-Retry"), r.headers.get("OVRA-Error-Code")),
                             (403, str(RETRY), "120"), r)
        finally:
            for sock in held:
                sock.close()

    def test_admission_share_per_device(self):
        # The daemon's limit is 2, so a device's share is 1: while one slot is
        # held for DEVICE (as by a download it reads slowly), DEVICE's next
        # transfer is deferred and OTHER's runs.
        with open(os.path.join(self.httpd.root, "images", OTHER, "disk.img"), "wb") as f:
            f.write(b"other's image")
        reply, held = exchange(self.adm.socket_path, b"ADMIT slow\0device=" + DEVICE.encode())
        try:
            self.assertEqual(reply, b"PROCEED")
            for name, device, cert, status, code in (("the same device", DEVICE, self.device, 403, "120"),
                                                     ("another device", OTHER, self.other, 206, None)):
                with self.subTest(name):
                    r = curl(self.httpd, self.chunk_url("disk.img", device), "-H", "X-OVRA-Xfer-Context: next",
                             "-H", "Range: bytes=0-4", cert=cert)
                    self.assertEqual((r.status, r.headers.get("OVRA-Error-Code")), (status, code), r)
        finally:
            held.close()

    def test_login_form(self):
        # Legend: text is the body (None: not checked); a 303 goes to the form
        # with the outcome in a cookie; "plain" marks the location's own
        # short refusals (text/plain, never stored).
        said = {"right": f"{DOMAIN}\\{USER}: authenticated (result 1)\n",
                "wrong": f"{DOMAIN}\\{USER}: wrong user name or password (result 0)\n"}
        rows = [
            {"name": "right password", "args": ("--data-binary", "@-"), "body": form(USER, PASSWORD),
             "status": 303, "text": said["right"]},
            {"name": "wrong password", "args": ("--data-binary", "@-"), "body": form(USER, "Wrong-pass-1"),
             "status": 303, "text": said["wrong"]},
            # Parsers that merge the query string into the form would read
            # these as checked: refused by the location.
            {"name": "result in the query string", "args": ("--data-binary", "@-"),
             "body": form("admin", "Wrong-pass-1"), "query": "?result=1", "status": 403, "text": "Forbidden",
             "plain": True},
            {"name": "user name in the query string", "args": ("--data-binary", "@-"), "body": form(USER, PASSWORD),
             "query": "?username=admin", "status": 403, "text": "Forbidden", "plain": True},
            # Other methods never reach the application, body or not, and
            # the answer is whole (the application would not read the body).
            {"name": "PUT with a body", "args": ("-X", "PUT", "--data-binary", "@-"), "body": form(USER, PASSWORD) * 2000,
             "status": 405, "text": "Method not allowed", "plain": True},
            {"name": "DELETE", "args": ("-X", "DELETE"), "status": 405, "text": "Method not allowed", "plain": True},
            {"name": "the form page", "args": (), "status": 200, "text": None},
        ]
        for row in rows:
            with self.subTest(row["name"]):
                started = time.monotonic()
                r = curl(self.httpd, LOGIN_URL + row.get("query", ""), *row["args"], cert=None,
                         stdin=row.get("body"))
                self.assertEqual((r.status, r.exit_code), (row["status"], 0), r)
                self.assertLess(time.monotonic() - started, 4, "answered without waiting for a body")
                if row["text"] is not None:
                    self.assertEqual(r.body.decode(), row["text"])
                self.assertEqual({h: r.headers.get(h) for h in SITE_HEADERS}, SITE_HEADERS)
                self.assertEqual(r.headers.get("Cache-Control"), "no-store")
                if row.get("plain"):
                    self.assertEqual(r.headers.get("Content-Type"), "text/plain; charset=utf-8")
                if row["status"] == 405:
                    self.assertIn("POST", r.headers.get("Allow"))
                if row["status"] == 303:
                    self.assertEqual(r.headers.get("Location"), LOGIN_URL)
                    # The form page shows the outcome the cookie carries.
                    cookie = r.headers.get("Set-Cookie").split(";")[0]
                    page = curl(self.httpd, LOGIN_URL, "-H", "Cookie: " + cookie, cert=None)
                    self.assertIn(html.escape(row["text"].strip()), page.body.decode())
        page = curl(self.httpd, LOGIN_URL, cert=None)
        self.assertEqual(page.status, 200)
        self.assertIn(b'name="result"', page.body)
        # A GET or HEAD with a body would pass the application unfiltered.
        for method in ("GET", "HEAD"):
            with self.subTest(method + " with a body"):
                conn = self.httpd.connection(60)
                conn.request(method, LOGIN_URL, body=form(USER, PASSWORD),
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                answer = conn.getresponse()
                self.assertEqual(answer.status, 403)
                self.assertNotIn(b"result", answer.read())
                conn.close()
        for secret in (PASSWORD, "Wrong-pass-1"):
            self.assertNotIn(secret, self.httpd.error_log())

    def test_ntlm(self):
        # Legend: legs are the statuses of the client's requests in turn.
        rows = [
            {"name": "right password", "password": PASSWORD, "legs": [401, 401, 200],
             "body": f"REMOTE_USER={DOMAIN}\\{USER}\nAUTH_TYPE=NTLM\nGSSAUTHRET=0\n"},
            {"name": "wrong password", "password": "Wrong-pass-1", "legs": [401, 401, 401], "body": None},
        ]
        env = dict(os.environ, OPENSSL_CONF=NTLM_OPENSSL_CONF, REQUESTS_CA_BUNDLE=self.httpd.ca.cert)
        for row in rows:
            with self.subTest(row["name"]):
                out = subprocess.run([PYTHON, NTLM_CLIENT, f"{DOMAIN}\\{USER}", row["password"],
                                      self.httpd.url(NTLM_URL)], env=env, capture_output=True,
                                     text=True, timeout=120)
                got = json.loads(out.stdout)[0]
                self.assertEqual(out.returncode, 0 if row["legs"][-1] == 200 else 1, out.stderr)
                self.assertEqual(got["legs"], row["legs"])
                if row["body"]:
                    self.assertEqual(got["body"], row["body"])
                else:
                    self.assertEqual((got["challenge"], got["code"]), ("NTLM", "E"))


class WithoutOurModules(unittest.TestCase):
    """The site with neither module's LoadModule line: it still starts
    (apache2 -t passes), but the login and NTLM locations deny every
    request, so no byte of a form reaches the application and a result value
    of the client's choosing is never read as a login."""

    def test_locations_fail_closed(self):
        httpd = TlsApache("site-bare", modules=MODULES)
        self.addCleanup(httpd.stop)
        httpd.conf = site_conf(httpd, BUILD, httpd.mkdir_for_www("images"), "/run/adm.sock", DOMAIN)
        self.assertIn("Syntax OK", httpd.check_config())
        httpd.start()
        rows = [
            {"name": "login form claiming result 1", "url": LOGIN_URL, "args": ("--data-binary", "@-"),
             "stdin": urlencode({"username": "admin", "domain": DOMAIN, "password": PASSWORD,
                                 "result": "1"}).encode()},
            {"name": "login page", "url": LOGIN_URL, "args": (), "stdin": None},
            {"name": "NTLM location", "url": NTLM_URL, "args": (), "stdin": None},
        ]
        for row in rows:
            with self.subTest(row["name"]):
                r = curl(httpd, row["url"], *row["args"], cert=None, stdin=row["stdin"])
                self.assertEqual(r.status, 403, r)
                self.assertNotIn(b"result", r.body)
                self.assertNotIn(b"REMOTE_USER", r.body)
        self.assertNotIn(PASSWORD, httpd.error_log())


SITE_CONFIG = os.path.join(SOURCE, "deploy", "site_config.py")


class RenderedForAServer(unittest.TestCase):
    """deploy/site_config.py run as a program, as an administrator renders the
    site: apache2 -t accepts the result; a missing or unknown name is refused
    by the name the administrator sets, and nothing is left behind."""

    def test_render(self):
        with TlsApache("site-render", modules=MODULES, load=loads(BUILD)) as httpd:
            out = os.path.join(httpd.root, "orvane")
            values = {
                "SITE_ADDRESS": "*:*", "SERVER_NAME": "relay.example.test",
                "SERVER_CERT": httpd.server_cert.cert, "SERVER_KEY": httpd.server_cert.key,
                "DEVICE_CA": httpd.ca.cert, "CHUNK_PREFIX": "/chunks",
                "LOGIN_URL": "/login", "LOGIN_APP": os.path.join(SOURCE, "deploy", "site-login.cgi"),
                "LOGIN_DOMAIN": "EXAMPLE", "NTLM_URL": "/ntlm/whoami",
                "NTLM_APP": os.path.join(SOURCE, "deploy", "site-whoami.cgi"),
                "DISKRELAY": os.path.join(BUILD, "transfer", "diskrelay"),
                "CHUNK_VARS": os.path.join(SOURCE, "deploy", "chunk_vars.lua"),
                "IMAGE_DIR": "/srv/orvane/images", "ADM_CTRL_PATH": "/run/admissiond/admission.sock",
                "ACCESS_LOG": httpd.access_log_path,
            }
            # Legend: drop names a value left out, add extra words; message is
            # what the refusal says (None: rendered).
            rows = [
                {"name": "no device CA", "drop": "DEVICE_CA", "rc": 1, "message": "no value for DEVICE_CA\n"},
                {"name": "no chunk prefix", "drop": "CHUNK_PREFIX", "rc": 1,
                 "message": "no value for CHUNK_PREFIX\n"},
                {"name": "misspelled name", "drop": "SERVER_NAME", "add": ["SERVR_NAME=x"], "rc": 1,
                 "message": "no value for SERVER_NAME; unknown SERVR_NAME (misspelled?)"},
                {"name": "no folder", "drop": "ALL", "rc": 2, "message": "usage: orvane-site-config OUT_DIR"},
                {"name": "balancer no address", "drop": None, "add": ["BALANCER=lb.example"], "rc": 1,
                 "message": "'lb.example' does not appear to be an IPv4 or IPv6 address"},
                # apache2 -t below reads the balancer's exceptions too.
                {"name": "every value", "drop": None, "add": ["BALANCER=192.0.2.7"], "rc": 0, "message": None},
            ]
            for row in rows:
                with self.subTest(row["name"]):
                    args = [f"{k}={v}" for k, v in values.items() if k != row["drop"]] + row.get("add", [])
                    argv = [PYTHON, SITE_CONFIG] + ([] if row["drop"] == "ALL" else [out, *args])
                    r = subprocess.run(argv, capture_output=True, text=True, timeout=60)
                    self.assertEqual(r.returncode, row["rc"], r.stderr)
                    self.assertEqual(os.path.exists(out), row["rc"] == 0)
                    if row["message"]:
                        self.assertIn(row["message"], r.stderr)
            httpd.conf = f'Include "{out}/site.conf"\n'
            self.assertIn("Syntax OK", httpd.check_config())


ENV_DUMP = "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\n'\nenv\n"


class ChunkVariables(unittest.TestCase):
    """What the site hands the chunk program, seen by an environment dump in
    diskrelay's place."""

    @classmethod
    def setUpClass(cls):
        cls.httpd = TlsApache("site-env", modules=MODULES, load=loads(BUILD))
        cls.addClassCleanup(cls.httpd.stop)
        cls.device = cls.httpd.ca.issue("device", DEVICE)
        cls.httpd.client_cert = cls.device
        cls.fake_build = tempfile.mkdtemp(prefix="site-env-build-")
        cls.addClassCleanup(shutil.rmtree, cls.fake_build, True)
        os.makedirs(os.path.join(cls.fake_build, "transfer"))
        with open(os.path.join(cls.fake_build, "transfer", "diskrelay"), "w", encoding="ascii") as f:
            f.write(ENV_DUMP)
        images = cls.httpd.mkdir_for_www("images")
        cls.httpd.conf = site_conf(cls.httpd, cls.fake_build, images, "/run/adm.sock", DOMAIN)
        cls.httpd.start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.assert_clean_log()

    def test_variables(self):
        # Legend: want maps variables to their value, None meaning absent.
        rows = [
            {"name": "chunk number and size sent", "args": ("-H", "X-OVRA-Chunk-No: 7", "-H", "X-OVRA-Chunk-Size: 1048576"),
             "want": {"CKNO": "7", "CKSIZE": "1048576", "LOG_REQUESTS": "1", "EXPECTED_DEVICE_ID": DEVICE,
                      "HTTP_SSL_DEVICE_UUID": DEVICE, "ADM_CTRL_PATH": "/run/adm.sock", "BYPASS_ADMCTL": None}},
            {"name": "none sent", "args": (), "want": {"CKNO": None, "CKSIZE": None, "LOG_REQUESTS": "1"}},
            {"name": "not numbers", "args": ("-H", "X-OVRA-Chunk-No: 7; rm", "-H", "X-OVRA-Chunk-Size: -1"),
             "want": {"CKNO": None, "CKSIZE": None}},
            {"name": "device header sent by the client", "args": ("-H", "SSL-Device-UUID: forged"),
             "want": {"HTTP_SSL_DEVICE_UUID": DEVICE, "EXPECTED_DEVICE_ID": DEVICE}},
        ]
        for row in rows:
            with self.subTest(row["name"]):
                r = curl(self.httpd, f"{CHUNK_PREFIX}/{DEVICE}/x.img", "-H", "X-OVRA-Xfer-Context: env",
                         *row["args"])
                self.assertEqual(r.status, 200, r)
                env = dict(line.split("=", 1) for line in r.body.decode().splitlines() if "=" in line)
                self.assertEqual({k: env.get(k) for k in row["want"]}, row["want"])


# diskrelay run under strace: every fdatasync and write of the process.
# (A sanitizer build's leak check cannot run under ptrace.)
TRACED = ('#!/bin/sh\nASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" '
          'exec strace -f -qq -s 256 -o "{log}/$$" -e trace=fdatasync,write "{relay}"\n')


class Durability(unittest.TestCase):
    """An upload's 200 leaves diskrelay only after fdatasync of the image."""

    def test_sync_before_answer(self):
        adm = Admissiond(limit=2, retry=RETRY)
        self.addCleanup(adm.stop)
        adm.start()
        httpd = TlsApache("site-sync", modules=MODULES, load=loads(BUILD))
        self.addCleanup(httpd.stop)
        httpd.client_cert = httpd.ca.issue("device", DEVICE)
        fake_build = tempfile.mkdtemp(prefix="site-sync-build-")
        self.addCleanup(shutil.rmtree, fake_build, True)
        os.makedirs(os.path.join(fake_build, "transfer"))
        log = httpd.mkdir_for_www("trace")
        relay = install(httpd, os.path.join(BUILD, "transfer", "diskrelay"), "diskrelay-real")
        with open(os.path.join(fake_build, "transfer", "diskrelay"), "w", encoding="ascii") as f:
            f.write(TRACED.format(log=log, relay=relay))
        images = httpd.mkdir_for_www("images")
        httpd.mkdir_for_www(os.path.join("images", DEVICE))
        httpd.conf = site_conf(httpd, fake_build, images, adm.socket_path, DOMAIN)
        httpd.start()

        r = curl(httpd, f"{CHUNK_PREFIX}/{DEVICE}/durable.img?start=0", "-H", "X-OVRA-Xfer-Context: sync",
                 "--data-binary", "@-", stdin=b"D" * (1 << 20))
        self.assertEqual((r.status, r.headers.get("OVRA-Error-Code")), (200, None), r)
        (trace,) = os.listdir(log)
        with open(os.path.join(log, trace), encoding="utf-8", errors="replace") as f:
            calls = [line.split(None, 1)[1] for line in f if "fdatasync(" in line or "write(1," in line]
        synced = [n for n, call in enumerate(calls) if call.startswith("fdatasync(") and call.rstrip().endswith("= 0")]
        answered = [n for n, call in enumerate(calls) if "Status: 200 OK" in call]
        self.assertEqual((len(synced), len(answered)), (1, 1), calls)
        self.assertLess(synced[0], answered[0], calls)
        httpd.assert_clean_log()


if __name__ == "__main__":
    unittest.main()
