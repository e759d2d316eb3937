#!/usr/bin/env bash
# The RTSP server under load and abuse while the program records MP4:
# 200 connections that send nothing, then 16 sessions at once (8 UDP, 8
# TCP interleaved) that must each receive the whole stream from their first
# IDR picture on without a gap, next to a TCP client that stops reading for
# the whole run (dropped once its queue stays full) and a UDP client that
# vanishes without a TEARDOWN (its session expires); the recording must
# hold every sample the device delivered. Then hostile requests, each
# answered with its status: oversized request line and header section, a
# destination that is not the client, client ports below 1024, channels out
# of range, a malformed transport, no CSeq, another version, an unknown
# method, path or session, the session limit (453), pipelined requests, and
# a client that sends a byte a second (closed). The device delivers for
# the whole test: until the device reader's wait serves the network, the
# server answers between samples only.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/rtsp_common.bash"
cd "$WORK"

start_app 60 -r 1 -p rec -T 10 -S 20
url=rtsp://127.0.0.1:$RTSP_PORT/live
sockets() { ls -l "/proc/$app_pid/fd" 2>/dev/null | grep -c socket; }
idle_sockets=$(sockets)

CHECK_LABEL=flood
flood=()
for ((i = 0; i < 200; i++)); do
  exec {fd}<>"/dev/tcp/127.0.0.1/$RTSP_PORT" && flood+=("$fd")
done
expect_eq "idle connections opened" 200 "${#flood[@]}"

CHECK_LABEL=clients
"$VOZIREV_BIN/rtsp_client" "$url" 32 8 8 --stall 1 --vanish 1 > clients.txt 2>&1
cat clients.txt
expect_eq "clients complete" "complete 16 of 16" "$(tail -1 clients.txt)"
for fd in "${flood[@]}"; do exec {fd}>&-; done
# The first picture of each session: at most one I-frame interval (1 s)
# and 100 ms after its PLAY.
expect_eq "sessions whose first picture came late" "" \
  "$(grep -v -E 'stalled|vanished|complete' clients.txt | sed -n 's/.*first_picture_ms=\([0-9]*\).*/\1/p' |
     awk '$1 > 1100')"

CHECK_LABEL=hostile
long=$(printf 'x%.0s' {1..3000})
expect_eq "request line too long" 414 "$(rtsp_status "OPTIONS $url/$long RTSP/1.0"$'\n'"CSeq: 1")"
headers=$(for i in {1..40}; do printf 'X-Filler-%d: %s\n' "$i" "${long:0:250}"; done)
expect_eq "header section too large" 413 "$(rtsp_status "OPTIONS $url RTSP/1.0"$'\n'"CSeq: 1"$'\n'"$headers")"
setup() { rtsp_status "SETUP $url/trackID=0 RTSP/1.0"$'\n'"CSeq: 2"$'\n'"Transport: $1"; }
expect_eq "destination of another host" 403 "$(setup 'RTP/AVP;unicast;destination=10.1.2.3;client_port=5000-5001')"
expect_eq "client ports below 1024" 461 "$(setup 'RTP/AVP;unicast;client_port=53-54')"
expect_eq "channels out of range" 461 "$(setup 'RTP/AVP/TCP;unicast;interleaved=300-301')"
expect_eq "malformed transport" 461 "$(setup 'RTP/AVP;unicast;client_port=9x-;;')"
expect_eq "no CSeq" 400 "$(rtsp_status "OPTIONS $url RTSP/1.0")"
expect_eq "another version" 505 "$(rtsp_status "OPTIONS $url RTSP/2.0"$'\n'"CSeq: 1")"
expect_eq "unknown method" 501 "$(rtsp_status "FROB $url RTSP/1.0"$'\n'"CSeq: 1")"
expect_eq "unknown path" 404 "$(rtsp_status "DESCRIBE rtsp://127.0.0.1:$RTSP_PORT/other RTSP/1.0"$'\n'"CSeq: 1")"
expect_eq "unknown session" 454 "$(rtsp_status "PLAY $url RTSP/1.0"$'\n'"CSeq: 1"$'\n'"Session: 0123456789ABCDEF")"

# 20 sessions on one connection (the limit, -S 20), then 453.
exec {fd}<>"/dev/tcp/127.0.0.1/$RTSP_PORT"
for ((i = 0; i < 21; i++)); do
  printf 'SETUP %s/trackID=1 RTSP/1.0\r\nCSeq: %d\r\nTransport: RTP/AVP/TCP;interleaved=%d-%d\r\n\r\n' \
    "$url" "$i" $((2 * i)) $((2 * i + 1)) >&"$fd"
done
statuses=$(for ((i = 0; i < 21; i++)); do
  read -t 5 -r line <&"$fd" && echo "${line:9:3}"
  while read -t 5 -r line <&"$fd" && [ "${#line}" -gt 1 ]; do :; done
done | sort | uniq -c | awk '{ printf "%s x%s ", $2, $1 }')
exec {fd}>&-
expect_eq "sessions past the limit (status x count, pipelined)" "200 x20 453 x1 " "$statuses"

# A byte a second: closed by the server within a few seconds.
expect_eq "a byte a second" closed "$(/usr/bin/python3 - "$RTSP_PORT" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.settimeout(1)
start = time.time()
while time.time() - start < 12:
    try:
        s.send(b"O")
        if s.recv(1) == b"":
            break
    except socket.timeout:
        continue
    except OSError:
        break
print("closed" if time.time() - start < 8 else "open for %.0f s" % (time.time() - start))
PY
)"

# Every session is gone (the vanished one expired after -T 10 s): the
# program holds the sockets it held before any client came.
CHECK_LABEL=sessions
for ((i = 0; i < 150 && $(sockets) != idle_sockets; i++)); do sleep 0.1; done
expect_eq "sockets once the clients are gone" "$idle_sockets" "$(sockets)"
for inode in $(ls -l "/proc/$app_pid/fd" | sed -n 's/.*socket:\[\([0-9]*\)\]/\1/p'); do
  grep -h " $inode " /proc/net/tcp /proc/net/udp | awk '{ print "socket", $2, $3, $4 }'
done
stop_app
CHECK_LABEL=recording
check_capture rec.mp4 "$WORK/delivered.qbox" 3 320 240
checks_done "PASS"
