#!/usr/bin/env bash
# The capture program recording without streaming (-r 1 MP4, -r 2 transport
# stream, -s 0), audio only, video only and both, until the device fails its
# reads: exit status 1 after the read-failure message, and a finalised
# recording that passes the MP4 / transport-stream file checks against the
# boxes the device delivered, on corpus streams and on content the device
# encodes for the program's settings. And no output at all (-r 0 -s 0):
# exactly one sample read, exit status 0, nothing written.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_outputs.bash"

for media in 3 2 1; do
  check_cell 1 0 "$media"
  check_cell 2 0 "$media"
  check_no_output "$media"
done
# Content encoded for the program's own settings: the recording has them.
check_cell 1 0 3 176x144 25
check_cell 2 0 2 640x480 15
checks_done "recording without streaming and no output checked"
