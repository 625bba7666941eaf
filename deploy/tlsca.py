"""A throw-away certificate authority made with the openssl tool, for the
HTTPS site of scripts/serve and the tests (httpd.TlsApache makes one).

    ca = CA(folder)
    device = ca.issue("device-1", "2f1c...-device-uuid")   # a client's Cert
    server = ca.issue("server", "127.0.0.1", server=True)
"""

import os
import subprocess


class Cert:
    """A certificate and its private key, as PEM files."""

    def __init__(self, cert, key, subject):
        self.cert = cert
        self.key = key
        self.subject = subject

    def curl_args(self):
        return ["--cert", self.cert, "--key", self.key]

    def __repr__(self):
        return f"Cert({self.subject!r}, {self.cert!r})"


class CA:
    """A throw-away certificate authority made with the openssl tool.

    Its files live in `folder` (created 0755; the keys 0600): ca.pem, ca.key,
    and <name>.pem / <name>.key for each certificate issued. P-256 keys keep
    issuing cheap. The caller removes the folder (TlsApache keeps its own CA
    under its root)."""

    DAYS = "30"

    def __init__(self, folder, name="orvane throw-away CA"):
        self.folder = folder
        os.makedirs(folder, 0o755, exist_ok=True)
        self.cert = os.path.join(folder, "ca.pem")
        self.key = os.path.join(folder, "ca.key")
        self._openssl("req", "-x509", *self._new_key(self.key), "-days", self.DAYS,
                      "-subj", "/O=orvane/CN=" + name, "-out", self.cert,
                      "-addext", "basicConstraints=critical,CA:true",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign")

    def issue(self, name, common_name, server=False, extra_subject="", addresses=("127.0.0.1",)):
        """A certificate for common_name: a server's for addresses (IP) and
        localhost, or else a client's. extra_subject is appended to the
        subject ("/UID=..."). Returns a Cert."""
        key = os.path.join(self.folder, name + ".key")
        csr = os.path.join(self.folder, name + ".csr")
        cert = os.path.join(self.folder, name + ".pem")
        ext = os.path.join(self.folder, name + ".ext")
        subject = f"/O=orvane/CN={common_name}{extra_subject}"
        if server:
            ips = ",".join("IP:" + a for a in addresses)
            usage = f"extendedKeyUsage=serverAuth\nsubjectAltName={ips},DNS:localhost\n"
        else:
            usage = "extendedKeyUsage=clientAuth\n"
        with open(ext, "w", encoding="ascii") as f:
            f.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n" + usage)
        self._openssl("req", *self._new_key(key), "-subj", subject, "-out", csr)
        self._openssl("x509", "-req", "-in", csr, "-CA", self.cert, "-CAkey", self.key,
                      "-CAcreateserial", "-days", self.DAYS, "-extfile", ext, "-out", cert)
        os.unlink(csr)
        os.unlink(ext)
        return Cert(cert, key, subject)

    @staticmethod
    def _new_key(path):
        return ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", path]

    @staticmethod
    def _openssl(*args):
        r = subprocess.run(["openssl", *args], capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise RuntimeError(f"openssl {args[0]} failed: {r.stderr}")
