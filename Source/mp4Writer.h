// One-pass MP4 writer (ISO/IEC 14496-12, -14, and -15 for the H.264 sample
// entry). Samples are appended to "mdat" as they arrive; their sample-table
// entries are spooled as 4-byte records to seven temporary files in the
// current directory ("~temp1" .. "~temp7"); completeMP4File appends the
// "moov" box built from those files and patches the box sizes left open.
// One recording per process, kept in module-level state.
#ifndef VOZIREV_MP4WRITER_H
#define VOZIREV_MP4WRITER_H

#include <cstdio>

#include "Types.h"

// ---- in-memory records (all created zero-filled) ---------------------------

// Generic box node; declared for the record layout, never created.
struct tAtom {
    UINT64 offset;
    UINT32 inBufOffset;
    UINT32 length;
    UINT32 header;
    UINT32 type;
    char typeName[4];
    UINT32 childCount;
    tAtom* siblingAtom;
    tAtom* childAtom;
};

struct tMVHD {
    UINT8 version;
};

struct tTKHD {
    UINT8 version;
};

struct tMDHD {
    UINT32 m_scale;
    UINT64 m_duration;
    UINT64 m_tDuration;
};

struct tSTTS {
    UINT32 numEntries;  // durations spooled
    UINT32* sampleDuration;
    UINT8 samplTblValid;
    tAtom* sttsAtom;
};

struct tSample2chunkTbl {
    UINT32 firstChunk;
    UINT32 samplesPerChunk;
    UINT32 sampleID;  // sample description index
    UINT32 firstSampleNum;
    UINT32 lastSampleNum;
};

struct tSTSC {
    UINT32 entriesSTSC;
    tSample2chunkTbl* sample2chunkTbl;
};

struct tSTSZ {
    UINT32 numSamples;  // sizes spooled
    UINT32 fixedSize;
    UINT32 maxSize;
    UINT32* sampleSizeTbl;
};

struct tSTCO {
    UINT32 nChunks;  // chunk offsets spooled
    UINT32* chunkOffsetTbl32;
    UINT64* chunkOffsetTbl64;
};

struct tSTSS {
    UINT32 nEntries;  // sync-sample numbers spooled
    UINT32* IDRSampleNum;
};

struct tSTBL {
    tSTSZ* stsz;
    UINT8 FlagSTZ2;
    tSTSC* stsc;
    tSTCO* stco;
    UINT8 FlagCO64;
    tSTTS* stts;
    tSTSS* stss;  // video only
};

struct tMINF {
    tSTBL* stbl;
};

struct tMDIA {
    tMDHD* mdhd;
    tMINF* minf;
};

struct tTrack {
    UINT8 trackType;
    tTKHD* tkhd;
    tMDIA* mdia;
    tAtom* trackAtomPtr;
    UINT32 width;   // pixels, from the sequence parameter set
    UINT32 height;  // pixels
    UINT8 PPSSetFlag;
    UINT8 SPSSetFlag;
    UINT8* spsBuffer;  // latest SPS, start code included
    UINT8* ppsBuffer;  // latest PPS, start code included
    UINT32 ppsLength;
    UINT32 spsLength;
};

struct tAVCInfo {
    UINT8 profile;
    UINT8 level;
    UINT8 sizeOfLengthField;
};

struct tSampleBuf {
    UINT8* data;
    UINT32 length;
};

struct tSPSBuf {
    UINT8* data;
    UINT32 length;
    UINT32 max_length;
};

struct tRootAtom {
    UINT64 fileLength;  // bytes written so far = offset of the next byte
    UINT8 audioConfigSet;
    tAtom* atoms;
    tMVHD* mvhd;
    tTrack* videoTrack;  // exists when VideoPresentFlag is set
    tTrack* audioTrack;  // exists when AudioPresentFlag is set
    tTrack* tempTrack;
    tTrack* allTracks;
    UINT16 trackCount;
    UINT8 VideoPresentFlag;
    UINT8 AudioPresentFlag;
    tAVCInfo videoInfo;
    tSampleBuf* outBuf;
    tSPSBuf spsBuffer;
    UINT16 numAudioChannels;
    UINT16 audioBitsPerSample;
    UINT32 audioFrequency;  // Hz; also the audio time scale
};

// ---- module state ------------------------------------------------------------

extern tRootAtom* root;  // allocated by the caller, released by deleteMP4Params
extern FILE* mp4file;    // opened "wb" by the caller; the writer closes it

extern UINT32 currTimeStampVid;  // 90 kHz
extern UINT32 prevTimeStampVid;
extern UINT32 firstTimeStampVid;  // 90 kHz, of the first accepted video sample
extern UINT64 durationTimeVid;  // 90 kHz, sum of the spooled video durations
extern UINT32 currTimeStampAud;  // 90 kHz
extern UINT32 prevTimeStampAud;
extern UINT32 firstTimeStampAud;  // 90 kHz, of the first audio sample
// The sums are 64-bit: at 90 kHz a 32-bit duration overflows after 13.25 hours.
extern UINT64 durationTimeAud;            // audio samples
extern UINT64 durationTimeAudonVidScale;  // 90 kHz
extern UINT32 videoTrakSize;
extern UINT32 lengthIODSAtom;

// Each track's durations are spooled one sample late: a sample lasts until
// the next one of its track begins, so its duration is spooled when that
// sample arrives, and completion adds the last one (video: the last non-zero
// gap; audio: one AAC frame). Audio durations are the stamps' differences
// converted to audioFrequency with integer arithmetic, so they add up to the
// stamps. With firstTimeStampVid and firstTimeStampAud the spools hold all
// the index needs.
extern FILE* sttsAudFile;  // "~temp1" audio durations
extern FILE* stcoAudFile;  // "~temp2" audio chunk offsets
extern FILE* stszAudFile;  // "~temp3" audio sample sizes
extern FILE* sttsVidFile;  // "~temp4" video durations
extern FILE* stcoVidFile;  // "~temp5" video chunk offsets
extern FILE* stszVidFile;  // "~temp6" video sample sizes
extern FILE* stssVidFile;  // "~temp7" video sync-sample numbers

// The movie time scale and the video time scale: the QBox 90 kHz clock.
const UINT32 MP4_MOVIE_TIMESCALE = 90000;
// Offsets of the file header: "ftyp", then the "mdat" header.
const UINT32 MP4_FTYP_SIZE = 24;
const UINT32 MP4_MDAT_HEADER_OFFSET = 24;
const UINT32 MP4_MDAT_DATA_OFFSET = 32;
// A sample is accepted only while it ends at or below this length, so that
// the 32-bit "mdat" size and chunk offsets stay exact.
const UINT64 MP4_MAX_FILE_LENGTH = 0xFFFFFFFEull;

// ---- operations --------------------------------------------------------------

// Opens the recording described by root (flags and audio parameters set by
// the caller) on mp4file: builds the tracks, creates the spool files and
// writes "ftyp" and the "mdat" header. 1 ready, 0 failed (call
// deleteMP4Params then).
UINT8 createMP4Params();

// One NAL unit in start-code form (size bytes, start code included). Its
// start code is overwritten in place with the unit's length. Parameter sets
// are kept for "avcC"; slices are appended once both sets are known. Returns 1.
UINT8 writeVideoSample(UINT8* buffer, UINT32 size, UINT32 timeStamp);

// One raw AAC frame. 1 written, 0 refused (no recording, or past 4 GiB).
UINT8 writeAudioSample(UINT8* buffer, UINT32 size, UINT32 timeStamp);

// Appends "moov" (movie header, object descriptor, the tracks) and closes
// the output and spool files.
void completeMP4File();

// Releases root and its records, closes whatever completion left open (the
// output file included) and removes the seven spool files.
void deleteMP4Params();

// Track writers used by completeMP4File: each appends its "trak" and patches
// the sizes of "mdat", "moov" and its own open boxes.
void writeVideoTrackAtom(UINT32 mdatAtomSize, UINT32 moovOffset);
void writeAudioTrackAtom(UINT32 mdatAtomSize, UINT32 moovOffset);

// Output primitives. longWrite appends val big-endian and advances
// fileLength; longReplace overwrites 4 bytes at the current position.
void longWrite(UINT32 val, FILE* ptr);
void longReplace(UINT32 val, FILE* ptr);
// The 4 bytes at pByte read big-endian.
UINT32 swapBytes(UINT8* pByte);
void writeFtypAtom();

#endif
