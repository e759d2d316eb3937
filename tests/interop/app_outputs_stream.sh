#!/usr/bin/env bash
# The capture program streaming without recording (-r 0 with -s 1 and -s 2),
# audio only, video only and both: ffmpeg receives each stream with the
# session description of vozirev-sdp while the program runs, and decodes one
# picture per picture delivered by the device and one audio frame per audio
# box; the transport stream without continuity error; no file written.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_outputs.bash"

for media in 3 2 1; do
  check_cell 0 1 "$media"
  check_cell 0 2 "$media"
done
# Content encoded for the program's own settings.
check_cell 0 2 3 176x144 25
checks_done "streaming without recording checked"
