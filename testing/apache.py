"""A real Apache for tests: Debian's apache2 (2.4) from a generated configuration.

Each `Apache` owns a fresh temporary root (mode 0711, so that the children,
which run as www-data, can reach into it) holding conf/, logs/, run/, htdocs/
and cgi-bin/. It listens on a free loopback port, starts in its own session in
the foreground (`-d ROOT -f CONF -DFOREGROUND`, never apache2ctl, never
/etc/apache2) and is stopped with SIGTERM to the whole session, escalating to
SIGKILL, after which the port is confirmed free and the root removed.

    import unittest
    from apache import Apache, curl

    class ChunkTest(unittest.TestCase):
        @classmethod
        def setUpClass(cls):
            cls.httpd = Apache("chunk", modules=("cgid", "lua"),
                               conf='ScriptAlias /x "/path/to/prog"\\n',
                               pass_env=("MY_VAR",))
            cls.addClassCleanup(cls.httpd.stop)   # also when start() fails
            cls.httpd.start()

        @classmethod
        def tearDownClass(cls):
            cls.httpd.assert_clean_log(allow=(r"AH01215: .*expected noise",))

        def test_download(self):
            r = curl(self.httpd, "/x/a.img", "-H", "Range: bytes=0-9")
            self.assertEqual(r.status, 206)
            self.assertEqual(r.headers.get("content-range"), "bytes 0-9/100")

Also usable as `with Apache(...) as httpd:` (starts, and always stops).

Constructor arguments:
  name      short label, used in the temporary root's name and in messages.
  conf      configuration text of the test group, included after the base
            configuration (so it may override it). `restart(conf=...)` swaps it.
  modules   extra modules by name from /usr/lib/apache2/modules ("cgid" loads
            mod_cgid.so as cgid_module).
  load      our own modules as (identifier, path) pairs, e.g.
            (("auth_orvane_form_module", ".../mod_auth_orvane_form.so"),).
  env       variables for the httpd process itself (KRB5_CONFIG, ...). The
            server otherwise starts with a minimal environment (PATH, LANG,
            and a random MALLOC_PERTURB_ to bring memory misuse to light).
  pass_env  names handed on to CGI programs with PassEnv; their values come
            from `env` or else from this process. Sanitizer options
            (ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS) set in this process are
            always passed through to the server and its CGI programs.
  mpm       "event" (default), "worker" or "prefork".

Useful members: root, port, url(path), docroot, cgi_dir, conf_dir, logs_dir,
write_cgi(name, text), give_to_www_data(path), mkdir_for_www(relpath),
running, check_config(), restart(conf=None, env=None), error_log(),
access_log(), error_lines(levels), assert_clean_log(allow). The error-log
verdict counts warn and worse, and also the unprefixed lines that CGI
programs write to standard error. Set ORVANE_KEEP_APACHE=1 to keep the roots
(configuration and logs) after stop() for a look afterwards. If the owning
process is killed outright, a watchdog stops the server and removes its root.

curl(httpd_or_url, path, *curl_args, stdin=None) runs the real curl with
shared flags (--silent --show-error --noproxy '*' --path-as-is --max-time 60)
and returns a Response: status, reason, headers (case-insensitive get() and
get_all()), body bytes, curl's exit_code and stderr.

`render(template_path, **values)` (deploy/templates.py) fills @NAME@
placeholders of a configuration template and refuses one left unfilled.

Transport seam: `scheme`, `listen_conf()`, `client_args()` and
`probe_connection()` are what a TLS variant overrides; everything else stays
as it is. `TlsApache` is that variant:

    ca = CA(folder)                                   # throw-away, openssl
    device = ca.issue("device-1", "2f1c...-device-uuid")
    httpd = TlsApache("site", ca=ca, client_cert=device, modules=(...))
    curl(httpd, "/x")                  # --cacert and the device certificate
    curl(httpd, "/x", cert=None)       # no client certificate
    curl(httpd, "/x", cert=other)      # another one

It loads mod_ssl (and socache_shmcb for its session cache), listens with
"https", serves a server certificate for 127.0.0.1 issued by the CA, and
asks for no client certificate itself: the configuration under test decides
that (SSLVerifyClient). Without `ca` it makes its own under its root.
"""

import os
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import http.client

# The templates' renderer is the one the site ships with.
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "deploy"))
from templates import render  # noqa: E402,F401

HTTPD = "/usr/sbin/apache2"
MODULE_DIR = "/usr/lib/apache2/modules"
WWW_USER = "www-data"
SANITIZER_VARS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "MSAN_OPTIONS", "TSAN_OPTIONS")
MPMS = ("event", "worker", "prefork")

START_DEADLINE = 20.0   # seconds from launch until the server answers
STOP_DEADLINE = 10.0    # seconds from SIGTERM until SIGKILL
PORT_ATTEMPTS = 5       # fresh ports tried when another process takes ours

# Modules every instance needs: access control, the docroot and CGI alias,
# file types. (log_config, unixd and so are compiled into Debian's apache2.)
BASE_MODULES = ("authz_core", "authz_host", "alias", "mime", "env")

WATCHDOG = ('read -r word; [ "$word" = done ] && exit 0; '
            '/bin/kill -TERM -- "-$1"; sleep 2; /bin/kill -KILL -- "-$1"; rm -rf -- "$2"')

_MPM_TUNING = {
    # Small pools: the machine is shared with many parallel tests.
    "event": "StartServers 1\nServerLimit 4\nThreadsPerChild 16\n"
             "MinSpareThreads 4\nMaxSpareThreads 32\nMaxRequestWorkers 64\n",
    "worker": "StartServers 1\nServerLimit 4\nThreadsPerChild 16\n"
              "MinSpareThreads 4\nMaxSpareThreads 32\nMaxRequestWorkers 64\n",
    "prefork": "StartServers 2\nMinSpareServers 1\nMaxSpareServers 4\n"
               "ServerLimit 32\nMaxRequestWorkers 32\n",
}

BASE_CONF = """\
# Generated by testing/apache.py for test group "{name}"; removed at stop.
ServerRoot "{root}"
ServerName 127.0.0.1
PidFile "{root}/run/httpd.pid"
DefaultRuntimeDir "{root}/run"
Mutex file:{root}/run default
User {user}
Group {user}
ErrorLog "{root}/logs/error_log"
LogLevel warn
LogFormat "%h %l %u %t \\"%r\\" %>s %b %D" timed
CustomLog "{root}/logs/access_log" timed
TypesConfig /etc/mime.types
Timeout 60
KeepAlive On
{loads}
{listen}
{mpm_tuning}
<IfModule cgid_module>
    ScriptSock "{root}/run/cgid.sock"
</IfModule>
{pass_env}
DocumentRoot "{root}/htdocs"
<Directory />
    AllowOverride None
    Require all denied
</Directory>
<Directory "{root}/htdocs">
    Require all granted
</Directory>
ScriptAlias /cgi-bin/ "{root}/cgi-bin/"
<Directory "{root}/cgi-bin">
    Options +ExecCGI
    Require all granted
</Directory>

Include "{root}/conf/group.conf"

# Readiness probe, placed last so no test configuration shadows it.
Alias /__fixture_ready "{root}/run/ready"
<Location /__fixture_ready>
    SetHandler none
    Require all granted
</Location>
"""


class ApacheError(RuntimeError):
    """The server could not be started or stopped; the message holds the log tail."""


def free_port():
    """A loopback port that was free a moment ago (the server may still lose it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_in_use(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def www_ids():
    import pwd
    pw = pwd.getpwnam(WWW_USER)
    return pw.pw_uid, pw.pw_gid


class Apache:
    scheme = "http"

    def __init__(self, name, conf="", modules=(), load=(), env=None, pass_env=(), mpm="event"):
        if mpm not in MPMS:
            raise ValueError(f"mpm must be one of {MPMS}, not {mpm!r}")
        self.name = name
        self.conf = conf
        self.modules = tuple(modules)
        self.load = tuple(load)
        self.env = dict(env or {})
        self.pass_env = tuple(pass_env)
        self.mpm = mpm
        self.port = None
        self.proc = None
        self.root = tempfile.mkdtemp(prefix=f"apache-{name}-")
        os.chmod(self.root, 0o711)
        for sub, mode in (("conf", 0o755), ("logs", 0o755), ("run", 0o755),
                          ("htdocs", 0o755), ("cgi-bin", 0o755)):
            os.mkdir(os.path.join(self.root, sub), mode)
        self.conf_dir = os.path.join(self.root, "conf")
        self.logs_dir = os.path.join(self.root, "logs")
        self.run_dir = os.path.join(self.root, "run")
        self.docroot = os.path.join(self.root, "htdocs")
        self.cgi_dir = os.path.join(self.root, "cgi-bin")
        self.error_log_path = os.path.join(self.logs_dir, "error_log")
        self.access_log_path = os.path.join(self.logs_dir, "access_log")
        self.token = "%016x" % random.getrandbits(64)

    # --- context manager -------------------------------------------------
    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    # --- transport seam (a TLS variant overrides these) -----------------
    def listen_conf(self):
        """Configuration lines that open the listener on self.port."""
        return f"Listen 127.0.0.1:{self.port}"

    def client_args(self):
        """Flags curl needs to talk to this server."""
        return []

    def probe_connection(self, timeout):
        """A client connection for the readiness probe."""
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def url(self, path="/"):
        if not path.startswith("/"):
            path = "/" + path
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    # --- files ----------------------------------------------------------
    def write_cgi(self, name, text):
        """Writes an executable script into cgi-bin; returns its path."""
        path = os.path.join(self.cgi_dir, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, 0o755)
        return path

    def give_to_www_data(self, path):
        """Makes a file or folder the server's children (and CGIs) may write."""
        uid, gid = www_ids()
        os.chown(path, uid, gid)

    def mkdir_for_www(self, relpath):
        """Creates a folder under the root owned by www-data; returns its path."""
        path = os.path.join(self.root, relpath)
        os.makedirs(path, 0o755, exist_ok=True)
        self.give_to_www_data(path)
        return path

    # --- configuration ----------------------------------------------------
    def _server_env(self):
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
               "LANG": "C",
               # Cheap check for memory misuse in our modules.
               "MALLOC_PERTURB_": str(random.randint(1, 255))}
        for var in SANITIZER_VARS:
            if var in os.environ:
                env[var] = os.environ[var]
        for var in self.pass_env:
            if var not in self.env and var in os.environ:
                env[var] = os.environ[var]
        env.update(self.env)
        # Sanitizer builds: httpd itself is not instrumented, so the runtime
        # our modules need must be loaded before everything else.
        if os.environ.get("ORVANE_HTTPD_PRELOAD"):
            env["LD_PRELOAD"] = " ".join(filter(None, (os.environ["ORVANE_HTTPD_PRELOAD"], env.get("LD_PRELOAD"))))
            # The children run as www-data, which may not reach the checkout.
            supp = os.path.join(self.conf_dir, "httpd_lsan.supp")
            shutil.copyfile(os.path.join(os.path.dirname(os.path.abspath(__file__)), "httpd_lsan.supp"), supp)
            os.chmod(supp, 0o644)
            env["LSAN_OPTIONS"] = ":".join(filter(None, (env.get("LSAN_OPTIONS"), "suppressions=" + supp, "print_suppressions=0")))
        return env

    def _passed_vars(self, env):
        names = [v for v in SANITIZER_VARS if v in env]
        names += [v for v in self.pass_env if v in env and v not in names]
        return names

    def _write_conf(self, env):
        loads = [f"LoadModule mpm_{self.mpm}_module {MODULE_DIR}/mod_mpm_{self.mpm}.so"]
        seen = set()
        for mod in BASE_MODULES + self.modules:
            if mod in seen:
                continue
            seen.add(mod)
            path = os.path.join(MODULE_DIR, f"mod_{mod}.so")
            if not os.path.exists(path):
                raise ApacheError(f"{self.name}: no module {path}")
            loads.append(f"LoadModule {mod}_module {path}")
        for ident, path in self.load:
            if not os.path.exists(path):
                raise ApacheError(f"{self.name}: no module {path} (build it first)")
            loads.append(f'LoadModule {ident} "{path}"')
        passed = self._passed_vars(env)
        text = BASE_CONF.format(
            name=self.name, root=self.root, user=WWW_USER, listen=self.listen_conf(),
            loads="\n".join(loads), mpm_tuning=_MPM_TUNING[self.mpm],
            pass_env=("PassEnv " + " ".join(passed)) if passed else "")
        with open(os.path.join(self.conf_dir, "httpd.conf"), "w", encoding="utf-8") as f:
            f.write(text)
        with open(os.path.join(self.conf_dir, "group.conf"), "w", encoding="utf-8") as f:
            f.write(self.conf)
        with open(os.path.join(self.run_dir, "ready"), "w", encoding="utf-8") as f:
            f.write(self.token)

    def check_config(self):
        """Runs `apache2 -t` on the generated configuration; returns its output."""
        env = self._server_env()
        if self.port is None:
            self.port = free_port()
        self._write_conf(env)
        r = subprocess.run(self._argv() + ["-t"], env=env, capture_output=True, text=True)
        if r.returncode != 0:
            raise ApacheError(f"{self.name}: configuration refused:\n{r.stderr}{r.stdout}")
        return r.stderr + r.stdout

    def _argv(self):
        return [HTTPD, "-d", self.root, "-f", os.path.join(self.conf_dir, "httpd.conf")]

    # --- life cycle -------------------------------------------------------
    def start(self):
        """Starts the server and returns once it answers; raises ApacheError otherwise."""
        if self.proc is not None:
            raise ApacheError(f"{self.name}: already running")
        env = self._server_env()
        last = ""
        for _ in range(PORT_ATTEMPTS):
            if self.port is None or port_in_use(self.port):
                self.port = free_port()
            self._write_conf(env)
            # A stale pid file makes a new parent exit 0 without serving.
            pid_file = os.path.join(self.run_dir, "httpd.pid")
            if os.path.exists(pid_file):
                os.unlink(pid_file)
            log_mark, err_mark = self._log_size(), self._stderr_size()
            out = open(os.path.join(self.logs_dir, "stderr"), "ab")
            try:
                self.proc = subprocess.Popen(
                    self._argv() + ["-DFOREGROUND"], env=env, stdin=subprocess.DEVNULL,
                    stdout=out, stderr=out, start_new_session=True)
            finally:
                out.close()
            self._start_watchdog()
            state = self._wait_ready()
            if state == "ready":
                return self
            last = self._log_since(log_mark) + self._stderr_text(err_mark)
            self._kill_session()
            if state == "port" or "Address already in use" in last:
                self.port = None
                continue
            break
        raise ApacheError(f"{self.name}: did not start (port {self.port}):\n{last}")

    def _wait_ready(self):
        deadline = time.monotonic() + START_DEADLINE
        delay = 0.02
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return "exited"
            try:
                conn = self.probe_connection(2)
                conn.request("GET", "/__fixture_ready")
                body = conn.getresponse().read()
                conn.close()
                if body.decode("ascii", "replace") == self.token:
                    return "ready"
                # Someone else answers on our port.
                return "port"
            except (OSError, http.client.HTTPException):
                pass
            time.sleep(delay)
            delay = min(delay * 2, 0.2)
        return "timeout"

    def stop(self):
        """Stops the server (if running), confirms the port is free, removes the root.

        Safe to call more than once and after a failed start."""
        try:
            self._kill_session()
        finally:
            if self.root and os.path.isdir(self.root) and not os.environ.get("ORVANE_KEEP_APACHE"):
                shutil.rmtree(self.root, ignore_errors=True)

    def restart(self, conf=None, env=None):
        """Stops and starts again, on the same port when it is still free,
        with new group configuration and/or server environment. The root
        and its logs stay."""
        self._kill_session()
        if conf is not None:
            self.conf = conf
        if env is not None:
            self.env = dict(env)
        return self.start()

    def _start_watchdog(self):
        # The server lives in a session of its own, so nothing takes it down
        # when this process is killed outright (a test timeout): a watchdog,
        # in a session of its own as well, waits on a pipe only this process
        # writes to. "done" ends it quietly; end of file stops the server and
        # removes the root.
        rfd, self._watch_fd = os.pipe()
        try:
            self._watchdog = subprocess.Popen(
                ["/bin/sh", "-c", WATCHDOG, "apache-watchdog", str(self.proc.pid), self.root],
                stdin=rfd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                start_new_session=True)
        finally:
            os.close(rfd)

    def _stop_watchdog(self):
        fd, self._watch_fd = getattr(self, "_watch_fd", None), None
        if fd is not None:
            try:
                os.write(fd, b"done\n")
            finally:
                os.close(fd)
            self._watchdog.wait(timeout=STOP_DEADLINE)

    def _kill_session(self):
        proc, self.proc = self.proc, None
        if proc is None:
            self._stop_watchdog()
            return
        if proc.poll() is None:
            self._signal_session(proc.pid, signal.SIGTERM)
            try:
                proc.wait(timeout=STOP_DEADLINE)
            except subprocess.TimeoutExpired:
                self._signal_session(proc.pid, signal.SIGKILL)
                proc.wait(timeout=STOP_DEADLINE)
        # Children (cgid daemon, workers, CGI programs) that outlived the parent.
        self._signal_session(proc.pid, signal.SIGKILL)
        deadline = time.monotonic() + STOP_DEADLINE
        while self.port and port_in_use(self.port):
            if time.monotonic() > deadline:
                raise ApacheError(f"{self.name}: port {self.port} still answers after stop")
            time.sleep(0.05)
        self._stop_watchdog()

    @staticmethod
    def _signal_session(sid, sig):
        # The server leads its own session and process group (start_new_session).
        try:
            os.killpg(sid, sig)
        except ProcessLookupError:
            pass

    @property
    def running(self):
        return self.proc is not None and self.proc.poll() is None

    # --- logs ---------------------------------------------------------------
    def _log_size(self):
        try:
            return os.path.getsize(self.error_log_path)
        except OSError:
            return 0

    def _log_since(self, offset):
        try:
            with open(self.error_log_path, "rb") as f:
                f.seek(offset)
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def _stderr_size(self):
        try:
            return os.path.getsize(os.path.join(self.logs_dir, "stderr"))
        except OSError:
            return 0

    def _stderr_text(self, offset=0):
        # Messages from before the error log is open (bad syntax, bind failures).
        try:
            with open(os.path.join(self.logs_dir, "stderr"), "rb") as f:
                f.seek(offset)
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def error_log(self):
        """The whole error log text written so far (all starts of this instance)."""
        return self._log_since(0)

    def access_log(self):
        try:
            with open(self.access_log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    LOG_LINE = re.compile(r"^\[[^\]]*\] \[(?P<module>[\w.-]*):(?P<level>\w+)\]")
    BAD_LEVELS = ("emerg", "alert", "crit", "error", "warn")

    def error_lines(self, levels=BAD_LEVELS, raw=True):
        """Error-log lines at the given levels (default: warn and worse).

        With raw, also the lines without a log prefix: what CGI programs
        write to standard error reaches the log as it is under mod_cgid."""
        lines = []
        for line in self.error_log().splitlines():
            m = self.LOG_LINE.match(line)
            if (m and m.group("level") in levels) or (raw and not m and line.strip()):
                lines.append(line)
        return lines

    def assert_clean_log(self, allow=()):
        """Raises AssertionError listing every error/warning line that no regex in
        `allow` (searched anywhere in the line) accounts for."""
        patterns = [re.compile(p) for p in allow]
        bad = [line for line in self.error_lines()
               if not any(p.search(line) for p in patterns)]
        if bad:
            raise AssertionError(f"{self.name}: unexpected lines in the error log:\n" + "\n".join(bad))


# --- TLS ------------------------------------------------------------------

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

    def issue(self, name, common_name, server=False, extra_subject=""):
        """A certificate for common_name: a server's for 127.0.0.1 and
        localhost, or else a client's. extra_subject is appended to the
        subject ("/UID=..."). Returns a Cert."""
        key = os.path.join(self.folder, name + ".key")
        csr = os.path.join(self.folder, name + ".csr")
        cert = os.path.join(self.folder, name + ".pem")
        ext = os.path.join(self.folder, name + ".ext")
        subject = f"/O=orvane/CN={common_name}{extra_subject}"
        if server:
            usage = "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n"
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


_UNSET = object()


class TlsApache(Apache):
    """An Apache that speaks HTTPS only; see the module text.

    ca           the CA that issues the server certificate (default: a new one)
    client_cert  the Cert curl() presents unless told otherwise (default none)
    """

    scheme = "https"

    def __init__(self, name, ca=None, client_cert=None, modules=(), **kwargs):
        super().__init__(name, modules=("ssl", "socache_shmcb") + tuple(modules), **kwargs)
        self.ca = ca or CA(os.path.join(self.root, "ca"))
        self.server_cert = self.ca.issue(f"server-{name}", "127.0.0.1", server=True)
        self.client_cert = client_cert

    def listen_conf(self):
        return (f"Listen 127.0.0.1:{self.port} https\n"
                f'SSLSessionCache "shmcb:{self.run_dir}/ssl_scache(512000)"\n'
                "SSLEngine on\n"
                f'SSLCertificateFile "{self.server_cert.cert}"\n'
                f'SSLCertificateKeyFile "{self.server_cert.key}"')

    def client_args(self, cert=_UNSET):
        """--cacert, and the client certificate: client_cert unless cert is
        given (None presents none)."""
        cert = self.client_cert if cert is _UNSET else cert
        return ["--cacert", self.ca.cert] + (cert.curl_args() if cert else [])

    def ssl_context(self, cert=_UNSET):
        """A Python client context trusting the CA, with the client certificate."""
        ctx = ssl.create_default_context(cafile=self.ca.cert)
        cert = self.client_cert if cert is _UNSET else cert
        if cert:
            ctx.load_cert_chain(cert.cert, cert.key)
        return ctx

    def probe_connection(self, timeout):
        return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout,
                                           context=self.ssl_context())


# --- client ---------------------------------------------------------------

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
