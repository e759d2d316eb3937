#!/usr/bin/env bash
# Carries an MPEG-2 transport stream in RTP (payload type 33) through
# RTPTransportStream, in runs of 1 to 12 packets, while ffmpeg receives it
# with the session description from vozirev-sdp -s 2 and records it. The
# recording must decode without error to the same pictures and audio frames
# as the source stream.
set -euo pipefail
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"

source "$(dirname "${BASH_SOURCE[0]}")/rtp_common.bash"

# A short H.264 + AAC transport stream (the packetiser's own output is checked
# by the transport-stream tests; here only the RTP carriage is under test).
ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -t 2 -pix_fmt yuv420p -c:v libx264 -profile:v baseline -g 12 -b:v 400k -c:a aac -ac 2 -b:a 64k \
    -f mpegts -y "$work/source.ts"

# Checksums of the decoded frames of one stream (v or a), one per line.
decoded_frames() {
  ffmpeg -nostdin -v error -i "$2" -map "0:$1" -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'
}

vport=$(pick_ports)
"$VOZIREV_BIN/vozirev-sdp" -s 2 -d 127.0.0.1 -x "$vport" > "$work/stream.sdp"
grep -q "m=video $vport RTP/AVP 33" "$work/stream.sdp" || fail "no MP2T media line"

start_receiver "$work/stream.sdp" "$work/received.ts" "$vport"
sent=$("$VOZIREV_BIN/rtp-send-qbox" --ts "$work/source.ts" 127.0.0.1 "$vport" $((vport + 2)) 300)
wait_receiver "$work/received.ts"

source_packets=$(( $(stat -c %s "$work/source.ts") / 188 ))
[ "$sent" = "ts_packets=$source_packets" ] || fail "sent $sent of $source_packets packets"

errors=$(ffmpeg -nostdin -v error -i "$work/received.ts" -f null - 2>&1 || echo "decoder exit status $?")
[ -z "$errors" ] || fail "decoding errors: $errors"

decoded_frames v "$work/source.ts" > "$work/source.v"
decoded_frames a "$work/source.ts" > "$work/source.a"
decoded_frames v "$work/received.ts" > "$work/received.v"
decoded_frames a "$work/received.ts" > "$work/received.a"
echo "sent $sent: $(wc -l < "$work/source.v") pictures, $(wc -l < "$work/source.a") audio frames;" \
     "received $(wc -l < "$work/received.v") pictures, $(wc -l < "$work/received.a") audio frames"
[ -s "$work/source.v" ] && [ -s "$work/source.a" ] || fail "empty source stream"

# A video PES without a length ends only where the next one starts, so an RTP
# receiver holds the last picture back when the stream simply stops; a file
# reader flushes it at the end. Every other picture must be identical.
head -n -1 "$work/source.v" | cmp -s - "$work/received.v" || fail "received pictures differ from the source"
cmp -s "$work/source.a" "$work/received.a" || fail "received audio frames differ from the source"
echo PASS
