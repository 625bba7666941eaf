"""The form-login stack of the tests, the load test and the benchmark: a real
MIT KDC with the domain's users, and an Apache with mod_auth_orvane_form
whose filter checks the login forms posted to form_echo.cgi, a CGI that
echoes the body it receives.

    stack = FormStack("form")           # conf: CONF unless given
    cls.addClassCleanup(stack.stop)     # also when start() fails
    stack.start()
    curl(stack.httpd, "/cgi-bin/form_echo.cgi", "--data-binary", "@-", stdin=form("alice", GOOD))

The library knows three domains: ORVANE (the KDC's realm: alice, bob with
an expired password, carol locked out, admin), DOWN (a realm with no KDC
anywhere) and SILENT (a KDC address that never answers, stack.silent); krb5.conf
also names a KDC for STRAY (stack.stray), a domain the library does not list.
Each KDC is given KDC_TIMEOUT seconds. Keyword arguments go to the server.
"""

import os
import urllib.parse

from httpd import Apache
from realm import KDC, SilentKdc

MODULE = os.path.join(os.environ["ORVANE_BUILD_DIR"], "modules", "mod_auth_orvane_form.so")
ECHO = os.path.join(os.environ["ORVANE_SOURCE_DIR"], "modules", "tests", "form_echo.cgi")

GOOD = "Corr3ct horse&batt=ry%"       # needs escaping: '&', '=', '%', ' '
WRONG = "Wr0ng-pass-Zq"
EXPIRED_PW = "Exp1red-pass-Zq"
LOCKED_PW = "L0cked-pass-Zq"
ADMIN_PW = "Adm1n-pass-Zq"
KDC_TIMEOUT = 1

# The error log shows each line's source file, as the module name gives it.
CONF = """\
LogLevel warn auth_orvane_form:info
ErrorLogFormat "[%t] [%m:%l] [pid %P:tid %T] [%F] %E: %M"
<Location /cgi-bin/form_echo.cgi>
    SetInputFilter ORVANE_CHECK_PASSWORD
</Location>
"""


def form(user, password, domain="ORVANE", result="9", extra=""):
    return ("username=%s&domain=%s&password=%s&result=%s%s" % (
        urllib.parse.quote_plus(user), urllib.parse.quote_plus(domain),
        urllib.parse.quote_plus(password), result, extra)).encode()


class FormStack:
    def __init__(self, name, conf=CONF, modules=("cgid",), **server):
        self.kdc = KDC()
        self.silent, self.stray = SilentKdc(), SilentKdc()
        self.httpd = Apache(name, conf=conf, modules=modules, load=(("auth_orvane_form_module", MODULE),), **server)

    def start(self):
        self.kdc.start()
        self.kdc.add_user("alice", GOOD)
        self.kdc.add_user("bob", EXPIRED_PW, expired_password=True)
        self.kdc.add_user("carol", LOCKED_PW, locked=True)
        self.kdc.add_user("admin", ADMIN_PW)
        self.kdc.add_krb5_conf(self.silent.realm_conf("SILENT.TEST") + self.stray.realm_conf("STRAY"))
        self.kdc.write_library_config({"ORVANE": self.kdc.realm, "DOWN": "DOWN.INVALID", "SILENT": "SILENT.TEST"},
                                      extra="kdc_timeout = %d\n" % KDC_TIMEOUT)
        self.httpd.env.update(self.kdc.env)
        with open(ECHO, encoding="utf-8") as f:
            self.httpd.write_cgi("form_echo.cgi", f.read())
        self.httpd.start()

    def stop(self):
        try:
            self.httpd.stop()
        finally:
            self.silent.stop()
            self.stray.stop()
            self.kdc.stop()
