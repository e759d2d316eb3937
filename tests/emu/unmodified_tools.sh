#!/usr/bin/env bash
# Programs that know nothing of the emulator drive it: bash opens the node
# and writes the start word, dd reads it 512 bytes at a time. The first
# read must be the opening box of the stream, byte for byte, and every
# later read one piece of one box.
set -euo pipefail
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"
# bash and dd are not sanitized: their leaks are not this test's business.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

source="$VOZIREV_CORPUS/av_320x240_30fps_gop30.qbox"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The start word 0x0B000000 and the stop word 0x0E000000, little-endian.
# dd only reads the descriptor it inherits: it needs no emulator (nor, in
# the sanitizer build, a sanitizer runtime) of its own.
drive='
  printf "\x00\x00\x00\x0b" >&3
  LD_PRELOAD= dd bs=512 count=1 of="$1/first" <&3 2>/dev/null
  LD_PRELOAD= dd bs=512 count=40 of="$1/more" <&3 2>"$1/dd.txt"
  printf "\x00\x00\x00\x0e" >&3
'
# bash opens the node itself when it can load the emulator. In the board
# build the emulator is an ARM library that this machine's bash cannot load:
# a board program opens the node and hands it to bash as descriptor 3.
elf_machine() { od -An -tx1 -j18 -N2 "$1" | tr -d ' '; }
if [ "$(elf_machine "$VOZIREV_BIN/libvozirev-emu.so")" = "$(elf_machine "$(command -v bash)")" ]; then
  opener=(bash -c "exec 3<>/dev/Vozirev0; $drive")
else
  opener=("$VOZIREV_BIN/emu_probe" hold bash -c "$drive")
fi
"$VOZIREV_BIN/vozirev-emu" --pace max --source "$source" --log "$work/log" -- "${opener[@]}" bash "$work"

first_size=$("$VOZIREV_BIN/qbox-dump" "$source" | sed -n '1s/.* size=\([0-9]*\) .*/\1/p')
[ "$(stat -c %s "$work/first")" = "$first_size" ] || { echo "first read is not the opening box"; exit 1; }
cmp "$work/first" <(head -c "$first_size" "$source") || { echo "opening box differs from the stream"; exit 1; }
# dd reports whole and partial blocks: 40 reads, each at most 512 bytes.
grep -Eq '^[0-9]+\+[0-9]+ records in' "$work/dd.txt" || { cat "$work/dd.txt"; exit 1; }
records=$(sed -n 's/^\([0-9]*\)+\([0-9]*\) records in/\1 \2/p' "$work/dd.txt")
[ "$(( ${records% *} + ${records#* } ))" = 40 ] || { echo "dd read $records"; exit 1; }

grep -q ' 0x0B000000 start 0$' "$work/log" || { echo "no start in the log"; cat "$work/log"; exit 1; }
grep -q ' 0x0E000000 stop 0$' "$work/log" || { echo "no stop in the log"; cat "$work/log"; exit 1; }
echo "ok"
