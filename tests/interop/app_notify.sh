#!/usr/bin/env bash
# The capture program under a service manager, played by a notification
# socket of the test's own (notify_sink) and the emulated device at live
# pace, with a 1 s watchdog (pings due every 0.5 s):
#   - READY=1 only once the device has taken the start command;
#   - STATUS lines with the frame rates the device delivers (30 and 46.9 per
#     second), the bit rate and the recording;
#   - WATCHDOG=1 about every 0.5 s while samples flow, none once the device
#     has fallen silent, none once the disk has stopped taking the recording
#     (the run goes on streaming);
#   - STOPPING=1 on every stop: SIGINT, SIGTERM, SIGHUP, a device failure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

SINK="$VOZIREV_BIN/notify_sink"
export WATCHDOG_USEC=1000000

# notified RUN-NAME PROGRAM-OPTIONS -- EMULATOR-OPTIONS: runs the program
# with the sink listening, until the emulator's content ends, then sends
# $STOP_SIGNAL (none: waits for the program to end by itself).
notified() {
  local name=$1 opts=() emu=()
  shift
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  emu=("$@")
  local logs=${LOG_DIR:-$PWD}
  "$SINK" "$logs/notify.sock" "$logs/$name.notify" "$logs/$name.log" &
  local sink=$!
  for ((w = 0; w < 100; w++)); do [ -S "$logs/notify.sock" ] && break; sleep 0.02; done
  local rc=0
  NOTIFY_SOCKET="$logs/notify.sock" "$EMU" --source "${SOURCE:-$AV}" --log "$logs/$name.log" "${emu[@]}" -- \
    "$PROG" -p "$name" "${opts[@]}" > "$logs/$name.out" 2>&1 &
  local pid=$!
  if [ -n "${STOP_SIGNAL:-}" ]; then
    sleep "${RUN_SECONDS:-3}"
    kill -s "$STOP_SIGNAL" "$pid"
  fi
  wait "$pid" || rc=$?
  sleep 0.2
  kill -TERM "$sink"
  wait "$sink" || true
  echo "$rc" > "$logs/$name.rc"
}

# Milliseconds of each WATCHDOG=1 of a log.
pings() { awk '/WATCHDOG=1/ { print $1 }' "$1"; }

case_dir "watchdog"
# 6 s of content (a STATUS line is due after 5 s), then the device falls
# silent; stopped 3 s later.
STOP_SIGNAL=INT RUN_SECONDS=10 notified live -- --duration 6 --end stall
expect_eq "READY once, after the start command" "1" "$(grep -c 'READY=1' live.notify)"
expect_eq "the device had started at READY" "device-started 1" "$(grep -o 'device-started [01]' live.notify)"
ready=$(awk '/READY=1/ { print $1; exit }' live.notify)
silent=$((ready + 6000))
n_live=$(pings live.notify | awk -v r="$ready" -v s="$silent" '$1 > r && $1 < s - 500' | wc -l)
n_silent=$(pings live.notify | awk -v s="$silent" '$1 > s + 600' | wc -l)
gaps=$(pings live.notify | awk -v s="$silent" '$1 < s { if (n++) print $1 - last; last = $1 }' | sort -n | sed -n '1p;$p' | paste -sd ' ')
echo "watchdog: $n_live pings while samples flowed (gaps $gaps ms), $n_silent after the device fell silent"
[ "$n_live" -ge 9 ] || fail "only $n_live pings in 5.5 s of samples"
awk -v g="$gaps" 'BEGIN { split(g, a, " "); exit !(a[1] >= 400 && a[2] <= 900) }' ||
  fail "pings $gaps ms apart, not about 500"
expect_eq "pings after the device fell silent" 0 "$n_silent"
status=$(grep -m1 'STATUS=video' live.notify | sed 's/^[0-9]* //')
echo "watchdog: first status: $status"
awk -v s="$status" 'BEGIN {
  if (match(s, /video [0-9.]+ fps/)) v = substr(s, RSTART + 6, RLENGTH - 10) + 0
  if (match(s, /audio [0-9.]+ fps/)) a = substr(s, RSTART + 6, RLENGTH - 10) + 0
  exit !(v > 27 && v < 33 && a > 43 && a < 51) }' || fail "status rates are not the device's: $status"
[[ "$status" == *"kbit/s"*"MiB free, recording ./live.mp4"* ]] || fail "status lacks the bit rate or recording: $status"
expect_eq "STOPPING after SIGINT" 1 "$(grep -c 'STOPPING=1' live.notify)"

# ---- every stop ----------------------------------------------------------------
for signal in TERM HUP; do
  case_dir "stop by SIG$signal"
  STOP_SIGNAL=$signal RUN_SECONDS=2 notified stopped -- --pace max
  expect_eq "SIG$signal: exit status" 0 "$(cat stopped.rc)"
  expect_eq "SIG$signal: STOPPING" 1 "$(grep -c 'STOPPING=1' stopped.notify)"
done
case_dir "stop by a device failure"
STOP_SIGNAL= notified failed -- --pace max --samples 50 --end error
expect_eq "device failure: exit status" 1 "$(cat failed.rc)"
expect_eq "device failure: READY then STOPPING" "READY=1 STOPPING=1" \
  "$(grep -o 'READY=1\|STOPPING=1' failed.notify | paste -sd ' ')"

# ---- the disk stops taking the recording ------------------------------------------
case_dir "disk full"
DISK="$WORK/disk"
mkdir -p "$DISK"
if mount -t tmpfs -o size=1m tmpfs "$DISK" 2> mount.err; then
  cleanup_hooks+=("umount '$DISK' 2>/dev/null")
  cd "$DISK"
  ports=$(pick_ports)
  # 2 Mbit/s fills the megabyte in a few seconds of live content.
  SOURCE="$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox" LOG_DIR="$WORK/disk full" STOP_SIGNAL=INT RUN_SECONDS=9 \
    notified full -w 720 -h 576 -f 25 -s 1 -x "$ports" -y "$((ports + 2))" --
  cd "$WORK/disk full"
  grep -q "Disk space exceeded." full.out || fail "the disk did not fill: $(cat full.out)"
  last_ping=$(pings full.notify | tail -1)
  echo "disk full: last ping at ${last_ping:-none} ms, $(pings full.notify | wc -l) pings in all"
  [ -n "$last_ping" ] || fail "no ping before the disk filled"
  expect_eq "pings in the last 3 s (the disk full, streaming on)" 0 \
    "$(pings full.notify | awk -v end="$(awk 'END { print $1 }' full.notify)" '$1 > end - 3000' | wc -l)"
  umount "$DISK"
else
  echo "SKIPPED disk full: cannot mount a tmpfs ($(cat mount.err))"
fi

checks_done "service notifications checked"
