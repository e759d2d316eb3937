#!/usr/bin/env bash
# Headless Chromium on the page at / while the program records: the picture
# plays and moves, the figures change, the console stays clean, and the
# latency from the device to the picture is printed (http_browser.py).
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/http_common.bash"

start_http "$WORK" -- -p browser
$PY "$DRIVERS/http_browser.py" "$URL/" 20 "$WORK" || failures=$((failures + 1))
[ -n "${HTTP_SHOTS_DIR:-}" ] && cp "$WORK"/*.png "$HTTP_SHOTS_DIR"/
stop_http
check "Ctrl+C ends the run with status 0 ($CAPTURE_STATUS)" test "$CAPTURE_STATUS" = 0
http_done "live page in Chromium checked"
