"""The Apache of the tests: deploy/httpd.py's server (its text tells the
constructor arguments and members; deploy/sanitizers.py runs it from a
sanitizer build) with a random MALLOC_PERTURB_ to bring memory misuse in our
modules to light and a verdict on the error log; the client is client.py's.

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

assert_clean_log(allow) counts warn and worse, and also the unprefixed
lines that CGI programs write to standard error. ORVANE_KEEP=1 keeps the
roots (configuration and logs) after stop() for a look afterwards.

TlsApache is the same over HTTPS:

    ca = CA(folder)                                   # throw-away, openssl
    device = ca.issue("device-1", "2f1c...-device-uuid")
    httpd = TlsApache("site", ca=ca, client_cert=device, modules=(...))
    curl(httpd, "/x")                  # --cacert and the device certificate
    curl(httpd, "/x", cert=None)       # no client certificate
    curl(httpd, "/x", cert=other)      # another one
"""

import random
import re

import httpd
from client import curl  # noqa: F401
from httpd import ApacheError, www_ids  # noqa: F401
from procs import port_in_use  # noqa: F401
from tlsca import CA  # noqa: F401


class Apache(httpd.Apache):
    def server_env(self):
        return {"MALLOC_PERTURB_": str(random.randint(1, 255)), **super().server_env()}

    def assert_clean_log(self, allow=()):
        """Raises AssertionError listing every error/warning line that no regex in
        `allow` (searched anywhere in the line) accounts for."""
        patterns = [re.compile(p) for p in allow]
        bad = [line for line in self.error_lines()
               if not any(p.search(line) for p in patterns)]
        if bad:
            raise AssertionError(f"{self.name}: unexpected lines in the error log:\n" + "\n".join(bad))


class TlsApache(Apache, httpd.TlsApache):
    pass
