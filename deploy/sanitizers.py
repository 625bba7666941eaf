"""What our modules from a sanitizer build need from the Apache that loads
them (httpd.py, for scripts/serve and the tests): the sanitizer options of
this process handed to the server and its CGI programs and, when
ORVANE_HTTPD_PRELOAD names the sanitizer runtime (CMake sets it for the
tests of sanitizer builds), that runtime preloaded into httpd, which is not
instrumented itself, with the leak suppressions for httpd's own allocations
(httpd_lsan.supp)."""

import os
import shutil

SANITIZER_VARS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "MSAN_OPTIONS", "TSAN_OPTIONS")
PRELOAD_VAR = "ORVANE_HTTPD_PRELOAD"
SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "httpd_lsan.supp")


def server_env(env, conf_dir):
    """env with the sanitizer plumbing added; what env sets already stays."""
    env = dict(env)
    for var in SANITIZER_VARS:
        if var in os.environ:
            env.setdefault(var, os.environ[var])
    if os.environ.get(PRELOAD_VAR):
        env["LD_PRELOAD"] = " ".join(filter(None, (os.environ[PRELOAD_VAR], env.get("LD_PRELOAD"))))
        # The children run as www-data, which may not reach the checkout.
        supp = os.path.join(conf_dir, "httpd_lsan.supp")
        shutil.copyfile(SUPPRESSIONS, supp)
        os.chmod(supp, 0o644)
        env["LSAN_OPTIONS"] = ":".join(filter(None, (env.get("LSAN_OPTIONS"), "suppressions=" + supp,
                                                     "print_suppressions=0")))
    return env


def passed(env, names):
    """The names for PassEnv: the sanitizer options in env first, then names."""
    first = [v for v in SANITIZER_VARS if v in env]
    return first + [v for v in names if v not in first]
