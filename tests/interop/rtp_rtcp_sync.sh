#!/usr/bin/env bash
# RTP elementary streams with RTCP, received by ffmpeg and by GStreamer
# (sdpdemux, whose rtpbin lines streams up by their sender reports), each
# opening only the session description the sdp module wrote. One stream
# starts a second later than the other, both ways round; the parameter sets
# are left out of the RTP stream, so a receiver decodes only with the
# description's sprop-parameter-sets. Checks:
# - each receiver's recording decodes to exactly the pictures sent, the
#   first being the first IDR picture sent;
# - each receiver presents audio and video with the offset of their QBox
#   stamps, to within 20 ms;
# - every RTCP packet, captured on the loopback, passes tshark's RTCP
#   dissector with no expert warning; every sender report maps its RTP
#   stamp to the NTP time of the sample's QBox stamp (one mapping for both
#   streams, to within 1 ms); the last report of each stream carries the
#   packets and payload bytes sent and comes with a BYE.
set -euo pipefail
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"

source "$(dirname "${BASH_SOURCE[0]}")/rtp_common.bash"

stream=$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox
gst_pid=
tshark_pid=
stop_helpers() {
  [ -n "$gst_pid" ] && kill "$gst_pid" 2>/dev/null || true
  [ -n "$tshark_pid" ] && kill "$tshark_pid" 2>/dev/null || true
  cleanup
}
trap stop_helpers EXIT

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
  local rc=0
  wait "$gst_pid" || rc=$?
  gst_pid=
  [ $rc -eq 0 ] || { cat "$1.log" >&2; fail "gst-launch-1.0 ended with status $rc"; }
}

# Captures the RTCP ports $2 and $3 of the loopback into $1.
start_capture() {
  tshark -i lo -f "udp port $2 or udp port $3" -w "$1" > "$1.log" 2>&1 &
  tshark_pid=$!
  for ((i = 0; i < 100; i++)); do
    grep -q "Capture started" "$1.log" && { sleep 0.5; return 0; }
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

# Median of (QBox stamp / 90 kHz - presentation time) over the samples of
# kind $2 (v or a) in the sender's list $1 and the packets of stream $3
# (v or a) of the recording $4, paired from the last one back (a receiver
# may lack a time for its first packet).
stamp_offset() {
  ffprobe -v error -select_streams "$3" -show_entries packet=pts_time -of csv=p=0 "$4" > "$4.$3.pts"
  awk -v kind="$2" 'NR == FNR { if ($1 == kind) s[ns++] = $2 / 90000; next }
                    $1 != "N/A" { r[nr++] = $1 }
                    END { for (k = 0; k < ns && k < nr; k++) printf "%.6f\n", s[ns - 1 - k] - r[nr - 1 - k] }' \
      "$1" "$4.$3.pts" | sort -g | awk '{ d[NR] = $1 } END { print d[int((NR + 1) / 2)] }'
}

decoded_pictures() {
  ffmpeg -nostdin -v error "${@:2}" -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'
}

check_recording() {
  local dir=$1 rec=$2 receiver=$3 skew
  # A receiver that times packets by their arrival until both streams have
  # reported (GStreamer's jitter buffer) may, on a busy machine, step a
  # picture's time back onto its predecessor's when the sender reports line
  # the streams up; ffmpeg's muxer then complains of the order of the times.
  # That is no decoding error: the offsets are measured below, over the
  # whole recording.
  local errors
  ffmpeg -nostdin -v error -i "$rec" -f null - > "$rec.decode.log" 2>&1 || fail "$receiver: decoder exit status $?"
  errors=$(grep -v "non monotonically increasing dts" "$rec.decode.log" || true)
  [ -z "$errors" ] || fail "$receiver: decoding errors: $errors"
  decoded_pictures "$rec" > "$rec.pictures"
  [ -s "$rec.pictures" ] || fail "$receiver: no picture decoded"
  cmp -s "$dir/sent.pictures" "$rec.pictures" ||
    fail "$receiver: decoded $(wc -l < "$rec.pictures") pictures, other than the $(wc -l < "$dir/sent.pictures") sent"
  local video_offset audio_offset
  video_offset=$(stamp_offset "$dir/stamps" v v "$rec")
  audio_offset=$(stamp_offset "$dir/stamps" a a "$rec")
  skew=$(awk -v v="$video_offset" -v a="$audio_offset" 'BEGIN { d = a - v; printf "%.1f", (d < 0 ? -d : d) * 1000 }')
  echo "  $receiver: $(wc -l < "$rec.pictures") pictures decoded as sent; audio against video ${skew} ms off the QBox stamps"
  awk -v s="$skew" 'BEGIN { exit !(s <= 20) }' || fail "$receiver: audio and video ${skew} ms apart"
}

# Reads every report of the capture $1 (video RTCP port $2, audio $3) with
# the sender's list $4 and the sender's totals $5.
check_rtcp() {
  local pcap=$1 vrtcp=$2 artcp=$3 stamps=$4 sent=$5
  local decode=(-d "udp.port==$vrtcp,rtcp" -d "udp.port==$artcp,rtcp")
  local expert
  expert=$(tshark -r "$pcap" "${decode[@]}" -q -z expert,note 2>/dev/null | grep -v '^$' || true)
  [ -z "$expert" ] || fail "tshark expert information on the RTCP packets: $expert"
  tshark -r "$pcap" "${decode[@]}" -T fields -E separator=' ' -e udp.dstport -e rtcp.pt \
      -e rtcp.timestamp.ntp.msw -e rtcp.timestamp.ntp.lsw -e rtcp.timestamp.rtp \
      -e rtcp.sender.packetcount -e rtcp.sender.octetcount -e rtcp.sdes.text 2>/dev/null > "$pcap.txt"
  [ -s "$pcap.txt" ] || fail "no RTCP packet captured"
  awk -v vport="$vrtcp" -v sent="$sent" '
    NR == FNR { kind = ($1 == "a") ? "a" : "v"; capture[kind " " $3] = $2; next }
    {
      kind = ($1 == vport) ? "v" : "a"
      if ($2 !~ /^200,202/) { print "report without SR+SDES: " $0; bad = 1; next }
      if (!((kind " " $5) in capture)) { print "SR with an RTP stamp never sent: " $0; bad = 1; next }
      if (base == "") base = $3
      ntp = ($3 - base) + $4 / 4294967296
      offset = ntp - capture[kind " " $5] / 90000
      if (first == "") first = offset
      d = offset - first; if (d < 0) d = -d
      if (d > worst) worst = d
      reports[kind]++
      if (cname == "") cname = $8
      if ($8 != cname) { print "CNAME differs: " $0; bad = 1 }
      last[kind] = $0; last_packets[kind] = $6; last_octets[kind] = $7; bye[kind] = ($2 ~ /,203$/)
    }
    END {
      split(sent, f, /[ =]/)
      for (i = 1; i < length(f); i += 2) total[f[i]] = f[i + 1]
      for (k in reports) {
        name = (k == "v") ? "video" : "audio"
        if (!bye[k]) { print name ": last report without BYE"; bad = 1 }
        if (last_packets[k] != total[name "_packets"] || last_octets[k] != total[name "_octets"]) {
          print name ": last SR counts " last_packets[k] " packets " last_octets[k] " octets, sent " \
                total[name "_packets"] " and " total[name "_octets"]; bad = 1
        }
      }
      if (reports["v"] < 2 || reports["a"] < 2) { print "too few reports"; bad = 1 }
      printf "  RTCP: %d video and %d audio reports, CNAME %s; NTP off the QBox stamps by at most %.3f ms\n", \
             reports["v"], reports["a"], cname, worst * 1000
      if (worst > 0.001) bad = 1
      exit bad
    }' "$stamps" "$pcap.txt" || fail "RTCP sender reports do not match what was sent"
}

# One run: skip option for the driver, then the checks.
run_case() {
  local name=$1 skip=$2
  local dir=$work/$name
  mkdir -p "$dir"
  local vport aport
  vport=$(pick_ports)
  aport=$((vport + 2))
  echo "$name:"

  "$VOZIREV_BIN/rtp-send-qbox" --describe "$dir/stream.sdp" "$stream" 127.0.0.1 "$vport" "$aport" 0
  grep -q "sprop-parameter-sets=" "$dir/stream.sdp" || fail "no sprop-parameter-sets in the description"
  grep -q "a=rtcp:$((vport + 1))" "$dir/stream.sdp" && grep -q "a=rtcp:$((aport + 1))" "$dir/stream.sdp" ||
    fail "RTCP ports missing from the description"

  local send=("$VOZIREV_BIN/rtp-send-qbox" $skip --no-parameter-sets --stamps "$dir/stamps" --h264 "$dir/sent.h264"
              "$stream" 127.0.0.1 "$vport" "$aport" 0)

  start_capture "$dir/rtcp.pcap" $((vport + 1)) $((aport + 1))
  start_receiver "$dir/stream.sdp" "$dir/ffmpeg.mkv" "$aport"
  local sent
  sent=$("${send[@]}")
  wait_receiver "$dir/ffmpeg.mkv"
  stop_capture
  decoded_pictures "$dir/sent.h264" -f h264 > "$dir/sent.pictures"
  echo "  sent: $sent"
  check_recording "$dir" "$dir/ffmpeg.mkv" ffmpeg
  check_rtcp "$dir/rtcp.pcap" $((vport + 1)) $((aport + 1)) "$dir/stamps" "$sent"

  start_gstreamer "$dir/stream.sdp" "$dir/gstreamer.mkv" "$vport" "$aport"
  "${send[@]}" > /dev/null
  wait_gstreamer "$dir/gstreamer.mkv"
  check_recording "$dir" "$dir/gstreamer.mkv" GStreamer
}

run_case audio_one_second_later "--skip-audio-ms 1000"
run_case video_one_second_later "--skip-video-ms 1000"
echo PASS
