#!/usr/bin/env bash
# The capture program recording MP4 while streaming (-r 1 with -s 1 and
# -s 2), audio only, video only and both, stopped with SIGINT: exit status 0,
# the MP4 file passes the file checks against the boxes the device
# delivered, and ffmpeg, receiving with the session description of
# vozirev-sdp while the program runs, decodes every picture and audio frame.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_outputs.bash"

for media in 3 2 1; do
  check_cell 1 1 "$media"
  check_cell 1 2 "$media"
done
checks_done "MP4 recording with streaming checked"
