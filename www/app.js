// The live view: plays /live.m3u8 (hls.js, or the browser's own HLS where
// it has it) once the server has segments, and shows /status every second.
// window.vozirev holds what a test reads: the player and the latency from
// a sample leaving the device to its picture on the page (the playlist's
// EXT-X-PROGRAM-DATE-TIME against the clock).
'use strict';
const vozirev = { hls: null, latencyMs: null, status: null };
window.vozirev = vozirev;
const PLAYLIST = 'live.m3u8';
const SEGMENTS_BEFORE_PLAYING = 3;

function text(id, value) {
  document.getElementById(id).textContent = value;
}

function rate(medium) {
  return medium.samples_per_second.toFixed(1) + ' /s, ' + (medium.bits_per_second / 1000).toFixed(0) + ' kbit/s';
}

function showStatus(s) {
  const e = s.encoder;
  text('uptime', s.uptime.toFixed(0) + ' s');
  text('encoder', e.media + ', ' + e.width + 'x' + e.height + ' at ' + e.frame_rate + ' fps, ' +
       e.video_bitrate_kbps + ' + ' + e.audio_bitrate_kbps + ' kbit/s, I-frame every ' + e.iframe_interval);
  text('video-rate', rate(s.video));
  text('video-samples', s.video.samples);
  text('audio-rate', rate(s.audio));
  text('audio-samples', s.audio.samples);
  text('read-gap', s.device.longest_read_gap_ms.toFixed(1) + ' ms');
  const r = s.recording;
  text('recording', r.active ? r.file + ', ' + (r.size / 1048576).toFixed(1) + ' MiB, ' + r.duration.toFixed(0) +
       ' s, file ' + r.files : 'not recording');
  text('free', r.free_bytes === null ? '-' : (r.free_bytes / 1048576).toFixed(0) + ' MiB');
  text('sessions', s.rtsp.sessions);
  text('version', s.version);
}

function startPlayer() {
  const video = document.getElementById('video');
  if (window.Hls && Hls.isSupported()) {
    const hls = new Hls({ liveSyncDurationCount: 2, liveMaxLatencyDurationCount: 5, enableWorker: true });
    vozirev.hls = hls;
    hls.on(Hls.Events.ERROR, function (event, data) {
      if (data.fatal && data.type === Hls.ErrorTypes.NETWORK_ERROR) {
        hls.startLoad();
      } else if (data.fatal) {
        hls.recoverMediaError();
      }
    });
    hls.loadSource(PLAYLIST);
    hls.attachMedia(video);
  } else if (video.canPlayType('application/vnd.apple.mpegurl')) {
    video.src = PLAYLIST;
  }
  video.play().catch(function () {});
  text('state', 'live');
}

function measureLatency() {
  const hls = vozirev.hls;
  const shown = hls ? hls.playingDate : document.getElementById('video').getStartDate?.();
  if (shown && !isNaN(shown.getTime())) {
    vozirev.latencyMs = Date.now() - shown.getTime();
    text('latency', 'latency: ' + (vozirev.latencyMs / 1000).toFixed(2) + ' s from the device to this picture');
  }
}

async function poll() {
  try {
    const response = await fetch('status', { cache: 'no-store' });
    if (response.ok) {
      vozirev.status = await response.json();
      showStatus(vozirev.status);
      if (!vozirev.started && vozirev.status.http.live_segments >= SEGMENTS_BEFORE_PLAYING) {
        vozirev.started = true;
        startPlayer();
      }
    }
  } catch (e) {
    text('state', 'no answer');
  }
  measureLatency();
}

poll();
setInterval(poll, 1000);
