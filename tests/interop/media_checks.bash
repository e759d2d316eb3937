# Checks of recorded files shared by the interop tests (sourced, not run by
# ctest). Each check compares a recording with the list of QBox samples that
# went into it:
#   check_mp4_file FILE BOXES MEDIA WIDTH HEIGHT
#       BOXES as printed by "mp4_record list": "video CTS 0|1" (1 when the
#       box carries a picture) and "audio CTS".
#   check_ts_file FILE BOXES MEDIA WIDTH HEIGHT
#       BOXES as printed by "ts_feed list": "video CTS" for every box that
#       must come out as a picture, "audio CTS" for every audio box.
# MEDIA is 1 audio only, 2 video only, 3 both; WIDTH/HEIGHT the picture size.
# A failed check is counted and reported with CHECK_LABEL; checks_done ends
# the script with status 1 when any check failed.
#
# Every file is read by ffmpeg/ffprobe, by GStreamer (gst_checks.bash), and by
# stream_check, which applies the standards' rules as a strict receiver
# does; transport streams by tstools' tsreport too.

source "$(dirname "${BASH_SOURCE[0]}")/gst_checks.bash"

CHECK_FAILURES=0
CHECK_LABEL=

check_fail() {
  echo "FAIL $CHECK_LABEL: $*"
  CHECK_FAILURES=$((CHECK_FAILURES + 1))
}

expect_eq() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    check_fail "$1: expected '$2', got '$3'"
  fi
}

checks_done() {  # message when everything passed
  if [ "$CHECK_FAILURES" -ne 0 ]; then
    echo "$CHECK_FAILURES check(s) failed"
    exit 1
  fi
  echo "$1"
}

# ---- MP4 --------------------------------------------------------------------

mp4_probe() {  # file, stream selector, entries
  ffprobe -v error -select_streams "$2" -show_entries "$3" -of default=nw=1:nk=1 "$1"
}

# The earliest first stamp of the media in a box list ("video TS" lines, or
# "video TS 1" for pictures in mp4_record's list, and "audio TS"): a reader
# presents every sample at its stamp less this one.
first_stamp() {  # boxes, media
  awk -v media="$2" '
    $1 == "video" && media != 1 && (NF < 3 || $3 == 1) && !v++ { t = $2; if (!n++ || t < t0) t0 = t }
    $1 == "audio" && media != 2 && !a++ { t = $2; if (!n++ || t < t0) t0 = t }
    END { print t0 + 0 }' "$1"
}

# What a GStreamer reader must present: per sink (a, v) the frames and the
# first one's time in ticks after the earliest first stamp.
gst_expected() {  # boxes, media
  awk -v media="$2" -v t0="$(first_stamp "$1" "$2")" '
    $1 == "video" && media != 1 && (NF < 3 || $3 == 1) { if (!v++) vt = $2 - t0 }
    $1 == "audio" && media != 2 { if (!a++) at = $2 - t0 }
    END { if (a) print "a", a, at; if (v) print "v", v, vt }' "$1"
}

# The first decoded frame's presentation time in ffmpeg, on the 90 kHz clock.
ffmpeg_first_ticks() {  # file, stream selector
  ffprobe -v error -select_streams "$2" -show_entries frame=pts_time -read_intervals '%+#1' -of csv=p=0 "$1" |
    head -1 | awk '{ printf "%d\n", $1 * 90000 + 0.5 }'
}

# No warning, the expected tracks, H.264 at the SPS size, AAC 48 kHz stereo,
# one decoded frame per picture-carrying video box at its QBox time stamp
# (relative to the first picture), one audio packet per audio box, and track
# durations matching the QBox time span. VIDEO_TIMES_FROM=packet takes the
# picture times from the index instead of a second decode, for recordings
# of hundreds of thousands of pictures (the full decode still finds any
# picture that does not play).
check_mp4_file() {
  local mp4=$1 boxes=$2 media=$3 width=$4 height=$5

  local warnings errors
  warnings=$(ffprobe -v warning "$mp4" 2>&1 >/dev/null)
  expect_eq "ffprobe warnings" "" "$warnings"
  # One decoding thread: frame threads cost more than they save on the
  # tests' small pictures, and the tests run side by side.
  errors=$(ffmpeg -nostdin -v error -threads 1 -i "$mp4" -f null - 2>&1)
  expect_eq "ffmpeg decode errors" "" "$errors"

  local streams
  streams=$(ffprobe -v error -show_entries stream=codec_type -of default=nw=1:nk=1 "$mp4" | tr '\n' ' ')
  case $media in
    1) expect_eq "streams" "audio " "$streams" ;;
    2) expect_eq "streams" "video " "$streams" ;;
    3) expect_eq "streams" "video audio " "$streams" ;;
  esac

  if [ "$media" != 1 ]; then
    expect_eq "video codec" "h264" "$(mp4_probe "$mp4" v:0 stream=codec_name)"
    expect_eq "video size" "${width}x${height}" \
      "$(mp4_probe "$mp4" v:0 stream=width,height | paste -sd x)"

    # The pictures' time stamps relative to the earliest sample, as recorded.
    awk -v t0="$(first_stamp "$boxes" "$media")" '$1 == "video" && $3 == 1 { print $2 - t0 }' "$boxes" > "$mp4.expected_pts"
    # A frame whose SEI ffprobe shows as side data (x264's own, in the first
    # picture) gets an empty row of its own: only the rows with a time count.
    ffprobe -v error -select_streams v:0 -show_entries "${VIDEO_TIMES_FROM:-frame}=pts" -of csv=p=0 "$mp4" \
      | sed -e 's/,*$//' -e '/^$/d' > "$mp4.actual_pts"
    expect_eq "decoded frames" "$(wc -l < "$mp4.expected_pts")" "$(wc -l < "$mp4.actual_pts")"
    if ! diff -q "$mp4.expected_pts" "$mp4.actual_pts" > /dev/null; then
      check_fail "frame time stamps differ from the QBox time stamps:"
      diff "$mp4.expected_pts" "$mp4.actual_pts" | head -5 || true
    fi
    expect_eq "video time base" "1/90000" "$(mp4_probe "$mp4" v:0 stream=time_base)"
    # Span of the pictures plus the last frame's duration, in 90 kHz ticks
    # (a single picture has no duration to compare with).
    if [ "$(wc -l < "$mp4.expected_pts")" -ge 2 ]; then
      local video_span
      video_span=$(awk '$1 == "video" && $3 == 1 { if (!n++) t0 = $2; if ($2 != last) { gap = $2 - last; last = $2 } }
                        END { print last - t0 + gap }' "$boxes")
      expect_eq "video track duration" "$video_span" "$(mp4_probe "$mp4" v:0 stream=duration_ts)"
    fi
  fi

  if [ "$media" != 2 ]; then
    expect_eq "audio codec" "aac" "$(mp4_probe "$mp4" a:0 stream=codec_name)"
    expect_eq "audio format" "48000 2" "$(mp4_probe "$mp4" a:0 stream=sample_rate,channels | paste -sd ' ')"
    expect_eq "audio packets" "$(awk '$1 == "audio"' "$boxes" | wc -l)" \
      "$(ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$mp4")"
    # Every frame at its stamp on the 48 kHz clock, a lost frame a gap.
    awk -v t0="$(first_stamp "$boxes" "$media")" '$1 == "audio" { print int(($2 - t0) * 48000 / 90000) }' "$boxes" \
      > "$mp4.expected_audio_pts"
    ffprobe -v error -select_streams a:0 -show_entries packet=pts -of csv=p=0 "$mp4" > "$mp4.actual_audio_pts"
    cmp -s "$mp4.expected_audio_pts" "$mp4.actual_audio_pts" ||
      check_fail "audio frame times differ from the QBox time stamps: $(diff "$mp4.expected_audio_pts" "$mp4.actual_audio_pts" | head -3 | tr '\n' ' ')"
    # Span of the frames plus one frame, converted to 48 kHz samples (when
    # there are two frames or more).
    if [ "$(awk '$1 == "audio"' "$boxes" | wc -l)" -ge 2 ]; then
      local audio_span
      audio_span=$(awk '$1 == "audio" { if (!n++) t0 = $2; gap = $2 - last; last = $2 }
                        END { print (last - t0 + gap) * 48000 / 90000 }' "$boxes")
      expect_eq "audio track duration" "$audio_span" "$(mp4_probe "$mp4" a:0 stream=duration_ts)"
    fi
  fi
  check_start_offsets "$mp4" "$boxes" "$media"
  # GST_CHECK=0 leaves GStreamer out for a file of hours (its sink timing
  # log of every buffer outlasts any test); ffmpeg still decodes it all.
  [ "${GST_CHECK:-1}" = 1 ] && check_gst_file "$mp4" mp4 "$media" "$(gst_expected "$boxes" "$media")"
  expect_eq "stream_check mp4" "ok" "$("$VOZIREV_BIN/stream_check" mp4 "$mp4" "$boxes")"
}

# ffmpeg presents each medium's first frame at its first stamp less the
# earliest one, to the tick (a medium that starts later keeps its offset).
check_start_offsets() {  # file, boxes, media
  [ "$3" = 3 ] || return 0
  local expected
  expected=$(gst_expected "$2" 3 | awk '{ print $1, $3 }' | paste -sd ' ')
  expect_eq "ffmpeg first presentation (a ticks v ticks)" "$expected" \
    "a $(ffmpeg_first_ticks "$1" a:0) v $(ffmpeg_first_ticks "$1" v:0)"
}

# ---- MPEG-2 transport stream -------------------------------------------------

# Messages about the empty private-data stream (PID 0x48, stream 2 of an
# audio-and-video programme); everything else counts as a complaint.
TS_PRIVATE_STREAM_NOTES='start time for stream 2 is not set in estimate_timings_from_pts|Unsupported codec with id [0-9]+ for input stream 2|Could not find codec parameters for stream 2 \(Unknown: none \(\[6\]\[0\]\[0\]\[0\] / 0x0006\)\): unknown codec'

ts_complaints() {  # log text
  grep -v -E "$TS_PRIVATE_STREAM_NOTES" <<<"$1" | grep -v -E '^\s*(Consider increasing the value for the|$)' || true
}

# The mpegts demuxer's continuity messages (logged at debug level) in a log,
# for the video and audio PIDs (0x44, 0x45), at most three.
ts_continuity_errors() {  # log file
  grep -i -E 'continuity check failed for pid (68|69) ' "$1" | head -3 || true
}

# Scans the packets of a transport-stream file: sync bytes, continuity per
# PID, and the PCRs of the PCR PID. Prints "ok" or the first problems.
scan_ts_packets() {  # file pcr_pid
  od -An -v -tu1 -w188 "$1" | awk -v pcrpid="$2" '
    NF != 188 { print "short packet " NR; bad++; next }
    $1 != 71 { print "lost sync at packet " NR; bad++; next }
    {
      pid = ($2 % 32) * 256 + $3
      afc = int($4 / 16) % 4
      cc = $4 % 16
      if (afc == 1 || afc == 3) {
        if ((pid in last) && cc != (last[pid] + 1) % 16) {
          if (bad < 5) print "pid " pid " packet " NR ": continuity " cc " after " last[pid]
          bad++
        }
        last[pid] = cc
      }
      if (afc >= 2 && $5 > 0 && int($6 / 16) % 2 == 1) {
        base = $7 * 33554432 + $8 * 131072 + $9 * 512 + $10 * 2 + int($11 / 128)
        if (pid == pcrpid) {
          if (npcr > 0 && base < lastpcr) { print "PCR goes back at packet " NR; bad++ }
          if (npcr > 0 && base - lastpcr > 9000) { print "PCR gap " base - lastpcr " at packet " NR; bad++ }
          lastpcr = base; npcr++
        }
      }
    }
    END {
      if (npcr == 0) { print "no PCR on PID " pcrpid; bad++ }
      if (bad == 0) print "ok"
    }'
}

# The readers beyond ffmpeg: tsreport finds no timing or continuity fault,
# stream_check none of the standard's rules broken, GStreamer decodes every
# frame at its place without a warning; and a reader that starts at the
# tables nearest the middle of the file (a receiver joining late, a file
# cut there) decodes without a warning too.
check_ts_strictly() {  # file, boxes, media
  local ts=$1 boxes=$2 media=$3
  expect_eq "tsreport faults" "" "$(tsreport -b "$ts" 2>&1 | grep -E '###|!!!' | head -3)"
  expect_eq "stream_check ts" "ok" "$("$VOZIREV_BIN/stream_check" ts "$ts")"
  check_gst_file "$ts" ts "$media" "$(gst_expected "$boxes" "$media")"
  local splice
  splice=$("$VOZIREV_BIN/stream_check" ts-splice "$ts" || true)
  if [ "$media" != 1 ]; then
    [ -n "$splice" ] || { check_fail "no tables in front of a random access point"; return; }
    tail -c +$((splice + 1)) "$ts" > "$ts.cut.ts"
    gst_decode_file "$ts.cut.ts" ts "$media"
    expect_eq "GStreamer warnings (file cut at byte $splice)" "" "$(gst_warnings "$ts.cut.ts.gst.log")"
    [ "$(gst_sink_summary "$ts.cut.ts.gst.log" | awk '$1 == "v" { print $2 }')" -gt 0 ] 2>/dev/null ||
      check_fail "GStreamer decodes no picture from the file cut at byte $splice"
  fi
}

# Frames as decoded by ffmpeg, "video TS" / "audio TS" on the 90 kHz clock.
ts_decoded_frames() {  # has_video (0/1), input options...
  local has_video=$1
  shift
  ffmpeg -nostdin -v error "$@" -copyts -fps_mode passthrough \
    -enc_time_base:v 1:90000 -enc_time_base:a 1:90000 -f framecrc - |
    awk -F', *' '!/^#/ && NF >= 6 { print ($1 == "0" && v ? "video" : "audio"), $2 }' v="$has_video"
}

# Per kind, the decoded frames against the expected ones: count and times.
compare_frame_lists() {  # expected list, decoded list, what
  local kind
  for kind in video audio; do
    expect_eq "$3: $kind frames decoded" "$(grep -c "^$kind " "$1" || true)" "$(grep -c "^$kind " "$2" || true)"
    if ! diff <(grep "^$kind " "$1") <(grep "^$kind " "$2") > "$2.diff"; then
      check_fail "$3: $kind frame times differ from the QBox time stamps: $(head -4 "$2.diff" | tr '\n' ' ')"
    fi
  done
}

# A whole number of packets, no complaint from ffprobe or a full decode
# (except the notes about the empty private-data stream), no continuity
# error (ffprobe's debug log and the packet scan), PCR on the PMT's PCR PID,
# H.264 at the picture size, AAC 48 kHz stereo, and the decoded frames at the
# listed QBox time stamps.
check_ts_file() {
  local ts=$1 boxes=$2 media=$3 width=$4 height=$5
  local has_video=0
  [ "$media" != 1 ] && has_video=1

  local size
  size=$(stat -c %s "$ts")
  expect_eq "file size modulo 188" 0 $((size % 188))

  expect_eq "ffprobe complaints" "" "$(ts_complaints "$(ffprobe -v warning "$ts" 2>&1 >/dev/null)")"
  expect_eq "ffmpeg decode complaints" "" \
    "$(ts_complaints "$(ffmpeg -nostdin -v warning -i "$ts" -map 0:v? -map 0:a? -f null - 2>&1)")"
  expect_eq "continuity errors" "" \
    "$(ffprobe -v debug -show_packets "$ts" 2>&1 >/dev/null | grep -i 'continuity check failed' | head -3)"

  local pcr_pid=69
  [ "$has_video" = 1 ] && pcr_pid=68
  expect_eq "PCR PID in the PMT" "$pcr_pid" \
    "$(ffprobe -v error -show_entries program=pcr_pid -of default=nw=1:nk=1 "$ts" | head -1)"
  expect_eq "packet scan" "ok" "$(scan_ts_packets "$ts" "$pcr_pid")"

  if [ "$has_video" = 1 ]; then
    expect_eq "video codec/size" "h264,$width,$height" \
      "$(ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height -of csv=p=0 "$ts" | head -1)"
  fi
  if [ "$media" != 2 ]; then
    expect_eq "audio codec/rate/channels" "aac,48000,2" \
      "$(ffprobe -v error -select_streams a -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 "$ts" | head -1)"
  fi

  local maps=()
  [ "$has_video" = 1 ] && maps+=(-map 0:v)
  [ "$media" != 2 ] && maps+=(-map 0:a)
  ts_decoded_frames "$has_video" -i "$ts" "${maps[@]}" > "$ts.decoded"
  compare_frame_lists "$boxes" "$ts.decoded" "file"
  check_ts_strictly "$ts" "$boxes" "$media"
  echo "   $(grep -c '^video' "$boxes" || true) video, $(grep -c '^audio' "$boxes" || true) audio frames, $((size / 188)) packets"
}
