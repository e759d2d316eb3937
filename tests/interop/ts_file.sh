#!/usr/bin/env bash
# Records QBox streams of real encoder output through the transport-stream
# route into .mpg files (the ts_feed driver feeds every box exactly as the
# capture loop does, output mode 1) and checks them with ffprobe/ffmpeg and
# an independent packet scan:
#   - no warning or error from ffprobe or from a full ffmpeg decode, except
#     the notes about the private-data stream that the audio-and-video table
#     lists but that never carries data (no start time, no codec);
#   - no continuity error (ffprobe's debug log and the packet scan);
#   - H.264 at the picture size, AAC 48 kHz stereo;
#   - one decoded video frame per picture-carrying video QBox after the first
#     sequence parameter set, one audio frame per audio QBox, each at its
#     QBox time stamp to the 90 kHz tick;
#   - PCR on the PMT's PCR PID, never decreasing, at most 100 ms apart.
set -euo pipefail

: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
DRIVER="$VOZIREV_BIN/ts_feed"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

source "$(dirname "${BASH_SOURCE[0]}")/media_checks.bash"

# check_stream QBOX MEDIA WIDTH HEIGHT
check_stream() {
  local qbox=$1 media=$2 width=$3 height=$4
  CHECK_LABEL=$(basename "$qbox")
  local out="$WORK/${CHECK_LABEL%.qbox}.mpg"
  echo "== $CHECK_LABEL"

  if ! "$DRIVER" file "$qbox" "$out" "$media"; then
    check_fail "driver failed"
    return
  fi
  "$DRIVER" list "$qbox" > "$WORK/boxes.txt"
  check_ts_file "$out" "$WORK/boxes.txt" "$media" "$width" "$height"
}

check_stream "$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox" 3 320 240
check_stream "$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox" 3 720 576
check_stream "$VOZIREV_CORPUS/av_720x480_15fps_gop5.qbox" 3 720 480
check_stream "$VOZIREV_CORPUS/v_352x288_30fps_gop10.qbox" 2 352 288
check_stream "$VOZIREV_CORPUS/a_only.qbox" 1 0 0
check_stream "$VOZIREV_CORPUS/av_320x240_25fps_audio_late.qbox" 3 320 240
check_stream "$VOZIREV_CORPUS/av_176x144_5fps_video_late.qbox" 3 176 144
check_stream "$VOZIREV_CORPUS/av_320x240_30fps_audio_lost.qbox" 3 320 240

checks_done "all transport-stream file checks passed"
