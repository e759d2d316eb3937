#!/usr/bin/env bash
# Retention (-o MiB) on a small tmpfs mounted for the test (root is needed;
# without the mount the test says SKIPPED).
#
# A 24 MiB file system, 2 s segments of 720x576 at 2 Mbit/s, 800 s of
# content (about ten times the file system), -o 12:
#   - the run goes on to the device's end: no "Disk space exceeded.", no
#     segment it could not complete, and the free space never drops to the
#     point where the disk refuses a write (watched all along);
#   - it deletes the program's own finished recordings, the oldest first:
#     two planted older ones (a time-stamp name and a numbered one), then
#     its own segments in order; what is left is the newest segments, up
#     to the last one, each of which plays;
#   - it never deletes anything else: files under other names and under
#     names that nearly match, a directory and a symbolic link under a
#     time-stamp name, a file with a second hard link, a recording whose
#     index was never written, a transport stream cut inside a packet.
# With a decoy taking half the disk, more to keep free than there can ever
# be, and one recording file, nothing can be deleted: the run meets the
# full-disk rule ("Disk space exceeded.", the recording complete, exit
# status 0), the decoy untouched.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

STREAM="$VOZIREV_CORPUS/av_720x576_25fps_gop12.qbox"   # 2 Mbit/s video
SIZE_OPTS=(-w 720 -h 576 -f 25)
DISK_MIB=24
KEEP_MIB=12
# The disk must never come close to full: what a second of content adds
# between two retention rounds is far less than this.
MIN_FREE_SEEN_KIB=$((8 * 1024))

# A complete recording to plant copies of, made outside the test disk.
case_dir "source recording"
timeout 60 "$EMU" --source "$STREAM" --pace max --duration 2 --end error -- "$PROG" "${SIZE_OPTS[@]}" -p src \
  > out.txt 2>&1 || true
[ -s src.mp4 ] || fail "no source recording: $(cat out.txt)"
cp "$WORK/source recording/src.mp4" "$WORK/src.mp4"
"$EMU" --source "$STREAM" --pace max --duration 2 --end error -- "$PROG" "${SIZE_OPTS[@]}" -r 2 -p src \
  > out.txt 2>&1 || true
cp src.mpg "$WORK/src.mpg"

# Free KiB of the test disk, polled until the file $1 appears; the lowest
# figure seen goes to $2.
watch_free() {
  local low=999999999 free
  while [ ! -e "$1" ]; do
    free=$(( $(stat -f -c '%a * %S' "$DISK") / 1024 ))
    [ "$free" -lt "$low" ] && low=$free
    sleep 0.01
  done
  echo "$low" > "$2"
}

mount_disk "${DISK_MIB}m"
CHECK_LABEL="retention"
# Decoys: none of these may go.
cp "$WORK/src.mp4" holiday.mp4
cp "$WORK/src.mp4" Mar2609-14300.mp4
cp "$WORK/src.mp4" Mar2609-143005.mp4.bak
cp "$WORK/src.mp4" rec-001.mp4
cp "$WORK/src.mp4" Rec-0001.mp4
mkdir Jan0126-000002.mp4
cp "$WORK/src.mp4" "$WORK/outside.mp4"
ln -s "$WORK/outside.mp4" Jan0126-000003.mp4
cp "$WORK/src.mp4" kept.mp4
ln kept.mp4 Jan0126-000004.mp4
head -c 300000 "$WORK/src.mp4" > Jan0126-000005.mp4
head -c 100000 "$WORK/src.mpg" > Jan0126-000006.mpg
decoys=(holiday.mp4 Mar2609-14300.mp4 Mar2609-143005.mp4.bak rec-001.mp4 Rec-0001.mp4 Jan0126-000003.mp4
        kept.mp4 Jan0126-000004.mp4 Jan0126-000005.mp4 Jan0126-000006.mpg)
touch -d '2019-01-01' "${decoys[@]}" Jan0126-000002.mp4
md5sum "${decoys[@]}" > "$WORK/decoys.md5"
# The program's own older recordings: these go first, oldest first.
cp "$WORK/src.mp4" Jan0126-000007.mp4
touch -d '2020-01-01' Jan0126-000007.mp4
cp "$WORK/src.mpg" rec-0001.mpg
touch -d '2021-01-01' rec-0001.mpg

rm -f "$WORK/done"
watch_free "$WORK/done" "$WORK/low.txt" &
watcher=$!
rc=0
timeout 300 "$EMU" --source "$STREAM" --pace max --duration 800 --end error -- \
  "$PROG" "${SIZE_OPTS[@]}" -p rec -g 2 -o $KEEP_MIB > "$WORK/run.txt" 2>&1 || rc=$?
touch "$WORK/done"
wait "$watcher"
expect_eq "exit status at the device's end" 1 "$rc"
grep -q 'Reading from Device failed' "$WORK/run.txt" || fail "the run did not reach the device's end: $(tail -3 "$WORK/run.txt")"
expect_eq "full disk or incomplete segments" "" "$(grep -E 'Disk space exceeded|could not be completed|Cannot start' "$WORK/run.txt" || true)"
low=$(cat "$WORK/low.txt")
[ "$low" -ge "$MIN_FREE_SEEN_KIB" ] || fail "the free space fell to $low KiB"

md5sum -c --quiet "$WORK/decoys.md5" || fail "a decoy changed or went"
[ -d Jan0126-000002.mp4 ] || fail "the directory under a time-stamp name went"
[ -f "$WORK/outside.mp4" ] || fail "the symbolic link's target went"

# This run's segments start after the planted rec-0001.
first=$(sed -n 's/^Saving to \.\/rec-\([0-9]*\)\.mp4$/\1/p' "$WORK/run.txt")
expect_eq "first segment" 0002 "$first"
deleted=$(sed -n 's/^Deleted the recording \.\/\(.*\) to keep 12 MiB free\.$/\1/p' "$WORK/run.txt")
expect_eq "the first two deleted" "Jan0126-000007.mp4 rec-0001.mpg" "$(echo "$deleted" | head -2 | paste -sd ' ')"
own=$(echo "$deleted" | tail -n +3)
expect_eq "then this run's segments, oldest first" "" \
  "$(echo "$own" | awk -F'[-.]' '$2 + 0 != NR + 1 { print $0 " deleted as number " NR; exit }')"
segments=$(ls | grep -E '^rec-[0-9]{4,}\.mp4$')
numbers=$(echo "$segments" | awk -F'[-.]' '{ print $2 + 0 }' | sort -n)
last=$(echo "$numbers" | tail -1)
expect_eq "segments kept: the newest, up to the last" \
  "$(seq $(( $(echo "$own" | wc -l) + 2 )) "$last" | paste -sd ' ')" "$(echo "$numbers" | paste -sd ' ')"
[ "$last" -ge 300 ] || fail "only $last segments were made"
for file in $segments; do
  expect_eq "$file: ffprobe warnings" "" "$(ffprobe -v warning "$file" 2>&1 >/dev/null)"
done
echo "$((last - 1)) segments made, $(echo "$numbers" | wc -l) kept, $(echo "$deleted" | wc -l) recordings deleted, at least $low KiB free throughout"

# ---- nothing left to delete ----------------------------------------------------
# One file (no segments): the only recording of the program's is the one
# being written.
mount_disk "${DISK_MIB}m"
CHECK_LABEL="nothing left to delete"
head -c $((12 * 1024 * 1024)) /dev/urandom > holiday.mp4
md5sum holiday.mp4 > "$WORK/holiday.md5"
rc=0
timeout 120 "$EMU" --source "$STREAM" --pace max --duration 800 --end error -- \
  "$PROG" "${SIZE_OPTS[@]}" -p rec -o 30 > "$WORK/full.txt" 2>&1 || rc=$?
expect_eq "exit status" 0 "$rc"
grep -q 'Disk space exceeded\.$' "$WORK/full.txt" || fail "no 'Disk space exceeded.': $(tail -3 "$WORK/full.txt")"
expect_eq "deletions" "" "$(grep Deleted "$WORK/full.txt" || true)"
md5sum -c --quiet "$WORK/holiday.md5" || fail "the decoy changed or went"
expect_eq "rec.mp4: ffprobe warnings" "" "$(ffprobe -v warning rec.mp4 2>&1 >/dev/null)"
expect_no_spool
unmount_disk

checks_done "retention keeps the disk from filling and deletes only its own oldest recordings"
