#!/bin/sh
# The site's NTLM-protected application: shows whom the NTLM handshake
# authenticated and its outcome, as the server hands them to applications.
printf 'Content-Type: text/plain\r\nCache-Control: no-store\r\n\r\n'
printf 'REMOTE_USER=%s\n' "${REMOTE_USER-(unset)}"
printf 'AUTH_TYPE=%s\n' "${AUTH_TYPE-(unset)}"
printf 'GSSAUTHRET=%s\n' "${GSSAUTHRET-(unset)}"
