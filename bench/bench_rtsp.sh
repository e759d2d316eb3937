#!/usr/bin/env bash
# The RTSP server's benchmark, side by side with GStreamer's RTSP server
# (bench/bench_rtsp_gst.py) in one run, serving the same stream to the same
# clients (tests/drivers/rtsp_client: DESCRIBE, SETUP of both tracks, PLAY,
# counting what arrives; half of them over UDP, half over TCP interleaved):
#
#   bench/bench_rtsp.sh [BUILD_DIR] [SECONDS]      (defaults build/normal, 30)
#
# The stream: 720x576 at 25 fps, 4 Mbit/s H.264, an IDR picture a second,
# and 128 kbit/s AAC (qbox-encode, kept in $TMPDIR). The capture program
# runs under the emulated device at the real-time pace with -R (its server)
# and -s 1 to two loopback ports, from which gst-rtsp-server takes the same
# H.264 and AAC. Printed:
#   - CPU seconds per client-minute at 1, 8 and 32 clients, per server:
#     (CPU of the server's process with N clients - CPU with none) / N /
#     minutes, over SECONDS (the process's CPU clock; the capture
#     program's process also reads the device and sends -s 1, which the
#     client-less figure takes out);
#   - resident memory (VmRSS) of each server's process with 32 clients, of
#     the capture program with none, and of the same capture without -R
#     (the emulated device lives in the capture's process: its share is in
#     every figure of vozirev);
#   - bench_rtsp_wire's figures with 32 clients, one of them a TCP client
#     that never reads: sample to wire (median, 99th percentile) and the
#     time the capture is away from the device between two reads.
set -euo pipefail
build=$(cd "${1:-build/normal}" && pwd)
seconds=${2:-30}
src=$(cd "$(dirname "$0")/.." && pwd)
stream=${TMPDIR:-/tmp}/bench_rtsp_720x576_4mbit.qbox
[ -s "$stream" ] || "$build/qbox-encode" -m 3 -w 720 -h 576 -f 25 -i 25 -v 4000 -a 128 --duration 20 -o "$stream" > /dev/null
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

port() { echo $(( 20000 + (RANDOM % 20000) * 2 )); }
ours=$(port); theirs=$(port); vport=$(port); aport=$((vport + 2))
export VOZIREV_EMU_CACHE=${VOZIREV_EMU_CACHE:-$work/cache}
"$build/vozirev-emu" --source "$stream" --duration $((seconds * 12 + 120)) -- "$build/vozirev" -r 0 -s 1 \
  -d 127.0.0.1 -x "$vport" -y "$aport" -R "$ours" -A 127.0.0.1 -m 3 -w 720 -h 576 -f 25 -i 25 -v 4000 -a 128 \
  -S 64 -C 128 > "$work/app.log" 2>&1 &
pids+=($!)
/usr/bin/python3 "$src/bench/bench_rtsp_gst.py" "$theirs" "$vport" "$aport" > "$work/gst.log" 2>&1 &
gst=$!
pids+=($gst)
sleep 3
app=$(pgrep -P "${pids[0]}" -x vozirev || echo "${pids[0]}")
grep -q ready "$work/gst.log" || { cat "$work/gst.log"; exit 1; }

# CPU time of a process in ns, its threads (also those that have ended)
# together: its process CPU clock (clock_getcpuclockid; the clock ticks of
# /proc/PID/stat are too coarse for one client).
cpu() { /usr/bin/python3 -c "import time; print(int(time.clock_gettime(((~$1) << 3) | 2) * 1e9))"; }
rss() { awk '/VmRSS/ { print $2 }' "/proc/$1/status"; }

# measure PID URL N: CPU ns of PID over $seconds with N clients of URL;
# the resident memory at the end goes to $work/rss.
measure() {
  local client=
  if [ "$3" -gt 0 ]; then
    "$build/rtsp_client" "$2" $((seconds + 8)) $(($3 / 2)) $(($3 - $3 / 2)) > "$work/clients.txt" 2>&1 &
    client=$!
    sleep 5
  fi
  local before after
  before=$(cpu "$1")
  sleep "$seconds"
  after=$(cpu "$1")
  rss "$1" > "$work/rss"
  [ -z "$client" ] || wait "$client" || true
  echo $((after - before))
}

declare -A base
for server in ours theirs; do
  [ $server = ours ] && pid=$app url=rtsp://127.0.0.1:$ours/live || pid=$gst url=rtsp://127.0.0.1:$theirs/live
  base[$server]=$(measure "$pid" "$url" 0)
  [ $server = ours ] && idle_rss=$(cat "$work/rss")
done
printf '%-28s %14s %14s\n' "CPU s per client-minute" "vozirev" "gst-rtsp-server"
for n in 1 8 32; do
  declare -A per
  for server in ours theirs; do
    [ $server = ours ] && pid=$app url=rtsp://127.0.0.1:$ours/live || pid=$gst url=rtsp://127.0.0.1:$theirs/live
    ticks=$(measure "$pid" "$url" "$n")
    per[$server]=$(awk -v t="$ticks" -v b="${base[$server]}" -v n="$n" -v s="$seconds" \
      'BEGIN { printf "%.4f", (t - b) / 1e9 / n / (s / 60) }')
    grep -q "^complete $n of $n" "$work/clients.txt" || [ $server = theirs ] ||
      echo "warning: not every client of vozirev was complete: $(tail -1 "$work/clients.txt")"
    [ "$n" = 32 ] && eval "rss_$server=\$(cat \"\$work/rss\")"
  done
  printf '%-28s %14s %14s\n' "$n clients" "${per[ours]}" "${per[theirs]}"
done
printf '%-28s %14s %14s\n' "VmRSS KiB, 32 clients" "$rss_ours" "$rss_theirs"
printf '%-28s %14s\n' "VmRSS KiB, no client" "$idle_rss"
kill "${pids[@]}" 2>/dev/null || true
wait 2>/dev/null || true
# The same capture without the server (-R 0): what the process holds for
# the emulated device and -s 1 alone.
"$build/vozirev-emu" --source "$stream" --duration 20 -- "$build/vozirev" -r 0 -s 1 -d 127.0.0.1 -x "$vport" \
  -y "$aport" -m 3 -w 720 -h 576 -f 25 -i 25 -v 4000 -a 128 > "$work/plain.log" 2>&1 &
pids+=($!)
sleep 8
plain=$(pgrep -P "${pids[-1]}" -x vozirev || echo "${pids[-1]}")
printf '%-28s %14s\n' "VmRSS KiB, without -R" "$(rss "$plain")"
kill "${pids[-1]}" 2>/dev/null || true
wait "${pids[-1]}" 2>/dev/null || true

# Sample to wire and the gap between reads: 30 clients, the probe, and one
# that stalls.
wire=$(port)
"$build/bench_rtsp_wire" "$stream" "$wire" $((seconds + 6)) > "$work/wire.txt" &
pids+=($!)
sleep 1.5
"$build/rtsp_client" "rtsp://127.0.0.1:$wire/live" "$seconds" 15 15 --stall 1 > "$work/clients.txt" 2>&1 || true
wait "${pids[-1]}"
grep -v ready "$work/wire.txt"
echo "clients beside the probe: $(tail -1 "$work/clients.txt") (and one stalled)"
