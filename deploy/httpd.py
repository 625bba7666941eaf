"""A real Apache on loopback: Debian's apache2 (2.4) from a generated
configuration, for scripts/serve, the tests and the benchmarks.

Each `Apache` owns a fresh temporary root (mode 0711, so that the children,
which run as www-data, can reach into it) holding conf/, logs/, run/, htdocs/
and cgi-bin/. It listens on a free loopback port, starts in its own session in
the foreground (`-d ROOT -f CONF -DFOREGROUND`, never apache2ctl, never
/etc/apache2) as a procs.Process, and is stopped with SIGTERM to the whole
session, escalating to SIGKILL, after which the port is confirmed free and
the root removed (kept with ORVANE_KEEP=1). The base configuration is
httpd.conf.in; the group's configuration text is included after it.

    httpd = Apache("chunk", modules=("cgid", "lua"),
                   conf='ScriptAlias /x "/path/to/prog"\\n', pass_env=("MY_VAR",))
    httpd.start()   ...   httpd.stop()      # or: with Apache(...) as httpd:
    httpd.assert_clean_log(allow=(r"AH01215: .*expected noise",))

Constructor arguments:
  name      short label, used in the temporary root's name and in messages.
  conf      configuration text of the group, included after the base
            configuration (so it may override it). `restart(conf=...)` swaps it.
  modules   extra modules by name from /usr/lib/apache2/modules ("cgid" loads
            mod_cgid.so as cgid_module).
  load      our own modules as (identifier, path) pairs, e.g.
            (("auth_orvane_form_module", ".../mod_auth_orvane_form.so"),).
  env       variables for the httpd process itself (KRB5_CONFIG, ...). The
            server otherwise starts with a minimal environment (PATH, LANG).
  pass_env  names handed on to CGI programs with PassEnv; their values come
            from `env` or else from this process. Sanitizer options
            (ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS) set in this process
            are always passed on, and a sanitizer build's runtime preloaded
            (sanitizers.py).
  mpm       "event" (default), "worker" or "prefork".
  perturb_malloc  True (default): the server's allocations are filled
            with a random byte (MALLOC_PERTURB_), which brings memory misuse
            in our modules to light; serve, the cluster and the benchmarks
            turn it off, as a deployed server has it off.

Useful members: root, port, url(path), docroot, cgi_dir, conf_dir, logs_dir,
write_cgi(name, text), give_to_www_data(path), mkdir_for_www(relpath),
running, check_config(), restart(conf=None, env=None), connection(),
error_log(), access_log(), error_lines(levels), children(), and
assert_clean_log(allow), the tests' verdict: warn and worse, and the
unprefixed lines CGI programs write to standard error, that no regex in
allow accounts for.

Transport seam: `scheme`, `listen_conf()`, `client_args()` and
`connection()` are what the TLS variant overrides. `TlsApache` loads mod_ssl
(and socache_shmcb), listens with "https" and serves a certificate for
127.0.0.1 issued by its CA (tlsca.CA; a new one under its root unless given).
It asks for no client certificate itself: the configuration decides that.
"""

import http.client
import os
import random
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time

import sanitizers
from procs import Process, free_port, keep, port_in_use
from templates import render
from tlsca import CA

HTTPD = "/usr/sbin/apache2"
MODULE_DIR = "/usr/lib/apache2/modules"
WWW_USER = "www-data"
MPMS = ("event", "worker", "prefork")
BASE_TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "httpd.conf.in")

START_DEADLINE = 20.0   # seconds from launch until the server answers
STOP_DEADLINE = 10.0    # seconds from SIGTERM until SIGKILL
PORT_ATTEMPTS = 5       # fresh ports tried when another process takes ours

# Modules every instance needs: access control, the docroot and CGI alias,
# file types. (log_config, unixd and so are compiled into Debian's apache2.)
BASE_MODULES = ("authz_core", "authz_host", "alias", "mime", "env")

_MPM_TUNING = {
    # Small pools: the machine is shared with many parallel tests.
    "event": "StartServers 1\nServerLimit 4\nThreadsPerChild 16\n"
             "MinSpareThreads 4\nMaxSpareThreads 32\nMaxRequestWorkers 64\n",
    "worker": "StartServers 1\nServerLimit 4\nThreadsPerChild 16\n"
              "MinSpareThreads 4\nMaxSpareThreads 32\nMaxRequestWorkers 64\n",
    "prefork": "StartServers 2\nMinSpareServers 1\nMaxSpareServers 4\n"
               "ServerLimit 32\nMaxRequestWorkers 32\n",
}


class ApacheError(RuntimeError):
    """The server could not be started or stopped; the message holds the log tail."""


def www_ids():
    import pwd
    pw = pwd.getpwnam(WWW_USER)
    return pw.pw_uid, pw.pw_gid


def read_from(path, offset=0):
    """The text of a log file from offset on ("" when there is none)."""
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


class Apache:
    scheme = "http"

    def __init__(self, name, conf="", modules=(), load=(), env=None, pass_env=(), mpm="event",
                 perturb_malloc=True):
        if mpm not in MPMS:
            raise ValueError(f"mpm must be one of {MPMS}, not {mpm!r}")
        self.name = name
        self.conf = conf
        self.modules = tuple(modules)
        self.load = tuple(load)
        self.env = dict(env or {})
        self.pass_env = tuple(pass_env)
        self.mpm = mpm
        self.perturb_malloc = perturb_malloc
        self.port = None
        self.proc = None
        self.root = tempfile.mkdtemp(prefix=f"apache-{name}-")
        os.chmod(self.root, 0o711)
        for sub in ("conf", "logs", "run", "htdocs", "cgi-bin"):
            os.mkdir(os.path.join(self.root, sub), 0o755)
        self.conf_dir = os.path.join(self.root, "conf")
        self.logs_dir = os.path.join(self.root, "logs")
        self.run_dir = os.path.join(self.root, "run")
        self.docroot = os.path.join(self.root, "htdocs")
        self.cgi_dir = os.path.join(self.root, "cgi-bin")
        self.error_log_path = os.path.join(self.logs_dir, "error_log")
        self.access_log_path = os.path.join(self.logs_dir, "access_log")
        # Messages from before the error log is open (bad syntax, bind failures).
        self.stderr_path = os.path.join(self.logs_dir, "stderr")
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

    # --- transport seam (the TLS variant overrides these) -----------------
    def listen_conf(self):
        """Configuration lines that open the listener on self.port."""
        return f"Listen 127.0.0.1:{self.port}"

    def client_args(self):
        """Flags curl needs to talk to this server."""
        return []

    def connection(self, timeout=60, nodelay=False):
        """A Python client connection to this server (http.client)."""
        return self._nodelay(http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout), nodelay)

    @staticmethod
    def _nodelay(conn, nodelay):
        if nodelay:
            conn.connect()
            conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return conn

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
    def server_env(self):
        """The server's environment: a minimal one, pass_env taken from this
        process unless env names them, then env, then what a sanitizer build
        needs (sanitizers.py)."""
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C"}
        if self.perturb_malloc:
            env["MALLOC_PERTURB_"] = str(random.randint(1, 255))
        for var in self.pass_env:
            if var not in self.env and var in os.environ:
                env[var] = os.environ[var]
        env.update(self.env)
        return sanitizers.server_env(env, self.conf_dir)

    def passed_vars(self, env):
        """The names PassEnv hands on to CGI programs."""
        return sanitizers.passed(env, [v for v in self.pass_env if v in env])

    def _write_conf(self, env):
        loads = [f"LoadModule mpm_{self.mpm}_module {MODULE_DIR}/mod_mpm_{self.mpm}.so"]
        # Ours before Debian's, as Debian's alphabetical mods-enabled loads
        # auth_orvane_* before ssl: mod_auth_orvane_gss must come before any
        # module that brings OpenSSL in, to serve the NTLM mechanism's MD4.
        for ident, path in self.load:
            if not os.path.exists(path):
                raise ApacheError(f"{self.name}: no module {path} (build it first)")
            loads.append(f'LoadModule {ident} "{path}"')
        for mod in dict.fromkeys(BASE_MODULES + self.modules):
            path = os.path.join(MODULE_DIR, f"mod_{mod}.so")
            if not os.path.exists(path):
                raise ApacheError(f"{self.name}: no module {path}")
            loads.append(f"LoadModule {mod}_module {path}")
        passed = self.passed_vars(env)
        text = render(BASE_TEMPLATE, NAME=self.name, ROOT=self.root, USER=WWW_USER,
                      LISTEN=self.listen_conf(), LOADS="\n".join(loads),
                      MPM_TUNING=_MPM_TUNING[self.mpm],
                      PASS_ENV=("PassEnv " + " ".join(passed)) if passed else "")
        for name, content in (("httpd.conf", text), ("group.conf", self.conf)):
            with open(os.path.join(self.conf_dir, name), "w", encoding="utf-8") as f:
                f.write(content)
        with open(os.path.join(self.run_dir, "ready"), "w", encoding="utf-8") as f:
            f.write(self.token)

    def check_config(self):
        """Runs `apache2 -t` on the generated configuration; returns its output."""
        env = self.server_env()
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
        env = self.server_env()
        last = ""
        for _ in range(PORT_ATTEMPTS):
            if self.port is None or port_in_use(self.port):
                self.port = free_port()
            self._write_conf(env)
            # A stale pid file makes a new parent exit 0 without serving.
            pid_file = os.path.join(self.run_dir, "httpd.pid")
            if os.path.exists(pid_file):
                os.unlink(pid_file)
            log_mark, err_mark = size_of(self.error_log_path), size_of(self.stderr_path)
            self.proc = Process(self._argv() + ["-DFOREGROUND"], self.stderr_path, env=env, folder=self.root)
            state = self.proc.wait_ready(self._probe, START_DEADLINE)
            if state == "ready":
                return self
            last = read_from(self.error_log_path, log_mark) + read_from(self.stderr_path, err_mark)
            self._kill_session()
            if state == "port" or "Address already in use" in last:
                self.port = None
                continue
            break
        raise ApacheError(f"{self.name}: did not start (port {self.port}):\n{last}")

    def _probe(self):
        """"ready" when our server answers with our token, "port" when
        someone else answers on our port, None while nobody does."""
        try:
            conn = self.connection(2)
            conn.request("GET", "/__fixture_ready")
            body = conn.getresponse().read()
            conn.close()
        except (OSError, http.client.HTTPException):
            return None
        return "ready" if body.decode("ascii", "replace") == self.token else "port"

    def stop(self, keep_root=False):
        """Stops the server (if running), confirms the port is free, removes
        the root unless keep_root or ORVANE_KEEP. Safe to call more than
        once and after a failed start."""
        try:
            self._kill_session()
        finally:
            if self.root and os.path.isdir(self.root) and not (keep_root or keep()):
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

    def _kill_session(self):
        proc, self.proc = self.proc, None
        if proc is None:
            return
        proc.stop(timeout=STOP_DEADLINE)
        deadline = time.monotonic() + STOP_DEADLINE
        while self.port and port_in_use(self.port):
            if time.monotonic() > deadline:
                raise ApacheError(f"{self.name}: port {self.port} still answers after stop")
            time.sleep(0.05)

    @property
    def running(self):
        return self.proc is not None and self.proc.poll() is None

    # --- logs ---------------------------------------------------------------
    def error_log(self):
        """The whole error log text written so far (all starts of this instance)."""
        return read_from(self.error_log_path)

    def access_log(self):
        return read_from(self.access_log_path)

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
        bad = [line for line in self.error_lines() if not any(p.search(line) for p in patterns)]
        if bad:
            raise AssertionError(f"{self.name}: unexpected lines in the error log:\n" + "\n".join(bad))

    def children(self):
        """Process ids of the server's children, in order."""
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        if int(f.read().rsplit(")", 1)[1].split()[1]) == self.proc.pid:
                            pids.append(int(entry))
                except (OSError, IndexError, ValueError):
                    pass
        return sorted(pids)


_UNSET = object()


class TlsApache(Apache):
    """An Apache that speaks HTTPS only; see the module text.

    ca           the CA that issues the server certificate (default: a new one)
    client_cert  the tlsca.Cert clients present unless told otherwise (default none)
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

    def connection(self, timeout=60, nodelay=False, cert=_UNSET):
        return self._nodelay(http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout,
                                                         context=self.ssl_context(cert)), nodelay)
