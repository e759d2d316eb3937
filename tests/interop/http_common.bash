# Helpers of the HTTP server's interop tests (sourced by http_*.sh, not run
# by ctest): the capture program under the emulated device with -H on a
# free loopback port, ok/FAIL checks, and a work directory removed at exit.
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}" "${VOZIREV_SRC:?}"
export VOZIREV_EMU_CACHE="$VOZIREV_CORPUS/emu-cache"
PY=/usr/bin/python3
DRIVERS="$VOZIREV_SRC/tests/drivers"
WORK=$(mktemp -d)
capture_pid=
failures=0
HTTP_AUTH=()  # curl's credentials for start_http, with -E
end_http_test() {
  [ -n "$capture_pid" ] && kill -KILL "$capture_pid" 2>/dev/null
  rm -rf "$WORK"
}
trap end_http_test EXIT

check() {  # what command...
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

# start_http DIR EMULATOR_OPTIONS... -- PROGRAM_OPTIONS...: the program in
# DIR (its output in DIR/program.out, the device's boxes in
# DIR/delivered.qbox) serving HTTP on PORT at URL; returns once the live
# playlist is there (the first encode of new settings and qemu take a while).
start_http() {
  local dir=$1 emu=()
  shift
  while [ "$1" != -- ]; do emu+=("$1"); shift; done
  shift
  PORT=$($PY -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  URL="http://127.0.0.1:$PORT"
  (cd "$dir" && exec "$VOZIREV_BIN/vozirev-emu" --record "$dir/delivered.qbox" "${emu[@]}" -- \
      "$VOZIREV_BIN/vozirev" -A 127.0.0.1 -H "$PORT" -W "$VOZIREV_SRC/www" "$@" > "$dir/program.out" 2>&1) &
  capture_pid=$!
  for ((i = 0; i < 600; i++)); do
    curl -sf "${HTTP_AUTH[@]}" -o /dev/null "$URL/live.m3u8" && return 0
    kill -0 "$capture_pid" 2>/dev/null || break
    sleep 0.2
  done
  cat "$dir/program.out"
  echo "FAIL the live playlist did not come"
  exit 1
}

# Ends the program as Ctrl+C would; sets CAPTURE_STATUS.
stop_http() {
  kill -INT "$capture_pid"
  CAPTURE_STATUS=0
  wait "$capture_pid" || CAPTURE_STATUS=$?
  capture_pid=
}

http_done() {
  echo "$1: $failures failed"
  [ "$failures" = 0 ]
}
