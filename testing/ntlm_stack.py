"""The NTLM stack of the tests, the load test and the benchmarks: an Apache
with mod_auth_orvane_gss, gss-ntlmssp behind MIT's GSS-API reading the
mechanism's user file (NTLM_USER_FILE), and the whoami program in cgi-bin.

    httpd = ntlm_apache("gss", modules=("cgid",), mpm="prefork")   # tls=True: HTTPS
    cls.addClassCleanup(httpd.stop)
    httpd.conf = CONF     # <Location /ntlm> AuthType NTLM, Require valid-user ...
    httpd.start()

Import it before anything loads OpenSSL (hashlib, ssl): NTLM hashes with
MD4, in OpenSSL's legacy provider, which OPENSSL_CONF then names for the
clients of this process too.
"""

import os

OPENSSL_CONF = os.path.join(os.environ["ORVANE_SOURCE_DIR"], "deploy", "ntlm_openssl.cnf")
os.environ.setdefault("OPENSSL_CONF", OPENSSL_CONF)

from httpd import Apache, TlsApache  # noqa: E402

MODULE = os.path.join(os.environ["ORVANE_BUILD_DIR"], "modules", "mod_auth_orvane_gss.so")
WHOAMI = os.path.join(os.environ["ORVANE_SOURCE_DIR"], "modules", "tests", "gss_whoami.cgi")

# alice also has an account in OTHER, listed first: gss-ntlmssp checks a bare
# name against the first account of that name, whatever its domain. The last
# two have names that must not reach a log line as they are.
USERS = "OTHER:alice:Other3\nDOM:alice:Secret1\nDOM:bob:Hunter2\nDOM:eve x\"<>:Eve4pass\nDOM:tab\tuser:Tab6pass\n"
SERVER_LOGGED_FAILURE = r"gss_accept_sec_context\(\) failed"


def ntlm_apache(name, tls=False, modules=(), **server):
    """An Apache, not started yet, with the module and the mechanism's users
    (USERS); keyword arguments go to the server."""
    if not os.path.exists(MODULE):
        raise RuntimeError(f"{MODULE} is not built")
    httpd = (TlsApache if tls else Apache)(name, modules=("authn_core", "authz_user") + tuple(modules),
                                           load=(("auth_orvane_gss_module", MODULE),), **server)
    users = os.path.join(httpd.root, "ntlm_users")
    with open(users, "w", encoding="utf-8") as f:
        f.write(USERS)
    os.chmod(users, 0o644)
    httpd.env["NTLM_USER_FILE"] = users
    with open(WHOAMI, encoding="utf-8") as f:
        httpd.write_cgi("whoami", f.read())
    return httpd
