#!/usr/bin/env bash
# Strangers on the HTTP port (-C 16): size limits answered with their
# status, pipelined requests answered in order, an unfinished request and an
# idle connection closed on time, and a flood of idle connections that never
# keeps a real client out; the capture keeps every sample meanwhile. Then,
# with a credentials file (-E), a request without credentials is answered
# 401 with both challenges, and curl gets through with Digest and Basic.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/http_common.bash"

start_http "$WORK" -- -r 0 -C 16
$PY "$DRIVERS/http_probe.py" hostile 127.0.0.1 "$PORT" || failures=$((failures + 1))
curl -sf "$URL/metrics" > "$WORK/metrics.txt"
stop_http
$PY "$DRIVERS/http_probe.py" figures "$WORK/metrics.txt" "$WORK/delivered.qbox" || failures=$((failures + 1))
check "Ctrl+C ends the run with status 0 ($CAPTURE_STATUS)" test "$CAPTURE_STATUS" = 0

printf 'viewer:secret\n' > "$WORK/users"
chmod 600 "$WORK/users"
mkdir "$WORK/auth"
HTTP_AUTH=(--digest -u viewer:secret)
start_http "$WORK/auth" -- -r 0 -E "$WORK/users"
check "no credentials: 401 with a Digest and a Basic challenge" bash -c \
    "curl -s -D - -o /dev/null '$URL/status' | tr -d '\r' | grep -c -E '^(HTTP/1.1 401|WWW-Authenticate: (Digest realm=.*qop=\"auth\"|Basic))' | grep -qx 3"
check "Digest credentials: 200" test "$(curl -s -o /dev/null -w '%{http_code}' --digest -u viewer:secret "$URL/status")" = 200
check "Basic credentials: 200" test "$(curl -s -o /dev/null -w '%{http_code}' --basic -u viewer:secret "$URL/metrics")" = 200
check "a wrong password: 401" test "$(curl -s -o /dev/null -w '%{http_code}' --digest -u viewer:wrong "$URL/status")" = 401
stop_http
http_done "hostile HTTP clients checked"
