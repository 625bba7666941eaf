"""Resident memory of one Apache child over many NTLM handshakes:
mod_auth_orvane_gss with gss-ntlmssp, the child's RSS printed after every
1,000 handshakes.

Run by hand from the top of the tree after a build (as root):

    flock /work/bench.lock bench/run ntlm_soak \
        [--count 10000] [--step 1000] [--clients 4]

One Apache (event MPM, testing/ntlm_stack.py, loopback) with a single child of
16 threads that is never recycled (MaxConnectionsPerChild 0 here, whatever
the site sets), so that every handshake lands in the process measured.
bench/ntlm_driver.c (built here with cc) makes the handshakes, each on a new
connection with three legs, a third of them with a wrong password (which
the mechanism checks as far as a right one). Printed: the child's RSS
before the first and after every step, and the growth per 1,000 handshakes
over the second half (past the warm-up of threads and caches). A variable
SOAK_NAME=value in the environment reaches the server as NAME=value, for
comparisons (SOAK_OPENSSL_CONF=..., SOAK_LD_PRELOAD=...).
"""

import argparse
import os

from ntlm_stack import build_driver, ntlm_apache, run_driver


CONF = """\
<Location /orvane>
    AuthType NTLM
    Require valid-user
</Location>
StartServers 1
ServerLimit 1
ThreadsPerChild 16
MinSpareThreads 1
MaxSpareThreads 16
MaxRequestWorkers 16
MaxConnectionsPerChild 0
"""


def drive(driver, port, clients, count, password="Secret1"):
    """count handshakes; returns how many were answered 200."""
    return run_driver(driver, port, "/orvane/ok.txt", "DOM\\alice", password, clients, count)[0]


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=10000, help="handshakes in all")
    ap.add_argument("--step", type=int, default=1000, help="handshakes between two readings")
    ap.add_argument("--clients", type=int, default=4)
    args = ap.parse_args()
    extra = {k[len("SOAK_"):]: v for k, v in os.environ.items() if k.startswith("SOAK_")}
    httpd = ntlm_apache("bench-ntlm-soak", conf=CONF, env=extra, perturb_malloc=False)
    os.mkdir(os.path.join(httpd.docroot, "orvane"))
    with open(os.path.join(httpd.docroot, "orvane", "ok.txt"), "w") as f:
        f.write("ok\n")
    with httpd:
        driver = build_driver(httpd.root)
        (pid,) = httpd.children()
        readings = [(0, rss_kib(pid))]
        print(f"one child (pid {pid}), {args.clients} clients, a third of the handshakes with a wrong password")
        print(f"{0:7d} handshakes  RSS {readings[0][1]:7d} KiB")
        done = 0
        while done < args.count:
            good = args.step - args.step // 3
            ok = drive(driver, httpd.port, args.clients, good)
            drive(driver, httpd.port, args.clients, args.step - good, password="wrong")
            if ok != good:
                raise RuntimeError(f"{good - ok} of {good} handshakes with the right password failed")
            done += args.step
            if httpd.children() != [pid]:
                raise RuntimeError("the child was replaced during the run")
            readings.append((done, rss_kib(pid)))
            print(f"{done:7d} handshakes  RSS {readings[-1][1]:7d} KiB"
                  f"  (+{readings[-1][1] - readings[-2][1]} KiB)")
        half = readings[len(readings) // 2]
        last = readings[-1]
        per_1000 = (last[1] - half[1]) * 1000 / max(1, last[0] - half[0])
        print(f"growth over the second half: {per_1000:.0f} KiB per 1,000 handshakes"
              f" ({per_1000 * 1024 / 1000:.0f} bytes per handshake)")
        httpd.assert_clean_log(allow=(r"gss_accept_sec_context\(\) failed",))


if __name__ == "__main__":
    main()
