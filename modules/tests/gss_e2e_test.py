"""NTLM authentication end to end: real NTLM clients (requests-ntlm, and
ntlm-auth's messages over one http.client connection) and curl against
Debian's Apache with mod_auth_orvane_gss loaded and gss-ntlmssp behind MIT's
GSS-API, under the event and the prefork MPM; plain HTTP with a real KDC and
a keytab for the server (so that Kerberos would answer if it were let in),
and HTTPS for channel bindings."""

import base64
import ctypes
import json
import os
import subprocess
import unittest

# First: it names OpenSSL's legacy provider (MD4) before hashlib loads OpenSSL.
from ntlm_stack import OPENSSL_CONF, SERVER_LOGGED_FAILURE, ntlm_apache

import hashlib

from ntlm_auth.gss_channel_bindings import GssChannelBindingsStruct
from ntlm_auth.ntlm import NtlmContext

from client import curl
from realm import KDC

PYTHON = "/usr/bin/python3"
CLIENT = os.path.join(os.environ["ORVANE_SOURCE_DIR"], "deploy", "ntlm_client.py")

# /ntlm/whoami shows what the application sees; /ssi/page.shtml includes it,
# so that it runs as a sub-request of an authenticated request.
CONF = """\
LogLevel warn auth_orvane_gss:debug
LogFormat "%{{remote}}p %>s %u %U" legs
CustomLog "{logs}/legs_log" legs
ScriptAlias /ntlm/whoami "{cgi}/whoami"
<Location /ntlm>
    AuthType NTLM
    Require valid-user
</Location>
ScriptAlias /bound/whoami "{cgi}/whoami"
<Location /bound>
    AuthType NTLM
    OrvaneNTLMConnectionBound On
    OrvaneNTLMDefaultDomain dom
    Require valid-user
</Location>
<Location /bound/whoami/off>
    OrvaneNTLMConnectionBound Off
</Location>
<Directory "{docroot}/ssi">
    Options +Includes
    AddType text/html .shtml
    AddOutputFilter INCLUDES .shtml
    AuthType NTLM
    Require valid-user
</Directory>
"""

SSI_PAGE = '<p><!--#include virtual="/ntlm/whoami" --></p>\n'
# Refusals of ours that the tests cause on purpose.
NAME_REFUSED = r"Client name \S+ is not of the form DOMAIN"
MECHANISM_REFUSED = r"Client's token is not NTLM"


def der(tag, body):
    """One DER element (lengths below 65536)."""
    n = len(body)
    length = bytes([n]) if n < 128 else bytes([0x81, n]) if n < 256 else bytes([0x82]) + n.to_bytes(2, "big")
    return bytes([tag]) + length + body


# What a browser sends for Negotiate: a SPNEGO NegTokenInit offering NTLM,
# with NTLM's negotiate message inside.
SPNEGO_OID = bytes.fromhex("06062b0601050502")
NTLM_OID = bytes.fromhex("060a2b0601040182370202 0a".replace(" ", ""))
SPNEGO_TOKEN = der(0x60, SPNEGO_OID + der(0xa0, der(0x30, der(0xa0, der(0x30, NTLM_OID)) + der(
    0xa2, der(0x04, NtlmContext("alice", "Secret1", domain="DOM", ntlm_compatibility=3).step())))))


class GssBuffer(ctypes.Structure):
    _fields_ = [("length", ctypes.c_size_t), ("value", ctypes.c_void_p)]


class GssOid(ctypes.Structure):
    _fields_ = [("length", ctypes.c_uint32), ("elements", ctypes.c_char_p)]


def kerberos_token(kdc, user, password, service="HTTP@127.0.0.1"):
    """A Kerberos initiator token (RFC 4121, krb5 mechanism) from user's
    ticket for service, made by MIT's GSS-API library through ctypes."""
    env = dict(os.environ, **kdc.env)
    subprocess.run(["kinit", f"{user}@{kdc.realm}"], input=password + "\n", env=env, text=True,
                   capture_output=True, check=True, timeout=30)
    saved = {k: os.environ.get(k) for k in kdc.env}
    os.environ.update(kdc.env)
    try:
        gss = ctypes.CDLL("libgssapi_krb5.so.2")
        minor, name, context, out = ctypes.c_uint32(), ctypes.c_void_p(), ctypes.c_void_p(), GssBuffer()
        text = service.encode()
        host_based = ctypes.POINTER(GssOid).in_dll(gss, "GSS_C_NT_HOSTBASED_SERVICE")
        assert gss.gss_import_name(ctypes.byref(minor), ctypes.byref(GssBuffer(len(text), ctypes.cast(
            ctypes.c_char_p(text), ctypes.c_void_p))), host_based, ctypes.byref(name)) == 0
        krb5 = GssOid(9, b"\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")
        major = gss.gss_init_sec_context(ctypes.byref(minor), None, ctypes.byref(context), name, ctypes.byref(krb5),
                                         0, 0, None, None, None, ctypes.byref(out), None, None)
        assert major in (0, 1), (hex(major), minor.value)
        return ctypes.string_at(out.value, out.length)
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def fetch(conn, path, token=None):
    """One GET over conn, with "Authorization: NTLM <token>" when token (bytes)
    is given; returns (status, response, body text)."""
    headers = {"Authorization": "NTLM " + base64.b64encode(token).decode()} if token is not None else {}
    conn.request("GET", path, headers=headers)
    r = conn.getresponse()
    return r.status, r, r.read().decode("utf-8", "replace")


def channel_bindings(application_data):
    """Channel bindings for the NTLM client: RFC 5929's application data."""
    bindings = GssChannelBindingsStruct()
    bindings[GssChannelBindingsStruct.APPLICATION_DATA] = application_data
    return bindings


def handshake(conn, path, user, password, domain="DOM", bindings=None):
    """NTLM's negotiate and authenticate legs over conn, the answer bound to
    bindings if given; returns the last fetch."""
    ctx = NtlmContext(user, password, domain=domain, cbt_data=bindings, ntlm_compatibility=3)
    status, r, _ = fetch(conn, path, ctx.step())
    if status != 401 or not r.getheader("WWW-Authenticate", "").startswith("NTLM "):
        return status, r, ""
    return fetch(conn, path, ctx.step(base64.b64decode(r.getheader("WWW-Authenticate")[5:])))


class NtlmThroughApache(unittest.TestCase):
    MPM = "event"

    @classmethod
    def setUpClass(cls):
        cls.httpd = ntlm_apache(f"gss-{cls.MPM}", mpm=cls.MPM, modules=("cgid", "include"))
        cls.addClassCleanup(cls.httpd.stop)
        # A host with a keytab for HTTP/127.0.0.1: Kerberos would answer if
        # the module let any mechanism but NTLM in.
        cls.kdc = KDC().start()
        cls.addClassCleanup(cls.kdc.stop)
        cls.kdc.add_user("alice", "Secret1")
        keytab = cls.kdc.path("http.keytab")
        cls.kdc.kadmin("add_principal", "-randkey", f"HTTP/127.0.0.1@{cls.kdc.realm}")
        cls.kdc.kadmin("ktadd", "-k", keytab, f"HTTP/127.0.0.1@{cls.kdc.realm}")
        os.chmod(keytab, 0o644)   # read by the children, as www-data
        # (No replay cache: the KDC's folder is not the children's to write.)
        cls.httpd.env.update(cls.kdc.env, KRB5_KTNAME=keytab, KRB5RCACHETYPE="none")
        os.mkdir(os.path.join(cls.httpd.docroot, "ssi"))
        with open(os.path.join(cls.httpd.docroot, "ssi", "page.shtml"), "w", encoding="utf-8") as f:
            f.write(SSI_PAGE)
        cls.httpd.conf = CONF.format(logs=cls.httpd.logs_dir, cgi=cls.httpd.cgi_dir,
                                     docroot=cls.httpd.docroot)
        cls.httpd.start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.assert_clean_log(allow=(SERVER_LOGGED_FAILURE, NAME_REFUSED, MECHANISM_REFUSED))

    def ntlm(self, user, password, path):
        """One fetch through the NTLM client; returns its report."""
        env = dict(os.environ, OPENSSL_CONF=OPENSSL_CONF)
        out = subprocess.run([PYTHON, CLIENT, user, password, self.httpd.url(path)],
                             env=env, capture_output=True, text=True, timeout=120)
        got = json.loads(out.stdout)[0]
        self.assertEqual(out.returncode, 0 if got["legs"][-1] == 200 else 1, out.stderr)
        return got

    def legs_logged(self, path):
        """(client port, status, user) of each request for path, in order."""
        try:
            with open(os.path.join(self.httpd.logs_dir, "legs_log"), encoding="utf-8") as f:
                lines = [line.split() for line in f.read().splitlines()]
        except FileNotFoundError:
            return []
        # The access log escapes the backslash of DOMAIN\user.
        return [(line[0], line[1], " ".join(line[2:-1]).replace("\\\\", "\\"))
                for line in lines if line[-1] == path]

    def test_handshake_over_one_kept_alive_connection(self):
        for user, password in (("DOM\\alice", "Secret1"), ("DOM\\bob", "Hunter2")):
            with self.subTest(user=user):
                mark = len(self.legs_logged("/ntlm/whoami"))
                got = self.ntlm(user, password, "/ntlm/whoami")
                self.assertEqual(got["legs"], [401, 401, 200])
                self.assertIn(f"REMOTE_USER={user}\n", got["body"])
                self.assertIn("AUTH_TYPE=NTLM\n", got["body"])
                self.assertIn("GSSAUTHRET=0\n", got["body"])
                legs = self.legs_logged("/ntlm/whoami")[mark:]
                self.assertEqual([status for _, status, _ in legs], ["401", "401", "200"])
                self.assertEqual(len({port for port, _, _ in legs}), 1, legs)
                self.assertEqual(legs[-1][2], user)

    def test_refusals(self):
        # Legend: "ntlm" rows run the NTLM client with (user, password), "curl"
        # rows send the given curl arguments; every refusal is a 401 with the
        # bare challenge and result code "E".
        rows = (
            ("wrong password", "ntlm", ("DOM\\alice", "Hunter2")),
            ("unknown user", "ntlm", ("DOM\\carol", "Secret1")),
            ("no header", "curl", ()),
            ("Basic", "curl", ("--basic", "--user", "alice:Secret1")),
            ("Negotiate", "curl", ("-H", "Authorization: Negotiate YWJj")),
            # Only the NTLM mechanism answers: no SPNEGO offer for an empty
            # token, and a SPNEGO token gets no further than that.
            ("empty token", "curl", ("-H", "Authorization: NTLM")),
            ("SPNEGO token", "curl", ("-H", "Authorization: NTLM " + base64.b64encode(SPNEGO_TOKEN).decode())),
            ("Kerberos token", "curl", ("-H", "Authorization: NTLM " + base64.b64encode(
                kerberos_token(self.kdc, "alice", "Secret1")).decode())),
        )
        for name, client, args in rows:
            with self.subTest(name):
                if client == "ntlm":
                    log_mark = len(self.httpd.error_log())
                    got = self.ntlm(*args, "/ntlm/whoami")
                    self.assertEqual(got["legs"], [401, 401, 401])
                    status, challenge, code = 401, got["challenge"], got["code"]
                    # At error level, not lost to a trace level.
                    self.assertRegex(self.httpd.error_log()[log_mark:],
                                     r"\[auth_orvane_gss:error\] .*" + SERVER_LOGGED_FAILURE)
                else:
                    r = curl(self.httpd, "/ntlm/whoami", *args)
                    status, challenge, code = r.status, r.headers.get("WWW-Authenticate"), \
                        r.headers.get("OV-GSS-Error-Code")
                    self.assertIn("mod_auth_orvane_gss/0.1", r.headers.get("Server", ""))
                    self.assertEqual(r.headers.get_all("WWW-Authenticate"), ["NTLM"])
                self.assertEqual((status, challenge, code), (401, "NTLM", "E"))

    def test_subrequest_reuses_the_user(self):
        log_mark = len(self.httpd.error_log())
        got = self.ntlm("DOM\\alice", "Secret1", "/ssi/page.shtml")
        self.assertEqual(got["legs"], [401, 401, 200])
        self.assertIn("REMOTE_USER=DOM\\alice\n", got["body"])
        self.assertIn("GSSAUTHRET=0\n", got["body"])
        log = self.httpd.error_log()[log_mark:]
        # Three legs of the page and the included request enter the hook;
        # only the two legs with a token run the exchange.
        self.assertEqual(log.count("kerb_authenticate_user entered"), 4, log)
        self.assertEqual(log.count("Verification returned code"), 2, log)


    def test_one_spelling_per_account(self):
        # Legend: (user, domain as the client sends them, password, location,
        # status, REMOTE_USER); /bound has OrvaneNTLMDefaultDomain "dom", /ntlm
        # none. A bare name is refused everywhere: the mechanism checks it
        # against the first account of that name (OTHER\alice for "alice") and
        # does not say which, so naming it DOM\alice signed OTHER's password on
        # as DOM's account. (The application's paths carry a suffix, so that
        # the access log lines another test counts stay apart from these.)
        rows = (
            ("ALICE", "DOM", "Secret1", "/ntlm/whoami/x", 200, "DOM\\alice"),
            ("aLiCe", "DOM", "Secret1", "/ntlm/whoami/x", 200, "DOM\\alice"),
            ("bob", "DOM", "Hunter2", "/ntlm/whoami/x", 200, "DOM\\bob"),
            ("alice", "OTHER", "Other3", "/bound/whoami", 200, "OTHER\\alice"),
            ("alice", "DOM", "Other3", "/bound/whoami", 401, None),
            ("alice", "", "Secret1", "/ntlm/whoami/x", 401, None),
            ("alice", "", "Other3", "/bound/whoami", 401, None),
            ("Bob", "", "Hunter2", "/bound/whoami", 401, None),
        )
        for user, domain, password, path, status, remote_user in rows:
            with self.subTest(user=user, domain=domain, password=password, path=path):
                conn = self.httpd.connection(30)
                got, r, body = handshake(conn, path, user, password, domain)
                conn.close()
                self.assertEqual(got, status, body)
                if remote_user:
                    self.assertIn(f"REMOTE_USER={remote_user}\n", body)
                else:
                    self.assertEqual((r.getheader("WWW-Authenticate"), r.getheader("OV-GSS-Error-Code")),
                                     ("NTLM", "E"))

    def test_client_names_in_log_lines(self):
        # Legend: (user, domain, password, status, log text), the log text as
        # Apache's error log shows it (it doubles each backslash): the name
        # escaped, no field or raw byte of the client's own.
        rows = (
            ('eve x"<>', "DOM", "Eve4pass", 200, r"Setting the request user to DOM\\eve\\x20x\\x22\\x3c\\x3e"),
            ('eve x"<>', "", "Eve4pass", 401, r"Client name eve\\x20x\\x22\\x3c\\x3e is not of the form"),
            ("tab\tuser", "DOM", "Tab6pass", 200, r"Setting the request user to DOM\\tab\\x09user"),
        )
        for user, domain, password, status, logged in rows:
            with self.subTest(user=user, domain=domain):
                mark = len(self.httpd.error_log())
                conn = self.httpd.connection(30)
                got, _, body = handshake(conn, "/ntlm/whoami/x", user, password, domain)
                conn.close()
                self.assertEqual(got, status, body)
                self.assertIn(logged, self.httpd.error_log()[mark:])

    def test_connection_bound_sign_on(self):
        """/bound keeps the connection signed on after a handshake; /ntlm
        (no directive) asks every request for one."""
        def exchanges():
            return self.httpd.error_log().count("Verification returned code")

        def refused(result):
            status, r, _ = result
            return (status, r.getheader("WWW-Authenticate"), r.getheader("OV-GSS-Error-Code")) == (401, "NTLM", "E")

        conn = self.httpd.connection(30)
        self.addCleanup(conn.close)
        status, _, body = handshake(conn, "/bound/whoami", "alice", "Secret1")
        self.assertEqual(status, 200, body)
        mark = exchanges()
        for n in range(3):
            with self.subTest("same connection, no credentials", request=n):
                status, r, body = fetch(conn, "/bound/whoami")
                self.assertEqual(status, 200, body)
                self.assertIn("REMOTE_USER=DOM\\alice\nAUTH_TYPE=NTLM\nGSSAUTHRET=0\n", body)
                self.assertIsNone(r.getheader("WWW-Authenticate"))
        self.assertEqual(exchanges(), mark, "no handshake and no domain check")

        with self.subTest("another connection"):
            other = self.httpd.connection(30)
            self.assertTrue(refused(fetch(other, "/bound/whoami")))
            other.close()

        with self.subTest("another user's handshake replaces the first"):
            status, _, body = handshake(conn, "/bound/whoami", "bob", "Hunter2")
            self.assertEqual(status, 200, body)
            self.assertIn("REMOTE_USER=DOM\\bob\n", fetch(conn, "/bound/whoami")[2])

        with self.subTest("a new negotiate message starts over"):
            status, r, _ = fetch(conn, "/bound/whoami",
                                 NtlmContext("alice", "Secret1", domain="DOM", ntlm_compatibility=3).step())
            self.assertEqual((status, r.getheader("OV-GSS-Error-Code")), (401, "C"))
            self.assertTrue(refused(fetch(conn, "/bound/whoami")))

        with self.subTest("a nested location turns it off"):
            nested = self.httpd.connection(30)
            status, _, body = handshake(nested, "/bound/whoami/off", "alice", "Secret1")
            self.assertEqual(status, 200, body)
            self.assertIn("REMOTE_USER=DOM\\alice\n", body)
            self.assertTrue(refused(fetch(nested, "/bound/whoami/off")))
            nested.close()

        with self.subTest("without the directive every request needs the handshake"):
            # (A new connection: the negotiate above left a context pending,
            # which a new handshake's negotiate message would run into.)
            plain = self.httpd.connection(30)
            status, _, body = handshake(plain, "/ntlm/whoami/x", "alice", "Secret1")
            self.assertEqual(status, 200, body)
            self.assertTrue(refused(fetch(plain, "/ntlm/whoami/x")))
            plain.close()


class NtlmThroughApachePrefork(NtlmThroughApache):
    MPM = "prefork"


CHANNEL_BINDING_CONF = """\
ScriptAlias /bound/whoami "{cgi}/whoami"
ScriptAlias /ntlm/whoami "{cgi}/whoami"
<Location /bound>
    AuthType NTLM
    OrvaneNTLMChannelBinding On
    Require valid-user
</Location>
<Location /ntlm>
    AuthType NTLM
    Require valid-user
</Location>
"""
NO_BINDINGS_REFUSED = r"NTLM answer without channel bindings refused"


class ChannelBindingThroughApache(unittest.TestCase):
    """OrvaneNTLMChannelBinding On over HTTPS: an answer must carry the
    bindings of this server's certificate (tls-server-end-point). gss-ntlmssp
    refuses other bindings, the module refuses an answer without any."""
    MPM = "event"

    @classmethod
    def setUpClass(cls):
        cls.httpd = ntlm_apache(f"gss-cb-{cls.MPM}", tls=True, mpm=cls.MPM, modules=("cgid",))
        cls.addClassCleanup(cls.httpd.stop)
        cls.httpd.conf = CHANNEL_BINDING_CONF.format(cgi=cls.httpd.cgi_dir)
        cls.httpd.start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.assert_clean_log(allow=(SERVER_LOGGED_FAILURE, NO_BINDINGS_REFUSED))

    def test_bound_answers(self):
        # Legend: bindings "ours" hashes this server's certificate (SHA-256,
        # its signature's hash), "another server's" some other certificate,
        # None sends none; /ntlm has no directive.
        rows = (
            ("ours", "/bound/whoami", 200, None),
            ("another server's", "/bound/whoami", 401, SERVER_LOGGED_FAILURE),
            (None, "/bound/whoami", 401, NO_BINDINGS_REFUSED),
            ("another server's", "/ntlm/whoami", 200, None),
        )
        for which, path, status, logged in rows:
            with self.subTest(bindings=which, path=path):
                conn = self.httpd.connection(30)
                conn.connect()
                certificate = {"ours": conn.sock.getpeercert(binary_form=True),
                               "another server's": b"another certificate"}.get(which)
                bindings = certificate and channel_bindings(
                    b"tls-server-end-point:" + hashlib.sha256(certificate).digest())
                mark = len(self.httpd.error_log())
                got, r, body = handshake(conn, path, "alice", "Secret1", bindings=bindings)
                conn.close()
                self.assertEqual(got, status, body)
                if status == 200:
                    self.assertIn("REMOTE_USER=DOM\\alice\n", body)
                else:
                    self.assertEqual(r.getheader("OV-GSS-Error-Code"), "E")
                    self.assertRegex(self.httpd.error_log()[mark:], logged)

    def test_browser_like_client(self):
        """requests-ntlm binds its answer to the server's certificate by itself."""
        env = dict(os.environ, OPENSSL_CONF=OPENSSL_CONF, REQUESTS_CA_BUNDLE=self.httpd.ca.cert)
        out = subprocess.run([PYTHON, CLIENT, "DOM\\alice", "Secret1", self.httpd.url("/bound/whoami")],
                             env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(out.returncode, 0, out.stderr)
        got = json.loads(out.stdout)[0]
        self.assertEqual(got["legs"], [401, 401, 200])
        self.assertIn("REMOTE_USER=DOM\\alice\n", got["body"])


class ChannelBindingThroughApachePrefork(ChannelBindingThroughApache):
    MPM = "prefork"


if __name__ == "__main__":
    unittest.main()
