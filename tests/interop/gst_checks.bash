# GStreamer as a second reader of every recording and stream, next to ffmpeg
# (sourced by media_checks.bash; needs gst-launch-1.0 with qtdemux, tsdemux,
# rtph264depay, rtpmp4gdepay, rtpmp2tdepay, avdec_h264 and avdec_aac).
# Pipelines decode into fakesinks named v (video) and a (audio) at
# GST_DEBUG=2 (warnings), with basesink at level 5 for the time at which each
# sink presents its buffers.
#
# GStreamer's registry of plug-ins: the build's own (GST_REGISTRY, set for
# every test by CMakeLists.txt and built by its fixture gst_registry), never
# the one GStreamer's first run leaves in ~/.cache/gstreamer-1.0 with the
# warnings of every plug-in it loaded (tools/gst-registry.sh). A script run
# by hand with VOZIREV_BIN alone builds it on first use.
: "${GST_REGISTRY:=${VOZIREV_BIN:?}/gst-registry.bin}"
export GST_REGISTRY
[ -s "$GST_REGISTRY" ] || bash "$(dirname "${BASH_SOURCE[0]}")/../../tools/gst-registry.sh" "$GST_REGISTRY"

# Messages GStreamer gives for any input, ffmpeg's own files too, and that
# say nothing about the stream; gst_warnings leaves them out:
#   - basesrc "pad not activated yet": every filesrc pipeline prints it once
#     while the source starts before its pad is linked;
#   - qtdemux "unknown QuickTime node type iods": its table of box types lacks
#     the "iods" box of ISO/IEC 14496-14;
#   - qtdemux "failed to find fragment defaults for stream": it looks for the
#     "trex" box, which only fragmented files have, and says so for every
#     file that is not fragmented.
GST_QUIRKS='gst_base_src_start_complete:<[a-z0-9]+> pad not activated yet|qtdemux_type_get: unknown QuickTime node type iods|qtdemux_parse_trex:<[a-z0-9]+> failed to find fragment defaults for stream [0-9]+'

# Queues that hold a whole test recording: with the default sizes a demuxer
# blocks on one full queue while the other sink waits for its first buffer
# when one medium starts a second after the other (a pipeline deadlock, not
# a matter of the stream).
GST_QUEUE="queue max-size-time=0 max-size-buffers=0 max-size-bytes=0"
GST_VIDEO_BRANCH="video/x-h264 ! $GST_QUEUE ! h264parse ! avdec_h264 ! fakesink name=v sync=false"
GST_AUDIO_BRANCH="audio/mpeg ! $GST_QUEUE ! aacparse ! avdec_aac ! fakesink name=a sync=false"

# Runs a gst-launch-1.0 pipeline (the arguments) with the log at warning
# level and the sinks' timing; the log goes to stdout, with an ERROR line
# when gst-launch-1.0 fails or has to be stopped.
gst_run() {
  GST_DEBUG=2,basesink:5 GST_DEBUG_NO_COLOR=1 timeout 30 gst-launch-1.0 -q "$@" 2>&1 ||
    echo "ERROR: gst-launch-1.0 ended with status $?"
}

# The warnings and errors of a log, less GStreamer's quirks named above.
gst_warnings() {  # log file
  grep -E '^[0-9:.]+ +[0-9]+ +0x[0-9a-f]+ +(WARN|ERROR|FIXME)|^(ERROR|WARNING)' "$1" | grep -v -E "$GST_QUIRKS" |
    sed -E 's/^[0-9:.]+ +[0-9]+ +0x[0-9a-f]+ +//' | head -5 || true
}

# Per sink: "v FRAMES FIRST" / "a FRAMES FIRST", the buffers it rendered and
# the running time (ns) of the first one, where a reader presents it.
gst_sink_summary() {  # log file
  awk '
    /gst_base_sink_chain_unlocked:<[av]> got times/ {
      match($0, /<[av]>/); k = substr($0, RSTART + 1, 1); frames[k]++; pending[k] = 1; next }
    /gst_base_sink_do_sync:<[av]> possibly waiting for clock to reach/ {
      match($0, /<[av]>/); k = substr($0, RSTART + 1, 1)
      if (pending[k] && !(k in first)) {
        match($0, /reach [0-9]+:[0-9]+:[0-9.]+/); split(substr($0, RSTART + 6, RLENGTH - 6), t, ":")
        split(t[3], s, "."); first[k] = ((t[1] * 60 + t[2]) * 60 + s[1]) * 1000000000 + s[2]
      }
      pending[k] = 0 }
    END { for (k in frames) print k, frames[k], first[k] }' "$1" | sort
}

# The branches for a media type (1 audio, 2 video, 3 both) behind demuxer d.
gst_branches() {  # media
  case $1 in
    1) echo "d. ! $GST_AUDIO_BRANCH" ;;
    2) echo "d. ! $GST_VIDEO_BRANCH" ;;
    3) echo "d. ! $GST_VIDEO_BRANCH d. ! $GST_AUDIO_BRANCH" ;;
  esac
}

# Decodes a recording (mp4: qtdemux, ts: tsdemux); log in FILE.gst.log.
gst_decode_file() {  # file kind media
  local demux=qtdemux
  [ "$2" = ts ] && demux=tsdemux
  # shellcheck disable=SC2046
  gst_run filesrc location="$1" ! $demux name=d $(gst_branches "$3") > "$1.gst.log"
}

# Checks a recording with GStreamer: no warning, and per sink the frames
# decoded and the first presentation time, against "v FRAMES FIRST_TICKS"
# / "a FRAMES FIRST_TICKS" lines (FIRST on the 90 kHz clock, compared to the
# tick).
check_gst_file() {  # file kind media expected
  gst_decode_file "$1" "$2" "$3"
  expect_eq "GStreamer warnings ($2)" "" "$(gst_warnings "$1.gst.log")"
  expect_eq "GStreamer sinks ($2: sink, frames, first time in ticks)" "$4" \
    "$(gst_sink_summary "$1.gst.log" | awk '{ printf "%s %s %d\n", $1, $2, ($3 * 9 + 50000) / 100000 }')"
}

# A GStreamer receiver for the RTP streams of the session on the given ports,
# started in the background with its log in LOG; gst_receiver_stop ends it
# (EOS on SIGINT, -e) once the stream is over.
gst_receiver_pid=
gst_receiver_start() {  # streaming(1|2) media video_port audio_port log
  local streaming=$1 media=$2 vport=$3 aport=$4 log=$5 pipeline
  local h264="application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=97"
  local aac="application/x-rtp,media=audio,clock-rate=48000,encoding-name=MPEG4-GENERIC,payload=96,mode=(string)AAC-hbr,sizelength=(string)13,indexlength=(string)3,indexdeltalength=(string)3,config=(string)1190,streamtype=(string)5"
  local mp2t="application/x-rtp,media=video,clock-rate=90000,encoding-name=MP2T,payload=33"
  if [ "$streaming" = 2 ]; then
    pipeline="udpsrc port=$vport buffer-size=4194304 caps=$mp2t ! rtpjitterbuffer ! rtpmp2tdepay ! tsdemux name=d $(gst_branches "$media")"
  else
    pipeline=
    [ "$media" != 1 ] && pipeline="udpsrc port=$vport buffer-size=4194304 caps=$h264 ! rtpjitterbuffer ! rtph264depay ! $GST_QUEUE ! h264parse ! avdec_h264 ! fakesink name=v sync=false"
    [ "$media" != 2 ] && pipeline="$pipeline udpsrc port=$aport buffer-size=4194304 caps=$aac ! rtpjitterbuffer ! rtpmp4gdepay ! $GST_QUEUE ! aacparse ! avdec_aac ! fakesink name=a sync=false"
  fi
  # shellcheck disable=SC2086
  GST_DEBUG=2,basesink:5 GST_DEBUG_NO_COLOR=1 timeout 120 gst-launch-1.0 -q -e $pipeline > "$log" 2>&1 &
  gst_receiver_pid=$!
  local port=$vport i
  [ "$streaming" = 1 ] && [ "$media" = 1 ] && port=$aport
  for ((i = 0; i < 200; i++)); do
    port_in_use "$port" && return 0
    sleep 0.05
  done
  check_fail "GStreamer does not listen on port $port"
}

gst_receiver_stop() {
  [ -n "$gst_receiver_pid" ] || return 0
  kill -INT "$gst_receiver_pid" 2>/dev/null || true
  wait "$gst_receiver_pid" 2>/dev/null || true
  gst_receiver_pid=
}

# Checks the frames a live GStreamer receiver decoded, per sink, against
# "a N" / "v N" lines: every one, or every one but the last, which can still
# be on its way through the jitter buffer and the demuxer when the receiver
# is stopped (an end of stream at an arbitrary moment, not a fault of the
# stream).
check_gst_stream_frames() {  # expected lines, log file
  local got
  got=$(gst_sink_summary "$2" | cut -d' ' -f1,2)
  expect_eq "GStreamer sinks (stream: sink, frames; the last may be held back)" "$1" \
    "$(join -a 1 -a 2 -e none -o 0,1.2,2.2 <(sort <<<"$1") <(sort <<<"$got") |
       awk '$2 != "none" && ($3 == $2 || $3 == $2 - 1) { print $1, $2; next } { print $1, $3 }')"
}
