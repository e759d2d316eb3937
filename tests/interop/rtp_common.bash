# Helpers shared by the RTP interop tests (sourced, not run by ctest):
# free loopback ports, an ffmpeg receiver started from a session description,
# and ffprobe field extraction.
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"

work=$(mktemp -d)
ffmpeg_pid=
tee_pid=
cleanup() {
  [ -n "$ffmpeg_pid" ] && kill "$ffmpeg_pid" 2>/dev/null || true
  [ -n "$tee_pid" ] && kill "$tee_pid" 2>/dev/null || true
  [ -n "${gst_receiver_pid:-}" ] && kill "$gst_receiver_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Value of key in one line of ffprobe's compact output (key=value|key=value).
field() { tr '|' '\n' <<<"$2" | sed -n "s/^$1=//p"; }

# Succeeds when a UDP port is bound on this host.
port_in_use() {
  local hex
  hex=$(printf ':%04X ' "$1")
  grep -q "$hex" /proc/net/udp
}

# Four consecutive free ports (video, video RTCP, audio, audio RTCP),
# starting from a base derived from this process so that parallel runs differ.
pick_ports() {
  local base=$(( 20000 + ($$ * 8 + RANDOM) % 40000 ))
  base=$(( base - base % 4 ))
  local p
  for ((tries = 0; tries < 100; tries++)); do
    if ! port_in_use $base && ! port_in_use $((base + 1)) &&
       ! port_in_use $((base + 2)) && ! port_in_use $((base + 3)); then
      echo $base
      return
    fi
    base=$(( base + 4 > 60000 ? 20000 : base + 4 ))
  done
  fail "no free UDP ports"
}

# Starts ffmpeg recording the session described by $1 into $2 (stream copy)
# and waits until it listens on UDP port $3. Its log goes to $2.log, at the
# level RECEIVER_LOGLEVEL (default "error"). A large socket buffer: a busy
# machine must not make ffmpeg drop datagrams.
start_receiver() {
  local sdp=$1 out=$2 port=$3
  timeout 120 ffmpeg -nostdin -hide_banner -loglevel "${RECEIVER_LOGLEVEL:-error}" -buffer_size 4194304 \
      -protocol_whitelist file,udp,rtp -i "$sdp" -map 0 -c copy -y "$out" > "$out.log" 2>&1 &
  ffmpeg_pid=$!
  for ((i = 0; i < 200; i++)); do
    port_in_use "$port" && return 0
    sleep 0.05
  done
  fail "ffmpeg does not listen on port $port"
}

# Waits for the receiver of process $1 (named $3, its log in $2.log) to end
# and checks its exit status.
wait_ended() {
  local rc=0
  wait "$1" || rc=$?
  [ $rc -eq 0 ] || { cat "$2.log" >&2; fail "$3 ended with status $rc"; }
}

# Waits for the ffmpeg of start_receiver to end (the sender's RTCP BYE ends
# its input) and checks its exit status.
wait_receiver() {
  local pid=$ffmpeg_pid
  ffmpeg_pid=
  wait_ended "$pid" "$1" ffmpeg
}

# Waits until an emulated device has delivered its content: its record
# file $1 holds boxes and has not grown for SETTLED_POLLS polls of 0.1 s,
# far longer than the gap between two boxes.
SETTLED_POLLS=8
wait_delivered() {
  local record=$1 last=-1 same=0 size i
  for ((i = 0; i < 300; i++)); do
    size=$(stat -c %s "$record" 2>/dev/null || echo 0)
    if [ "$size" -gt 0 ] && [ "$size" = "$last" ]; then
      same=$((same + 1))
      [ $same -ge $SETTLED_POLLS ] && return 0
    else
      same=0
    fi
    last=$size
    sleep 0.1
  done
  fail "the device was still delivering after 30 s"
}

# Puts rtp_tee between the sender and two receivers: what is sent to a tee
# port reaches the ffmpeg port and the GStreamer port given with it, and
# what is sent to the tee port + 1 (RTCP, such as the sender's BYE) reaches
# the ffmpeg port + 1. Each datagram is kept in PREFIX.TEE_PORT.
#   start_tee PREFIX TEE_PORT FFMPEG_PORT GST_PORT [TEE_PORT FFMPEG_PORT GST_PORT]
start_tee() {
  local prefix=$1 legs=()
  shift
  while [ $# -ge 3 ]; do
    legs+=("$1:$2,$3" "$(($1 + 1)):$(($2 + 1))")
    shift 3
  done
  "$VOZIREV_BIN/rtp_tee" "$prefix" "${legs[@]}" > "$prefix.out" 2>&1 &
  tee_pid=$!
  for ((i = 0; i < 200; i++)); do
    grep -q ready "$prefix.out" 2>/dev/null && return 0
    sleep 0.05
  done
  fail "rtp_tee did not start: $(cat "$prefix.out")"
}

stop_tee() {
  [ -n "$tee_pid" ] || return 0
  kill "$tee_pid" 2>/dev/null || true
  wait "$tee_pid" 2>/dev/null || true
  tee_pid=
}

# Ends a sender's session as RFC 3550 (6.6) has it: a compound RTCP packet,
# an empty receiver report and a BYE for the streams' SSRC (10023), sent to
# the RTCP port $2 on $1. ffmpeg ends its input once every stream got one.
send_rtcp_bye() {
  printf '\x80\xc9\x00\x01\x00\x00\x27\x27\x81\xcb\x00\x01\x00\x00\x27\x27' > "/dev/udp/$1/$2"
}
