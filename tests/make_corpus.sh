#!/usr/bin/env bash
# Encodes the shared QBox test streams once; every later test run (and the
# second build tree) finds them in place.
set -euo pipefail
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
mkdir -p "$VOZIREV_CORPUS"

make_stream() {
  local name=$1; shift
  [ -s "$VOZIREV_CORPUS/$name" ] && return 0
  "$VOZIREV_BIN/qbox-encode" "$@" -o "$VOZIREV_CORPUS/$name"
  echo "encoded $name"
}

make_stream av_320x240_30fps_gop30.qbox -m 3 -w 320 -h 240 -f 30 -i 30 -v 512 -a 48 --duration 3 &
make_stream av_720x576_25fps_gop12.qbox -m 3 -w 720 -h 576 -f 25 -i 12 -v 2000 -a 96 --duration 2 &
make_stream av_720x480_15fps_gop5.qbox -m 3 -w 720 -h 480 -f 15 -i 5 -v 1000 -a 64 --duration 2 &
wait
make_stream v_352x288_30fps_gop10.qbox -m 2 -w 352 -h 288 -f 30 -i 10 -v 768 --duration 3 &
make_stream a_only.qbox -m 1 -a 128 --duration 3 &
wait
# The media out of step: audio starting 107 ms (9630 ticks) after the video,
# video starting 1 s after the audio (at 5 pictures a second, the lowest rate
# the program takes), and one audio frame lost after the first two.
make_stream av_320x240_25fps_audio_late.qbox -m 3 -w 320 -h 240 -f 25 -i 25 --audio-offset 9630 --duration 2 &
make_stream av_176x144_5fps_video_late.qbox -m 3 -w 176 -h 144 -f 5 -i 5 --audio-offset -90000 --duration 3 &
make_stream av_320x240_30fps_audio_lost.qbox -m 3 -w 320 -h 240 -f 30 -i 30 --drop-audio-frame 2 --duration 2 &
wait
# Pictures as other encoders send them: four slices each (with x264's SEI
# in the first), nal_ref_idc 1 wherever x264 wrote a non-zero one, and a
# size that is no whole number of macroblocks (the SPS crops 112x112).
make_stream av_320x240_30fps_slices4.qbox -m 3 -w 320 -h 240 -f 30 -i 30 --slices 4 --duration 2 &
make_stream av_320x240_30fps_refidc1.qbox -m 3 -w 320 -h 240 -f 30 -i 30 --nal-ref-idc 1 --duration 2 &
make_stream av_100x100_30fps_gop30.qbox -m 3 -w 100 -h 100 -f 30 -i 30 --duration 2 &
wait
for f in av_320x240_30fps_gop30 av_720x576_25fps_gop12 av_720x480_15fps_gop5 v_352x288_30fps_gop10 a_only \
         av_320x240_25fps_audio_late av_176x144_5fps_video_late av_320x240_30fps_audio_lost \
         av_320x240_30fps_slices4 av_320x240_30fps_refidc1 av_100x100_30fps_gop30; do
  [ -s "$VOZIREV_CORPUS/$f.qbox" ] || { echo "missing $f.qbox" >&2; exit 1; }
done
