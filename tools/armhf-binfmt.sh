#!/usr/bin/env bash
# Makes the kernel start 32-bit ARM (armhf) executables under qemu-user, so
# that the board build's tests, scripts and the emulated device's launcher
# exec them as if they were native. Idempotent: does nothing when armhf
# binaries already run. Registering needs root (binfmt_misc); anyone else is
# told what is missing.
set -euo pipefail

qemu=/usr/bin/qemu-arm-static
target_root=/usr/arm-linux-gnueabihf
binfmt=/proc/sys/fs/binfmt_misc
# Any 32-bit little-endian ARM ELF executable or shared object. The "F" flag
# opens qemu now, so it keeps working in containers and chroots.
entry=':qemu-arm:M::\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F'
# An armhf executable that is always there: the board's dynamic loader.
probe=$target_root/lib/ld-linux-armhf.so.3

fail() {
  echo "armhf-binfmt: $*" >&2
  echo "armhf-binfmt: the armhf tests need armhf executables to run through binfmt_misc and $qemu" >&2
  exit 1
}

runs() {
  local out
  out=$(QEMU_LD_PREFIX=$target_root "$probe" --version 2>/dev/null) || return 1
  [[ $out == ld.so* ]]
}

[ -x "$qemu" ] || fail "$qemu is missing (Debian package qemu-user-static)"
[ -x "$probe" ] || fail "$probe is missing (Debian package crossbuild-essential-armhf)"
runs && exit 0

[ "$(id -u)" -eq 0 ] || fail "armhf binaries do not run here and only root can register qemu-arm with binfmt_misc"
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" || fail "cannot mount binfmt_misc on $binfmt"
fi
# An entry by the same name that does not work (a stale interpreter, or
# disabled) is replaced.
if [ -e "$binfmt/qemu-arm" ]; then
  echo -1 > "$binfmt/qemu-arm" || fail "cannot remove the existing $binfmt/qemu-arm"
fi
printf '%s' "$entry" > "$binfmt/register" || fail "cannot register qemu-arm in $binfmt/register"
runs || fail "qemu-arm is registered but $probe still does not run"
echo "armhf-binfmt: registered $qemu for armhf executables"
