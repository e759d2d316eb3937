#!/usr/bin/env bash
# The publisher when the server fails it, while the capture records MP4:
#   - a server that accepts and never answers, then answers garbage, then
#     closes the connection on ANNOUNCE: a message for each, and retries;
#   - GStreamer's RTSP server killed mid-run and started again 10 s later:
#     a message when it goes, one when the reason changes (the connection
#     is refused while it is away), one when publishing is back; the new
#     server's recording holds the device's pictures from an IDR picture to
#     the end, all decoded.
# In both runs the program's recording holds every sample the device
# delivered, and the longest time the device waited for the program between
# two reads (strace of the program's reads and waits) stays under 20 ms. The
# program runs in a directory on tmpfs, so that the disk's own waits (the
# recording's syncs, see "Performance") do not count.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/publish_common.bash"
MAX_GAP_MS=20

shm=$(mktemp -d /dev/shm/publish.XXXXXX)
cleanup_hooks_shm() { rm -rf "$shm"; cleanup_publish; }
trap cleanup_hooks_shm EXIT
work_dir=$work
work=$shm

check_gap() {
  local gap
  gap=$(longest_device_gap "$1")
  echo "   longest wait of the device between two reads: $gap ms"
  awk -v g="$gap" -v max="$MAX_GAP_MS" 'BEGIN { exit !(g < max) }' ||
    check_fail "the device waited $gap ms between two reads (at most $MAX_GAP_MS)"
}

message_count() { grep -c -F "$1" "$work/$2/program.out" || true; }

# One connection after the other: silence, garbage, a close on ANNOUNCE.
hostile_server() {
  /usr/bin/python3 - "$1" "$2" <<'EOF' &
import socket, sys, threading
listener = socket.create_server(('127.0.0.1', int(sys.argv[1])))
kept = []
for n in range(1, 100):
    peer, _ = listener.accept()
    open(sys.argv[2], 'a').write(f'{n}\n')
    if n == 1:
        kept.append(peer)  # open, never answered
        continue
    request = peer.recv(65536)
    if n == 2:
        peer.sendall(b'garbage that is no RTSP\r\n\r\n')
    elif request.startswith(b'OPTIONS'):
        cseq = request.split(b'CSeq: ')[1].split(b'\r\n')[0]
        peer.sendall(b'RTSP/1.0 200 OK\r\nCSeq: ' + cseq + b'\r\n\r\n')
        peer.recv(65536)  # the ANNOUNCE
    peer.close()
EOF
  started_server "$1" /dev/null
}

url() { echo "rtsp://127.0.0.1:$1/live"; }

port=$(free_tcp_port)
hostile_server "$port" "$work/hostile.connections"
traced_emulator "$work/hostile.trace"
publish_case hostile 20 1 -p rec -P "$(url "$port")"
expect_eq "silence" 1 "$(message_count "$(url "$port") failed: the server did not answer OPTIONS within 10 s. Retrying." hostile)"
expect_eq "garbage" 1 "$(message_count "$(url "$port") still fails: the server's answer is not RTSP." hostile)"
expect_eq "close on ANNOUNCE" 1 \
  "$(message_count "$(url "$port") still fails: the server closed the connection instead of answering ANNOUNCE." hostile)"
connections=$(wc -l < "$work/hostile.connections")
[ "$connections" -ge 4 ] || check_fail "the publisher connected $connections times, not 4 (1 s, 2 s, 4 s apart)"
expect_eq "lines about publishing" 4 "$(grep -c Publishing "$work/hostile/program.out")"
check_recording "$work/hostile/rec.mp4" "$work/hostile/delivered.qbox"
check_gap "$work/hostile.trace"

# The restart: the pause doubles from 1 s, so the try 15 s after the kill
# finds the server back.
port=$(free_tcp_port)
gst_server "$port" "$work/first"
traced_emulator "$work/restart.trace"
(
  for ((i = 0; i < 300; i++)); do
    grep -q "the server records" "$work/restart/program.out" 2>/dev/null && break
    sleep 0.05
  done
  sleep 3
  kill -KILL "$server_pid"
  sleep 10
  gst_server "$port" "$work/second"
  echo "$server_pid" > "$work/second.pid"
) &
restarter=$!
publish_case restart 30 1 -p rec -P "$(url "$port")"
wait "$restarter"
server_pid=$(cat "$work/second.pid")
server_out=$work/second
stop_server
# The killed server's kernel closes the connection, or resets it when the
# server left bytes unread: one message for the outage either way.
expect_eq "outage message" 1 "$(grep -cE "$(url "$port") failed: (the server closed the connection|.*reset by peer)\. Retrying\." \
  "$work/restart/program.out")"
expect_eq "back message" 1 "$(grep -cE "Publishing to $(url "$port") resumed after [0-9]+ s\." "$work/restart/program.out")"
expect_eq "refused while away" 1 "$(message_count "$(url "$port") still fails: cannot connect: Connection refused." restart)"
expect_eq "lines about publishing" 5 "$(grep -c Publishing "$work/restart/program.out")"
check_published "$work/second" "$work/restart/delivered.qbox" 240
check_recording "$work/restart/rec.mp4" "$work/restart/delivered.qbox"
check_gap "$work/restart.trace"
work=$work_dir
checks_done "a silent, a garbled and a closing server, and a server restarted, checked"
