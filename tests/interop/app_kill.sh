#!/usr/bin/env bash
# kill -9 at random moments of a live capture under the emulated device, and
# the recovery of what it left.
#
# 30 runs at real-time pace, each killed (SIGKILL: nothing of the program
# runs after it) during the settings, right after the start command, or
# during the capture. The interrupted recording is then recovered, either by
# vozirev-recover or by the next run in the same directory, which does so
# before it records. Every recovered file:
#   - reads in ffprobe and decodes in ffmpeg without a complaint;
#   - holds a leading run of the boxes the device delivered (its --record
#     file), frame for frame at their time stamps, missing at most the last
#     sync interval (1 s of content, with room for what was in flight);
#   - equals, byte for byte, the file a normal completion writes for the
#     same boxes (the mp4_record driver).
# No spool file is left behind. A run killed before its first sample was
# made durable leaves nothing to recover: its file goes back to its header.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

RUNS=30
PARALLEL=6
MAX_LOSS_TICKS=135000   # 1 s of sync interval and 0.5 s in flight, 90 kHz
EMPTY_MP4_HEX="00000018667479706d703432000000006d70343269736f6d000000006d646174"

wait_for_log() {  # pattern
  for ((w = 0; w < 400; w++)); do
    grep -q "$1" log.txt 2>/dev/null && return 0
    sleep 0.025
  done
  fail "the device log never showed '$1'"
}

random_delay() {  # milliseconds from, to
  local ms=$(( $1 + RANDOM % ($2 - $1 + 1) ))
  printf '%d.%03d' $((ms / 1000)) $((ms % 1000))
}

# The first COUNT boxes of a QBox stream file.
leading_boxes() {  # stream count out
  local bytes
  bytes=$("$DUMP" "$1" | head -n "$2" | sed -n 's/.* size=\([0-9]*\) .*/\1/p' | awk '{ s += $1 } END { print s + 0 }')
  head -c "$bytes" "$1" > "$3"
}

# The recovered rec.mp4 against the device's record rec.qbox.
check_recovered() {
  expect_eq "ffprobe warnings" "" "$(ffprobe -v warning rec.mp4 2>&1 >/dev/null)"
  check_leading_boxes rec.mp4 rec.qbox "$(recorded_media rec.mp4)" 320 240
  local last tail_end
  last=$(tail -n 1 boxes.txt | awk '{ print $2 }')
  tail_end=$(awk 'END { print $2 }' tail.txt)
  if [ -n "$tail_end" ] && [ $((tail_end - last)) -gt $MAX_LOSS_TICKS ]; then
    fail "$(wc -l < tail.txt) delivered boxes, up to $((tail_end - last)) ticks past the last recovered one, are lost"
  fi
  leading_boxes rec.qbox "$(wc -l < boxes.txt)" normal.qbox
  mkdir -p normal
  "$LIST" record normal.qbox normal/rec.mp4 3 > /dev/null || fail "the driver could not record the same boxes"
  cmp -s rec.mp4 normal/rec.mp4 || fail "the recovered file differs from a normal completion of the same boxes"
  echo "$(grep -c 'video .* 1$' boxes.txt) frames, $(grep -c '^audio' boxes.txt) audio frames recovered, $(wc -l < tail.txt) boxes lost" > outcome.txt
}

# One killed run in directory kill$1; failures go to its result.txt.
kill_run() {
  local i=$1 phase pid rc=0
  case_dir "kill$i"
  phase=$((i % 3))
  "$EMU" --source "$AV" --log log.txt --record rec.qbox -- "$PROG" -p rec > out.txt 2> err.txt &
  pid=$!
  case $phase in
    0) wait_for_log media-type; sleep "$(random_delay 0 700)" ;;   # during the settings
    1) wait_for_log ' start '; sleep "$(random_delay 0 100)" ;;    # right after the start
    2) wait_for_log ' start '; sleep "$(random_delay 300 3000)" ;; # during the capture
  esac
  kill -KILL "$pid"
  wait "$pid" || rc=$?
  CHECK_LABEL="kill$i (phase $phase)"
  expect_eq "killed" 137 "$rc"
  if ! grep -q ' start ' log.txt; then
    [ -e rec.mp4 ] && [ "$(od -An -v -tx1 rec.mp4 | tr -d ' \n')" != "$EMPTY_MP4_HEX" ] &&
      fail "a run killed before the start left a recording"
    echo "killed before the start" > outcome.txt
    return
  fi
  # Even runs: the tool; odd runs: the next capture in the directory.
  if [ $((i % 2)) = 0 ]; then
    "$VOZIREV_BIN/vozirev-recover" . > recover.txt || fail "vozirev-recover failed: $(cat recover.txt)"
  else
    "$EMU" --source "$AV" --pace max --samples 5 --end error -- "$PROG" -p next > recover.txt 2>&1 || true
  fi
  if grep -q "^Recovered the interrupted recording ./rec.mp4: [0-9]* samples, [0-9.]* s\.$" recover.txt; then
    check_recovered
  elif [ "$(od -An -v -tx1 rec.mp4 | tr -d ' \n')" = "$EMPTY_MP4_HEX" ]; then
    echo "killed before the first sample" > outcome.txt
  else
    fail "nothing recovered from $(stat -c %s rec.mp4) bytes: $(cat recover.txt)"
  fi
  local left
  left=$(ls -A | grep '^~temp' || true)
  expect_eq "spool files left" "" "$(echo $left)"
}

run_in_parallel kill_run kill

# ---- the next run under the same name ----------------------------------------
# It records under the name of the interrupted recording: the recovered file
# moves aside to NAME-recovered.mp4 first.
case_dir "same name"
"$EMU" --source "$AV" --pace max --samples 60 --end stall --record rec.qbox -- "$PROG" -p rec > out.txt 2>&1 &
pid=$!
for ((w = 0; w < 200; w++)); do [ "$("$DUMP" rec.qbox 2>/dev/null | wc -l)" = 60 ] && break; sleep 0.05; done
sleep 0.5
kill -KILL "$pid"
wait "$pid" || true
"$EMU" --source "$AV" --pace max --samples 5 --end error -- "$PROG" -p rec > next.txt 2>&1 || true
grep -q "^Recovered the interrupted recording ./rec-recovered.mp4: " next.txt ||
  fail "no recovery line naming rec-recovered.mp4: $(cat next.txt)"
mv rec-recovered.mp4 recovered.mp4
mv rec.mp4 next.mp4
mv recovered.mp4 rec.mp4
check_recovered
expect_eq "the next run's recording" "video audio" \
  "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 next.mp4 | paste -sd ' ')"

# ---- segments -------------------------------------------------------------------
# kill -9 of the run and of the child writing the index of the segment just
# cut (the whole process group), at random moments of a recording in 1 s
# segments at full pace, where the two sets of spool files take turns. The
# next run in the directory recovers what either set holds; then the
# recovered segments and the other newest ones play, and no spool file is
# left. The newest segment may have been killed before its first sample was
# made durable: it then holds its header alone, or nothing when the kill
# came before the header was written.
segment_kill_run() {
  local i=$1 pid
  case_dir "segments kill$i"
  setsid "$EMU" --source "$AV" --pace max --duration 3600 --end stall -- "$PROG" -p seg -g 1 > out.txt 2>&1 &
  pid=$!
  sleep "$(random_delay 1000 2500)"   # after the settings
  kill -KILL -- "-$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  "$EMU" --source "$AV" --pace max --samples 5 --end error -- "$PROG" -p next > recover.txt 2>&1 || true
  expect_eq "spool files left" "" "$(ls -A | grep '^~temp' | paste -sd ' ' || true)"
  local recovered newest last file
  newest=$(ls | grep '^seg-.*\.mp4$' | sort | tail -3 || true)
  if [ -z "$newest" ]; then
    echo "killed before the first segment" > outcome.txt
    return
  fi
  last=$(echo "$newest" | tail -1)
  recovered=$(sed -n 's/^Recovered the interrupted recording \.\/\(seg-[0-9]*\.mp4\): .*/\1/p' recover.txt)
  grep -q 'could not be recovered' recover.txt && fail "$(grep 'could not be recovered' recover.txt)"
  for file in $(printf '%s\n' $recovered $newest | sort -u); do
    if [ "$file" = "$last" ] && [[ "$(od -An -v -tx1 "$file" | tr -d ' \n')" =~ ^($EMPTY_MP4_HEX)?$ ]]; then
      continue
    fi
    expect_eq "$file: ffprobe warnings" "" "$(ffprobe -v warning "$file" 2>&1 >/dev/null)"
  done
  echo "$(ls | grep -c '^seg-') segments, recovered: $(echo $recovered)" > outcome.txt
}

for ((i = 1; i <= 6; i++)); do
  ( segment_kill_run "$i" > "$WORK/segresult$i.txt" 2>&1 ) &
done
wait
for ((i = 1; i <= 6; i++)); do
  cat "$WORK/segresult$i.txt"
  CHECK_FAILURES=$((CHECK_FAILURES + $(grep -c '^FAIL' "$WORK/segresult$i.txt" || true)))
  echo "segments run $i: $(cat "$WORK/segments kill$i/outcome.txt" 2>/dev/null || echo 'no outcome')"
done

checks_done "all killed runs recovered"
