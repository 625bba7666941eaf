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
import subprocess

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


def build_driver(folder):
    """bench/ntlm_driver.c, the benches' threaded NTLM client, built into folder."""
    exe = os.path.join(folder, "ntlm_driver")
    source = os.path.join(os.environ["ORVANE_SOURCE_DIR"], "bench", "ntlm_driver.c")
    subprocess.run(["cc", "-O2", "-o", exe, source, "-lgssapi_krb5", "-lpthread"], check=True)
    return exe


def run_driver(driver, port, path, user, password, clients, count, kept=False):
    """count handshakes (or kept-alive requests) by clients threads: (answered
    200, failed, seconds, the driver's stderr)."""
    argv = [driver, str(port), path, user, password, str(clients), str(count)] + (["kept"] if kept else [])
    out = subprocess.run(argv, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError(f"ntlm_driver: {out.stderr}")
    f = out.stdout.split()
    return int(f[1]), int(f[3]), float(f[5]), out.stderr
