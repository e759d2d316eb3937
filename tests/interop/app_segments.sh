#!/usr/bin/env bash
# Continuous recording in segments (-g), under the emulated device.
#
# 60 s of content at full pace, 10 s segments, recorded as MP4 and as a
# transport stream, with audio and video, video only and audio only:
#   - six files, seg-0001 to seg-0006;
#   - the cuts are where the rule puts them, worked out here from the boxes
#     the device delivered (its --record file): at the first IDR picture at
#     or after each 10 s of content from the first box (audio only: the
#     first audio box); so every box is in exactly one segment, in order;
#   - each segment reads and decodes alone with no warning and holds exactly
#     its boxes, every frame at its time stamp (the full checks of
#     media_checks.bash: ffmpeg, GStreamer, stream_check, tsreport); its
#     first picture is an IDR picture; a transport stream starts with the
#     PAT and the PMT;
#   - each segment ends where the next begins: an MP4 segment's video track
#     lasts until the next segment's first picture, a transport stream's
#     time stamps run on across the cut.
# Streaming while recording in 2 s segments, at real-time pace, gives the
# same datagrams as the same run without segments (the transport stream
# with a transport-stream recording, which share one packetisation, and the
# elementary streams with an MP4 recording).
# A second run under the same name numbers its segments on from the first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

SEGMENT_SECONDS=10
CONTENT_SECONDS=60
EXPECTED_SEGMENTS=6
TICKS_PER_SECOND=90000

# The segment of every box in rec.qbox by the cut rule, one "SEGMENT SIZE"
# line per box, into split.txt.
split_boxes() {  # media
  "$DUMP" rec.qbox | awk -v media="$1" -v len=$((SEGMENT_SECONDS * TICKS_PER_SECOND)) '
    { size = substr($2, 6); type = substr($3, 6); cts = substr($5, 5) + 0; nal = $6
      if (NR == 1) { first = cts; boundary = first + len; seg = 1 }
      else {
        starts = media == 1 ? type == "audio" : type == "video" && nal ~ /[=,]5(,|$)/
        if (cts >= boundary && starts) { seg++; boundary = first + (int((cts - first) / len) + 1) * len }
      }
      print seg, size }' > split.txt
}

# seg_K.qbox: the boxes of segment K, cut out of rec.qbox.
slice_segments() {
  local seg offset=0 bytes
  for ((seg = 1; seg <= $(tail -n 1 split.txt | cut -d' ' -f1); seg++)); do
    bytes=$(awk -v s=$seg '$1 == s { n += $2 } END { print n + 0 }' split.txt)
    dd if=rec.qbox of="seg_$seg.qbox" iflag=skip_bytes,count_bytes skip=$offset count="$bytes" status=none
    offset=$((offset + bytes))
  done
}

# Video time stamps (90 kHz) of a file's first and last packets.
video_pts() { ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$1" | sed 's/,*$//'; }
first_video_pts() { video_pts "$1" | head -1; }
last_video_pts() { video_pts "$1" | sort -n | tail -1; }

# PID of the 188-byte packet number $2 of a file.
packet_pid() {
  local b
  b=$(od -An -tu1 -j $(($2 * 188 + 1)) -N 2 "$1")
  set -- $b
  echo $(( ($1 & 31) * 256 + $2 ))
}

# One run and its checks, in directory LABEL; failures go to its result.txt.
segment_case() {  # label, format (mp4|ts), media, source
  local label=$1 format=$2 media=$3 source=$4 rc=0
  case_dir "$label"
  local save=1 ext=mp4 width=320 height=240
  [ "$format" = ts ] && save=2 ext=mpg
  [ "$media" = 2 ] && width=352 height=288
  timeout 120 "$EMU" --source "$source" --pace max --duration $CONTENT_SECONDS --end error --record rec.qbox \
    -- "$PROG" -m "$media" -r $save -p seg -g $SEGMENT_SECONDS > out.txt 2>&1 || rc=$?
  expect_eq "exit status at the device's end" 1 "$rc"
  split_boxes "$media"
  slice_segments
  local files
  files=$(ls seg-*."$ext" | paste -sd ' ')
  expect_eq "segments" "$(for ((k = 1; k <= EXPECTED_SEGMENTS; k++)); do printf 'seg-%04d.%s ' $k $ext; done | sed 's/ $//')" "$files"
  expect_eq "segments by the cut rule" $EXPECTED_SEGMENTS "$(tail -n 1 split.txt | cut -d' ' -f1)"
  expect_no_spool
  local k file next
  for ((k = 1; k <= EXPECTED_SEGMENTS; k++)); do
    file=$(printf 'seg-%04d.%s' $k $ext)
    [ -f "$file" ] || continue
    CHECK_LABEL="$label $file"
    if [ "$format" = mp4 ]; then
      "$LIST" list "seg_$k.qbox" > "boxes_$k.txt"
      check_mp4_file "$file" "boxes_$k.txt" "$media" $width $height
    else
      "$VOZIREV_BIN/ts_feed" list "seg_$k.qbox" > "boxes_$k.txt"
      check_ts_file "$file" "boxes_$k.txt" "$media" $width $height
      expect_eq "first packets: PAT, PMT" "0 66" "$(packet_pid "$file" 0) $(packet_pid "$file" 1)"
    fi
    if [ "$media" != 1 ]; then
      expect_eq "first picture" "K" "$(ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 "$file" | head -1 | cut -c1)"
    fi
  done
  # Each segment ends where the next begins.
  if [ "$media" != 1 ]; then
    for ((k = 1; k < EXPECTED_SEGMENTS; k++)); do
      file=$(printf 'seg-%04d.%s' $k $ext)
      next=$(printf 'seg-%04d.%s' $((k + 1)) $ext)
      [ -f "$file" ] && [ -f "$next" ] || continue
      CHECK_LABEL="$label $file to $next"
      local gap first_next
      gap=$("$LIST" list "seg_$k.qbox" | awk '$1 == "video" && $3 == 1 { if (n++) g = $2 - l; l = $2 } END { print g }')
      first_next=$("$LIST" list "seg_$((k + 1)).qbox" | awk '$1 == "video" && $3 == 1 { print $2; exit }')
      if [ "$format" = mp4 ]; then
        local first_this
        first_this=$("$LIST" list "seg_$k.qbox" | awk '$1 == "video" && $3 == 1 { print $2; exit }')
        expect_eq "video track duration up to the next segment" $((first_next - first_this)) \
          "$(mp4_probe "$file" v:0 stream=duration_ts)"
      else
        expect_eq "next segment's first picture one frame after this one's last" \
          "$(( $(last_video_pts "$file") + gap ))" "$(first_video_pts "$next")"
      fi
    done
  fi
  echo "$label: $(ls seg-*."$ext" | wc -l) segments, $("$DUMP" rec.qbox | wc -l) boxes"
}

A_ONLY="$VOZIREV_CORPUS/a_only.qbox"
V_ONLY="$VOZIREV_CORPUS/v_352x288_30fps_gop10.qbox"
cases=("mp4 av|mp4|3|$AV" "mp4 video|mp4|2|$V_ONLY" "mp4 audio|mp4|1|$A_ONLY"
       "ts av|ts|3|$AV" "ts video|ts|2|$V_ONLY" "ts audio|ts|1|$A_ONLY")
pids=()
for ((i = 0; i < ${#cases[@]}; i++)); do
  IFS='|' read -r label format media source <<<"${cases[$i]}"
  ( segment_case "$label" "$format" "$media" "$source" > "$WORK/result$i.txt" 2>&1 ) &
  pids+=($!)
done
wait "${pids[@]}" || true
for ((i = 0; i < ${#cases[@]}; i++)); do
  cat "$WORK/result$i.txt"
  CHECK_FAILURES=$((CHECK_FAILURES + $(grep -c '^FAIL' "$WORK/result$i.txt" || true)))
done

# ---- streaming across the cuts -------------------------------------------------

# The datagrams of a run that records and streams, with the segment options
# given, in $1.video / $1.audio.
stream_run() {  # label, options...
  local label=$1 base
  shift
  base=$(pick_ports)
  "$VOZIREV_BIN/rtp_tee" "$WORK/$label" "$base:$((base + 100))" "$((base + 2)):$((base + 102))" > "$WORK/$label.tee" 2>&1 &
  local tee=$!
  for ((w = 0; w < 200; w++)); do grep -q ready "$WORK/$label.tee" 2>/dev/null && break; sleep 0.05; done
  mkdir -p "$WORK/$label"
  (cd "$WORK/$label" && timeout 60 "$EMU" --source "$AV" --duration 7 --end error \
    -- "$PROG" -p rec -x $base -y $((base + 2)) "$@" > out.txt 2>&1 || true)
  sleep 0.3
  kill "$tee" 2>/dev/null || true
  wait "$tee" 2>/dev/null || true
  "$VOZIREV_BIN/stream_check" rtp-payloads "$WORK/$label.$base" "$WORK/$label.video"
  if [ -f "$WORK/$label.$((base + 2))" ]; then
    "$VOZIREV_BIN/stream_check" rtp-payloads "$WORK/$label.$((base + 2))" "$WORK/$label.audio"
  fi
}

( stream_run ts-cut -r 2 -s 2 -g 2 ) &
( stream_run ts-one -r 2 -s 2 ) &
( stream_run es-cut -r 1 -s 1 -g 2 ) &
( stream_run es-one -r 1 -s 1 ) &
wait
for kind in ts es; do
  CHECK_LABEL="$kind streaming across the cuts"
  expect_eq "segments recorded" 4 "$(ls "$WORK/$kind-cut" | grep -c '^rec-')"
  [ -s "$WORK/$kind-one.video" ] || fail "nothing was streamed"
  cmp -s "$WORK/$kind-cut.video" "$WORK/$kind-one.video" || fail "the video (or TS) datagrams differ from a run without segments"
  if [ "$kind" = es ]; then
    [ -s "$WORK/$kind-one.audio" ] || fail "no audio was streamed"
    cmp -s "$WORK/$kind-cut.audio" "$WORK/$kind-one.audio" || fail "the audio datagrams differ from a run without segments"
  fi
  echo "$kind: $(stat -c %s "$WORK/$kind-one.video") bytes of datagrams the same with and without segments"
done

# ---- numbering across runs -------------------------------------------------------
case_dir "numbering"
for run in 1 2; do
  timeout 60 "$EMU" --source "$AV" --pace max --duration 5 --end error -- "$PROG" -p rec -g 2 > "out$run.txt" 2>&1 || true
done
expect_eq "segments of two runs" "rec-0001.mp4 rec-0002.mp4 rec-0003.mp4 rec-0004.mp4 rec-0005.mp4 rec-0006.mp4" \
  "$(ls rec-*.mp4 | paste -sd ' ')"
grep -q '^Saving to ./rec-0004.mp4$' out2.txt || fail "the second run does not start at rec-0004: $(grep Saving out2.txt)"

checks_done "segments cut at IDR pictures, each one complete, streaming untouched"
