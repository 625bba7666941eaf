#!/usr/bin/python3
"""Chunk downloads through Apache: diskrelay (mod_cgid, chunk location) against
Apache serving the same bytes as a static file with a Range header.

Run by hand from the top of the tree after a build:

    ORVANE_BUILD_DIR=build /usr/bin/python3 bench/apache_chunks.py [--count N] [--mpm event]

Starts its own Apache and admission daemon on loopback, makes a 64 MiB image
(linked into the document root, so both sides read the same cached pages) and
fetches --count 4 MiB chunks from each side at the same random chunk-aligned
offsets, taking turns, over one keep-alive connection per side. A third side
splits the cost: a minimal static C program at a second chunk location (same
mod_lua variables, same mod_cgid path) that writes the range's length in
zero bytes from memory, without admission or file. Prints time per chunk,
throughput and the ratios static / diskrelay and minimal CGI / diskrelay
(1.0 = as fast), then the same for 1-byte ranges: the fixed cost of a request.
Needs a C compiler (cc) for the minimal CGI.
"""

import argparse
import http.client
import os
import random
import socket
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(TOP, "testing"), os.path.join(TOP, "deploy")]

from admission import Admissiond  # noqa: E402
from apache import Apache  # noqa: E402
from chunk_location import MODULES, chunk_conf  # noqa: E402

IMAGE_SIZE = 64 << 20
CHUNK = 4 << 20


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


def build_minimal_cgi(folder):
    src, exe = os.path.join(folder, "minimal_cgi.c"), os.path.join(folder, "minimal_cgi")
    with open(src, "w") as f:
        f.write(MINIMAL_CGI)
    subprocess.run(["cc", "-O2", "-static", "-o", exe, src], check=True)
    return exe


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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=100, help="chunks per side (default 100)")
    ap.add_argument("--mpm", default="event", choices=("event", "worker", "prefork"))
    args = ap.parse_args()
    build = os.environ.get("ORVANE_BUILD_DIR", os.path.join(TOP, "build"))
    os.environ["ORVANE_BUILD_DIR"] = build

    with Admissiond(limit=8, retry=30) as adm, Apache("bench", modules=MODULES, mpm=args.mpm) as httpd:
        images = httpd.mkdir_for_www("images")
        image = os.path.join(images, "bench.img")
        with open(image, "wb") as f:
            for _ in range(IMAGE_SIZE // CHUNK):
                f.write(os.urandom(CHUNK))
        os.link(image, os.path.join(httpd.docroot, "bench.img"))
        minimal = build_minimal_cgi(httpd.root)
        conf = chunk_conf(httpd, os.path.join(build, "transfer", "diskrelay"), images, adm.socket_path)
        # chunk_conf installs its program as bin/diskrelay: copy the real one
        # under another name first, then point a second location at it.
        conf = conf.replace(os.path.join(httpd.root, "bin", "diskrelay"),
                            os.path.join(httpd.root, "bin", "diskrelay.real"))
        os.rename(os.path.join(httpd.root, "bin", "diskrelay"),
                  os.path.join(httpd.root, "bin", "diskrelay.real"))
        conf += chunk_conf(httpd, minimal, images, adm.socket_path, prefix="/minimal")
        httpd.restart(conf=conf)

        ctx = {"X-OVRA-Xfer-Context": "bench"}
        sides = {
            "diskrelay": ("/chunks/bench.img", ctx),
            "minimal": ("/minimal/bench.img", ctx),
            "static": ("/bench.img", {}),
        }
        conns = {}
        for name in sides:
            conns[name] = http.client.HTTPConnection("127.0.0.1", httpd.port, timeout=60)
            conns[name].connect()
            # As curl does: without it, the 1-byte ranges measure delayed ACKs.
            conns[name].sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        buf = bytearray(1 << 20)
        rnd = random.Random(7)
        offsets = [rnd.randrange(IMAGE_SIZE // CHUNK) * CHUNK for _ in range(args.count)]
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

        print(f"{args.count} GETs per side over loopback, Apache {args.mpm} MPM, cached image")
        for title, table, size in (("4 MiB chunks", times, CHUNK), ("1-byte ranges", fixed, 1)):
            print(title)
            med = {name: report(name, table[name], size) for name in sides}
            print(f"  ratio static/diskrelay {med['static'] / med['diskrelay']:.2f}"
                  f"   minimal/diskrelay {med['minimal'] / med['diskrelay']:.2f}"
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
        httpd.assert_clean_log()


if __name__ == "__main__":
    main()
