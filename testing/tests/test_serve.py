"""The serving stack of scripts/serve: every command it prints works as
printed, from a fresh folder; every log it names is there, diskrelay's
syslog lines included where the machine has no syslog daemon; an interrupt
stops everything it started, keeping the logs where --keep-logs says."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

from procs import Process

SERVE = os.path.join(os.environ["ORVANE_SOURCE_DIR"], "deploy", "serve.py")
TRY = "Try it"
READY = "Ctrl-C stops everything."


def printed_commands(out):
    """The indented lines between the "Try it" line and the ready line."""
    section = out[out.index(TRY):out.index(READY)]
    return [line[2:] for line in section.splitlines() if line.startswith("  ")]


class Serve(unittest.TestCase):
    def test_printed_commands_then_interrupt(self):
        kept = tempfile.mkdtemp(prefix="serve-kept-")
        self.addCleanup(shutil.rmtree, kept)
        keep = os.path.join(kept, "logs")
        output = os.path.join(kept, "output")
        # From a folder that is not the source tree, as a user would.
        with tempfile.TemporaryDirectory() as cwd:
            proc = Process(["/usr/bin/python3", "-u", SERVE, "--keep-logs", keep], output, cwd=cwd)
            # serve stops its servers on SIGTERM; they live in sessions of their own.
            self.addCleanup(proc.stop, signal.SIGTERM, 30)

            def printed():
                with open(output, encoding="utf-8", errors="replace") as f:
                    return f.read()
            proc.wait_ready(lambda: READY in printed(), 90)
            out = printed()
            self.assertIn(READY, out)

            cmds = printed_commands(out)
            self.assertEqual(len(cmds), 6, out)
            results = [subprocess.run(["bash", "-c", c], cwd=cwd, capture_output=True, text=True,
                                      timeout=120) for c in cmds]
        for cmd, r in zip(cmds, results):
            self.assertEqual(r.returncode, 0, f"{cmd}\n{r.stdout}{r.stderr}")
        download, check, upload, landed, login, ntlm = results
        self.assertIn("HTTP/1.1 206 Partial Content", download.stdout)
        self.assertIn("Content-Length: 4194304", download.stdout)
        self.assertIn("same bytes", check.stdout)
        self.assertRegex(upload.stdout, r"HTTP/1.1 200 OK")
        self.assertIn("same bytes", landed.stdout)
        self.assertEqual(login.stdout, "ORVANE\\demo: authenticated (result 1)\n")
        got = json.loads(ntlm.stdout)[0]
        self.assertEqual(got["legs"], [401, 401, 200])
        self.assertIn("REMOTE_USER=ORVANE\\demo\nAUTH_TYPE=NTLM\nGSSAUTHRET=0\n", got["body"])

        # Every log named exists; the admission counters answer as printed.
        logs = out[out.index("Logs"):out.index(TRY)]
        for path in re.findall(r"^  \w+: +(/\S+)", logs, re.M):
            self.assertTrue(os.path.isfile(path), path)
        status = re.search(r"counters: (.*)\)$", logs, re.M).group(1)
        self.assertEqual(subprocess.run(["bash", "-c", status], capture_output=True, text=True).stdout,
                         "running=0 peak=1 admitted=2 denied=0\n")
        # This machine has no syslog daemon: serve catches diskrelay's lines.
        no_syslog = not os.path.exists("/dev/log") and os.geteuid() == 0
        if no_syslog:
            self.assertRegex(logs, r"diskrelay: +/tmp/\S+/syslog\.log")

        # The temporary folders serve made; the checkout itself may live in /tmp too.
        tree = [os.environ["ORVANE_SOURCE_DIR"], os.environ["ORVANE_BUILD_DIR"]]
        folders = {f for f in re.findall(r"(/tmp/[\w.-]+)/", out)
                   if not any(t == f or t.startswith(f + "/") for t in tree)}
        self.assertGreaterEqual(len(folders), 3, out)   # server root, admission, realm
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=30), 0)
        for folder in folders:
            self.assertFalse(os.path.exists(folder), folder)

        # name, text in it
        rows = [("apache-error.log", "AH00491: caught SIGTERM, shutting down"),
                ("apache-access.log", '"GET /chunks/'),
                ("admissiond.log", "terminated: running=0 peak=1 admitted=2 denied=0"),
                ("kdc.log", "AS_REQ")]
        if no_syslog:
            rows.append(("syslog.log", "<notice> "))
        for name, text in rows:
            with self.subTest(name), open(os.path.join(keep, name), encoding="utf-8") as f:
                self.assertIn(text, f.read())
        if no_syslog:
            with open(os.path.join(keep, "syslog.log"), encoding="utf-8") as f:
                self.assertRegex(f.read(), r"diskrelay:\[\d+\]: sendfile complete - xfer_canonpath=")


if __name__ == "__main__":
    unittest.main()
