#!/usr/bin/python3
"""NTLM handshakes per second: mod_auth_orvane_gss against Debian's
mod_auth_gssapi, both with the gss-ntlmssp mechanism, in one Apache.

Run by hand from the top of the tree after a build (as root):

    apt-get install libapache2-mod-auth-gssapi
    ORVANE_BUILD_DIR=build /usr/bin/python3 bench/ntlm_handshakes.py [--count N] [--clients 1,8] [--rounds R]

One Apache (event MPM, testing/apache.py, loopback) loads both modules;
/orvane/ is guarded by AuthType NTLM (ours), /gssapi/ by AuthType GSSAPI with
GssapiAllowedMech ntlmssp and GssapiConnectionBound On (which that module
needs for a handshake of more than one leg). Both read the same users from one
NTLM_USER_FILE. The client is bench/ntlm_driver.c (built here with cc): a new
connection per handshake, three legs (no credentials, negotiate,
authenticate) with messages from gss_init_sec_context, a small static file
as the answer. Sides take turns, each round running --count handshakes per
side at each client count, the order of the sides alternating; the best
round counts. Prints handshakes per
second and the ratio ours / mod_auth_gssapi (1.0 = as fast), and, for scale,
plain GETs of the same file over a new connection each.
"""

import argparse
import os
import subprocess
import sys

TOP = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(os.path.dirname(TOP), "testing")]

from apache import Apache  # noqa: E402

GSSAPI_MODULE = "/usr/lib/apache2/modules/mod_auth_gssapi.so"
USERS = "DOM:alice:Secret1\n"

CONF = """\
<Location /orvane>
    AuthType NTLM
    Require valid-user
</Location>
<Location /gssapi>
    AuthType GSSAPI
    AuthName "bench"
    GssapiAllowedMech ntlmssp
    GssapiConnectionBound On
    Require valid-user
</Location>
# Threads for every client from the start: an event MPM process with more
# connections than its threads can serve closes kept-alive ones, and an NTLM
# handshake dies with its connection.
StartServers 2
ServerLimit 2
ThreadsPerChild 64
MinSpareThreads 8
MaxSpareThreads 128
MaxRequestWorkers 128
"""


def build_driver(folder):
    exe = os.path.join(folder, "ntlm_driver")
    subprocess.run(["cc", "-O2", "-o", exe, os.path.join(TOP, "ntlm_driver.c"),
                    "-lgssapi_krb5", "-lpthread"], check=True)
    return exe


def drive(driver, port, path, clients, count, user="DOM\\alice", password="Secret1"):
    """Handshakes per second for count handshakes by clients threads."""
    out = subprocess.run([driver, str(port), path, user, password, str(clients), str(count)],
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise RuntimeError(f"ntlm_driver: {out.stderr}")
    f = out.stdout.split()
    good, bad, seconds = int(f[1]), int(f[3]), float(f[5])
    if bad or good != count:
        raise RuntimeError(f"{path}: {good} handshakes, {bad} failed:\n{out.stderr}")
    return good / seconds


def plain_gets(port, clients, count):
    """Requests per second of ab (new connection per request) on the static file."""
    out = subprocess.run(["ab", "-q", "-n", str(count), "-c", str(clients),
                          f"http://127.0.0.1:{port}/open/ok.txt"],
                         capture_output=True, text=True, timeout=600)
    for line in out.stdout.splitlines():
        if line.startswith("Requests per second:"):
            return float(line.split()[3])
    raise RuntimeError(out.stdout + out.stderr)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=1000, help="handshakes per side per round")
    ap.add_argument("--clients", default="1,8,32", help="client counts, comma-separated")
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    build = os.path.abspath(os.environ.get("ORVANE_BUILD_DIR", os.path.join(os.path.dirname(TOP), "build")))
    ours = os.path.join(build, "modules", "mod_auth_orvane_gss.so")
    if not os.path.exists(GSSAPI_MODULE):
        sys.exit(f"{GSSAPI_MODULE} missing: apt-get install libapache2-mod-auth-gssapi")

    httpd = Apache("bench-ntlm", conf=CONF, modules=("authn_core", "authz_user", "auth_gssapi"),
                   load=(("auth_orvane_gss_module", ours),))
    with httpd:
        users = os.path.join(httpd.root, "ntlm_users")
        with open(users, "w", encoding="utf-8") as f:
            f.write(USERS)
        os.chmod(users, 0o644)
        for sub in ("orvane", "gssapi", "open"):
            os.mkdir(os.path.join(httpd.docroot, sub))
            with open(os.path.join(httpd.docroot, sub, "ok.txt"), "w") as f:
                f.write("ok\n")
        # MALLOC_PERTURB_=0: allocations are not filled (the fixture fills them to expose misuse).
        httpd.restart(env={"NTLM_USER_FILE": users, "MALLOC_PERTURB_": "0"})
        driver = build_driver(httpd.root)
        sides = {"orvane": "/orvane/ok.txt", "gssapi": "/gssapi/ok.txt"}
        for path in sides.values():                  # warm up both paths
            drive(driver, httpd.port, path, 1, 20)

        clients = [int(c) for c in args.clients.split(",")]
        best = {(name, c): 0.0 for name in sides for c in clients}
        plain = {c: 0.0 for c in clients}
        for rnd in range(args.rounds):
            for c in clients:
                # The side that runs first in a pair measured slower: take turns.
                for name, path in list(sides.items())[::1 if rnd % 2 else -1]:
                    best[(name, c)] = max(best[(name, c)], drive(driver, httpd.port, path, c, args.count))
                plain[c] = max(plain[c], plain_gets(httpd.port, c, args.count))

        print(f"NTLM handshakes (3 legs, new connection each), {args.count} per side per round,"
              f" best of {args.rounds}, Apache event MPM, loopback")
        for c in clients:
            o, g = best[("orvane", c)], best[("gssapi", c)]
            print(f"  {c:3d} clients  mod_auth_orvane_gss {o:7.0f}/s   mod_auth_gssapi {g:7.0f}/s"
                  f"   ratio ours/peer {o / g:.2f}   (plain GET, new connection: {plain[c]:.0f}/s)")
        httpd.assert_clean_log()


if __name__ == "__main__":
    main()
