// Real encoder output as QBox streams: Debian's ffmpeg encodes a moving test
// pattern and a tone (libx264 Baseline, AAC-LC 48 kHz stereo), and the result
// is cut into QBox samples the way the capture device delivers them.
#ifndef VOZIREV_QBOXGEN_H
#define VOZIREV_QBOXGEN_H

#include <string>

struct EncoderSettings {
    unsigned int mediaType = 3;  // 1 audio only, 2 video only, 3 audio and video
    unsigned int audioKbps = 48;
    unsigned int videoKbps = 512;
    unsigned int width = 320;
    unsigned int height = 240;
    unsigned int fps = 30;
    unsigned int gop = 30;
    unsigned int brightness = 128;  // 0..255, 128 leaves the picture as it is
    unsigned int color = 128;       // 0..255 saturation, 128 leaves it as it is
    // Test-stream shapes (qbox-encode only): the audio stamps this many
    // 90 kHz ticks after the video ones (negative: the video stamps after the
    // audio ones), and one audio frame left out (its index, -1 for none).
    long audioOffsetTicks = 0;
    long dropAudioFrame = -1;
    // Pictures as other encoders shape them: each cut into this many slices
    // (x264 "slices"; 0 leaves x264 its one slice), and every nal_ref_idc
    // the encoder wrote as non-zero made this value (1 to 3; 0 keeps x264's).
    unsigned int slices = 0;
    unsigned int nalRefIdc = 0;
};

// Encodes `seconds` of content into a QBox stream file at `path` (QBox
// samples back to back, in time-stamp order). The file is written under a
// temporary name and renamed, so concurrent callers never see half a file.
// Returns 0 on success, -1 on failure with the reason on stderr.
int EncodeQBoxStream(const EncoderSettings& settings, double seconds, const std::string& path);

// Time stamp of the first sample of every generated stream (90 kHz ticks).
const unsigned int QBOXGEN_FIRST_TIMESTAMP = 9000;

#endif
