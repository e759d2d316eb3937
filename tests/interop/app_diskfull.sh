#!/usr/bin/env bash
# The capture program on a full disk: small tmpfs (and ext4) mounts made
# for the test (root is needed; without the mount the test says SKIPPED).
# Whatever fills the disk, the recording is completed, holds whole samples
# only and plays with every sample it reports.
#
# With free-space checks on (-q) the program keeps 10240 KiB free, so a file
# system of a little more holds only a short recording:
#   - too little space at the start: "\nUnble to open output file for
#     writing.", exit 1, and an existing file of the same name untouched;
#   - recording and streaming: "Disk space exceeded." once, the recording is
#     finalised and plays (a leading run of the delivered boxes, frame for
#     frame), and the RTP streams go on: ffmpeg, receiving with the session
#     description from vozirev-sdp, gets well over a second of content past
#     the recording's end;
#   - recording only: the same message, and the run ends by itself (no
#     output left), exit 0;
#   - as another user on ext4, whose reserved blocks that user cannot take.
# Without -q the disk fills up: "Disk space exceeded.", the MP4 file is cut
# back to its last whole sample and completed, the transport stream cut back
# to whole packets; the run ends with status 0.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

STREAM="$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox"   # 2 Mbit/s video
SIZE_OPTS=(-w 720 -h 576 -f 25)
settings=$(default_settings | sed 's/320 x 240/720 x 576/; s/30 fps/25 fps/')

# ---- too little space at the start ----------------------------------------
CHECK_LABEL="under 10 MiB free"
mount_disk 8m
echo "an older recording" > rec.mp4
rc=0
"$EMU" --source "$STREAM" --pace max --log "$WORK/log1.txt" -- \
  "$PROG" -q 1 "${SIZE_OPTS[@]}" -p rec > "$WORK/out1.txt" 2>&1 || rc=$?
expect_eq "exit status" 1 "$rc"
expect_output "output" "${BANNER}${settings}"$'\nSaving to ./rec.mp4\n\nUnble to open output file for writing.\n' "$WORK/out1.txt"
expect_eq "files" "rec.mp4 19" "$(stat -c '%n %s' -- *)"
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

# ---- without -q ---------------------------------------------------------------
CHECK_LABEL="disk full without -q, MP4"
mount_disk 12m
rc=0
timeout 60 "$EMU" --source "$STREAM" --pace max --record "$WORK/rec4.qbox" -- \
  "$PROG" "${SIZE_OPTS[@]}" -p rec > "$WORK/out4.txt" 2>&1 || rc=$?
expect_eq "exit status" 0 "$rc"
expect_output "output" "${BANNER}${settings}"$'\nSaving to ./rec.mp4\n'"${STARTED}"$'Disk space exceeded.\n' "$WORK/out4.txt"
expect_no_spool
cd "$WORK"
cp "$DISK/rec.mp4" rec4.mp4
check_leading_boxes rec4.mp4 rec4.qbox 3 720 576
echo "$CHECK_LABEL: recorded $(ffprobe -v error -show_entries format=duration -of csv=p=0 rec4.mp4) s, $(stat -c %s rec4.mp4) bytes"

CHECK_LABEL="disk full without -q, transport stream"
mount_disk 12m
rc=0
timeout 60 "$EMU" --source "$STREAM" --pace max --record "$WORK/rec5.qbox" -- \
  "$PROG" "${SIZE_OPTS[@]}" -r 2 -p rec > "$WORK/out5.txt" 2>&1 || rc=$?
expect_eq "exit status" 0 "$rc"
expect_output "output" "${BANNER}${settings}"$'\nSaving to ./rec.mpg\n'"${STARTED}"$'Disk space exceeded.\n' "$WORK/out5.txt"
cd "$WORK"
cp "$DISK/rec.mpg" rec5.mpg
check_leading_ts rec5.mpg rec5.qbox 3 720 576

# ---- another user, ext4 with blocks reserved for root ---------------------------
CHECK_LABEL="reserved blocks, another user, -q"
unmount_disk
truncate -s 40M "$WORK/ext4.img"
if mkfs.ext4 -q -F -m 40 "$WORK/ext4.img" 2> "$WORK/mkfs.err" && mount -o loop "$WORK/ext4.img" "$DISK" 2> "$WORK/mount.err"; then
  mounted=1
  chown nobody "$DISK" "$WORK"
  # The build tree may sit in a directory only root can enter (a clone made
  # under mktemp -d): the other user runs copies.
  mkdir "$WORK/bin"
  cp "$PROG" "$EMU" "$VOZIREV_BIN/libvozirev-emu.so" "$STREAM" "$WORK/bin/"
  cd "$DISK"
  rc=0
  timeout 60 setpriv --reuid=nobody --regid=nogroup --clear-groups "$WORK/bin/vozirev-emu" \
    --source "$WORK/bin/${STREAM##*/}" --pace max --record "$WORK/rec7.qbox" -- \
    "$WORK/bin/vozirev" -q 1 "${SIZE_OPTS[@]}" -p rec > "$WORK/out7.txt" 2>&1 || rc=$?
  expect_eq "exit status" 0 "$rc"
  expect_output "output" "${BANNER}${settings}"$'\nSaving to ./rec.mp4\n'"${STARTED}"$'Disk space exceeded.\n' "$WORK/out7.txt"
  expect_no_spool
  cd "$WORK"
  cp "$DISK/rec.mp4" rec7.mp4
  check_leading_boxes rec7.mp4 rec7.qbox 3 720 576
  echo "$CHECK_LABEL: $(wc -l < boxes.txt) samples recorded by $(stat -c %U "$DISK/rec.mp4")"
else
  echo "SKIPPED $CHECK_LABEL: cannot make or mount an ext4 image here ($(cat "$WORK/mkfs.err" "$WORK/mount.err" 2>/dev/null))"
fi

unmount_disk
checks_done "disk-full cases checked"
