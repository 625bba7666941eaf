#!/usr/bin/node
// A login application that reads the form with body-parser's urlencoded
// parser (qs, extended), as an Express application does: the request is
// standard input with the headers of the CGI environment. Prints what it
// read as JSON, as parse_qs.py does.
'use strict';
// Debian's node-* packages, for this module and theirs.
process.env.NODE_PATH = '/usr/share/nodejs';
require('module').Module._initPaths();
const bodyParser = require('body-parser');

const req = process.stdin;
req.headers = {};
for (const [name, value] of Object.entries(process.env)) {
  if (name.startsWith('HTTP_')) req.headers[name.slice(5).toLowerCase().replace(/_/g, '-')] = value;
}
if (process.env.CONTENT_TYPE) req.headers['content-type'] = process.env.CONTENT_TYPE;
if (process.env.CONTENT_LENGTH) req.headers['content-length'] = process.env.CONTENT_LENGTH;
req.method = process.env.REQUEST_METHOD;

bodyParser.urlencoded({ extended: true })(req, {}, (err) => {
  if (err) {
    process.stdout.write(`Status: ${err.status || 500}\r\nContent-Type: text/plain\r\n\r\n${err.type}\n`);
    return;
  }
  const body = req.body || {};
  const read = {};
  for (const k of ['username', 'domain', 'result', 'password']) read[k] = body[k] ?? null;
  process.stdout.write('Content-Type: application/json\r\n\r\n' + JSON.stringify({ read, all: body }));
});
