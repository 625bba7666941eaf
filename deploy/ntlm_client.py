"""A real NTLM client (requests-ntlm), for the command scripts/serve prints
and for the end-to-end tests.

    ntlm_client.py DOMAIN\\user password URL...

Fetches the URLs in turn over one session and prints, as JSON, for each the
statuses of its legs, the last answer's challenge and result code headers and
its body. Exits with 1 when a sign-on failed (an answer other than 2xx).
Needs MD4 (OPENSSL_CONF with OpenSSL's legacy provider: ntlm_openssl.cnf). For
HTTPS, REQUESTS_CA_BUNDLE names the CA certificates to trust."""

import json
import os
import sys

import requests
from requests_ntlm import HttpNtlmAuth


def main():
    user, password, *urls = sys.argv[1:]
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
