#!/usr/bin/env bash
# Soak of the whole program: long runs under the emulated device at full
# speed, and a recording past the MP4 writer's 4 GiB limit.
#
#   bench/soak.sh [BUILD_DIR [HOURS]]      (make soak: build/normal, 24 h)
#   e.g. bench/soak.sh build/normal 24
#
# Runs, one after the other, each at `--pace max` with a short stream looped
# by the device (continuous time stamps, past the 32-bit wrap at 13.25 h):
#   1. MP4 recording + RTP elementary streams (-r 1 -s 1), HOURS of content
#      of 320x240 15 fps H.264 at ~200 kbit/s and AAC 48 kHz stereo (so that
#      24 h stay below 4 GiB);
#   2. transport-stream recording + transport stream in RTP (-r 2 -s 2), the
#      same content;
#   3. MP4 + RTP elementary streams of 720x576 25 fps at ~4 Mbit/s, 10 %
#      past the content that fills the writer's limit of 4,294,967,294 bytes:
#      the recording rolls over, at an IDR picture in the last 256 MiB, from
#      big.mp4 to big-0002.mp4 (and on), dropping no sample;
#   4. (only when asked for, SOAK_RUNS=4) RTP elementary streams alone
#      (-r 0 -s 1), HOURS of the content of run 1: the streams and their
#      RTCP without the cost of checking a recording.
# `--duration` ends each run: the device then fails its reads, and the
# program completes its recording and exits with status 1 ("Reading from
# Device failed").
#
# What is measured and checked, per run:
# - the device: what it delivered, counted from its --record output (a FIFO
#   read by bench/rtp_sink.cpp): boxes per stream, pictures, content time on
#   the unwrapped 90 kHz clock, time stamps never going back;
# - the program: VmRSS and open descriptors from /proc at the first minute
#   of content, at the last sample before it exits, and the largest of all
#   samples (taken every 50 ms; for descriptors the largest from the first
#   minute on), VmHWM, wall and CPU time (GNU time);
#   nothing on stderr about sending ("UDP sendto", "Failed to send");
# - the stream: a receiver on loopback with a 64 MiB receive buffer counts
#   RTP packets and checks sequence-number continuity per port (no gap, none
#   out of order, no kernel drop on its sockets), one marker per picture
#   and one packet per audio box (-s 1), and the transport packets inside
#   (continuity counters; as many as in the file, which holds the same
#   packets) for -s 2;
# - the RTCP of each stream (on the port above): every compound packet
#   parses (RFC 3550), sender reports came and one BYE at the end, whose
#   report counts every RTP packet received; the NTP/RTP mapping of every
#   report of every stream lies within 1 ms of every other (no drift over
#   the run, audio and video on one wall clock), and the audio and video
#   mappings of the last reports within 1 ms of each other;
# - the file: no warning from ffprobe and no error from a full ffmpeg
#   decode, decoded video frames and packet counts equal to what the device
#   delivered, track durations equal to the content; for the MP4 past its
#   limit the same over its files (durations within a frame), each file's
#   "mdat" within the limit and its sample bytes adding up to the delivered
#   ones, the first file cut in its last 256 MiB, every later one starting
#   with a key frame; for the transport stream also sync bytes, continuity
#   and PCR steps over the whole file.
# Each check prints "ok" or "FAIL"; the script ends with status 1 when one
# failed. Big outputs go to SOAK_DIR (default a new directory in /tmp) and
# are deleted after their checks (SOAK_KEEP=1 keeps them). SOAK_RUNS picks
# runs (default "1 2 3"; e.g. "4" for the streams alone); SOAK_PORT the
# ports. Not run by ctest.
set -euo pipefail
bin=$(cd "${1:-build/normal}" && pwd)
hours=${2:-24}
here=$(cd "$(dirname "$0")/.." && pwd)
port=${SOAK_PORT:-47200}  # video/TS port; audio on port + 2
# shellcheck source=tests/interop/media_checks.bash
source "$here/tests/interop/media_checks.bash"

work=${SOAK_DIR:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"
helpers=()
cleanup() {
  local pid
  for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ "${SOAK_KEEP:-0}" = 1 ] || rm -f ./*.mp4 ./*.mpg ./*.qbox rec.fifo
}
trap cleanup EXIT

# Low rate: 24 h of it is ~2.8 GB as MP4. High rate: ~4.3 Mbit/s.
LOW_OPTS=(-m 3 -a 48 -v 200 -w 320 -h 240 -f 15 -i 15)
HIGH_OPTS=(-m 3 -a 128 -v 4000 -w 720 -h 576 -f 25 -i 25)
CLIP_SECONDS=10
# The largest MP4 file the program writes (32-bit offsets), and the part of
# it within which the recording rolls over at the next IDR picture.
MP4_LARGEST=4294967294
MP4_ROLL_OVER_ZONE=$((MP4_LARGEST / 16))
# The writer's files start with "ftyp" (24 bytes) and the "mdat" header.
MDAT_AT=24
MDAT_HEADER=8
AAC_FRAME=1024  # samples

# "key=value" words of a line: value of one key.
kv() {  # line key
  sed -n "s/.*\\b$2=\\([^ ]*\\).*/\\1/p" <<<"$1"
}

check() {  # what expected actual
  CHECK_LABEL=$CURRENT_RUN
  if [ "$2" == "$3" ]; then
    printf "   ok    %-44s %s\n" "$1" "$3"
  else
    printf "   FAIL  %-44s expected %s, got %s\n" "$1" "$2" "$3"
    CHECK_FAILURES=$((CHECK_FAILURES + 1))
  fi
}

# ---- one run ------------------------------------------------------------------

# Samples the program's VmRSS, VmHWM and descriptors every 50 ms without
# starting a process, with the content seconds the device has delivered.
sample_program() {  # pid progress_file out_file
  local pid=$1 progress=$2 out=$3 sleep_fd line rss hwm content fds
  exec {sleep_fd}<> <(:)
  while [ -d "/proc/$pid" ]; do
    # Descriptors first, memory second: an exiting process gives up its
    # memory (its VmRSS line goes) before its descriptors, so a sample with
    # a VmRSS line had all its descriptors when they were counted.
    fds=(/proc/"$pid"/fd/*)
    rss='' hwm=0
    while read -r line; do
      case $line in
        VmRSS:*) rss=${line//[^0-9]/} ;;
        VmHWM:*) hwm=${line//[^0-9]/} ;;
      esac
    done < "/proc/$pid/status" 2>/dev/null || break
    content=0
    { read -r content < "$progress"; } 2>/dev/null || true
    [ -n "$rss" ] && echo "${content:-0} $rss $hwm ${#fds[@]}" >> "$out"
    read -r -t 0.05 -u "$sleep_fd" || true
  done
  exec {sleep_fd}>&-
}

# The program's process: GNU time's child once it runs the program.
program_pid() {  # time_pid
  local children=
  while [ -z "$children" ] && [ -d "/proc/$1" ]; do
    # The list ends without a newline: read's status says nothing here.
    children=$(< "/proc/$1/task/$1/children") 2>/dev/null || children=
  done
  echo "${children%% *}"
}

# Runs the program under the device for SECONDS of CLIP with the options
# given; leaves device.txt, stream.txt, samples.txt, time.txt, program.log.
soak_run() {  # clip seconds rtp_sink_options -- program options...
  local clip=$1 seconds=$2 sink_opts=$3
  shift 4
  rm -f rec.fifo ready progress.txt samples.txt device.txt stream.txt
  mkfifo rec.fifo
  "$bin/rtp_sink" qbox rec.fifo progress.txt > device.txt &
  local qbox_pid=$!
  # shellcheck disable=SC2086  # the sink's options are split on purpose
  "$bin/rtp_sink" rtp --rtcp $sink_opts --ready ready "$port" "$((port + 2))" > stream.txt &
  local sink_pid=$!
  helpers=("$qbox_pid" "$sink_pid")
  while [ ! -e ready ]; do
    kill -0 "$sink_pid"
    sleep 0.1
  done
  /usr/bin/time -f "%U %S %M %e %x" -o time.txt "$bin/vozirev-emu" --pace max --source "$clip" \
    --duration "$seconds" --end error --record rec.fifo -- \
    "$bin/vozirev" "$@" -x "$port" -y "$((port + 2))" </dev/null >program.log 2>&1 &
  local time_pid=$!
  local pid
  pid=$(program_pid "$time_pid")
  [ -n "$pid" ] && sample_program "$pid" progress.txt samples.txt
  wait "$time_pid" || true
  kill "$sink_pid" "$qbox_pid"
  wait "$sink_pid" "$qbox_pid" || true
  helpers=()
}

# RSS (KiB) and descriptors at the first minute of content, at the last
# sample while content still arrived (the samples at the final content
# count include the program's shutdown, when it closes its outputs), and
# the largest, from samples.txt ("content rss hwm fds"); kept per run. The
# largest count of descriptors that must stay flat is the one from the
# first minute on: while starting, the program holds one more for a moment
# (it syncs the directory of its spool files; the emulated device, loaded
# into its process, reads its clip), which a sample may catch.
report_resources() {  # run number
  local first last end all_fds
  cp samples.txt "samples-$1.txt"
  end=$(tail -n 1 samples.txt | cut -d' ' -f1)
  first=$(awk '$1 >= 60 { print; exit }' samples.txt)
  [ -n "$first" ] || first=$(head -n 1 samples.txt)
  last=$(awk -v end="$end" '$1 < end' samples.txt | tail -n 1)
  [ -n "$last" ] || last=$(tail -n 1 samples.txt)
  read -r f_content f_rss _ f_fds <<<"$first"
  read -r l_content l_rss l_hwm l_fds <<<"$last"
  max_rss=$(awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { print m }' samples.txt)
  all_fds=$(awk 'BEGIN { m = 0 } $4 > m { m = $4 } END { print m }' samples.txt)
  max_fds=$(awk -v from="$f_content" 'BEGIN { m = 0 } $1 >= from && $4 > m { m = $4 } END { print m }' samples.txt)
  echo "   program: RSS KiB ${f_rss} at ${f_content} s of content, ${l_rss} at ${l_content} s, max ${max_rss}" \
       "(VmHWM ${l_hwm}); descriptors ${f_fds} / ${l_fds} / max ${max_fds} (${all_fds} with the start);" \
       "$(wc -l < samples.txt) samples" \
       "($(awk -v end="$end" '$1 == end' samples.txt | wc -l) at the end, last: $(tail -n 1 samples.txt))"
  check "RSS flat (last <= first + 1 MiB)" yes "$([ "$l_rss" -le $((f_rss + 1024)) ] && echo yes || echo no)"
  check "descriptors flat (first = last = max)" "$f_fds $f_fds" "$l_fds $max_fds"
}

report_device_and_program() {  # expected content seconds, run number
  local dev status
  dev=$(cat device.txt)
  read -r user sys _ wall status < <(tail -n 1 time.txt)
  content_h=$(printf "%.3f" "$(echo "scale=4; $(kv "$dev" audio_ticks) / 90000 / 3600" | bc)")
  samples=$(kv "$dev" boxes)
  cpu=$(printf "%.2f" "$(echo "$user + $sys" | bc)")
  echo "   device: $samples samples ($(kv "$dev" video) video, $(kv "$dev" pictures) pictures," \
       "$(kv "$dev" audio) audio), $content_h h of content; wall ${wall} s, CPU ${cpu} s, exit $status"
  check "content seconds (audio span)" "$1" "$(($(kv "$dev" audio_ticks) / 90000))"
  check "device time stamps never back" "0 0" "$(kv "$dev" video_back) $(kv "$dev" audio_back)"
  check "whole boxes only" "0 0" "$(kv "$dev" leftover) $(kv "$dev" bad)"
  check "exit status (device end)" 1 "$status"
  check "ended by the device" 1 "$(grep -c 'Reading from Device failed' program.log || true)"
  check "send errors on stderr" 0 "$(grep -c -E 'UDP sendto|Failed to send|TCP send' program.log || true)"
  report_resources "$2"
}

check_stream_sequence() {  # stream line, label
  check "$2: sequence gaps / lost / out of order" "0 0 0" \
    "$(kv "$1" seq_gaps) $(kv "$1" lost) $(kv "$1" out_of_order)"
  check "$2: kernel drops / truncated / SSRC changes" "0 0 0" \
    "$(kv "$1" kernel_drops) $(kv "$1" truncated) $(kv "$1" ssrc_changes)"
  check "$2: RTP time stamps never back" 0 "$(kv "$1" ts_back)"
}

# The RTCP of one stream: reports, one BYE, nothing malformed, and the
# last report's count of the packets sent is what arrived.
check_rtcp_stream() {  # stream line, label
  echo "   $2 RTCP: $(kv "$1" sr) sender reports, $(kv "$1" bye) BYE, mapping moved by $(kv "$1" map_drift_us) us"
  check "$2: RTCP malformed / BYE" "0 1" "$(kv "$1" rtcp_bad) $(kv "$1" bye)"
  check "$2: sender reports came" yes "$([ "$(kv "$1" sr)" -gt 0 ] && echo yes || echo no)"
  check "$2: last report counts every packet" "$(kv "$1" datagrams)" "$(kv "$1" sr_packets)"
}

# The mappings of every report of every stream within 1 ms of one another,
# and (two streams) audio and video within 1 ms at their last reports.
check_rtcp_mapping() {  # streams
  local run
  run=$(grep "^rtcp " stream.txt)
  local line="   RTCP mapping: all reports within $(kv "$run" map_spread_us) us"
  [ "$1" = 2 ] && line+="; audio and video $(kv "$run" av_end_us) us apart at the end"
  echo "$line"
  check "RTCP: streams with reports" "$1" "$(kv "$run" streams)"
  check "RTCP: mappings within 1 ms" yes "$(awk -v s="$(kv "$run" map_spread_us)" 'BEGIN { print s <= 1000 ? "yes" : "no" }')"
  [ "$1" = 2 ] || return 0
  check "RTCP: audio/video within 1 ms at the end" yes \
    "$(awk -v s="$(kv "$run" av_end_us)" 'BEGIN { print s <= 1000 ? "yes" : "no" }')"
}

# One marker bit per picture (the last packet of each access unit; the
# boxes of parameter sets alone carry none), one packet per audio box: every
# packet of every sample arrived.
report_es_stream() {  # pictures, audio boxes
  local video audio
  video=$(grep "^port=$port " stream.txt)
  audio=$(grep "^port=$((port + 2)) " stream.txt)
  echo "   stream: video $(kv "$video" datagrams) packets, audio $(kv "$audio" datagrams) packets"
  check_stream_sequence "$video" "video"
  check_stream_sequence "$audio" "audio"
  check "video: marker bits = pictures" "$1" "$(kv "$video" markers)"
  check "audio: packets = audio boxes" "$2" "$(kv "$audio" datagrams)"
  check_rtcp_stream "$video" "video"
  check_rtcp_stream "$audio" "audio"
  check_rtcp_mapping 2
}

# ffprobe without a warning, a full decode without an error; prints the
# decoded video frames.
decode_mp4() {  # file
  check "ffprobe warnings" "" "$(ffprobe -v warning "$1" 2>&1 >/dev/null)"
  rm -f progress.log
  check "ffmpeg decode errors" "" "$(nice ffmpeg -nostdin -v error -i "$1" -map 0 -progress progress.log -f null - 2>&1)"
  check "decoded video frames" "$2" "$(sed -n 's/^frame=//p' progress.log | tail -n 1)"
}

packets() {  # file stream
  ffprobe -v error -select_streams "$2" -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1" |
    grep -m 1 .
}

# Steps between consecutive video packet time stamps: one step only.
pts_steps() {  # file stream
  ffprobe -v error -select_streams "$2" -show_entries packet=pts -of csv=p=0 "$1" |
    awk 'NR > 1 { s[$1 - p]++ } { p = $1 } END { for (k in s) printf "%s%sx%s", sep, k, s[k]; sep = " " }'
}

check_mp4() {  # file video_samples audio_samples video_ticks audio_ticks
  echo "   file $1: $(stat -c %s "$1") bytes"
  decode_mp4 "$1" "$2"
  check "video packets" "$2" "$(packets "$1" v:0)"
  check "audio packets" "$3" "$(packets "$1" a:0)"
  check "video duration (90 kHz)" "$4" "$(mp4_probe "$1" v:0 stream=duration_ts)"
  check "audio duration (48 kHz)" "$(($5 * 48000 / 90000))" "$(mp4_probe "$1" a:0 stream=duration_ts)"
  check "movie duration (s)" "$(echo "scale=1; $4 / 90000" | bc)" \
    "$(printf "%.1f" "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1")")"
  check "video time stamp steps (one step)" 1 "$(pts_steps "$1" v:0 | wc -w)"
}

# Where the "mdat" box of one of the writer's files ends (its 32-bit size,
# big-endian, from byte MDAT_AT), or what stands there instead.
mdat_end() {  # file
  local type
  type=$(od -An -c -j $((MDAT_AT + 4)) -N4 "$1" | tr -d ' \n')
  if [ "$type" != mdat ]; then
    echo "'$type' at $MDAT_AT"
    return
  fi
  echo $((16#$(od -An -tx1 -j "$MDAT_AT" -N4 "$1" | tr -d ' \n') + MDAT_AT))
}

# 1 when the first video frame decodes as a key frame.
first_key_frame() {  # file
  ffprobe -v error -select_streams v:0 -show_frames -read_intervals '%+#1' -show_entries frame=key_frame \
    -of csv=p=0 "$1" | head -n 1
}

# yes when a and b differ by at most "most".
within() {  # a b most
  awk -v a="$1" -v b="$2" -v m="$3" 'BEGIN { d = a - b; if (d < 0) d = -d; print d <= m ? "yes" : "no" }'
}

# ---- the runs -----------------------------------------------------------------

CURRENT_RUN=setup
"$bin/qbox-encode" "${LOW_OPTS[@]}" --duration "$CLIP_SECONDS" -o low.qbox 2>/dev/null
"$bin/qbox-encode" "${HIGH_OPTS[@]}" --duration "$CLIP_SECONDS" -o high.qbox 2>/dev/null
seconds=$(echo "$hours * 3600 / 1" | bc)
low_bytes=$(stat -c %s low.qbox)
high_bytes=$(stat -c %s high.qbox)
# The high-rate run goes 10 % past the content that fills 4 GiB.
high_seconds=$((4294967296 * 11 / 10 / high_bytes * CLIP_SECONDS))
echo "Soak: $hours h of content per long run; clips of ${CLIP_SECONDS} s: ${LOW_OPTS[*]} ($low_bytes bytes)," \
     "${HIGH_OPTS[*]} ($high_bytes bytes); work dir $work"
echo "Program: $bin/vozirev-emu --pace max --source CLIP --duration SECONDS --end error --record FIFO --" \
     "$bin/vozirev OPTIONS -x $port -y $((port + 2))"
summary=()

summarise() {  # label
  summary+=("$(printf "%-24s %8s %9s %7s %7s %6s/%6s/%6s %3s/%3s/%3s %5s" "$1" "$content_h" "$samples" \
    "$wall" "$cpu" "$f_rss" "$l_rss" "$max_rss" "$f_fds" "$l_fds" "$max_fds" \
    "$([ "$CHECK_FAILURES" = "$failures_before" ] && echo ok || echo FAIL)")")
}

selected() {  # run number
  [[ " ${SOAK_RUNS:-1 2 3} " == *" $1 "* ]]
}

if selected 1; then
CURRENT_RUN="MP4 + RTP ES"
failures_before=$CHECK_FAILURES
echo
echo "1. $CURRENT_RUN: -r 1 -s 1, ${hours} h"
soak_run low.qbox "$seconds" "" -- "${LOW_OPTS[@]}" -r 1 -s 1 -p soak
report_device_and_program "$seconds" 1
dev=$(cat device.txt)
report_es_stream "$(kv "$dev" pictures)" "$(kv "$dev" audio)"
check "content fits one file (model: below roll-over)" yes \
  "$([ "$(kv "$dev" mp4_length)" -le $((MP4_LARGEST - MP4_ROLL_OVER_ZONE)) ] && echo yes || echo no)"
check_mp4 soak.mp4 "$(kv "$dev" pictures)" "$(kv "$dev" audio)" "$(kv "$dev" video_ticks)" "$(kv "$dev" audio_ticks)"
[ "${SOAK_KEEP:-0}" = 1 ] || rm -f soak.mp4
summarise "MP4 + RTP ES"
fi

if selected 2; then
CURRENT_RUN="TS + RTP TS"
failures_before=$CHECK_FAILURES
echo
echo "2. $CURRENT_RUN: -r 2 -s 2, ${hours} h"
soak_run low.qbox "$seconds" "--ts" -- "${LOW_OPTS[@]}" -r 2 -s 2 -p soak
report_device_and_program "$seconds" 2
dev=$(cat device.txt)
stream=$(grep "^port=$port " stream.txt)
file_packets=$(($(stat -c %s soak.mpg) / 188))
echo "   stream: $(kv "$stream" datagrams) packets carrying $(kv "$stream" ts_packets) transport packets"
check_stream_sequence "$stream" "TS"
check "TS: sync errors / continuity errors" "0 0" "$(kv "$stream" sync_errors) $(kv "$stream" cc_errors)"
# The stream carries exactly the packets of the file (-r 2 -s 2).
check "TS: transport packets = file" "$file_packets" "$(kv "$stream" ts_packets)"
check_rtcp_stream "$stream" "TS"
check_rtcp_mapping 1
echo "   file soak.mpg: $(stat -c %s soak.mpg) bytes, $file_packets packets"
check "file size modulo 188" 0 "$(($(stat -c %s soak.mpg) % 188))"
scan=$("$bin/rtp_sink" tsfile soak.mpg 0x44)
check "file: sync / continuity errors / PCR back" "0 0 0" \
  "$(kv "$scan" sync_errors) $(kv "$scan" cc_errors) $(kv "$scan" pcr_back)"
check "file: largest PCR step <= 9000 (100 ms)" yes "$([ "$(kv "$scan" pcr_max_step)" -le 9000 ] && echo yes || echo no)"
check "ffprobe complaints" "" "$(ts_complaints "$(ffprobe -v warning soak.mpg 2>&1 >/dev/null)")"
rm -f progress.log
check "ffmpeg decode complaints" "" "$(ts_complaints "$(nice ffmpeg -nostdin -v warning -i soak.mpg \
  -map 0:v -map 0:a -progress progress.log -f null - 2>&1)")"
check "decoded video frames" "$(kv "$dev" pictures)" "$(sed -n 's/^frame=//p' progress.log | tail -n 1)"
check "audio packets" "$(kv "$dev" audio)" "$(packets soak.mpg a:0)"
check "duration (s)" "$(echo "scale=1; $seconds / 1" | bc)" \
  "$(printf "%.1f" "$(ffprobe -v error -show_entries format=duration -of csv=p=0 soak.mpg)")"
[ "${SOAK_KEEP:-0}" = 1 ] || rm -f soak.mpg
summarise "TS + RTP TS"
fi

if selected 3; then
CURRENT_RUN="MP4 past 4 GiB"
failures_before=$CHECK_FAILURES
echo
echo "3. $CURRENT_RUN: -r 1 -s 1, $(echo "scale=2; $high_seconds / 3600" | bc) h at the high rate"
soak_run high.qbox "$high_seconds" "" -- "${HIGH_OPTS[@]}" -r 1 -s 1 -p big
report_device_and_program "$high_seconds" 3
dev=$(cat device.txt)
report_es_stream "$(kv "$dev" pictures)" "$(kv "$dev" audio)"
# big.mp4, then big-0002.mp4, big-0003.mp4 ... as the program went on.
shopt -s nullglob
parts=(big-[0-9][0-9][0-9][0-9].mp4)
shopt -u nullglob
files=(big.mp4 "${parts[@]}")
names=big.mp4
for ((i = 2; i <= ${#files[@]}; i++)); do names+=" $(printf "big-%04d.mp4" "$i")"; done
echo "   files: ${files[*]}"
check "rolled over (at least two files)" yes "$([ "${#files[@]}" -ge 2 ] && echo yes || echo no)"
check "files numbered on from big-0002.mp4" "$names" "${files[*]}"
video_sum=0 audio_sum=0 video_ticks=0 audio_ticks=0 payload=0
for ((i = 0; i < ${#files[@]}; i++)); do
  file=${files[$i]}
  if [ ! -f "$file" ]; then
    check "$file exists" yes no
    continue
  fi
  end=$(mdat_end "$file")
  video=$(packets "$file" v:0)
  audio=$(packets "$file" a:0)
  echo "   file $file: $(stat -c %s "$file") bytes, \"mdat\" ends at $end; $video video and $audio audio packets," \
       "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file") s"
  decode_mp4 "$file" "$video"
  check "mdat ends at or below 4,294,967,294" yes "$([ "$end" -le "$MP4_LARGEST" ] 2>/dev/null && echo yes || echo no)"
  if [ "$i" = 0 ]; then
    check "cut in the last 256 MiB" yes \
      "$([ "$end" -gt $((MP4_LARGEST - MP4_ROLL_OVER_ZONE)) ] 2>/dev/null && echo yes || echo no)"
  else
    check "first frame a key frame" 1 "$(first_key_frame "$file")"
  fi
  check "video time stamp steps (one step)" 1 "$(pts_steps "$file" v:0 | wc -w)"
  video_sum=$((video_sum + ${video:-0}))
  audio_sum=$((audio_sum + ${audio:-0}))
  ticks=$(mp4_probe "$file" v:0 stream=duration_ts)
  video_ticks=$((video_ticks + ${ticks:-0}))
  ticks=$(mp4_probe "$file" a:0 stream=duration_ts)
  audio_ticks=$((audio_ticks + ${ticks:-0}))
  [[ $end =~ ^[0-9]+$ ]] && payload=$((payload + end - MDAT_AT - MDAT_HEADER))
  [ "${SOAK_KEEP:-0}" = 1 ] || rm -f "$file"
done
# No sample dropped: every picture and audio frame, and every byte of them,
# is in one of the files.
pictures=$(kv "$dev" pictures)
frame_ticks=$(($(kv "$dev" video_ticks) / (pictures > 0 ? pictures : 1)))
echo "   over the files: $video_sum video and $audio_sum audio packets, $payload sample bytes;" \
     "video $video_ticks ticks (content $(kv "$dev" video_ticks)), audio $audio_ticks samples at 48 kHz" \
     "(content $(($(kv "$dev" audio_ticks) * 48000 / 90000)))"
check "video packets = pictures" "$(kv "$dev" pictures)" "$video_sum"
check "audio packets = audio boxes" "$(kv "$dev" audio)" "$audio_sum"
check "sample bytes = delivered (model)" "$(($(kv "$dev" mp4_length) - MDAT_AT - MDAT_HEADER))" "$payload"
check "video durations add up (within a frame)" yes "$(within "$video_ticks" "$(kv "$dev" video_ticks)" "$frame_ticks")"
check "audio durations add up (within a frame)" yes \
  "$(within "$audio_ticks" "$(($(kv "$dev" audio_ticks) * 48000 / 90000))" "$AAC_FRAME")"
summarise "MP4 past 4 GiB"
fi

if selected 4; then
CURRENT_RUN="RTP ES alone"
failures_before=$CHECK_FAILURES
echo
echo "4. $CURRENT_RUN: -r 0 -s 1, ${hours} h"
soak_run low.qbox "$seconds" "" -- "${LOW_OPTS[@]}" -r 0 -s 1
report_device_and_program "$seconds" 4
dev=$(cat device.txt)
report_es_stream "$(kv "$dev" pictures)" "$(kv "$dev" audio)"
summarise "RTP ES alone"
fi

echo
printf "%-24s %8s %9s %7s %7s %20s %11s %5s\n" "run" "content h" "samples" "wall s" "CPU s" \
  "RSS KiB 1st/last/max" "fds 1/l/max" "check"
printf "%s\n" "${summary[@]}"
# A run cut short by an error in the script itself has no summary line.
CURRENT_RUN=all
check "runs completed" "$(wc -w <<<"${SOAK_RUNS:-1 2 3}")" "${#summary[@]}"
checks_done "all soak checks passed"
