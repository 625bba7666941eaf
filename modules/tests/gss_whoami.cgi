#!/bin/sh
# Shows what the server's authentication left for the application.
printf 'Content-Type: text/plain\r\n\r\n'
printf 'REMOTE_USER=%s\n' "${REMOTE_USER-(unset)}"
printf 'AUTH_TYPE=%s\n' "${AUTH_TYPE-(unset)}"
printf 'GSSAUTHRET=%s\n' "${GSSAUTHRET-(unset)}"
