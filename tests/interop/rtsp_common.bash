# Helpers of the RTSP server tests (sourced, not run by ctest): the capture
# program under the emulated device serving RTSP on a free loopback port,
# real clients (ffmpeg, GStreamer's rtspsrc) recording or decoding what it
# serves, and the pictures the device delivered from each IDR picture on.
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

# A free TCP port on this host (none listening on it).
pick_tcp_port() {
  local port i
  for ((i = 0; i < 100; i++)); do
    port=$(( 20000 + ($$ * 7 + RANDOM) % 40000 ))
    grep -q "$(printf ':%04X ' "$port")" /proc/net/tcp || { echo "$port"; return; }
  done
  fail "no free TCP port"
}

# start_app SECONDS ARGS...: the program under the emulated device for
# SECONDS of content (recorded in $WORK/delivered.qbox), serving RTSP on
# $RTSP_PORT (chosen here) of 127.0.0.1 with the ARGS; waits until it
# encodes. Its output goes to $WORK/app.log.
app_pid=
start_app() {
  local seconds=$1
  shift
  RTSP_PORT=$(pick_tcp_port)
  "$EMU" --duration "$seconds" --record "$WORK/delivered.qbox" -- "$PROG" -R "$RTSP_PORT" -A 127.0.0.1 "$@" \
    > "$WORK/app.log" 2>&1 &
  app_pid=$!
  cleanup_hooks+=("kill $app_pid 2>/dev/null")
  local i
  for ((i = 0; i < 200; i++)); do
    grep -qs "Started Encoding" "$WORK/app.log" && return 0
    sleep 0.05
  done
  cat "$WORK/app.log" >&2
  check_fail "the program did not start"
  exit 1
}

# Once the device has delivered its content: Ctrl+C, and the exit status.
stop_app() {
  wait_delivered "$WORK/delivered.qbox"
  sleep "${1:-0}"
  kill -INT "$app_pid"
  local rc=0
  wait "$app_pid" || rc=$?
  expect_eq "the program's exit status" 0 "$rc"
}

# The pictures the device delivered from each IDR picture to the end, one
# count a line: a client that joined at an IDR picture and read to the end
# decoded one of these.
idr_suffixes() {
  "$DUMP" "$WORK/delivered.qbox" | awk '
    / type=video / && / nal=/ { n = $NF; sub("nal=", "", n)
      if (n ~ /(^|,)5(,|$)/) idr[++k] = pictures
      if (n ~ /(^|,)[15](,|$)/) pictures++ }
    END { for (i = 1; i <= k; i++) print pictures - idr[i] }'
}

# expect_suffix WHAT DECODED [SLACK]: DECODED (less at most SLACK held back
# at the end) is one of idr_suffixes.
expect_suffix() {
  local slack=${3:-0} s
  for s in $(idr_suffixes); do
    if [ "$2" -le "$s" ] && [ "$2" -ge $((s - slack)) ]; then
      return 0
    fi
  done
  fail "$1: $2 pictures decoded, not every picture from an IDR picture on ($(idr_suffixes | paste -sd ' '))"
}

# ffmpeg_start NAME URL ARGS...: ffmpeg decodes the session's video and
# audio until the server ends it, a line per decoded frame in
# $WORK/NAME.crc (framecrc); log in $WORK/NAME.log. (Decoded rather than
# copied: the Matroska muxer warns of the first picture's unset time stamp,
# which ffmpeg's H.264 parser leaves unset whatever the sender.)
declare -A client_pids
ffmpeg_start() {
  local name=$1 url=$2
  shift 2
  timeout 120 ffmpeg -nostdin -hide_banner -loglevel warning "$@" -i "$url" -map 0:v -map 0:a -fps_mode passthrough -f framecrc \
    -y "$WORK/$name.crc" > "$WORK/$name.log" 2>&1 &
  client_pids[$name]=$!
  cleanup_hooks+=("kill ${client_pids[$name]} 2>/dev/null")
}

# ffmpeg_check NAME: it ended well, warned of nothing, and decoded every
# picture from an IDR picture on, and audio.
ffmpeg_check() {
  local name=$1 rc=0
  CHECK_LABEL=$name
  wait "${client_pids[$name]}" || rc=$?
  expect_eq "ffmpeg's exit status" 0 "$rc"
  expect_eq "ffmpeg's warnings" "" "$(head -5 "$WORK/$name.log")"
  expect_suffix "ffmpeg" "$(grep -c '^0,' "$WORK/$name.crc")"
  expect_eq "audio frames decoded" yes "$(grep -q '^1,' "$WORK/$name.crc" && echo yes)"
}

# gst_start NAME URL PROTOCOLS [rtspsrc properties]: rtspsrc decodes the
# session (H.264 and AAC, or the transport stream) into the sinks v and a;
# log in $WORK/NAME.log. Its jitter buffer stamps pictures from their RTP
# time alone (buffer-mode=none): the other modes stamp them from their
# arrival, which a loaded machine delays by chance.
gst_start() {
  local name=$1 url=$2 protocols=$3 branches
  shift 3
  if [[ $url == *.ts ]]; then
    branches="s. ! rtpmp2tdepay ! tsdemux name=d $(gst_branches 3)"
  else
    branches="s. ! rtph264depay ! $GST_VIDEO_BRANCH s. ! rtpmp4gdepay ! $GST_AUDIO_BRANCH"
  fi
  # shellcheck disable=SC2086
  GST_DEBUG=2,basesink:5 GST_DEBUG_NO_COLOR=1 timeout 120 gst-launch-1.0 -e \
    rtspsrc name=s location="$url" protocols="$protocols" buffer-mode=none "$@" $branches > "$WORK/$name.log" 2>&1 &
  client_pids[$name]=$!
  cleanup_hooks+=("kill ${client_pids[$name]} 2>/dev/null")
}

# The gaps between the pictures sink v presented, in frame intervals of
# FPS, as "SMALLEST LARGEST".
gst_picture_gaps() {  # log fps
  awk -v fps="$2" '/gst_base_sink_chain_unlocked:<v> got times start:/ {
      split($0, a, "start: "); split(a[2], t, "[:,]"); now = (t[1] * 60 + t[2]) * 60 + t[3]
      if (n++ > 0) { g = (now - last) * fps; if (n == 2 || g < lo) lo = g; if (n == 2 || g > hi) hi = g }
      last = now }
    END { printf "%.2f %.2f\n", lo, hi }' "$1"
}

gst_pictures() {  # name: the pictures its sink v presented so far
  gst_sink_summary "$WORK/$1.log" | awk '$1 == "v" { n = $2 } END { print n + 0 }'
}

# gst_stop_check NAME MIN_PICTURES: an end of stream to it (Ctrl+C with -e)
# while the device still delivers: no warning, at least MIN_PICTURES
# pictures, each one frame interval (30 fps) after the one before, none
# missing, and audio. rtspsrc's own shutdown cancels the PAUSE it sends
# before the TEARDOWN: cancelled while it waits for the answer, it warns
# "receive interrupted" or "PAUSE interrupted" and gst-launch-1.0 ends with
# 0 or, interrupted, 130; cancelled while it writes the request, the
# cancelled write ("Operation was cancelled") comes back as an end of file
# ("Could not send message. (Received end-of-file)") and it ends with 1.
# Both are the client's own doing; any other warning or status fails.
# rtspsrc can also announce no-more-pads before adding its last stream's
# pad: new_manager_pad marks its stream added under the state lock but adds
# the pad after releasing it, so when the first packets of both streams
# come at once the second stream's thread finds all streams added and
# signals while the first is still adding its pad. gst-launch-1.0 then
# warns "Delayed linking failed" and still links the pad when it comes;
# the checks of what each sink presented fail if it never does.
GST_LAST_PAD_LATE='gst_parse_no_more_pads:<s> warning: (Delayed linking failed\.|failed delayed linking some pad of GstRTSPSrc named s to )|from element /GstPipeline:pipeline0/GstRTSPSrc:s: Delayed linking failed\.'
GST_PAUSE_CANCELLED='<s> (receive|PAUSE) interrupted|writev_bytes: Operation was cancelled|<s> error: Could not send message\. \(Received end-of-file\)|GstRTSPSrc:s: Could not write to resource\.'
gst_stop_check() {
  local name=$1 rc=0 frames gaps i
  CHECK_LABEL=$name
  # A loaded machine starts GStreamer late: the stop waits (10 s at most)
  # until the client has presented MIN_PICTURES.
  for ((i = 0; i < 100; i++)); do
    [ "$(gst_pictures "$name")" -ge "$2" ] && break
    sleep 0.1
  done
  kill -INT "${client_pids[$name]}" 2>/dev/null || true
  wait "${client_pids[$name]}" || rc=$?
  [ "$rc" = 130 ] && grep -q "^Interrupt: Stopping pipeline" "$WORK/$name.log" && rc=0
  [ "$rc" = 1 ] && grep -q "writev_bytes: Operation was cancelled" "$WORK/$name.log" &&
    grep -q "gst_rtspsrc_pause:<s> error: Could not send message. (Received end-of-file)" "$WORK/$name.log" && rc=0
  expect_eq "gst-launch-1.0's exit status" 0 "$rc"
  [ "$rc" = 0 ] || grep -v -E 'basesink|^$' "$WORK/$name.log" | tail -5
  expect_eq "GStreamer warnings" "" "$(gst_warnings "$WORK/$name.log" | grep -v -E "$GST_PAUSE_CANCELLED|$GST_LAST_PAD_LATE")"
  frames=$(gst_pictures "$name")
  [ "$frames" -ge "$2" ] || check_fail "GStreamer decoded $frames pictures, fewer than $2"
  gaps=$(gst_picture_gaps "$WORK/$name.log" 30)
  echo "$name: $frames pictures, gaps $gaps frame intervals"
  awk '{ exit !($1 > 0.9 && $2 < 1.1) }' <<<"$gaps" || check_fail "gaps between pictures (frame intervals): $gaps"
  expect_eq "audio frames decoded" yes \
    "$(gst_sink_summary "$WORK/$name.log" | awk '$1 == "a" && $2 > 0 { print "yes" }')"
}

# rtsp_status REQUEST: the request (lines joined with CR LF, an empty line
# after) on a new connection; prints the status of the answer.
rtsp_status() {
  local fd line
  exec {fd}<>"/dev/tcp/127.0.0.1/$RTSP_PORT"
  printf '%s\r\n\r\n' "${1//$'\n'/$'\r\n'}" >&"$fd"
  read -t 10 -r line <&"$fd" || line="no answer"
  exec {fd}>&-
  line=${line%$'\r'}
  echo "${line#RTSP/1.0 }" | cut -d' ' -f1
}
