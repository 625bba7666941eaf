"""Aggregate chunk throughput through the balancer with one host and with
two, side by side in one run (deploy/cluster.py: hosts in network
namespaces behind HAProxy over one Gluster volume).

Run by hand from the top of the tree after a build, as root:

    bench/run cluster_chunks [--clients 8]
        [--requests 8] [--rounds 3] [--chunk-mib 1]

One cluster of two hosts serves both sides; the one-host side takes the
second host out of the balancer (HAProxy's "disable server"), so both sides
share the volume, the balancer and the clients. Each side: --clients curl
processes at once, each sending --requests chunk uploads (POST) over one
kept-alive TLS connection with a device certificate, then reading them back
(GET with Range) the same way; each client on its own image. Sides alternate
from round to round (ABBA). Prints the aggregate MiB/s of uploads and
downloads per side (median of the rounds, with the range) and the ratio two
hosts / one host. Bounded: clients x requests x chunk per direction and side
and round (default 64 MiB).
"""

import argparse
import os
import statistics
import subprocess
import tempfile
import time

from cluster import Cluster

DEVICE = "7d3f1b22-5e4a-4c8b-9f10-2a3b4c5d6e7f"


def side(cluster, cert, args, tmp, hosts, rnd):
    """(upload MiB/s, download MiB/s) with hosts hosts in the balancer."""
    cluster.haproxy_command(("enable" if hosts == 2 else "disable") + " server hosts/h2")
    cluster.wait_backends({"h2": "UP" if hosts == 2 else "MAINT"})
    chunk = args.chunk_mib << 20
    body = os.path.join(tmp, "chunk")
    base = ["curl", "-sS", "--fail", "--noproxy", "*", "--cacert", cluster.ca.cert, *cert.curl_args(),
            "-H", "X-OVRA-Xfer-Context: bench"]
    rates = []
    for method in ("POST", "GET"):
        procs = []
        began = time.monotonic()
        for c in range(args.clients):
            url = cluster.url(f"/chunks/{DEVICE}/r{rnd}-h{hosts}-c{c}.img")
            argv = list(base)
            for i in range(args.requests):
                if method == "POST":
                    argv += ["--data-binary", f"@{body}", "-o", "/dev/null", f"{url}?start={i * chunk}"]
                else:
                    argv += ["-r", f"{i * chunk}-{(i + 1) * chunk - 1}", "-o", "/dev/null", url]
                if i + 1 < args.requests:
                    argv.append("--next")
                    argv += base
            procs.append(subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
        for p in procs:
            _, err = p.communicate(timeout=300)
            if p.returncode != 0:
                raise RuntimeError(f"curl failed ({p.returncode}): {err.decode()}")
        took = time.monotonic() - began
        rates.append(args.clients * args.requests * args.chunk_mib / took)
    return rates


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--requests", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--chunk-mib", type=int, default=1)
    args = parser.parse_args()
    build = os.environ["ORVANE_BUILD_DIR"]
    results = {1: [], 2: []}
    with tempfile.TemporaryDirectory(prefix="ov21-bench-") as tmp, \
            Cluster(build, hosts=2, limit=args.clients, retry=1) as cluster:
        cert = cluster.ca.issue("device", DEVICE)
        cluster.device_folder(DEVICE)
        with open(os.path.join(tmp, "chunk"), "wb") as f:
            f.write(os.urandom(args.chunk_mib << 20))
        for rnd in range(args.rounds):
            for hosts in ((1, 2) if rnd % 2 == 0 else (2, 1)):
                results[hosts].append(side(cluster, cert, args, tmp, hosts, rnd))
        load = os.getloadavg()[0]
    print(f"{args.clients} clients x {args.requests} chunks of {args.chunk_mib} MiB per direction, "
          f"{args.rounds} rounds (ABBA), through HAProxy (TCP, PROXY v2) over one Gluster volume; "
          f"load average {load:.1f}")
    for i, what in enumerate(("upload (POST)", "download (GET)")):
        line = [f"{what:15}"]
        medians = {}
        for hosts in (1, 2):
            got = [r[i] for r in results[hosts]]
            medians[hosts] = statistics.median(got)
            line.append(f"{hosts} host{'s' if hosts > 1 else ' '} {medians[hosts]:7.1f} MiB/s "
                        f"({min(got):.1f}-{max(got):.1f})")
        ratios = [b[i] / a[i] for a, b in zip(results[1], results[2])]
        line.append(f"ratio 2/1 {medians[2] / medians[1]:.2f} ({min(ratios):.2f}-{max(ratios):.2f})")
        print("   ".join(line))


if __name__ == "__main__":
    main()
