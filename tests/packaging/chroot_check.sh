#!/usr/bin/env bash
# Installs, reinstalls, removes and purges the amd64 package in a
# throw-away Debian 12 root, and checks that it leaves that root as it found
# it (recordings excepted, which are never removed):
#
#   tests/packaging/chroot_check.sh [BUILD_DIR]       (make deb-check; root)
#
# The root is made with debootstrap from the mirror apt uses here (or
# $DEBIAN_MIRROR) once, kept as BUILD_DIR/deb-chroot/base.tar, and unpacked
# afresh for every run. It holds adduser (the package's one dependency
# beyond the C and C++ runtime), systemd (for systemd-analyze) and man-db.
# Each check prints "ok" or "FAIL"; the status is 1 if one failed.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$src/build}")
version=$(dpkg-parsechangelog -l "$src/packaging/changelog" -S Version)
deb=$build/deb/vozirev_${version}_amd64.deb
chroot_dir=$build/deb-chroot
base=$chroot_dir/base.tar
root=$chroot_dir/root
suite=bookworm

[ "$(id -u)" = 0 ] || { echo "chroot_check: needs root (chroot, debootstrap)" >&2; exit 1; }
[ -f "$deb" ] || { echo "chroot_check: $deb is missing (make deb)" >&2; exit 1; }

# The first URI of apt's deb822 sources or sources.list.
apt_mirror() {
  cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs: *\([^ ]*\).*/\1/p' | head -1
  sed -n 's/^deb \(\[[^]]*\] \)\?\(http[^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null | head -1
}

make_base() {
  local mirror=${DEBIAN_MIRROR:-$(apt_mirror | head -1)}
  mirror=${mirror:-http://deb.debian.org/debian}
  echo "debootstrap $suite from $mirror"
  rm -rf "$chroot_dir/bootstrap"
  mkdir -p "$chroot_dir"
  debootstrap --variant=minbase --include=adduser,systemd,man-db "$suite" "$chroot_dir/bootstrap" "$mirror" \
    > "$chroot_dir/debootstrap.log" 2>&1 || {
    tail -20 "$chroot_dir/debootstrap.log"
    echo "chroot_check: debootstrap from $mirror failed (log: $chroot_dir/debootstrap.log)" >&2
    exit 1
  }
  tar -C "$chroot_dir/bootstrap" -cf "$base" .
  rm -rf "$chroot_dir/bootstrap"
}

[ -f "$base" ] || make_base
rm -rf "$root"
mkdir -p "$root"
tar -C "$root" -xf "$base"
trap 'rm -rf "$root"' EXIT
cp "$deb" "$root/tmp/vozirev.deb"

failures=0
check() {
  local what=$1
  shift
  if "$@" > "$chroot_dir/check.out" 2>&1; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    sed 's/^/     /' "$chroot_dir/check.out"
    failures=$((failures + 1))
  fi
}

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C "$@"; }

# Every path of the root with its type, mode and owner, and the account
# files' contents; what dpkg keeps about itself, logs, the account files'
# backups and /run (a tmpfs on a running system, where adduser keeps its
# lock and systemctl its state) are left out.
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./tmp -o -path ./run \
      -o -path ./var/lib/dpkg -o -path ./var/log -o -path ./var/cache \) -prune -o \
      ! -name '*-' -printf '%y %m %u:%g %p\n' | LC_ALL=C sort)
  cat "$root"/etc/passwd "$root"/etc/group "$root"/etc/shadow "$root"/etc/gshadow
}

installs() {
  in_root dpkg -i /tmp/vozirev.deb
  in_root dpkg-query -W -f='${Status} ${Version}\n' vozirev | grep -qx "install ok installed $version"
}

# A system user with no login and its own group, which the udev rule names.
user_is_right() {
  local entry
  entry=$(in_root getent passwd vozirev) || { echo "no user vozirev"; return 1; }
  echo "$entry"
  IFS=: read -r _ _ uid gid _ home shell <<< "$entry"
  [ "$uid" -lt 1000 ] && [ "$home" = /var/lib/vozirev ] && [ "$shell" = /usr/sbin/nologin ] &&
    [ "$(in_root getent group vozirev | cut -d: -f3)" = "$gid" ] &&
    grep -q 'GROUP="vozirev"' "$root/lib/udev/rules.d/60-vozirev.rules"
}

program_runs() {
  local status=0
  in_root vozirev -u > "$chroot_dir/usage" || status=$?
  [ "$status" = 1 ] && grep -q '^The following command line parameters' "$chroot_dir/usage"
}

man_page_installed() {
  in_root man -w vozirev && in_root man -w vozirev-sdp
}

# The installed unit, with the installed program, man page and systemd.
unit_verifies() {
  local complaints
  complaints=$(in_root systemd-analyze verify vozirev@cam0.service 2>&1) || { echo "$complaints"; return 1; }
  [ -z "$complaints" ] || { echo "$complaints"; return 1; }
}

# What the administrator and the service manager add while it is in use:
# an instance's configuration file, its enabled link and its recordings
# directory (StateDirectory=), with or without a recording in it.
use_it() {
  local recording=$1
  cp "$root/usr/share/doc/vozirev/examples/capture.conf" "$root/etc/vozirev/cam0.conf"
  in_root systemctl enable vozirev@cam0.service
  [ -L "$root/etc/systemd/system/multi-user.target.wants/vozirev@cam0.service" ] || return 1
  install -d "$root/var/lib/vozirev"
  in_root install -d -o vozirev -g vozirev /var/lib/vozirev/cam0
  if [ "$recording" = 1 ]; then
    in_root su -s /bin/sh -c 'echo recording > /var/lib/vozirev/cam0/Dec0826-143005.mp4' vozirev
  fi
}

removes() {
  in_root dpkg -r vozirev
  [ ! -e "$root/usr/bin/vozirev" ] && [ ! -e "$root/lib/systemd/system/vozirev@.service" ] &&
    [ -f "$root/etc/vozirev/cam0.conf" ] && in_root getent passwd vozirev >/dev/null
}

purges() {
  in_root dpkg -P vozirev
  ! in_root dpkg-query -W vozirev 2>/dev/null
}

removes_and_purges_keeping() {
  in_root dpkg -r vozirev && in_root dpkg -P vozirev | tee "$chroot_dir/purge.out"
  grep -q 'recordings kept in /var/lib/vozirev' "$chroot_dir/purge.out"
}

leaves_root_as_found() {
  snapshot > "$chroot_dir/after"
  diff "$chroot_dir/before" "$chroot_dir/after"
}

keeps_recordings_and_owner() {
  [ "$(cat "$root/var/lib/vozirev/cam0/Dec0826-143005.mp4")" = recording ] &&
    [ "$(in_root stat -c %U /var/lib/vozirev/cam0/Dec0826-143005.mp4)" = vozirev ] &&
    [ ! -e "$root/etc/vozirev" ] &&
    [ ! -e "$root/etc/systemd/system/multi-user.target.wants/vozirev@cam0.service" ]
}

snapshot > "$chroot_dir/before"
check "dpkg -i installs" installs
check "system user and group vozirev" user_is_right
check "vozirev -u runs in the root" program_runs
check "man pages installed" man_page_installed
check "systemd-analyze verify vozirev@cam0.service in the root" unit_verifies
check "dpkg -i again (reinstall) succeeds" installs
check "an instance in use (configuration, enabled, recordings directory)" use_it 0
check "dpkg -r removes the program, keeps configuration and user" removes
check "dpkg -P purges" purges
check "the root is as before the installation" leaves_root_as_found

check "dpkg -i installs (second round)" installs
check "an instance in use, with a recording" use_it 1
check "dpkg -r, then dpkg -P, which names what it kept" removes_and_purges_keeping
check "the recording and its owner are kept, the rest is gone" keeps_recordings_and_owner

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all chroot checks passed"
