"""admissiond's command line, start over what is at its socket path, and stop."""

import os
import pwd
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import unittest

from admissiond import Admissiond, binary_path, connect
from procs import Process


def leave_nothing(path):
    return None


def leave_stale_socket(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(path)
    sock.close()


def leave_live_socket(path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind(path)
    sock.listen()
    return sock


def leave_regular_file(path):
    with open(path, "w") as f:
        f.write("not a socket\n")


# name, what is at the socket path before the start, exit status (None: it
# runs), text in the log
STARTS = [
    ("nothing there", leave_nothing, None, "started on"),
    ("stale socket", leave_stale_socket, None, "removed stale socket"),
    ("live socket", leave_live_socket, 1, "is in use by a running server"),
    ("regular file", leave_regular_file, 1, "exists and is not a socket"),
]

SIGNALS = [("SIGTERM", signal.SIGTERM), ("SIGINT", signal.SIGINT)]

# Overrides of the good command line (None drops the option), extra words.
# Legend: "LONG" stands for a socket path one byte longer than a socket takes.
BAD_ARGS = [
    ("no socket", {"--socket": None}, []),
    ("no limit", {"--limit": None}, []),
    ("no retry", {"--retry": None}, []),
    ("limit not a number", {"--limit": "eight"}, []),
    ("negative limit", {"--limit": "-1"}, []),
    ("limit with trailing junk", {"--limit": "8x"}, []),
    ("retry of zero would admit", {"--retry": "0"}, []),
    ("retry beyond 32 bits", {"--retry": "2147483648"}, []),
    ("mode not octal", {"--mode": "999"}, []),
    ("mode with set-id bits", {"--mode": "4777"}, []),
    ("unknown log target", {"--log": "file"}, []),
    ("idle time-out of zero", {"--idle-timeout": "0"}, []),
    ("empty socket path", {"--socket": ""}, []),
    ("socket path too long", {"--socket": "LONG"}, []),
    ("extra argument", {}, ["extra"]),
    ("unknown option", {}, ["--verbose"]),
    ("status beside server settings", {}, ["--status", "PATH"]),
]

# name, extra arguments, mode of the socket file, whether www-data gets in
MODES = [
    ("default", [], 0o666, True),
    ("owner only", ["--mode", "600"], 0o600, False),
    ("owner and group", ["--mode", "0660"], 0o660, False),
]

ASK = """
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(5)
try:
    s.connect(sys.argv[1])
except PermissionError:
    print("refused")
else:
    s.sendall(b"ADMIT www-data")
    print(s.recv(64).decode())
"""


class Lifecycle(unittest.TestCase):
    def test_start_over_socket_path(self):
        for name, leave, status, text in STARTS:
            with self.subTest(name):
                adm = Admissiond(limit=1, retry=5)
                adm.make_dir()
                left = leave(adm.socket_path)
                before = os.lstat(adm.socket_path) if os.path.lexists(adm.socket_path) else None
                try:
                    if status is None:
                        adm.start()
                        reply, sock = adm.request(b"ADMIT first")
                        sock.close()
                        self.assertEqual(reply, b"PROCEED")
                        self.assertIn(text, adm.log())
                    else:
                        run = subprocess.run(adm.command(), capture_output=True, text=True,
                                             timeout=10)
                        self.assertEqual(run.returncode, status)
                        self.assertIn(text, run.stderr)
                        self.assertEqual(os.lstat(adm.socket_path).st_ino, before.st_ino)
                finally:
                    if left:
                        left.close()
                    adm.stop()

    def test_signal_ends_cleanly(self):
        for name, sig in SIGNALS:
            with self.subTest(name):
                adm = Admissiond(limit=1, retry=5).start()
                try:
                    reply, holder = adm.request(b"ADMIT holder")
                    self.assertEqual(reply, b"PROCEED")
                    silent = connect(adm.socket_path)
                    self.assertEqual(adm.terminate(sig), 0)
                    self.assertFalse(os.path.lexists(adm.socket_path))
                    self.assertEqual(holder.recv(64), b"")
                    self.assertIn("terminated: running=1 peak=1 admitted=1 denied=0", adm.log())
                    holder.close()
                    silent.close()
                finally:
                    adm.stop()

    def test_bad_arguments(self):
        tmp = tempfile.mkdtemp(prefix="admissiond-args-")
        self.addCleanup(shutil.rmtree, tmp)
        path = os.path.join(tmp, "admission.sock")
        long_path = os.path.join(tmp, "s" * (107 - len(tmp)))
        self.assertEqual(len(long_path), 108)
        good = {"--socket": path, "--limit": "1", "--retry": "5", "--log": "stderr"}
        for name, overrides, extra in BAD_ARGS:
            with self.subTest(name):
                opts = {**good, **overrides}
                if opts["--socket"] == "LONG":
                    opts["--socket"] = long_path
                extra = [path if word == "PATH" else word for word in extra]
                argv = [binary_path()]
                for key, value in opts.items():
                    if value is not None:
                        argv += [key, value]
                run = subprocess.run(argv + extra, capture_output=True, text=True, timeout=10)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn("usage: admissiond --socket PATH", run.stderr)
                self.assertEqual(os.listdir(tmp), [])

    def test_socket_mode(self):
        for name, args, mode, www_data_admitted in MODES:
            with self.subTest(name), Admissiond(limit=1, retry=5, extra_args=args) as adm:
                self.assertEqual(stat.S_IMODE(os.stat(adm.socket_path).st_mode), mode)
                if os.geteuid() != 0 or not shutil.which("setpriv"):
                    continue
                try:
                    pwd.getpwnam("www-data")
                except KeyError:
                    continue
                run = subprocess.run(["setpriv", "--reuid=www-data", "--regid=www-data",
                                      "--clear-groups", sys.executable, "-c", ASK,
                                      adm.socket_path],
                                     capture_output=True, text=True, timeout=10)
                self.assertEqual(run.stdout.strip(),
                                 "PROCEED" if www_data_admitted else "refused", run.stderr)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
    def test_runs_without_systemd(self):
        # The commands of docs/operations.md for a machine without systemd,
        # with nobody for the daemon's user and a private run folder.
        tmp = tempfile.mkdtemp(prefix="admissiond-run-")
        self.addCleanup(shutil.rmtree, tmp)
        os.chmod(tmp, 0o755)   # as /run is
        run_dir = os.path.join(tmp, "admissiond")
        sock = os.path.join(run_dir, "admission.sock")
        subprocess.run(["install", "-d", "-o", "nobody", "-g", "www-data", "-m", "0750", run_dir],
                       check=True)
        log = os.path.join(tmp, "admissiond.log")
        daemon = Process(
            ["setpriv", "--reuid=nobody", "--regid=www-data", "--clear-groups", "--no-new-privs",
             binary_path(), "--socket", sock, "--limit", "2", "--retry", "30", "--log", "stderr"], log)
        self.addCleanup(daemon.stop, signal.SIGKILL)
        as_www = ["setpriv", "--reuid=www-data", "--regid=www-data", "--clear-groups"]

        def admissiond(*args, user=()):
            return subprocess.run([*user, binary_path(), *args], capture_output=True, text=True,
                                  timeout=10)

        def printed():
            with open(log, encoding="utf-8") as f:
                return f.read()
        ready = daemon.wait_ready(lambda: admissiond("--status", sock, user=as_www).returncode == 0, 10)
        self.assertIs(ready, True, printed())
        holder = connect(sock)
        holder.sendall(b"ADMIT held")
        self.assertEqual(holder.recv(64), b"PROCEED")

        # name, arguments, run as, exit status, text on stdout (0) or stderr
        rows = [
            ("status as the web server", ["--status", sock], as_www, 0,
             "running=1 peak=1 admitted=1 denied=0\n"),
            ("help", ["--help"], (), 0, "usage: admissiond --socket PATH"),
            ("version", ["--version"], (), 0, "admissiond 0.1.0\n"),
            ("status of no daemon", ["--status", os.path.join(tmp, "none")], (), 1,
             "admissiond: connect "),
            ("status of no socket at all", ["--status", tmp], (), 1, "admissiond: connect "),
        ]
        for name, args, user, status, text in rows:
            with self.subTest(name):
                r = admissiond(*args, user=user)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(text, r.stdout if status == 0 else r.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(run_dir).st_mode), 0o750)

        holder.close()
        self.assertEqual(daemon.stop(), 0, printed())
        self.assertIn("terminated: running=0 peak=1 admitted=1 denied=0", printed())
        self.assertEqual(os.listdir(run_dir), [])


if __name__ == "__main__":
    unittest.main()
