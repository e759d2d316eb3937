#!/usr/bin/env bash
# Real RTSP clients against the program's server, all at once, on both
# paths (/live: H.264 + AAC, /live.ts: the transport stream) while it
# records MP4: ffmpeg over UDP, over TCP and with the flags Frigate uses,
# GStreamer's rtspsrc over UDP and TCP. Each must end without a warning and
# decode every picture the device delivered from the IDR picture it joined
# at to the end of the run (ffmpeg's recordings decode without error), and
# the recording must hold every sample the device delivered. GStreamer,
# stopped before the end, must have decoded every picture up to there.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/rtsp_common.bash"
cd "$WORK"

# Two rounds of clients, one per path, so that the clients' decoders do not
# starve each other of the machine's cores.
start_app 16 -r 1 -p rec
base=rtsp://127.0.0.1:$RTSP_PORT
round() {  # path
  ffmpeg_start "ffmpeg-udp-$1" "$base/$1" -rtsp_transport udp
  ffmpeg_start "ffmpeg-tcp-$1" "$base/$1" -rtsp_transport tcp
  ffmpeg_start "ffmpeg-frigate-$1" "$base/$1" -rtsp_transport tcp -timeout 10000000 -use_wallclock_as_timestamps 1
  gst_start "gst-udp-$1" "$base/$1" udp
  gst_start "gst-tcp-$1" "$base/$1" tcp
}
round live
sleep 5
round live.ts
# GStreamer stops while the device still delivers (until the device
# reader's wait serves the network, requests are answered between
# samples); ffmpeg reads to the end.
sleep 6
for path in live live.ts; do
  gst_stop_check "gst-udp-$path" 120
  gst_stop_check "gst-tcp-$path" 120
done
# The program's BYE (and the closed connections) end ffmpeg's input.
stop_app
for path in live live.ts; do
  for kind in udp tcp frigate; do
    ffmpeg_check "ffmpeg-$kind-$path"
  done
done
CHECK_LABEL=recording
check_capture rec.mp4 "$WORK/delivered.qbox" 3 320 240
grep -q "Serving RTSP at rtsp://127.0.0.1:$RTSP_PORT/live$" app.log || fail "no /live URL printed"
grep -q "Serving RTSP at rtsp://127.0.0.1:$RTSP_PORT/live.ts$" app.log || fail "no /live.ts URL printed"
checks_done "PASS"
