#!/usr/bin/env bash
# Streams QBox streams of real encoder output as an MPEG-2 transport stream
# in RTP over loopback (the ts_feed driver feeds every box exactly as the
# capture loop does, paced by the time stamps) and has ffmpeg receive and
# decode it with the session description of the transport-stream mode:
#   - output mode 2 for audio and video, video only and audio only;
#   - output mode 3 (one packetisation for the recording file and the
#     stream) for audio and video, where both the file and the stream must
#     be continuous on their own.
# ffmpeg must end on the sender's RTCP BYE without complaint (except the
# notes about the empty private-data stream), decode one video frame per
# picture-carrying video QBox after the first sequence parameter set and one
# audio frame per audio QBox, each at its QBox time stamp.
set -euo pipefail

: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
DRIVER="$VOZIREV_BIN/ts_feed"
SPEED=2   # times real time
WORK=$(mktemp -d)
FFPID=
cleanup() {
  [ -n "$FFPID" ] && kill "$FFPID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL $CURRENT: $*"
  failures=$((failures + 1))
}

expect_eq() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    fail "$1: expected '$2', got '$3'"
  fi
}

PRIVATE_STREAM_NOTES='start time for stream 2 is not set in estimate_timings_from_pts|Unsupported codec with id [0-9]+ for input stream 2|Could not find codec parameters for stream 2 \(Unknown: none \(\[6\]\[0\]\[0\]\[0\] / 0x0006\)\): unknown codec'

complaints() {  # log file
  grep -v -E "$PRIVATE_STREAM_NOTES" "$1" | grep -v -E '^\s*(Consider increasing the value for the|$)' || true
}

# The session description of the transport-stream mode.
write_sdp() {  # port media
  if [ -x "$VOZIREV_BIN/vozirev-sdp" ]; then
    "$VOZIREV_BIN/vozirev-sdp" -s 2 -d 127.0.0.1 -x "$1" -m "$2"
  else
    printf 'v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=Vozirev capture\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n'
    printf 'm=video %s RTP/AVP 33\r\na=rtpmap:33 MP2T/90000\r\n' "$1"
  fi
}

port_bound() {  # port
  local hex
  hex=$(printf ':%04X ' "$1")
  grep -q "$hex" /proc/net/udp
}

free_port() {  # an even port whose RTP and RTCP ports are unused
  local p
  for _ in $(seq 50); do
    p=$((20000 + (RANDOM % 20000) * 2))
    if ! port_bound "$p" && ! port_bound $((p + 1)); then
      echo "$p"
      return
    fi
  done
  echo 0
}

compare_frames() {  # expected list, decoded list, what
  for kind in video audio; do
    expect_eq "$3: $kind frames decoded" "$(grep -c "^$kind " "$1" || true)" "$(grep -c "^$kind " "$2" || true)"
    if ! diff <(grep "^$kind " "$1") <(grep "^$kind " "$2") > "$WORK/diff.txt"; then
      fail "$3: $kind frame times differ from the QBox time stamps: $(head -4 "$WORK/diff.txt" | tr '\n' ' ')"
    fi
  done
}

# ffmpeg's framecrc lines as "video TS" / "audio TS" on the 90 kHz clock.
framecrc_to_list() {  # has_video
  awk -F', *' '!/^#/ && NF >= 6 { print ($1 == "0" && v ? "video" : "audio"), $2 }' v="$1"
}

# check_stream QBOX MEDIA MODE
check_stream() {
  local qbox=$1 media=$2 mode=$3
  CURRENT="$(basename "$qbox") mode $mode"
  echo "== $CURRENT"
  local has_video=0
  [ "$media" != 1 ] && has_video=1
  local maps=()
  [ "$has_video" = 1 ] && maps+=(-map 0:v)
  [ "$media" != 2 ] && maps+=(-map 0:a)

  local port
  port=$(free_port)
  [ "$port" = 0 ] && { fail "no free port"; return; }
  write_sdp "$port" "$media" > "$WORK/stream.sdp"
  "$DRIVER" list "$qbox" > "$WORK/boxes.txt"

  rm -f "$WORK/rx.framecrc" "$WORK/both.mpg"
  # A large socket buffer: a busy machine must not make ffmpeg drop datagrams.
  timeout 120 ffmpeg -nostdin -y -v warning -buffer_size 4194304 -protocol_whitelist file,udp,rtp -i "$WORK/stream.sdp" \
    "${maps[@]}" -copyts -fps_mode passthrough -enc_time_base:v 1:90000 -enc_time_base:a 1:90000 \
    -f framecrc "$WORK/rx.framecrc" 2> "$WORK/rx.log" &
  FFPID=$!
  for _ in $(seq 100); do
    port_bound "$port" && break
    sleep 0.1
  done
  port_bound "$port" || fail "ffmpeg did not open port $port"

  local out="$WORK/both.mpg"
  if [ "$mode" = 2 ]; then
    "$DRIVER" rtp "$qbox" 127.0.0.1 "$port" "$media" "$SPEED" || fail "driver failed"
  else
    "$DRIVER" both "$qbox" "$out" 127.0.0.1 "$port" "$media" "$SPEED" || fail "driver failed"
  fi
  local rc=0
  wait "$FFPID" || rc=$?
  FFPID=
  expect_eq "ffmpeg exit status (124: it did not end on the BYE)" 0 "$rc"
  expect_eq "ffmpeg complaints" "" "$(complaints "$WORK/rx.log")"
  framecrc_to_list "$has_video" < "$WORK/rx.framecrc" > "$WORK/decoded.txt"
  compare_frames "$WORK/boxes.txt" "$WORK/decoded.txt" "stream"

  if [ "$mode" = 3 ]; then
    expect_eq "file continuity errors" "" \
      "$(ffprobe -v debug -show_packets "$out" 2>&1 >/dev/null | grep -i 'continuity check failed' | head -3)"
    ffmpeg -nostdin -v error -i "$out" "${maps[@]}" -copyts -fps_mode passthrough \
      -enc_time_base:v 1:90000 -enc_time_base:a 1:90000 -f framecrc - 2> "$WORK/file.log" |
      framecrc_to_list "$has_video" > "$WORK/file_decoded.txt"
    expect_eq "file decode complaints" "" "$(complaints "$WORK/file.log")"
    compare_frames "$WORK/boxes.txt" "$WORK/file_decoded.txt" "file"
  fi
  echo "   $(grep -c '^video' "$WORK/decoded.txt" || true) video, $(grep -c '^audio' "$WORK/decoded.txt" || true) audio frames received"
}

check_stream "$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox" 3 2
check_stream "$VOZIREV_CORPUS/v_352x288_30fps_gop10.qbox" 2 2
check_stream "$VOZIREV_CORPUS/a_only.qbox" 1 2
check_stream "$VOZIREV_CORPUS/av_720x480_15fps_gop5.qbox" 3 3

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all transport-stream RTP checks passed"
