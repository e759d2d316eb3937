#!/usr/bin/env bash
# Two MP4 recordings started in one directory under the same name (two
# devices started in the same second get the same time-stamp name): the
# second run is refused before it opens the file, and the first run's
# recording is left whole and plays with every picture it received.
set -euo pipefail
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
work=$(mktemp -d)
first=
cleanup() {
  [ -n "$first" ] && kill -KILL "$first" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
source_stream="$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox"
args=(-m 3 -w 320 -h 240 -f 30 -i 30 -p same)

# The first run takes 40 samples and then waits on a silent device, holding
# the spool files.
"$VOZIREV_BIN/vozirev-emu" --pace max --source "$source_stream" --samples 40 --end stall \
  --record first.qbox -- "$VOZIREV_BIN/vozirev" "${args[@]}" >first.out </dev/null &
first=$!
for _ in $(seq 100); do
  [ "$("$VOZIREV_BIN/qbox-dump" first.qbox 2>/dev/null | wc -l)" = 40 ] && break
  sleep 0.1
done
sleep 0.5   # the last sample read is also written

status=0
"$VOZIREV_BIN/vozirev-emu" --pace max --source "$source_stream" --samples 40 -- \
  "$VOZIREV_BIN/vozirev" "${args[@]}" >second.out </dev/null || status=$?
[ "$status" = 1 ] || { echo "second run: status $status, expected 1"; cat second.out; exit 1; }
grep -q "^Unble to open output file for writing\.$" second.out ||
  { echo "second run: no refusal message"; cat second.out; exit 1; }

kill -INT "$first"
status=0
wait "$first" || status=$?
first=
[ "$status" = 0 ] || { echo "first run: status $status"; cat first.out; exit 1; }

pictures=$("$VOZIREV_BIN/qbox-dump" first.qbox | grep -c 'type=video.*nal=.*\b[15]\b' || true)
warnings=$(ffmpeg -nostdin -v warning -i same.mp4 -f null - 2>&1 || echo "ffmpeg failed")
[ -z "$warnings" ] || { echo "first recording does not decode cleanly: $warnings"; exit 1; }
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
  -of csv=p=0 same.mp4)
[ "$frames" = "$pictures" ] || { echo "first recording: $frames frames, $pictures pictures delivered"; exit 1; }
ls ~temp* >/dev/null 2>&1 && { echo "spool files left behind"; exit 1; }
echo "ok: second run refused, first recording has all $frames pictures"
