"""Chunk transfers through Apache: diskrelay (mod_cgid, chunk location) against
Apache serving and storing the same bytes by itself.

Run by hand from the top of the tree after a build (as root):

    bench/run apache_chunks [--clients 1,8,32]
        [--requests N] [--rounds R] [--unbuffered] [--plain] [--mpm event] [--cgi cgid|cgi]
    bench/run apache_chunks --latency [--count N] [--plain]
    bench/run apache_chunks --stalls [--count N] [--plain]

Starts its own Apache and admission daemon on loopback (testing/chunk_stack.py),
with a 128 MiB image in the page cache that every side reads and writes. Over
HTTPS (default) diskrelay is the site of deploy/ (site_config.py: device
certificate required, device id checked, timing lines) and every client
presents the device's certificate; --plain serves the bare chunk location
over HTTP.

Default: side by side, CLIENTS curl processes at once, each making --requests
4 MiB transfers over one kept-alive connection, each client at its own
chunk-aligned range:
  GET   diskrelay at /chunks/ (206, Range)   against  the image as a static
        file with the same Range header
  POST  diskrelay at /chunks/ (Content-Range) against  a PUT into mod_dav
        (Alias /dav to the image folder) with the same Content-Range
Sides take turns, their order alternating from round to round (ABBA);
uploads are checked byte-exact after each batch. Prints aggregate MiB/s
(median of --rounds, with the range), the median time per transfer and the
ratio diskrelay / peer (1.0 = as fast) of the medians, with the range of
the rounds' own ratios. --unbuffered adds
GETs from a second chunk location without the mod_buffer output filter of
deploy/chunk-location.conf.in, to see what it gains.

--latency: one connection per side, --count GETs of 4 MiB then of one byte,
sides taking turns, with sides that split the cost: a minimal static C
program at a chunk location of its own (same mod_lua variables, same CGI
path) writing the range's length in zero bytes from memory, without
admission or file, and diskrelay without mod_buffer; then Apache's own time
per request (access log %D).
Needs a C compiler (cc) for the minimal CGI.

--stalls: --count POSTs and GETs of 4 MiB over one connection, counting
mod_cgid's 10 ms sleeps at the end of a request (pselect6 calls of the
server's children, counted by perf).
"""

import argparse
import contextlib
import os
import random
import re
import signal
import statistics
import subprocess
import time

from chunk_location import MODULES, chunk_conf
from chunk_stack import ChunkStack
from site_config import MODULES as SITE_MODULES, loads, site_conf

DEVICE = "5d0c8e4a-31b7-4f6e-9c2d-8a1b7e6f4c3d"
IMAGE = DEVICE + "/bench.img"        # below the image folder; chunk URLs name the device
IMAGE_SIZE = 128 << 20
CHUNK = 4 << 20
CHUNKS = IMAGE_SIZE // CHUNK

# The peers: Apache serving (static file, docroot link) and storing (mod_dav,
# partial PUT with Content-Range) the same image by itself.
DAV_CONF = """\
DavLockDB "{lockdb}"
Alias /dav "{images}"
<Location /dav>
    Dav On
    Require all granted
</Location>
"""

# Enough workers from the start for 32 clients: the fixture's pools are
# small, and a busy event MPM closes kept-alive connections, which an upload
# racing the close meets as a broken pipe.
MPM_CONF = {
    "event": "StartServers 3\nServerLimit 6\nThreadsPerChild 16\nMinSpareThreads 40\n"
             "MaxSpareThreads 96\nMaxRequestWorkers 96\n",
    "prefork": "StartServers 40\nMinSpareServers 40\nMaxSpareServers 64\n"
               "ServerLimit 64\nMaxRequestWorkers 64\n",
}
MPM_CONF["worker"] = MPM_CONF["event"]

# Answers a chunk request like diskrelay's GET, from memory: the floor of
# any CGI program behind this location.
MINIMAL_CGI = r"""
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
static char zeros[1 << 20];
int main(void) {
    long long n = atoll(getenv("XFER_END")) - atoll(getenv("XFER_START"));
    printf("Content-Type: application/octet-stream\nContent-Length: %lld\n"
           "Status: 206 Partial Content\nContent-Range: %s\n\n", n, getenv("CONTENT_RANGE_HEADER"));
    fflush(stdout);
    while (n > 0) {
        ssize_t w = write(1, zeros, n < (long long)sizeof zeros ? (size_t)n : sizeof zeros);
        if (w <= 0) return 1;
        n -= w;
    }
    return 0;
}
"""

CTX = {"X-OVRA-Xfer-Context": "bench"}
WRITE_OUT = r"%{http_code} %{size_download} %{size_upload} %{time_total}\n"


def build_minimal_cgi(folder):
    src, exe = os.path.join(folder, "minimal_cgi.c"), os.path.join(folder, "minimal_cgi")
    with open(src, "w") as f:
        f.write(MINIMAL_CGI)
    subprocess.run(["cc", "-O2", "-static", "-o", exe, src], check=True)
    return exe


@contextlib.contextmanager
def stack(args, build):
    """Admission daemon and Apache with the chunk location(s), the peers and
    the image; yields (httpd, image path)."""
    with contextlib.ExitStack() as cleanup:
        modules = tuple(m for m in (MODULES if args.plain else SITE_MODULES)
                        if m != "cgid") + (args.cgi, "dav", "dav_fs")
        relay = os.path.abspath(args.relay) if args.relay else os.path.join(build, "transfer", "diskrelay")
        chunks = ChunkStack("bench-chunks", limit=64, retry=30, tls=not args.plain, diskrelay=relay,
                            modules=modules, mpm=args.mpm, perturb_malloc=False,
                            load=() if args.plain else loads(build))
        cleanup.callback(chunks.stop)
        httpd, images = chunks.httpd, chunks.images
        if not args.plain:
            httpd.client_cert = httpd.ca.issue("device", DEVICE)
        image = os.path.join(httpd.mkdir_for_www(os.path.join("images", DEVICE)), "bench.img")
        with open(image, "wb") as f:
            for _ in range(CHUNKS):
                f.write(os.urandom(CHUNK))
        httpd.give_to_www_data(image)
        os.link(image, os.path.join(httpd.docroot, "bench.img"))

        # Over HTTPS, diskrelay at /chunks is the site as deploy/ renders it
        # (device certificate required, device id checked, timing lines);
        # the peers and the extra locations lie outside its virtual host and
        # apply in it as well.
        conf = ""
        if args.latency or args.unbuffered:
            # The chunk location as it was before it gathered the output.
            conf += re.sub(r"\n *<IfModule buffer_module>.*?</IfModule>", "",
                           chunk_conf(httpd, relay, images, chunks.adm.socket_path, "/unbuffered",
                                      "diskrelay.unbuffered"), flags=re.S)
        if args.latency:
            conf += chunk_conf(httpd, build_minimal_cgi(httpd.root), images, chunks.adm.socket_path, "/minimal",
                               "minimal")
        conf += DAV_CONF.format(lockdb=os.path.join(httpd.mkdir_for_www("davlock"), "lockdb"),
                                images=images)
        conf += MPM_CONF[args.mpm]
        if not args.plain:
            chunks.locations = {}
            conf += site_conf(httpd, build, images, chunks.adm.socket_path)
        chunks.conf = conf
        chunks.start()
        yield httpd, image


# --- side by side, concurrent clients ------------------------------------

def curl_config(httpd, method, path, headers, upload, chunks):
    """A curl config file text: one transfer per chunk index, one connection."""
    tls = httpd.client_args()
    blocks = []
    for index in chunks:
        first, last = index * CHUNK, index * CHUNK + CHUNK - 1
        lines = [f'url = "{httpd.url(path)}"', "silent", "show-error", 'noproxy = "*"',
                 'output = "/dev/null"', f'write-out = "{WRITE_OUT}"', 'header = "Expect:"']
        lines += [f'{tls[i].lstrip("-")} = "{tls[i + 1]}"' for i in range(0, len(tls), 2)]
        lines += [f'header = "{k}: {v}"' for k, v in headers.items()]
        if method == "GET":
            lines.append(f'header = "Range: bytes={first}-{last}"')
        else:
            lines += [f'upload-file = "{upload}"', f'request = "{method}"',
                      f'header = "Content-Range: bytes {first}-{last}/{IMAGE_SIZE}"']
        blocks.append("\n".join(lines))
    return "\nnext\n".join(blocks) + "\n"


def batch(httpd, side, clients, requests, folder):
    """Runs one batch; returns (seconds for all, per-transfer times)."""
    method, path, headers, upload, status = side
    procs = []
    for i in range(clients):
        cfg = os.path.join(folder, f"client{i}.curl")
        with open(cfg, "w") as f:
            f.write(curl_config(httpd, method, path, headers, upload,
                                [(i + j * clients) % CHUNKS for j in range(requests)]))
    t0 = time.perf_counter()
    for i in range(clients):
        procs.append(subprocess.Popen(["curl", "-K", os.path.join(folder, f"client{i}.curl")],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    outs = [p.communicate() for p in procs]
    elapsed = time.perf_counter() - t0
    times = []
    for (out, err), p in zip(outs, procs):
        lines = out.split("\n")[:-1]
        if p.returncode != 0 or len(lines) != requests:
            raise RuntimeError(f"{method} {path}: curl exit {p.returncode}, {len(lines)} answers: {err}{out}")
        for line in lines:
            code, down, up, total = line.split()
            moved = int(down) if method == "GET" else int(up)
            if int(code) not in status or moved != CHUNK:
                raise RuntimeError(f"{method} {path}: status {code}, {moved} bytes;"
                                   f" {clients} clients: {err}")
            times.append(float(total))
    return elapsed, times


def check_uploads(image, payload, clients, requests):
    with open(payload, "rb") as f:
        want = f.read()
    with open(image, "rb") as f:
        for index in {(i + j * clients) % CHUNKS for i in range(clients) for j in range(requests)}:
            f.seek(index * CHUNK)
            if f.read(CHUNK) != want:
                raise RuntimeError(f"{payload}: chunk {index} of the image differs after upload")


def side_by_side(args, httpd, image):
    folder = os.path.join(httpd.root, "clients")
    os.mkdir(folder)
    payloads = {}
    for name in ("relay", "dav"):
        payloads[name] = os.path.join(folder, f"payload-{name}")
        with open(payloads[name], "wb") as f:
            f.write(os.urandom(CHUNK))
    tests = {
        "GET": {"diskrelay": ("GET", "/chunks/" + IMAGE, CTX, None, (206,)),
                "static": ("GET", "/bench.img", {}, None, (206,))},
        "POST": {"diskrelay": ("POST", "/chunks/" + IMAGE, CTX, payloads["relay"], (200,)),
                 "mod_dav PUT": ("PUT", "/dav/" + IMAGE, {}, payloads["dav"], (200, 201, 204))},
    }
    if args.unbuffered:
        tests["GET"]["unbuffered"] = ("GET", "/unbuffered/" + IMAGE, CTX, None, (206,))
    levels = [int(c) for c in args.clients.split(",")]
    for sides in tests.values():                        # warm up every path
        for side in sides.values():
            batch(httpd, side, 2, 2, folder)
    rates = {}
    for rnd in range(args.rounds):
        for kind, sides in tests.items():
            for c in levels:
                # Whichever side runs first in a turn may meet other load:
                # the order alternates from round to round.
                for name, side in list(sides.items())[::1 if rnd % 2 == 0 else -1]:
                    elapsed, times = batch(httpd, side, c, args.requests, folder)
                    if side[3]:
                        check_uploads(image, side[3], c, args.requests)
                    rate = c * args.requests * CHUNK / elapsed / (1 << 20)
                    rates.setdefault((kind, c, name), []).append((rate, statistics.median(times)))

    print(f"4 MiB chunks, {'plain HTTP' if args.plain else 'HTTPS with client certificates'},"
          f" Apache {args.mpm} MPM, diskrelay under mod_{args.cgi};"
          f" {args.requests} per client, {args.rounds} rounds, sides alternating;"
          f" load average {os.getloadavg()[0]:.1f}")

    def figure(key):
        runs = rates[key]
        return (statistics.median(r for r, _ in runs), min(r for r, _ in runs), max(r for r, _ in runs),
                statistics.median(t for _, t in runs))

    def ratio(key, peer_key):
        per_round = [a / b for (a, _), (b, _) in zip(rates[key], rates[peer_key])]
        return f"ratio {figure(key)[0] / figure(peer_key)[0]:.2f} ({min(per_round):.2f}-{max(per_round):.2f})"

    for kind, sides in tests.items():
        ours, peer, *others = list(sides)
        print(kind)
        for c in levels:
            line = f"  {c:3d} clients"
            for name in (ours, peer):
                rate, low, high, med = figure((kind, c, name))
                line += f"  {name} {rate:5.0f} MiB/s ({low:.0f}-{high:.0f}; {med * 1e3:5.1f} ms) "
            line += f"  {ratio((kind, c, ours), (kind, c, peer))}"
            for other in others:
                rate, low, high, med = figure((kind, c, other))
                line += (f"   | {other} {rate:5.0f} MiB/s ({low:.0f}-{high:.0f}; {med * 1e3:5.1f} ms)"
                         f" {ratio((kind, c, other), (kind, c, peer))}")
            print(line)
    print("(aggregate MiB/s over a batch, median of the rounds with their range and the median time per"
          " transfer in brackets; ratio = diskrelay / peer throughput, of the medians, with the range of"
          " the rounds' ratios)")


# --- one connection per side: where the time goes ----------------------------

def fetch(conn, path, first, headers, buf, size=CHUNK):
    """One range GET; returns seconds taken. Fails on a short or wrong answer."""
    t0 = time.perf_counter()
    conn.request("GET", path, headers={**headers, "Range": f"bytes={first}-{first + size - 1}"})
    resp = conn.getresponse()
    got = 0
    while True:
        n = resp.readinto(buf)
        if not n:
            break
        got += n
    elapsed = time.perf_counter() - t0
    if resp.status != 206 or got != size:
        raise RuntimeError(f"{path} at {first}: status {resp.status}, {got} bytes")
    return elapsed


def report(name, times, size=CHUNK):
    med = statistics.median(times)
    rate = f"  {size / med / (1 << 20):7.0f} MiB/s" if size > 1 else ""
    print(f"  {name:10s} median {med * 1e3:7.2f} ms  mean {statistics.mean(times) * 1e3:7.2f} ms{rate}")
    return med


def latency(args, httpd):
    sides = {
        "diskrelay": ("/chunks/" + IMAGE, CTX),
        "minimal": ("/minimal/" + IMAGE, CTX),
        "static": ("/bench.img", {}),
        "unbuffered": ("/unbuffered/" + IMAGE, CTX),
    }
    conns = {}
    for name in sides:
        # As curl does: without it, the 1-byte ranges measure delayed ACKs.
        conns[name] = httpd.connection(60, nodelay=True)
    buf = bytearray(1 << 20)
    rnd = random.Random(7)
    offsets = [rnd.randrange(CHUNKS) * CHUNK for _ in range(args.count)]
    for first in range(0, IMAGE_SIZE, CHUNK):          # warm the page cache and both paths
        for name, (path, headers) in sides.items():
            fetch(conns[name], path, first, headers, buf)
    times = {name: [] for name in sides}
    for first in offsets:
        for name, (path, headers) in sides.items():
            times[name].append(fetch(conns[name], path, first, headers, buf))

    # The fixed cost of a request (CGI start, admission), without the bytes.
    fixed = {name: [] for name in sides}
    for first in offsets:
        for name, (path, headers) in sides.items():
            fixed[name].append(fetch(conns[name], path, first, headers, buf, size=1))

    print(f"{args.count} GETs per side, one connection each, {httpd.scheme.upper()} over loopback,"
          f" Apache {args.mpm} MPM, mod_{args.cgi}, cached image")
    for title, table, size in (("4 MiB chunks", times, CHUNK), ("1-byte ranges", fixed, 1)):
        print(title)
        med = {name: report(name, table[name], size) for name in sides}
        print(f"  ratio static/diskrelay {med['static'] / med['diskrelay']:.2f}"
              f"   minimal/diskrelay {med['minimal'] / med['diskrelay']:.2f}"
              f"   unbuffered/diskrelay {med['unbuffered'] / med['diskrelay']:.2f}"
              f"   (median times)")
    # Apache's own view (access log %D, request read to response sent):
    # what lies between it and the client's time is scheduling on a busy host.
    served = {}
    for line in httpd.access_log().splitlines():
        fields = line.split()
        served.setdefault((fields[6], fields[-2]), []).append(int(fields[-1]) / 1e6)
    print("Server side (access log %D), median:")
    for name, (path, _) in sides.items():
        print(f"  {name:10s} 4 MiB {statistics.median(served[(path, str(CHUNK))]) * 1e3:7.2f} ms"
              f"   1 byte {statistics.median(served[(path, '1')]) * 1e3:7.2f} ms")


# --- cleanup stalls ------------------------------------------------------------

def stalls(args, httpd):
    """Counts the server's 10 ms sleeps at the end of CGI requests.

    At the end of a request mod_cgid sends the program SIGTERM, and while
    kill(pid, 0) still finds it the worker sleeps 10 ms in pselect6 before
    it looks again. The server's child processes make no other pselect6
    call (the parent's once-a-second maintenance sleep is not counted), so
    perf counts the stalls as they happen, at almost no cost."""
    body = os.urandom(CHUNK)
    conn = httpd.connection(60)

    def transfer(method, n):
        first = (n % CHUNKS) * CHUNK
        if method == "POST":
            headers = {**CTX, "Content-Range": f"bytes {first}-{first + CHUNK - 1}/{IMAGE_SIZE}"}
            conn.request("POST", "/chunks/" + IMAGE, body=body, headers=headers)
        else:
            conn.request("GET", "/chunks/" + IMAGE, headers={**CTX, "Range": f"bytes={first}-{first + CHUNK - 1}"})
        resp = conn.getresponse()
        got = len(resp.read())
        if resp.status not in (200, 206) or got != (CHUNK if method == "GET" else 0):
            raise RuntimeError(f"{method} at {first}: status {resp.status}, {got} bytes")

    transfer("POST", 0)
    transfer("GET", 0)
    children = subprocess.run(["pgrep", "-d,", "-P", str(httpd.proc.pid)],
                              capture_output=True, text=True, check=True).stdout.strip()
    print(f"{args.count} transfers of 4 MiB per method, one connection, {httpd.scheme.upper()},"
          f" Apache {args.mpm} MPM, mod_cgid; cleanup stalls = pselect6 calls of the server's children")
    for method in ("POST", "GET"):
        perf = subprocess.Popen(["perf", "stat", "-x,", "-e", "syscalls:sys_enter_pselect6", "-p", children],
                                stderr=subprocess.PIPE, text=True)
        time.sleep(0.5)  # perf attaches
        t0 = time.perf_counter()
        for n in range(args.count):
            transfer(method, n)
        elapsed = time.perf_counter() - t0
        perf.send_signal(signal.SIGINT)
        counted = perf.communicate()[1].strip().splitlines()[-1].split(",")[0]
        print(f"  {method:4s}  {counted:>3s} stalls in {args.count}   {elapsed / args.count * 1e3:6.2f} ms per transfer")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--clients", default="1,8,32", help="concurrent clients, comma-separated")
    ap.add_argument("--requests", type=int, default=8, help="transfers per client per batch (default 8)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--plain", action="store_true", help="plain HTTP instead of HTTPS")
    ap.add_argument("--mpm", default="event", choices=("event", "worker", "prefork"))
    ap.add_argument("--cgi", default="cgid", choices=("cgid", "cgi"),
                    help="module that runs diskrelay (deploy/ uses cgid)")
    ap.add_argument("--unbuffered", action="store_true",
                    help="also GETs from a chunk location without mod_buffer")
    ap.add_argument("--latency", action="store_true", help="one connection per side, with a minimal CGI")
    ap.add_argument("--stalls", action="store_true",
                    help="count mod_cgid's 10 ms cleanup sleeps over --count POSTs and GETs")
    ap.add_argument("--count", type=int, default=100,
                    help="--latency: GETs per side; --stalls: transfers per method (default 100)")
    ap.add_argument("--relay", help="diskrelay binary (default: the build's)")
    args = ap.parse_args()
    build = os.environ["ORVANE_BUILD_DIR"]

    with stack(args, build) as (httpd, image):
        if args.latency:
            latency(args, httpd)
        elif args.stalls:
            stalls(args, httpd)
        else:
            side_by_side(args, httpd, image)
        httpd.assert_clean_log()


if __name__ == "__main__":
    main()
