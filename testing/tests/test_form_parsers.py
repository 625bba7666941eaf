"""The login location of deploy/site.conf.in as applications written with
the form parsers Debian ships see it: each program in testing/form_parsers/
runs as the login application behind the real filter in a real Apache,
against a real KDC, and is sent the same hostile forms. Whatever a parser
reads, it never reads a success for a login whose password was not the one
checked, and never reads a password. A parser whose packages are missing is
a skipped row (scripts/deps installs them)."""

import gzip
import http.client
import json
import os
import shutil
import subprocess
import unittest
import zlib
from concurrent.futures import ThreadPoolExecutor

from httpd import TlsApache
from realm import KDC
from site_config import LOGIN_URL, MODULES, loads, site_conf

SOURCE = os.environ["ORVANE_SOURCE_DIR"]
BUILD = os.environ["ORVANE_BUILD_DIR"]
PARSERS = os.path.join(SOURCE, "testing", "form_parsers")

DOMAIN, USER = "ORVANE", "alice"
# The passwords as sent ('+' is a space); no parser may read either, nor a
# piece of one (the marks).
GOOD, GUESS = "Al1ce+PassZq7", "Gu3ssPassXy4"
MARKS = ("PassZq", "PassXy")
ALICE = ("username=alice", "domain=ORVANE", "password=" + GOOD, "result=-")
ADMIN = ("username=admin", "domain=ORVANE", "password=" + GUESS, "result=-")
FORM_TYPE = "application/x-www-form-urlencoded"


def form(*pairs):
    return "&".join(pairs).encode("latin-1")


def have(*argv):
    try:
        return subprocess.run(argv, capture_output=True, timeout=30).returncode == 0
    except OSError:
        return False


# name -> (program in testing/form_parsers/, why it cannot run or None);
# the slowest to start first, as they are run side by side.
def parsers():
    node_ok = shutil.which("node") and os.path.isdir("/usr/share/nodejs/body-parser")
    return {
        "node body-parser": ("body_parser.js", None if node_ok else "nodejs or node-body-parser missing"),
        "ruby rack": ("rack.rb", None if have("ruby", "-rrack", "-rrack/handler/cgi", "-e", "1")
                      else "ruby-rack missing"),
        "ruby cgi": ("ruby_cgi.rb", None if have("ruby", "-rcgi", "-e", "1") else "ruby missing"),
        "php $_POST": ("php_post.php", None if shutil.which("php-cgi") else "php-cgi missing"),
        "perl CGI.pm": ("cgi_pm.pl", None if have("perl", "-MCGI", "-e", "1") else "libcgi-pm-perl missing"),
        "python parse_qs": ("parse_qs.py", None),
        "go net/http": ("net_url.go", None if shutil.which("go") else "golang-go missing"),
    }


# Legend: login True means every parser reads a success for ORVANE\alice;
# False that none may read a success; None that a success, if read, is
# alice's (her right password was checked, and so were the names read).
# status is the answer when the site refuses the request itself (the
# application never runs); headers are added to the form's Content-Type.
ROWS = [
    {"name": "alice, right password", "body": form(*ALICE), "login": True},
    {"name": "admin, guessed password, result 1 claimed", "body": form(*ADMIN[:3], "result=1"), "login": False},
    {"name": "chunked, without a length, content coding identity", "body": form(*ALICE), "chunked": True,
     "headers": {"Content-Encoding": "identity"}, "login": True},
    # Frameworks that inflate bodies (body-parser) read what the filter cannot.
    {"name": "gzip", "body": gzip.compress(form(*ADMIN[:3], "result=1")),
     "headers": {"Content-Encoding": "gzip"}, "status": 415, "login": False},
    {"name": "deflate", "body": zlib.compress(form(*ADMIN[:3], "result=1")),
     "headers": {"Content-Encoding": "deflate"}, "status": 415, "login": False},
    {"name": "content coding of a chunked body", "body": gzip.compress(form(*ADMIN[:3], "result=1")),
     "headers": {"Content-Encoding": "GZip"}, "chunked": True, "status": 415, "login": False},
    # ';' ends a pair too for CGI.pm and Ruby's CGI; Rack skips blanks after
    # a separator.
    {"name": "; before a claimed result", "body": form("x=y;result=1", *ADMIN), "login": False},
    {"name": "; before a second user name", "body": form("x=y;username=admin", *ALICE), "login": False},
    {"name": "; or & and a blank before a claimed result", "body": form("x=y; result=1", " result=1", *ADMIN),
     "login": False},
    {"name": "; inside a key", "body": form("x;username=admin", *ALICE), "login": False},
    {"name": "; inside the user name", "body": form("username=alice;username=admin", *ALICE[1:]), "login": False},
    {"name": "; before the password", "body": form(*ALICE[:2], "result=-", "x=y;password=" + GOOD),
     "login": False},
    {"name": "; in the password", "body": form(*ALICE[:2], "password=x;" + GOOD, "result=-"), "login": False},
    # Repeated fields: parsers take the first, the last, or all.
    {"name": "second user name", "body": form("username=admin", *ALICE), "login": False},
    {"name": "second result, claimed", "body": form("result=1", *ADMIN), "login": False},
    {"name": "second password", "body": form(*ALICE, "password=" + GUESS), "login": None},
    # Keys that some parser reads as a field.
    {"name": "escaped key", "body": form("user%6Eame=admin", *ALICE), "login": False},
    {"name": "%u escape in a key", "body": form(*ADMIN, "%u0072esult=1"), "login": False},
    {"name": "escaped NUL in a key", "body": form(*ALICE, "username%00=admin"), "login": False},
    {"name": "raw NUL in a key", "body": form(*ALICE, "username\0x=admin"), "login": False},
    {"name": "raw NUL before a claimed result", "body": form(*ADMIN, "\0", "result=1"), "login": False},
    {"name": "NUL in the user name", "body": form("username=alice%00admin", *ALICE[1:]), "login": False},
    {"name": "bad escape in the user name", "body": form("username=alic%zz", *ALICE[1:]), "login": False},
    {"name": "+ before a key", "body": form("+username=admin", *ALICE), "login": False},
    {"name": "key in capitals", "body": form(*ALICE, "Username=admin"), "login": False},
    {"name": "array user name", "body": form(*ALICE, "username[]=admin"), "login": False},
    {"name": "bracketed result and password", "body": form(*ADMIN, "[result]=1", "password[x]=" + GUESS),
     "login": False},
    {"name": "overlong key", "body": form(*ALICE, "k" * 12000 + "=1"), "login": None},
    {"name": "more pairs than parsers take", "body": form(*["a="] * 1100, *ADMIN[:3], "result=1"),
     "login": False},
    # Forms are sent without parameters in the type (docs/operations.md).
    {"name": "content type with a charset", "body": form(*ALICE),
     "type": FORM_TYPE + "; charset=utf-8", "status": 400, "login": False},
]

# The site and the parsers log these on purpose.
EXPECTED_LOG = (
    r"check_lsa_error: LSA error \(400(17|22)\)",
    r"mod_auth_orvane_form_if: (content coding isn't identity|content type isn't)",
    r"mod_auth_orvane_form_if: (username or domain given twice|NUL byte in user name|bad escape in user name)",
    r"AH01270: Error reading request entity data",
    r"PHP Warning: .*Input variables exceeded",
)


def leaves(value):
    """Every string in what a parser read (a string, list or map of them)."""
    if isinstance(value, str):
        return [value]
    if isinstance(value, list):
        return [s for v in value for s in leaves(v)]
    if isinstance(value, dict):
        return [s for v in value.values() for s in leaves(v)]
    return []


class FormParsers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.kdc = KDC(domain=DOMAIN)
        cls.addClassCleanup(cls.kdc.stop)
        cls.kdc.start()
        cls.kdc.add_user(USER, GOOD.replace("+", " "))
        cls.kdc.add_user("admin", "Adm1nPassNever")

        cls.httpd = TlsApache("parsers", modules=MODULES, load=loads(BUILD), env=cls.kdc.env)
        cls.addClassCleanup(cls.httpd.stop)
        # LOGIN_URL/<program> runs <program> of this folder.
        apps = os.path.join(cls.httpd.root, "login")
        os.mkdir(apps, 0o755)
        cls.parsers = {}
        for name, (program, missing) in parsers().items():
            if not missing:
                missing = cls.install(program, apps)
            cls.parsers[name] = (program.replace(".go", ""), missing)
        images = cls.httpd.mkdir_for_www("images")
        cls.httpd.conf = ("LogLevel warn auth_orvane_form:info\n" +
                          site_conf(cls.httpd, BUILD, images, os.path.join(cls.httpd.root, "no-admission.sock"),
                                    DOMAIN, login_app=apps))
        cls.httpd.start()

    @classmethod
    def install(cls, program, apps):
        """Puts program into apps (Go's built once); returns why it cannot run, or None."""
        src = os.path.join(PARSERS, program)
        if not program.endswith(".go"):
            shutil.copyfile(src, os.path.join(apps, program))
            os.chmod(os.path.join(apps, program), 0o755)
            return None
        cache = os.path.join(cls.httpd.root, "go-build")
        done = subprocess.run(["go", "build", "-o", os.path.join(apps, program[:-3]), src],
                              env=dict(os.environ, GOCACHE=cache, GOPATH=cache, GO111MODULE="off"),
                              capture_output=True, text=True, timeout=120)
        return None if done.returncode == 0 else "go build failed: " + done.stderr[-300:]

    @classmethod
    def tearDownClass(cls):
        cls.httpd.assert_clean_log(allow=EXPECTED_LOG)

    def post_all(self, program):
        """Sends every row to one parser over one kept-alive connection;
        returns (status, body) per row, status None for a broken answer."""
        conn = self.httpd.connection(cert=None)
        answers = []
        try:
            for row in ROWS:
                headers = {"Content-Type": row.get("type", FORM_TYPE), **row.get("headers", {})}
                body = iter([row["body"]]) if row.get("chunked") else row["body"]
                try:
                    conn.request("POST", f"{LOGIN_URL}/{program}", body=body, headers=headers)
                    answer = conn.getresponse()
                    answers.append((answer.status, answer.read()))
                except (http.client.HTTPException, OSError) as e:
                    answers.append((None, repr(e).encode()))
                    answer = None
                if not answer or answer.will_close:
                    conn.close()   # the next request opens another
        finally:
            conn.close()
        return answers

    def test_every_parser_reads_the_checked_login_or_none(self):
        runnable = {name: program for name, (program, missing) in self.parsers.items() if not missing}
        with ThreadPoolExecutor(max_workers=3) as pool:
            answers = dict(zip(runnable, pool.map(self.post_all, runnable.values())))
        for name, (_, missing) in self.parsers.items():
            if missing:
                with self.subTest(name):
                    self.skipTest(missing)
                continue
            for row, (status, data) in zip(ROWS, answers[name]):
                with self.subTest(parser=name, row=row["name"]):
                    self.check(row, status, data)

    def check(self, row, status, data):
        text = data.decode("latin-1")
        self.assertIsNotNone(status, "broken answer: " + text)
        for mark in MARKS:
            self.assertNotIn(mark, text, "the application read a password")
        if "status" in row:
            self.assertEqual(status, row["status"], text)
            return
        if status != 200:
            # The application refused the form itself (e.g. too many pairs).
            self.assertIsNot(row["login"], True, text)
            return
        read = json.loads(data)["read"]
        success = any(s.startswith("1") for s in leaves(read["result"]))
        if row["login"] is True:
            self.assertTrue(success, "no success read for the right password: " + text)
        if success:
            self.assertEqual((leaves(read["domain"]), leaves(read["username"])), ([DOMAIN], [USER]),
                             "success read for a login that was not checked: " + text)
            self.assertIsNot(row["login"], False, "success read on a form that must stay unchecked: " + text)


if __name__ == "__main__":
    unittest.main()
