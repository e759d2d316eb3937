#!/usr/bin/env bash
# make demo-recover: a recording cut short by kill -9 comes back. The
# unmodified capture program records live content from the emulated encoder
# into "field.mp4"; after about 6 seconds it is killed with SIGKILL, as a
# power cut or a crashed board would end it: the file has no index and does
# not play. vozirev-recover then rebuilds it from the spool files the run
# left beside it; ffprobe shows the file before and after.
#
#   tools/demo-recover.sh [BUILD_DIR]   (make demo-recover passes build/normal)
# Outputs go to $DEMO_DIR/recover (default ./demo/recover).
set -euo pipefail
bin=$(cd "${1:-build/normal}" && pwd)
out=${DEMO_DIR:-$PWD/demo}/recover
mkdir -p "$out"
cd "$out"
rm -f field.mp4 device-delivered.qbox ./~temp*

echo "== recording live content into $out/field.mp4"
"$bin/vozirev-emu" --record device-delivered.qbox -- "$bin/vozirev" -p field > capture.txt &
pid=$!
# Six seconds of content once the encoder has started.
for ((i = 0; i < 600; i++)); do [ -s device-delivered.qbox ] && break; sleep 0.05; done
sleep 6
echo "== kill -9 (SIGKILL): the program gets no chance to finish the file"
kill -KILL "$pid"
wait "$pid" 2>/dev/null || true
echo "== left in the directory"
ls -l field.mp4 ./~temp*
echo "== ffprobe before the recovery"
ffprobe -v error -show_entries format=duration,size -of default=noprint_wrappers=1 field.mp4 || true

echo "== vozirev-recover $out"
"$bin/vozirev-recover" "$out"

echo "== ffprobe after the recovery"
ffprobe -v error -show_entries format=duration,size:stream=codec_name,width,height,nb_frames \
  -of default=noprint_wrappers=1 field.mp4
delivered=$("$bin/qbox-dump" device-delivered.qbox | awk '{ n++ } END { print n + 0 }')
errors=$(ffmpeg -nostdin -v error -i field.mp4 -f null - 2>&1)
echo "decode errors=${errors:-none}"
echo "boxes the device delivered before the kill=$delivered"
