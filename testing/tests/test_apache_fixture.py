"""The shared Apache fixture: start/stop per MPM, what CGIs see, log verdicts, restart."""

import os
import socket
import subprocess
import sys
import time
import unittest

from client import curl
from httpd import Apache, ApacheError
from procs import port_in_use

ENV_CGI = "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\n'\nenv\n"

# One row per MPM: the CGI must see the passed variable and the sanitizer
# options, and nothing else from the server's own environment.
MPM_ROWS = [
    {"name": "event", "mpm": "event"},
    {"name": "worker", "mpm": "worker"},
    {"name": "prefork", "mpm": "prefork"},
]


class LifeCycle(unittest.TestCase):
    def test_each_mpm_serves_and_stops_cleanly(self):
        os.environ["ASAN_OPTIONS"] = "detect_leaks=0"
        for row in MPM_ROWS:
            with self.subTest(row["name"]):
                with Apache(row["name"], modules=("cgid",), mpm=row["mpm"],
                            env={"PASSED": "yes", "KEPT": "server-only"},
                            pass_env=("PASSED",)) as httpd:
                    with open(os.path.join(httpd.docroot, "f.bin"), "wb") as f:
                        f.write(bytes(range(256)))
                    httpd.write_cgi("env.sh", ENV_CGI)

                    r = curl(httpd, "/f.bin", "-H", "Range: bytes=16-31")
                    self.assertEqual((r.status, r.body), (206, bytes(range(16, 32))))
                    self.assertEqual(r.headers.get("content-range"), "bytes 16-31/256")

                    env = dict(l.split("=", 1) for l in curl(httpd, "/cgi-bin/env.sh").body.decode().splitlines())
                    self.assertEqual(env.get("PASSED"), "yes")
                    self.assertEqual(env.get("ASAN_OPTIONS"), "detect_leaks=0")
                    self.assertNotIn("KEPT", env)
                    httpd.assert_clean_log()
                    port, root = httpd.port, httpd.root
                self.assertFalse(port_in_use(port))
                self.assertFalse(os.path.exists(root))


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


class Verdicts(unittest.TestCase):
    def test_log_check_restart_and_refused_config(self):
        with Apache("verdicts", modules=("cgid",)) as httpd:
            httpd.write_cgi("noisy.sh", "#!/bin/sh\necho 'noisy: something broke' >&2\n"
                                        "printf 'Content-Type: text/plain\\n\\nok'\n")
            self.assertEqual(curl(httpd, "/cgi-bin/noisy.sh").body, b"ok")
            with self.assertRaises(AssertionError):
                httpd.assert_clean_log()
            httpd.assert_clean_log(allow=(r"noisy: something broke",))

            port = httpd.port
            httpd.restart(conf='Alias /moved "%s/f.txt"\n' % httpd.docroot)
            with open(os.path.join(httpd.docroot, "f.txt"), "w") as f:
                f.write("moved")
            self.assertEqual(httpd.port, port)
            self.assertEqual(curl(httpd, "/moved").body, b"moved")

            with self.assertRaises(ApacheError) as caught:
                httpd.restart(conf="NoSuchDirective on\n")
            self.assertIn("NoSuchDirective", str(caught.exception))
            self.assertFalse(httpd.running)

    def test_port_taken_meanwhile_moves_on(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            httpd = Apache("moved")
            httpd.port = taken.getsockname()[1]
            with httpd:
                self.assertNotEqual(httpd.port, taken.getsockname()[1])
                self.assertEqual(curl(httpd, "/__fixture_ready").body.decode(), httpd.token)

    def test_killed_owner_leaves_nothing_behind(self):
        # Apache, the KDC and admissiond of an owner killed outright: each
        # server's session and folder go.
        owner = subprocess.Popen(
            [sys.executable, "-c", "import time; from httpd import Apache; from realm import KDC\n"
             "from admissiond import Admissiond\n"
             "a, k, d = Apache('orphan').start(), KDC().start(), Admissiond().start()\n"
             "print(a.port, a.root, a.proc.pid, k.dir, k.proc.pid, d.dir, d.proc.pid, flush=True)\n"
             "time.sleep(60)"],
            stdout=subprocess.PIPE, text=True)
        port, *left = owner.stdout.readline().split()
        owner.kill()
        owner.wait()
        owner.stdout.close()
        folders, pids = left[0::2], [int(pid) for pid in left[1::2]]
        deadline = time.monotonic() + 10
        while port_in_use(int(port)) or any(map(os.path.exists, folders)) or any(map(alive, pids)):
            self.assertLess(time.monotonic(), deadline, "server or folder left behind")
            time.sleep(0.1)

    def test_two_instances_side_by_side(self):
        with Apache("left") as a, Apache("right") as b:
            self.assertNotEqual(a.port, b.port)
            self.assertEqual(curl(a, "/__fixture_ready").body.decode(), a.token)
            self.assertEqual(curl(b, "/__fixture_ready").body.decode(), b.token)


if __name__ == "__main__":
    unittest.main()
