#!/usr/bin/env bash
# The capture program recording a transport-stream file while streaming
# (-r 2 with -s 1 and -s 2), audio only, video only and both, stopped with
# SIGINT: exit status 0, the file passes the transport-stream file checks
# against the boxes the device delivered, and ffmpeg, receiving with the
# session description of vozirev-sdp while the program runs, decodes every
# picture and audio frame. With -r 2 -s 2 one packetisation feeds both
# outputs, and the file and the stream must each be continuous.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_outputs.bash"

for media in 3 2 1; do
  check_cell 2 1 "$media"
  check_cell 2 2 "$media"
done
checks_done "transport-stream recording with streaming checked"
