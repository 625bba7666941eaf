#!/usr/bin/python3
"""A real NTLM client (requests-ntlm), for the command scripts/serve prints
and for the end-to-end tests.

    ntlm_client.py DOMAIN\\user password URL...

Fetches the URLs in turn over one session and prints, as JSON, for each the
statuses of its legs, the last answer's challenge and result code headers and
its body. Exits with 1 when a sign-on failed (an answer other than 2xx).
NTLM needs MD4, from OpenSSL's legacy provider: the script loads it through
ntlm_openssl.cnf beside it unless OPENSSL_CONF names another configuration.
For HTTPS, REQUESTS_CA_BUNDLE names the CA certificates to trust. Installed
by the packages as orvane-ntlm-check (needs python3-requests-ntlm)."""

import json
import os
import sys

# MD4 before OpenSSL starts, which the first import of requests does: the
# legacy provider through the configuration beside this file, unless the
# caller names another.
os.environ.setdefault("OPENSSL_CONF", os.path.join(os.path.dirname(os.path.realpath(__file__)),
                                                   "ntlm_openssl.cnf"))

import requests  # noqa: E402
from requests_ntlm import HttpNtlmAuth  # noqa: E402


def main():
    args = sys.argv[1:]
    if args[:1] in (["-h"], ["--help"]):
        print(__doc__)
        return 0
    if len(args) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    user, password, *urls = args
    results = []
    with requests.Session() as session:
        session.trust_env = False
        session.verify = os.environ.get("REQUESTS_CA_BUNDLE") or True
        session.auth = HttpNtlmAuth(user, password)
        for url in urls:
            r = session.get(url, timeout=30)
            results.append({
                "legs": [h.status_code for h in r.history] + [r.status_code],
                "challenge": r.headers.get("WWW-Authenticate"),
                "code": r.headers.get("OV-GSS-Error-Code"),
                "body": r.text,
            })
    json.dump(results, sys.stdout, indent=2)
    print()
    return 0 if all(200 <= r["legs"][-1] < 300 for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
