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

probe() {  # stream selector, entries
  ffprobe -v error -select_streams "$1" -show_entries "$2" -of default=nw=1:nk=1 "$CURRENT_MP4"
}

# check_stream QBOX MEDIA WIDTH HEIGHT
#   MEDIA: 1 audio only, 2 video only, 3 both; WIDTH/HEIGHT of the SPS.
check_stream() {
  local qbox=$1 media=$2 width=$3 height=$4
  CURRENT=$(basename "$qbox")
  CURRENT_MP4="$WORK/${CURRENT%.qbox}.mp4"
  echo "== $CURRENT"

  if ! "$DRIVER" record "$qbox" "$CURRENT_MP4" "$media"; then
    fail "driver failed"
    return
  fi
  local leftover
  leftover=$(ls -A "$WORK" | grep '^~temp' || true)
  expect_eq "spool files left behind" "" "$leftover"

  "$DRIVER" list "$qbox" > boxes.txt

  local warnings errors
  warnings=$(ffprobe -v warning "$CURRENT_MP4" 2>&1 >/dev/null)
  expect_eq "ffprobe warnings" "" "$warnings"
  errors=$(ffmpeg -nostdin -v error -i "$CURRENT_MP4" -f null - 2>&1)
  expect_eq "ffmpeg decode errors" "" "$errors"

  local streams
  streams=$(ffprobe -v error -show_entries stream=codec_type -of default=nw=1:nk=1 "$CURRENT_MP4" | tr '\n' ' ')
  case $media in
    1) expect_eq "streams" "audio " "$streams" ;;
    2) expect_eq "streams" "video " "$streams" ;;
    3) expect_eq "streams" "video audio " "$streams" ;;
  esac

  if [ "$media" != 1 ]; then
    expect_eq "video codec" "h264" "$(probe v:0 stream=codec_name)"
    expect_eq "video size" "${width}x${height}" \
      "$(probe v:0 stream=width,height | paste -sd x)"

    # The pictures' time stamps relative to the first one, as recorded.
    awk '$1 == "video" && $3 == 1 { if (!n++) t0 = $2; print $2 - t0 }' boxes.txt > expected_pts.txt
    ffprobe -v error -select_streams v:0 -show_entries frame=pts -of csv=p=0 "$CURRENT_MP4" \
      | sed 's/,*$//' > actual_pts.txt
    expect_eq "decoded frames" "$(wc -l < expected_pts.txt)" "$(wc -l < actual_pts.txt)"
    if ! diff -q expected_pts.txt actual_pts.txt > /dev/null; then
      fail "frame time stamps differ from the QBox time stamps:"
      diff expected_pts.txt actual_pts.txt | head -5
    fi
    expect_eq "video time base" "1/90000" "$(probe v:0 stream=time_base)"
    # Span of the pictures plus the last frame's duration, in 90 kHz ticks.
    local video_span
    video_span=$(awk '$1 == "video" && $3 == 1 { if (!n++) t0 = $2; if ($2 != last) { gap = $2 - last; last = $2 } }
                      END { print last - t0 + gap }' boxes.txt)
    expect_eq "video track duration" "$video_span" "$(probe v:0 stream=duration_ts)"
  fi

  if [ "$media" != 2 ]; then
    expect_eq "audio codec" "aac" "$(probe a:0 stream=codec_name)"
    expect_eq "audio format" "48000 2" "$(probe a:0 stream=sample_rate,channels | paste -sd ' ')"
    expect_eq "audio packets" "$(awk '$1 == "audio"' boxes.txt | wc -l)" \
      "$(ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$CURRENT_MP4")"
    # Span of the frames plus one frame, converted to 48 kHz samples.
    local audio_span
    audio_span=$(awk '$1 == "audio" { if (!n++) t0 = $2; gap = $2 - last; last = $2 }
                      END { print (last - t0 + gap) * 48000 / 90000 }' boxes.txt)
    expect_eq "audio track duration" "$audio_span" "$(probe a:0 stream=duration_ts)"
  fi
}

check_stream "$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox" 3 320 240
check_stream "$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox" 3 720 576
check_stream "$VOZIREV_CORPUS/av_720x480_15fps_gop5.qbox" 3 720 480
check_stream "$VOZIREV_CORPUS/v_352x288_30fps_gop10.qbox" 2 352 288
check_stream "$VOZIREV_CORPUS/a_only.qbox" 1 0 0

# A few more shapes, kept short: every frame an IDR, and a high frame rate.
ENCODE="$VOZIREV_BIN/qbox-encode"
if [ -x "$ENCODE" ]; then
  "$ENCODE" -m 3 -w 176 -h 144 -f 10 -i 1 --duration 1 -o "$WORK/av_176x144_10fps_gop1.qbox" >/dev/null
  check_stream "$WORK/av_176x144_10fps_gop1.qbox" 3 176 144
  "$ENCODE" -m 2 -w 640 -h 480 -f 60 -i 60 --duration 1 -o "$WORK/v_640x480_60fps_gop60.qbox" >/dev/null
  check_stream "$WORK/v_640x480_60fps_gop60.qbox" 2 640 480
else
  fail "$ENCODE is missing"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all MP4 recordings checked"
