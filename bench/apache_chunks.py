#!/usr/bin/python3
"""Chunk downloads through Apache: diskrelay (mod_cgid, chunk location) against
Apache serving the same bytes as a static file with a Range header.

Run by hand from the top of the tree after a build:

    ORVANE_BUILD_DIR=build /usr/bin/python3 bench/apache_chunks.py [--count N] [--mpm event]

Starts its own Apache and admission daemon on loopback, makes a 64 MiB image
(linked into the document root, so both sides read the same cached pages) and
fetches --count 4 MiB chunks from each side at the same random chunk-aligned
offsets, alternating sides, over one keep-alive connection per side. Prints
time per chunk, throughput and the ratio static / diskrelay (1.0 = as fast).
"""

import argparse
import http.client
import os
import random
import statistics
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(TOP, "testing"), os.path.join(TOP, "deploy")]

from admission import Admissiond  # noqa: E402
from apache import Apache  # noqa: E402
from chunk_location import MODULES, chunk_conf  # noqa: E402

IMAGE_SIZE = 64 << 20
CHUNK = 4 << 20


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
        httpd.restart(conf=chunk_conf(httpd, os.path.join(build, "transfer", "diskrelay"),
                                      images, adm.socket_path))

        sides = {
            "diskrelay": ("/chunks/bench.img", {"X-OVRA-Xfer-Context": "bench"}),
            "static": ("/bench.img", {}),
        }
        conns = {name: http.client.HTTPConnection("127.0.0.1", httpd.port, timeout=60) for name in sides}
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

        print(f"{args.count} GETs of 4 MiB per side over loopback, Apache {args.mpm} MPM, cached image")
        relay = report("diskrelay", times["diskrelay"])
        static = report("static", times["static"])
        print(f"  ratio static/diskrelay (median time): {static / relay:.2f}"
              f"   extra per chunk: {(relay - static) * 1e3:.2f} ms")
        print(f"{args.count} GETs of 1 byte per side (fixed cost per request)")
        relay1 = report("diskrelay", fixed["diskrelay"], size=1)
        static1 = report("static", fixed["static"], size=1)
        print(f"  extra per request: {(relay1 - static1) * 1e3:.2f} ms")
        httpd.assert_clean_log()


if __name__ == "__main__":
    main()
