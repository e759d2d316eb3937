#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing. Only root can install; anyone else is told what to add.
set -euo pipefail

need=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev ffmpeg)
# Receivers and the packet dissector of the RTCP interop test: GStreamer's
# sdpdemux/rtpbin (plugins-bad), its RTP depayloaders, parsers and Matroska
# muxer (plugins-good, -bad), and tshark.
need+=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad tshark)
# libFuzzer targets (make fuzz-smoke, make fuzz): clang 14 and its runtimes.
need+=(clang libclang-rt-14-dev lld)
if [ "${VOZIREV_CROSS:-1}" = 1 ]; then
  # The board build and qemu-user, which runs its tests on this machine.
  need+=(crossbuild-essential-armhf googletest qemu-user-static)
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
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
