#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing. Only root can install; anyone else is told what to add.
#
# VOZIREV_PACKAGING=1 (make deb) adds what building and checking the Debian
# packages needs; VOZIREV_PACKAGING=chroot (make deb-check) adds debootstrap.
set -euo pipefail

need=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev ffmpeg)
# strace times the capture's device reads in the publishing tests.
need+=(strace)
# The other readers of the interop tests: GStreamer (qtdemux, tsdemux, the RTP
# depayloaders, avdec_h264/avdec_aac, and sdpdemux/rtpbin, which lines streams
# up by their RTCP sender reports) and tstools' tsreport; tshark's RTCP
# dissector checks every RTCP packet of the program.
need+=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
       gstreamer1.0-libav tstools tshark)
# The network services' peers: GStreamer's RTSP server (through python3-gi)
# as the server a publisher publishes to and the benchmark's reference,
# headless Chromium and its WebDriver for the live view, and promtool
# (Debian's prometheus) for the metrics.
need+=(gir1.2-gst-rtsp-server-1.0 python3-gi chromium chromium-driver prometheus)
# libFuzzer targets (make fuzz-smoke, make fuzz): clang 14 and its runtimes.
need+=(clang libclang-rt-14-dev lld)
if [ "${VOZIREV_CROSS:-1}" = 1 ]; then
  # The board build and qemu-user, which runs its tests on this machine.
  need+=(crossbuild-essential-armhf googletest qemu-user-static)
fi
packaging=${VOZIREV_PACKAGING:-0}
if [ "$packaging" != 0 ]; then
  # dpkg-shlibdeps and dpkg-gencontrol, lintian, man -l to check the pages,
  # systemd-analyze for the unit.
  need+=(dpkg-dev lintian man-db groff-base systemd)
fi
if [ "$packaging" = chroot ]; then
  need+=(debootstrap)
fi

missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
source "$(dirname "$0")/apt-update.bash"
apt_update apt-get -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
