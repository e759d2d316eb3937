#!/usr/bin/env bash
# The capture program's failures, run for real under the emulated device:
# for each way a run can be refused or cut short, the exact standard output,
# the exit status, which device commands were sent, and what is left on disk.
#   - command line refused: usage text, configuration-file messages; exit 1
#   - a destination, port or I-frame interval the run cannot use, from the
#     options or the configuration file, and a session description name
#     (-j) in a missing directory or taken by a link: refused before the
#     device is touched or the recording file created
#   - a session description that cannot be written when the streams open:
#     exit 1 before the start command
#   - device cannot be opened (no device node; a number the device does not serve)
#   - an encoder setting invalid, or refused by the device; an invalid TTL
#   - recording type, streaming type not 1 or 2 (the file is not created)
#   - streaming sockets that cannot be created (descriptor limit)
#   - recording file that cannot be opened; MP4 spool file that cannot be
#     created; spool files held by another run (flock(1), and a second run)
#   - file names with no usable token, or too long for the path field
#   - start command refused: exit 1, no spool files
#   - device read failure during capture: recording (MP4 or transport
#     stream) finalised, exit 1
#   - no output at all: exactly one sample read
# The transport-stream set-up itself cannot fail here: the packetiser refuses
# only a missing file outside streaming mode, and the program always gives it
# its file (opened just before) or asks for streaming mode.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/app_run.bash"

EMU_MAX=("$EMU" --source "$AV" --pace max)

# run_case EXPECTED_STATUS CMD...: runs with stdout to out.txt, checks status.
run_case() {
  local want=$1 rc=0
  shift
  "$@" > out.txt 2> err.txt < /dev/null || rc=$?
  expect_eq "exit status" "$want" "$rc"
}

# The commands the device received, by name, in order.
commands() { [ -e log.txt ] || return 0; awk '{ print $3 ($5 == "FAILED" ? "!" : "") }' log.txt | paste -sd ' '; }

ALL_SETTINGS="media-type audio-bitrate video-bitrate frame-size frame-rate gop color brightness"

# ---- command line ----------------------------------------------------------
usage_text=$(printf '%s\n' \
  "The following command line parameters are used for the Vozirev Program:[default]" \
  $'-z\t\tconfiguration filename' $'-n\t\tdevice number [0]' \
  $'-m\t\tmedia type (1 - audio, 2 - video, 3 -  audio and video) [3]' \
  $'-a\t\taudio bit rate in kbps (24 - 128) [48]' $'-w\t\tvideo width (160 - 720) [320]' \
  $'-h\t\tvideo height(112 - 480/576) [240]' $'-f\t\tframe rate [30/25]' \
  $'-i\t\tI-frame interval [30]' $'-v\t\tvideo bitrate in kbps (32 - 4000) [512]' \
  $'-c\t\tcolor (0 - 255) [128]' $'-b\t\tbrightness (0 - 255) [128]' \
  $'-r\t\trecord settings (0 - Do not save, 1 - Save as MP4, 2 - Save as MPEG-TS) [1]' \
  $'-p\t\tfile name for recorded file [Time Stamp]' \
  $'-s\t\tstream settings (0 - Do not stream, 1 - Elementary Stream, 2 - MPEG Transport Stream) [0]' \
  $'-d\t\tdestination ip address [127.0.0.1]' $'-t\t\tttl[64] ' \
  $'-x\t\tvideo port/MPEG-TS port [8000]' $'-y\t\taudio port (for elementary stream only) [8002]' \
  $'-q\t\tcheck disk space for filewrite [skip disk space check]' $'-u\t\tusage.' \
  $'-k\t\tmake the recording durable every N seconds of content, 0 never [1]' \
  $'-g\t\tsegment length: a new file every N seconds of content, 0 one file [0]' \
  $'-l\t\talign the segments to the clock (1 - a 600 s length cuts at :00, :10, ...) [0]' \
  $'-o\t\tkeep N MiB free by deleting the oldest recordings, 0 never [0]' \
  $'-j\t\tsession description file (SDP) of the streams, written by the program [none]' \
  $'-R\t\tRTSP server port, 0 - none (8554 in the examples) [0]' \
  $'-A\t\taddress the RTSP and HTTP servers listen on [0.0.0.0, every address]' \
  $'-M\t\tmulticast group of the RTSP server\'s multicast transport, TTL of -t [none]' \
  $'-T\t\tRTSP session timeout in seconds [60]' $'-S\t\tRTSP sessions at most [32]' \
  $'-C\t\tRTSP and HTTP connections at most [64]' \
  $'-E\t\tcredentials file of the RTSP and HTTP servers and the publisher [none]' \
  $'-H\t\tHTTP server port (live view, status, metrics, recordings), 0 - none [0]' \
  $'-W\t\tdirectory of the web page\'s files [/usr/share/vozirev/www]' \
  $'-P\t\tpublish to an RTSP server: rtsp://[user:password@]host[:port]/path [none]' \
  $'-U\t\tpublish transport (0 - TCP interleaved, 1 - UDP) [0]'; echo x)
usage_text=${usage_text%x}

for args in "-u 1" "-" "-K 1" "-r 1 -e 2"; do
  case_dir "usage ${args}"
  # shellcheck disable=SC2086  # the words are the arguments
  run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" $args
  expect_output "usage" "$usage_text" out.txt
  expect_eq "device commands" "" "$(commands)"
done

case_dir "config not first"
run_case 1 "$PROG" -n 1 -z cfg
expect_output "message" $'External configuration file needs to be the first parameter.\n' out.txt

case_dir "config missing"
run_case 1 "$PROG" -z missing.cfg
expect_output "message" $'Parsing Config File missing.cfg....\n\nCannot open configuration file missing.cfg\nError No Config File foundError parsing the configuration file\n' out.txt

# ---- values the run cannot use ----------------------------------------------
# Refused before the device is touched and before the recording file is
# created. --samples and --end make a run that is not refused end by itself.
refusals=(
  "-s 1 -d foo|Invalid destination address \"foo\" (-d, configuration item 27). Use a dotted IPv4 address such as 192.168.0.10."
  "-s 2 -d 1.2.3|Invalid destination address \"1.2.3\" (-d, configuration item 27). Use a dotted IPv4 address such as 192.168.0.10."
  "-s 1 -y 70000|Invalid audio port 70000 (-y, configuration item 33). Use 1 - 65535."
  "-s 2 -x 0|Invalid video port 0 (-x, configuration item 31). Use 1 - 65535."
  "-i 184549377|Invalid I-frame interval 184549377 (-i, configuration item 15). Use 1 - 16777215."
  "-s 1 -j nodir/stream.sdp|Cannot write the session description nodir/stream.sdp (-j, configuration item 43): its directory does not exist."
)
for refusal in "${refusals[@]}"; do
  args=${refusal%%|*}
  case_dir "refused ${args}"
  # shellcheck disable=SC2086  # the words are the arguments
  run_case 1 "${EMU_MAX[@]}" --log log.txt --samples 3 --end error -- "$PROG" $args -p rec
  expect_output "message" "${refusal#*|}"$'\n' out.txt
  expect_eq "device commands" "" "$(commands)"
  expect_eq "recording file" "" "$(ls -A | grep '^rec' || true)"
done

case_dir "refused from the configuration file"
printf '%s\n' "ulDevice_Number 0" "ulMediaFormat 3" "ulAudio_BitRate 48" "ulVideo_BitRate 512" \
  "ulVideo_Frame_Width 320" "ulVideo_Frame_Height 240" "ulVideo_Frame_Rate 30" "ulI_Frame_Interval 30" \
  "ulColor 128" "ulBrightness 128" "ulSaving 1" "sOutput_Filename rec" "ulStreaming 1" "IP_Addr foo" > cfg
run_case 1 "${EMU_MAX[@]}" --log log.txt --samples 3 --end error -- "$PROG" -z cfg
expect_output "message" $'Parsing Config File cfg....\nInvalid destination address "foo" (-d, configuration item 27). Use a dotted IPv4 address such as 192.168.0.10.\n' out.txt
expect_eq "device commands" "" "$(commands)"
expect_eq "recording file" "" "$(ls -A | grep '^rec' || true)"

# A link planted under the session description's name: refused before the
# device is touched, and what it points at is left as it was.
case_dir "session description name is a link"
echo keep > victim
ln -s victim link.sdp
run_case 1 "${EMU_MAX[@]}" --log log.txt --samples 3 --end error -- "$PROG" -s 2 -j link.sdp -p rec
expect_output "message" $'Cannot write the session description link.sdp (-j, configuration item 43): it is a link, or not a regular file.\n' out.txt
expect_eq "device commands" "" "$(commands)"
expect_eq "what the link points at" keep "$(cat victim)"

# ---- the device ------------------------------------------------------------
case_dir "no device node"
if [ -e /dev/Vozirev5 ]; then
  echo "note: /dev/Vozirev5 exists on this machine; the case without a device is left out"
else
  run_case 1 "$PROG" -n 5
  expect_output "message" "${BANNER}"$'\nVozirev Device_5 not found, please check device connections.' out.txt
fi

for n in 10 -1; do
  case_dir "device number $n"
  run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -n "$n"
  expect_output "message" "${BANNER}"$'\nVozirev Device_'"$n"' not found, please check device connections.' out.txt
  expect_eq "device commands" "" "$(commands)"
done

# ---- encoder settings ------------------------------------------------------
settings=$(default_settings)
settings_upto() {  # the default settings lines up to and including the N-th
  head -n "$1" <<<"$settings"
}

case_dir "frame rate invalid"
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -f 31
expect_output "message" "${BANNER}$(settings_upto 4)"$'\nSetting Video Frame Rate to: 31 fps\n\nInvalid Video Framerate. Use 5 - 30.\n' out.txt
expect_eq "device commands" "media-type audio-bitrate video-bitrate frame-size" "$(commands)"

case_dir "frame size refused"
run_case 1 "${EMU_MAX[@]}" --log log.txt --fail-command 0x29 -- "$PROG"
expect_output "message" "${BANNER}$(settings_upto 4)"$'\n\nSetting Video Width and Height failed' out.txt
expect_eq "device commands" "media-type audio-bitrate video-bitrate frame-size!" "$(commands)"

case_dir "ttl invalid"
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -t 0
expect_output "message" "${BANNER}${settings}"$'\n\nInvalid ttl value. Use (1-255)' out.txt
expect_eq "device commands" "$ALL_SETTINGS" "$(commands)"

# ---- output selection ------------------------------------------------------
case_dir "recording type"
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -r 3 -p rec
expect_output "message" "${BANNER}${settings}"$'\nInvalid Saving Format. Use 1 or 2.\n' out.txt
expect_eq "device commands" "$ALL_SETTINGS" "$(commands)"
expect_eq "files" "err.txt log.txt out.txt" "$(ls | paste -sd ' ')"

case_dir "streaming type"
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -s 3 -p rec
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./rec.mp4\nInvalid Streaming Format. Use 1 or 2.' out.txt
expect_eq "device commands" "$ALL_SETTINGS" "$(commands)"
expect_eq "files" "err.txt log.txt out.txt" "$(ls | paste -sd ' ')"

# A directory that passes the check but takes no file (/proc): the write
# fails when the streams open, and the run ends before the start command.
case_dir "session description cannot be written"
sdp_ports=$(pick_ports)
run_case 1 "${EMU_MAX[@]}" --log log.txt --samples 3 --end error -- \
  "$PROG" -r 0 -s 1 -j /proc/stream.sdp -x "$sdp_ports" -y "$((sdp_ports + 2))"
expect_output "message" "${BANNER}${settings}"$'\nStreaming Elementary Stream to 127.0.0.1 on video port:'"$sdp_ports"' and audio port: '"$((sdp_ports + 2))"$'\n\nCould not write the session description /proc/stream.sdp: cannot create a temporary file beside it: No such file or directory\n' out.txt
expect_eq "device commands" "$ALL_SETTINGS" "$(commands)"

# Sockets that cannot be created: with the descriptor limit just above what
# the device needs, the first sending socket opens and the second does not.
# The lowest workable limit is searched for, since the test harness may hand
# down descriptors of its own.
ports=$(pick_ports)
for mode in 1 2; do
  case_dir "sockets unavailable -s $mode"
  announce=$'Streaming Elementary Stream to 127.0.0.1 on video port:'"$ports"' and audio port: '"$((ports + 2))"$'\n'
  [ "$mode" = 2 ] && announce=$'Streaming MPEG Transport Stream to 127.0.0.1 on port:'"$ports"$'\n'
  found=
  for limit in 5 6 7 8 9 10 11 12; do
    rc=0
    timeout 30 "${EMU_MAX[@]}" --samples 3 --end error -- prlimit --nofile=$limit:$limit \
      "$PROG" -r 0 -s "$mode" -x "$ports" -y "$((ports + 2))" > out.txt 2> err.txt < /dev/null || rc=$?
    # Too low a limit: the device does not open, or a sanitizer runtime
    # cannot do its exit checks (and the output is lost).
    grep -q -e 'streaming sockets' -e 'Started Encoding' out.txt || continue
    found=$limit
    expect_eq "exit status" 1 "$rc"
    expect_output "message" "${BANNER}${settings}"$'\n'"${announce}"$'Couldn\'t open the streaming sockets.\n' out.txt
    break
  done
  [ -n "$found" ] || fail "the device never opened under a descriptor limit up to 12"
done

# ---- the recording file ----------------------------------------------------
case_dir "recording file cannot be opened"
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -p nodir/x
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./nodir/x.mp4\n\nUnble to open output file for writing.\n' out.txt
expect_eq "device commands" "$ALL_SETTINGS" "$(commands)"
expect_no_spool

case_dir "transport-stream file cannot be opened"
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -r 2 -p nodir/x
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./nodir/x.mpg\n\nUnble to open output file for writing.\n' out.txt
expect_eq "device commands" "$ALL_SETTINGS" "$(commands)"

# The same with streaming on: the run goes on streaming (here until the
# device fails, after the 30 boxes it delivers).
case_dir "recording file cannot be opened, streaming"
run_case 1 "${EMU_MAX[@]}" --log log.txt --samples 30 --end error --record rec.qbox -- \
  "$PROG" -p nodir/x -s 1 -x "$ports" -y "$((ports + 2))"
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./nodir/x.mp4\nStreaming Elementary Stream to 127.0.0.1 on video port:'"$ports"' and audio port: '"$((ports + 2))"$'\n\nUnble to open output file for writing.\n'"${STARTED}"$'\n Reading from Device failed' out.txt
expect_eq "boxes read" 30 "$("$DUMP" rec.qbox | wc -l)"
expect_no_spool

# A directory in the way of a spool file (with something in it, so that
# the writer's removal of its spool names cannot take it away): the run
# refuses before it creates anything.
case_dir "spool file cannot be created"
mkdir '~temp3'
touch '~temp3/keep'
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -p x
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./x.mp4\n\nCannot record to ./x.mp4: ~temp3 is a link, or not a regular file.\n' out.txt
expect_eq "device commands" "$ALL_SETTINGS" "$(commands)"
expect_eq "left behind" "err.txt log.txt out.txt ~temp3" "$(ls -A | paste -sd ' ')"

# The lock held by flock(1) as another run would hold it; the refused run
# must leave the holder's lock file alone.
case_dir "spool files locked"
exec 9> '~temp.lock'
flock -n 9 || fail "cannot take the lock for the test"
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -p x 9>&-
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./x.mp4\n\nUnble to open output file for writing.\n' out.txt
expect_eq "spool files" "~temp.lock" "$(ls -A | grep '^~' | paste -sd ' ')"
exec 9>&-

# Two runs in one directory: the second is refused and the first records
# undisturbed.
case_dir "two runs"
"$EMU" --source "$AV" --log first.log --record first.qbox -- "$PROG" -p first > first.txt 2>&1 &
first=$!
cleanup_hooks+=("kill $first 2>/dev/null")
for ((i = 0; i < 200; i++)); do grep -q ' start ' first.log 2>/dev/null && break; sleep 0.05; done
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -p second
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./second.mp4\n\nUnble to open output file for writing.\n' out.txt
sleep 0.5
kill -INT $first
rc=0; wait $first || rc=$?
expect_eq "first run's exit status" 0 "$rc"
check_leading_boxes first.mp4 first.qbox 3 320 240
# It captured for over a second while the second run was refused.
pictures=$(awk '$1 == "video" && $3 == 1' boxes.txt | wc -l)
[ "$pictures" -ge 15 ] || fail "the first run recorded only $pictures pictures"
expect_no_spool

# ---- file names ------------------------------------------------------------
for name in "..." "."; do
  case_dir "file name $name"
  run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -p "$name"
  expect_output "message" "${BANNER}${settings}"$'\n\nInvalid output file name "'"$name"$'".\n' out.txt
  expect_eq "files" "err.txt log.txt out.txt" "$(ls -A | paste -sd ' ')"
done

# "./" + name + ".mp4" must stay below 256 bytes: 249 characters fit, 250 not.
case_dir "file name too long"
long=$(printf 'n%.0s' {1..250})
run_case 1 "${EMU_MAX[@]}" --log log.txt -- "$PROG" -p "$long"
expect_output "message" "${BANNER}${settings}"$'\n\nOutput file name too long: the path must stay below 256 characters.\n' out.txt
expect_eq "files" "err.txt log.txt out.txt" "$(ls -A | paste -sd ' ')"

case_dir "file name longest"
run_case 1 "${EMU_MAX[@]}" --samples 10 --end error -- "$PROG" -p "${long:1}.tail"
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./'"${long:1}"$'.mp4\n'"${STARTED}"$'\n Reading from Device failed' out.txt
[ -s "${long:1}.mp4" ] || fail "the recording ${long:1}.mp4 is missing or empty"

# ---- start and capture -----------------------------------------------------
case_dir "start refused"
run_case 1 "${EMU_MAX[@]}" --log log.txt --fail-command 0x0B -- "$PROG" -p x
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./x.mp4\n\nStart Encode Command failed' out.txt
expect_eq "device commands" "$ALL_SETTINGS start!" "$(commands)"
expect_no_spool

case_dir "read failure"
run_case 1 "${EMU_MAX[@]}" --log log.txt --samples 75 --end error --record rec.qbox -- "$PROG" -p x
expect_output "message" "${BANNER}${settings}"$'\nSaving to ./x.mp4\n'"${STARTED}"$'\n Reading from Device failed' out.txt
expect_eq "device commands" "$ALL_SETTINGS start stop" "$(commands)"
expect_eq "boxes delivered" 75 "$("$DUMP" rec.qbox | wc -l)"
check_capture x.mp4 rec.qbox 3 320 240
expect_no_spool

# The transport-stream file after a read failure: complete and continuous,
# every picture delivered decodes at its time stamp.
case_dir "read failure, transport-stream file"
V="$VOZIREV_CORPUS/v_352x288_30fps_gop10.qbox"
vsettings=$(printf '%s\n' "Setting Media Format to: video only" "Setting Video Bitrate to: 512 kbps" \
  "Setting Video Resolution to: 352 x 288" "Setting Video Frame Rate to: 30 fps" \
  "Setting I Frame Interval to: 30" "Setting Color to: 128" "Setting Brightness to: 128")
run_case 1 "$EMU" --source "$V" --pace max --samples 50 --end error --record rec.qbox -- \
  "$PROG" -m 2 -w 352 -h 288 -r 2 -p x
expect_output "message" "${BANNER}${vsettings}"$'\nSaving to ./x.mpg\n'"${STARTED}"$'\n Reading from Device failed' out.txt
"$VOZIREV_BIN/ts_feed" list rec.qbox > boxes.txt
expect_eq "pictures listed" "$(picture_boxes rec.qbox)" "$(grep -c '^video' boxes.txt)"
check_ts_file x.mpg boxes.txt 2 352 288

# No output: exactly one sample is read. A device that delivers one box and
# then fails every read shows a second read as a read failure.
case_dir "no output"
run_case 0 "${EMU_MAX[@]}" --log log.txt --samples 1 --end error -- "$PROG" -r 0 -s 0
expect_output "message" "${BANNER}${settings}"$'\n'"${STARTED}" out.txt
expect_eq "device commands" "$ALL_SETTINGS start stop" "$(commands)"

checks_done "every failure case checked"
