#!/usr/bin/env bash
# Builds the Debian packages of the capture program, for amd64 (this
# machine) and for the armhf board, into BUILD_DIR/deb:
#
#   packaging/build-deb.sh [BUILD_DIR]        (make deb; default: build)
#
# Each architecture is compiled in BUILD_DIR/deb-ARCH with Debian's build
# flags (dpkg-buildflags, all hardening on), the board's with
# Linux/armhf-toolchain.cmake. The package tree is staged in
# BUILD_DIR/deb-ARCH/pkg/debian/vozirev, its dependencies are computed by
# dpkg-shlibdeps from the binaries, its control file written by
# dpkg-gencontrol from packaging/control and packaging/changelog (which
# carries the version), and dpkg-deb builds the .deb. The man pages are made
# from README.md by packaging/man/readme2man.pl.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
source "$src/tools/apt-update.bash"
build=$(realpath -m "${1:-$src/build}")
out=$build/deb
jobs=${JOBS:-2}

# The programs of the package, each with its man page template
# packaging/man/NAME.1.in. A program the build does not have is left out.
PROGRAMS=(vozirev vozirev-sdp vozirev-recover)
ARCHES=(amd64 armhf)

changelog=$src/packaging/changelog
version=$(dpkg-parsechangelog -l "$changelog" -S Version)
release_date=$(dpkg-parsechangelog -l "$changelog" -S Date)
# File times and the man pages' date come from the changelog, so that two
# builds of one version give the same packages.
export SOURCE_DATE_EPOCH=$(date -d "$release_date" +%s)
man_date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)

fail() {
  echo "build-deb: $*" >&2
  exit 1
}

# Configures (once) and builds the programs for one architecture.
build_programs() {
  local arch=$1 dir=$build/deb-$1
  local -a args=(-S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=None -DVOZIREV_TESTS=ON)
  if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    args+=(-G Ninja)
  fi
  if [ "$arch" = armhf ]; then
    args+=(-DCMAKE_TOOLCHAIN_FILE="$src/Linux/armhf-toolchain.cmake")
  fi
  # CMake takes CFLAGS/CXXFLAGS/LDFLAGS from the environment when it first
  # configures the tree, in front of the toolchain's own flags.
  local -a flags=(env DEB_HOST_ARCH="$arch" DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get)
  CFLAGS="$("${flags[@]}" CFLAGS) $("${flags[@]}" CPPFLAGS)" \
  CXXFLAGS="$("${flags[@]}" CXXFLAGS) $("${flags[@]}" CPPFLAGS)" \
  LDFLAGS="$("${flags[@]}" LDFLAGS)" \
    cmake "${args[@]}" >/dev/null
  local -a targets=()
  local program
  for program in "${PROGRAMS[@]}"; do
    if has_target "$dir" "$program"; then
      targets+=("$program")
    fi
  done
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
}

# Whether the build tree in $1 has a target named $2.
has_target() {
  if [ -f "$1/build.ninja" ]; then
    ninja -C "$1" -t query "$2" >/dev/null 2>&1
  else
    make -C "$1" -n "$2" >/dev/null 2>&1
  fi
}

# dpkg-shlibdeps computes a program's dependencies from the symbols files
# of the packages that own the libraries it links, found in the dpkg
# database. For the board those are the armhf libc6, libstdc++6 and
# libgcc-s1, which are not installed here: installed next to the cross
# toolchain's copies of the same libraries, they would have qemu-user load a
# mix of the two in the armhf tests. So they are fetched with apt-get using a
# state of its own (the machine's sources, architecture armhf), unpacked into
# BUILD_DIR/deb-armhf/runtime/root, and described by a dpkg database of their
# own in BUILD_DIR/deb-armhf/runtime/dpkg that lists their files there.
RUNTIME_PACKAGES=(libc6 libstdc++6 libgcc-s1)

fetch_armhf_runtime() {
  local runtime=$1
  local apt_state=$runtime/apt db=$runtime/dpkg root=$runtime/root
  [ -f "$db/status" ] && return 0
  rm -rf "$runtime"
  mkdir -p "$apt_state/lists/partial" "$apt_state/cache/archives/partial" "$apt_state/debs" \
    "$db/info" "$db/updates" "$root"
  touch "$apt_state/status"
  local -a apt=(apt-get -qq -o Dir::State="$apt_state" -o Dir::State::status="$apt_state/status"
    -o Dir::Cache="$apt_state/cache" -o APT::Architecture=armhf -o APT::Architectures::=armhf
    -o APT::Sandbox::User=root -o Debug::NoLocking=true)
  apt_update "${apt[@]}"
  (cd "$apt_state/debs" && "${apt[@]}" download "${RUNTIME_PACKAGES[@]/%/:armhf}") ||
    fail "apt-get download of the armhf runtime (${RUNTIME_PACKAGES[*]}) failed"
  printf 'amd64\narmhf\n' > "$db/arch"
  # Info files named PACKAGE:ARCH.list, as in a multiarch database.
  echo 1 > "$db/info/format"
  local deb name
  for deb in "$apt_state"/debs/*.deb; do
    name=$(dpkg-deb --field "$deb" Package):armhf
    dpkg-deb -x "$deb" "$root"
    { echo "Status: install ok installed"; dpkg-deb --field "$deb"; echo; } >> "$db/status.new"
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' -e "s|^|$root|" \
      > "$db/info/$name.list"
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./symbols > "$db/info/$name.symbols" 2>/dev/null || true
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./shlibs > "$db/info/$name.shlibs" 2>/dev/null || true
  done
  mv "$db/status.new" "$db/status"
}

# The installed tree of one architecture, in $root.
stage_tree() {
  local arch=$1 root=$2 dir=$build/deb-$1
  local strip=strip
  [ "$arch" = armhf ] && strip=arm-linux-gnueabihf-strip
  rm -rf "$root"
  install -d "$root/usr/bin" "$root/usr/share/man/man1" "$root/lib/systemd/system" \
    "$root/lib/udev/rules.d" "$root/etc/vozirev" "$root/usr/share/doc/vozirev/examples"
  local program
  for program in "${PROGRAMS[@]}"; do
    [ -x "$dir/$program" ] || continue
    [ -f "$src/packaging/man/$program.1.in" ] || fail "no man page template packaging/man/$program.1.in"
    install -m 0755 "$dir/$program" "$root/usr/bin/$program"
    "$strip" --remove-section=.comment --remove-section=.note "$root/usr/bin/$program"
    perl "$src/packaging/man/readme2man.pl" "$src/packaging/man/$program.1.in" "$src/README.md" \
      "$version" "$man_date" | gzip -9n > "$root/usr/share/man/man1/$program.1.gz"
  done
  install -m 0644 "$src/packaging/vozirev@.service" "$root/lib/systemd/system/"
  install -m 0644 "$src/packaging/60-vozirev.rules" "$root/lib/udev/rules.d/"
  install -m 0644 "$src/packaging/capture.conf" "$root/usr/share/doc/vozirev/examples/"
  install -m 0644 "$src/packaging/copyright" "$root/usr/share/doc/vozirev/"
  # The web page of the HTTP server (-W), hls.js included (its licence is
  # in the copyright file too).
  install -d "$root/usr/share/vozirev/www"
  install -m 0644 "$src"/www/* "$root/usr/share/vozirev/www/"
  gzip -9n < "$changelog" > "$root/usr/share/doc/vozirev/changelog.gz"
  install -d "$root/DEBIAN"
  install -m 0755 "$src/packaging/postinst" "$src/packaging/prerm" "$src/packaging/postrm" "$root/DEBIAN/"
}

package() {
  local arch=$1 pkg=$build/deb-$1/pkg
  local root=$pkg/debian/vozirev
  stage_tree "$arch" "$root"
  install -m 0644 "$src/packaging/control" "$pkg/debian/control"
  install -m 0644 "$changelog" "$pkg/debian/changelog"
  rm -f "$pkg/debian/vozirev.substvars"
  # Run from the package's source-like directory: dpkg-shlibdeps reads
  # debian/control and finds the package by its debian/vozirev tree.
  local -a shlibdeps=(dpkg-shlibdeps)
  if [ "$arch" = armhf ]; then
    local runtime=$build/deb-armhf/runtime
    fetch_armhf_runtime "$runtime"
    shlibdeps+=(--admindir="$runtime/dpkg" -l"$runtime/root/lib/arm-linux-gnueabihf"
      -l"$runtime/root/usr/lib/arm-linux-gnueabihf")
  fi
  (
    cd "$pkg"
    export DEB_HOST_ARCH=$arch
    "${shlibdeps[@]}" -Tdebian/vozirev.substvars debian/vozirev/usr/bin/*
    dpkg-gencontrol -pvozirev -Pdebian/vozirev -Tdebian/vozirev.substvars -fdebian/files
  )
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
     xargs -0 md5sum > DEBIAN/md5sums)
  chmod 0644 "$root/DEBIAN/md5sums"
  find "$root" -newermt "@$SOURCE_DATE_EPOCH" -exec touch --no-dereference -d "@$SOURCE_DATE_EPOCH" {} +
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/vozirev_${version}_$arch.deb"
}

mkdir -p "$out"
for arch in "${ARCHES[@]}"; do
  build_programs "$arch"
  package "$arch"
done
