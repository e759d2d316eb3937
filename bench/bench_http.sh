#!/usr/bin/env bash
# What the HTTP server costs the capture: the program records MP4 (-r 1,
# the default -k 1 syncing) from the emulated device at real-time pace for
# SECONDS of content, with the HTTP server on, in two runs:
#
#   idle     nobody connects (the recording's own pauses);
#   watched  headless Chromium plays the live page the whole time
#            (tests/drivers/http_browser.py), a client polls /status and
#            /metrics every 200 ms, and RTSP_CLIENTS (default 8) ffmpeg
#            clients pull rtsp://.../live over TCP when the program has an
#            RTSP server (a build without one says so and runs without).
#
# For each run it prints the samples the device delivered against those the
# program took (/metrics against the --record file), the longest gap
# between two device reads and the gaps of 20 ms or more
# (vozirev_device_read_gap_max_seconds, vozirev_device_read_gaps_long_total),
# the program's CPU seconds and its peak RSS (VmHWM).
#
#   bench/bench_http.sh BUILD_DIR [SECONDS]        (default 60)
#   PROGRAM_OPTIONS="-k 0" bench/bench_http.sh ...   (the same without syncing)
set -uo pipefail
build=$(realpath "${1:?usage: bench_http.sh BUILD_DIR [SECONDS]}")
seconds=${2:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
clients=${RTSP_CLIENTS:-8}
read -r -a options <<< "${PROGRAM_OPTIONS:-}"  # more options of the program, e.g. -k 0
export VOZIREV_EMU_CACHE=${VOZIREV_EMU_CACHE:-$src/build/corpus/emu-cache}
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

metric() {  # name file
  awk -v n="$1" '$1 == n { print $2 }' "$2"
}

# run NAME WATCHED(0|1)
run() {
  local name=$1 watched=$2 dir=$work/$1 port rtsp args=()
  mkdir -p "$dir"
  port=$(free_port)
  rtsp=$(free_port)
  [ "$watched" = 1 ] && [ "$clients" -gt 0 ] && args=(-R "$rtsp")
  (cd "$dir" && exec "$build/vozirev-emu" --record "$dir/delivered.qbox" --duration "$((seconds * 2 + 60))" -- \
      "$build/vozirev" -A 127.0.0.1 -H "$port" -W "$src/www" -p bench "${options[@]}" "${args[@]}" > "$dir/program.out" 2>&1) &
  local prog=$!
  pids+=("$prog")
  sleep 1
  if grep -q "RTSP server is not built" "$dir/program.out"; then
    echo "$name: this build has no RTSP server: the run goes on without RTSP clients"
    wait "$prog"
    args=()
    (cd "$dir" && exec "$build/vozirev-emu" --record "$dir/delivered.qbox" --duration "$((seconds * 2 + 60))" -- \
        "$build/vozirev" -A 127.0.0.1 -H "$port" -W "$src/www" -p bench "${options[@]}" > "$dir/program.out" 2>&1) &
    prog=$!
    pids+=("$prog")
  fi
  until curl -sf -o /dev/null "http://127.0.0.1:$port/live.m3u8"; do sleep 0.2; done
  if [ "$watched" = 1 ]; then
    /usr/bin/python3 "$src/tests/drivers/http_browser.py" "http://127.0.0.1:$port/" "$seconds" "$dir" > "$dir/browser.txt" 2>&1 &
    local browser=$!
    pids+=("$browser")
    (end=$((SECONDS + seconds)); while [ $SECONDS -lt $end ]; do
       curl -sf -o /dev/null -o /dev/null "http://127.0.0.1:$port/status" "http://127.0.0.1:$port/metrics"
       sleep 0.2; done) &
    pids+=($!)
    for ((i = 0; i < ${#args[@]} / 2 * clients; i++)); do
      timeout "$seconds" ffmpeg -nostdin -v error -rtsp_transport tcp -i "rtsp://127.0.0.1:$rtsp/live" -map 0 -c copy \
          -f null - > "$dir/rtsp$i.txt" 2>&1 &
      pids+=($!)
    done
  fi
  if [ "$watched" = 1 ]; then
    wait "$browser"  # the page watched for SECONDS and more
  else
    sleep "$seconds"
  fi
  curl -sf "http://127.0.0.1:$port/metrics" > "$dir/metrics.txt"
  local hwm cpu
  hwm=$(awk '/VmHWM/ { print $2 }' "/proc/$prog/status")
  cpu=$(awk '{ printf "%.1f", ($14 + $15) / 100 }' "/proc/$prog/stat")
  kill -INT "$prog"
  wait "$prog"
  wait
  /usr/bin/python3 "$src/tests/drivers/http_probe.py" figures "$dir/metrics.txt" "$dir/delivered.qbox" > "$dir/figures.txt"
  printf '%s: %s s of content; %s\n' "$name" "$seconds" "$(grep -c '^ok' "$dir/figures.txt") of 2 media: every sample taken"
  grep -h -e '^ok\|^FAIL' "$dir/figures.txt" | sed 's/^/  /'
  printf '  longest device read gap %.1f ms (%.1f ms of CPU time of the program in it), gaps of 20 ms or more: %s; CPU %s s, VmHWM %s KiB\n' \
      "$(awk -v g="$(metric vozirev_device_read_gap_max_seconds "$dir/metrics.txt")" 'BEGIN { print g * 1000 }')" \
      "$(awk -v g="$(metric vozirev_device_read_gap_max_cpu_seconds "$dir/metrics.txt")" 'BEGIN { print g * 1000 }')" \
      "$(metric vozirev_device_read_gaps_long_total "$dir/metrics.txt")" "$cpu" "$hwm"
  [ "$watched" = 1 ] && sed 's/^/  browser: /' "$dir/browser.txt"
  if [ "$watched" = 1 ] && [ ${#args[@]} -gt 0 ]; then
    printf '  RTSP: %s sessions opened for %s ffmpeg clients; %s of them printed an error\n' \
        "$(metric vozirev_rtsp_sessions_opened_total "$dir/metrics.txt")" "$clients" \
        "$(grep -l . "$dir"/rtsp*.txt | wc -l)"
  fi
  return 0
}

run idle 0
run watched 1
