"""admissiond under many clients at once, and with clients that misbehave or die."""

import random
import resource
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest

from admissiond import Admissiond, connect, exchange, read_to_end

LIMIT = 8
RETRY = 30
CLIENTS = 200
DEADLINE = 60  # seconds for the whole contention run

# Holds a slot in a process of its own until it is killed.
HOLDER = """
import socket, sys, time
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])
s.sendall(b"ADMIT holder")
print(s.recv(64).decode(), flush=True)
time.sleep(600)
"""


def first_read(sock):
    try:
        return sock.recv(64)
    except ConnectionResetError:
        return b""


class Contention(unittest.TestCase):
    def setUp(self):
        self.adm = Admissiond(limit=LIMIT, retry=RETRY).start()

    def tearDown(self):
        self.adm.stop()

    def test_never_more_than_limit(self):
        lock = threading.Lock()
        holding = [0, 0]  # now, most at once
        retries = [0]
        errors = []
        barrier = threading.Barrier(CLIENTS)
        deadline = time.monotonic() + DEADLINE

        def client(i):
            rng = random.Random(i)
            try:
                barrier.wait()
                while time.monotonic() < deadline:
                    reply, sock = exchange(self.adm.socket_path, b"ADMIT ctx-%d" % i)
                    with sock:
                        if reply == b"PROCEED":
                            with lock:
                                holding[0] += 1
                                holding[1] = max(holding)
                            time.sleep(rng.uniform(0.05, 0.1))
                            with lock:
                                holding[0] -= 1
                            return
                        if reply != b"RETRY %d" % RETRY:
                            raise AssertionError(f"client {i}: reply {reply!r}")
                    with lock:
                        retries[0] += 1
                    time.sleep(rng.uniform(0.005, 0.02))
                raise AssertionError(f"client {i}: never admitted")
            except Exception as e:  # noqa: BLE001 - reported by the test body
                errors.append(e)

        threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(DEADLINE + 10)
        self.assertEqual(errors, [])
        self.assertLessEqual(holding[1], LIMIT, "clients saw too many admitted at once")
        st = self.adm.wait_status(running=0)
        self.assertEqual(st, {"running": 0, "peak": LIMIT, "admitted": CLIENTS,
                              "denied": retries[0]})

    def test_killed_holders_free_their_slots(self):
        procs = [subprocess.Popen([sys.executable, "-c", HOLDER, self.adm.socket_path],
                                  stdout=subprocess.PIPE, text=True) for _ in range(LIMIT)]
        try:
            for p in procs:
                self.assertEqual(p.stdout.readline().strip(), "PROCEED")
            reply, sock = exchange(self.adm.socket_path, b"ADMIT one too many")
            sock.close()
            self.assertEqual(reply, b"RETRY %d" % RETRY)
            for p in procs:
                p.kill()
                p.wait()
            self.assertEqual(self.adm.wait_status(running=0)["running"], 0)
            again = [exchange(self.adm.socket_path, b"ADMIT again") for _ in range(LIMIT)]
            self.assertEqual([reply for reply, _ in again], [b"PROCEED"] * LIMIT)
            for _, sock in again:
                sock.close()
        finally:
            for p in procs:
                p.kill()
                p.wait()
                p.stdout.close()

    def test_hundreds_of_connections_at_once(self):
        silent, asking = 300, 300
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        need = silent + asking + 100
        if hard < need:
            self.skipTest(f"descriptor limit {hard} below {need}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, need), hard))
        socks = []
        try:
            socks += [connect(self.adm.socket_path) for _ in range(silent)]
            asked = [connect(self.adm.socket_path) for _ in range(asking)]
            socks += asked
            for i, sock in enumerate(asked):
                sock.sendall(b"ADMIT many-%d" % i)
            replies = [sock.recv(64) for sock in asked]
            self.assertEqual(replies.count(b"PROCEED"), LIMIT)
            self.assertEqual(replies.count(b"RETRY %d" % RETRY), asking - LIMIT)
            st = self.adm.status()
            self.assertEqual((st["running"], st["denied"]), (LIMIT, asking - LIMIT))
        finally:
            for sock in socks:
                sock.close()
        self.assertEqual(self.adm.wait_status(running=0)["running"], 0)


class OutOfDescriptors(unittest.TestCase):
    def test_clients_beyond_the_descriptor_limit_are_dropped(self):
        if not shutil.which("prlimit"):
            self.skipTest("no prlimit")
        with Admissiond(limit=LIMIT, retry=RETRY, launcher=("prlimit", "--nofile=32")) as adm:
            socks = [connect(adm.socket_path) for _ in range(60)]
            try:
                for sock in socks:
                    try:
                        sock.sendall(b"ADMIT crowd")
                    except (BrokenPipeError, ConnectionResetError):
                        pass  # dropped already
                replies = [first_read(sock) for sock in socks]
            finally:
                for sock in socks:
                    sock.close()
            self.assertEqual(replies.count(b"PROCEED"), LIMIT)
            self.assertIn(b"", replies, "nobody was dropped")
            self.assertEqual(replies.count(b"") + replies.count(b"RETRY %d" % RETRY),
                             len(socks) - LIMIT)
            self.assertEqual(adm.wait_status(running=0)["running"], 0)
            reply, sock = adm.request(b"ADMIT after the crowd")
            sock.close()
            self.assertEqual(reply, b"PROCEED")
            self.assertIn("dropping a client", adm.log())


# Each behaviour meets a daemon with one slot and an idle time-out of IDLE
# seconds; afterwards the slot must be free.
IDLE = 2


def silent(t, adm):
    sock = connect(adm.socket_path)
    reply, other = adm.request(b"ADMIT beside a silent one")
    other.close()
    t.assertEqual(reply, b"PROCEED", "a silent connection holds a slot")
    started = time.monotonic()
    t.assertEqual(read_to_end(sock), b"")  # a time-out here fails the row
    t.assertLess(time.monotonic() - started, IDLE + 2)
    sock.close()


def vanish_before_writing(t, adm):
    connect(adm.socket_path).close()


def vanish_mid_request(t, adm):
    sock = connect(adm.socket_path)
    sock.sendall(b"ADM")
    sock.close()


def vanish_before_reading_reply(t, adm):
    sock = connect(adm.socket_path)
    sock.sendall(b"ADMIT gone")
    sock.close()


def vanish_while_admitted(t, adm):
    reply, sock = adm.request(b"ADMIT soon gone")
    t.assertEqual(reply, b"PROCEED")
    sock.close()


def stream_while_admitted(t, adm):
    reply, sock = adm.request(b"ADMIT chatty")
    t.assertEqual(reply, b"PROCEED")
    sock.sendall(bytes(range(256)) * 4096)
    t.assertEqual(adm.status()["running"], 1)
    sock.close()


def admitted_past_the_idle_time_out(t, adm):
    reply, sock = adm.request(b"ADMIT long transfer")
    t.assertEqual(reply, b"PROCEED")
    sock.settimeout(IDLE * 1.5)
    t.assertRaises(socket.timeout, sock.recv, 64)
    t.assertEqual(adm.status()["running"], 1)
    sock.close()


def takes_a_vanished_clients_descriptor(t, adm):
    connect(adm.socket_path).close()  # its idle deadline must not end the next connection
    time.sleep(IDLE / 2)
    sock = connect(adm.socket_path)
    time.sleep(IDLE * 0.75)
    sock.sendall(b"ADMIT late but in time")
    t.assertEqual(first_read(sock), b"PROCEED")
    sock.close()


def half_close_while_admitted(t, adm):
    reply, sock = adm.request(b"ADMIT done writing")
    t.assertEqual(reply, b"PROCEED")
    sock.shutdown(socket.SHUT_WR)
    t.assertEqual(read_to_end(sock), b"")
    sock.close()


def garbage_burst(t, adm):
    rng = random.Random(7)
    socks = [connect(adm.socket_path) for _ in range(100)]
    for sock in socks:
        sock.sendall(b"\xff" + rng.randbytes(rng.randrange(0, 300)))
    t.assertEqual([read_to_end(sock) for sock in socks], [b""] * len(socks))
    for sock in socks:
        sock.close()


BEHAVIOURS = [
    ("silent until the idle time-out", silent),
    ("vanishes before writing", vanish_before_writing),
    ("vanishes mid request", vanish_mid_request),
    ("vanishes before reading the reply", vanish_before_reading_reply),
    ("vanishes while admitted", vanish_while_admitted),
    ("streams bytes while admitted", stream_while_admitted),
    ("admitted past the idle time-out", admitted_past_the_idle_time_out),
    ("takes a vanished client's descriptor", takes_a_vanished_clients_descriptor),
    ("half closes while admitted", half_close_while_admitted),
    ("garbage from a hundred at once", garbage_burst),
]


class Misbehaving(unittest.TestCase):
    def test_behaviours(self):
        with Admissiond(limit=1, retry=RETRY, idle_timeout=IDLE) as adm:
            for name, behave in BEHAVIOURS:
                with self.subTest(name):
                    behave(self, adm)
                    self.assertEqual(adm.wait_status(running=0)["running"], 0, "slot leaked")
                    reply, sock = adm.request(b"ADMIT next")
                    sock.close()
                    self.assertEqual(reply, b"PROCEED")
            self.assertIsNone(adm.proc.poll(), "daemon died")
            log = adm.log()
        self.assertIn(f"closed a connection that sent no request within {IDLE} s", log)
        self.assertIn("a client closed without sending a request", log)


def admit(device=None, *fields):
    """An ADMIT as diskrelay sends it: the fields, then the device, each
    behind a NUL."""
    return b"ADMIT ctx" + b"".join(b"\0" + f for f in fields) + (b"" if device is None else b"\0device=" + device)


# Legend: a step is (request, reply) on a new connection that stays open, or
# (CLOSE, n), which closes the connection of step n; R is the refusal.
CLOSE, R = "close", b"RETRY %d" % RETRY
DEVICE_ROWS = [
    # name, limit, extra arguments, steps
    ("device A holds its share, half the limit; B and an old client are admitted", 4, (), [
        (admit(b"A"), b"PROCEED"), (admit(b"A"), b"PROCEED"), (admit(b"A"), R),
        (admit(b"B"), b"PROCEED"), (b"ADMIT old client", b"PROCEED"), (admit(b"C"), R),
        (CLOSE, 0), (admit(b"A"), b"PROCEED")]),
    ("an odd limit's half rounds up", 3, (), [
        (admit(b"A"), b"PROCEED"), (admit(b"A"), b"PROCEED"), (admit(b"A"), R), (admit(b"B"), b"PROCEED")]),
    ("--device-limit 1", 4, ("--device-limit", "1"), [
        (admit(b"A"), b"PROCEED"), (admit(b"A"), R), (admit(b"B"), b"PROCEED"), (admit(b"B"), R)]),
    ("the device among unknown fields; ids compared byte for byte", 2, (), [
        (admit(b"A", b"colour=red"), b"PROCEED"), (admit(b"A"), R), (admit(b"a"), b"PROCEED")]),
    ("an empty device or none counts against the limit alone", 2, (), [
        (admit(b""), b"PROCEED"), (admit(None, b"colour=red"), b"PROCEED"), (admit(b""), R)]),
    ("a limit of 1 admits a device", 1, (), [(admit(b"A"), b"PROCEED"), (admit(b"B"), R)]),
]


class DeviceShare(unittest.TestCase):
    def test_rows(self):
        for name, limit, args, steps in DEVICE_ROWS:
            with self.subTest(name), Admissiond(limit=limit, retry=RETRY, extra_args=args) as adm:
                socks, holding = [], set()
                try:
                    for n, (request, expected) in enumerate(steps):
                        if request == CLOSE:
                            socks[expected].close()
                            holding.discard(expected)
                            self.assertEqual(adm.wait_status(running=len(holding))["running"], len(holding))
                            socks.append(None)
                            continue
                        reply, sock = adm.request(request)
                        socks.append(sock)
                        self.assertEqual(reply, expected, f"step {n}")
                        if reply == b"PROCEED":
                            holding.add(n)
                finally:
                    for sock in socks:
                        if sock:
                            sock.close()
                self.assertEqual(adm.wait_status(running=0)["running"], 0, "slot leaked")

if __name__ == "__main__":
    unittest.main()
