#!/usr/bin/env bash
# Records QBox streams of real encoder output through the MP4 route (the
# mp4_record driver, exactly as the capture loop feeds it) and checks the
# files with ffprobe/ffmpeg: no warning or decode error, H.264 at the SPS
# size and AAC 48 kHz stereo, one decoded frame per picture-carrying video
# QBox, every frame at its QBox time stamp (to the 90 kHz tick), and track
# durations matching the QBox time span.
set -euo pipefail

: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
DRIVER="$VOZIREV_BIN/mp4_record"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"   # the writer's spool files go to the current directory

source "$(dirname "${BASH_SOURCE[0]}")/media_checks.bash"

# check_stream QBOX MEDIA WIDTH HEIGHT
#   MEDIA: 1 audio only, 2 video only, 3 both; WIDTH/HEIGHT of the SPS.
check_stream() {
  local qbox=$1 media=$2 width=$3 height=$4
  CHECK_LABEL=$(basename "$qbox")
  local mp4="$WORK/${CHECK_LABEL%.qbox}.mp4"
  echo "== $CHECK_LABEL"

  if ! "$DRIVER" record "$qbox" "$mp4" "$media"; then
    check_fail "driver failed"
    return
  fi
  local leftover
  leftover=$(ls -A "$WORK" | grep '^~temp' || true)
  expect_eq "spool files left behind" "" "$leftover"

  "$DRIVER" list "$qbox" > boxes.txt
  check_mp4_file "$mp4" boxes.txt "$media" "$width" "$height"
}

check_stream "$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox" 3 320 240
check_stream "$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox" 3 720 576
check_stream "$VOZIREV_CORPUS/av_720x480_15fps_gop5.qbox" 3 720 480
check_stream "$VOZIREV_CORPUS/v_352x288_30fps_gop10.qbox" 2 352 288
check_stream "$VOZIREV_CORPUS/a_only.qbox" 1 0 0
check_stream "$VOZIREV_CORPUS/av_320x240_25fps_audio_late.qbox" 3 320 240
check_stream "$VOZIREV_CORPUS/av_176x144_5fps_video_late.qbox" 3 176 144
check_stream "$VOZIREV_CORPUS/av_320x240_30fps_audio_lost.qbox" 3 320 240

# A few more shapes, kept short: every frame an IDR, and a high frame rate.
ENCODE="$VOZIREV_BIN/qbox-encode"
if [ -x "$ENCODE" ]; then
  "$ENCODE" -m 3 -w 176 -h 144 -f 10 -i 1 --duration 1 -o "$WORK/av_176x144_10fps_gop1.qbox" >/dev/null
  check_stream "$WORK/av_176x144_10fps_gop1.qbox" 3 176 144
  "$ENCODE" -m 2 -w 640 -h 480 -f 60 -i 60 --duration 1 -o "$WORK/v_640x480_60fps_gop60.qbox" >/dev/null
  check_stream "$WORK/v_640x480_60fps_gop60.qbox" 2 640 480
else
  check_fail "$ENCODE is missing"
fi

# Roll-over at the size limit, lowered to 4 MB through the driver (at the
# real 4 GiB limit the rule is the same): 40 s of 720x576 content (about
# 12 MB, looped by the emulated device) goes into rollover.mp4,
# rollover-0002.mp4, ... Nothing is dropped: each file holds the next run
# of the boxes, in order, passes every check above (so it decodes alone),
# and starts with an IDR picture; the runs add up to every box.
check_rollover() {
  CHECK_LABEL="roll-over"
  echo "== $CHECK_LABEL"
  mkdir -p "$WORK/long" "$WORK/rollover"
  (cd "$WORK/long" && timeout 120 "$VOZIREV_BIN/vozirev-emu" --source "$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox" \
     --pace max --duration 40 --end error --record long.qbox -- "$VOZIREV_BIN/vozirev" -p scratch > out.txt 2>&1 || true)
  "$DRIVER" record "$WORK/long/long.qbox" "$WORK/rollover/rollover.mp4" 3 4000000 > /dev/null ||
    { check_fail "driver failed"; return; }
  cd "$WORK/rollover"
  expect_eq "spool files left behind" "" "$(ls -A | grep '^~temp' || true)"
  local files
  files=$(ls rollover*.mp4 | sort -t- -k2 | paste -sd ' ')
  expect_eq "files" "rollover.mp4 rollover-0002.mp4 rollover-0003.mp4 rollover-0004.mp4" "$files"
  "$DRIVER" list "$WORK/long/long.qbox" > rest.txt
  local file frames packets
  for file in $files; do
    CHECK_LABEL="roll-over $file"
    expect_eq "size within the limit" 1 "$(( $(stat -c %s "$file") <= 4000000 + 65536 ))"
    frames=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$file")
    packets=$(ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$file")
    awk -v f="$frames" -v p="$packets" '
      { if (nv >= f && na >= p) { print > "rest.next"; next }
        print > "boxes.txt"
        if ($1 == "video" && $3 == 1) nv++
        if ($1 == "audio") na++ }' rest.txt
    touch rest.next
    mv rest.next rest.txt
    check_mp4_file "$file" boxes.txt 3 720 576
    rm -f boxes.txt
    expect_eq "first picture" "K" "$(ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 "$file" | head -1 | cut -c1)"
  done
  CHECK_LABEL="roll-over"
  expect_eq "boxes in no file" "" "$(awk '$1 == "audio" || $3 == 1' rest.txt | head -3)"
  cd "$WORK"
}
check_rollover

checks_done "all MP4 recordings checked"
