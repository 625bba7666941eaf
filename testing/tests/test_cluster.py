"""The site on two hosts behind HAProxy over one Gluster volume
(deploy/cluster.py), with real clients through the balancer: chunks from
many devices at once, read back byte-exact through either host; NTLM and
the form login; a host killed and the volume frozen in the middle of
uploads. No chunk is ever answered 200 and then read back different."""

import hashlib
import http.client
import json
import os
import socket
import subprocess
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from urllib.parse import urlencode

from httpd import Apache
from cluster import BALANCER_ADDR, CLIENT_ADDR, PORT, Cluster, HostApache

SOURCE = os.environ["ORVANE_SOURCE_DIR"]
BUILD = os.environ["ORVANE_BUILD_DIR"]
PYTHON = "/usr/bin/python3"
DOMAIN, USER, PASSWORD = "ORVANE", "alice", "Cluster pass&1"
DEVICES = [f"6f1c2a44-0d3e-4b8e-9a51-7c2d1e0f9b1{i}" for i in range(4)]
CHUNK = 256 << 10
STORAGE_TIMEOUT = 2

EXPECTED_LOG = (
    r"\[lua:warn\] .* chunk_vars: ",       # the refusal the address check asks for
    r"AH01259: CGI process \d+ didn't exit",   # an upload stuck in the frozen volume, answered already
)


class TestHost(HostApache, Apache):
    """A host's Apache with the tests' log verdict."""


def chunk_bytes(device, image, index):
    """The chunk's content, the same for every writer of it."""
    seed = f"{device}/{image}/{index}".encode()
    out = b""
    while len(out) < CHUNK:
        seed = hashlib.sha256(seed).digest()
        out += seed * 64
    return out[:CHUNK]


class Client:
    """One request per connection, as devices do between chunks; so the
    balancer spreads them over the hosts."""

    def __init__(self, cluster, device):
        self.cluster, self.device = cluster, device
        self.cert = cluster.ca.issue("device-" + device[-2:], device)

    def connect(self, host=None, timeout=30):
        if host:
            return host.httpd.connection(timeout, cert=self.cert)
        return http.client.HTTPSConnection(BALANCER_ADDR, PORT, timeout=timeout,
                                           context=self.cluster.ssl_context(self.cert))

    def send(self, method, image, index, host=None, body=None, pace=None):
        """(status, transfer error code, body) of one chunk request; a 403
        with code 120 waits its retry time and asks again. status 0: the
        connection broke."""
        path = f"/chunks/{self.device}/{image}"
        headers = {"X-OVRA-Xfer-Context": f"{image}-{index}"}
        if method == "POST":
            path += f"?start={index * CHUNK}"
            headers["Content-Length"] = str(len(body))
        else:
            headers["Range"] = f"bytes={index * CHUNK}-{(index + 1) * CHUNK - 1}"
        for _ in range(50):
            conn = self.connect(host)
            try:
                conn.putrequest(method, path)
                for k, v in headers.items():
                    conn.putheader(k, v)
                conn.endheaders()
                if body is not None:
                    for at in range(0, len(body), 32 << 10):
                        conn.send(body[at:at + (32 << 10)])
                        if pace:
                            pace()
                r = conn.getresponse()
                data = r.read()
            except (OSError, http.client.HTTPException):
                return 0, 0, b""
            finally:
                conn.close()
            code = int(r.getheader("OVRA-Error-Code", "0"))
            if (r.status, code) != (403, 120):
                return r.status, code, data
            time.sleep(int(r.getheader("X-OVRA-Retry")))
        raise AssertionError("admission refused for too long")

    def upload(self, image, index, **kw):
        return self.send("POST", image, index, body=chunk_bytes(self.device, image, index), **kw)

    def upload_until_stored(self, image, index):
        for _ in range(20):
            status, code, _ = self.upload(image, index)
            if status == 200:
                return
            time.sleep(0.2)
        raise AssertionError(f"{image}/{index} never stored: {status} {code}")


@unittest.skipUnless(os.geteuid() == 0 and os.path.exists("/dev/fuse"),
                     "needs root (network namespaces) and FUSE (/dev/fuse) for the volume's mounts")
class ClusterSite(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cluster = Cluster(BUILD, hosts=2, limit=6, retry=1, domain=DOMAIN, user=(USER, PASSWORD),
                              storage_timeout=STORAGE_TIMEOUT, ping_timeout=20, apache_class=TestHost)
        cls.addClassCleanup(cls.cluster.stop)
        cls.cluster.start()
        cls.clients = []
        for device in DEVICES:
            cls.cluster.device_folder(device)
            cls.clients.append(Client(cls.cluster, device))

    @classmethod
    def tearDownClass(cls):
        for host in cls.cluster.hosts:
            host.httpd.assert_clean_log(allow=EXPECTED_LOG)

    def assertStored(self, client, image, indexes):
        """Every chunk reads back byte-exact through every running host."""
        for host in self.cluster.hosts:
            if not host.httpd.running:
                continue
            for index in indexes:
                status, _, data = client.send("GET", image, index, host=host)
                self.assertEqual((status, data == chunk_bytes(client.device, image, index)), (206, True),
                                 f"{host.name} {image}/{index}")

    def assertNoSlotHeld(self):
        for host in self.cluster.hosts:
            self.assertEqual(host.adm.wait_status(running=0)["running"], 0, host.name)

    def test_devices_at_once(self):
        # Each device writes its image a chunk per request while reading
        # back the chunks before, all devices at once.
        def device_run(client):
            for index in range(6):
                self.assertEqual(client.upload("busy.img", index)[0], 200)
                if index:
                    status, _, data = client.send("GET", "busy.img", index - 1)
                    self.assertEqual((status, data == chunk_bytes(client.device, "busy.img", index - 1)),
                                     (206, True))
        with ThreadPoolExecutor(len(self.clients)) as pool:
            for f in [pool.submit(device_run, c) for c in self.clients]:
                f.result()
        for client in self.clients:
            self.assertStored(client, "busy.img", range(6))
        # Both hosts served, and logged the client, not the balancer.
        for host in self.cluster.hosts:
            lines = [line for line in host.httpd.access_log().splitlines() if "/chunks/" in line]
            self.assertTrue(lines, host.name)
            self.assertTrue(all(line.startswith(CLIENT_ADDR + " ") for line in lines), lines[:3])
        # The chunk location's refusals too (an image name it refuses).
        conn = self.clients[0].connect()
        conn.request("GET", f"/chunks/{DEVICES[0]}/.hidden", headers={"X-OVRA-Xfer-Context": "x"})
        self.assertEqual(conn.getresponse().status, 404)
        conn.close()
        refusals = [line for host in self.cluster.hosts for line in host.httpd.error_log().splitlines()
                    if ".hidden" in line]
        self.assertEqual(len(refusals), 1)
        self.assertIn(f"[client {CLIENT_ADDR}:", refusals[0])
        # Only the balancer's PROXY header is believed: one sent straight
        # to a host ends the handshake.
        forged = (b"\r\n\r\n\x00\r\nQUIT\n\x21\x11\x00\x0c" + socket.inet_aton("192.0.2.99") +
                  socket.inet_aton(BALANCER_ADDR) + (4242).to_bytes(2, "big") + PORT.to_bytes(2, "big"))
        host = self.cluster.hosts[0]
        with socket.create_connection((host.address, PORT), timeout=10) as raw:
            raw.sendall(forged)
            ctx = self.cluster.ssl_context(self.clients[0].cert)
            ctx.check_hostname = False
            with self.assertRaises(OSError):   # ssl.SSLError included
                ctx.wrap_socket(raw).close()
        self.assertNotIn("192.0.2.99", host.httpd.access_log() + host.httpd.error_log())
        self.assertNoSlotHeld()

    def test_hosts_write_one_new_image(self):
        # Two hosts write disjoint ranges of one image neither has seen, at
        # once, round after round.
        client = self.clients[1]
        h1, h2 = self.cluster.hosts
        for rnd in range(4):
            image = f"shared-{rnd}.img"
            with ThreadPoolExecutor(4) as pool:
                jobs = [pool.submit(client.upload, image, i, host=(h1 if i % 2 else h2)) for i in range(4)]
                self.assertEqual([j.result()[0] for j in jobs], [200] * 4)
            self.assertStored(client, image, range(4))

    def test_sign_on(self):
        # NTLM: three legs on one connection, then the same connection stays
        # signed on, so it never changed hosts; the form login on both hosts.
        env = dict(os.environ, OPENSSL_CONF=os.path.join(SOURCE, "deploy", "ntlm_openssl.cnf"),
                   REQUESTS_CA_BUNDLE=self.cluster.ca.cert)
        url = self.cluster.url("/ntlm/whoami")
        out = subprocess.run([PYTHON, os.path.join(SOURCE, "deploy", "ntlm_client.py"), f"{DOMAIN}\\{USER}",
                              PASSWORD, url, url], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        got = json.loads(out.stdout)
        self.assertEqual([r["legs"] for r in got], [[401, 401, 200], [200]])
        self.assertTrue(all(r["body"].startswith(f"REMOTE_USER={DOMAIN}\\{USER.lower()}\n") for r in got), got)

        form = urlencode({"username": USER, "domain": DOMAIN, "password": PASSWORD, "result": "-"})
        for host in self.cluster.hosts + [None]:   # each host, then through the balancer
            conn = host.httpd.connection(30) if host else self.clients[0].connect()
            conn.request("POST", "/login", body=form,
                         headers={"Content-Type": "application/x-www-form-urlencoded"})
            r = conn.getresponse()
            self.assertEqual((r.status, b"authenticated" in r.read()), (303, True), host and host.name)
            conn.close()
        for host in self.cluster.hosts:
            self.assertNotIn(PASSWORD, host.httpd.error_log())

    def test_host_killed_mid_run(self):
        # Uploads in flight on both hosts; one host dies. Its transfers fail
        # (no 200), new connections go to the other host, every chunk is
        # stored once retried, and neither admission daemon keeps a slot.
        cluster = self.cluster
        h2 = cluster.hosts[1]
        started = threading.Barrier(9)

        def slow_upload(client, index):
            waited = []

            def pace():
                if not waited:
                    waited.append(started.wait(10))
                time.sleep(0.1)
            return client.upload("killed.img", index, pace=pace)

        client = self.clients[2]
        with ThreadPoolExecutor(8) as pool:
            jobs = [pool.submit(slow_upload, client, i) for i in range(8)]
            started.wait(10)
            time.sleep(0.2)
            cluster.kill_host(h2)
            statuses = [j.result()[0] for j in jobs]
        self.assertIn(0, statuses)                  # h2's broke off
        self.assertIn(200, statuses)                # h1's went on
        self.assertEqual(set(statuses), {0, 200})
        self.assertEqual(cluster.wait_backends({"h2": "DOWN"})["h2"], "DOWN")
        for index, status in enumerate(statuses):
            if status != 200:
                client.upload_until_stored("killed.img", index)
        self.assertStored(client, "killed.img", range(8))
        self.assertNoSlotHeld()
        cluster.restart_host(h2)
        self.assertEqual(cluster.wait_backends({"h2": "UP"})["h2"], "UP")
        self.assertStored(client, "killed.img", range(8))

    def test_volume_frozen_mid_upload(self):
        # The brick stops answering while an upload's body is on its way:
        # the answer is 500 with code 101 within the bound, and the slot is
        # back at once, while the stuck process waits for the volume;
        # thawed, the retry is stored.
        client = self.clients[3]
        client.upload_until_stored("frozen.img", 0)
        frozen = []

        def pace():
            time.sleep(0.1)
            if len(frozen) == 0 and time.monotonic() > began + 0.3:
                self.cluster.freeze_volume()
                frozen.append(time.monotonic())
        try:
            began = time.monotonic()
            status, code, _ = client.upload("frozen.img", 1, pace=pace)
            took = time.monotonic() - frozen[0]
            self.assertEqual((status, code), (500, 101))
            self.assertLess(took, STORAGE_TIMEOUT + 3)
            self.assertNoSlotHeld()
        finally:
            self.cluster.freeze_volume(False)
        client.upload_until_stored("frozen.img", 1)
        self.assertStored(client, "frozen.img", range(2))

if __name__ == "__main__":
    unittest.main()
