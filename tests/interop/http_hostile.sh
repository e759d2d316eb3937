#!/usr/bin/env bash
# Strangers on the HTTP port (-C 16): size limits answered with their
# status, pipelined requests answered in order, an unfinished request and an
# idle connection closed on time, and a flood of idle connections that never
# keeps a real client out; the capture keeps every sample meanwhile.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/http_common.bash"

start_http "$WORK" -- -r 0 -C 16
$PY "$DRIVERS/http_probe.py" hostile 127.0.0.1 "$PORT" || failures=$((failures + 1))
curl -sf "$URL/metrics" > "$WORK/metrics.txt"
stop_http
$PY "$DRIVERS/http_probe.py" figures "$WORK/metrics.txt" "$WORK/delivered.qbox" || failures=$((failures + 1))
check "Ctrl+C ends the run with status 0 ($CAPTURE_STATUS)" test "$CAPTURE_STATUS" = 0
http_done "hostile HTTP clients checked"
