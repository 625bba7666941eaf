"""Form logins per second through the form filter in Apache, against the bare
password checks of the LSA client library on the same KDC: the filter's own cost.

Run by hand from the top of the tree after a build (as root):

    bench/run form_logins [--count N] [--clients 1,8]
        [--rounds R] [--mpm event] [--children N]

The form stack's real MIT KDC (testing/form_stack.py); alice logs in.
Sides, taking turns, best of --rounds:
  filter  ab posts the login form (a new connection each) to a location with
          the ORVANE_CHECK_PASSWORD input filter; a mod_lua handler reads the
          body through the filters and echoes it (no CGI process per login).
          One curl checks the rewritten body first (password blanked, result
          "1"); during the runs ab checks status and length, and the KDC's
          log must show a ticket for every login (a refused one is as long).
  bare    likewise/tests/lsa_auth: the same login name and password through
          LsaAuthenticateUser on one connection per process, CLIENTS
          processes at once, each with its share of the count.
  echo    the same form through the same handler without the filter: what
          Apache and the client cost without any check.
Prints logins per second, the ratio filter / bare (1.0 = the filter costs
nothing on top of the check) and an estimate of the filter's own time per
login. The module checks one password at a time per server process;
--children spreads the clients over that many processes.
"""

import argparse
import os
import re
import subprocess
import time
import urllib.parse

from client import curl
from form_stack import GOOD as PASSWORD, FormStack, form
ECHO_LUA = """\
function echo(r)
    r.content_type = "application/octet-stream"
    r:write(r:requestbody())
    return apache2.OK
end
"""
CONF = """\
LuaMapHandler "^/login/(filter|plain)$" "{lua}" echo
<Location /login/filter>
    SetInputFilter ORVANE_CHECK_PASSWORD
</Location>
<Location /login>
    Require all granted
    LuaScope thread
</Location>
"""


def ab(httpd, path, body_file, clients, count):
    """Requests per second of ab posting body_file, a new connection each
    time: the event MPM closes kept-alive connections of a process whose
    threads are all busy, and ab counts that as a failure."""
    out = subprocess.run(["ab", "-q", "-n", str(count), "-c", str(clients),
                          "-p", body_file, "-T", "application/x-www-form-urlencoded",
                          httpd.url(path)], capture_output=True, text=True, timeout=600)
    text = out.stdout
    if out.returncode != 0 or "Non-2xx" in text or not re.search(r"Failed requests:\s+0\n", text):
        raise RuntimeError(f"ab on {path}:\n{text}{out.stderr}")
    return float(re.search(r"Requests per second:\s+([\d.]+)", text).group(1))


def bare(lsa_auth, env, login, clients, count):
    """Checks per second of `clients` lsa_auth processes sharing count checks."""
    share = [count // clients + (i < count % clients) for i in range(clients)]
    t0 = time.perf_counter()
    procs = [subprocess.Popen([lsa_auth], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
             for _ in share]
    for proc, n in zip(procs, share):
        proc.stdin.write(("%s\n%s\n" % (login, PASSWORD)).encode() * n)
        proc.stdin.close()
    outs = [proc.stdout.read().decode() for proc in procs]
    for proc in procs:
        proc.wait()
    elapsed = time.perf_counter() - t0
    lines = "".join(outs).splitlines()
    if len(lines) != count or any(not line.startswith("0 ") for line in lines):
        raise RuntimeError(f"lsa_auth: {len(lines)} answers, first {lines[:1]}")
    return count / elapsed


def tickets(kdc):
    return kdc.log().count("ISSUE:")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=500, help="logins per side per round")
    ap.add_argument("--clients", default="1,8", help="client counts, comma-separated")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--mpm", default="event", choices=("event", "worker", "prefork"))
    ap.add_argument("--children", type=int, default=0,
                    help="event/worker: this many server processes of 4 threads each from the start"
                         " (default: the fixture's one process of 16)")
    args = ap.parse_args()
    build = os.environ["ORVANE_BUILD_DIR"]
    lsa_auth = os.path.join(build, "likewise", "tests", "lsa_auth")

    stack = FormStack("bench-form", modules=("lua",), mpm=args.mpm, perturb_malloc=False)
    try:
        kdc, httpd = stack.kdc, stack.httpd
        lua = os.path.join(httpd.root, "echo.lua")
        with open(lua, "w") as f:
            f.write(ECHO_LUA)
        os.chmod(lua, 0o644)
        conf = CONF.format(lua=lua)
        if args.children:
            n = args.children
            conf += (f"StartServers {n}\nServerLimit {n}\nThreadsPerChild 4\nMinSpareThreads 4\n"
                     f"MaxSpareThreads {4 * n}\nMaxRequestWorkers {4 * n}\n")
        httpd.conf = conf
        stack.start()
        env = dict(os.environ, **kdc.env)
        body = form("alice", PASSWORD)
        body_file = os.path.join(httpd.root, "form")
        with open(body_file, "wb") as f:
            f.write(body)
        r = curl(httpd, "/login/filter", "-H", "Content-Type: application/x-www-form-urlencoded",
                 "--data-binary", "@-", stdin=body)
        expected = body.replace(b"result=9", b"result=1").replace(
            urllib.parse.quote_plus(PASSWORD).encode(), b"&" * len(urllib.parse.quote_plus(PASSWORD)))
        if (r.status, r.body) != (200, expected):
            raise RuntimeError(f"filter answer: {r}")
        login = kdc.domain + "\\alice"
        bare(lsa_auth, env, login, 1, 10)

        clients = [int(c) for c in args.clients.split(",")]
        best = {(side, c): 0.0 for side in ("filter", "bare", "echo") for c in clients}

        def filtered(c):
            mark = tickets(kdc)
            rate = ab(httpd, "/login/filter", body_file, c, args.count)
            issued = tickets(kdc) - mark
            if issued < args.count:
                raise RuntimeError(f"filter: {issued} tickets issued for {args.count} logins")
            return rate

        sides = {"filter": filtered,
                 "bare": lambda c: bare(lsa_auth, env, login, c, args.count),
                 "echo": lambda c: ab(httpd, "/login/plain", body_file, c, args.count)}
        for rnd in range(args.rounds):
            for c in clients:
                # Whichever side runs first may meet other load: the
                # order alternates from round to round.
                for side, run in list(sides.items())[::1 if rnd % 2 == 0 else -1]:
                    best[(side, c)] = max(best[(side, c)], run(c))

        print(f"Form logins, {args.count} per side per round, best of {args.rounds},"
              f" Apache {args.mpm} MPM" + (f" ({args.children} processes of 4 threads)" if args.children else "")
              + ", one MIT KDC, loopback")
        for c in clients:
            f, b, e = best[("filter", c)], best[("bare", c)], best[("echo", c)]
            # What a login through the filter takes beyond the check and
            # a request without the filter.
            own = (1 / f - 1 / b - 1 / e) * c * 1e3
            print(f"  {c:3d} clients  filter {f:7.0f}/s   bare LSA check {b:7.0f}/s"
                  f"   ratio filter/bare {f / b:.2f}   (echo without filter {e:.0f}/s;"
                  f" filter's own {own:.2f} ms per login and client)")
        httpd.assert_clean_log()
    finally:
        stack.stop()


if __name__ == "__main__":
    main()
