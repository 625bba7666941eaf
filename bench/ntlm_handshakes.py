"""NTLM handshakes per second, and requests per second on a signed-on
kept-alive connection: mod_auth_orvane_gss against Debian's mod_auth_gssapi,
both with the gss-ntlmssp mechanism, in one Apache.

Run by hand from the top of the tree after a build (as root):

    apt-get install libapache2-mod-auth-gssapi
    flock /work/bench.lock bench/run ntlm_handshakes \
        [--count N] [--kept-count N] [--clients 1,4] [--rounds R]

One Apache (event MPM, testing/ntlm_stack.py, loopback) loads both modules;
/orvane/ is guarded by AuthType NTLM (ours) with OrvaneNTLMConnectionBound On,
/gssapi/ by AuthType GSSAPI with GssapiAllowedMech ntlmssp and
GssapiConnectionBound On (which that module needs for a handshake of more
than one leg, and which keeps its connections signed on). Both read the same
users from one NTLM_USER_FILE. The client is bench/ntlm_driver.c (built here
with cc). "handshakes": a new connection per handshake, three legs (no
credentials, negotiate, authenticate) with messages from
gss_init_sec_context, a small static file as the answer. "kept-alive": each
client signs on once, then GETs the file over its signed-on connection
without credentials. Each round measures every figure once per side, the
order of the sides alternating from round to round (ABBA); the medians over
the rounds are printed with their min-max, and the ratio ours / peer of the
medians (1.0 = as fast), with the min-max of the rounds' own ratios, and
the server processes' CPU time per handshake or request (from /proc, in
clock ticks). For scale, ab's plain GETs of the same file (new connection
each, and kept alive).
"""

import argparse
import os
import statistics
import subprocess
import sys

from ntlm_stack import build_driver, ntlm_apache, run_driver

GSSAPI_MODULE = "/usr/lib/apache2/modules/mod_auth_gssapi.so"

CONF = """\
<Location /orvane>
    AuthType NTLM
    OrvaneNTLMConnectionBound On
    Require valid-user
</Location>
<Location /gssapi>
    AuthType GSSAPI
    AuthName "bench"
    GssapiAllowedMech ntlmssp
    GssapiConnectionBound On
    Require valid-user
</Location>
# A signed-on connection serves any number of requests.
MaxKeepAliveRequests 0
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


def drive(driver, port, path, clients, count, kept=False, user="DOM\\alice", password="Secret1"):
    """Handshakes (or kept-alive requests) per second for count of them by clients threads."""
    good, bad, seconds, stderr = run_driver(driver, port, path, user, password, clients, count, kept)
    if bad or good != count:
        raise RuntimeError(f"{path}: {good} done, {bad} failed:\n{stderr}")
    return good / seconds


def plain_gets(port, clients, count, kept=False):
    """Requests per second of ab on the static file (new connection each, or kept alive)."""
    out = subprocess.run(["ab", "-q", *(["-k"] if kept else []), "-n", str(count), "-c", str(clients),
                          f"http://127.0.0.1:{port}/open/ok.txt"],
                         capture_output=True, text=True, timeout=600)
    for line in out.stdout.splitlines():
        if line.startswith("Requests per second:"):
            return float(line.split()[3])
    raise RuntimeError(out.stdout + out.stderr)


def server_cpu(httpd):
    """CPU seconds used so far by the server's processes (parent and children)."""
    pids = [httpd.proc.pid] + httpd.children()
    ticks = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])     # utime, stime
        except (OSError, IndexError, ValueError):
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def spread(values):
    return f"{statistics.median(values):7.0f}/s ({min(values):.0f}-{max(values):.0f})"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=1000, help="handshakes per side per round")
    ap.add_argument("--kept-count", type=int, default=20000, help="kept-alive requests per side per round")
    ap.add_argument("--clients", default="1,4", help="client counts, comma-separated")
    ap.add_argument("--rounds", type=int, default=4)
    args = ap.parse_args()
    if not os.path.exists(GSSAPI_MODULE):
        sys.exit(f"{GSSAPI_MODULE} missing: apt-get install libapache2-mod-auth-gssapi")

    httpd = ntlm_apache("bench-ntlm", conf=CONF, modules=("auth_gssapi",), perturb_malloc=False)
    for sub in ("orvane", "gssapi", "open"):
        os.mkdir(os.path.join(httpd.docroot, sub))
        with open(os.path.join(httpd.docroot, sub, "ok.txt"), "w") as f:
            f.write("ok\n")
    with httpd:
        driver = build_driver(httpd.root)
        sides = {"orvane": "/orvane/ok.txt", "gssapi": "/gssapi/ok.txt"}
        for path in sides.values():                  # warm up both paths
            drive(driver, httpd.port, path, 1, 20)
            drive(driver, httpd.port, path, 1, 200, kept=True)

        clients = [int(c) for c in args.clients.split(",")]
        kinds = {"handshakes": (False, args.count), "kept-alive": (True, args.kept_count)}
        runs = {(kind, name, c): [] for kind in kinds for name in sides for c in clients}
        cpu = {(kind, name, c): [] for kind in kinds for name in sides for c in clients}  # us per operation
        plain = {(kind, c): [] for kind in kinds for c in clients}
        for rnd in range(args.rounds):
            for c in clients:
                for kind, (kept, count) in kinds.items():
                    # ABBA: the side that runs first in a pair measured slower.
                    for name, path in list(sides.items())[::1 if rnd % 2 else -1]:
                        before = server_cpu(httpd)
                        runs[(kind, name, c)].append(drive(driver, httpd.port, path, c, count, kept))
                        cpu[(kind, name, c)].append((server_cpu(httpd) - before) / count * 1e6)
                    plain[(kind, c)].append(plain_gets(httpd.port, c, count, kept))

        print(f"NTLM over loopback, Apache event MPM, {args.rounds} rounds, sides alternating;"
              f" median (min-max) per side, ratio ours/peer of the medians (min-max of the rounds' ratios)")
        for kind, (kept, count) in kinds.items():
            what = "handshakes, new connection each" if not kept else "requests on a signed-on kept-alive connection"
            print(f"{kind}: {what}, {count} per side per round")
            for c in clients:
                o, g = runs[(kind, "orvane", c)], runs[(kind, "gssapi", c)]
                ratios = [a / b for a, b in zip(o, g)]
                print(f"  {c:3d} clients  mod_auth_orvane_gss {spread(o)}   mod_auth_gssapi {spread(g)}"
                      f"   ratio {statistics.median(o) / statistics.median(g):.2f}"
                      f" ({min(ratios):.2f}-{max(ratios):.2f})"
                      f"   (plain GET, {'kept alive' if kept else 'new connection'}: {statistics.median(plain[(kind, c)]):.0f}/s)")
                print(f"               server CPU per {'request' if kept else 'handshake'}:"
                      f" ours {statistics.median(cpu[(kind, 'orvane', c)]):.0f} us,"
                      f" peer {statistics.median(cpu[(kind, 'gssapi', c)]):.0f} us (medians)")
        httpd.assert_clean_log()


if __name__ == "__main__":
    main()
