"""Both modules against a real Active Directory domain (deploy/addc.py: Samba's
AD DC in a network namespace, this process its joined member): login forms
posted with curl through the form filter, checked by the LSA client library
with the member's keytab; NTLM with requests-ntlm through gss-ntlmssp and
winbindd. Every account state the result codes tell apart, and the second
spellings of an account (other case, the UPN, the DNS domain)."""

import json
import os
import re
import shutil
import subprocess
import unittest
import urllib.parse

import addc
from addc import DNS_DOMAIN, DOMAIN, PASSWORD, USERS
from client import curl
from httpd import Apache
from procs import free_port

BUILD = os.environ["ORVANE_BUILD_DIR"]
SOURCE = os.environ["ORVANE_SOURCE_DIR"]
FORM_MODULE = os.path.join(BUILD, "modules", "mod_auth_orvane_form.so")
GSS_MODULE = os.path.join(BUILD, "modules", "mod_auth_orvane_gss.so")
WHOAMI = os.path.join(SOURCE, "modules", "tests", "gss_whoami.cgi")
NTLM_CLIENT = os.path.join(SOURCE, "deploy", "ntlm_client.py")
NTLM_OPENSSL_CONF = os.path.join(SOURCE, "deploy", "ntlm_openssl.cnf")
# The provisioned domain, made by the first run (ORVANE_DOMAIN_CACHE: another
# build's, as the sanitizer run of scripts/test takes the plain run's).
CACHE = os.environ.get("ORVANE_DOMAIN_CACHE") or os.path.join(BUILD, "ad-domain")
DOCS = os.path.join(SOURCE, "docs", "operations.md")
LSA_CONF = "/opt/likewise/etc/lsaclient.conf"
# The docs' example names, as this domain has them.
RENAMES = (("AD.ORVANE.EXAMPLE", addc.REALM), ("ad.orvane.example", DNS_DOMAIN),
           ("RELAY", addc.MEMBER_NAME.upper()), ("-U Administrator", '-U "$ADMIN"'))
WRONG = "Wr0ng-pass"

# /login: an application that reads the form and then shows what the
# filter left it (body, the account variable and header). /ntlm: NTLM.
CONF = """\
LogLevel warn auth_orvane_form:info auth_orvane_gss:info
LuaMapHandler ^/login$ "{root}/login.lua" handle
<Location /login>
    SetInputFilter ORVANE_CHECK_PASSWORD
</Location>
LuaMapHandler ^/backend$ "{root}/login.lua" handle
<Location /cgi-bin/account>
    SetInputFilter ORVANE_CHECK_PASSWORD
</Location>
<Location /proxied>
    SetInputFilter ORVANE_CHECK_PASSWORD
    ProxyPass http://127.0.0.1:{port}/backend
</Location>
ScriptAlias /ntlm/whoami "{cgi}/whoami"
<Location /ntlm>
    AuthType NTLM
    {ntlm_conf}    Require valid-user
</Location>
"""

ACCOUNT_CGI = """\
#!/bin/sh
printf 'Content-Type: text/plain\\r\\n\\r\\n'
cat
printf '\\n%s\\n%s\\n' "${OV_ACCOUNT:--}" "${HTTP_OV_ACCOUNT:--}"
"""

LOGIN_LUA = """\
function handle(r)
    r.content_type = "text/plain"
    local body = r:requestbody() or ""
    r:puts(body, "\\n", r.subprocess_env["OV_ACCOUNT"] or "-", "\\n", r.headers_in["OV-Account"] or r.headers_in["OV_Account"] or "-", "\\n")
    return apache2.OK
end
"""


def documented_setup():
    """The files ({path: text}), shell blocks and Apache lines of
    docs/operations.md's "Joining an Active Directory domain"."""
    with open(DOCS, encoding="utf-8") as f:
        section = f.read().split("\n## Joining an Active Directory domain\n")[1].split("\n## ")[0]
    for old, new in RENAMES:
        section = section.replace(old, new)
    blocks = re.findall(r"```(\w+)\n(.*?)```", section, re.S)
    files = {body.split("\n", 1)[0].lstrip("# "): body for kind, body in blocks if kind == "ini"}
    return files, [body for kind, body in blocks if kind == "sh"], "".join(b for k, b in blocks if k == "apache")


def form(user, password, domain=DOMAIN):
    return ("username=%s&domain=%s&password=%s&result=9" % tuple(
        urllib.parse.quote_plus(v) for v in (user, domain, password))).encode()


@unittest.skipUnless(shutil.which("samba-tool") and os.geteuid() == 0, "needs root and Samba's AD DC (scripts/deps)")
class DomainTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.domain = addc.Domain(CACHE)
        cls.addClassCleanup(cls.domain.stop)
        cls.domain.start()
        # The member is set up by the commands of docs/operations.md.
        files, (join_script, access_script), ntlm_conf = documented_setup()
        lsa_conf = files.pop(LSA_CONF)
        cls.domain.join(files, join_script, access_script)
        print("domain fixture timings (s):",
              {k: round(v, 1) for k, v in cls.domain.timings.items()}, flush=True)
        conf_dir = os.path.join(cls.domain.dir, "lsa")
        os.makedirs(conf_dir)
        os.chmod(conf_dir, 0o755)
        cls.lsa_conf = os.path.join(conf_dir, "lsaclient.conf")
        with open(cls.lsa_conf, "w") as f:
            # The realm under a second name too (its DNS name).
            f.write(lsa_conf + "%s = %s %s\n" % (DNS_DOMAIN, addc.REALM, addc.Domain.keytab))
        os.chmod(cls.lsa_conf, 0o644)

        cls.httpd = Apache("domain", modules=("authn_core", "authz_user", "cgid", "lua", "proxy", "proxy_http"),
                           env={"LSACLIENT_CONF": cls.lsa_conf},
                           load=(("auth_orvane_form_module", FORM_MODULE), ("auth_orvane_gss_module", GSS_MODULE)))
        cls.addClassCleanup(cls.httpd.stop)
        cls.httpd.port = free_port()
        cls.httpd.conf = CONF.format(root=cls.httpd.root, cgi=cls.httpd.cgi_dir, ntlm_conf=ntlm_conf,
                                     port=cls.httpd.port)
        with open(os.path.join(cls.httpd.root, "login.lua"), "w") as f:
            f.write(LOGIN_LUA)
        cls.httpd.write_cgi("account", ACCOUNT_CGI)
        with open(WHOAMI, encoding="utf-8") as f:
            cls.httpd.write_cgi("whoami", f.read())
        cls.httpd.start()

    def login(self, user, password, domain=DOMAIN, path="/login"):
        body = form(user, password, domain)
        r = curl(self.httpd, path, "-H", "Content-Type: application/x-www-form-urlencoded",
                 "--data-binary", "@-", stdin=body)
        self.assertEqual(r.status, 200, r)
        echoed, account, header = r.body.decode().rsplit("\n", 3)[:3]
        self.assertEqual(len(echoed), len(body))
        self.assertNotIn(urllib.parse.quote_plus(password), echoed)
        code = urllib.parse.parse_qs(echoed)["result"][0][0]
        return code, account, header

    def ntlm(self, login, password):
        env = dict(os.environ, OPENSSL_CONF=NTLM_OPENSSL_CONF)
        done = subprocess.run(["/usr/bin/python3", NTLM_CLIENT, login, password, self.httpd.url("/ntlm/whoami")],
                              env=env, capture_output=True, text=True, timeout=60)
        answer = json.loads(done.stdout)[0]
        return answer["legs"][-1], answer["code"], answer["body"]

    def test_forms(self):
        # (name, user, password, domain, code, account the application gets;
        # None: no account variable or header at all)
        good = DOMAIN + "\\" + USERS["good"]
        rows = [
            ("right password", USERS["good"], PASSWORD, DOMAIN, "1", good),
            ("name in other case", USERS["good"].upper(), PASSWORD, DOMAIN, "1", good),
            ("domain in lower case", USERS["good"], PASSWORD, DOMAIN.lower(), "1", good),
            ("the account's UPN as user name", USERS["good"] + "@" + DNS_DOMAIN, PASSWORD, DOMAIN, "1", good),
            ("wrong password", USERS["good"], WRONG, DOMAIN, "0", None),
            ("unknown user", "zed", PASSWORD, DOMAIN, "0", None),
            ("disabled account", USERS["disabled"], PASSWORD, DOMAIN, "L", None),
            ("expired account", USERS["expired"], PASSWORD, DOMAIN, "D", None),
            ("password must change", USERS["must_change"], PASSWORD, DOMAIN, "X", None),
            ("password must change, wrong password", USERS["must_change"], WRONG, DOMAIN, "0", None),
            *[("wrong password before the lockout", USERS["locked"], WRONG, DOMAIN, "0", None)] *
            addc.LOCKOUT_THRESHOLD,
            ("locked out, right password", USERS["locked"], PASSWORD, DOMAIN, "L", None),
            ("the realm's second listed name", USERS["good"], PASSWORD, DNS_DOMAIN, "1", good),
            ("domain not listed", USERS["good"], PASSWORD, "OTHER", "E", None),
        ]
        for name, user, password, domain, code, account in rows:
            with self.subTest(name):
                self.assertEqual(self.login(user, password, domain), (code, account or "-", account or "-"))
        # A CGI program gets both, a proxied application the header.
        self.assertEqual(self.login(USERS["good"].upper(), PASSWORD, path="/cgi-bin/account"), ("1", good, good))
        self.assertEqual(self.login(USERS["good"].upper(), PASSWORD, path="/proxied"), ("1", "-", good))
        # A client's own header names no account, directly or proxied.
        for path in ("/login", "/cgi-bin/account", "/proxied"):
            r = curl(self.httpd, path, "-H", "Content-Type: application/x-www-form-urlencoded",
                     "-H", "OV-Account: ORVANE\\admin", "-H", "OV_Account: ORVANE\\admin",
                     "--data-binary", "@-", stdin=form(USERS["good"], WRONG))
            self.assertEqual(r.body.decode().rsplit("\n", 3)[1:3], ["-", "-"], path)
        log = self.httpd.error_log()
        self.assertNotIn(PASSWORD, log)
        self.assertNotIn(WRONG, log)

    def test_ntlm(self):
        good = DOMAIN + "\\" + USERS["good"]
        # (name, login, password, final status, result code, REMOTE_USER)
        rows = [
            ("right password", good, PASSWORD, 200, None, good),
            ("name in other case", DOMAIN.lower() + "\\" + USERS["good"].upper(), PASSWORD, 200, None, good),
            ("DNS domain", DNS_DOMAIN.upper() + "\\" + USERS["good"], PASSWORD, 200, None, good),
            ("wrong password", good, WRONG, 401, "E", None),
            ("unknown user", DOMAIN + "\\zed", PASSWORD, 401, "E", None),
            ("disabled account", DOMAIN + "\\" + USERS["disabled"], PASSWORD, 401, "E", None),
            ("expired account", DOMAIN + "\\" + USERS["expired"], PASSWORD, 401, "E", None),
            ("password must change", DOMAIN + "\\" + USERS["must_change"], PASSWORD, 401, "E", None),
            *[("wrong password before the lockout", DOMAIN + "\\" + USERS["locked"], WRONG, 401, "E", None)] *
            addc.LOCKOUT_THRESHOLD,
            ("locked out, right password", DOMAIN + "\\" + USERS["locked"], PASSWORD, 401, "E", None),
        ]
        for name, login, password, status, code, user in rows:
            with self.subTest(name):
                got_status, got_code, body = self.ntlm(login, password)
                self.assertEqual((got_status, got_code), (status, code), body)
                if user:
                    self.assertIn("REMOTE_USER=%s\n" % user, body)
        # Refusals of a working set-up are no broken set-up.
        self.assertNotIn("NTLM set-up broken", self.httpd.error_log())

    def test_ntlm_broken_setup(self):
        # Both look like a wrong password to the client (401, E); the log
        # tells them apart, once per server process and fault.
        good = DOMAIN + "\\" + USERS["good"]
        privileged = "/var/lib/samba/winbindd_privileged"
        rows = [
            ("no access to the privileged pipe", lambda: os.chmod(privileged, 0o700),
             lambda: os.chmod(privileged, 0o750), "may not use winbindd's privileged pipe"),
            ("winbindd down", self.domain.stop_winbindd, self.domain.start_winbindd, "winbindd does not answer"),
        ]
        for name, break_it, mend, logged in rows:
            with self.subTest(name):
                before = len(self.httpd.error_lines())
                break_it()
                try:
                    for _ in range(3):
                        self.assertEqual(self.ntlm(good, PASSWORD)[:2], (401, "E"))
                finally:
                    mend()
                lines = [line for line in self.httpd.error_lines()[before:] if logged in line]
                pids = [re.search(r"\[pid (\d+)", line).group(1) for line in lines]
                self.assertTrue(lines)
                self.assertEqual(len(pids), len(set(pids)), lines)
                self.assertEqual(self.ntlm(good, PASSWORD)[:2], (200, None))
        self.httpd.assert_clean_log(allow=(r"gss_accept_sec_context\(\) failed", "NTLM set-up broken",
                                           "check_lsa_error: LSA error"))

if __name__ == "__main__":
    unittest.main()
