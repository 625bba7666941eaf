"""NTLM authentication end to end: a real NTLM client (requests-ntlm) and curl
against Debian's Apache with mod_auth_orvane_gss loaded and gss-ntlmssp behind
MIT's GSS-API, under the event and the prefork MPM."""

import json
import os
import subprocess
import unittest

from apache import Apache, curl

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE = os.path.join(os.environ["ORVANE_BUILD_DIR"], "modules", "mod_auth_orvane_gss.so")
PYTHON = "/usr/bin/python3"
CLIENT = os.path.join(HERE, "gss_ntlm_client.py")
CLIENT_OPENSSL_CONF = os.path.join(HERE, "gss_openssl_legacy.cnf")

USERS = "DOM:alice:Secret1\nDOM:bob:Hunter2\n"

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
<Directory "{docroot}/ssi">
    Options +Includes
    AddType text/html .shtml
    AddOutputFilter INCLUDES .shtml
    AuthType NTLM
    Require valid-user
</Directory>
"""

SSI_PAGE = '<p><!--#include virtual="/ntlm/whoami" --></p>\n'
SERVER_LOGGED_FAILURE = r"gss_accept_sec_context\(\) failed"


class NtlmThroughApache(unittest.TestCase):
    MPM = "event"

    @classmethod
    def setUpClass(cls):
        if not os.path.exists(MODULE):
            raise RuntimeError(f"{MODULE} is not built")
        cls.httpd = Apache(f"gss-{cls.MPM}", mpm=cls.MPM,
                           modules=("authn_core", "authz_user", "cgid", "include"),
                           load=(("auth_orvane_gss_module", MODULE),))
        cls.addClassCleanup(cls.httpd.stop)
        users = os.path.join(cls.httpd.root, "ntlm_users")
        with open(users, "w", encoding="utf-8") as f:
            f.write(USERS)
        os.chmod(users, 0o644)
        cls.httpd.env = {"NTLM_USER_FILE": users}
        with open(os.path.join(HERE, "gss_whoami.cgi"), encoding="utf-8") as f:
            cls.httpd.write_cgi("whoami", f.read())
        os.mkdir(os.path.join(cls.httpd.docroot, "ssi"))
        with open(os.path.join(cls.httpd.docroot, "ssi", "page.shtml"), "w", encoding="utf-8") as f:
            f.write(SSI_PAGE)
        cls.httpd.conf = CONF.format(logs=cls.httpd.logs_dir, cgi=cls.httpd.cgi_dir,
                                     docroot=cls.httpd.docroot)
        cls.httpd.start()

    @classmethod
    def tearDownClass(cls):
        cls.httpd.assert_clean_log(allow=(SERVER_LOGGED_FAILURE,))

    def ntlm(self, user, password, path):
        """One fetch through the NTLM client; returns its report."""
        env = dict(os.environ, OPENSSL_CONF=CLIENT_OPENSSL_CONF)
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
        return [(port, status, user.replace("\\\\", "\\"))
                for port, status, user, logged_path in lines if logged_path == path]

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


class NtlmThroughApachePrefork(NtlmThroughApache):
    MPM = "prefork"


if __name__ == "__main__":
    unittest.main()
