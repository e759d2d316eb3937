# MP4 recording checks shared by the interop tests (sourced, not run by
# ctest). The caller defines fail() (report one failed check); the functions
# here never exit.
#
# A box list is what `mp4_record list STREAM.qbox` prints for the QBox
# samples that went into the recording: "video TS PICTURE" (PICTURE 1 when
# the box holds a slice) or "audio TS", one line per box, in order.

expect_eq() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    fail "$1: expected '$2', got '$3'"
  fi
}

# check_mp4 MP4 BOXLIST MEDIA WIDTH HEIGHT
#   MEDIA: 1 audio only, 2 video only, 3 both; WIDTH/HEIGHT of the SPS.
# No warning from ffprobe and no error from a full ffmpeg decode; the
# expected tracks and formats; one decoded frame per picture-carrying video
# box, each at its box time stamp less the first (90 kHz ticks); one audio
# packet per audio box; track durations matching the boxes' time span (when
# a track has two samples or more, so that a last-sample duration exists).
check_mp4() {
  local mp4=$1 boxes=$2 media=$3 width=$4 height=$5
  local probe_opts=(-v error -of default=nw=1:nk=1)

  local warnings errors
  warnings=$(ffprobe -v warning "$mp4" 2>&1 >/dev/null)
  expect_eq "ffprobe warnings" "" "$warnings"
  errors=$(ffmpeg -nostdin -v error -i "$mp4" -f null - 2>&1)
  expect_eq "ffmpeg decode errors" "" "$errors"

  local streams
  streams=$(ffprobe -v error -show_entries stream=codec_type -of default=nw=1:nk=1 "$mp4" | tr '\n' ' ')
  case $media in
    1) expect_eq "streams" "audio " "$streams" ;;
    2) expect_eq "streams" "video " "$streams" ;;
    3) expect_eq "streams" "video audio " "$streams" ;;
  esac

  if [ "$media" != 1 ]; then
    expect_eq "video codec" "h264" \
      "$(ffprobe "${probe_opts[@]}" -select_streams v:0 -show_entries stream=codec_name "$mp4")"
    expect_eq "video size" "${width}x${height}" \
      "$(ffprobe "${probe_opts[@]}" -select_streams v:0 -show_entries stream=width,height "$mp4" | paste -sd x)"

    # The pictures' time stamps relative to the first one, as recorded.
    local expected actual
    expected=$(awk '$1 == "video" && $3 == 1 { if (!n++) t0 = $2; print $2 - t0 }' "$boxes")
    actual=$(ffprobe -v error -select_streams v:0 -show_entries frame=pts -of csv=p=0 "$mp4" | sed 's/,*$//')
    expect_eq "decoded frames" "$(grep -c . <<<"$expected")" "$(grep -c . <<<"$actual")"
    if [ "$expected" != "$actual" ]; then
      fail "frame time stamps differ from the QBox time stamps: $(diff <(echo "$expected") <(echo "$actual") | head -5 | tr '\n' ' ')"
    fi
    expect_eq "video time base" "1/90000" \
      "$(ffprobe "${probe_opts[@]}" -select_streams v:0 -show_entries stream=time_base "$mp4")"
    if [ "$(grep -c . <<<"$expected")" -ge 2 ]; then
      # Span of the pictures plus the last frame's duration, in 90 kHz ticks.
      local video_span
      video_span=$(awk '$1 == "video" && $3 == 1 { if (!n++) t0 = $2; if ($2 != last) { gap = $2 - last; last = $2 } }
                        END { print last - t0 + gap }' "$boxes")
      expect_eq "video track duration" "$video_span" \
        "$(ffprobe "${probe_opts[@]}" -select_streams v:0 -show_entries stream=duration_ts "$mp4")"
    fi
  fi

  if [ "$media" != 2 ]; then
    expect_eq "audio codec" "aac" \
      "$(ffprobe "${probe_opts[@]}" -select_streams a:0 -show_entries stream=codec_name "$mp4")"
    expect_eq "audio format" "48000 2" \
      "$(ffprobe "${probe_opts[@]}" -select_streams a:0 -show_entries stream=sample_rate,channels "$mp4" | paste -sd ' ')"
    local audio_boxes
    audio_boxes=$(awk '$1 == "audio"' "$boxes" | wc -l)
    expect_eq "audio packets" "$audio_boxes" \
      "$(ffprobe -v error -select_streams a:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$mp4")"
    if [ "$audio_boxes" -ge 2 ]; then
      # Span of the frames plus one frame, converted to 48 kHz samples.
      local audio_span
      audio_span=$(awk '$1 == "audio" { if (!n++) t0 = $2; gap = $2 - last; last = $2 }
                        END { print (last - t0 + gap) * 48000 / 90000 }' "$boxes")
      expect_eq "audio track duration" "$audio_span" \
        "$(ffprobe "${probe_opts[@]}" -select_streams a:0 -show_entries stream=duration_ts "$mp4")"
    fi
  fi
}
