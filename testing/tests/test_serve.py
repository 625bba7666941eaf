"""The serving stack of scripts/serve: its printed curl commands work as printed,
and an interrupt stops everything it started."""

import os
import re
import select
import signal
import subprocess
import tempfile
import time
import unittest

SERVE = os.path.join(os.environ["ORVANE_SOURCE_DIR"], "deploy", "serve.py")
READY = "Ctrl-C stops everything."


class Serve(unittest.TestCase):
    def test_printed_commands_then_interrupt(self):
        proc = subprocess.Popen(["/usr/bin/python3", "-u", SERVE], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(self.stop, proc)
        out = ""
        deadline = time.monotonic() + 60
        while READY not in out:
            self.assertLess(time.monotonic(), deadline, out)
            self.assertIsNone(proc.poll(), out)
            if select.select([proc.stdout], [], [], 1)[0]:
                out += os.read(proc.stdout.fileno(), 65536).decode()

        # Each command line is indented under its title; run them in order.
        cmds = [line[2:] for line in out.splitlines() if line.startswith("  curl ") or
                line.startswith("  dd ") or line.startswith("  cmp ")]
        self.assertEqual(len(cmds), 4, out)
        with tempfile.TemporaryDirectory() as cwd:
            results = [subprocess.run(["bash", "-c", c], cwd=cwd, capture_output=True, text=True)
                       for c in cmds]
        for cmd, r in zip(cmds, results):
            self.assertEqual(r.returncode, 0, f"{cmd}\n{r.stdout}{r.stderr}")
        self.assertIn("HTTP/1.1 206 Partial Content", results[0].stdout)
        self.assertIn("Content-Length: 4194304", results[0].stdout)
        self.assertIn("same bytes", results[1].stdout)
        self.assertRegex(results[2].stdout, r"HTTP/1.1 200 OK")
        self.assertIn("same bytes", results[3].stdout)

        folders = re.findall(r"(/tmp/[\w.-]+)/", out)
        self.assertTrue(folders, out)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        for folder in set(folders):
            self.assertFalse(os.path.exists(folder), folder)

    @staticmethod
    def stop(proc):
        # serve stops its servers on SIGTERM; they live in sessions of their own.
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        proc.stdout.close()


if __name__ == "__main__":
    unittest.main()
