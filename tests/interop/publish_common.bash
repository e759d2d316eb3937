# Helpers of the publishing tests (sourced by tests/interop/publish_*.sh,
# not run by ctest): real RTSP servers that take publishers, on loopback,
# and the checks of what they recorded.
#   gst_server PORT OUT [basic|digest:USER:PASSWORD]
#       GStreamer's RTSP server in record mode (Debian's python3-gi and
#       gir1.2-gst-rtsp-server-1.0) on /live, writing the H.264 it receives
#       to OUT.h264 (Annex B) and the AAC to OUT.aac (ADTS); sets server_pid
#   ffmpeg_server PORT OUT
#       ffmpeg as a listening RTSP server (-rtsp_flags listen), the same files
#   publish_case NAME SECONDS STATUS PROGRAM_OPTIONS...
#       the program under the emulated device in $work/NAME, SECONDS of
#       content in real time, after which the device fails its reads (the
#       program completes its recording and exits with STATUS 1)
#   check_recording MP4 DELIVERED.qbox
#       the program's recording holds every sample the device delivered
#   traced_emulator TRACE
#       makes start_capture run the program under strace, its device reads
#       and waits (read, poll) time-stamped in TRACE; both at a real-time
#       priority, so that the other work of a busy test machine does not
#       count as the program's
#   longest_device_gap TRACE
#       the longest time in ms from the end of a device read to the
#       program's next read of the device or wait for it: what the outputs
#       and the services kept the device waiting
#   check_published OUT DELIVERED.qbox MIN_PICTURES
#       the server's pictures are the device's from one IDR picture on, to
#       the end, every one decoded; its audio decodes
source "$(dirname "${BASH_SOURCE[0]}")/app_outputs.bash"

# What the server took in is on disk before it is killed: GStreamer's
# file sinks write unbuffered, ffmpeg ends by itself after the TEARDOWN,
# and a loaded machine may still be working through the last packets, so
# the server goes once its files ($server_out.h264 and .aac) have not grown
# for 1.5 s, or after 10 s.
server_pid=
server_out=
settle_server() {
  local i stable=0 last=none sizes
  for ((i = 0; i < 20 && stable < 3; i++)); do
    kill -0 "${server_pid:-none}" 2>/dev/null || return 0
    sleep 0.5
    sizes=$(stat -c %s "$server_out.h264" "$server_out.aac" 2>/dev/null | paste -sd ' ' || true)
    if [ "$sizes" = "$last" ]; then stable=$((stable + 1)); else stable=0; fi
    last=$sizes
  done
}
stop_server() {
  local i
  [ -n "$server_out" ] && settle_server
  kill -KILL "${server_pid:-none}" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "${server_pid:-none}" 2>/dev/null || break
    sleep 0.05
  done
  server_pid=
  server_out=
  return 0
}
cleanup_publish() {
  stop_server
  end_capture_on_exit
}
trap cleanup_publish EXIT

free_tcp_port() {
  local port
  for ((port = $(pick_ports); port < 65000; port++)); do
    grep -q "$(printf ':%04X 00000000:0000 0A' "$port")" /proc/net/tcp || { echo "$port"; return; }
  done
}

# The server just started in the background listens on TCP port $1 of
# 127.0.0.1 (its log $2); it is no job of the shell's, whose notice of its
# kill would end up in the test's output.
started_server() {
  server_pid=$!
  disown "$server_pid" 2>/dev/null || true  # gone already: wait_listening says so
  wait_listening "$@"
}

wait_listening() {
  local i
  for ((i = 0; i < 200; i++)); do
    grep -q "0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp && return 0
    sleep 0.05
  done
  fail "no server listens on port $1: $(cat "$2")"
}

# Debian's python3 has gi; a python3 first on the PATH may be another one.
gst_server() {
  /usr/bin/python3 - "$@" > "$2.log" 2>&1 <<'EOF' &
import sys, gi
for name in ('Gst', 'GstRtsp', 'GstRtspServer'):
    gi.require_version(name, '1.0')
from gi.repository import Gst, GstRtsp, GstRtspServer, GLib
Gst.init(None)
port, out, auth = sys.argv[1], sys.argv[2], (sys.argv[3] if len(sys.argv) > 3 else '')
server = GstRtspServer.RTSPServer(address='127.0.0.1', service=port)
factory = GstRtspServer.RTSPMediaFactory(transport_mode=GstRtspServer.RTSPTransportMode.RECORD)
factory.set_launch(f'( rtph264depay name=depay0 ! h264parse ! video/x-h264,stream-format=byte-stream,alignment=au '
                   f'! filesink buffer-mode=unbuffered location={out}.h264 rtpmp4gdepay name=depay1 ! aacparse '
                   f'! audio/mpeg,stream-format=adts ! filesink buffer-mode=unbuffered location={out}.aac )')
if auth:
    method, user, password = auth.split(':')
    checker, token = GstRtspServer.RTSPAuth(), GstRtspServer.RTSPToken()
    token.set_string('media.factory.role', 'publisher')
    if method == 'digest':
        checker.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
        checker.add_digest(user, password, token)
    else:
        checker.add_basic(GstRtspServer.RTSPAuth.make_basic(user, password), token)
    server.set_auth(checker)
    permissions = GstRtspServer.RTSPPermissions()
    for permission in ('media.factory.access', 'media.factory.construct'):
        permissions.add_permission_for_role('publisher', permission, True)
    factory.set_permissions(permissions)
server.get_mount_points().add_factory('/live', factory)
server.attach(None)
GLib.MainLoop().run()
EOF
  server_out=$2
  started_server "$1" "$2.log"
}

ffmpeg_server() {
  timeout 120 ffmpeg -nostdin -hide_banner -loglevel error -rtsp_flags listen -i "rtsp://127.0.0.1:$1/live" \
    -map 0:v -c copy -f h264 -y "$2.h264" -map 0:a -c copy -f adts -y "$2.aac" > "$2.log" 2>&1 &
  server_out=$2
  started_server "$1" "$2.log"
}

publish_case() {
  local name=$1 seconds=$2 status=$3
  shift 3
  CHECK_LABEL=$name
  mkdir -p "$work/$name"
  start_capture "$work/$name" --source "$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox" --duration "$seconds" \
    --end error -- "$@"
  wait_capture $((seconds + 30))
  expect_eq "exit status" "$status" "$CAPTURE_STATUS"
  stop_server
}

traced_emulator() {
  printf '#!/bin/sh\nexec chrt -f 10 strace -qq -ttt -T -e trace=read,poll,ppoll -o "%s" "%s" "$@"\n' "$1" \
    "$VOZIREV_BIN/vozirev-emu" \
    > "$work/traced-emu"
  chmod +x "$work/traced-emu"
  EMULATOR=$work/traced-emu
}

# The device is the descriptor of the 512-byte reads (QBOX_CHUNK_SIZE),
# from the first that returns a box ("qbox" after its size) on: before the
# program opens the device the dynamic loader may read the same descriptor
# in 512-byte pieces (it does so for 32-bit ARM libraries, under qemu).
# strace follows only the main thread: the emulated device's thread is
# not traced.
longest_device_gap() {
  local fd
  fd=$(sed -n 's/^[0-9.]* read(\([0-9]*\), .*, 512) = .*/\1/p' "$1" | sort | uniq -c | sort -rn | awk 'NR == 1 { print $2 }')
  awk -v fd="$fd" '
    function back(t) { if (last != "" && t - last > longest) longest = t - last; last = "" }
    !opened && $0 ~ " read\\(" fd ", \"[^\"]*qbox" { opened = 1 }
    !opened { next }
    $2 ~ "^read\\(" fd "," && /, 512\) = [0-9]+ </ {
      back($1); d = $NF; gsub(/[<>]/, "", d); if ($0 !~ / = 0 </) last = $1 + d; next }
    $2 ~ "^p?poll\\(" && index($0, "{fd=" fd ",") { back($1) }
    END { printf "%.3f\n", longest * 1000 }' "$1"
}

check_recording() {  # mp4 delivered.qbox
  "$VOZIREV_BIN/mp4_record" list "$2" > "$1.boxes" || check_fail "cannot list $2"
  check_mp4_file "$1" "$1.boxes" 3 320 240
}

check_published() {  # out delivered.qbox min_pictures
  local out=$1 decoded errors
  if [ ! -s "$out.h264" ] || [ ! -s "$out.aac" ]; then
    check_fail "the server recorded nothing; the program said: $(grep Publishing "$(dirname "$2")/program.out" | head -3)"
    tail -5 "$out.log"
    return 0
  fi
  errors=$(ffmpeg -nostdin -v error -threads 1 -i "$out.h264" -i "$out.aac" -map 0:v -map 1:a -f null - 2>&1 || true)
  expect_eq "decode errors of the server's recording" "" "$errors"
  decoded=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$out.h264" || true)
  # The device's pictures in order, 5 for an IDR picture, 1 for another.
  "$VOZIREV_BIN/qbox-dump" "$2" | sed -n 's/.*type=video.* nal=\(.*\)/\1/p' |
    awk -F, '{ p = 0; for (i = 1; i <= NF; i++) if ($i == 5 || $i == 1) p = $i; if (p) print p }' > "$out.pictures"
  local total first
  total=$(wc -l < "$out.pictures")
  first=$(sed -n "$((total - ${decoded:-0} + 1))p" "$out.pictures")
  [ "${decoded:-0}" -ge "$3" ] || check_fail "the server decoded $decoded pictures, fewer than $3"
  expect_eq "the first picture the server has (of the last $decoded of $total delivered)" 5 "$first"
  local audio
  audio=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$out.aac" || true)
  [ "${audio:-0}" -gt 0 ] || check_fail "the server has no audio"
  echo "   $out: $decoded of $total pictures from an IDR picture on, $audio audio frames"
}
