"""The Debian packages: cpack builds them from this build, dpkg -x unpacks
them into a scratch root (never into the system), and Debian's Apache serves
the HTTPS site of deploy/ with the modules, the LSA library, diskrelay and
admissiond taken from that root. As root, dpkg also installs, a2enmod
enables and dpkg purges them for real in a chroot over an overlay of this
machine, whose changes land in a scratch folder; and cmake --install keeps
to its prefix."""

import ctypes
import functools
import hashlib
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest

import syslog_sink

# The overlay needs a mount namespace of its own, which ends with the test.
syslog_sink.reexec_private()
PRIVATE_MOUNTS = syslog_sink.private()

SOURCE = os.environ["ORVANE_SOURCE_DIR"]
BUILD = os.environ["ORVANE_BUILD_DIR"]

from admissiond import Admissiond, read_status  # noqa: E402
from client import curl  # noqa: E402
from httpd import TlsApache  # noqa: E402
from procs import Process  # noqa: E402
from realm import KDC  # noqa: E402
from site_config import CHUNK_PREFIX, LOGIN_URL, MODULES, NTLM_URL, site_conf  # noqa: E402
from tlsca import CA  # noqa: E402

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

# What each package holds and how each file is used: "conf" files are dpkg
# conffiles, "exe" files are executable, "elf" files are checked for their
# run path ("" for none); "links" are symbolic links and their targets. Every
# package has its copyright and changelog in /usr/share/doc/<package>.
LSA_SO = LSA_LIB + "/liblsaclient.so.0.1.0"
PACKAGES = [
    {"name": "orvane-lsaclient",
     "files": {LSA_SO: ("elf", ""),
               "/opt/likewise/etc/lsaclient.conf": ("conf",),
               "/usr/share/lintian/overrides/orvane-lsaclient": ("file",)},
     "links": {LSA_LIB + "/liblsaclient.so.0": "liblsaclient.so.0.1.0"},
     "depends": ["libkrb5-3"], "recommends": []},
    {"name": "libapache2-mod-auth-orvane",
     "files": {MODULE_DIR + "/mod_auth_orvane_form.so": ("elf", LSA_LIB),
               MODULE_DIR + "/mod_auth_orvane_gss.so": ("elf", ""),
               MODS_AVAILABLE + "/auth_orvane_form.load": ("conf",),
               MODS_AVAILABLE + "/auth_orvane_gss.load": ("conf",),
               "/usr/share/lintian/overrides/libapache2-mod-auth-orvane": ("file",)},
     "links": {},
     "depends": [f"orvane-lsaclient (= {VERSION})", "apache2", "libgssapi-krb5-2", "libapr1"],
     "recommends": ["orvane-gss-ntlmssp"]},
    {"name": "orvane-transfer",
     "files": {"/usr/lib/orvane/cgi-bin/diskrelay": ("exe", "elf", ""),
               "/usr/sbin/admissiond": ("exe", "elf", ""),
               "/usr/lib/systemd/system/admissiond.service": ("file",),
               "/usr/share/orvane/chunk_vars.lua": ("file",),
               "/usr/share/orvane/chunk-location.conf.in": ("file",),
               "/usr/share/orvane/site.conf.in": ("file",),
               "/usr/share/orvane/site-login.cgi": ("exe",),
               "/usr/share/orvane/site-whoami.cgi": ("exe",),
               "/usr/share/orvane/site_config.py": ("exe",),
               "/usr/share/orvane/chunk_location.py": ("file",),
               "/usr/share/orvane/templates.py": ("file",),
               "/usr/share/orvane/ntlm_client.py": ("exe",),
               "/usr/share/orvane/ntlm_openssl.cnf": ("file",),
               "/usr/share/man/man8/admissiond.8.gz": ("file",),
               "/usr/share/man/man8/orvane-site-config.8.gz": ("file",),
               "/usr/share/man/man1/orvane-ntlm-check.1.gz": ("file",),
               "/usr/share/doc/orvane-transfer/operations.md.gz": ("file",),
               "/usr/share/doc/orvane-transfer/configuration.md.gz": ("file",),
               "/usr/share/lintian/overrides/orvane-transfer": ("file",)},
     "links": {"/usr/sbin/orvane-site-config": "../share/orvane/site_config.py",
               "/usr/bin/orvane-ntlm-check": "../share/orvane/ntlm_client.py"},
     "depends": ["libc6", "python3"], "recommends": []},
]
# The patched NTLM mechanism is packaged from where scripts/deps installed it.
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True,
                           text=True, check=True).stdout.strip()
NTLMSSP_SO = f"/usr/lib/{MULTIARCH}/orvane-ntlmssp/gssntlmssp.so"
NTLMSSP_CONF = "/etc/gss/mech.d/orvane-ntlmssp.conf"
if os.path.exists(NTLMSSP_SO):
    BUILT_FROM = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "gss-ntlmssp"], capture_output=True,
                                text=True, check=True).stdout
    PACKAGES.append({"name": "orvane-gss-ntlmssp",
                     "files": {NTLMSSP_SO: ("elf", ""), NTLMSSP_CONF: ("conf",),
                               "/usr/share/lintian/overrides/orvane-gss-ntlmssp": ("file",)},
                     "links": {}, "depends": [f"gss-ntlmssp (= {BUILT_FROM})", "libwbclient0"], "recommends": []})
for row in PACKAGES:
    row["files"].update({f"/usr/share/doc/{row['name']}/{name}": ("file",)
                         for name in ("copyright", "changelog.Debian.gz")})

DEVICE = "3d0c7e52-9a41-4c1b-8f2e-6b5a4d3c2e1f"
DOMAIN, USER, PASSWORD = "ORVANE", "carol", "Pack4ged pass"


def run(argv, **kwargs):
    r = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if r.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} exited {r.returncode}:\n{r.stdout}{r.stderr}")
    return r.stdout


def elf_dynamic(path, tag):
    """A value of the ELF file's dynamic section (RUNPATH or RPATH, SONAME,
    NEEDED: all of them joined by ":"); "" when it has none."""
    out = run(["readelf", "-d", "-W", path])
    return ":".join(re.findall(r"\((?:%s)\)\s+[^\[]*\[([^\]]*)\]" % tag, out))


def changes(upper, skip):
    """What an overlay's upper folder holds that its lower one, /, does not:
    ["added PATH", "changed PATH", "removed PATH"], leaving out the paths in
    skip and anything below them. Folders only copied up are no change."""
    found = []
    for top, dirs, files in os.walk(upper):
        rel_top = os.path.relpath(top, upper)
        for name in sorted(dirs + files):
            rel = os.path.normpath(os.path.join(rel_top, name))
            if any(rel == s or rel.startswith(s + "/") for s in skip):
                continue
            path, lower = os.path.join(top, name), "/" + rel
            st = os.lstat(path)
            if stat.S_ISCHR(st.st_mode) and st.st_rdev == 0:   # a whiteout
                if os.path.lexists(lower):
                    found.append("removed " + lower)
            elif not os.path.lexists(lower):
                found.append("added " + lower)
            elif stat.S_ISLNK(st.st_mode):
                if not os.path.islink(lower) or os.readlink(path) != os.readlink(lower):
                    found.append("changed " + lower)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as a, open(lower, "rb") as b:
                    if a.read() != b.read():
                        found.append("changed " + lower)
    return found


# The administrator's install in docs/operations.md: the sh blocks of this
# section that a "<!-- test: ROLE -->" line precedes, run in order. ROLE says
# where: "server" (a shell in the server's folder, /root), "kdc" (on the
# KDC), "supervisor" (the admission daemon's command, kept running), "check-*"
# (on the server, their output asserted).
INSTALL_SECTION = "Installing from the packages"
INSTALL_ROLES = {"server", "kdc", "supervisor", "check-chunk", "check-login", "check-ntlm"}
DOC_DEVICE = "1b4e28ba-2fa1-4d3b-a3f5-ef19b5a7633b"
DOC_PASSWORD = "Alice-Pass-1"
# A root login's environment, not this test's.
ROOT_ENV = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root",
            "LANG": "C.UTF-8"}


def documented_install():
    """[(role, commands)] of the install section, in order."""
    with open(os.path.join(SOURCE, "docs", "operations.md"), encoding="utf-8") as f:
        text = f.read()
    start = text.index(f"\n## {INSTALL_SECTION}\n")
    end = text.find("\n## ", start + 1)
    section = text[start:end]
    blocks = re.findall(r"^<!-- test: (\S+) -->\n```sh\n(.*?)^```$", section, re.S | re.M)
    # A mark whose block no longer follows it would drop commands unseen.
    assert len(blocks) == section.count("<!-- test:"), "a test mark without its sh block below it"
    return blocks


LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000
PR_SET_CHILD_SUBREAPER = 36


def libc_call(name, *args):
    if getattr(LIBC, name)(*args) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, f"{name}: {os.strerror(errno)}")


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
                listing = [line.split(None, 5) for line in run(["dpkg-deb", "-c", deb]).splitlines()]
                files = {entry[5][1:] for entry in listing if entry[0][0] == "-"}
                self.assertEqual(files, set(row["files"]))
                links = dict(entry[5][1:].split(" -> ") for entry in listing if entry[0][0] == "l")
                self.assertEqual(links, row["links"])
                # A directory the package lists goes on purge, if nobody else lists it.
                self.assertNotIn("./opt/", [entry[5] for entry in listing])

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
                        self.assertEqual(elf_dynamic(self.in_root(path), "RUNPATH|RPATH"), use[-1], path)

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

    @unittest.skipUnless(shutil.which("lintian"), "needs lintian")
    def test_lintian_finds_nothing_unexplained(self):
        # Errors and warnings only; what the packages mean to do is overridden
        # with its reason in deploy/packaging/lintian/.
        r = subprocess.run(["lintian", "--fail-on", "none", *sorted(self.debs.values())],
                           capture_output=True, text=True, timeout=CPACK_TIMEOUT)
        self.assertEqual([l for l in r.stdout.splitlines() if l[:2] in ("E:", "W:")], [], r.stdout + r.stderr)

    def test_library_version_licence_and_changelog(self):
        self.assertEqual(elf_dynamic(self.in_root(LSA_SO), "SONAME"), "liblsaclient.so.0")
        needed = elf_dynamic(self.in_root(MODULE_DIR + "/mod_auth_orvane_form.so"), "NEEDED")
        self.assertIn("liblsaclient.so.0", needed.split(":"))
        # libc's security updates reach the program that parses what clients send.
        self.assertEqual(elf_dynamic(self.in_root("/usr/lib/orvane/cgi-bin/diskrelay"), "NEEDED"), "libc.so.6")
        changelog = os.path.join(SOURCE, "deploy", "packaging", "changelog")
        self.assertEqual(run(["dpkg-parsechangelog", "-l", changelog, "-S", "Version"]).strip(), VERSION)
        with open(os.path.join(SOURCE, "LICENSE"), encoding="utf-8") as f:
            self.assertIn("Apache License\n                           Version 2.0", f.read())
        with open(self.in_root("/usr/share/doc/orvane-transfer/copyright"), encoding="utf-8") as f:
            self.assertRegex(f.read(), r"(?m)^License: Apache-2\.0$")

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
        log_path = os.path.join(folder, "admissiond.log")
        proc = Process(args + ["--log", "stderr"], log_path)
        try:
            def answers():
                try:
                    return read_status(sock, timeout=1.0)
                except OSError:
                    return None
            status = proc.wait_ready(answers, 10)
        finally:
            returncode = proc.stop()
        with open(log_path, encoding="utf-8") as f:
            log = f.read()
        self.assertEqual(status, {"running": 0, "peak": 0, "admitted": 0, "denied": 0}, log)
        self.assertEqual(returncode, 0, log)
        self.assertIn("limit %s, retry %s s" % (env["ADMISSION_LIMIT"], env["ADMISSION_RETRY"]), log)

    def overlay(self):
        """A chroot over an overlay of this machine, whose upper folder takes
        every change; /opt is empty there, as on a fresh machine, and /run as
        on a machine just booted. Services are never started by dpkg
        (policy-rc.d), and the mounts end with this test's namespace. The
        packages lie in /tmp/orvane-debs. Returns (root, upper, setup): setup
        lists what the overlay itself added."""
        work = tempfile.mkdtemp(prefix="packages-overlay-")
        mount = lambda *args: run(["mount", *args])
        mount("-t", "tmpfs", "none", work)
        # Never rmtree here: /dev below the root is this machine's own.
        self.addCleanup(os.rmdir, work)
        self.addCleanup(subprocess.run, ["umount", "-R", "-l", work])
        upper, scratch, root = (os.path.join(work, d) for d in ("upper", "work", "root"))
        for d in (upper, scratch, root, upper + "/opt"):
            os.mkdir(d)
        os.setxattr(upper + "/opt", "trusted.overlay.opaque", b"y")
        mount("-t", "overlay", "overlay", "-o", f"lowerdir=/,upperdir={upper},workdir={scratch}", root)
        mount("--rbind", "/dev", root + "/dev")
        mount("-t", "proc", "proc", root + "/proc")
        # /run as on a machine just booted: empty but for /run/lock, and not
        # this machine's, whose state (Apache run since boot or not) would
        # otherwise decide what apache2ctl adds there.
        mount("-t", "tmpfs", "-o", "mode=0755", "tmpfs", root + "/run")
        os.mkdir(root + "/run/lock")
        os.chmod(root + "/run/lock", 0o1777)
        with open(root + "/usr/sbin/policy-rc.d", "w", encoding="ascii") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod(root + "/usr/sbin/policy-rc.d", 0o755)
        os.makedirs(root + "/tmp/orvane-debs")
        for path in self.debs.values():
            shutil.copy(path, root + "/tmp/orvane-debs")
        return root, upper, ["opt", "usr/sbin/policy-rc.d", "tmp/orvane-debs", "dev", "proc", "run"]

    @unittest.skipUnless(PRIVATE_MOUNTS, "needs root for a private mount namespace")
    def test_install_enable_purge(self):
        # dpkg, its maintainer scripts and a2enmod for real, in the overlay.
        root, upper, setup = self.overlay()

        def chroot(*argv):
            r = subprocess.run(["chroot", root, *argv], capture_output=True, text=True, timeout=120)
            self.assertEqual(r.returncode, 0, f"{' '.join(argv)}:\n{r.stdout}{r.stderr}")
            return r.stdout + r.stderr

        debs = ["/tmp/orvane-debs/" + os.path.basename(p) for p in self.debs.values()]
        chroot("dpkg", "-i", *debs)
        chroot("a2enmod", "-q", "auth_orvane_form", "auth_orvane_gss")
        # Installed over itself, as an upgrade is: the maintainer scripts take
        # their upgrade paths (Apache's reload is refused here by policy-rc.d)
        # and leave the modules enabled.
        chroot("dpkg", "-i", *debs)
        chroot("a2query", "-m", "auth_orvane_form")
        chroot("a2query", "-m", "auth_orvane_gss")
        dump = chroot("apache2ctl", "-t", "-D", "DUMP_MODULES")
        for ident in ("auth_orvane_form_module", "auth_orvane_gss_module"):
            self.assertIn(f" {ident} (shared)", dump)
        # The packaged renderer, away from any source tree.
        values = {name: "/x" for name in ("ADM_CTRL_PATH", "CHUNK_PREFIX", "CHUNK_VARS", "DEVICE_CA",
                                           "DISKRELAY", "IMAGE_DIR", "LOGIN_APP", "LOGIN_URL", "NTLM_APP",
                                           "NTLM_URL", "SERVER_CERT", "SERVER_KEY")}
        values.update(SITE_ADDRESS="*:443", SERVER_NAME="relay.example.test", LOGIN_DOMAIN="EXAMPLE",
                      ACCESS_LOG="/var/log/apache2/orvane-access.log")
        names = re.search(r"^names: (.*)$", chroot("orvane-site-config", "--help"), re.M).group(1)
        self.assertEqual(sorted(values), names.split())
        rendered = chroot("orvane-site-config", "/tmp/orvane-site", *(f"{k}={v}" for k, v in values.items()))
        self.assertEqual(rendered.split(), ["/tmp/orvane-site/chunk-location.conf", "/tmp/orvane-site/site.conf"])
        shutil.rmtree(root + "/tmp/orvane-site")

        # Without systemd, removing the package stops whatever runs its
        # daemon's program (here a shell's, as a supervisor's would).
        daemon = Process(["chroot", root, "/usr/sbin/admissiond", "--socket", "/tmp/adm.sock", "--limit", "1",
                          "--retry", "5", "--log", "stderr"], os.path.join(self.work, "admissiond-purge.log"))
        self.addCleanup(daemon.stop, signal.SIGKILL)
        self.assertTrue(daemon.wait_ready(lambda: os.path.exists(root + "/tmp/adm.sock"), 10))
        purge = chroot("dpkg", "--purge", *reversed([p["name"] for p in PACKAGES]))
        self.assertEqual(daemon.wait(10), 0)
        self.assertNotIn("not removed", purge)
        self.assertEqual(os.listdir(root + "/opt"), [])
        # dpkg's own records of what it did stay, as on any machine.
        records = ["var/log/dpkg.log", "var/lib/dpkg/status-old", "var/lib/dpkg/lock",
                   "var/lib/dpkg/lock-frontend", "var/lib/dpkg/triggers/Lock", "var/lib/dpkg/updates"]
        # So does man-db's index, which its trigger brings up to date.
        records.append("var/cache/man")
        # So do the state folders of Debian's Apache helper, once emptied.
        state = "var/lib/apache2/module"
        records += [f"{state}/{d}" for d in ("enabled_by_admin", "disabled_by_admin", "disabled_by_maint")
                    if os.path.isdir(f"{upper}/{state}/{d}") and not os.listdir(f"{upper}/{state}/{d}")]
        # The patched mechanism that scripts/deps put on this machine goes
        # with the package that holds the same files.
        records += [p[1:] for p in (os.path.dirname(NTLMSSP_SO), NTLMSSP_CONF) if os.path.exists(p)]
        # apache2ctl makes its run folders where the machine has none yet
        # (its Apache never started since boot).
        records += [d for d in ("run/apache2", "run/lock/apache2") if not os.path.exists("/" + d)]
        self.assertEqual(changes(upper, setup + records), [])

    def test_cmake_install_keeps_to_its_prefix(self):
        # Everything under the prefix but the LSA client's own /opt/likewise;
        # an edited lsaclient.conf survives the next install.
        stage = tempfile.mkdtemp(prefix="stage-", dir=self.work)
        env = dict(os.environ, DESTDIR=stage)
        install = ["cmake", "--install", BUILD, "--prefix", "/srv/orvane"]
        run(install, env=env)
        for top, _, files in os.walk(stage):
            for name in files:
                path = os.path.join(top, name)[len(stage):]
                self.assertRegex(path, r"^/(srv/orvane|opt/likewise)/", path)
        self.assertEqual(load_lines(stage + "/srv/orvane/etc/apache2/mods-available/auth_orvane_gss.load"),
                         [("auth_orvane_gss_module", "/srv/orvane/lib/apache2/modules/mod_auth_orvane_gss.so")])
        conf = stage + "/opt/likewise/etc/lsaclient.conf"
        with open(conf, "a", encoding="utf-8") as f:
            f.write("EXAMPLE = AD.EXAMPLE.COM\n")
        self.assertIn("Keeping: " + conf, run(install, env=env))
        with open(conf, encoding="utf-8") as f:
            self.assertTrue(f.read().endswith("\nEXAMPLE = AD.EXAMPLE.COM\n"))
        # The packages' build needs no GoogleTest without the tests.
        run(["cmake", "-S", SOURCE, "-B", os.path.join(self.work, "no-tests"), "-DBUILD_TESTING=OFF",
             "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"], timeout=CPACK_TIMEOUT)

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
        for path in [p for _, p in ours] + [self.in_root(LSA_SO)]:
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
            {"name": "right password", "password": PASSWORD, "status": 303, "says": "(result 1)"},
            {"name": "wrong password", "password": "not " + PASSWORD, "status": 303, "says": "(result 0)"},
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


    def own_network(self):
        """Moves this thread, and so whatever it starts, into a network
        namespace of its own with loopback up until the test ends: Apache
        takes ports 80 and 443 there as on a server of its own. Daemons that
        leave their parent (Apache) become this process's children, to be
        reaped."""
        home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        self.addCleanup(os.close, home)
        libc_call("unshare", CLONE_NEWNET)
        self.addCleanup(libc_call, "setns", home, CLONE_NEWNET)
        run(["ip", "link", "set", "lo", "up"])
        libc_call("prctl", PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        self.addCleanup(libc_call, "prctl", PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)

    @unittest.skipUnless(PRIVATE_MOUNTS, "needs root for private mount and network namespaces")
    def test_documented_install_works(self):
        # docs/operations.md's install, command for command, on a copy of this
        # machine with the packages not installed and nothing of ours in /opt,
        # /etc or /run; then its checks: a chunk round trip, a form login and
        # an NTLM sign-on.
        self.own_network()
        root, _, _ = self.overlay()
        # Modules this machine enabled that a new server has not: Debian's
        # mod_auth_gssapi (a benchmark's peer) brings OpenSSL in before ours.
        for module in ("auth_gssapi",):
            if os.path.exists(f"{root}/etc/apache2/mods-enabled/{module}.load"):
                run(["chroot", root, "a2dismod", "-q", "-f", module])
        kdc = KDC(domain="EXAMPLE")
        self.addCleanup(kdc.stop)
        kdc.start()
        arch = run(["dpkg", "--print-architecture"]).strip()
        # What the copy cannot be, and what it is instead: the example names
        # become the test's own.
        names = [("EXAMPLE.COM", kdc.realm),                  # the test KDC's realm,
                 ("kdc.example.com", f"127.0.0.1:{kdc.port}"),  # on a port of its own;
                 ("relay.example.com", "localhost"),           # the name the test CA gives servers
                 ("_amd64.deb", f"_{arch}.deb")]
        sub = lambda text: functools.reduce(lambda t, n: t.replace(*n), names, text)
        # What the administrator brings into the server's folder: the packages
        # and the files of their CA.
        home = root + "/root"
        for path in self.debs.values():
            shutil.copy(path, home)
        ca = CA(tempfile.mkdtemp(prefix="docs-ca-", dir=self.work))
        server = ca.issue("server", "localhost", server=True)
        device = ca.issue("device", DOC_DEVICE)
        brought = {"relay.example.com.pem": server.cert, "relay.example.com.key": server.key,
                   "device-ca.pem": ca.cert, "ca.pem": ca.cert, "device.pem": device.cert, "device.key": device.key}
        for name, path in brought.items():
            shutil.copy(path, os.path.join(home, sub(name)))
        # Files the KDC's commands make, which the docs send to the server (scp).
        to_server = ["relay.keytab"]
        kdc_home = tempfile.mkdtemp(prefix="docs-kdc-", dir=self.work)

        def shell(role, script, chroot=(), **kwargs):
            # On the server, in its folder, as root logged in there.
            argv = [*chroot, "sh", "-e", "-c", ("cd /root\n" if chroot else "") + sub(script)]
            r = subprocess.run(argv, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL,
                               **kwargs)
            if r.returncode != 0:
                error_log = root + "/var/log/apache2/error.log"
                if chroot and os.path.exists(error_log):
                    with open(error_log, encoding="utf-8", errors="replace") as f:
                        r.stderr += "\nerror.log:\n" + f.read()[-4000:]
                self.fail(f"{role} block:\n{sub(script)}\n{r.stdout}{r.stderr}")
            return r.stdout

        def on_server(role, script):
            return shell(role, script, chroot=("chroot", root), env=ROOT_ENV)

        def stop_apache():
            pid_file = root + "/run/apache2/apache2.pid"
            if os.path.exists(pid_file):
                with open(pid_file, encoding="ascii") as f:
                    pid = int(f.read())
                on_server("stop", "apache2ctl stop")
                # Ours to reap, through own_network.
                for _ in range(200):
                    if os.waitpid(pid, os.WNOHANG)[0] == pid:
                        return
                    time.sleep(0.05)
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                self.fail("apache2ctl stop did not stop Apache within 10 s")

        def nothing_left():
            left = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if os.readlink(f"/proc/{pid}/root") == root:
                        left.append(pid)
                except OSError:
                    pass   # gone, or a kernel thread
            for pid in left:
                os.kill(int(pid), signal.SIGKILL)
            self.assertEqual(left, [], "left running in the chroot")
        self.addCleanup(nothing_left)

        blocks = documented_install()
        self.assertEqual({role for role, _ in blocks}, INSTALL_ROLES)
        out = {}
        for role, script in blocks:
            if role == "kdc":
                shell(role, script, cwd=kdc_home, env=dict(os.environ, **kdc.env))
                for name in to_server:
                    if os.path.exists(os.path.join(kdc_home, name)):
                        shutil.move(os.path.join(kdc_home, name), home)
            elif role == "supervisor":
                log = os.path.join(self.work, "docs-admissiond.log")
                daemon = Process(["chroot", root, "sh", "-e", "-c", sub(script)], log, env=ROOT_ENV)
                self.addCleanup(daemon.stop)
                socket_path = root + "/run/admissiond/admission.sock"
                if daemon.wait_ready(lambda: os.path.exists(socket_path), 10) is not True:
                    with open(log, encoding="utf-8", errors="replace") as f:
                        self.fail(f"{role} block:\n{sub(script)}\n{f.read()}")
            else:
                if "apache2ctl start" in script:
                    self.addCleanup(stop_apache)
                out[role] = on_server(role, script)

        # After what apt says:
        self.assertEqual(out["check-chunk"].splitlines()[-3:], ["200", "206", "same"], out["check-chunk"])
        self.assertEqual(out["check-login"], "EXAMPLE\\alice: authenticated (result 1)\n")
        login = [s for r, s in blocks if r == "check-login"][0]
        wrong = on_server("check-login", login.replace(DOC_PASSWORD, "Not-" + DOC_PASSWORD))
        self.assertEqual(wrong, "EXAMPLE\\alice: wrong user name or password (result 0)\n")
        ntlm = json.loads(out["check-ntlm"][out["check-ntlm"].index("[\n"):])
        self.assertEqual([r["legs"] for r in ntlm], [[401, 401, 200]], ntlm)
        self.assertIn("REMOTE_USER=EXAMPLE\\alice\n", ntlm[0]["body"])
        self.assertEqual(daemon.stop(), 0)
        # The logs the docs name: nothing at warn or worse in Apache's, the
        # site's requests in its own.
        with open(root + "/var/log/apache2/error.log", encoding="utf-8", errors="replace") as f:
            levels = [(m.group("level"), line) for line in f.read().splitlines()
                      if (m := TlsApache.LOG_LINE.match(line))]
        self.assertEqual([line for level, line in levels if level in TlsApache.BAD_LEVELS], [])
        with open(root + "/var/log/apache2/orvane-access.log", encoding="utf-8") as f:
            self.assertRegex(f.read(), rf'"POST /chunks/{DOC_DEVICE}/check.img\?start=0 HTTP/1.1" 200 ')


if __name__ == "__main__":
    unittest.main()
