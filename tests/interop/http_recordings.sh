#!/usr/bin/env bash
# The recordings over HTTP. Two finished recordings (MP4 and transport
# stream, time-stamp names) lie in the directory of a run that records a
# third; beside them, names planted to reach what must not be served. The
# listing holds the finished two, in JSON and as a page of links; each
# downloads byte-identical whole and in ranges (curl -r), ffprobe reads it
# over HTTP; every traversal and planted name is answered 403 or 404; the
# page's files answer If-None-Match with 304, HEAD with the head alone, and
# one connection serves several requests.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/http_common.bash"

DIR="$WORK/rec"
mkdir -p "$DIR" "$WORK/outside"
for saving in 1 2; do
  (cd "$DIR" && "$VOZIREV_BIN/vozirev-emu" --pace max --duration 3 --end error -- "$VOZIREV_BIN/vozirev" \
      -r $saving > /dev/null)
  sleep 1  # a name of its own second
done
mp4=$(cd "$DIR" && ls *.mp4)
mpg=$(cd "$DIR" && ls *.mpg)
stem=${mp4%.mp4}
echo secret > "$WORK/outside/secret.txt"
cp "$DIR/$mp4" "$WORK/outside/copy.mp4"  # a whole recording, reached only through links
ln -s "$WORK/outside/copy.mp4" "$DIR/${stem}-5.mp4"
ln "$WORK/outside/copy.mp4" "$DIR/${stem}-6.mp4"
head -c 4000 "$DIR/$mp4" > "$DIR/${stem}-recovered.mp4"
cp "$DIR/$mp4" "$DIR/~temp1"
start_http "$DIR" -- -p current

listed=$(curl -sf -H 'Accept: application/json' "$URL/recordings" | $PY -c \
    'import json, sys; print(" ".join(sorted(r["name"] for r in json.load(sys.stdin))))')
check "the listing holds the finished recordings alone ($listed)" test "$listed" = "$(echo "$mp4 $mpg" | tr ' ' '\n' | sort | paste -sd ' ')"
check "the page lists them with links" bash -c "curl -sf '$URL/recordings' | grep -q 'href=\"/recordings/$mp4\"'"
for name in "$mp4" "$mpg"; do
  curl -sf -o "$WORK/whole" "$URL/recordings/$name"
  check "$name downloads byte-identical" cmp -s "$WORK/whole" "$DIR/$name"
  size=$(stat -c %s "$DIR/$name")
  for range in 0-99 1000-150000 $((size - 10))- -777 0-; do
    curl -sf -r "$range" -o "$WORK/part" "$URL/recordings/$name"
    case $range in
      -*) first=$((size - ${range#-})); last=$((size - 1)) ;;
      *-) first=${range%-}; last=$((size - 1)) ;;
      *) first=${range%-*}; last=${range#*-} ;;
    esac
    check "$name bytes $range are the file's" cmp -s "$WORK/part" <(tail -c +$((first + 1)) "$DIR/$name" | head -c $((last - first + 1)))
  done
  check "$name: a range past the end is answered 416" test "$(curl -s -o /dev/null -w '%{http_code}' -r $((size + 5))- "$URL/recordings/$name")" = 416
  check "ffprobe reads $name over HTTP as on disk" test "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$URL/recordings/$name")" = \
      "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$DIR/$name")"
done

current=$(cd "$DIR" && ls current*.mp4)
for path in "/recordings/$current" "/recordings/${stem}-5.mp4" "/recordings/${stem}-6.mp4" \
    "/recordings/${stem}-recovered.mp4" "/recordings/~temp1" "/recordings/~temp.lock" "/recordings/../$mp4" \
    "/recordings/%2e%2e/outside/secret.txt" "/recordings/..%2f..%2foutside%2fsecret.txt" "/recordings/%2Fetc%2Fpasswd" \
    "/recordings//etc/passwd" "/../../etc/passwd" "/%2e%2e/%2e%2e/etc/passwd" "/recordings/$mp4%00" "/recordings/$mp4/" \
    "/recordings/.%2e/$mp4" "/recordings/x%5c..%5c$mp4" "/etc/passwd" "/index.html/../../etc/passwd" "/live/../status"; do
  code=$(curl -s --path-as-is -o "$WORK/body" -w '%{http_code}' "$URL$path")
  check "$path is answered $code" grep -q -E '^40[34]$' <<<"$code"
  check "$path gives nothing of the file" bash -c "! grep -q -e secret -e root: '$WORK/body'"
done

tag=$(curl -sfI "$URL/" | tr -d '\r' | sed -n 's/^ETag: //p')
check "/ has an ETag ($tag) and If-None-Match answers 304" test "$(curl -s -o /dev/null -w '%{http_code}' -H "If-None-Match: $tag" "$URL/")" = 304
check "HEAD gives the head alone" test "$(curl -s -I "$URL/status" -o /dev/null -w '%{size_download}')" = 0
check "one connection serves several requests" bash -c "curl -sv '$URL/status' '$URL/metrics' '$URL/' -o /dev/null -o /dev/null -o /dev/null 2>&1 | grep -q 'Re-using existing connection'"
check "anything else is 404" test "$(curl -s -o /dev/null -w '%{http_code}' "$URL/nothing")" = 404
stop_http
check "Ctrl+C ends the run with status 0 ($CAPTURE_STATUS)" test "$CAPTURE_STATUS" = 0
http_done "recordings over HTTP checked"
