// Shared by the benchmarks: a QBox stream file loaded once and replayed in
// memory, looped with continuous time stamps, for as many minutes of
// content as a run asks.
#ifndef VOZIREV_BENCH_REPLAY_H
#define VOZIREV_BENCH_REPLAY_H

#include <cstdio>
#include <cstring>
#include <vector>

#include "QBox.h"
#include "devicereader.h"

namespace bench {

const UINT32 AUDIO_FRAME_TICKS = 1920;  // 1024 samples at 48 kHz
const double TICKS_PER_MINUTE = 60.0 * QBOX_CLOCK_HZ;

struct Stream {
    std::vector<UINT8> bytes;      // the boxes back to back
    std::vector<size_t> offsets;   // start of each box
    UINT32 videoGap = 0;           // ticks between pictures
    unsigned int mediaFormat = 0;  // 1 audio, 2 video, 3 both
    bool leadingParameterSets = false;  // first box: SPS and PPS, no picture
    UINT64 pictures = 0;           // picture boxes per loop
    UINT64 audioFrames = 0;        // audio boxes per loop
};

// True when a video payload holds a slice NAL unit (type 1 or 5).
inline bool HoldsPicture(const UINT8* payload, UINT32 size)
{
    for (UINT32 pos = 0; pos + 5 <= size;) {
        UINT32 len = ReadBE32(payload + pos);
        if (len == 0 || len > size - pos - 4) {
            break;
        }
        UINT8 type = payload[pos + 4] & 0x1F;
        if (type == 1 || type == 5) {
            return true;
        }
        pos += 4 + len;
    }
    return false;
}

inline bool LoadStream(const char* path, Stream* s)
{
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        perror(path);
        return false;
    }
    UINT8 chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) {
        s->bytes.insert(s->bytes.end(), chunk, chunk + n);
    }
    fclose(f);

    bool audio = false, video = false;
    UINT32 firstVideo = 0, videoBoxes = 0;
    for (size_t pos = 0; pos + QBOX_HEADER_SIZE <= s->bytes.size();) {
        QBox h;
        DecodeQBoxHeader(&s->bytes[pos], &h);
        if (h.ulBoxSize < QBOX_HEADER_SIZE || pos + h.ulBoxSize > s->bytes.size() || h.ulBoxSize > SAMPLE_BUFFER_SIZE) {
            fprintf(stderr, "%s: malformed box at %zu\n", path, pos);
            return false;
        }
        s->offsets.push_back(pos);
        if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
            video = true;
            if (!HoldsPicture(&s->bytes[pos + QBOX_HEADER_SIZE], h.ulBoxSize - QBOX_HEADER_SIZE)) {
                s->leadingParameterSets = s->leadingParameterSets || pos == 0;
            } else {
                s->pictures++;
            }
            if (videoBoxes++ == 0) {
                firstVideo = h.ulSampleCts;
            } else if (s->videoGap == 0 && h.ulSampleCts != firstVideo) {
                s->videoGap = h.ulSampleCts - firstVideo;
            }
        } else if (h.usSampleStreamType == QBOX_STREAM_AUDIO) {
            audio = true;
            s->audioFrames++;
        }
        pos += h.ulBoxSize;
    }
    s->mediaFormat = (audio ? 1 : 0) + (video ? 2 : 0);
    return s->mediaFormat != 0 && (!video || s->videoGap != 0);
}

// Replays the stream with continuous time stamps: the n-th picture box at
// n video gaps, the n-th audio frame at n audio frames. The leading box that
// only carries the parameter sets is played once. Calls sink(buffer, size)
// for every box copied into the sample buffer; returns the bytes fed.
template <typename Sink>
UINT64 Replay(const Stream& s, double minutes, UINT8* buffer, Sink sink)
{
    const UINT32 base = 900000;
    const double end = minutes * TICKS_PER_MINUTE;
    UINT64 videoCount = 0, audioCount = 0, fed = 0;
    for (bool firstLoop = true;; firstLoop = false) {
        for (size_t offset : s.offsets) {
            QBox h;
            DecodeQBoxHeader(&s.bytes[offset], &h);
            bool parameterSetBox = s.leadingParameterSets && offset == 0;
            if (parameterSetBox && !firstLoop) {
                continue;
            }
            double t;
            if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
                t = (double)videoCount * s.videoGap;
                if (!parameterSetBox) {
                    videoCount++;
                }
            } else {
                t = (double)audioCount++ * AUDIO_FRAME_TICKS;
            }
            if (t >= end) {
                return fed;
            }
            memcpy(buffer, &s.bytes[offset], h.ulBoxSize);
            WriteBE32(buffer + 20, base + (UINT32)(UINT64)t);
            sink(buffer, h.ulBoxSize);
            fed += h.ulBoxSize;
        }
    }
}

}  // namespace bench

#endif
