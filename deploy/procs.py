"""Servers that run for a while and are stopped for sure: Apache, the KDC
and the admission daemon (httpd.py, realm.py, admissiond.py) each start
theirs as a `Process`.

A Process leads a session of its own, so that one signal reaches it and
every child it forks. Its output is appended to a log file. If the owning
Python process is killed outright, a watchdog (in a session of its own as
well, waiting on a pipe only the owner writes to) stops the whole session
and removes the server's folder. stop() sends SIGTERM (or another signal)
to the session, escalates to SIGKILL, and kills what outlived the leader.

Folders are removed after a stop unless ORVANE_KEEP is set in the
environment (keep() tells), for a look at configurations and logs.
"""

import os
import signal
import socket
import subprocess
import time

STOP_DEADLINE = 10.0    # seconds from the first signal until SIGKILL
KEEP_VAR = "ORVANE_KEEP"

# Reads one word: "done" ends it quietly, end of file (the owner is gone)
# stops the session $1 and removes the folder $2, when there is one.
WATCHDOG = ('read -r word; [ "$word" = done ] && exit 0; '
            '/bin/kill -TERM -- "-$1"; sleep 2; /bin/kill -KILL -- "-$1"; '
            '[ -z "$2" ] || rm -rf -- "$2"')


def keep():
    """Whether folders stay after a stop (ORVANE_KEEP set)."""
    return bool(os.environ.get(KEEP_VAR))


def free_port(udp=False):
    """A loopback TCP port (and UDP too, with udp) that was free a moment
    ago; the server may still lose it to another process."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
            t.bind(("127.0.0.1", 0))
            port = t.getsockname()[1]
            if not udp:
                return port
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                try:
                    u.bind(("127.0.0.1", port))
                except OSError:
                    continue
            return port


def port_in_use(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


class Process(subprocess.Popen):
    """argv in a session of its own, output appended to log, guarded by a
    watchdog that removes folder (when given) if the owner dies first."""

    def __init__(self, argv, log, env=None, folder=None, append=True, cwd=None):
        with open(log, "ab" if append else "wb") as out:
            super().__init__(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                             start_new_session=True, cwd=cwd)
        rfd, self._watch_fd = os.pipe()
        try:
            self._watchdog = subprocess.Popen(
                ["/bin/sh", "-c", WATCHDOG, "watchdog", str(self.pid), "" if keep() else folder or ""],
                stdin=rfd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
        finally:
            os.close(rfd)

    def wait_ready(self, probe, timeout):
        """Calls probe() until it returns something true, which is returned;
        "exited" when the process ends first, "timeout" after timeout s."""
        deadline = time.monotonic() + timeout
        delay = 0.01
        while True:
            if self.poll() is not None:
                return "exited"
            state = probe()
            if state:
                return state
            if time.monotonic() > deadline:
                return "timeout"
            time.sleep(delay)
            delay = min(delay * 2, 0.05)

    def signal_session(self, sig):
        try:
            os.killpg(self.pid, sig)
        except ProcessLookupError:
            pass

    def stop(self, sig=signal.SIGTERM, timeout=STOP_DEADLINE):
        """Signals the session and waits, escalating to SIGKILL; kills what
        is left of the session and ends the watchdog. Returns the exit
        status (negative for a signal)."""
        if self.poll() is None:
            self.signal_session(sig)
            try:
                self.wait(timeout)
            except subprocess.TimeoutExpired:
                self.signal_session(signal.SIGKILL)
                self.wait(timeout)
        # Children (cgid daemon, workers, CGI programs) that outlived the leader.
        self.signal_session(signal.SIGKILL)
        fd, self._watch_fd = self._watch_fd, None
        if fd is not None:
            try:
                os.write(fd, b"done\n")
            finally:
                os.close(fd)
            self._watchdog.wait(timeout)
        return self.returncode
