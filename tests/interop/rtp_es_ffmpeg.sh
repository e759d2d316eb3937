#!/usr/bin/env bash
# Streams real encoder output (the shared QBox test streams) to loopback as RTP
# elementary streams through QBox2Streaming, in real time, while ffmpeg
# receives them with the session description from vozirev-sdp and records
# them, and GStreamer (rtph264depay, rtpmp4gdepay) decodes them; rtp_tee
# hands each datagram to both. The recording must decode without error:
# H.264 at the stream's picture size with every picture sent, AAC with every
# frame sent; GStreamer must decode every picture and frame without a
# warning; and stream_check finds one marker per picture, every NAL unit
# rebuilt as sent (FU-A headers with their NRI), every AAC time stamp at its
# frame's QBox stamp.
set -euo pipefail
: "${VOZIREV_BIN:?}" "${VOZIREV_CORPUS:?}"

source "$(dirname "${BASH_SOURCE[0]}")/rtp_common.bash"
source "$(dirname "${BASH_SOURCE[0]}")/media_checks.bash"

# stream file, media type (-m), expected picture size or "" for audio only
check_stream() {
  local name=$1 media=$2 size=$3
  local dir=$work/$name
  mkdir -p "$dir"
  local vport aport
  vport=$(pick_ports)
  aport=$((vport + 2))

  "$VOZIREV_BIN/vozirev-sdp" -s 1 -m "$media" -d 127.0.0.1 -x "$vport" -y "$aport" > "$dir/stream.sdp"

  local want=$vport
  [ "$media" = 1 ] && want=$aport
  start_receiver "$dir/stream.sdp" "$dir/received.mkv" "$want"
  local tport gport
  tport=$(pick_ports)
  gport=$(pick_ports)
  gst_receiver_start 1 "$media" "$gport" $((gport + 2)) "$dir/gst.log"
  start_tee "$dir/capture" "$tport" "$vport" "$gport" $((tport + 2)) "$aport" $((gport + 2))

  local sent
  sent=$("$VOZIREV_BIN/rtp-send-qbox" "$VOZIREV_CORPUS/$name.qbox" 127.0.0.1 "$tport" $((tport + 2)) 0)
  local pictures audio_frames
  pictures=$(sed -n 's/.*pictures=\([0-9]*\).*/\1/p' <<<"$sent")
  audio_frames=$(sed -n 's/.*audio_frames=\([0-9]*\).*/\1/p' <<<"$sent")

  wait_receiver "$dir/received.mkv"
  gst_receiver_stop
  stop_tee
  CHECK_LABEL=$name
  expect_eq "GStreamer warnings" "" "$(gst_warnings "$dir/gst.log")"
  local gst_expected=
  [ "$media" != 2 ] && gst_expected="a $audio_frames"
  [ "$media" != 1 ] && gst_expected="${gst_expected:+$gst_expected$'\n'}v $pictures"
  check_gst_stream_frames "$gst_expected" "$dir/gst.log"
  local vcap=- acap=-
  [ "$media" != 1 ] && vcap=$dir/capture.$tport
  [ "$media" != 2 ] && acap=$dir/capture.$((tport + 2))
  expect_eq "stream_check rtp-es" "ok" "$("$VOZIREV_BIN/stream_check" rtp-es "$VOZIREV_CORPUS/$name.qbox" "$vcap" "$acap")"

  local video audio
  video=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=codec_name,width,height,nb_read_frames \
            -of compact=p=0 "$dir/received.mkv")
  audio=$(ffprobe -v error -count_frames -select_streams a -show_entries stream=codec_name,nb_read_frames \
            -of compact=p=0 "$dir/received.mkv")
  echo "$name: sent $sent; received video: ${video:-none}; audio: ${audio:-none}"

  local errors
  errors=$(ffmpeg -nostdin -v error -i "$dir/received.mkv" -f null - 2>&1 || echo "decoder exit status $?")
  [ -z "$errors" ] || fail "$name: decoding errors: $errors"

  if [ -n "$size" ]; then
    [ "$pictures" -gt 0 ] || fail "$name: no pictures sent"
    [ "$(field codec_name "$video")" = h264 ] || fail "$name: no H.264 stream received"
    [ "$(field width "$video")x$(field height "$video")" = "$size" ] || fail "$name: picture size is not $size"
    [ "$(field nb_read_frames "$video")" = "$pictures" ] || fail "$name: $pictures pictures sent, other count decoded"
  else
    [ -z "$video" ] || fail "$name: unexpected video stream"
  fi
  if [ "$media" != 2 ]; then
    [ "$audio_frames" -gt 0 ] || fail "$name: no audio frames sent"
    [ "$(field codec_name "$audio")" = aac ] || fail "$name: no AAC stream received"
    [ "$(field nb_read_frames "$audio")" = "$audio_frames" ] || fail "$name: $audio_frames AAC frames sent, other count decoded"
  else
    [ -z "$audio" ] || fail "$name: unexpected audio stream"
  fi
}

check_stream av_320x240_30fps_gop30 3 320x240
check_stream av_720x576_25fps_gop12 3 720x576
check_stream av_720x480_15fps_gop5 3 720x480
check_stream v_352x288_30fps_gop10 2 352x288
check_stream a_only 1 ""
check_stream av_320x240_25fps_audio_late 3 320x240
check_stream av_176x144_5fps_video_late 3 176x144
check_stream av_320x240_30fps_audio_lost 3 320x240
checks_done "PASS"
