#!/usr/bin/env bash
# Whole-program benchmark: the capture program under the emulated device,
# against `ffmpeg -c copy` doing the same job on the same streams.
#
#   bench/bench_app.sh [BUILD_DIR [STREAM.qbox [SECONDS]]]
#   e.g. bench/bench_app.sh build/normal build/corpus/av_720x576_25fps_gop12.qbox 600
#   (make bench runs it with the defaults shown here; the test streams are
#   made by a ctest run, or by `ctest -R '^corpus$'` in the build directory)
#
# For each output combination the program runs at `--pace max` with the
# stream looped by the device for SECONDS of content (default 600); the
# device then fails its reads, which ends the run (exit status 1, the
# recording finalised). The program runs with its defaults otherwise (the
# MP4 recording is made durable every second of content, `-k 1`). ffmpeg
# gets the same content as an MP4 of one loop (recorded by the program,
# remuxed once by ffmpeg), replayed with -stream_loop and cut to SECONDS
# with -t. Both send their RTP to loopback ports nobody listens on, so the
# kernel drops the datagrams for both alike.
#
# Every run is made BENCH_RUNS times (default 3) and the least CPU time of
# them is kept: CPU time only grows with what else the machine does.
#
# The first table, one row per run: CPU seconds (user + system, of the
# process and its children) per hour of content, peak RSS, wall seconds
# (the program's include its 0.8 s of encoder settings), exit status (the
# program's 1 is the device's end), and what a file run wrote (size,
# duration by ffprobe).
# The "device alone" row is the emulated device delivering the same content
# to dd, 512 bytes per read, and nothing else. The emulated device is a
# thread inside the measured process, so this row is the share of the
# program's figures that goes to the device: the emulator's delivery and the
# reads themselves (on the board the driver's work replaces the first).
#
# The second table, one row per output: the program's own work, that is
# its CPU s per hour of content less the device alone's (what the program
# spends beyond reading the device), next to ffmpeg -c copy's CPU s per
# hour doing the same job (ffmpeg reads its input from a file, which it
# counts in), their ratio (own work / ffmpeg), and the ratio aimed at.
# Not run by ctest.
set -euo pipefail
bin=$(cd "${1:-build/normal}" && pwd)
stream=$(realpath "${2:-build/corpus/av_720x576_25fps_gop12.qbox}")
seconds=${3:-600}
port=${BENCH_PORT:-47000}   # video/TS port; audio on port + 2

# The program's settings follow the stream: av_WxH_Nfps_gopG, v_..., a_only.
name=$(basename "$stream" .qbox)
case $name in
  av_*) opts=(-m 3) ;;
  v_*) opts=(-m 2) ;;
  a_*) opts=(-m 1) ;;
  *) echo "cannot tell the media of $name" >&2; exit 2 ;;
esac
if [[ $name =~ _([0-9]+)x([0-9]+)_([0-9]+)fps_gop([0-9]+) ]]; then
  opts+=(-w "${BASH_REMATCH[1]}" -h "${BASH_REMATCH[2]}" -f "${BASH_REMATCH[3]}" -i "${BASH_REMATCH[4]}")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs a command under GNU time; prints "cpu_seconds peak_rss_kib wall_seconds
# exit_status" of the run of least CPU time out of BENCH_RUNS. What the
# command printed is kept in run.log, and the files it wrote stay, until the
# next run.
runs=${BENCH_RUNS:-3}
measure() {
  local best="" cpu user sys rss wall status
  for ((run = 0; run < runs; run++)); do
    rm -f prog.mp4 prog.mpg ff.mp4 ff.mpg
    /usr/bin/time -f "%U %S %M %e %x" -o time.txt "$@" </dev/null >run.log 2>&1 || true
    read -r user sys rss wall status < <(tail -n 1 time.txt)
    cpu=$(echo "$user + $sys" | bc)
    if [ -z "$best" ] || [ "$(echo "$cpu < ${best%% *}" | bc)" = 1 ]; then
      best="$cpu $rss $wall $status"
    fi
  done
  echo "$best"
}

emu() {
  "$bin/vozirev-emu" --pace max --source "$stream" "$@"
}

# One loop of the stream for ffmpeg.
boxes=$("$bin/qbox-dump" "$stream" | wc -l)
emu --samples "$boxes" --end error -- "$bin/vozirev" "${opts[@]}" -r 1 -p one </dev/null >/dev/null || true
ffmpeg -nostdin -v error -y -i one.mp4 -c copy loop.mp4
loop_s=$(ffprobe -v error -show_entries format=duration -of csv=p=0 loop.mp4)
loops=$(echo "$seconds / $loop_s + 1" | bc)
rm -f one.mp4

# -t before -i cuts the input; -c copy is an output option, given per output.
ff_in=(ffmpeg -nostdin -v error -y -t "$seconds" -stream_loop "$loops" -i loop.mp4)
rtp_v=(-map 0:v -c copy -f rtp "rtp://127.0.0.1:$port")
rtp_a=(-map 0:a -c copy -f rtp "rtp://127.0.0.1:$((port + 2))")
rtp_es=()
case ${opts[1]} in
  1) rtp_es=("${rtp_a[@]}") ;;
  2) rtp_es=("${rtp_v[@]}") ;;
  3) rtp_es=("${rtp_v[@]}" "${rtp_a[@]}") ;;
esac
rtp_ts=(-map 0 -c copy -f rtp_mpegts "rtp://127.0.0.1:$port")

# What a run left in the recording file: size in MB and duration.
written() {
  if [ -s "$1" ]; then
    printf "%8.1f %9.1f" "$(echo "$(stat -c %s "$1") / 1000000" | bc -l)" \
      "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1")"
  else
    printf "%8s %9s" - -
  fi
  rm -f "$1"
}

# Each row's CPU s per hour of content also goes to cpu.txt, one
# "label<TAB>figure" line, for the table of own work.
row() {  # name, output file or "", measurement
  local label=$1 file=$2 cpu rss wall status per_hour
  read -r cpu rss wall status <<<"$3"
  per_hour=$(echo "$cpu * 3600 / $seconds" | bc -l)
  printf "%s\t%s\n" "$label" "$per_hour" >> cpu.txt
  printf "%-32s %8.1f %8.1f %7.1f %5s %s\n" "$label" "$per_hour" \
    "$(echo "$rss / 1024" | bc -l)" "$wall" "$status" "$(written "$file")"
}

cpu_of() {  # label: its CPU s per hour from cpu.txt
  awk -F '\t' -v l="$1" '$1 == l { print $2 }' cpu.txt
}

program() {  # output options...
  # GNU time runs programs, not shell functions: the emulator is named here.
  measure "$bin/vozirev-emu" --pace max --source "$stream" --duration "$seconds" --end error -- \
    "$bin/vozirev" "${opts[@]}" -x "$port" -y "$((port + 2))" -p prog "$@"
}

echo "stream $name, ${seconds} s of content (${loop_s} s loop), program options ${opts[*]}"
printf "%-32s %8s %8s %7s %5s %8s %9s\n" "run" "CPU s/h" "RSS MiB" "wall s" "exit" "file MB" "file s"
row "device alone (dd reads)" "" "$(measure "$bin/vozirev-emu" --pace max --source "$stream" \
  --duration "$seconds" --end error -- bash -c \
  'exec 3<>/dev/Vozirev0; printf "\x00\x00\x00\x0b" >&3; LD_PRELOAD= dd bs=512 of=/dev/null <&3')"

# label|program options|program file|ffmpeg outputs|ffmpeg file|own work /
# ffmpeg aimed at ("-": none)
# ffmpeg never makes its file durable: the program's recordings are
# compared with it like for like without syncs (-k 0), and with the default
# sync every second of content (-k 1), whose fdatasync calls are most of
# what the recording costs, beside it.
combos=(
  "MP4 -k 0|-r 1 -s 0 -k 0|prog.mp4|-f mp4 ff.mp4|ff.mp4|0.25"
  "MP4 -k 1|-r 1 -s 0 -k 1|prog.mp4|-f mp4 ff.mp4|ff.mp4|-"
  "TS file -k 0|-r 2 -s 0 -k 0|prog.mpg|-f mpegts ff.mpg|ff.mpg|0.25"
  "TS file -k 1|-r 2 -s 0 -k 1|prog.mpg|-f mpegts ff.mpg|ff.mpg|-"
  "RTP ES|-r 0 -s 1||RTP_ES||0.5"
  "RTP TS|-r 0 -s 2||RTP_TS||0.5"
  "MP4 + RTP ES|-r 1 -s 1|prog.mp4|-f mp4 ff.mp4 RTP_ES|ff.mp4|-"
  "TS file + RTP TS|-r 2 -s 2|prog.mpg|-f mpegts ff.mpg RTP_TS|ff.mpg|-"
)
for combo in "${combos[@]}"; do
  IFS='|' read -r label prog_opts prog_file ff_opts ff_file _ <<<"$combo"
  # shellcheck disable=SC2086  # the option lists are split on purpose
  row "$label: vozirev" "$prog_file" "$(program $prog_opts)"
  ff_args=()
  for word in $ff_opts; do
    case $word in
      RTP_ES) ff_args+=("${rtp_es[@]}") ;;
      RTP_TS) ff_args+=("${rtp_ts[@]}") ;;
      *) ff_args+=("$word") ;;
    esac
  done
  # A file output takes every stream; the RTP outputs map their own.
  [[ ${ff_args[0]} == -f ]] && ff_args=(-map 0 -c copy "${ff_args[@]}")
  row "$label: ffmpeg -c copy" "$ff_file" "$(measure "${ff_in[@]}" "${ff_args[@]}")"
done

echo
echo "own work: the program's CPU s per hour of content less the device alone's"
printf "%-20s %10s %16s %14s %8s\n" "output" "own work" "ffmpeg -c copy" "own / ffmpeg" "aim"
device=$(cpu_of "device alone (dd reads)")
for combo in "${combos[@]}"; do
  IFS='|' read -r label _ _ _ _ aim <<<"$combo"
  own=$(echo "$(cpu_of "$label: vozirev") - $device" | bc -l)
  ff=$(cpu_of "$label: ffmpeg -c copy")
  printf "%-20s %10.2f %16.2f %14.2f %8s\n" "$label" "$own" "$ff" "$(echo "$own / $ff" | bc -l)" "$aim"
done
