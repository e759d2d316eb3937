#!/usr/bin/env bash
# The capture program's RTCP and its own session description (-j), run
# unmodified under the emulated device, received by ffmpeg and by GStreamer
# (sdpdemux, whose rtpbin lines the streams up by their sender reports),
# each opening only the description the program wrote, with no extra option.
# The device replays corpus streams whose media are out of step: audio
# starting 107 ms after the video, and video starting 1 s after the audio.
#
# The receivers must listen before the program sends its first packet, and
# the program writes its description as it starts: each receiver run is
# therefore preceded by a short run of the program, on the same ports and
# settings, that only writes the description (its rewrite once the
# parameter sets arrive). The receivers open that file; the run they
# receive writes the same description again, which must differ from it only
# in the session id of its o= line.
#
# Checks, per receiver run:
# - each receiver's recording decodes to exactly the pictures the device
#   delivered (its --record file), so the first decoded picture is the first
#   IDR picture sent;
# - each receiver presents audio and video with the offset of their QBox
#   stamps, to within 20 ms;
# - every RTCP packet, captured on the loopback, passes tshark's RTCP
#   dissector with no expert information, and stream_check's reading of
#   RFC 3550: valid compound packets, one CNAME, reports that count the RTP
#   packets and octets sent before them, NTP times that map the device's
#   QBox stamps onto one wall clock for both streams to within 1 ms, and a
#   BYE as the last packet of each stream.
# The stop kinds: SIGINT and SIGHUP end the receiver runs; SIGTERM and a
# device read failure end runs without receivers (elementary streams, and
# the transport stream), whose RTCP is checked the same way.
set -euo pipefail
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/rtp_common.bash"

export VOZIREV_EMU_CACHE="$VOZIREV_CORPUS/emu-cache"
EMU="$VOZIREV_BIN/vozirev-emu"
PROG="$VOZIREV_BIN/vozirev"
AUDIO_LATE=(av_320x240_25fps_audio_late.qbox 2 -w 320 -h 240 -f 25 -i 25)
VIDEO_LATE=(av_176x144_5fps_video_late.qbox 3 -w 176 -h 144 -f 5 -i 5)
gst_pid=
tshark_pid=
program_pid=
stop_helpers() {
  [ -n "$program_pid" ] && kill -KILL "$program_pid" 2>/dev/null || true
  [ -n "$gst_pid" ] && kill "$gst_pid" 2>/dev/null || true
  [ -n "$tshark_pid" ] && kill "$tshark_pid" 2>/dev/null || true
  cleanup
}
trap stop_helpers EXIT

# ---- helpers -------------------------------------------------------------------

# Captures the UDP ports $2..$3 of the loopback into $1.
start_capture() {
  tshark -i lo -f "udp portrange $2-$3" -w "$1" > "$1.log" 2>&1 &
  tshark_pid=$!
  for ((i = 0; i < 100; i++)); do
    grep -q "Capturing on" "$1.log" 2>/dev/null && { sleep 0.5; return 0; }
    sleep 0.1
  done
  cat "$1.log" >&2
  fail "tshark does not capture on the loopback (it needs root, or dumpcap the capture capabilities)"
}

stop_capture() {
  sleep 0.3
  kill -TERM "$tshark_pid"
  wait "$tshark_pid" || true
  tshark_pid=
}

# GStreamer records the session described by $1 into $2 (no decoding) and
# ends on the sender's BYE; waits until it listens on ports $3 and $4.
start_gstreamer() {
  timeout 60 gst-launch-1.0 -e filesrc location="$1" ! sdpdemux name=d \
      d. ! rtph264depay ! h264parse ! queue ! mux. \
      d. ! rtpmp4gdepay ! aacparse ! queue ! mux. \
      matroskamux name=mux ! filesink location="$2" > "$2.log" 2>&1 &
  gst_pid=$!
  for ((i = 0; i < 200; i++)); do
    port_in_use "$3" && port_in_use "$4" && return 0
    sleep 0.05
  done
  fail "GStreamer does not listen on ports $3 and $4"
}

wait_gstreamer() {
  local pid=$gst_pid
  gst_pid=
  wait_ended "$pid" "$1" gst-launch-1.0
}

# Runs the program under the device in the directory $1, in the
# background: device options up to "--", then the program's options.
start_program() {
  local dir=$1 emu_opts=()
  shift
  while [ "$1" != -- ]; do emu_opts+=("$1"); shift; done
  shift
  (cd "$dir" && exec "$EMU" --record rec.qbox "${emu_opts[@]}" -- "$PROG" "$@" > program.out 2>&1) &
  program_pid=$!
}

# Waits for the program; its exit status must be $1.
wait_program() {
  local rc=0
  wait "$program_pid" || rc=$?
  program_pid=
  [ "$rc" = "$1" ] || { cat "$2/program.out" >&2; fail "the program ended with status $rc, not $1"; }
}

# The description the program writes for the options given (dir, content
# seconds, then the program's options): a run at full speed.
describe() {
  local dir=$1 seconds=$2
  shift 2
  start_program "$dir" --pace max --source "$SOURCE" --duration "$seconds" --end error -- -r 0 -j stream.sdp "$@"
  wait_program 1 "$dir"
  local sdp=$dir/stream.sdp
  grep -q "^o=- [0-9]* 1 IN IP4" "$sdp" || fail "the description was not rewritten: $(cat "$sdp")"
  grep -q "sprop-parameter-sets=" "$sdp" || fail "no sprop-parameter-sets in the description"
  cp "$sdp" "$dir/opened.sdp"
}

decoded_pictures() {
  ffmpeg -nostdin -v error "${@:2}" -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'
}

# Median of (QBox stamp / 90 kHz - presentation time) over the boxes of kind
# $2 (video or audio) listed in $1 and the packets of stream $3 (v or a) of
# the recording $4, paired from the last one back (a receiver may lack a
# time for its first packet).
stamp_offset() {
  ffprobe -v error -select_streams "$3" -show_entries packet=pts_time -of csv=p=0 "$4" > "$4.$3.pts"
  awk -v kind="$2" 'NR == FNR { if ($1 == kind && (kind == "audio" || $3 == 1)) s[ns++] = $2 / 90000; next }
                    $1 != "N/A" { r[nr++] = $1 }
                    END { for (k = 0; k < ns && k < nr; k++) printf "%.6f\n", s[ns - 1 - k] - r[nr - 1 - k] }' \
      "$1" "$4.$3.pts" | sort -g | awk '{ d[NR] = $1 } END { print d[int((NR + 1) / 2)] }'
}

check_recording() {
  local dir=$1 rec=$2 receiver=$3 errors skew
  # A receiver that times packets by their arrival until both streams have
  # reported (GStreamer's jitter buffer) may, on a busy machine, step a
  # picture's time back onto its predecessor's when the sender reports line
  # the streams up; ffmpeg's muxer then complains of the order of the times.
  # That is no decoding error: the offsets are measured below, over the
  # whole recording.
  ffmpeg -nostdin -v error -i "$rec" -f null - > "$rec.decode.log" 2>&1 || fail "$receiver: decoder exit status $?"
  errors=$(grep -v "non monotonically increasing dts" "$rec.decode.log" || true)
  [ -z "$errors" ] || fail "$receiver: decoding errors: $errors"
  decoded_pictures "$rec" > "$rec.pictures"
  [ -s "$rec.pictures" ] || fail "$receiver: no picture decoded"
  cmp -s "$dir/sent.pictures" "$rec.pictures" ||
    fail "$receiver: decoded $(wc -l < "$rec.pictures") pictures, other than the $(wc -l < "$dir/sent.pictures") sent"
  local video_offset audio_offset
  video_offset=$(stamp_offset "$dir/boxes.txt" video v "$rec")
  audio_offset=$(stamp_offset "$dir/boxes.txt" audio a "$rec")
  skew=$(awk -v v="$video_offset" -v a="$audio_offset" 'BEGIN { d = a - v; printf "%.1f", (d < 0 ? -d : d) * 1000 }')
  echo "  $receiver: $(wc -l < "$rec.pictures") pictures decoded as delivered; audio against video ${skew} ms off the QBox stamps"
  awk -v s="$skew" 'BEGIN { exit !(s <= 20) }' || fail "$receiver: audio and video ${skew} ms apart"
}

# Every RTP and RTCP datagram of the capture $2 (video port $3, audio port
# $4 or "-") read by tshark's RTCP dissector and by stream_check, against
# the device's record in the directory $1.
check_rtcp() {
  local dir=$1 pcap=$2 vport=$3 aport=$4 decode expert port
  # The ports are picked at random: each is named to tshark, so that none is
  # taken for a protocol registered on it (23272 is 3GPP2 A21's, for one).
  decode=()
  for port in "$vport" "$aport"; do
    [ "$port" = - ] || decode+=(-d "udp.port==$port,rtp" -d "udp.port==$((port + 1)),rtcp")
  done
  expert=$(tshark -r "$pcap" "${decode[@]}" -q -z expert,note 2>/dev/null | grep -v '^$' || true)
  [ -z "$expert" ] || fail "tshark expert information on the RTCP packets: $expert"
  tshark -r "$pcap" -T fields -e udp.dstport -e udp.payload 2>/dev/null > "$pcap.txt"
  "$VOZIREV_BIN/stream_check" rtcp "$dir/rec.qbox" "$vport" "$aport" "$pcap.txt" > "$pcap.check" ||
    { cat "$pcap.check" >&2; fail "RTCP packets against RFC 3550 and the device's stamps"; }
  sed 's/^/  /' "$pcap.check"
}

# ---- the runs --------------------------------------------------------------------

# One receiver on one stream: ffmpeg or gstreamer, the stop signal, then
# the stream's name, content seconds and encoder options.
receive_run() {
  local receiver=$1 signal=$2 name=$3 seconds=$4
  shift 4
  SOURCE=$VOZIREV_CORPUS/$name
  local dir=$work/$receiver-${name%.qbox}
  mkdir -p "$dir"
  local vport aport
  vport=$(pick_ports)
  aport=$((vport + 2))
  local opts=(-s 1 -x "$vport" -y "$aport" "$@")
  echo "$receiver, ${name%.qbox}, stopped with SIG$signal:"
  describe "$dir" "$seconds" "${opts[@]}"

  start_capture "$dir/rtcp.pcap" "$vport" $((aport + 1))
  if [ "$receiver" = ffmpeg ]; then
    start_receiver "$dir/opened.sdp" "$dir/received.mkv" "$aport"
  else
    start_gstreamer "$dir/opened.sdp" "$dir/received.mkv" "$vport" "$aport"
  fi
  rm -f "$dir/rec.qbox"
  start_program "$dir" --pace realtime --source "$SOURCE" --duration "$seconds" -- -r 0 -j stream.sdp "${opts[@]}"
  wait_delivered "$dir/rec.qbox"
  kill "-$signal" "$program_pid"
  wait_program 0 "$dir"
  if [ "$receiver" = ffmpeg ]; then
    wait_receiver "$dir/received.mkv"
  else
    wait_gstreamer "$dir/received.mkv"
  fi
  stop_capture

  diff <(grep -v '^o=' "$dir/opened.sdp") <(grep -v '^o=' "$dir/stream.sdp") ||
    fail "the run wrote another description than the one the receiver opened"
  "$VOZIREV_BIN/mp4_record" list "$dir/rec.qbox" > "$dir/boxes.txt"
  (cd "$dir" && "$VOZIREV_BIN/mp4_record" record rec.qbox sent.mp4 3 > /dev/null)
  decoded_pictures "$dir/sent.mp4" > "$dir/sent.pictures"
  check_rtcp "$dir" "$dir/rtcp.pcap" "$vport" "$aport"
  check_recording "$dir" "$dir/received.mkv" "$receiver"
}

# A run without receivers at full speed: the stop kind (TERM, or "error"
# for a device read failure) and the streaming type.
stop_run() {
  local stop=$1 streaming=$2
  SOURCE=$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox
  local dir=$work/stop-$stop-s$streaming
  mkdir -p "$dir"
  local vport aport=- end=stall status=0
  vport=$(pick_ports)
  [ "$streaming" = 1 ] && aport=$((vport + 2))
  [ "$stop" = error ] && end=error && status=1
  echo "-s $streaming, stopped by ${stop/TERM/SIGTERM}:"
  start_capture "$dir/rtcp.pcap" "$vport" $((vport + 3))
  start_program "$dir" --pace max --source "$SOURCE" --duration 3 --end "$end" -- \
      -r 0 -s "$streaming" -x "$vport" -y $((vport + 2))
  if [ "$stop" = error ]; then
    wait_program 1 "$dir"
  else
    wait_delivered "$dir/rec.qbox"
    kill "-$stop" "$program_pid"
    wait_program 0 "$dir"
  fi
  stop_capture
  check_rtcp "$dir" "$dir/rtcp.pcap" "$vport" "$aport"
}

receive_run ffmpeg INT "${AUDIO_LATE[@]}"
receive_run gstreamer HUP "${AUDIO_LATE[@]}"
receive_run ffmpeg HUP "${VIDEO_LATE[@]}"
receive_run gstreamer INT "${VIDEO_LATE[@]}"
stop_run TERM 1
stop_run error 1
stop_run error 2
echo PASS
