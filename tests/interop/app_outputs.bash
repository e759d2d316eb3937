# End-to-end runs of the capture program under the emulated encoder, one per
# cell of the output selection (recording -r 0/1/2 x streaming -s 0/1/2) and
# media type (sourced by app_outputs_*.sh, not run by ctest):
#   check_cell SAVING STREAMING MEDIA [WxH FPS]
# runs the real binary on a corpus stream (or on content the device encodes
# for the given settings), receives any stream with ffmpeg from the session
# description of vozirev-sdp while the program runs, and checks the
# recording and the received stream against what the device delivered (the
# emulator's --record file).
#   - Recording only: the device is replayed as fast as the program reads
#     and fails its reads at the end of the content; the program reports the
#     read failure, finalises the recording and exits 1.
#   - Streaming: real-time pace (ffmpeg must not lose datagrams), stopped
#     with SIGINT once the content is delivered; exit status 0. ffmpeg's
#     input then ends with an RTCP BYE, as a sender ending its session does.
#     The program sends to rtp_tee, which hands every datagram to ffmpeg and
#     to GStreamer and keeps it for stream_check (and, for the transport
#     stream, tsreport).
#   check_no_output MEDIA
# runs -r 0 -s 0, which must read exactly one sample.
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
APP_TESTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$APP_TESTS_DIR/rtp_common.bash"
source "$APP_TESTS_DIR/media_checks.bash"
export VOZIREV_EMU_CACHE="$VOZIREV_CORPUS/emu-cache"

PROGRAM="$VOZIREV_BIN/vozirev"
EMULATOR="$VOZIREV_BIN/vozirev-emu"
CONTENT_SECONDS=2

capture_pid=
end_capture_on_exit() {
  [ -n "$capture_pid" ] && kill -KILL "$capture_pid" 2>/dev/null || true
  cleanup
}
trap end_capture_on_exit EXIT

# The corpus stream and picture size for a media type: sets SOURCE, WIDTH,
# HEIGHT. Audio only keeps the program's default size.
pick_media() {
  case $1 in
    1) SOURCE=$VOZIREV_CORPUS/a_only.qbox; WIDTH=320; HEIGHT=240 ;;
    2) SOURCE=$VOZIREV_CORPUS/v_352x288_30fps_gop10.qbox; WIDTH=352; HEIGHT=288 ;;
    3) SOURCE=$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox; WIDTH=320; HEIGHT=240 ;;
  esac
}

# Starts the program under the emulator in directory $1 (the program's
# current directory), output to $1/program.out; emulator options, then "--",
# then the program's options. Sets capture_pid (the program: the emulator
# execs it).
start_capture() {
  local dir=$1
  shift
  local emu_opts=()
  while [ "$1" != -- ]; do
    emu_opts+=("$1")
    shift
  done
  shift
  (cd "$dir" && exec "$EMULATOR" --record "$dir/delivered.qbox" --log "$dir/device.log" "${emu_opts[@]}" \
      -- "$PROGRAM" "$@" > "$dir/program.out" 2>&1) &
  capture_pid=$!
}

# Waits up to $1 seconds for the program to end; sets CAPTURE_STATUS (the
# exit status, or "hung" when it had to be killed).
wait_capture() {
  local limit=$1 i
  for ((i = 0; i < limit * 20; i++)); do
    kill -0 "$capture_pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$capture_pid" 2>/dev/null; then
    kill -KILL "$capture_pid"
    wait "$capture_pid" 2>/dev/null || true
    CAPTURE_STATUS=hung
  else
    CAPTURE_STATUS=0
    wait "$capture_pid" || CAPTURE_STATUS=$?
  fi
  capture_pid=
}

spool_files() {  # directory
  ls -A "$1" | grep '^~temp' || true
}

# What the receiving ffmpeg says about the stream at warning level or above
# (its log at level+debug), leaving out what its own output muxer says about
# the copy it writes, and the notes about the empty private-data stream.
receiver_complaints() {  # log
  grep -E '\[(warning|error|fatal|panic)\]' "$1" | grep -v -E '^\[(mpegts|matroska) @' |
    sed 's/ \[\(warning\|error\|fatal\|panic\)\]//' | ts_complaints "$(cat)" || true
}

# The received stream against the boxes delivered: no complaint from the
# receiver or a full decode, the expected streams, one decoded picture per
# expected picture and one audio frame per audio box.
check_received() {  # file, receiver complaints, media, expected pictures, expected audio frames
  local rx=$1 complaints=$2 media=$3 pictures=$4 audio=$5
  expect_eq "receiver complaints" "" "$complaints"
  expect_eq "received stream decode complaints" "" \
    "$(ts_complaints "$(ffmpeg -nostdin -v warning -i "$rx" -map 0:v? -map 0:a? -f null - 2>&1)")"

  local video_info audio_info
  video_info=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=codec_name,width,height,nb_read_frames \
                 -of csv=p=0 "$rx" | sed -n 1p)
  audio_info=$(ffprobe -v error -count_frames -select_streams a -show_entries stream=codec_name,sample_rate,channels,nb_read_frames \
                 -of csv=p=0 "$rx" | sed -n 1p)
  if [ "$media" = 1 ]; then
    expect_eq "received video" "" "$video_info"
  else
    expect_eq "received video (codec,width,height,frames)" "h264,$WIDTH,$HEIGHT,$pictures" "$video_info"
  fi
  if [ "$media" = 2 ]; then
    expect_eq "received audio" "" "$audio_info"
  else
    expect_eq "received audio (codec,rate,channels,frames)" "aac,48000,2,$audio" "$audio_info"
  fi
  echo "   stream: ${video_info:-no video}; ${audio_info:-no audio}"
}

# The line that announces the stream.
stream_announcement() {  # streaming media video_port audio_port
  if [ "$1" = 2 ]; then
    echo "Streaming MPEG Transport Stream to 127.0.0.1 on port:$3"
    return
  fi
  case $2 in
    1) echo "Streaming Elementary Stream to 127.0.0.1 on audio port: $4" ;;
    2) echo "Streaming Elementary Stream to 127.0.0.1 on video port: $3" ;;
    3) echo "Streaming Elementary Stream to 127.0.0.1 on video port:$3 and audio port: $4" ;;
  esac
}

# One run of the program with -r SAVING -s STREAMING -m MEDIA, on the corpus
# stream of the media type; with WxH and FPS, on content the emulated device
# encodes for the settings the program sends (-w -h -f).
check_cell() {
  local saving=$1 streaming=$2 media=$3 size=${4:-} fps=${5:-}
  CHECK_LABEL="-r $saving -s $streaming -m $media${size:+ -w/-h $size -f $fps}"
  echo "== $CHECK_LABEL"
  pick_media "$media"
  local content=(--source "$SOURCE") rate=()
  if [ -n "$size" ]; then
    WIDTH=${size%x*}
    HEIGHT=${size#*x}
    content=(--segment "$CONTENT_SECONDS")
    rate=(-f "$fps")
  fi
  local dir="$work/r${saving}s${streaming}m$media$size"
  mkdir -p "$dir"
  # ffmpeg's ports (vport, aport), and the tee's, where the program sends.
  local vport aport tport gport
  vport=$(pick_ports)
  aport=$((vport + 2))
  tport=$(pick_ports)
  gport=$(pick_ports)
  local opts=(-m "$media" -w "$WIDTH" -h "$HEIGHT" "${rate[@]}" -r "$saving" -s "$streaming" -p capture
              -d 127.0.0.1 -x "$tport" -y $((tport + 2)))

  local rx='' rtcp_ports=()
  if [ "$streaming" != 0 ]; then
    "$VOZIREV_BIN/vozirev-sdp" -s "$streaming" -m "$media" -d 127.0.0.1 -x "$vport" -y "$aport" > "$dir/stream.sdp"
    local listen=$vport
    [ "$streaming" = 1 ] && [ "$media" = 1 ] && listen=$aport
    # The RTCP ports ffmpeg listens on: the transport stream's, or those of
    # the elementary streams the media type has.
    if [ "$streaming" = 2 ] || [ "$media" != 1 ]; then
      rtcp_ports+=($((vport + 1)))
    fi
    if [ "$streaming" = 1 ] && [ "$media" != 2 ]; then
      rtcp_ports+=($((aport + 1)))
    fi
    if [ "$streaming" = 1 ]; then
      rx=$dir/received.mkv
    else
      rx=$dir/received.ts
    fi
    # The transport-stream demuxer reports continuity errors at debug level only.
    RECEIVER_LOGLEVEL=level+debug start_receiver "$dir/stream.sdp" "$rx" "$listen"
    gst_receiver_start "$streaming" "$media" "$gport" $((gport + 2)) "$dir/gst.log"
    start_tee "$dir/tee" "$tport" "$vport" "$gport" $((tport + 2)) "$aport" $((gport + 2))
    start_capture "$dir" "${content[@]}" --pace realtime --duration "$CONTENT_SECONDS" -- "${opts[@]}"
    wait_delivered "$dir/delivered.qbox"
    kill -INT "$capture_pid"
    wait_capture 5
    expect_eq "exit status after SIGINT" 0 "$CAPTURE_STATUS"
    expect_eq "read failure reported" "" "$(grep 'Reading from Device failed' "$dir/program.out" || true)"
    grep -q -x -F "$(stream_announcement "$streaming" "$media" "$tport" $((tport + 2)))" "$dir/program.out" ||
      check_fail "no '$(stream_announcement "$streaming" "$media" "$tport" $((tport + 2)))' in the output"
    sleep 0.5   # the receivers take in the last datagrams before the BYE
    local port
    for port in "${rtcp_ports[@]}"; do
      send_rtcp_bye 127.0.0.1 "$port"
    done
    wait_receiver "$rx"
    gst_receiver_stop
    stop_tee
  else
    start_capture "$dir" "${content[@]}" --pace max --duration "$CONTENT_SECONDS" --end error -- "${opts[@]}"
    wait_capture 30
    expect_eq "exit status after the device failed" 1 "$CAPTURE_STATUS"
    expect_eq "read failure reported" 1 "$(grep -c '^ Reading from Device failed' "$dir/program.out")"
  fi

  expect_eq "spool files left behind" "" "$(spool_files "$dir")"
  grep -q 'Started Encoding\.\. ' "$dir/program.out" || check_fail "no 'Started Encoding..' in the output"

  "$VOZIREV_BIN/mp4_record" list "$dir/delivered.qbox" > "$dir/boxes_mp4.txt"
  "$VOZIREV_BIN/ts_feed" list "$dir/delivered.qbox" > "$dir/boxes_ts.txt"
  local pictures audio
  pictures=$(awk '$1 == "video" && $3 == 1' "$dir/boxes_mp4.txt" | wc -l)
  audio=$(grep -c '^audio ' "$dir/boxes_mp4.txt" || true)
  echo "   delivered: $pictures pictures, $audio audio frames"
  [ "$media" = 1 ] || [ "$pictures" -gt 0 ] || check_fail "no picture delivered"
  [ "$media" = 2 ] || [ "$audio" -gt 0 ] || check_fail "no audio frame delivered"

  case $saving in
    0) expect_eq "recording files" "" "$(cd "$dir" && ls capture.* 2>/dev/null || true)" ;;
    1) grep -q '^Saving to \./capture\.mp4$' "$dir/program.out" || check_fail "no 'Saving to ./capture.mp4'"
       if [ -s "$dir/capture.mp4" ]; then
         check_mp4_file "$dir/capture.mp4" "$dir/boxes_mp4.txt" "$media" "$WIDTH" "$HEIGHT"
       else
         check_fail "no recording capture.mp4"
       fi ;;
    2) grep -q '^Saving to \./capture\.mpg$' "$dir/program.out" || check_fail "no 'Saving to ./capture.mpg'"
       if [ -s "$dir/capture.mpg" ]; then
         check_ts_file "$dir/capture.mpg" "$dir/boxes_ts.txt" "$media" "$WIDTH" "$HEIGHT"
       else
         check_fail "no recording capture.mpg"
       fi ;;
  esac

  case $streaming in
    1) check_received "$rx" "$(receiver_complaints "$rx.log")" "$media" "$pictures" "$audio"
       check_es_stream_strictly "$dir" "$media" "$tport" "$pictures" "$audio" ;;
    2) expect_eq "stream continuity errors" "" "$(ts_continuity_errors "$rx.log")"
       check_received "$rx" "$(receiver_complaints "$rx.log")" \
         "$media" "$(grep -c '^video ' "$dir/boxes_ts.txt" || true)" "$(grep -c '^audio ' "$dir/boxes_ts.txt" || true)"
       check_ts_stream_strictly "$dir" "$media" "$tport" "$saving" ;;
  esac
}

# The elementary streams as GStreamer and stream_check take them: every
# picture and frame decoded without a warning; one marker per picture, the
# units rebuilt as sent, the AAC times at the stamps.
check_es_stream_strictly() {  # dir media tee_port pictures audio_frames
  local dir=$1 media=$2 tport=$3 expected=
  [ "$media" != 2 ] && expected="a $5"
  [ "$media" != 1 ] && expected="${expected:+$expected$'\n'}v $4"
  expect_eq "GStreamer warnings (stream)" "" "$(gst_warnings "$dir/gst.log")"
  check_gst_stream_frames "$expected" "$dir/gst.log"
  local vcap=- acap=-
  [ "$media" != 1 ] && vcap=$dir/tee.$tport
  [ "$media" != 2 ] && acap=$dir/tee.$((tport + 2))
  expect_eq "stream_check rtp-es" "ok" "$("$VOZIREV_BIN/stream_check" rtp-es "$dir/delivered.qbox" "$vcap" "$acap")"
}

# The transport stream carried in RTP: GStreamer decodes every frame without
# a warning, tsreport and stream_check find no fault, and a recording made
# at once (-r 2) holds exactly the stream's packets.
check_ts_stream_strictly() {  # dir media tee_port saving
  local dir=$1 media=$2 tport=$3 saving=$4
  expect_eq "GStreamer warnings (stream)" "" "$(gst_warnings "$dir/gst.log")"
  check_gst_stream_frames "$(gst_expected "$dir/boxes_ts.txt" "$media" | cut -d' ' -f1,2)" "$dir/gst.log"
  "$VOZIREV_BIN/stream_check" rtp-ts "$dir/tee.$tport" "$dir/stream.ts"
  expect_eq "stream tsreport faults" "" "$(tsreport -b "$dir/stream.ts" 2>&1 | grep -E '###|!!!' | head -3)"
  expect_eq "stream_check ts (stream)" "ok" "$("$VOZIREV_BIN/stream_check" ts "$dir/stream.ts")"
  if [ "$saving" = 2 ]; then
    cmp -s "$dir/capture.mpg" "$dir/stream.ts" || check_fail "the recording is not the stream's packets"
  fi
}

# -r 0 -s 0 with MEDIA: no output, so the program reads exactly one sample
# and ends. The device delivers one box and then fails every read: a second
# read would be reported as a read failure with exit status 1.
check_no_output() {
  local media=$1
  CHECK_LABEL="-r 0 -s 0 -m $media"
  echo "== $CHECK_LABEL"
  pick_media "$media"
  local dir="$work/r0s0m$media"
  mkdir -p "$dir"
  start_capture "$dir" --source "$SOURCE" --pace max --samples 1 --end error \
    -- -m "$media" -w "$WIDTH" -h "$HEIGHT" -r 0 -s 0 -p capture
  wait_capture 30
  expect_eq "exit status" 0 "$CAPTURE_STATUS"
  expect_eq "read failure reported" "" "$(grep 'Reading from Device failed' "$dir/program.out" || true)"
  grep -q 'Started Encoding\.\. ' "$dir/program.out" || check_fail "no 'Started Encoding..' in the output"
  expect_eq "boxes delivered" 1 "$("$VOZIREV_BIN/qbox-dump" "$dir/delivered.qbox" | wc -l)"
  expect_eq "last device commands" "start stop" "$(awk '{ print $3 }' "$dir/device.log" | tail -2 | paste -sd ' ')"
  expect_eq "files written" "" "$(ls -A "$dir" | grep -v -E '^(delivered\.qbox|device\.log|program\.out)$' || true)"
}
