"""The site of deploy/site.conf.in with Debian's real browsers, headless:
Chromium (DevTools protocol) and Firefox ESR (WebDriver BiDi), credentials
given as each browser's own dialog gives them. NTLM sign-on at the site's
NTLM location (through the patched gss-ntlmssp of deploy/packaging), and the
login form submitted from the site's page. Each browser starts once.

Beside the site's NTLM location the server has a stricter one, with
channel binding. A connection
log (client port, status, user, method, path) shows what the server saw:
which requests ran a handshake, and on which connection."""

import os
import time
import unittest

BUILD = os.environ["ORVANE_BUILD_DIR"]

from browsers import Chromium, Firefox  # noqa: E402
from httpd import TlsApache, read_from, size_of  # noqa: E402
from realm import KDC  # noqa: E402
from site_config import LOGIN_URL, MODULES, NTLM_URL, install, loads, ntlm_user_file, site_conf  # noqa: E402

DOMAIN, USER, PASSWORD = "ORVANE", "alice", "S1te pass&word="
# A login form user whose name and password need UTF-8 and form escapes.
WIDE_USER, WIDE_PASSWORD = "jürgen", "ä+b&c=d%e f"
STRICT_URL = "/ntlm-strict/whoami"      # OrvaneNTLMChannelBinding On

# The site's host logs to its own access log: the connection log goes
# into the host too.
CONNECTION_LOG = """
    CustomLog "{root}/logs/connection_log" "%{{remote}}p %>s %u %m %U"
</VirtualHost>"""
EXTRA_CONF = """
ScriptAlias "{strict}" "{app}"
<Location "{strict}">
    AuthType NTLM
    Require valid-user
    OrvaneNTLMConnectionBound On
    OrvaneNTLMChannelBinding On
    ErrorDocument 401 "Sign-on required"
</Location>
"""

EXPECTED_LOG = (
    r"gss_accept_sec_context\(\) failed",                    # wrong NTLM password, unknown user
    r"NTLM answer without channel bindings refused",        # Firefox where bindings are required
    r"is not of the form DOMAIN",                            # a bare user name
    r"check_lsa_error: LSA error \(40022\)",                 # wrong form password
)

site = None


def setUpModule():
    global site
    site = Site()
    try:
        site.start()
    except BaseException:
        site.stop()
        raise


def tearDownModule():
    site.stop()


class Site:
    """The KDC (form logins) and Apache with the site (NTLM sign-on)."""

    def start(self):
        self.kdc = KDC(domain=DOMAIN)
        self.httpd = None
        self.kdc.start()
        self.kdc.add_user(USER, PASSWORD)
        self.kdc.add_user(WIDE_USER, WIDE_PASSWORD)
        self.httpd = TlsApache("browsers", modules=MODULES, load=loads(BUILD))
        self.httpd.env = dict(self.kdc.env)
        ntlm_user_file(self.httpd, DOMAIN, USER, PASSWORD)
        conf = site_conf(self.httpd, BUILD, self.httpd.mkdir_for_www("images"), "/run/ov19-none.sock", DOMAIN)
        app = os.path.join(self.httpd.root, "bin", "site-whoami.cgi")
        head, _, tail = conf.rpartition("</VirtualHost>")
        conf = head + CONNECTION_LOG.format(root=self.httpd.root) + tail
        self.httpd.conf = conf + EXTRA_CONF.format(root=self.httpd.root, strict=STRICT_URL, app=app)
        self.httpd.start()
        self.log_path = os.path.join(self.httpd.root, "logs", "connection_log")

    def stop(self):
        if self.httpd is not None:
            self.httpd.stop()
        self.kdc.stop()

    def served_since(self, offset):
        """(port, status, user, method, path) of the requests logged after
        offset. Apache logs a request just after its answer: a moment's wait
        lets the last line in."""
        time.sleep(0.3)
        return [tuple(line.split(" ")) for line in read_from(self.log_path, offset).splitlines()]

    def log_offset(self):
        return size_of(self.log_path) if os.path.exists(self.log_path) else 0


def whoami(user):
    return f"REMOTE_USER={user}\nAUTH_TYPE=NTLM\nGSSAUTHRET=0"


# Legend for NTLM rows: credentials are given in turn to the browser's
# prompts (a prompt beyond them is cancelled); then are URLs loaded after
# the first in the same tab. visits: per URL, the final status, the
# page's text, and how many prompts it took; server: per URL, the statuses
# the server answered, in order (a handshake is 401, 401, 200); "same" means
# the later URLs ran on the connection where the first one signed on.
HANDSHAKE = ["401", "401", "200"]
SIGN_ON = (200, whoami(f"{DOMAIN}\\{USER}"), 1)
REFUSED = (401, "Sign-on required", 2)



def common_rows(login):
    """The rows of every browser, with the user name as it types it."""
    return [
        {"name": "right password, then a second request on the connection", "url": NTLM_URL,
         "credentials": [(login, PASSWORD)], "then": [NTLM_URL],
         "visits": [SIGN_ON, (200, whoami(f"{DOMAIN}\\{USER}"), 0)], "server": [HANDSHAKE, ["200"]],
         "same": True},
        {"name": "wrong password", "url": NTLM_URL, "credentials": [(login, "Wrong-pass-1")],
         "visits": [REFUSED]},
    ]


CHROMIUM_ROWS = common_rows(f"{DOMAIN}\\{USER}") + [
    # The mechanism does not say which domain's account a bare name matched.
    {"name": "bare user name is refused", "url": NTLM_URL, "credentials": [(USER, PASSWORD)],
     "visits": [REFUSED]},
    {"name": "channel binding required", "url": STRICT_URL, "credentials": [(f"{DOMAIN}\\{USER}", PASSWORD)],
     "visits": [SIGN_ON], "server": [HANDSHAKE]},
    # The connection signed on without bindings: the stricter location
    # runs a handshake of its own (the browser answers from its cache).
    {"name": "signed on without binding, then where it is required", "url": NTLM_URL,
     "credentials": [(f"{DOMAIN}\\{USER}", PASSWORD)], "then": [STRICT_URL],
     "visits": [SIGN_ON, (200, whoami(f"{DOMAIN}\\{USER}"), 0)], "server": [HANDSHAKE, HANDSHAKE],
     "same": True},
]
# Firefox's own dialog splits DOMAIN\user into its domain and user fields;
# automation's credentials (BiDi) go into the user field whole, with an
# empty domain field, which the patched mechanism reads as DOMAIN\user.
FIREFOX_ROWS = common_rows(f"{DOMAIN}\\{USER}") + [
    {"name": "bare user name is refused", "url": NTLM_URL, "credentials": [(USER, PASSWORD)],
     "visits": [REFUSED]},
    # Firefox sends no channel bindings.
    {"name": "channel binding required", "url": STRICT_URL, "credentials": [(f"{DOMAIN}\\{USER}", PASSWORD)],
     "visits": [REFUSED]},
]

# Legend for form rows: the outcome text the form page shows after the
# POST's 303; reload: the page reloaded afterwards sends no POST.
FORM_ROWS = [
    {"name": "form: right password", "values": {"username": USER, "domain": DOMAIN, "password": PASSWORD},
     "outcome": f"{DOMAIN}\\{USER}: authenticated (result 1)"},
    {"name": "form: wrong password", "values": {"username": USER, "domain": DOMAIN, "password": "Wrong-pass-1"},
     "outcome": f"{DOMAIN}\\{USER}: wrong user name or password (result 0)"},
    {"name": "form: UTF-8 name, password with form escapes",
     "values": {"username": WIDE_USER, "domain": DOMAIN, "password": WIDE_PASSWORD},
     "outcome": f"{DOMAIN}\\{WIDE_USER}: authenticated (result 1)"},
]


class BrowserCases:
    """One table of rows per browser over the one site."""

    browser_class = None
    rows = []

    @classmethod
    def setUpClass(cls):
        cls.browser = cls.make_browser()
        cls.browser.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.browser.stop()
        site.httpd.assert_clean_log(allow=EXPECTED_LOG)

    def test_sign_on_and_login_form(self):
        for row in self.rows + FORM_ROWS:
            with self.subTest(row["name"]):
                offset = site.log_offset()
                if "values" in row:
                    self.check_form(row, offset)
                else:
                    self.check_ntlm(row, offset)
        for secret in (PASSWORD, "Wrong-pass-1", WIDE_PASSWORD):
            self.assertNotIn(secret, site.httpd.error_log())
            self.assertNotIn(secret, site.httpd.access_log())

    def check_ntlm(self, row, offset):
        # A busy server (or browser) may drop the kept-alive connection
        # between the visits: then the later URL signs on afresh on another
        # one, and says nothing about the bound connection. Such a row runs
        # again, up to three times.
        urls = [row["url"], *row.get("then", [])]
        for attempt in range(3):
            if attempt:
                offset = site.log_offset()
            visits = self.browser.open(site.httpd.url(row["url"]), credentials=row["credentials"],
                                       then=[site.httpd.url(u) for u in row.get("then", [])])
            served = [s for s in site.served_since(offset) if s[4] in urls]   # not the favicon
            first = served[:len(row["server"][0])] if "server" in row else []
            later = served[len(first):]
            if not row.get("same") or not first or {s[0] for s in later} == {first[-1][0]}:
                break
        got = [(v.status, (v.text or "").strip(), v.auth_asked) for v in visits]
        self.assertEqual(got, row["visits"], visits)
        if "server" in row:
            split, at = [], 0
            for statuses in row["server"]:
                split.append(served[at:at + len(statuses)])
                at += len(statuses)
            self.assertEqual([[s[1] for s in part] for part in split], row["server"], served)
            self.assertEqual(at, len(served), served)
            if row.get("same"):
                # The later URLs ran on the connection that signed on.
                self.assertEqual({s[0] for part in split[1:] for s in part}, {split[0][-1][0]}, served)

    def check_form(self, row, offset):
        values = dict(row["values"], result="-")
        page, submitted, reloaded = self.browser.submit_form(site.httpd.url(LOGIN_URL), values, reload=True)
        self.assertEqual(page.status, 200, page)
        post, after = submitted.requests[0], submitted.requests[-1]
        self.assertEqual((post[0], post[2], after[0], after[2]), ("POST", 303, "GET", 200), submitted)
        self.assertIn(row["outcome"], submitted.text)
        self.assertEqual([r[0] for r in reloaded.requests], ["GET"], reloaded)
        self.assertIn(row["outcome"], reloaded.text)
        methods = [s[3] for s in site.served_since(offset)]
        self.assertEqual(methods.count("POST"), 1, methods)
        self.assertNotIn(values["password"], submitted.text + reloaded.text)


class ChromiumTest(BrowserCases, unittest.TestCase):
    rows = CHROMIUM_ROWS

    @classmethod
    def make_browser(cls):
        return Chromium(trust=site.httpd.server_cert.cert)


class FirefoxTest(BrowserCases, unittest.TestCase):
    rows = FIREFOX_ROWS

    @classmethod
    def make_browser(cls):
        return Firefox()


if __name__ == "__main__":
    unittest.main()
