"""liblsaclient against a real MIT KDC: each answer of the KDC gives its
Likewise error number, through the lsa_auth tool (one connection per run, as
in a server process)."""

import os
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from realm import KDC, SilentKdc

LSA_AUTH = os.environ.get("LSA_AUTH") or os.path.join(os.environ["ORVANE_BUILD_DIR"], "likewise/tests/lsa_auth")

OK, NO_SUCH_USER, MISMATCH, EXPIRED = 0, 40017, 40022, 40024
INVALID_PARAMETER, DISABLED, ACCOUNT_EXPIRED = 40041, 40055, 40056
OFFLINE, INVALID_CONFIG, KRB5_FAILED = 40118, 40120, 40122
NOT_LISTED, UNVERIFIED = 40123, 40124

# Users of the realm: name (kadmin syntax), password, add_user options.
USERS = [
    ("alice", "pw-alice-81", {}),
    ("alice/admin", "pw-admin-82", {}),
    ("slash\\/name", "pw-slash-83", {}),
    ("at\\@name", "pw-at-84", {}),
    ("expired", "pw-expired-85", {"expired_password": True}),
    ("disabled", "pw-disabled-86", {"locked": True}),
    ("gone", "pw-gone-87", {"expired_account": True}),
    ("nopreauth", "pw-nopre-88", {"preauth": False}),
    ("lockme", "pw-lockme-89", {"lockout": True}),
]
PASSWORDS = [password for _, password, _ in USERS]

# One connection, in this order (the lockout rows count on it): row name,
# login name, password, expected error number.
AUTH_ROWS = [
    ("right password", "ORVANE\\alice", "pw-alice-81", OK),
    ("wrong password", "ORVANE\\alice", "pw-alice-8", MISMATCH),
    ("wrong password, no pre-authentication", "ORVANE\\nopreauth", "wrong-88", MISMATCH),
    ("right password, no pre-authentication", "ORVANE\\nopreauth", "pw-nopre-88", OK),
    ("unknown user", "ORVANE\\nobody", "pw-alice-81", NO_SUCH_USER),
    ("expired password, right", "ORVANE\\expired", "pw-expired-85", EXPIRED),
    ("expired password, wrong", "ORVANE\\expired", "pw-expired-8", MISMATCH),
    ("disabled account, right password", "ORVANE\\disabled", "pw-disabled-86", DISABLED),
    ("disabled account, wrong password", "ORVANE\\disabled", "wrong", DISABLED),
    ("expired account", "ORVANE\\gone", "pw-gone-87", ACCOUNT_EXPIRED),
    ("pre-authentication by hardware", "ORVANE\\hardware", "pw-hw-90", KRB5_FAILED),
    ("lockout: wrong 1", "ORVANE\\lockme", "x1", MISMATCH),
    ("lockout: wrong 2", "ORVANE\\lockme", "x2", MISMATCH),
    ("lockout: wrong 3", "ORVANE\\lockme", "x3", MISMATCH),
    ("lockout: right password once locked", "ORVANE\\lockme", "pw-lockme-89", DISABLED),
    # The user name is one component: '/' and '@' name neither an instance
    # nor a realm.
    ("'/' stays in the name", "ORVANE\\slash/name", "pw-slash-83", OK),
    ("'/' is no instance", "ORVANE\\alice/admin", "pw-admin-82", NO_SUCH_USER),
    ("'@' stays in the name", "ORVANE\\at@name", "pw-at-84", OK),
    ("'@' is no realm", "ORVANE\\alice@OTHER.TEST", "pw-alice-81", NO_SUCH_USER),
    ("second backslash stays in the name", "ORVANE\\alice\\x", "pw-alice-81", NO_SUCH_USER),
    ("empty user name", "ORVANE\\", "pw-alice-81", NO_SUCH_USER),
    ("empty password", "ORVANE\\alice", "", MISMATCH),
    ("no backslash", "alice", "pw-alice-81", INVALID_PARAMETER),
    ("empty domain", "\\alice", "pw-alice-81", INVALID_PARAMETER),
    ("blank in the domain", "OR VANE\\alice", "pw-alice-81", INVALID_PARAMETER),
    # Domains: listed (any case); any other is refused, even one that names
    # the realm.
    ("listed domain, other case", "orvane\\alice", "pw-alice-81", OK),
    ("unlisted domain naming the realm", "{realm_lower}\\alice", "pw-alice-81", NOT_LISTED),
    ("unlisted domain, no such realm", "OTHER\\alice", "pw-alice-81", NOT_LISTED),
]


def run_lsa_auth(env, pairs, log_level=None):
    """Runs lsa_auth over (login, password) pairs; returns (lines, stderr)."""
    argv = [LSA_AUTH] + (["--log", str(log_level)] if log_level is not None else [])
    stdin = "".join("%s\n%s\n" % pair for pair in pairs)
    done = subprocess.run(argv, input=stdin, env=env, capture_output=True, text=True, timeout=120)
    return done.stdout.splitlines(), done.stderr


def der(tag, *parts):
    body = b"".join(parts)
    n = len(body)
    length = bytes([n]) if n < 128 else bytes([0x81, n]) if n < 256 else bytes([0x82]) + n.to_bytes(2, "big")
    return bytes([tag]) + length + body


def der_int(value):
    return der(0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True))


def pa_data(kind, value):
    """PA-DATA, which has the shape of Windows' KERB-ERROR-DATA."""
    return der(0x30, der(0xa1, der_int(kind)), der(0xa2, der(0x04, value)))


def ntstatus(status):
    """KERB-EXT-ERROR: the status, reserved, flags; little endian."""
    return pa_data(3, struct.pack("<III", status, 0, 1))


def krb_error(code, realm, e_data=None):
    """A KRB-ERROR from the realm's KDC, with e-data when given."""
    name = der(0x30, der(0xa0, der_int(2)), der(0xa1, der(0x30, der(0x1b, b"krbtgt"), der(0x1b, realm.encode()))))
    fields = [der(0xa0, der_int(5)), der(0xa1, der_int(30)), der(0xa4, der(0x18, b"20260101000000Z")),
              der(0xa5, der_int(0)), der(0xa6, der_int(code)), der(0xa9, der(0x1b, realm.encode())),
              der(0xaa, name)]
    if e_data is not None:
        fields.append(der(0xac, der(0x04, e_data)))
    return der(0x7e, der(0x30, *fields))


class RefusingKdc:
    """A loopback KDC that answers every TCP request with one KRB-ERROR."""

    def __init__(self):
        self.reply = b""
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                head = conn.recv(4, socket.MSG_WAITALL)
                if len(head) == 4:
                    conn.recv(struct.unpack(">I", head)[0], socket.MSG_WAITALL)
                    conn.sendall(struct.pack(">I", len(self.reply)) + self.reply)

    def close(self):
        self.sock.close()


class LsaAgainstKdc(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.kdc = KDC().start()
        for name, password, options in USERS:
            cls.kdc.add_user(name, password, **options)
        cls.kdc.kadmin("add_principal", "+requires_preauth", "+requires_hwauth", "-pw", "pw-hw-90",
                       "hardware@" + cls.kdc.realm)
        cls.env = dict(os.environ, **cls.kdc.env)

    @classmethod
    def tearDownClass(cls):
        cls.kdc.stop()

    def file(self, name, text):
        path = self.kdc.path(name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_kdc_answers(self):
        realm_lower = self.kdc.realm.lower()
        pairs = [(login.format(realm_lower=realm_lower), password) for _, login, password, _ in AUTH_ROWS]
        lines, log = run_lsa_auth(self.env, pairs, log_level=6)
        self.assertEqual(len(lines), len(AUTH_ROWS), log)
        for (name, _, _, expected), line in zip(AUTH_ROWS, lines):
            with self.subTest(name):
                self.assertEqual(int(line.split()[0]), expected, line)
        # The debug log names every user, never a password.
        for password in PASSWORDS + [p for _, _, p, _ in AUTH_ROWS if p]:
            self.assertNotIn(password, log)
        self.assertIn("slash\\/name@%s: 0 (LW_ERROR_SUCCESS)" % self.kdc.realm, log)

    def test_configurations(self):
        # Row: name, {environment changes, "{dir}" for the KDC's directory},
        # files to write first, expected number ("open N" when the connection
        # cannot be opened).
        dead = self.kdc.path("krb5.conf.dead")
        with open(self.kdc.path("krb5.conf")) as f:
            krb5_conf = f.read()
        rows = [
            ("mapped domain", {}, {}, "0"),
            ("domain not listed", {"LSACLIENT_CONF": "{dir}/empty.conf"}, {"empty.conf": "# none\n"}, "40123"),
            ("mapping elsewhere in the file",
             {"LSACLIENT_CONF": "{dir}/more.conf"},
             {"more.conf": "\n# domains\nOTHER = OTHER.TEST\n\t orvane =  %s \r\n" % self.kdc.realm}, "0"),
            ("no KDC listening", {"KRB5_CONFIG": dead},
             {"krb5.conf.dead": krb5_conf.replace(":%d\n" % self.kdc.port, ":%d\n" % closed_port())}, "40118"),
            ("no krb5.conf: the realm has no KDC", {"KRB5_CONFIG": "{dir}/absent.conf"}, {}, "40125"),
            ("named configuration missing", {"LSACLIENT_CONF": "{dir}/missing.conf"}, {}, "open 40120"),
            ("configuration line without '='", {"LSACLIENT_CONF": "{dir}/bad.conf"}, {"bad.conf": "ORVANE\n"},
             "open 40120"),
            ("configuration realm with a blank", {"LSACLIENT_CONF": "{dir}/bad2.conf"},
             {"bad2.conf": "ORVANE = A B\n"}, "open 40120"),
            ("malformed krb5.conf", {"KRB5_CONFIG": "{dir}/broken.conf"},
             {"broken.conf": "[libdefaults\n"}, "open 40122"),
        ]
        for name, changes, files, expected in rows:
            with self.subTest(name):
                for file_name, text in files.items():
                    self.file(file_name, text)
                env = dict(self.env)
                env.update({k: v.format(dir=self.kdc.dir) for k, v in changes.items()})
                lines, log = run_lsa_auth(env, [("ORVANE\\alice", "pw-alice-81")], log_level=1)
                self.assertEqual(len(lines), 1, log)
                self.assertEqual(lines[0].rsplit(" ", 1)[0], expected, log)
                self.assertNotIn("pw-alice-81", log)

    def test_who_answers_for_the_realm(self):
        # Only the realm's own KDC vouches for a password once the keytab is
        # configured; an unlisted domain sends nothing, even to a KDC listed
        # for its name; a KDC that never answers costs kdc_timeout. Each row
        # runs its pair twice on one connection: the warning about unverified
        # replies comes once.
        timeout = 1
        with KDC(realm=self.kdc.realm) as rogue, SilentKdc() as silent, SilentKdc() as stray:
            rogue.add_user("alice", "pw-rogue-92")
            self.kdc.add_krb5_conf(silent.realm_conf("SILENT.TEST") + stray.realm_conf("STRAY"))
            config = "ORVANE = %s%s\nSILENT = SILENT.TEST\nkdc_timeout = %d\n"
            verified = self.file("verified.conf", config % (self.kdc.realm, " " + self.kdc.keytab, timeout))
            unverified = self.file("unverified.conf", config % (self.kdc.realm, "", timeout))
            # Legend: kdc is whose krb5.conf (KDC addresses) the library reads.
            rows = [
                ("the realm's KDC, verified", self.kdc, verified, "ORVANE\\alice", "pw-alice-81", OK),
                ("another KDC for the realm, verified", rogue, verified, "ORVANE\\alice", "pw-rogue-92", UNVERIFIED),
                ("another KDC for the realm, not verified", rogue, unverified, "ORVANE\\alice", "pw-rogue-92", OK),
                ("unlisted domain that krb5.conf has a KDC for", self.kdc, verified, "STRAY\\alice", "pw-alice-81",
                 NOT_LISTED),
                ("KDC that never answers", self.kdc, unverified, "SILENT\\alice", "pw-alice-81", OFFLINE),
            ]
            for name, kdc, conf, login, password, expected in rows:
                with self.subTest(name):
                    env = dict(self.env, KRB5_CONFIG=kdc.path("krb5.conf"), LSACLIENT_CONF=conf)
                    started = time.monotonic()
                    lines, log = run_lsa_auth(env, [(login, password)] * 2)
                    elapsed = time.monotonic() - started
                    self.assertEqual([int(line.split()[0]) for line in lines], [expected] * 2, log)
                    self.assertEqual(log.count("are not verified"), 1 if conf == unverified else 0, log)
                    self.assertNotIn(password, log)
            self.assertEqual(stray.contacts, 0)
            self.assertGreaterEqual(silent.contacts, 2)
            self.assertLess(elapsed, 2 * timeout + 3)


class KdcFixture(unittest.TestCase):
    """The fixture keeps each realm on a port of its own and can take the
    domain offline and back."""

    def test_second_kdc_on_a_taken_port_moves(self):
        with KDC() as first, KDC(port=first.port) as second:
            self.assertNotEqual(second.port, first.port)
            for kdc in (first, second):
                kdc.add_user("carol", "pw-carol-" + kdc.realm)
            for kdc in (first, second):
                lines, log = run_lsa_auth(dict(os.environ, **kdc.env), [("ORVANE\\carol", "pw-carol-" + kdc.realm)])
                self.assertEqual(lines, ["0 LW_ERROR_SUCCESS"], log)
            directories = [first.dir, second.dir]
        for path in directories:
            self.assertFalse(os.path.exists(path))

    def test_domain_offline_and_back(self):
        with KDC() as kdc:
            kdc.add_user("dave", "pw-dave-91")
            env = dict(os.environ, **kdc.env)
            pair = [("ORVANE\\dave", "pw-dave-91")]
            for step, expected in (("up", "0"), ("down", "40118"), ("up again", "0")):
                with self.subTest(step):
                    if step == "down":
                        kdc.stop_kdc()
                    elif step == "up again":
                        kdc.start_kdc()
                    lines, log = run_lsa_auth(env, pair)
                    self.assertEqual(lines[0].split()[0], expected, log)
        self.assertIsNone(kdc.proc)


class WindowsErrorData(unittest.TestCase):
    def test_ntstatus_in_the_error(self):
        # A Windows domain's KDC tells disabled, locked and expired accounts
        # apart only by the NTSTATUS in the error's e-data: one KERB-ERROR-
        # DATA, or PA-PW-SALT in a METHOD-DATA (as Samba sends it). Anything
        # else there leaves the Kerberos code to decide.
        revoked, key_expired = 18, 23
        etype_info2 = pa_data(19, der(0x30, der(0x30, der(0xa0, der_int(18)))))
        rows = [
            ("KERB-ERROR-DATA, account expired", revoked, ntstatus(0xC0000193), ACCOUNT_EXPIRED),
            ("METHOD-DATA, account disabled", revoked, der(0x30, etype_info2, ntstatus(0xC0000072)), DISABLED),
            ("METHOD-DATA, account locked out", revoked, der(0x30, ntstatus(0xC0000234)), DISABLED),
            ("password must change", key_expired, ntstatus(0xC0000224), EXPIRED),
            ("no e-data", revoked, None, DISABLED),
            ("no e-data, password expired: the right password is not known", key_expired, None, MISMATCH),
            ("a real salt in PA-PW-SALT", revoked, der(0x30, pa_data(3, b"WINDOWS.TESTalice")), DISABLED),
            ("a status of no account state", revoked, ntstatus(0xC000006F), DISABLED),
            ("cut short", revoked, ntstatus(0xC0000193)[:-2], DISABLED),
        ]
        kdc = RefusingKdc()
        self.addCleanup(kdc.close)
        folder = self.enterContext(tempfile.TemporaryDirectory(prefix="lsa-windows-"))
        conf = {"krb5.conf": "[realms]\n    WINDOWS.TEST = {\n        kdc = 127.0.0.1:%d\n    }\n" % kdc.port,
                "lsaclient.conf": "WINDOWS = WINDOWS.TEST\nkdc_timeout = 2\n"}
        for name, text in conf.items():
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        env = dict(os.environ, KRB5_CONFIG=os.path.join(folder, "krb5.conf"),
                   LSACLIENT_CONF=os.path.join(folder, "lsaclient.conf"))
        for name, code, e_data, expected in rows:
            with self.subTest(name):
                kdc.reply = krb_error(code, "WINDOWS.TEST", e_data)
                lines, log = run_lsa_auth(env, [("WINDOWS\\alice", "pw-windows-93")])
                self.assertEqual([int(line.split()[0]) for line in lines], [expected], log)


def closed_port():
    """A loopback port that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


if __name__ == "__main__":
    unittest.main()
