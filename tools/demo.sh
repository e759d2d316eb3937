#!/usr/bin/env bash
# make demo: the program's main job on any Linux PC. The unmodified capture
# program runs under the emulated encoder with its default settings (MP4
# recording, 320x240 at 30 fps with audio) and the name "demo", receives
# 10 seconds of live content, is stopped with Ctrl+C (SIGINT) as a user
# would, and the recording is then shown with ffprobe and a contact sheet.
#
#   tools/demo.sh [BUILD_DIR]      (make demo passes build/normal)
# Outputs go to $DEMO_DIR (default ./demo): demo.mp4, demo-contact-sheet.png,
# device-commands.log (the command words the program sent) and
# device-delivered.qbox (the samples the device delivered).
set -euo pipefail
bin=$(cd "${1:-build/normal}" && pwd)
out=${DEMO_DIR:-$PWD/demo}
seconds=10
mkdir -p "$out"
cd "$out"
rm -f demo.mp4 demo-contact-sheet.png device-commands.log device-delivered.qbox

echo "== capturing $seconds s from the emulated encoder into $out/demo.mp4"
"$bin/vozirev-emu" --duration "$seconds" --log device-commands.log \
  --record device-delivered.qbox -- "$bin/vozirev" -p demo &
pid=$!

# The device delivers $seconds s of content in real time and then waits, as
# a live encoder between samples would. Press Ctrl+C once everything has
# been delivered: the delivered-samples file has stopped growing after at
# least $seconds s (the first run of a new setting also encodes the content).
started=$SECONDS
last=-1
while kill -0 "$pid" 2>/dev/null; do
  sleep 1
  size=$(stat -c %s device-delivered.qbox 2>/dev/null || echo 0)
  if [ $((SECONDS - started)) -gt "$seconds" ] && [ "$size" -gt 0 ] && [ "$size" = "$last" ]; then
    echo
    echo "== Ctrl+C (SIGINT) to the capture program"
    kill -INT "$pid"
    break
  fi
  last=$size
  if [ $((SECONDS - started)) -gt 120 ]; then
    echo "== no end of the content after 120 s; stopping the capture program" >&2
    kill -INT "$pid"
    break
  fi
done
status=0
wait "$pid" || status=$?
echo
echo "== capture program exited with status $status"
[ -s demo.mp4 ] || { echo "== no recording was made" >&2; exit 1; }

echo "== what was recorded"
ffprobe -v error -show_entries format=filename,size,duration:stream=index,codec_type,codec_name,width,height,r_frame_rate,sample_rate,channels,duration,nb_frames \
  -of default=noprint_wrappers=1 demo.mp4
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 demo.mp4)
echo "decoded video frames=$frames"

# One frame per second of the recording, five across and two down.
ffmpeg -nostdin -v error -y -i demo.mp4 -vf "fps=1,scale=320:-1,tile=5x2" -frames:v 1 demo-contact-sheet.png
echo "== contact sheet: $out/demo-contact-sheet.png"
exit "$status"
