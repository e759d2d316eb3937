#!/usr/bin/env bash
# Builds the GStreamer registry of plug-ins that the interop tests use, at
# REGISTRY, and checks that it holds every element they use.
#
#   tools/gst-registry.sh REGISTRY
#
# The first GStreamer program on a machine builds its registry (in
# ~/.cache/gstreamer-1.0), loading every plug-in installed, and prints what
# those plug-ins say as they load (msdk, ladspa, cuda, nvcodec, sndfile
# ...): warnings that the tests would take for warnings about the stream.
# So the tests never use that cache: the ctest fixture gst_registry runs
# this script for the build directory's gst-registry.bin, and every test
# finds it through GST_REGISTRY (tests/interop/gst_checks.bash). What
# GStreamer prints while it builds the registry goes to REGISTRY.log. The
# new registry replaces an older one in one rename, so that a test of
# another ctest run in the same build never finds none.
set -euo pipefail
registry=${1:?usage: gst-registry.sh REGISTRY}
log=$registry.log
new=$registry.new.$$
trap 'rm -f "$new"' EXIT

# The elements the interop tests use.
elements=(filesrc fakesink queue qtdemux tsdemux h264parse aacparse avdec_h264 avdec_aac udpsrc
          rtpjitterbuffer rtph264depay rtpmp4gdepay rtpmp2tdepay sdpdemux rtpbin matroskamux filesink)

if ! GST_REGISTRY=$new GST_DEBUG=2 GST_DEBUG_NO_COLOR=1 gst-inspect-1.0 > "$log" 2>&1; then
  echo "gst-inspect-1.0 failed, see $log" >&2
  exit 1
fi
[ -s "$new" ] || { echo "GStreamer wrote no registry to $new" >&2; exit 1; }
mv -f "$new" "$registry"
missing=()
for element in "${elements[@]}"; do
  GST_REGISTRY=$registry gst-inspect-1.0 --exists "$element" || missing+=("$element")
done
[ ${#missing[@]} -eq 0 ] || { echo "GStreamer elements missing: ${missing[*]}" >&2; exit 1; }
echo "GStreamer registry $registry: $(grep -c -E ' (WARN|ERROR) ' "$log" || true) warnings of its plug-ins kept in $log"
