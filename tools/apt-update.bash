# apt_update APT-GET-COMMAND...: "update" with that apt-get command line
# (sourced by install-deps.sh and packaging/build-deb.sh). A mirror in the
# middle of a sync fails one index now and then ("File has unexpected size,
# Mirror sync in progress?"): the update is tried three times, and when an
# index still fails apt keeps the others and the one it had, so the caller
# goes on and only a failed install or download ends it.
apt_update() {
  local try
  for try in 1 2 3; do
    "$@" update && return 0
    [ "$try" = 3 ] || sleep $((try * 10))
  done
  echo "apt-get update failed three times; going on with the indexes it fetched" >&2
}
