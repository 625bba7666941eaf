"""The real browsers of Debian, headless, driven the way their own dialogs and
pages are used: Chromium over the DevTools protocol, Firefox over WebDriver
BiDi (its remote agent speaks it over a websocket; no geckodriver).

    with Chromium(trust=httpd.server_cert.cert) as browser:     # or Firefox()
        first, second = browser.open(httpd.url("/ntlm/whoami"), credentials=[("ORVANE\\\\alice", "pw")],
                                     then=[httpd.url("/ntlm/whoami")])
        first.status, first.text, first.auth_asked     # 200, "REMOTE_USER=...", 1
        page, submitted, reloaded = browser.submit_form(httpd.url("/login"), {"username": ...},
                                                        reload=True)
        submitted.requests                             # [[POST, url, 303], [GET, url, 200]]

Each browser is started once; open() and submit_form() each use a browser
context (Chromium) or user context (Firefox) of their own: no connection,
cookie or cached credential of an earlier call is used. credentials are
given in turn to the browser's authentication prompts; when they run out
the prompt is cancelled, as a user would. Visit.auth_asked counts the
prompts; Visit.requests lists [method, url, status] of the page loads.
"""

import base64
import hashlib
import itertools
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

import websocket

from httpd import read_from
from procs import free_port

TIMEOUT = 30


class BrowserError(RuntimeError):
    pass


class Visit:
    def __init__(self):
        self.requests = []       # (method, url, status) in order
        self.auth_asked = 0
        self.text = None         # the page's text (document.body.innerText)

    @property
    def status(self):
        return self.requests[-1][2] if self.requests else None

    def __repr__(self):
        return f"Visit(requests={self.requests}, auth_asked={self.auth_asked}, text={self.text!r})"


# The form on the page is filled in and submitted by the page's own button,
# as a user does; values are set through the DOM so no key events are needed.
FILL_AND_SUBMIT = """(() => {{
  const form = document.forms[0];
  for (const [name, value] of Object.entries({values})) form.elements[name].value = value;
  form.querySelector("button").click();
  return true;
}})()"""


class _Browser:
    """A browser process in its own session, with a throw-away profile, and
    one websocket to its remote protocol."""

    name = "browser"

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="ov19-" + self.name + "-")
        self.proc = self.ws = None
        self._ids = itertools.count(1)
        self._events = []
        self.log_path = os.path.join(self.profile, "browser.log")

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def _spawn(self, argv, env=None):
        log = open(self.log_path, "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                     start_new_session=True, env=env)
        log.close()

    def stop(self):
        if self.ws is not None:
            try:
                self.ws.close()
            except OSError:
                pass
        if self.proc is not None and self.proc.poll() is None:
            for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 10)):
                try:
                    os.killpg(self.proc.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.proc.wait(wait)
                    break
                except subprocess.TimeoutExpired:
                    continue
        # The browser's helpers may outlive it a moment; its session goes too.
        if self.proc is not None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    # --- the protocol: commands answered by id, events queued in between ---

    def _send(self, method, params, **extra):
        ident = next(self._ids)
        self.ws.send(json.dumps({"id": ident, "method": method, "params": params, **extra}))
        return ident

    def _receive(self, deadline):
        self.ws.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            return json.loads(self.ws.recv())
        except websocket.WebSocketTimeoutException:
            raise BrowserError(f"{self.name}: no answer within {TIMEOUT} s") from None

    def command(self, method, params=None, **extra):
        ident = self._send(method, params or {}, **extra)
        deadline = time.monotonic() + TIMEOUT
        while True:
            message = self._receive(deadline)
            if message.get("id") == ident:
                if "error" in message and message.get("type") != "success":
                    raise BrowserError(f"{self.name}: {method}: {message['error']} {message.get('message', '')}")
                return message.get("result", {})
            if "method" in message:
                self._events.append(message)

    def events(self, until, handle):
        """Hands every event to handle(event) until until() is true."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            while self._events:
                handle(self._events.pop(0))
            if until():
                return
            message = self._receive(deadline)
            if "method" in message:
                self._events.append(message)


    # --- what a user does; each browser supplies _page, _close, _navigate,
    # _run, _reload (which only send) and _visit (which answers the events
    # until the page has loaded, and returns the Visit) ---

    def open(self, url, credentials=(), then=()):
        """Loads url, then each URL of then in the same page; returns their
        visits."""
        page = self._page()
        try:
            return [self._visit(page, lambda a=address: self._navigate(page, a), credentials if n == 0 else ())
                    for n, address in enumerate((url, *then))]
        finally:
            self._close(page)

    def submit_form(self, url, values, reload=False):
        """Loads the form page at url, fills in values and submits it; with
        reload, reloads the page the submission ended on. Returns the visits
        (page, submission[, reload])."""
        page = self._page()
        steps = [lambda: self._navigate(page, url),
                 lambda: self._run(page, FILL_AND_SUBMIT.format(values=json.dumps(values)))]
        if reload:
            steps.append(lambda: self._reload(page))
        try:
            return [self._visit(page, step, ()) for step in steps]
        finally:
            self._close(page)


def spki_hash(cert_path):
    """base64 SHA-256 of the certificate's public key, as Chromium's
    --ignore-certificate-errors-spki-list takes it."""
    der = subprocess.run(["openssl", "x509", "-in", cert_path, "-noout", "-pubkey"], check=True,
                         capture_output=True).stdout
    key = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "DER"], input=der, check=True,
                         capture_output=True).stdout
    return base64.b64encode(hashlib.sha256(key).digest()).decode()


class Chromium(_Browser):
    name = "chromium"
    # As root, headless, and quiet: no sandbox (it refuses root), no GPU, no
    # QUIC, and none of the background traffic a first run starts.
    FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync")

    def __init__(self, trust):
        super().__init__()
        self.trust = trust   # the server certificate the browser accepts

    def start(self):
        self._spawn(["chromium", *self.FLAGS, f"--user-data-dir={self.profile}", "--remote-debugging-port=0",
                     f"--ignore-certificate-errors-spki-list={spki_hash(self.trust)}", "about:blank"])
        active = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.monotonic() + TIMEOUT
        while len(read_from(active).splitlines()) < 2:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise BrowserError(f"chromium did not start:\n{self.log()}")
            time.sleep(0.1)
        port, path = read_from(active).splitlines()[:2]
        self.ws = websocket.create_connection(f"ws://127.0.0.1:{port}{path}", timeout=TIMEOUT,
                                              suppress_origin=True)

    def _page(self):
        # A browser context of its own: no connection, cookie or credential
        # of an earlier visit is used.
        context = self.command("Target.createBrowserContext")["browserContextId"]
        target = self.command("Target.createTarget", {"url": "about:blank",
                                                      "browserContextId": context})["targetId"]
        session = self.command("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for method, params in (("Page.enable", {}), ("Network.enable", {}),
                               ("Fetch.enable", {"handleAuthRequests": True})):
            self.command(method, params, sessionId=session)
        return context, session

    def _close(self, page):
        self.command("Target.disposeBrowserContext", {"browserContextId": page[0]})

    def _navigate(self, page, url):
        self._send("Page.navigate", {"url": url}, sessionId=page[1])

    def _run(self, page, expression):
        self._send("Runtime.evaluate", {"expression": expression}, sessionId=page[1])

    def _reload(self, page):
        self._send("Page.reload", {}, sessionId=page[1])

    def _visit(self, page, start, credentials):
        session = page[1]
        visit = Visit()
        given = iter(credentials)
        loaded = []

        def handle(event):
            if event.get("sessionId") != session:
                return
            method, params = event["method"], event["params"]
            if method == "Fetch.requestPaused":
                self._send("Fetch.continueRequest", {"requestId": params["requestId"]}, sessionId=session)
            elif method == "Fetch.authRequired":
                visit.auth_asked += 1
                pair = next(given, None)
                answer = ({"response": "ProvideCredentials", "username": pair[0], "password": pair[1]}
                          if pair else {"response": "CancelAuth"})
                self._send("Fetch.continueWithAuth",
                           {"requestId": params["requestId"], "authChallengeResponse": answer}, sessionId=session)
            elif method == "Network.requestWillBeSent" and params.get("type") == "Document":
                # A redirect's answer comes with the request it leads to.
                if "redirectResponse" in params:
                    for row in reversed(visit.requests):
                        if row[1] == params["redirectResponse"]["url"] and row[2] is None:
                            row[2] = params["redirectResponse"]["status"]
                            break
                visit.requests.append([params["request"]["method"], params["request"]["url"], None])
            elif method == "Network.responseReceived" and params.get("type") == "Document":
                for row in reversed(visit.requests):
                    if row[1] == params["response"]["url"] and row[2] is None:
                        row[2] = params["response"]["status"]
                        break
            elif method == "Page.loadEventFired":
                loaded.append(True)

        start()
        self.events(lambda: loaded, handle)
        visit.text = self.command("Runtime.evaluate", {"expression": "document.body.innerText",
                                                       "returnByValue": True},
                                  sessionId=session)["result"].get("value")
        return visit

class Firefox(_Browser):
    name = "firefox"

    def start(self):
        port = free_port()
        # A profile of its own; the remote agent applies its recommended
        # preferences for automation (no updates, no first-run pages).
        self._spawn(["firefox-esr", "--headless", "--no-remote", "--profile", self.profile,
                     f"--remote-debugging-port={port}", "about:blank"],
                    env=dict(os.environ, MOZ_CRASHREPORTER_DISABLE="1"))
        deadline = time.monotonic() + TIMEOUT * 2
        while True:
            try:
                self.ws = websocket.create_connection(f"ws://127.0.0.1:{port}/session", timeout=TIMEOUT,
                                                      suppress_origin=True)
                break
            except (OSError, websocket.WebSocketException):
                # (websocket-client 1.2 leaves the refused socket to the collector)
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise BrowserError(f"firefox did not start:\n{self.log()}") from None
                time.sleep(0.2)
        # The site's certificate comes from the tests' own CA.
        self.command("session.new", {"capabilities": {"alwaysMatch": {"acceptInsecureCerts": True}}})
        self.command("session.subscribe", {"events": ["network.authRequired", "network.beforeRequestSent",
                                                      "network.responseCompleted", "browsingContext.load"]})
        self.command("network.addIntercept", {"phases": ["authRequired"]})

    def _visit(self, context, start, credentials):
        visit = Visit()
        given = iter(credentials)
        loaded = []

        def handle(event):
            method, params = event["method"], event["params"]
            if params.get("context") != context:
                return
            request = params.get("request", {})
            if method == "network.authRequired":
                visit.auth_asked += 1
                pair = next(given, None)
                answer = ({"action": "provideCredentials",
                           "credentials": {"type": "password", "username": pair[0], "password": pair[1]}}
                          if pair else {"action": "cancel"})
                self._send("network.continueWithAuth", {"request": request["request"], **answer})
            elif method == "network.beforeRequestSent" and params.get("navigation"):
                if not any(row[3] == request["request"] and row[2] is None for row in visit.requests):
                    visit.requests.append([request["method"], request["url"], None, request["request"]])
            elif method == "network.responseCompleted" and params.get("navigation"):
                for row in reversed(visit.requests):
                    if row[3] == request["request"]:
                        row[2] = params["response"]["status"]
                        break
            elif method == "browsingContext.load":
                loaded.append(True)

        start()
        self.events(lambda: loaded, handle)
        visit.requests = [row[:3] for row in visit.requests]
        visit.text = self.command("script.evaluate", {"expression": "document.body.innerText",
                                                      "target": {"context": context},
                                                      "awaitPromise": False})["result"].get("value")
        return visit

    def _page(self):
        # A user context of its own: no connection, cookie or credential of
        # an earlier visit is used.
        self._user_context = self.command("browser.createUserContext")["userContext"]
        return self.command("browsingContext.create", {"type": "tab", "userContext": self._user_context})["context"]

    def _close(self, context):
        self.command("browsingContext.close", {"context": context})
        self.command("browser.removeUserContext", {"userContext": self._user_context})

    def _navigate(self, context, url):
        self._send("browsingContext.navigate", {"context": context, "url": url})

    def _run(self, context, expression):
        self._send("script.evaluate", {"expression": expression, "target": {"context": context},
                                       "awaitPromise": False})

    def _reload(self, context):
        self._send("browsingContext.reload", {"context": context})
