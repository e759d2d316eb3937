// The MP4 writer's boxes: the file header ("ftyp", writeFtypAtom in
// mp4Writer.h) and the index ("moov" with its track boxes, ISO/IEC 14496-12
// 8.2 to 8.7; "iods" of ISO/IEC 14496-14; "avc1"/"avcC" of ISO/IEC 14496-15;
// "mp4a"/"esds" of ISO/IEC 14496-14 and -3), built from the tracks' sample
// tables, the time line and the codec descriptions.
#ifndef VOZIREV_MP4BOXES_H
#define VOZIREV_MP4BOXES_H

#include "Types.h"

// What completion decided: the tracks written and where each starts.
struct tMoovPlan {
    bool bVideo;
    bool bAudio;
    UINT64 ullVideoStart;    // movie ticks after the earlier track's start (0 for it)
    UINT64 ullAudioStart;
    UINT64 ullMovieDuration; // movie ticks: the longest track with its start
};

// Appends "moov" for the plan's tracks; the spools of a track written are
// closed after it.
void writeMoovAtom(const tMoovPlan* pPlan);

// Whether bytes (MP4_MDAT_DATA_OFFSET of them) begin as the writer begins
// every recording: its "ftyp" box and the header of "mdat".
bool beginsAsWritten(const UINT8* head);

#endif
