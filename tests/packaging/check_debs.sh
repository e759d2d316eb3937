#!/usr/bin/env bash
# Checks the Debian packages `make deb` built into BUILD_DIR/deb, without
# installing them (tests/packaging/chroot_check.sh installs the amd64 one):
#
#   tests/packaging/check_debs.sh [BUILD_DIR]        (make test-deb)
#
# - control fields: the architecture, the changelog's version, dependencies
#   computed with version bounds; lintian reports neither error nor warning;
# - contents: exactly the expected files, with their modes and owners, and
#   programs built for the package's processor (the board's: 32-bit ARM,
#   hard-float);
# - the programs run from the unpacked trees, the armhf ones under
#   qemu-arm-static, and both architectures print the same usage text and
#   the same session description for the example configuration;
# - the man pages render with `man -l` without a warning; vozirev(1) lists
#   every option of the program's usage text and every message of its
#   sources, vozirev-sdp(1) every refusal of the tool's source;
# - systemd-analyze verify accepts the unit;
# - with BUILD_DIR/normal built: the packaged program records with the
#   example configuration under the emulated device, and ffprobe reads the
#   recording.
# Each check prints "ok" or "FAIL"; the status is 1 if one failed.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$src/build}")
debs=$build/deb
version=$(dpkg-parsechangelog -l "$src/packaging/changelog" -S Version)
qemu=(qemu-arm-static -L /usr/arm-linux-gnueabihf)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

check() {
  local what=$1
  shift
  if "$@" > "$work/check.out" 2>&1; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    sed 's/^/     /' "$work/check.out"
    failures=$((failures + 1))
  fi
}

deb_of() { echo "$debs/vozirev_${version}_$1.deb"; }

# Runs a program of the unpacked tree of an architecture.
run_in() {
  local arch=$1 program=$2
  shift 2
  if [ "$arch" = armhf ]; then
    "${qemu[@]}" "$work/$arch/usr/bin/$program" "$@"
  else
    "$work/$arch/usr/bin/$program" "$@"
  fi
}

# ---- control fields and contents ------------------------------------------

fields_are_right() {
  local arch=$1 deb
  deb=$(deb_of "$arch")
  [ "$(dpkg-deb --field "$deb" Package)" = vozirev ] || { echo "Package"; return 1; }
  [ "$(dpkg-deb --field "$deb" Architecture)" = "$arch" ] || { echo "Architecture"; return 1; }
  [ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || { echo "Version"; return 1; }
  local depends
  depends=$(dpkg-deb --field "$deb" Depends)
  echo "Depends: $depends"
  # dpkg-shlibdeps gives each library package a lower version bound.
  local needed
  for needed in 'adduser' 'libc6 \(>= [0-9.]+\)' 'libstdc\+\+6 \(>= [0-9.]+\)' 'libgcc-s1 \(>= [0-9.]+\)'; do
    grep -Eq "(^|, )$needed(,|$)" <<< "$depends" || { echo "missing $needed"; return 1; }
  done
}

# Every file, with its mode and owner: exactly this, and a tool and its man
# page for every further program the build had.
contents_are_right() {
  local arch=$1 program
  {
    echo "drwxr-xr-x root/root ./etc/vozirev/"
    for program in vozirev vozirev-sdp vozirev-recover; do
      [ "$program" = vozirev-recover ] && [ ! -x "$build/deb-$arch/$program" ] && continue
      echo "-rwxr-xr-x root/root ./usr/bin/$program"
      echo "-rw-r--r-- root/root ./usr/share/man/man1/$program.1.gz"
    done
    echo "-rw-r--r-- root/root ./lib/systemd/system/vozirev@.service"
    echo "-rw-r--r-- root/root ./lib/udev/rules.d/60-vozirev.rules"
    echo "-rw-r--r-- root/root ./usr/share/doc/vozirev/examples/capture.conf"
    echo "-rw-r--r-- root/root ./usr/share/doc/vozirev/copyright"
    echo "-rw-r--r-- root/root ./usr/share/doc/vozirev/changelog.gz"
    for page in "$src"/www/*; do echo "-rw-r--r-- root/root ./usr/share/vozirev/www/${page##*/}"; done
  } | sort > "$work/expected-$arch"
  # Of the directories, only the configuration directory is the package's own.
  dpkg-deb --contents "$(deb_of "$arch")" |
    awk '$1 !~ /^d/ || $6 == "./etc/vozirev/" { print $1, $2, $6 }' | sort > "$work/actual-$arch"
  diff "$work/expected-$arch" "$work/actual-$arch"
}

# ELF e_machine, and the ARM EABI hard-float flag.
built_for() {
  local arch=$1 program header
  for program in "$work/$arch"/usr/bin/*; do
    header=$(readelf -h "$program")
    if [ "$arch" = armhf ]; then
      grep -q 'Machine: *ARM$' <<< "$header" && grep -q 'hard-float ABI' <<< "$header"
    else
      grep -q 'Machine: *Advanced Micro Devices X86-64' <<< "$header"
    fi || { echo "$program:"; echo "$header"; return 1; }
  done
}

lintian_is_clean() {
  lintian --fail-on error,warning "$(deb_of amd64)" "$(deb_of armhf)"
}

# ---- the programs -----------------------------------------------------------

# -u prints the usage text and ends with status 1.
usage_of() {
  local arch=$1 status=0
  run_in "$arch" vozirev -u > "$work/usage-$arch" || status=$?
  [ "$status" = 1 ] || { echo "vozirev -u: status $status"; return 1; }
  grep -q '^The following command line parameters are used for the Vozirev Program' "$work/usage-$arch"
}

sdp_of_example() {
  local arch=$1
  (cd "$work/$arch/usr/share/doc/vozirev/examples" && run_in "$arch" vozirev-sdp -z capture.conf -s 1) \
    > "$work/sdp-$arch"
  grep -q '^m=video 8000 RTP/AVP 97' "$work/sdp-$arch" && grep -q '^m=audio 8002 RTP/AVP 96' "$work/sdp-$arch"
}

same_output_on_both() {
  cmp "$work/usage-amd64" "$work/usage-armhf" && cmp "$work/sdp-amd64" "$work/sdp-armhf"
}

# ---- man pages --------------------------------------------------------------

renders_cleanly() {
  local page=$1 warnings
  warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$warnings"; return 1; }
}

# The page as text on very long lines, so that no message is broken.
render() {
  LC_ALL=C MANWIDTH=1000 man -l "$1" 2>/dev/null | col -b
}

# The text of one section (.SH NAME) of a rendered page.
section_of() {
  awk -v name="$2" '/^[A-Z][A-Z ]*$/ { inside = ($0 == name); next } inside' "$1"
}

# Every option letter of the usage text is an entry of OPTIONS.
options_are_documented() {
  local letter missing=0
  section_of "$work/vozirev.txt" OPTIONS > "$work/options.txt"
  for letter in $(sed -n 's/^-\(.\)\t.*/\1/p' "$work/usage-amd64"); do
    grep -Eq "^ +-$letter( |$)" "$work/options.txt" || { echo "-$letter is not in OPTIONS"; missing=1; }
  done
  [ -n "$(sed -n 's/^-\(.\)\t.*/\1/p' "$work/usage-amd64")" ] && [ $missing = 0 ]
}

# Every message in the given sources appears in the page, a printf
# conversion standing for any value. A message is the string literal
# (adjacent literals joined) that the sources pass to one of the functions
# named by the pattern; for AfterCommand, its last argument.
messages_are_documented() {
  local text=$1 functions=$2
  shift 2
  perl -0777 -e '
    my $text = do { local $/; open(my $f, "<", shift @ARGV) or die; <$f> };
    my $functions = shift @ARGV;
    $text =~ s/\s+/ /g;
    my $missing = 0;
    for my $file (@ARGV) {
      my $code = do { local $/; open(my $f, "<", $file) or die; <$f> };
      my $lit = qr/"(?:[^"\\]|\\.)*"/;
      while ($code =~ /\b(?:$functions)\s*\(\s*((?:$lit\s*)+)|\bAfterCommand\s*\([^;]*?,\s*((?:$lit\s*)+)\)/gs) {
        my $literals = defined $1 ? $1 : $2;
        my $message = join "", $literals =~ /"((?:[^"\\]|\\.)*)"/g;
        $message =~ s/\\n/ /g;
        $message =~ s/\\(.)/$1/g;
        $message =~ s/^\s+|\s+$//g;
        my @parts = split /%[-0-9.]*l{0,2}[dusxcf]/, $message, -1;
        next unless grep { /\w/ } @parts;
        my $pattern = join ".+?", map { join "\\s+", map { quotemeta } split /\s+/, $_, -1 } @parts;
        next if $text =~ /$pattern/;
        print "not in the man page: \"$message\" ($file)\n";
        $missing++;
      }
    }
    exit($missing ? 1 : 0);
  ' "$text" "$functions" "$@"
}

exit_statuses_are_documented() {
  section_of "$work/vozirev.txt" "EXIT STATUS" > "$work/exit.txt"
  grep -Eq '^ +0 ' "$work/exit.txt" && grep -Eq '^ +1 ' "$work/exit.txt"
}

# ---- the unit ----------------------------------------------------------------

# systemd-analyze verify looks for the program and the man page of
# Documentation= on this machine: the unit is checked as installed, with
# the program's path pointing into the unpacked tree and man(1) looking
# there. Any complaint fails the check.
unit_verifies() {
  local unit_dir=$work/units complaints
  mkdir -p "$unit_dir"
  sed "s|/usr/bin/vozirev|$work/amd64/usr/bin/vozirev|" "$work/amd64/lib/systemd/system/vozirev@.service" \
    > "$unit_dir/vozirev@.service"
  ln -sf "vozirev@.service" "$unit_dir/vozirev@cam0.service"
  complaints=$(MANPATH="$work/amd64/usr/share/man" systemd-analyze verify "$unit_dir/vozirev@cam0.service" 2>&1) ||
    { echo "$complaints"; return 1; }
  [ -z "$complaints" ] || { echo "$complaints"; return 1; }
}

# ---- the example configuration under the emulated device ---------------------

# The packaged program, hardened and stripped, with the shipped example:
# it names the recording after its start time and records audio and video.
records_with_example() {
  local normal=$build/normal corpus=${VOZIREV_CORPUS:-$build/corpus} stream rec=$work/rec status=0
  stream=$corpus/av_320x240_30fps_gop30.qbox
  if [ ! -f "$stream" ]; then
    stream=$work/av.qbox
    "$normal/qbox-encode" -m 3 -w 320 -h 240 -f 30 -i 30 --duration 3 -o "$stream" >/dev/null
  fi
  mkdir -p "$rec"
  cp "$work/amd64/usr/share/doc/vozirev/examples/capture.conf" "$rec/"
  (cd "$rec" && "$normal/vozirev-emu" --pace max --source "$stream" --duration 3 --end error -- \
      "$work/amd64/usr/bin/vozirev" -z capture.conf -q 1) > "$work/run.txt" || status=$?
  [ "$status" = 1 ] || { cat "$work/run.txt"; echo "status $status, expected 1 (device read failure)"; return 1; }
  local files
  files=$(cd "$rec" && ls -- *.mp4)
  grep -Eq '^[A-Z][a-z]{2}[0-9]{4}-[0-9]{6}\.mp4$' <<< "$files" || { echo "recorded: $files"; return 1; }
  ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$rec/$files" > "$work/probe.txt"
  [ "$(tr '\n' ' ' < "$work/probe.txt")" = "h264 aac " ] || { cat "$work/probe.txt"; return 1; }
}

# ---- run ------------------------------------------------------------------------

for arch in amd64 armhf; do
  [ -f "$(deb_of "$arch")" ] || { echo "FAIL $(deb_of "$arch") is missing (make deb)"; exit 1; }
  dpkg-deb -x "$(deb_of "$arch")" "$work/$arch"
  check "$arch: control fields, computed dependencies" fields_are_right "$arch"
  check "$arch: contents, modes and owners" contents_are_right "$arch"
  check "$arch: programs built for $arch" built_for "$arch"
  check "$arch: vozirev -u from the unpacked tree" usage_of "$arch"
  check "$arch: vozirev-sdp with the example configuration" sdp_of_example "$arch"
done
check "amd64 and armhf programs print the same" same_output_on_both
check "lintian: no error, no warning" lintian_is_clean

for page in vozirev vozirev-sdp vozirev-recover; do
  gzip -dc "$work/amd64/usr/share/man/man1/$page.1.gz" > "$work/$page.1"
  check "man -l $page.1 renders without warnings" renders_cleanly "$work/$page.1"
  render "$work/$page.1" > "$work/$page.txt"
done
check "vozirev(1) lists every option of the usage text" options_are_documented
# The status LEDs and the serial reader (dio, sp) are not part of the capture
# run, and their messages are not the program's.
check "vozirev(1) lists every message of the program" messages_are_documented "$work/vozirev.txt" 'puts|printf|perror' \
  $(ls "$src"/Source/*.cpp | grep -Ev '/(dio|sp)\.cpp$')
check "vozirev(1) lists the exit statuses" exit_statuses_are_documented
check "vozirev-sdp(1) lists every refusal of the tool" messages_are_documented "$work/vozirev-sdp.txt" Refuse \
  "$src/tools/vozirev-sdp.cpp"
check "systemd-analyze verify vozirev@.service" unit_verifies
if [ -x "$build/normal/vozirev-emu" ]; then
  check "packaged program records with the example configuration" records_with_example
else
  echo "skip packaged program under the emulated device ($build/normal/vozirev-emu is not built)"
fi

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all packaging checks passed"
