// The MP4 writer's durability protocol. syncMP4Recording (mp4Writer.h)
// makes the sample data durable, then the spool records that point at it.
// Beside the spool files, the info file ("~temp.info") keeps what
// completion needs beyond the records: the recording's name, its tracks,
// the audio settings, the parameter sets and each track's first stamp. It
// is replaced as a whole (written under a temporary name, made durable,
// renamed) whenever that changes, before the first sample that needs it,
// so an interrupted recording can always be rebuilt from what is on the
// disk.
#ifndef VOZIREV_MP4DURABLE_H
#define VOZIREV_MP4DURABLE_H

#include <cstddef>
#include <vector>

#include "Types.h"

// Names that hold a recording's name: "./" + 255 characters + extension.
const size_t RECORDING_NAME_SIZE = 272;

struct tRecordingInfo {
    char name[RECORDING_NAME_SIZE];  // the recording file
    bool video;
    bool audio;
    UINT32 audioFrequency;  // Hz
    UINT16 audioChannels;
    UINT16 audioBitsPerSample;
    std::vector<UINT8> sps;  // NAL units, start code included
    std::vector<UINT8> pps;
    UINT32 firstVideoStamp;  // 90 kHz, of each track's first sample (0 before it)
    UINT32 firstAudioStamp;
};

// Replaces the active set's info file durably; false (errno) when it could
// not be.
bool writeRecordingInfo(const tRecordingInfo* info);
// Reads the active set's info file; false when it is missing, cut short or
// not one.
bool readRecordingInfo(tRecordingInfo* info);

// What the info file holds changed (a new recording, a track's first
// stamp): it is written before the next sample.
void mp4InfoChanged();
// Writes the info file when the recording changed since it was written,
// the video description included (its ulVersion). False, with the error
// kept in mp4WriteError, when the disk refused it.
bool mp4StoreInfo();
// The info file on the disk is the recording's as it stands (a resumed
// recording, or a released one).
void mp4InfoSettled();

#endif
