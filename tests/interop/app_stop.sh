#!/usr/bin/env bash
# Stopping the capture program with SIGINT or SIGTERM, for real under the
# emulated device (live pacing).
#
# 30 runs, each stopped at a random moment of one of three phases: while
# the encoder settings are sent, right after the start command, or during
# the capture. Every run must exit 0, print nothing after "Started
# Encoding.. ", and leave no spool file nor its lock. Its recording is either
# the 32 bytes the MP4 writer opens the file with (nothing recorded), or a
# file that ffprobe/ffmpeg read without a complaint and that holds, frame
# for frame and at their time stamps, a leading run of the boxes the device
# delivered (its --record file). The device's record may go further than the
# program read: boxes the device had sent when the stop came but the program
# had not begun to read. That tail is bounded here by time (boxes sent in the
# last half second); the exact count is checked below with a device that
# falls silent, where nothing is in flight.
#
# A silent device: after its last box the device delivers nothing; a signal
# must end the run within one second, with every delivered box recorded.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

RUNS=30
PARALLEL=6
# The writer's file before its first sample: "ftyp" (mp42, 0, mp42 isom) and
# the header of an "mdat" whose size is written at completion.
EMPTY_MP4_HEX="00000018667479706d703432000000006d70343269736f6d000000006d646174"
MAX_TAIL_TICKS=45000   # 0.5 s on the 90 kHz clock

expected_output=$(printf '%s' "$BANNER"; default_settings; printf 'Saving to ./rec.mp4\n%s' "$STARTED"; echo x)
expected_output=${expected_output%x}

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

# Checks a recording against the device's record: the MP4's frames and audio
# packets are the leading boxes of the record; what follows them in the
# record lies within MAX_TAIL_TICKS of the last recorded box.
check_stopped_recording() {
  if [ "$(od -An -v -tx1 rec.mp4 | tr -d ' \n')" = "$EMPTY_MP4_HEX" ]; then
    echo "nothing recorded" > outcome.txt
    return
  fi
  check_leading_boxes rec.mp4 rec.qbox 3 320 240
  local last tail_end
  last=$(tail -n 1 boxes.txt | awk '{ print $2 }')
  tail_end=$(awk 'END { print $2 }' tail.txt)
  if [ -n "$tail_end" ] && [ $((tail_end - last)) -gt $MAX_TAIL_TICKS ]; then
    fail "$(wc -l < tail.txt) delivered boxes, up to $((tail_end - last)) ticks past the last recorded one, are missing from the recording"
  fi
  echo "$(grep -c 'video .* 1$' boxes.txt) frames, $(grep -c '^audio' boxes.txt) audio frames, $(wc -l < tail.txt) boxes in flight" > outcome.txt
}

# One stopped run in directory stop$1; failures go to its result.txt.
stop_run() {
  local i=$1 phase signal pid rc=0
  case_dir "stop$i"
  phase=$((i % 3))
  signal=$([ $((RANDOM % 2)) = 0 ] && echo INT || echo TERM)
  "$EMU" --source "$AV" --log log.txt --record rec.qbox -- "$PROG" -p rec > out.txt 2> err.txt &
  pid=$!
  case $phase in
    0) wait_for_log media-type; sleep "$(random_delay 0 700)" ;;   # during the settings
    1) wait_for_log ' start '; sleep "$(random_delay 0 50)" ;;     # right after the start
    2) wait_for_log ' start '; sleep "$(random_delay 100 1500)" ;; # during the capture
  esac
  kill -s "$signal" "$pid"
  wait "$pid" || rc=$?
  CHECK_LABEL="stop$i (phase $phase, SIG$signal)"
  expect_eq "exit status" 0 "$rc"
  expect_output "output" "$expected_output" out.txt
  expect_no_spool
  check_stopped_recording
}

pids=()
for ((i = 1; i <= RUNS; i++)); do
  ( stop_run "$i" > "$WORK/result$i.txt" 2>&1 ) &
  pids+=($!)
  if [ ${#pids[@]} -ge $PARALLEL ]; then
    wait "${pids[0]}" || true
    pids=("${pids[@]:1}")
  fi
done
wait
for ((i = 1; i <= RUNS; i++)); do
  if [ -s "$WORK/result$i.txt" ]; then
    cat "$WORK/result$i.txt"
    CHECK_FAILURES=$((CHECK_FAILURES + $(grep -c '^FAIL' "$WORK/result$i.txt" || true)))
  fi
  echo "run $i: $(cat "$WORK/stop$i/outcome.txt" 2>/dev/null || echo 'no outcome')"
done

# ---- a silent device -------------------------------------------------------
# silent_stop SIGNAL EMULATOR-OPTIONS...: the device falls silent; once the
# program waits on it, the signal must end the run within one second.
silent_stop() {
  local signal=$1 pid rc=0 t0 t1
  shift
  "$EMU" --source "$AV" --record rec.qbox "$@" -- "$PROG" -p rec > out.txt 2> err.txt &
  pid=$!
  sleep 3
  t0=$(date +%s%N)
  kill -s "$signal" "$pid"
  # A program that ignores the stop is killed after five seconds.
  for ((w = 0; w < 500; w++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.01
  done
  t1=$(date +%s%N)
  if kill -0 "$pid" 2>/dev/null; then
    fail "still running 5 s after SIG$signal"
    kill -KILL "$pid"
  fi
  wait "$pid" || rc=$?
  expect_eq "exit status" 0 "$rc"
  local ms=$(( (t1 - t0) / 1000000 ))
  [ "$ms" -lt 1000 ] || fail "the run took $ms ms to end after the signal"
  echo "$CHECK_LABEL: ended $ms ms after SIG$signal"
  expect_output "output" "$expected_output" out.txt
  expect_no_spool
  check_capture rec.mp4 rec.qbox 3 320 240
}

case_dir "silent after 40 boxes"
silent_stop INT --pace max --samples 40 --end stall
expect_eq "boxes delivered" 40 "$("$DUMP" rec.qbox | wc -l)"

case_dir "silent after 1 s of content"
silent_stop TERM --duration 1 --end stall

checks_done "all stops checked"
