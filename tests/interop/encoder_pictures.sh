#!/usr/bin/env bash
# Pictures as encoders other than the corpus's own send them, through the
# unmodified program under the emulated device, read by real readers; the
# pictures are counted in what the device delivered (its --record file):
# - four slices a picture (av_320x240_30fps_slices4): the MP4 recording holds
#   one sample per picture (a sample is an access unit, ISO/IEC 14496-15
#   5.3.2), which ffmpeg and GStreamer decode to one frame each without an
#   error; the transport-stream recording, and the RTP elementary streams
#   received by ffmpeg with the program's own description (-j), decode to
#   one frame per picture too;
# - nal_ref_idc 1 (av_320x240_30fps_refidc1): the MP4 recording has its video
#   track, and its "stss" lists exactly the IDR pictures delivered;
# - 100x100, cropped from 112x112 by the SPS (av_100x100_30fps_gop30): ffprobe,
#   "tkhd" and "avc1" say 100x100, and every decoded frame is 100x100.
# "stss", "tkhd" and "avc1" are read by the box reader below, not by ffmpeg.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_outputs.bash"

CONTENT=2   # seconds of each stream, an IDR picture every second

# The numbers (from 1) of the pictures in the device's record, or with "idr"
# of those with an IDR slice (nal_unit_type 1 or 5: a slice; 5: of an IDR
# picture).
picture_numbers() {  # record.qbox [idr]
  "$VOZIREV_BIN/qbox-dump" "$1" | awk -v idr="${2:-}" '/ type=video / {
    n = split(substr($NF, 5), t, ","); slice = key = 0
    for (i = 1; i <= n; i++) { slice = slice || t[i] == 1 || t[i] == 5; key = key || t[i] == 5 }
    if (slice && ++pictures && (!idr || key)) print pictures }'
}

# Starts the program on a corpus stream in the directory RUN, $work/STREAM-TAG:
# device options, "--", the program's.
run() {  # stream tag device-options... -- program-options...
  RUN=$work/$1-$2
  mkdir -p "$RUN"
  local source=$VOZIREV_CORPUS/$1.qbox
  shift 2
  start_capture "$RUN" --source "$source" --duration "$CONTENT" "$@" -p capture
}

# Records at full speed until the device fails its reads (-r SAVING);
# PICTURES is what the device delivered.
record() {  # stream saving [program options]
  run "$1" "r$2" --pace max --end error -- -r "$2" -s 0 "${@:3}"
  wait_capture 30
  expect_eq "exit status after the device failed" 1 "$CAPTURE_STATUS"
  PICTURES=$(picture_numbers "$RUN/delivered.qbox" | wc -l)
}

count() {  # packets|frames file: those of the first video stream, by ffprobe
  ffprobe -v error -select_streams v:0 "-count_$1" -show_entries "stream=nb_read_$1" -of csv=p=0 "$2" |
    awk 'NF { print; exit }'   # a transport stream's programme lists it again
}

# One frame decoded per picture delivered, and no decoding error.
check_decodes() {  # file
  expect_eq "frames ffmpeg decodes ($PICTURES pictures delivered)" "$PICTURES" "$(count frames "$1")"
  local errors
  errors=$(ts_complaints "$(ffmpeg -nostdin -v error -threads 1 -i "$1" -map 0:v -f null - 2>&1)")
  [ -z "$errors" ] || check_fail "ffmpeg decoding errors: $(wc -l <<<"$errors") lines, the first: $(head -1 <<<"$errors")"
}

# The MP4 recording has a video track of one sample per picture.
check_samples() {  # mp4
  if [ -z "$(mp4_probe "$1" v stream=codec_type)" ]; then
    check_fail "no video track"
    return 1
  fi
  local samples
  samples=$(count packets "$1")
  [ "$samples" = "$PICTURES" ] ||
    check_fail "$samples video samples for $PICTURES pictures ($(awk -v s="$samples" -v p="$PICTURES" \
      'BEGIN { printf "%.3g", s / p }') per picture)"
}

# ---- a box reader of its own (ISO/IEC 14496-12) ----------------------------

be() {  # bytes(2|4) file offset [count]: big-endian unsigned fields
  od -An -v "-tu$1" --endian=big -j "$3" -N $(($1 * ${4:-1})) "$2" | xargs
}

# "PATH OFFSET SIZE" of every box (4.2) on the way to the sample tables and
# the sample entries, which follow the full box header and entry count of
# "stsd" (8.5.2).
mp4_boxes() {  # file [from to path]
  local file=$1 at=${2:-0} end=${3:-$(stat -c %s "$1")} path=${4:-} size type
  while [ $((at + 8)) -le "$end" ]; do
    size=$(be 4 "$file" "$at")
    type=$(od -An -v -tc -j $((at + 4)) -N 4 "$file" | tr -d ' ')
    [ "$size" -ge 8 ] && [ $((at + size)) -le "$end" ] || { echo "$path/$type $at bad-size"; return; }
    echo "$path/$type $at $size"
    case $type in
      moov | trak | mdia | minf | stbl) mp4_boxes "$file" $((at + 8)) $((at + size)) "$path/$type" ;;
      stsd) mp4_boxes "$file" $((at + 16)) $((at + size)) "$path/$type" ;;
    esac
    at=$((at + size))
  done
}

# "TYPE OFFSET SIZE" of the boxes of the track whose handler (hdlr,
# 8.4.3: handler_type after 16 bytes) is "vide".
video_track_boxes() {  # mp4
  local track t at
  mp4_boxes "$1" | awk '$1 == "/moov/trak" { n++ } $1 ~ "^/moov/trak/" { print n, $0 }' > "$1.boxes"
  while read -r t at; do
    if [ "$(od -An -tc -j $((at + 16)) -N 4 "$1" | tr -d ' ')" = vide ]; then track=$t; fi
  done < <(awk '$2 ~ /\/hdlr$/ { print $1, $3 }' "$1.boxes")
  awk -v t="${track:-none}" '$1 == t { n = split($2, p, "/"); print p[n], $3, $4 }' "$1.boxes"
}

# The picture size a video track's "tkhd" (16.16 width and height, its last
# 8 bytes in either version, 8.3.2) or "avc1" (16-bit width and height after
# 32 bytes, 12.1.3) announces.
box_size() {  # mp4 tkhd|avc1
  local at size
  read -r _ at size < <(video_track_boxes "$1" | grep "^$2 ") || { echo "no $2"; return; }
  if [ "$2" = tkhd ]; then
    be 4 "$1" $((at + size - 8)) 2 | awk '{ printf "%gx%g\n", $1 / 65536, $2 / 65536 }'
  else
    be 2 "$1" $((at + 32)) 2 | tr ' ' x
  fi
}

# The sample numbers "stss" lists (8.6.2: entry_count, then the numbers).
sync_samples() {  # mp4
  local at
  read -r _ at _ < <(video_track_boxes "$1" | grep '^stss ') || { echo "no stss"; return; }
  be 4 "$1" $((at + 16)) "$(be 4 "$1" $((at + 12)))"
}

# ---- the streams -----------------------------------------------------------

CHECK_LABEL="four slices, MP4"
record av_320x240_30fps_slices4 1
mp4=$RUN/capture.mp4
check_samples "$mp4" || true
check_decodes "$mp4"
gst_decode_file "$mp4" mp4 3
expect_eq "GStreamer warnings" "" "$(gst_warnings "$mp4.gst.log")"
expect_eq "frames GStreamer decodes" "$PICTURES" "$(gst_sink_summary "$mp4.gst.log" | awk '$1 == "v" { print $2 }')"

CHECK_LABEL="four slices, transport stream"
record av_320x240_30fps_slices4 2
check_decodes "$RUN/capture.mpg"

# ffmpeg must listen before the first packet, and the program writes its
# description as it starts: a run at full speed on the same ports writes the
# one the receiver opens.
CHECK_LABEL="four slices, RTP elementary streams"
vport=$(pick_ports)
stream=(-r 0 -s 1 -j stream.sdp -x "$vport" -y $((vport + 2)))
run av_320x240_30fps_slices4 describe --pace max --end error -- "${stream[@]}"
wait_capture 30
expect_eq "exit status after the device failed (describing run)" 1 "$CAPTURE_STATUS"
sdp=$RUN/stream.sdp
start_receiver "$sdp" "$work/received.mkv" $((vport + 2))
run av_320x240_30fps_slices4 s1 --pace realtime -- "${stream[@]}"
wait_delivered "$RUN/delivered.qbox"
kill -INT "$capture_pid"
wait_capture 5
expect_eq "exit status after SIGINT" 0 "$CAPTURE_STATUS"
wait_receiver "$work/received.mkv"   # the program's RTCP BYE ends its input
PICTURES=$(picture_numbers "$RUN/delivered.qbox" | wc -l)
check_decodes "$work/received.mkv"

CHECK_LABEL="nal_ref_idc 1, MP4"
record av_320x240_30fps_refidc1 1
if check_samples "$RUN/capture.mp4"; then
  expect_eq '"stss" sample numbers (the IDR pictures delivered)' \
    "$(picture_numbers "$RUN/delivered.qbox" idr | xargs)" "$(sync_samples "$RUN/capture.mp4")"
fi

CHECK_LABEL="100x100, MP4"
record av_100x100_30fps_gop30 1 -w 100 -h 100
mp4=$RUN/capture.mp4
expect_eq "ffprobe's picture size" 100x100 "$(mp4_probe "$mp4" v:0 stream=width,height | paste -sd x)"
expect_eq '"tkhd" width x height' 100x100 "$(box_size "$mp4" tkhd)"
expect_eq '"avc1" width x height' 100x100 "$(box_size "$mp4" avc1)"
expect_eq "decoded frame sizes" 100x100 \
  "$(ffprobe -v error -select_streams v:0 -show_entries frame=width,height -of csv=p=0 "$mp4" |
    grep -E '^[0-9]+,[0-9]+$' | sort -u | tr , x | xargs)"
check_decodes "$mp4"
checks_done "PASS"
