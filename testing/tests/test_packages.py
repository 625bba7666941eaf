"""The Debian packages: cpack builds them from this build, dpkg -x unpacks
them into a scratch root (never into the system), and Debian's Apache serves
the HTTPS site of deploy/ with the modules, the LSA library, diskrelay and
admissiond taken from that root."""

import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.environ["ORVANE_SOURCE_DIR"]
BUILD = os.environ["ORVANE_BUILD_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "deploy"))

from admission import Admissiond, read_status  # noqa: E402
from apache import TlsApache, curl  # noqa: E402
from kdc import KDC  # noqa: E402
from site_config import CHUNK_PREFIX, LOGIN_URL, MODULES, NTLM_URL, site_conf  # noqa: E402

CPACK_TIMEOUT = 300


def apxs(var):
    return subprocess.run(["apxs", "-q", var], capture_output=True, text=True,
                          check=True).stdout.strip()


MODULE_DIR = apxs("LIBEXECDIR")              # /usr/lib/apache2/modules on Debian
MODS_AVAILABLE = apxs("SYSCONFDIR") + "/mods-available"
LSA_LIB = "/opt/likewise/lib"


def cpack_setting(name):
    with open(os.path.join(BUILD, "CPackConfig.cmake"), encoding="utf-8") as f:
        return re.search(r'^set\(%s "([^"]*)"\)' % name, f.read(), re.M).group(1)


VERSION = cpack_setting("CPACK_PACKAGE_VERSION") + "-" + cpack_setting("CPACK_DEBIAN_PACKAGE_RELEASE")

# What each package holds (regular files only) and how each file is used:
# "conf" files are dpkg conffiles, "exe" files are executable, "elf" files
# are checked for their run path ("" for none).
PACKAGES = [
    {"name": "orvane-lsaclient",
     "files": {LSA_LIB + "/liblsaclient.so": ("elf", ""),
               "/opt/likewise/include/lsaclient.h": ("file",),
               "/opt/likewise/etc/lsaclient.conf": ("conf",)},
     "depends": ["libkrb5-3"], "recommends": []},
    {"name": "libapache2-mod-auth-orvane",
     "files": {MODULE_DIR + "/mod_auth_orvane_form.so": ("elf", LSA_LIB),
               MODULE_DIR + "/mod_auth_orvane_gss.so": ("elf", ""),
               MODS_AVAILABLE + "/auth_orvane_form.load": ("conf",),
               MODS_AVAILABLE + "/auth_orvane_gss.load": ("conf",)},
     "depends": [f"orvane-lsaclient (= {VERSION})", "apache2", "libgssapi-krb5-2", "libapr1"],
     "recommends": ["gss-ntlmssp"]},
    {"name": "orvane-transfer",
     "files": {"/usr/lib/orvane/cgi-bin/diskrelay": ("exe", "elf", ""),
               "/usr/sbin/admissiond": ("exe", "elf", ""),
               "/usr/lib/systemd/system/admissiond.service": ("file",),
               "/usr/share/orvane/chunk_vars.lua": ("file",),
               "/usr/share/orvane/chunk-location.conf.in": ("file",),
               "/usr/share/orvane/site.conf.in": ("file",),
               "/usr/share/orvane/site-login.cgi": ("exe",),
               "/usr/share/orvane/site-whoami.cgi": ("exe",)},
     "depends": ["libc6"], "recommends": []},
]

DEVICE = "3d0c7e52-9a41-4c1b-8f2e-6b5a4d3c2e1f"
DOMAIN, USER, PASSWORD = "ORVANE", "carol", "Pack4ged pass"


def run(argv, **kwargs):
    r = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if r.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} exited {r.returncode}:\n{r.stdout}{r.stderr}")
    return r.stdout


def run_path(path):
    """The RUNPATH (or RPATH) of an ELF file; "" when it has none."""
    out = run(["readelf", "-d", "-W", path])
    m = re.search(r"\((?:RUNPATH|RPATH)\)\s+Library r\w*path: \[([^\]]*)\]", out)
    return m.group(1) if m else ""


def load_lines(path):
    """(identifier, module path) of every LoadModule line of a .load file."""
    with open(path, encoding="utf-8") as f:
        return re.findall(r"^LoadModule\s+(\S+)\s+(\S+)\s*$", f.read(), re.M)


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="packages-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        out = os.path.join(cls.work, "out")
        # cpack installs the components into its own staging folder under out.
        run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out],
            cwd=BUILD, timeout=CPACK_TIMEOUT)
        cls.debs = {}
        for name in sorted(os.listdir(out)):
            if name.endswith(".deb"):
                path = os.path.join(out, name)
                cls.debs[run(["dpkg-deb", "-f", path, "Package"]).strip()] = path
        cls.root = os.path.join(cls.work, "root")
        for path in cls.debs.values():
            run(["dpkg-deb", "-x", path, cls.root])

    def in_root(self, path):
        return self.root + path

    def test_packages_hold_their_files_and_dependencies(self):
        self.assertEqual(sorted(self.debs), sorted(p["name"] for p in PACKAGES))
        for row in PACKAGES:
            with self.subTest(row["name"]):
                deb = self.debs[row["name"]]
                listing = run(["dpkg-deb", "-c", deb]).splitlines()
                files = {line.split(None, 5)[5][1:] for line in listing if line.startswith("-")}
                self.assertEqual(files, set(row["files"]))

                control = os.path.join(self.work, "control-" + row["name"])
                run(["dpkg-deb", "-e", deb, control])
                conffiles = set()
                if os.path.exists(os.path.join(control, "conffiles")):
                    with open(os.path.join(control, "conffiles"), encoding="utf-8") as f:
                        conffiles = set(f.read().split())
                self.assertEqual(conffiles, {p for p, use in row["files"].items() if "conf" in use})

                for path, use in row["files"].items():
                    mode = os.stat(self.in_root(path)).st_mode
                    self.assertEqual(bool(mode & stat.S_IXUSR), "exe" in use, path)
                    if "elf" in use:
                        self.assertEqual(run_path(self.in_root(path)), use[-1], path)

                fields = {f: run(["dpkg-deb", "-f", deb, f]).strip() for f in ("Depends", "Recommends")}
                depends = [d.strip() for d in fields["Depends"].split(",")]
                for dep in row["depends"]:
                    self.assertTrue(any(d == dep or d.startswith(dep + " ") for d in depends),
                                    f"{dep} not in Depends: {fields['Depends']}")
                for rec in row["recommends"]:
                    self.assertIn(rec, fields["Recommends"])

                # Maintainer scripts are valid sh and enable nothing by themselves.
                for script in ("preinst", "postinst", "prerm", "postrm"):
                    path = os.path.join(control, script)
                    if os.path.exists(path):
                        run(["sh", "-n", path])
                        with open(path, encoding="utf-8") as f:
                            code = "".join(l for l in f if not l.lstrip().startswith("#"))
                        self.assertNotRegex(code, r"enmod|systemctl (--\S+ )*(enable|start)\b", script)

    def test_unit_starts_the_installed_daemon(self):
        # The unit's ExecStart, with its Environment= values, run as it stands
        # except for the socket, which goes to a private folder.
        with open(self.in_root("/usr/lib/systemd/system/admissiond.service"), encoding="utf-8") as f:
            unit = f.read()
        env = dict(re.findall(r"^Environment=(\w+)=(\S*)$", unit, re.M))
        words = re.search(r"^ExecStart=(.*)$", unit, re.M).group(1).split()
        words = [re.sub(r"\$\{(\w+)\}", lambda m: env[m.group(1)], w) for w in words]
        self.assertEqual(words[0], "/usr/sbin/admissiond")
        self.assertTrue(os.access(self.in_root(words[0]), os.X_OK))

        folder = tempfile.mkdtemp(prefix="unit-", dir=self.work)
        sock = os.path.join(folder, "admission.sock")
        args = list(words)
        args[0] = self.in_root(words[0])
        args[args.index("--socket") + 1] = sock
        proc = subprocess.Popen(args + ["--log", "stderr"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            deadline = time.monotonic() + 10
            while True:
                self.assertIsNone(proc.poll(), "admissiond exited")
                try:
                    status = read_status(sock, timeout=1.0)
                    break
                except OSError:
                    self.assertLess(time.monotonic(), deadline, "admissiond does not answer")
                    time.sleep(0.02)
            self.assertEqual(status, {"running": 0, "peak": 0, "admitted": 0, "denied": 0})
        finally:
            proc.terminate()
            log, _ = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 0, log)
        self.assertIn("limit %s, retry %s s" % (env["ADMISSION_LIMIT"], env["ADMISSION_RETRY"]), log)

    def enable_modules(self):
        """a2enmod against the scratch root's /etc/apache2, beside the modules
        Debian's apache2 package puts in mods-available; returns what it
        enabled as (identifier, path inside the root) pairs of ours and the
        names of Apache's own modules."""
        conf_dir = self.in_root(os.path.dirname(MODS_AVAILABLE))
        for name in os.listdir(MODS_AVAILABLE):
            dest = os.path.join(conf_dir, "mods-available", name)
            if not os.path.exists(dest):
                shutil.copyfile(os.path.join(MODS_AVAILABLE, name), dest)
        os.makedirs(os.path.join(conf_dir, "mods-enabled"), exist_ok=True)
        env = dict(os.environ, APACHE_CONFDIR=conf_dir,
                   APACHE_STATE_DIRECTORY=os.path.join(self.work, "a2state"))
        run(["a2enmod", "-q", "auth_orvane_form", "auth_orvane_gss"], env=env)

        ours, apache_modules = [], []
        enabled = os.path.join(conf_dir, "mods-enabled")
        for name in sorted(os.listdir(enabled)):
            link = os.path.join(enabled, name)
            self.assertEqual(os.readlink(link), "../mods-available/" + name)
            for ident, path in load_lines(link):
                if os.path.exists(self.in_root(path)):
                    ours.append((ident, self.in_root(path)))
                else:
                    apache_modules.append(name[:-len(".load")])
        return ours, apache_modules

    def test_site_runs_from_the_packages(self):
        ours, apache_modules = self.enable_modules()
        self.assertEqual(sorted(i for i, _ in ours), ["auth_orvane_form_module", "auth_orvane_gss_module"])
        self.assertEqual(apache_modules, ["authn_core"])

        kdc = KDC(domain=DOMAIN)
        self.addCleanup(kdc.stop)
        kdc.start()
        kdc.add_user(USER, PASSWORD)
        adm = Admissiond(limit=2, retry=9, binary=self.in_root("/usr/sbin/admissiond"))
        self.addCleanup(adm.stop)
        adm.start()

        # The form module finds liblsaclient in the scratch root, not in
        # /opt/likewise/lib, its run path on a real installation.
        lsa_lib = self.in_root(LSA_LIB)
        httpd = TlsApache("packages", modules=MODULES + tuple(apache_modules), load=ours,
                          env=dict(kdc.env, LD_LIBRARY_PATH=lsa_lib))
        self.addCleanup(httpd.stop)
        httpd.client_cert = httpd.ca.issue("device", DEVICE)
        images = httpd.mkdir_for_www("images")
        device_dir = httpd.mkdir_for_www(os.path.join("images", DEVICE))
        # site_conf takes the chunk program from a build folder's layout.
        layout = os.path.join(self.work, "layout", "transfer")
        os.makedirs(layout)
        os.symlink(self.in_root("/usr/lib/orvane/cgi-bin/diskrelay"), os.path.join(layout, "diskrelay"))
        httpd.conf = site_conf(httpd, os.path.dirname(layout), images, adm.socket_path, DOMAIN)

        self.assertIn("Syntax OK", httpd.check_config())
        httpd.start()

        with open(f"/proc/{httpd.proc.pid}/maps", encoding="utf-8") as f:
            mapped = f.read()
        for path in [p for _, p in ours] + [os.path.join(lsa_lib, "liblsaclient.so")]:
            self.assertIn(path, mapped)

        image = os.urandom(300_000)
        url = f"{CHUNK_PREFIX}/{DEVICE}/disk.img"
        r = curl(httpd, url + "?start=0", "-H", "X-OVRA-Xfer-Context: pkg-up",
                 "--data-binary", "@-", stdin=image)
        self.assertEqual(r.status, 200, r)
        with open(os.path.join(device_dir, "disk.img"), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(image).digest())
        r = curl(httpd, url, "-H", "X-OVRA-Xfer-Context: pkg-down", "-H", "Range: bytes=1000-200999")
        self.assertEqual((r.status, r.body), (206, image[1000:201000]))
        self.assertEqual(adm.status()["admitted"], 2)

        from urllib.parse import urlencode
        rows = [
            {"name": "right password", "password": PASSWORD, "status": 200, "says": "(result 1)"},
            {"name": "wrong password", "password": "not " + PASSWORD, "status": 403, "says": "(result 0)"},
        ]
        for row in rows:
            with self.subTest(row["name"]):
                body = urlencode({"username": USER, "domain": DOMAIN, "password": row["password"],
                                  "result": "-"}).encode()
                r = curl(httpd, LOGIN_URL, "--data-binary", "@-", stdin=body)
                self.assertEqual(r.status, row["status"], r)
                self.assertIn(row["says"], r.body.decode())

        r = curl(httpd, NTLM_URL)
        self.assertEqual((r.status, r.headers.get("WWW-Authenticate"), r.headers.get("OV-GSS-Error-Code")),
                         (401, "NTLM", "E"))
        # The site names no versions (ServerTokens Prod); the module's own
        # version component is checked where no site hides it (modules/tests).
        self.assertEqual(r.headers.get("Server"), "Apache")
        httpd.assert_clean_log(allow=(r"check_lsa_error: LSA error \(40022\)",))


if __name__ == "__main__":
    unittest.main()
