"""What the fdatasync before an upload's 200 costs diskrelay, per chunk.

Run by hand, as root, from the repository root after a build:

    flock /work/bench.lock bench/run upload_sync [--build build] [--rounds 6]

Each sample uploads --chunks chunks of --size bytes (default 32 of 4 MiB),
one diskrelay run each, --parallel at a time, into distinct ranges of one
image in --dir (a real disk, not tmpfs), as devices sending an image would. Samples alternate
ABBA between the default (fdatasync before the answer) and NO_UPLOAD_SYNC;
prints per-chunk times as median (min-max) over the samples, and the ratio
of the medians. Admission control is bypassed; syslog lines are dropped as
in diskrelay_bench.py.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import syslog_sink
from chunk_stack import relay_env

MIB = 1 << 20


def sample(relay, image, chunk, chunks, size, synced, parallel):
    """Wall seconds per chunk over one sample of chunks uploads, parallel at a time."""
    extra = {} if synced else {"NO_UPLOAD_SYNC": "1"}

    def upload(n):
        env = relay_env(REQUEST_METHOD="POST", XFER_CANON_PATH=image, XFER_START=str(n * size),
                        CONTENT_LENGTH=str(size), **extra)
        with open(chunk, "rb") as body:
            out = subprocess.run([relay], env=env, stdin=body, capture_output=True, check=True)
        if b"Status: 200 OK" not in out.stdout:
            sys.exit(f"upload failed: {out.stdout!r}")

    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=parallel) as pool:
        list(pool.map(upload, range(chunks)))
    return (time.perf_counter() - start) / chunks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="CMake build directory")
    parser.add_argument("--dir", default="/var/tmp", help="where the image goes (a real disk)")
    parser.add_argument("--rounds", type=int, default=6, help="ABBA rounds (4 samples each)")
    parser.add_argument("--chunks", type=int, default=32)
    parser.add_argument("--size", type=int, default=4 * MIB)
    parser.add_argument("--parallel", type=int, default=1, help="uploads running at once")
    args = parser.parse_args()
    relay = os.path.abspath(os.path.join(args.build, "transfer", "diskrelay"))
    syslog_sink.drain()

    work = tempfile.mkdtemp(prefix="upload-sync-", dir=args.dir)
    try:
        chunk, image = os.path.join(work, "chunk"), os.path.join(work, "image.img")
        with open(chunk, "wb") as f:
            f.write(os.urandom(args.size))
        times = {True: [], False: []}
        for _ in range(args.rounds):
            for synced in (True, False, False, True):
                # A fresh image each sample: every upload allocates its blocks.
                if os.path.exists(image):
                    os.unlink(image)
                os.sync()
                times[synced].append(sample(relay, image, chunk, args.chunks, args.size, synced, args.parallel))
        med = {k: statistics.median(v) for k, v in times.items()}
        fs = subprocess.run(["df", "--output=source,fstype", args.dir], capture_output=True, text=True).stdout
        print(f"diskrelay: {relay}; image in {args.dir} ({' '.join(fs.split()[2:])})")
        print(f"{args.rounds} ABBA rounds, {args.chunks} uploads of {args.size // MIB} MiB per sample,"
              f" {args.parallel} at a time (wall time per chunk)")
        for synced, label in ((True, "fdatasync (default)"), (False, "NO_UPLOAD_SYNC     ")):
            v = times[synced]
            print(f"{label}  {med[synced] * 1000:7.1f} ms per chunk ({min(v) * 1000:.1f}-{max(v) * 1000:.1f})"
                  f"  {args.size / med[synced] / MIB:6.0f} MiB/s")
        print(f"ratio synced / unsynced {med[True] / med[False]:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
