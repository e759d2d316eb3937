# Helpers for the tests that run the capture program under the emulated
# device (sourced by tests/interop/app_fail*.sh, app_stop*.sh,
# app_diskfull.sh; not run by ctest). Sets PROG, EMU, DUMP, LIST, CORPUS
# stream names, a work directory removed at exit, and a failure counter.
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"

here=$(dirname "${BASH_SOURCE[0]}")
source "$here/rtp_common.bash"   # ports, ffmpeg receiver (its cleanup runs at exit too)
source "$here/media_checks.bash"

PROG="$VOZIREV_BIN/vozirev"
EMU="$VOZIREV_BIN/vozirev-emu"
DUMP="$VOZIREV_BIN/qbox-dump"
LIST="$VOZIREV_BIN/mp4_record"
AV="$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox"
# Content the emulator encodes itself is shared by every build.
export VOZIREV_EMU_CACHE="$VOZIREV_CORPUS/emu-cache"

WORK=$(mktemp -d)
cleanup_hooks=()
app_cleanup() {
  local hook
  for hook in "${cleanup_hooks[@]}"; do eval "$hook" || true; done
  cd /
  cleanup
  rm -rf "$WORK"
}
trap app_cleanup EXIT

fail() { check_fail "$@"; }

# A small file system for the disk-full and retention cases: a tmpfs on
# $DISK (root is needed; without the mount the test says SKIPPED and ends).
DISK="$WORK/disk"
mkdir "$DISK"
mounted=
unmount_disk() {
  cd "$WORK"
  if [ -n "$mounted" ]; then
    umount "$DISK" && mounted=
  fi
}
cleanup_hooks+=("unmount_disk")

# mount_disk SIZE: a fresh tmpfs of SIZE on $DISK, made the current directory.
mount_disk() {
  unmount_disk
  if ! mount -t tmpfs -o "size=$1" tmpfs "$DISK" 2> "$WORK/mount.err"; then
    echo "SKIPPED: cannot mount a tmpfs here ($(cat "$WORK/mount.err")); the small-disk cases need root"
    exit 0
  fi
  mounted=1
  cd "$DISK"
}

# A fresh directory for one case, made the current one.
case_dir() {
  CHECK_LABEL=$1
  mkdir -p "$WORK/$1"
  cd "$WORK/$1"
}

# The device's settings lines for the program's default options (audio and
# video, 320x240 at 30 fps), as each command is sent.
default_settings() {
  printf '%s\n' "Setting Media Format to: audio and video" \
    "Setting Audio Bitrate to: 48 kbps" "Setting Video Bitrate to: 512 kbps" \
    "Setting Video Resolution to: 320 x 240" "Setting Video Frame Rate to: 30 fps" \
    "Setting I Frame Interval to: 30" "Setting Color to: 128" "Setting Brightness to: 128"
}

BANNER=$'\nVozirev capture program\n'
STARTED=$'\nStarted Encoding.. '

# expect_output WHAT EXPECTED_TEXT FILE: the file holds exactly the text.
expect_output() {
  local actual
  actual=$(cat "$3"; echo x)
  actual=${actual%x}
  if [ "$2" != "$actual" ]; then
    fail "$1: output differs (expected, then actual):"
    printf '%s' "$2" | od -c | tail -6
    printf '%s' "$actual" | od -c | tail -6
  fi
}

# Spool files, their lock, or anything else the MP4 writer leaves behind.
expect_no_spool() {
  local left
  left=$(ls -A | grep '^~temp' || true)
  expect_eq "spool files left behind" "" "$(echo $left)"
}

# check_capture MP4 RECORD.qbox MEDIA WIDTH HEIGHT: the recording holds
# exactly the boxes the emulated device delivered (its --record file).
check_capture() {
  "$LIST" list "$2" > boxes.txt || { fail "cannot list $2"; return; }
  check_mp4_file "$1" boxes.txt "$3" "$4" "$5"
}

# Number of picture-carrying video boxes in a QBox stream file.
picture_boxes() {
  "$LIST" list "$1" | awk '$1 == "video" && $3 == 1' | wc -l
}

# The media a recording holds: 3, or 2 (1) when it has no audio (video)
# track, which a recording leaves out when no sample of it came in time.
recorded_media() {  # mp4
  case "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$1" | paste -sd ' ')" in
    video) echo 2 ;;
    audio) echo 1 ;;
    *) echo 3 ;;
  esac
}

# check_leading_boxes MP4 RECORD.qbox MEDIA WIDTH HEIGHT: the recording holds
# a leading run of the boxes the device delivered (a run stopped, or whose
# recording ended, before the device's last box). The run is the shortest
# one with as many pictures and audio frames as the MP4 has; it is left in
# boxes.txt, the boxes after it in tail.txt.
check_leading_boxes() {
  local frames=0 packets=0
  if [ "$3" != 1 ]; then
    if [ "${VIDEO_TIMES_FROM:-frame}" = packet ]; then
      frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1")
    else
      frames=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1")
    fi
  fi
  if [ "$3" != 2 ]; then
    packets=$(ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1")
  fi
  "$LIST" list "$2" > delivered.txt || { fail "cannot list $2"; return; }
  : > boxes.txt
  : > tail.txt
  awk -v f="${frames:-0}" -v p="${packets:-0}" '
    { if (nv >= f && na >= p) { print > "tail.txt"; next }
      print > "boxes.txt"
      if ($1 == "video" && $3 == 1) nv++
      if ($1 == "audio") na++ }' delivered.txt
  check_mp4_file "$1" boxes.txt "$3" "$4" "$5"
  # A track left out had no box in the run.
  [ "$3" = 2 ] && grep -q '^audio' boxes.txt && fail "audio boxes of the run are missing"
  [ "$3" = 1 ] && grep -q '^video .* 1$' boxes.txt && fail "pictures of the run are missing"
  return 0
}

# check_leading_ts TS RECORD.qbox MEDIA WIDTH HEIGHT: a transport-stream
# recording cut short holds a leading run of the boxes the device delivered:
# as many pictures and audio frames as it decodes, at their time stamps.
check_leading_ts() {
  local has_video=0 maps=()
  [ "$3" != 1 ] && has_video=1 && maps+=(-map 0:v)
  [ "$3" != 2 ] && maps+=(-map 0:a)
  ts_decoded_frames "$has_video" -i "$1" "${maps[@]}" > decoded_ts.txt
  local frames packets
  frames=$(grep -c '^video' decoded_ts.txt || true)
  packets=$(grep -c '^audio' decoded_ts.txt || true)
  "$VOZIREV_BIN/ts_feed" list "$2" |
    awk -v f="$frames" -v p="$packets" '($1 == "video" && nv++ < f) || ($1 == "audio" && na++ < p)' > boxes_ts.txt
  check_ts_file "$1" boxes_ts.txt "$3" "$4" "$5"
}

# run_in_parallel FUNCTION DIR_PREFIX: FUNCTION 1 to FUNCTION $RUNS, at most
# $PARALLEL at a time, each run's output kept apart and then printed in
# order with its failures counted, followed by the outcome the run left in
# $WORK/DIR_PREFIX<run>/outcome.txt.
run_in_parallel() {
  local run_function=$1 dir_prefix=$2 i pids=()
  for ((i = 1; i <= RUNS; i++)); do
    ( "$run_function" "$i" > "$WORK/result$i.txt" 2>&1 ) &
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
    echo "run $i: $(cat "$WORK/$dir_prefix$i/outcome.txt" 2>/dev/null || echo 'no outcome')"
  done
}
