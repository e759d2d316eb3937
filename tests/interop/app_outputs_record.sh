#!/usr/bin/env bash
# The capture program recording without streaming (-r 1 MP4, -r 2 transport
# stream, -s 0), audio only, video only and both, until the device fails its
# reads: exit status 1 after the read-failure message, and a finalised
# recording that passes the MP4 / transport-stream file checks against the
# boxes the device delivered. And no output at all (-r 0 -s 0): exactly one
# sample read, exit status 0, nothing written.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_outputs.bash"

for media in 3 2 1; do
  check_cell 1 0 "$media"
  check_cell 2 0 "$media"
  check_no_output "$media"
done
checks_done "recording without streaming and no output checked"
