#!/usr/bin/python3
"""The site's login application, behind the ORVANE_CHECK_PASSWORD filter.

GET shows the login form. POST reads the form as the filter rewrote it (the
password blanked, the authentication result code as the first character of
"result"), and never answers with a page: it redirects (303 See Other) to
the form, so that the browser's Reload or Back never posts the password
again. The outcome travels in a short-lived cookie that the form page shows
once, as a one-line text naming the login and the outcome. It never sees a
password. A real application starts its session in the POST, from the
filter's result, and never from anything the browser brings back later
(this cookie included: anyone can set it)."""

import html
import http.cookies
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
OUTCOME_COOKIE = "login_outcome"

FORM = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Sign in</title></head>
<body>{outcome}<form method="post" action="{action}">
<p><label>Domain <input name="domain" value="{domain}"></label></p>
<p><label>User <input name="username"></label></p>
<p><label>Password <input name="password" type="password"></label></p>
<!-- the filter writes its result code over this value -->
<input type="hidden" name="result" value="-">
<p><button>Sign in</button></p>
</form></body></html>
"""


def answer(status, content_type, text, headers=()):
    head = "".join(f"{name}: {value}\r\n" for name, value in headers)
    sys.stdout.write(f"Status: {status}\r\nContent-Type: {content_type}\r\n{head}"
                     "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\n\r\n")
    sys.stdout.write(text)


def outcome_cookie(value, max_age):
    """Set-Cookie for the outcome on the form's own path; HTTPS only, out
    of reach of scripts and of other sites' requests."""
    path = os.environ.get("SCRIPT_NAME", "") or "/"
    return ("Set-Cookie", f"{OUTCOME_COOKIE}={urllib.parse.quote(value)}; Path={path}; Max-Age={max_age}; "
                          "Secure; HttpOnly; SameSite=Strict")


def last_outcome():
    """The outcome text of the last login, or an empty string."""
    jar = http.cookies.SimpleCookie()
    try:
        jar.load(os.environ.get("HTTP_COOKIE", ""))
    except http.cookies.CookieError:
        return ""
    morsel = jar.get(OUTCOME_COOKIE)
    return urllib.parse.unquote(morsel.value) if morsel else ""


def main():
    method = os.environ.get("REQUEST_METHOD", "")
    if method == "GET":
        shown = last_outcome()
        answer("200 OK", "text/html; charset=utf-8",
               FORM.format(action=html.escape(os.environ.get("SCRIPT_NAME", ""), quote=True),
                           domain=html.escape(os.environ.get("LOGIN_DEFAULT_DOMAIN", ""), quote=True),
                           outcome=f'<p id="outcome">{html.escape(shown)}</p>\n' if shown else ""))
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
    text = f"{domain}\\{user}: {outcome} (result {code})"
    # Post, redirect, get: the answer to the POST is no page of its own.
    where = os.environ.get("SCRIPT_NAME", "") or "/"
    answer("303 See Other", "text/plain; charset=utf-8", text + "\n",
           headers=(("Location", where), outcome_cookie(text, 60)))


if __name__ == "__main__":
    main()
