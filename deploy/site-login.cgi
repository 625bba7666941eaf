#!/usr/bin/python3
"""The site's login application, behind the ORVANE_CHECK_PASSWORD filter.

GET shows the login form. POST reads the form as the filter rewrote it (the
password blanked, the authentication result code as the first character of
"result") and answers 200 for an authenticated login, 403 otherwise, with a
one-line text that names the login and the outcome. It never sees a password;
a real application would start its session here instead."""

import html
import os
import sys
import urllib.parse

# The authentication result codes the filter writes.
OUTCOMES = {
    "1": "authenticated",
    "0": "wrong user name or password",
    "X": "password expired",
    "L": "account disabled or locked out",
    "D": "account expired",
    "E": "the domain could not check the password",
}

MAX_FORM = 16384  # the filter refuses larger forms before they get here

FORM = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Sign in</title></head>
<body><form method="post" action="{action}">
<p><label>Domain <input name="domain" value="{domain}"></label></p>
<p><label>User <input name="username"></label></p>
<p><label>Password <input name="password" type="password"></label></p>
<!-- the filter writes its result code over this value -->
<input type="hidden" name="result" value="-">
<p><button>Sign in</button></p>
</form></body></html>
"""


def answer(status, content_type, text):
    sys.stdout.write(f"Status: {status}\r\nContent-Type: {content_type}\r\n"
                     "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\n\r\n")
    sys.stdout.write(text)


def main():
    method = os.environ.get("REQUEST_METHOD", "")
    if method == "GET":
        answer("200 OK", "text/html; charset=utf-8",
               FORM.format(action=html.escape(os.environ.get("SCRIPT_NAME", ""), quote=True),
                           domain=html.escape(os.environ.get("LOGIN_DEFAULT_DOMAIN", ""), quote=True)))
        return
    if method != "POST":
        answer("405 Method Not Allowed", "text/plain; charset=utf-8", "GET or POST\n")
        return
    try:
        length = int(os.environ.get("CONTENT_LENGTH") or "0")
    except ValueError:
        length = -1
    if not 0 <= length <= MAX_FORM:
        answer("400 Bad Request", "text/plain; charset=utf-8", "no login form\n")
        return
    body = sys.stdin.buffer.read(length).decode("utf-8", "replace")
    fields = dict(urllib.parse.parse_qsl(body))
    user, domain = fields.get("username", ""), fields.get("domain", "")
    code = fields.get("result", "")[:1]
    if not user or not code:
        answer("400 Bad Request", "text/plain; charset=utf-8",
               "a login form has username, domain, password and result fields\n")
        return
    outcome = OUTCOMES.get(code, "unknown result")
    text = f"{domain}\\{user}: {outcome} (result {code})\n"
    answer("200 OK" if code == "1" else "403 Forbidden", "text/plain; charset=utf-8", text)


if __name__ == "__main__":
    main()
