"""Benchmark of diskrelay on its own, without a web server.

Run by hand, as root, from the repository root after a build:

    bench/run diskrelay_bench [--build build] [--rounds 5]

Measures, in one run, against baselines measured in the same run:
  GET   1 GiB cached range into a pipe            vs  dd bs=1M into the same pipe
  POST  1 GiB from a pipe into a file             vs  dd bs=1M conv=notrunc
  POST  1 GiB from a Unix stream socket (what mod_cgid gives a CGI program)
                                                  vs  dd fed the same way
  one whole run for a 0-byte GET                  vs  a minimal static C program
  peak memory (maxrss) of diskrelay in each of these.
Throughput ratios are baseline time / diskrelay time (1.0 = as fast as dd),
also given for the CPU time of the two programs themselves, which a busy
machine moves less than the wall time;
the run ratio is diskrelay time / minimal program time (lower is better).
Each round runs both sides of every pair, the order alternating from round
to round (ABBA); the figures are medians with the range over the rounds.

diskrelay logs through syslog; as root the benchmark runs in a private mount
namespace with a socket of its own on /dev/log that reads and drops every
line, as a syslog daemon would. Admission control is bypassed.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import syslog_sink
from chunk_stack import relay_env

GIB = 1 << 30
MIB = 1 << 20
HERE = os.path.dirname(os.path.abspath(__file__))


def run_pipeline(first, second, env_first=None, env_second=None, channel="pipe", measured=0):
    """Runs first | second, joined by a pipe or a Unix stream socket pair;
    returns its wall time in seconds and the CPU seconds (user and system)
    of the measured program (0: first, 1: second)."""
    if channel == "pipe":
        read_end, write_end = os.pipe()
    else:
        read_sock, write_sock = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        read_end, write_end = read_sock.detach(), write_sock.detach()
    start = time.perf_counter()
    p1 = subprocess.Popen(first, stdout=write_end, env=env_first)
    p2 = subprocess.Popen(second, stdin=read_end, stdout=subprocess.DEVNULL, env=env_second)
    os.close(write_end)
    os.close(read_end)
    cpu = 0.0
    for n, proc in enumerate((p1, p2)):
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode:
            sys.exit(f"pipeline failed: {first} | {second}")
        if n == measured:
            cpu = usage.ru_utime + usage.ru_stime
    return time.perf_counter() - start, cpu


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def spawn(launcher, count, program, env=None, stdin=None):
    """Runs program count times through the launcher: (us per run, maxrss KiB)."""
    out = subprocess.run([launcher, str(count), program], env=env, stdin=stdin,
                         capture_output=True, text=True, check=True)
    us, rss = out.stdout.split()
    return float(us), int(rss)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="CMake build directory")
    parser.add_argument("--relay", help="diskrelay binary (default: BUILD/transfer/diskrelay)")
    parser.add_argument("--dir", default="/var/tmp", help="where the 1 GiB files go")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--runs", type=int, default=500, help="runs per empty-GET sample")
    parser.add_argument("--other-relay", help="a second diskrelay build (e.g. linked statically) "
                        "whose empty-GET run is measured beside the first, sides alternated")
    args = parser.parse_args()
    relay = os.path.abspath(args.relay or os.path.join(args.build, "transfer", "diskrelay"))

    if not syslog_sink.drain():
        print("note: not root; syslog lines go wherever this machine sends them")

    work = tempfile.mkdtemp(prefix="diskrelay-bench-", dir=args.dir)
    try:
        source, target = os.path.join(work, "source.img"), os.path.join(work, "target.img")
        block = os.urandom(MIB)
        with open(source, "wb") as f:
            for _ in range(GIB // MIB):
                f.write(block)
        shutil.copyfile(source, target)
        os.sync()
        subprocess.run(["cat", source], stdout=subprocess.DEVNULL, check=True)  # into the page cache

        launcher = os.path.join(work, "spawn")
        minimal = os.path.join(work, "minimal")
        subprocess.run(["gcc", "-O2", "-static", "-o", launcher,
                        os.path.join(HERE, "diskrelay_spawn.c")], check=True)
        with open(minimal + ".c", "w") as f:
            f.write("int main(void) { return 0; }\n")
        subprocess.run(["gcc", "-O2", "-static", "-o", minimal, minimal + ".c"], check=True)

        get_env = relay_env(REQUEST_METHOD="GET", XFER_CANON_PATH=source, XFER_END=str(GIB))
        # dd leaves the data in the page cache; so does diskrelay here, its
        # fdatasync before the answer being upload_sync.py's to measure.
        post_env = relay_env(REQUEST_METHOD="POST", XFER_CANON_PATH=target, CONTENT_LENGTH=str(GIB),
                             NO_UPLOAD_SYNC="1")
        empty_env = relay_env(REQUEST_METHOD="GET", XFER_CANON_PATH=source, XFER_END="0")
        dd_get = ["dd", f"if={source}", "bs=1M", f"count={GIB // MIB}", "status=none"]
        dd_post = ["dd", f"of={target}", "bs=1M", "conv=notrunc", "status=none"]
        sink = ["cat"]

        def post(feeder, channel):
            def run():
                os.sync()  # every side starts with nothing dirty to write back
                return run_pipeline(["cat", source], feeder, env_second=post_env, channel=channel, measured=1)
            return run
        # pair name: (diskrelay side, baseline side), each a function giving
        # (wall seconds, CPU seconds of the program) or, for runs, us
        pairs = {
            "get": (lambda: run_pipeline([relay], sink, env_first=get_env),
                    lambda: run_pipeline(dd_get, sink)),
            "post_pipe": (post([relay], "pipe"), post(dd_post, "pipe")),
            "post_socket": (post([relay], "socket"), post(dd_post, "socket")),
            "run": (lambda: spawn(launcher, args.runs, relay, env=empty_env)[0],
                    lambda: spawn(launcher, args.runs, minimal)[0]),
        }
        if args.other_relay:  # the other build's empty run, against our own
            pairs["run_other"] = (pairs["run"][0], lambda: spawn(launcher, args.runs, args.other_relay, env=empty_env)[0])
        times = {name: ([], []) for name in pairs}
        for n in range(args.rounds):
            for name, sides in pairs.items():
                order = (0, 1) if n % 2 == 0 else (1, 0)
                for side in order:
                    times[name][side].append(sides[side]())
        os.sync()

        # Peak memory: one more run of each kind, started by the small launcher.
        rss = {"get": spawn(launcher, 1, relay, env=get_env)[1],
               "empty": spawn(launcher, 1, relay, env=empty_env)[1],
               "minimal": spawn(launcher, 1, minimal)[1]}
        feed = subprocess.Popen(["cat", source], stdout=subprocess.PIPE)
        rss["post"] = spawn(launcher, 1, relay, env=post_env, stdin=feed.stdout)[1]
        feed.stdout.close()
        feed.wait()

        ldd = subprocess.run(["ldd", relay], capture_output=True, text=True)
        print(f"diskrelay: {relay}")
        print(f"ldd: {'; '.join(line.strip() for line in (ldd.stdout + ldd.stderr).strip().splitlines())}")
        print(f"rounds: {args.rounds}, sides alternating (ABBA); medians, range over the rounds in brackets;"
              f" files in {args.dir}; pipe reader: cat; {args.runs} runs per empty-GET sample;"
              f" load average {os.getloadavg()[0]:.1f}")

        def rate(seconds):
            return f"{GIB / median(seconds) / MIB:5.0f} MiB/s ({GIB / max(seconds) / MIB:4.0f}-{GIB / min(seconds) / MIB:4.0f})"

        def ratio(relay_times, base_times, baseline_over_relay=True):
            per_round = [(b / r if baseline_over_relay else r / b) for r, b in zip(relay_times, base_times)]
            whole = median(base_times) / median(relay_times) if baseline_over_relay \
                else median(relay_times) / median(base_times)
            return f"ratio {whole:.2f} ({min(per_round):.2f}-{max(per_round):.2f})"

        for name, label, target in (("get", "GET  1 GiB -> pipe    ", ">= 1.3"),
                                    ("post_pipe", "POST pipe -> 1 GiB    ", ">= 1.0"),
                                    ("post_socket", "POST socket -> 1 GiB  ", ">= 1.0")):
            (relay_wall, relay_cpu), (base_wall, base_cpu) = (list(zip(*side)) for side in times[name])
            print(f"{label} diskrelay {rate(relay_wall)}   dd {rate(base_wall)}"
                  f"   {ratio(relay_wall, base_wall)}  (dd / diskrelay, target {target})")
            print(f"{'':22s} CPU of the program: diskrelay {median(relay_cpu):.3f} s   dd {median(base_cpu):.3f} s"
                  f"   {ratio(relay_cpu, base_cpu)}")
        run_relay, run_min = times["run"]
        print(f"empty GET run          diskrelay {median(run_relay):6.0f} us ({min(run_relay):.0f}-{max(run_relay):.0f})"
              f"   minimal static {median(run_min):6.0f} us ({min(run_min):.0f}-{max(run_min):.0f})"
              f"   {ratio(run_relay, run_min, False)}  (target < 2)")
        if args.other_relay:
            ours, other = times["run_other"]
            print(f"empty GET run, other build {args.other_relay}: {median(other):6.0f} us ({min(other):.0f}-{max(other):.0f})"
                  f"   diskrelay / other {ratio(ours, other, False)};"
                  f" other's peak memory, empty GET {spawn(launcher, 1, args.other_relay, env=empty_env)[1]} KiB")
        print(f"peak memory (maxrss) GET {rss['get']} KiB, POST {rss['post']} KiB, empty GET {rss['empty']} KiB"
              f"  (target < 4096 KiB); minimal static program {rss['minimal']} KiB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
