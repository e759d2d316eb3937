#!/usr/bin/env bash
# The live view without a recording (-r 0: the HTTP server alone keeps the
# run going): the playlist and its segments pass the RFC 8216 checks of
# http_probe.py, GStreamer and ffmpeg play the playlist URL, promtool takes
# /metrics, whose sample and byte counts are those of the boxes the device
# delivered, and Ctrl+C ends the run with status 0.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/http_common.bash"

start_http "$WORK" -- -r 0
$PY "$DRIVERS/http_probe.py" hls "$URL/live.m3u8" 12 || failures=$((failures + 1))

timeout 20 gst-launch-1.0 -v souphttpsrc location="$URL/live.m3u8" ! hlsdemux ! tsdemux name=d \
    d. ! queue ! h264parse ! avdec_h264 ! fakesink silent=false sync=true > "$WORK/gst.log" 2>&1
frames=$(grep -c 'fakesink0.*chain' "$WORK/gst.log")
check "GStreamer decodes the playlist URL ($frames pictures in 20 s)" test "$frames" -ge 300
frames=$(timeout 60 ffmpeg -nostdin -v error -i "$URL/live.m3u8" -t 8 -map 0:v -f framemd5 - | grep -c '^0,')
check "ffmpeg decodes 8 s of the playlist URL ($frames pictures)" test "$frames" -ge 230

curl -sf "$URL/metrics" > "$WORK/metrics.txt"
check "promtool check metrics takes /metrics" promtool check metrics < "$WORK/metrics.txt"

stop_http
$PY "$DRIVERS/http_probe.py" figures "$WORK/metrics.txt" "$WORK/delivered.qbox" || failures=$((failures + 1))
check "Ctrl+C ends the run with status 0 ($CAPTURE_STATUS)" test "$CAPTURE_STATUS" = 0
check "the page's URL is printed" grep -q "^Live view, status and recordings at http://127.0.0.1:$PORT/$" "$WORK/program.out"
http_done "live view over HLS checked"
