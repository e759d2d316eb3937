#!/usr/bin/env bash
# The capture program in a directory others may write to, under the
# emulated device. Whatever is planted under the names the run writes (the
# recording, the spool files "~temp1" to "~temp7" and "~temp-b1" to
# "~temp-b7", the index reserve, the lock), the run never writes through it:
#   - a symbolic link to a file elsewhere, a hard link, a FIFO or a directory
#     under any of those names ends the run at once with "Cannot record to
#     ./NAME: X is a link, or not a regular file.", exit 1; the encoder is
#     never started, the linked file keeps its bytes, the planted name stays;
#   - two runs recording a transport stream under the same name: the second
#     is refused before it touches the file, the first records undisturbed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

VICTIM="$WORK/victim"
VICTIM_TEXT="a file of somebody else's"
settings=$(default_settings)

# run_planted LABEL KIND NAME [PROGRAM OPTIONS...]: plants KIND (symlink,
# hardlink, fifo, dir) as NAME, runs the program and checks the refusal.
run_planted() {
  local label=$1 kind=$2 name=$3 rc=0
  shift 3
  case_dir "$label"
  printf '%s' "$VICTIM_TEXT" > "$VICTIM"
  case $kind in
    symlink) ln -s "$VICTIM" "$name" ;;
    hardlink) ln "$VICTIM" "$name" ;;
    fifo) mkfifo "$name" ;;
    dir) mkdir "$name" ;;
  esac
  local path=./rec.mp4 shown=$name
  [[ " $* " == *" -r 2 "* ]] && path=./rec.mpg
  [ "./$name" = "$path" ] && shown=$path
  timeout 20 "$EMU" --source "$AV" --pace max --log log.txt -- "$PROG" -p rec "$@" > out.txt 2>&1 || rc=$?
  expect_eq "exit status" 1 "$rc"
  expect_output "output" "${BANNER}${settings}"$'\nSaving to '"$path"$'\n\nCannot record to '"$path"': '"$shown"$' is a link, or not a regular file.\n' out.txt
  grep -q ' start ' log.txt && fail "the encoder was started"
  expect_eq "the linked file" "$VICTIM_TEXT" "$(cat "$VICTIM")"
  case $kind in
    symlink) [ -L "$name" ] || fail "the planted link is gone" ;;
    fifo) [ -p "$name" ] || fail "the planted FIFO is gone" ;;
    dir) [ -d "$name" ] || fail "the planted directory is gone" ;;
    hardlink) [ "$(stat -c %h "$VICTIM")" = 2 ] || fail "the planted hard link is gone" ;;
  esac
  # Nothing but what was planted, and the logs of this test.
  expect_eq "files left" "$(printf '%s\n' "$name" log.txt out.txt | sort | paste -sd ' ')" \
    "$(ls -A | sort | paste -sd ' ')"
}

run_planted "link at a spool name" symlink '~temp1'
run_planted "link at the lock" symlink '~temp.lock'
run_planted "link at the index reserve" symlink '~temp.reserve'
run_planted "link at a spool name of the second set" symlink '~temp-b3'
run_planted "link at the recording name" symlink rec.mp4
run_planted "link at the TS recording name" symlink rec.mpg -r 2
run_planted "hard link at a spool name" hardlink '~temp6'
run_planted "FIFO at a spool name" fifo '~temp4'
run_planted "FIFO at the TS recording name" fifo rec.mpg -r 2
run_planted "directory at the recording name" dir rec.mp4

# ---- two transport-stream runs under one name -------------------------------
case_dir "two TS runs under one name"
"$EMU" --source "$AV" --pace max --samples 60 --end stall --log first.log --record first.qbox -- \
  "$PROG" -r 2 -p same > first.txt 2>&1 &
first=$!
cleanup_hooks+=("kill $first 2>/dev/null")
for ((i = 0; i < 200; i++)); do [ "$("$DUMP" first.qbox 2>/dev/null | wc -l)" = 60 ] && break; sleep 0.05; done
sleep 0.5
rc=0
timeout 20 "$EMU" --source "$AV" --pace max --log second.log -- "$PROG" -r 2 -p same > second.txt 2>&1 || rc=$?
expect_eq "second run's exit status" 1 "$rc"
expect_output "second run's output" "${BANNER}${settings}"$'\nSaving to ./same.mpg\n\nUnble to open output file for writing.\n' second.txt
grep -q ' start ' second.log && fail "the second run started its encoder"
kill -INT "$first"
rc=0
wait "$first" || rc=$?
expect_eq "first run's exit status" 0 "$rc"
"$VOZIREV_BIN/ts_feed" list first.qbox > boxes_ts.txt
check_ts_file same.mpg boxes_ts.txt 3 320 240

checks_done "hostile directory cases checked"
