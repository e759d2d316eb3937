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
# audio frame per audio QBox, each at its QBox time stamp. rtp_tee hands the
# same datagrams to GStreamer (rtpmp2tdepay, tsdemux), which must decode
# every frame without a warning, and keeps them: the transport stream they
# carry must pass tsreport and stream_check, and in mode 3 equal the file.
# The streams go out in real time, as the program sends them: a live
# receiver takes the PCR as the sender's clock.
set -euo pipefail

: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
DRIVER="$VOZIREV_BIN/ts_feed"
SPEED=1   # times real time
WORK=$(mktemp -d)
FFPID=
tee_pid=
cleanup() {
  [ -n "$FFPID" ] && kill "$FFPID" 2>/dev/null || true
  [ -n "$tee_pid" ] && kill "$tee_pid" 2>/dev/null || true
  [ -n "${gst_receiver_pid:-}" ] && kill "$gst_receiver_pid" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

source "$(dirname "${BASH_SOURCE[0]}")/media_checks.bash"
fail() { check_fail "$@"; }

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
port_in_use() { port_bound "$@"; }

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

# rtp_tee between the driver and the two receivers (see rtp_common.bash).
start_tee() {  # prefix tee_port ffmpeg_port gst_port
  "$VOZIREV_BIN/rtp_tee" "$1" "$2:$3,$4" "$(($2 + 1)):$(($3 + 1))" > "$1.out" 2>&1 &
  tee_pid=$!
  for _ in $(seq 100); do
    grep -q ready "$1.out" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "rtp_tee did not start"
}

stop_tee() {
  kill "$tee_pid" 2>/dev/null || true
  wait "$tee_pid" 2>/dev/null || true
  tee_pid=
}

# check_stream QBOX MEDIA MODE
check_stream() {
  local qbox=$1 media=$2 mode=$3
  CHECK_LABEL="$(basename "$qbox") mode $mode"
  echo "== $CHECK_LABEL"
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

  local tport gport
  tport=$(free_port)
  gport=$(free_port)
  gst_receiver_start 2 "$media" "$gport" 0 "$WORK/gst.log"
  rm -f "$WORK/capture".*
  start_tee "$WORK/capture" "$tport" "$port" "$gport"

  local out="$WORK/both.mpg"
  if [ "$mode" = 2 ]; then
    "$DRIVER" rtp "$qbox" 127.0.0.1 "$tport" "$media" "$SPEED" || fail "driver failed"
  else
    "$DRIVER" both "$qbox" "$out" 127.0.0.1 "$tport" "$media" "$SPEED" || fail "driver failed"
  fi
  local rc=0
  wait "$FFPID" || rc=$?
  FFPID=
  gst_receiver_stop
  stop_tee
  expect_eq "GStreamer warnings" "" "$(gst_warnings "$WORK/gst.log")"
  check_gst_stream_frames "$(gst_expected "$WORK/boxes.txt" "$media" | cut -d' ' -f1,2)" "$WORK/gst.log"
  "$VOZIREV_BIN/stream_check" rtp-ts "$WORK/capture.$tport" "$WORK/stream.ts"
  expect_eq "stream tsreport faults" "" "$(tsreport -b "$WORK/stream.ts" 2>&1 | grep -E '###|!!!' | head -3)"
  expect_eq "stream_check ts (stream)" "ok" "$("$VOZIREV_BIN/stream_check" ts "$WORK/stream.ts")"
  expect_eq "ffmpeg exit status (124: it did not end on the BYE)" 0 "$rc"
  expect_eq "ffmpeg complaints" "" "$(complaints "$WORK/rx.log")"
  framecrc_to_list "$has_video" < "$WORK/rx.framecrc" > "$WORK/decoded.txt"
  compare_frames "$WORK/boxes.txt" "$WORK/decoded.txt" "stream"

  if [ "$mode" = 3 ]; then
    cmp -s "$out" "$WORK/stream.ts" || fail "the file is not the stream's packets"
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
check_stream "$VOZIREV_CORPUS/av_320x240_25fps_audio_late.qbox" 3 3
check_stream "$VOZIREV_CORPUS/av_176x144_5fps_video_late.qbox" 3 2
check_stream "$VOZIREV_CORPUS/av_320x240_30fps_audio_lost.qbox" 3 3

checks_done "all transport-stream RTP checks passed"
