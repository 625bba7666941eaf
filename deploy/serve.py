"""The whole site on loopback, for trying the system by hand (scripts/serve).

Starts, all under temporary folders and with no questions asked:
  - a throw-away CA with a server certificate and one device certificate,
  - a Kerberos realm on a local KDC with a demo user, for the login form,
    and a service keytab that verifies the KDC's replies,
  - an NTLM user file with the same user, for the NTLM location,
  - the admission daemon,
  - an image folder with a sample image in the demo device's folder,
  - Apache with the HTTPS site of deploy/site.conf.in and both modules;
then prints the URLs, where every log is, and ready-to-paste commands for a
chunk download and upload with the device certificate, a form login and an
NTLM request, and stops everything and removes the folders on Ctrl-C
(SIGINT) or SIGTERM; with --keep-logs DIR the logs are copied into DIR first.
With --cluster N the site runs on N hosts behind a balancer instead
(cluster.py; docs/scale-out.md).
On a machine without /dev/log (no syslog daemon: containers, CI) diskrelay's
syslog lines go to a file of serve's own (syslog_sink.py).

Settings come from the environment, with defaults:
  ORVANE_BUILD_DIR    build folder holding diskrelay, admissiond and the modules
  SERVE_PORT          Apache's loopback port (default: a free one)
  SERVE_LIMIT         transfers admitted at once (default 8)
  SERVE_RETRY         retry time in seconds sent when full (default 30)
"""

import argparse
import os
import random
import shlex
import shutil
import signal
import sys
import tempfile
import time

import syslog_sink
from admissiond import Admissiond
from httpd import TlsApache
from realm import KDC
from site_config import CHUNK_PREFIX, LOGIN_URL, MODULES, NTLM_URL, loads, ntlm_user_file, site_conf

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)

SAMPLE_SIZE = 16 << 20
CHUNK = 4 << 20
DEVICE_ID = "1b4e28ba-2fa1-4d3b-a3f5-ef19b5a7633b"
DOMAIN, USER, PASSWORD = "ORVANE", "demo", "Demo-Passw0rd"
NTLM_CLIENT = os.path.join(HERE, "ntlm_client.py")
# requests-ntlm hashes with MD4, which OpenSSL 3 keeps in its legacy provider.
NTLM_OPENSSL_CONF = os.path.join(HERE, "ntlm_openssl.cnf")
READY = "Ctrl-C stops everything."


class Stack:
    """What start_stack() started; stop() ends all of it."""

    def __init__(self):
        self.kdc = self.adm = self.httpd = None
        self.device = self.images = None
        self.sink = None    # syslog_sink.FileSink(), where the machine has no syslog

    def logs(self):
        """(name, path) of every log file, for the servers started so far."""
        found = []
        if self.httpd is not None:
            found += [("apache-error.log", self.httpd.error_log_path),
                      ("apache-access.log", self.httpd.access_log_path)]
        if self.adm is not None:
            found.append(("admissiond.log", self.adm.log_path))
        if self.kdc is not None:
            found.append(("kdc.log", self.kdc.path("kdc.log")))
        if self.sink is not None:
            found.append(("syslog.log", self.sink.path))
        return found

    def stop(self, keep_logs=None):
        """Stops everything and removes its folders; copies the logs into
        keep_logs first, when given, once the servers have written their last
        lines. Returns the paths of the copies."""
        if self.httpd is not None:
            self.httpd.stop(keep_root=bool(keep_logs))   # the root goes below
        if self.adm is not None:
            self.adm.terminate()
        if self.kdc is not None:
            self.kdc.stop_kdc()
        if self.sink is not None:
            self.sink.close()
        kept = []
        if keep_logs:
            os.makedirs(keep_logs, exist_ok=True)
            for name, path in self.logs():
                if os.path.exists(path):
                    kept.append(shutil.copy(path, os.path.join(keep_logs, name)))
        if self.httpd is not None and keep_logs:
            shutil.rmtree(self.httpd.root, ignore_errors=True)
        for part in (self.adm, self.kdc):
            if part is not None:
                part.stop()
        if self.sink is not None:
            shutil.rmtree(os.path.dirname(self.sink.path), ignore_errors=True)
        return kept


def start_stack(build_dir, port=None, limit=8, retry=30):
    """Starts the whole site; the caller stops the returned Stack."""
    os.environ["ORVANE_BUILD_DIR"] = build_dir
    stack = Stack()
    try:
        if syslog_sink.missing() and syslog_sink.private():
            folder = tempfile.mkdtemp(prefix="orvane-serve-syslog-")
            stack.sink = syslog_sink.FileSink(os.path.join(folder, "syslog.log"))
        stack.kdc = KDC(domain=DOMAIN).start()
        stack.kdc.add_user(USER, PASSWORD)
        stack.adm = Admissiond(limit=limit, retry=retry).start()
        httpd = stack.httpd = TlsApache("serve", modules=MODULES, load=loads(build_dir), perturb_malloc=False)
        if port:
            httpd.port = port
        stack.device = httpd.ca.issue("device", DEVICE_ID)

        stack.images = httpd.mkdir_for_www("images")
        device_dir = httpd.mkdir_for_www(os.path.join("images", DEVICE_ID))
        sample = os.path.join(device_dir, "sample.img")
        with open(sample, "wb") as f:
            f.write(random.Random(1).randbytes(SAMPLE_SIZE))
        httpd.give_to_www_data(sample)

        httpd.env = dict(stack.kdc.env)
        ntlm_user_file(httpd, DOMAIN, USER, PASSWORD)
        httpd.conf = site_conf(httpd, build_dir, stack.images, stack.adm.socket_path, DOMAIN)
        httpd.start()
    except BaseException:
        stack.stop()
        raise
    return stack


def commands(stack):
    """The commands printed for the user, as (title, shell text)."""
    httpd, device = stack.httpd, stack.device
    q = shlex.quote
    tls = f"--cacert {q(httpd.ca.cert)}"
    dev = f"{tls} --cert {q(device.cert)} --key {q(device.key)}"
    chunks = httpd.url(f"{CHUNK_PREFIX}/{DEVICE_ID}")
    device_dir = os.path.join(stack.images, DEVICE_ID)
    login = " ".join(f"--data-urlencode {q(k + '=' + v)}" for k, v in (
        ("username", USER), ("domain", DOMAIN), ("password", PASSWORD), ("result", "-")))
    return [
        ("Download the second 4 MiB chunk of sample.img with the device certificate "
         "(206, body into chunk1.bin):",
         f"curl -sS -D - {dev} -H 'X-OVRA-Xfer-Context: demo-get' -H 'X-OVRA-Chunk-No: 1' "
         f"-H 'Range: bytes={CHUNK}-{2 * CHUNK - 1}' -o chunk1.bin {chunks}/sample.img"),
        ("Check it against the image:",
         f"dd if={q(os.path.join(device_dir, 'sample.img'))} bs=1M skip={CHUNK >> 20} "
         f"count={CHUNK >> 20} status=none | cmp - chunk1.bin && echo same bytes"),
        ("Upload it as the first chunk of a new image upload.img (200):",
         f"curl -sS -i {dev} -H 'X-OVRA-Xfer-Context: demo-post' -H 'X-OVRA-Chunk-No: 0' "
         f"--data-binary @chunk1.bin '{chunks}/upload.img?start=0'"),
        ("Check what landed:",
         f"cmp chunk1.bin {q(os.path.join(device_dir, 'upload.img'))} && echo same bytes"),
        (f"Log in with the form as {DOMAIN}\\{USER} (the password is checked against the "
         "local realm and never reaches the application):",
         f"curl -sS {tls} {login} {httpd.url(LOGIN_URL)}"),
        (f"NTLM sign-on as {DOMAIN}\\{USER} with requests-ntlm (curl's NTLM is not "
         "accepted by gss-ntlmssp):",
         f"REQUESTS_CA_BUNDLE={q(httpd.ca.cert)} OPENSSL_CONF={q(NTLM_OPENSSL_CONF)} "
         f"/usr/bin/python3 {q(NTLM_CLIENT)} {q(DOMAIN + chr(92) + USER)} {q(PASSWORD)} "
         f"{httpd.url(NTLM_URL)}"),
    ]


def describe(stack):
    httpd, kdc, adm = stack.httpd, stack.kdc, stack.adm
    return "\n".join([
        f"The orvane site is up at {httpd.url('/')}",
        f"  chunks:     {httpd.url(CHUNK_PREFIX)}/<device id>/<image>  (device certificate required)",
        f"  login form: {httpd.url(LOGIN_URL)}  ({DOMAIN}\\{USER}, password {PASSWORD})",
        f"  NTLM:       {httpd.url(NTLM_URL)}  (same user; in a browser {DOMAIN}\\{USER} or {USER})",
        f"  CA:         {httpd.ca.cert}  (trust it for this server)",
        f"  device:     {DEVICE_ID}  certificate {stack.device.cert}, key {stack.device.key}",
        f"  images:     {stack.images}/<device id>/  (sample.img, {SAMPLE_SIZE >> 20} MiB)",
        f"  admission:  {adm.socket_path}  (limit {adm.limit}, retry {adm.retry} s)",
        f"  realm:      {kdc.realm}  (domain {DOMAIN}), KDC on 127.0.0.1:{kdc.port}, {kdc.dir}/",
        f"  keytab:     {kdc.keytab}  ({kdc.service}: verifies the KDC's replies)",
        f"  site:       {os.path.join(httpd.conf_dir, 'group.conf')}",
        "Logs (removed on Ctrl-C unless serve runs with --keep-logs DIR):",
        f"  apache:     {httpd.error_log_path}  (both modules, chunk_vars, diskrelay's stderr)",
        f"              {httpd.access_log_path}  (every request)",
        f"  admission:  {adm.log_path}  (counters: {shlex.quote(adm.binary)} --status "
        f"{shlex.quote(adm.socket_path)})",
        f"  diskrelay:  {diskrelay_log(stack)}",
        f"  KDC:        {kdc.path('kdc.log')}",
    ])


def diskrelay_log(stack):
    if stack.sink is not None:
        return f"{stack.sink.path}  (syslog lines, ident diskrelay:; this machine has no /dev/log)"
    if syslog_sink.missing():
        return "syslog, but this machine has no /dev/log: its lines are lost (run serve as root to catch them)"
    return "syslog, ident diskrelay: (journalctl -t diskrelay:, or /var/log/syslog with rsyslog)"


def serve_cluster(build_dir, hosts, limit, retry):
    """The site on hosts hosts behind a balancer over one Gluster volume
    (cluster.py, as root), until Ctrl-C."""
    from cluster import Cluster   # needs glusterfs-server and haproxy
    os.environ["ORVANE_BUILD_DIR"] = build_dir
    cluster = Cluster(build_dir, hosts=hosts, limit=limit, retry=retry, domain=DOMAIN, user=(USER, PASSWORD))
    sink = None
    try:
        if syslog_sink.missing() and syslog_sink.private():
            sink = syslog_sink.FileSink(os.path.join(tempfile.mkdtemp(prefix="ov21-serve-syslog-"), "syslog.log"))
        cluster.start()
        view = Stack()   # what commands() prints, through the balancer
        view.httpd, view.images, view.sink = cluster, cluster.images, sink
        view.device = cluster.ca.issue("device", DEVICE_ID)
        sample = os.path.join(cluster.device_folder(DEVICE_ID), "sample.img")
        with open(sample, "wb") as f:
            f.write(random.Random(1).randbytes(SAMPLE_SIZE))
        cluster.hosts[0].httpd.give_to_www_data(sample)
        print(f"The orvane site on {hosts} hosts is up at {cluster.url('/')} (HAProxy, TCP mode)")
        for h in cluster.hosts:
            print(f"  {h.name}: {h.address} in namespace {h.ns}, volume at {h.mount}")
            print(f"      {h.httpd.error_log_path}, {h.httpd.access_log_path}, admission {h.adm.log_path}")
        print(f"  balancer log: {os.path.join(cluster.dir, 'haproxy.log')}; "
              f"volume: {os.path.join(cluster.dir, 'glusterd.log')}")
        print(f"  diskrelay:  {diskrelay_log(view)}")
        print(f"  CA: {cluster.ca.cert}; device {DEVICE_ID}: {view.device.cert}, {view.device.key}")
        print(f"  user {DOMAIN}\\{USER}, password {PASSWORD}")
        print()
        for title, cmd in commands(view):
            print(title)
            print("  " + cmd)
        print()
        print(READY, flush=True)
        while cluster.haproxy.poll() is None and all(h.httpd.running for h in cluster.hosts):
            time.sleep(0.5)
        print("a server exited; stopping", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nstopping", flush=True)
        return 0
    finally:
        cluster.stop()
        if sink is not None:
            sink.close()
            shutil.rmtree(os.path.dirname(sink.path), ignore_errors=True)


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser(description="The orvane site on loopback, until Ctrl-C.",
                                     epilog="Environment: SERVE_PORT, SERVE_LIMIT, SERVE_RETRY, "
                                            "ORVANE_BUILD_DIR (see deploy/serve.py).")
    parser.add_argument("--keep-logs", metavar="DIR",
                        help="copy every log into DIR (made when missing) when stopping")
    parser.add_argument("--cluster", metavar="N", type=int,
                        help="N hosts in network namespaces behind a TCP balancer over one Gluster "
                             "volume (as root; docs/scale-out.md)")
    args = parser.parse_args()
    if syslog_sink.missing():
        syslog_sink.reexec_private()
    build_dir = os.environ.get("ORVANE_BUILD_DIR", os.path.join(TOP, "build"))
    keep_logs = os.path.abspath(args.keep_logs) if args.keep_logs else None
    # Also when started in the background, where SIGINT comes in ignored.
    signal.signal(signal.SIGINT, interrupt)
    signal.signal(signal.SIGTERM, interrupt)
    if args.cluster:
        return serve_cluster(build_dir, args.cluster, int(os.environ.get("SERVE_LIMIT", "8")),
                             int(os.environ.get("SERVE_RETRY", "30")))
    stack = start_stack(build_dir, port=int(os.environ.get("SERVE_PORT", "0")) or None,
                        limit=int(os.environ.get("SERVE_LIMIT", "8")),
                        retry=int(os.environ.get("SERVE_RETRY", "30")))
    try:
        print(describe(stack))
        print()
        print("Try it (from any folder; the chunk commands write chunk1.bin there):")
        for title, cmd in commands(stack):
            print(title)
            print("  " + cmd)
        print()
        print(READY, flush=True)
        while stack.httpd.running and stack.adm.proc.poll() is None and stack.kdc.proc.poll() is None:
            time.sleep(0.5)
        print("a server exited; stopping", file=sys.stderr)
        print(stack.httpd.error_log(), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nstopping", flush=True)
        return 0
    finally:
        kept = stack.stop(keep_logs)
        if kept:
            print(f"logs kept in {keep_logs}: {' '.join(os.path.basename(p) for p in kept)}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
