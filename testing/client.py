"""The tests' HTTP client, for the functional and load tests and the benchmarks.

curl(httpd_or_url, path, *curl_args, stdin=None, cert=...) runs the real curl
with shared flags (--silent --show-error --noproxy '*' --path-as-is
--max-time 60) and returns a Response: status, reason, headers
(case-insensitive get() and get_all()), body bytes, curl's exit_code and
stderr. Against a TlsApache it trusts the server's CA and presents the
server's client_cert unless cert says otherwise (None: no certificate).

A raw HTTP/1.1 client shows exactly what arrived, also when a response falls
short: connect(port), request_head(), read_answer(sock, pace) and fetch()
return an Answer. For Python's own client, httpd.connection() gives an
http.client connection (HTTPS with the CA and certificates for a TlsApache).
"""

import os
import re
import socket
import subprocess
import tempfile

from httpd import Apache

_UNSET = object()


class Headers:
    """Response headers: ordered (name, value) pairs, names looked up without case."""

    def __init__(self, pairs):
        self.pairs = list(pairs)

    def get_all(self, name):
        name = name.lower()
        return [v for k, v in self.pairs if k.lower() == name]

    def get(self, name, default=None):
        values = self.get_all(name)
        return values[0] if values else default

    def __getitem__(self, name):
        values = self.get_all(name)
        if not values:
            raise KeyError(name)
        return values[0]

    def __contains__(self, name):
        return bool(self.get_all(name))

    def __repr__(self):
        return f"Headers({self.pairs!r})"


class Response:
    def __init__(self, status, reason, headers, body, exit_code, stderr):
        self.status = status        # 0 when no response head arrived
        self.reason = reason
        self.headers = headers
        self.body = body            # bytes
        self.exit_code = exit_code  # curl's: 18 means the body fell short of its length
        self.stderr = stderr

    def __repr__(self):
        return f"Response({self.status} {self.reason!r}, {self.headers!r}, {len(self.body)} bytes, curl exit {self.exit_code})"


CURL_FLAGS = ("--silent", "--show-error", "--noproxy", "*", "--path-as-is", "--max-time", "60")


def _parse_head(text):
    """Status, reason and headers of the last response head (after any 100 Continue)."""
    blocks = [b for b in re.split(r"\r?\n\r?\n", text) if b.strip()]
    status, reason, pairs = 0, "", []
    for block in blocks:
        lines = block.splitlines()
        m = re.match(r"HTTP/[\d.]+ (\d{3})\s?(.*)$", lines[0])
        if not m:
            continue
        status, reason = int(m.group(1)), m.group(2).strip()
        pairs = []
        for line in lines[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                pairs.append((k.strip(), v.strip()))
    return status, reason, Headers(pairs)


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def curl(target, path="/", *curl_args, stdin=None, cert=_UNSET):
    """Runs the real curl against an Apache (path joined to its URL) or a full URL.

    curl_args are passed as they are (e.g. "-H", "Range: bytes=0-9",
    "--data-binary", "@file"); stdin (bytes) feeds "--data-binary @-".
    cert: the client certificate (a Cert) to present instead of a TlsApache's
    client_cert; None presents none."""
    if isinstance(target, Apache):
        url = target.url(path)
        extra = target.client_args() if cert is _UNSET else target.client_args(cert=cert)
    else:
        url = target + (path if path != "/" else "")
        extra = cert.curl_args() if cert not in (_UNSET, None) else []
    with tempfile.TemporaryDirectory(prefix="curl-") as tmp:
        head, body = os.path.join(tmp, "head"), os.path.join(tmp, "body")
        argv = ["curl", *CURL_FLAGS, "--dump-header", head, "--output", body,
                *extra, *curl_args, url]
        r = subprocess.run(argv, input=stdin, capture_output=True, timeout=120)
        text = _read(head).decode("latin-1")
        data = _read(body)
    status, reason, headers = _parse_head(text)
    return Response(status, reason, headers, data, r.returncode, r.stderr.decode("utf-8", "replace"))


# --- raw HTTP/1.1 client -----------------------------------------------------

class Answer:
    def __init__(self):
        self.status = 0
        self.headers = {}           # lower-case names
        self.body = b""
        self.complete = False       # the body reached its Content-Length
        self.error = None           # what cut the exchange short, if anything

    def header(self, name):
        return self.headers.get(name.lower())

    def __repr__(self):
        return (f"Answer({self.status}, {self.headers}, {len(self.body)} bytes, "
                f"complete={self.complete}, error={self.error!r})")


def connect(port, timeout=60, rcvbuf=None):
    """A loopback connection; rcvbuf caps the receive window (set before
    connecting, so that a client that pauses soon holds up its sender)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.settimeout(timeout)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        s.connect(("127.0.0.1", port))
    except BaseException:
        s.close()
        raise
    return s


def request_head(method, path, headers, body_length=None):
    lines = [f"{method} {path} HTTP/1.1", "Host: 127.0.0.1"]
    lines += [f"{k}: {v}" for k, v in headers.items()]
    if body_length is not None:
        lines.append(f"Content-Length: {body_length}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def read_answer(sock, pace=None):
    """Reads one response from sock. pace(received_body_bytes) is called
    after every piece of body, so a test can act in the middle of it."""
    a = Answer()
    buf = b""
    try:
        while b"\r\n\r\n" not in buf:
            more = sock.recv(65536)
            if not more:
                a.error = "closed before the head"
                return a
            buf += more
        head, _, buf = buf.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        a.status = int(lines[0].split()[1])
        for line in lines[1:]:
            k, _, v = line.partition(":")
            a.headers[k.strip().lower()] = v.strip()
        if a.headers.get("transfer-encoding") == "chunked":
            a.body, a.complete, a.error = _read_chunked(sock, buf)
            return a
        length = a.headers.get("content-length")
        if length is None:  # the body ends with the connection
            while more := sock.recv(65536):
                buf += more
            a.body, a.complete = buf, True
            return a
        length = int(length)
        body = bytearray(buf)
        while len(body) < length:
            if pace:
                pace(len(body))
            more = sock.recv(min(1 << 20, length - len(body)))
            if not more:
                a.error = "closed in the body"
                break
            body += more
        a.body = bytes(body)
        a.complete = len(body) == length
    except OSError as e:
        a.error = repr(e)
    return a


def _read_chunked(sock, buf):
    """(body, complete, error) of a chunked body whose first bytes are buf
    (no trailers expected)."""
    body = b""
    while True:
        size, found, rest = buf.partition(b"\r\n")
        size = int(size.split(b";")[0], 16) if found else -1
        if size >= 0 and len(rest) >= size + 2:
            if size == 0:
                return body, True, None
            body, buf = body + rest[:size], rest[size + 2:]
            continue
        more = sock.recv(65536)
        if not more:
            return body, False, "closed in the body"
        buf += more


def fetch(port, method, path, headers, body=b"", pace=None, timeout=60):
    """One request on a fresh connection; returns its Answer."""
    with connect(port, timeout) as s:
        s.sendall(request_head(method, path, headers, len(body) if method == "POST" else None) + body)
        return read_answer(s, pace)
