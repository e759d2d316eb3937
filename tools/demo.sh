#!/usr/bin/env bash
# make demo: the program's main job on any Linux PC. The unmodified capture
# program runs under the emulated encoder for 10 seconds of live content,
# records MP4 under a chosen name, is stopped with Ctrl+C (SIGINT) as a user
# would, and the recording is then shown with ffprobe and a contact sheet.
set -euo pipefail
bin=$(cd "${1:-build/normal}" && pwd)
out=${DEMO_DIR:-$PWD/demo}
mkdir -p "$out"
cd "$out"
rm -f demo.mp4 demo-contact-sheet.png

echo "== capturing 10 s from the emulated encoder into $out/demo.mp4"
"$bin/vozirev-emu" --duration 10 --log "$out/device-commands.log" -- \
  "$bin/vozirev" -p demo -w 320 -h 240 -f 30 -i 30 &
pid=$!
sleep 12
kill -INT "$pid"
status=0
wait "$pid" || status=$?
echo
echo "== capture program exited with status $status"

echo "== what was recorded"
ffprobe -v error -show_entries format=filename,size,duration:stream=index,codec_type,codec_name,width,height,r_frame_rate,sample_rate,channels,duration,nb_frames \
  -of default=noprint_wrappers=1 demo.mp4
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 demo.mp4)
echo "decoded video frames=$frames"

ffmpeg -v error -y -i demo.mp4 -vf "fps=1,scale=320:-1,tile=5x2" -frames:v 1 demo-contact-sheet.png
echo "== contact sheet: $out/demo-contact-sheet.png"
exit "$status"
