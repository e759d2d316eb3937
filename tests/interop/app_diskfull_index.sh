#!/usr/bin/env bash
# The capture program with free-space checks on (-q) records until less than
# its 10240 KiB headroom would be left, and then completes the recording,
# whose index ("moov", 16 bytes per picture and about 8 per audio frame)
# must still fit. At the lowest bit rates the index passes 10 MiB after
# about 940,000 samples: such a recording, on a tmpfs made for the test
# (root is needed; without the mount the test says SKIPPED), still ends with
# "Disk space exceeded." and a complete file that plays with every sample
# it reports, at its time stamp.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

CHECK_LABEL="index over 10 MiB, -q"
mount_disk 128m
LOW_OPTS=(-w 160 -h 112 -v 32 -a 24)
rc=0
t0=$SECONDS
timeout 600 "$EMU" --pace max --record "$WORK/rec.qbox" -- \
  "$PROG" -q 1 "${LOW_OPTS[@]}" -p rec > "$WORK/out.txt" 2>&1 || rc=$?
expect_eq "exit status" 0 "$rc"
expect_eq "last message" "${STARTED#$'\n'}Disk space exceeded." "$(tail -n 1 "$WORK/out.txt")"
expect_no_spool
cd "$WORK"
mv "$DISK/rec.mp4" rec.mp4
mdat=$(od -An -tu4 --endian=big -j 24 -N 4 rec.mp4 | tr -d ' ')
index=$(( $(stat -c %s rec.mp4) - 24 - mdat ))
echo "$CHECK_LABEL: the run took $((SECONDS - t0)) s, index of $index bytes"
[ "$index" -gt $((10 * 1024 * 1024)) ] || fail "the index ($index bytes) is not past 10 MiB: the case does not test it"
VIDEO_TIMES_FROM=packet GST_CHECK=0 check_leading_boxes rec.mp4 rec.qbox 3 160 112
echo "$CHECK_LABEL: $(wc -l < boxes.txt) samples recorded, checked after $((SECONDS - t0)) s"

unmount_disk
checks_done "index past the headroom checked"
