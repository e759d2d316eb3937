#!/usr/bin/env bash
# Stopping the capture program with SIGINT or SIGTERM, for real under the
# emulated device (live pacing).
#
# 30 runs, each stopped at a random moment of one of four phases: while
# the encoder settings are sent, as the outputs are opened (around the pause
# after the last setting), right after the start command, or during the
# capture. A stop during the settings sends no further setting, never
# starts the encoder, leaves the existing file of the same name as it was,
# and ends with "Stopped before the capture started." and exit 1. A later
# stop exits 0, prints nothing after "Started Encoding.. ", and leaves no
# spool file nor its lock. Its recording is either
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
# must end the run within one second, with every delivered box recorded,
# also when the device falls silent in the middle of a box.
#
# Every stop kind also ends a run whose standard output went into a pipe
# that has closed, and a stop between the first audio sample and the first
# picture leaves a recording with the audio track alone.
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
  check_leading_boxes rec.mp4 rec.qbox "$(recorded_media rec.mp4)" 320 240
  local last tail_end
  last=$(tail -n 1 boxes.txt | awk '{ print $2 }')
  tail_end=$(awk 'END { print $2 }' tail.txt)
  if [ -n "$tail_end" ] && [ $((tail_end - last)) -gt $MAX_TAIL_TICKS ]; then
    fail "$(wc -l < tail.txt) delivered boxes, up to $((tail_end - last)) ticks past the last recorded one, are missing from the recording"
  fi
  echo "$(grep -c 'video .* 1$' boxes.txt) frames, $(grep -c '^audio' boxes.txt) audio frames, $(wc -l < tail.txt) boxes in flight" > outcome.txt
}

# A stop during the settings: the settings printed up to the stop (and the
# recording path, when the stop came as the outputs were opened), then the
# stop message; no command after the stop, each one after its full pause,
# no start command, and the old file of the same name untouched.
check_stopped_settings() {
  local rc=$1
  expect_eq "exit status" 1 "$rc"
  local printed settings_printed
  printed=$(cat out.txt; echo x)
  printed=${printed%x}
  case "$printed" in
    *$'
Stopped before the capture started.
') ;;
    *) fail "output does not end with the stop message: $(tail -c 80 out.txt | od -c | head -3)" ;;
  esac
  settings_printed=$(grep -c '^Setting ' out.txt || true)
  expect_eq "settings announced" "$(default_settings | head -n "$settings_printed")" "$(grep '^Setting ' out.txt)"
  grep -q ' start ' log.txt && fail "the encoder was started"
  # Every command waited out the 100 ms pause of the one before it.
  awk 'NR > 1 && $1 - prev < 0.095 { print "command " NR " came " ($1 - prev) " s after the one before"; bad = 1 }
       { prev = $1 } END { exit bad }' log.txt > pauses.txt || fail "$(cat pauses.txt)"
  expect_eq "the old recording" "old recording" "$(cat rec.mp4)"
  expect_no_spool
  echo "stopped during the settings after $(wc -l < log.txt) commands" > outcome.txt
}

# One stopped run in directory stop$1; failures go to its result.txt.
stop_run() {
  local i=$1 phase signal pid rc=0
  case_dir "stop$i"
  echo "old recording" > rec.mp4
  phase=$((i % 4))
  signal=$(case $((RANDOM % 3)) in 0) echo INT ;; 1) echo TERM ;; *) echo HUP ;; esac)
  "$EMU" --source "$AV" --log log.txt --record rec.qbox -- "$PROG" -p rec > out.txt 2> err.txt &
  pid=$!
  case $phase in
    0) wait_for_log media-type; sleep "$(random_delay 0 700)" ;;   # during the settings
    1) wait_for_log ' start '; sleep "$(random_delay 0 50)" ;;     # right after the start
    2) wait_for_log ' start '; sleep "$(random_delay 100 1500)" ;; # during the capture
    3) wait_for_log brightness; sleep "$(random_delay 0 120)" ;;   # as the outputs open
  esac
  kill -s "$signal" "$pid"
  wait "$pid" || rc=$?
  CHECK_LABEL="stop$i (phase $phase, SIG$signal)"
  if ! grep -q ' start ' log.txt; then
    check_stopped_settings "$rc"
    return
  fi
  expect_eq "exit status" 0 "$rc"
  expect_output "output" "$expected_output" out.txt
  expect_no_spool
  check_stopped_recording
}

run_in_parallel stop_run stop

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

# The fifth box arrives without its last chunk (one-chunk boxes lose their
# second half): the program waits inside that box.
case_dir "silent inside a box"
silent_stop HUP --pace max --samples 5 --truncate-every 4 --end stall
expect_eq "boxes delivered whole" 4 "$("$DUMP" rec.qbox | wc -l)"

# Standard output into a pipe whose reader is gone before the first message
# is written (as "| head -c 20" is soon after): the messages are lost, the
# run and its recording are not.
case_dir "output into a closed pipe"
( { "$EMU" --source "$AV" --pace max --samples 60 --end stall --record rec.qbox -- "$PROG" -p rec 2> err.txt &
    echo $! > pid.txt; wait $!; echo $? > rc.txt; } | true ) &
sleep 2
pid=$(cat pid.txt)
kill -0 "$pid" 2>/dev/null || fail "the run ended when its standard output closed"
kill -INT "$pid" 2>/dev/null || true
for ((w = 0; w < 100; w++)); do [ -s rc.txt ] && break; sleep 0.05; done
expect_eq "exit status" 0 "$(cat rc.txt 2>/dev/null)"
expect_no_spool
check_capture rec.mp4 rec.qbox 3 320 240

# The device's first box holds the parameter sets, its next two are audio;
# the stop comes before any picture.
case_dir "stop before the first picture"
first=$(od -An -tu4 --endian=big -N 4 "$AV" | tr -d ' ')
second=$(od -An -tu4 --endian=big -j "$first" -N 4 "$AV" | tr -d ' ')
{ head -c "$first" "$AV"; tail -c +$((first + second + 1)) "$AV"; } > audio-first.qbox
rc=0
"$EMU" --source audio-first.qbox --pace max --samples 3 --end stall --record rec.qbox -- "$PROG" -p rec > out.txt 2>&1 &
pid=$!
for ((w = 0; w < 200; w++)); do [ "$("$DUMP" rec.qbox 2>/dev/null | wc -l)" = 3 ] && break; sleep 0.05; done
sleep 0.5
kill -INT "$pid"
wait "$pid" || rc=$?
expect_eq "exit status" 0 "$rc"
expect_eq "ffprobe warnings" "" "$(ffprobe -v warning rec.mp4 2>&1 >/dev/null)"
expect_eq "tracks" "audio" "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 rec.mp4 | paste -sd ' ')"
expect_eq "audio packets" 2 "$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 rec.mp4)"

checks_done "all stops checked"
