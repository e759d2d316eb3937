#!/usr/bin/env bash
# The capture program with free-space checks on (-q), recording on a small
# tmpfs mounted for the test (root is needed; without the mount the test
# says SKIPPED). The program keeps 10240 KiB free, so a file system of a
# little more holds only a short recording:
#   - too little space at the start: "\nUnble to open output file for
#     writing.", exit 1, the file created and empty;
#   - recording and streaming: "Disk space exceeded." once, the recording is
#     finalised and plays (a leading run of the delivered boxes, frame for
#     frame), and the RTP streams go on: ffmpeg, receiving with the session
#     description from vozirev-sdp, gets well over a second of content past
#     the recording's end;
#   - recording only: the same message, and the run ends by itself (no
#     output left), exit 0.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

STREAM="$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox"   # 2 Mbit/s video
SIZE_OPTS=(-w 720 -h 576 -f 25)
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
    echo "SKIPPED: cannot mount a tmpfs here ($(cat "$WORK/mount.err")); the disk-full cases need root"
    exit 0
  fi
  mounted=1
  cd "$DISK"
}

settings=$(default_settings | sed 's/320 x 240/720 x 576/; s/30 fps/25 fps/')

# ---- too little space at the start ----------------------------------------
CHECK_LABEL="under 10 MiB free"
mount_disk 8m
rc=0
"$EMU" --source "$STREAM" --pace max --log "$WORK/log1.txt" -- \
  "$PROG" -q 1 "${SIZE_OPTS[@]}" -p rec > "$WORK/out1.txt" 2>&1 || rc=$?
expect_eq "exit status" 1 "$rc"
expect_output "output" "${BANNER}${settings}"$'\nSaving to ./rec.mp4\n\nUnble to open output file for writing.\n' "$WORK/out1.txt"
expect_eq "files" "rec.mp4 0" "$(stat -c '%n %s' -- *)"
grep -q ' start ' "$WORK/log1.txt" && fail "the encoder was started"

# ---- recording and streaming ----------------------------------------------
CHECK_LABEL="disk full while streaming"
mount_disk 11m
ports=$(pick_ports)
"$VOZIREV_BIN/vozirev-sdp" -s 1 -m 3 -d 127.0.0.1 -x "$ports" -y "$((ports + 2))" > "$WORK/stream.sdp"
start_receiver "$WORK/stream.sdp" "$WORK/received.mkv" "$ports"
"$EMU" --source "$STREAM" --record "$WORK/rec2.qbox" -- \
  "$PROG" -q 1 "${SIZE_OPTS[@]}" -p rec -s 1 -x "$ports" -y "$((ports + 2))" > "$WORK/out2.txt" 2>&1 &
prog=$!
cleanup_hooks+=("kill $prog 2>/dev/null")
# The recording is complete once the spool files are gone; the stream then
# runs on for two more seconds.
wait_spool() {  # present|gone
  for ((i = 0; i < 600; i++)); do
    if [ -e '~temp1' ]; then [ "$1" = present ] && return 0
    else [ "$1" = gone ] && return 0
    fi
    sleep 0.05
  done
  fail "the spool files are not $1 after 30 s"
}
wait_spool present
wait_spool gone
sleep 2
kill -INT $prog
rc=0; wait $prog || rc=$?
wait_receiver "$WORK/received.mkv"
expect_eq "exit status" 0 "$rc"
expect_output "output" "${BANNER}${settings}"$'\nSaving to ./rec.mp4\nStreaming Elementary Stream to 127.0.0.1 on video port:'"$ports"' and audio port: '"$((ports + 2))"$'\n'"${STARTED}"$'Disk space exceeded.\n' "$WORK/out2.txt"
expect_no_spool
cd "$WORK"
cp "$DISK/rec.mp4" rec2.mp4
check_leading_boxes rec2.mp4 rec2.qbox 3 720 576
recorded=$(ffprobe -v error -show_entries format=duration -of csv=p=0 rec2.mp4)
received=$(ffprobe -v error -show_entries format=duration -of csv=p=0 received.mkv)
echo "$CHECK_LABEL: recorded $recorded s, $(stat -c %s rec2.mp4) bytes; received $received s of stream"
awk -v r="$recorded" -v s="$received" 'BEGIN { exit !(r > 0.5 && s > r + 1.5) }' ||
  fail "the stream ($received s) did not go on past the recording ($recorded s)"
errors=$(ffmpeg -nostdin -v error -i received.mkv -f null - 2>&1)
expect_eq "decode errors in the received stream" "" "$errors"

# ---- recording only ---------------------------------------------------------
CHECK_LABEL="disk full, recording only"
mount_disk 11m
rc=0
timeout 60 "$EMU" --source "$STREAM" --pace max --record "$WORK/rec3.qbox" -- \
  "$PROG" -q 1 "${SIZE_OPTS[@]}" -p rec > "$WORK/out3.txt" 2>&1 || rc=$?
expect_eq "exit status" 0 "$rc"
expect_output "output" "${BANNER}${settings}"$'\nSaving to ./rec.mp4\n'"${STARTED}"$'Disk space exceeded.\n' "$WORK/out3.txt"
expect_no_spool
cd "$WORK"
cp "$DISK/rec.mp4" rec3.mp4
check_leading_boxes rec3.mp4 rec3.qbox 3 720 576
echo "$CHECK_LABEL: recorded $(ffprobe -v error -show_entries format=duration -of csv=p=0 rec3.mp4) s, $(stat -c %s rec3.mp4) bytes"

unmount_disk
checks_done "disk-full cases checked"
