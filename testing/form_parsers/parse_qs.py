#!/usr/bin/python3
"""A login application that reads the form with urllib.parse.parse_qs.
Prints what it read as JSON: "read" holds the four fields as the
application takes them (the first value), "all" every pair it parsed."""
import json
import os
import sys
import urllib.parse

body = sys.stdin.buffer.read(int(os.environ.get("CONTENT_LENGTH") or 0)).decode("latin-1")
form = urllib.parse.parse_qs(body, encoding="latin-1")
read = {k: form.get(k, [None])[0] for k in ("username", "domain", "result", "password")}
sys.stdout.write("Content-Type: application/json\r\n\r\n" + json.dumps({"read": read, "all": form}))
