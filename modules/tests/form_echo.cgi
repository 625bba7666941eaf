#!/bin/sh
# Shows what a login application behind the form filter receives: the body
# as it reached the handler, byte for byte, and the length it was announced with.
printf 'Content-Type: application/octet-stream\r\n'
printf 'X-Announced-Length: %s\r\n\r\n' "${CONTENT_LENGTH:-}"
exec cat
