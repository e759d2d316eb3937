// One-pass MP4 writer (ISO/IEC 14496-12, -14, and -15 for the H.264 sample
// entry). Samples are appended to "mdat" as they arrive; their sample-table
// entries are spooled as 4-byte records to seven temporary files in the
// current directory ("~temp1" .. "~temp7"); completeMP4File appends the
// "moov" box built from those files and patches the box sizes left open.
// One recording per process, kept in module-level state.
#ifndef VOZIREV_MP4WRITER_H
#define VOZIREV_MP4WRITER_H

#include <cstdio>
#include <vector>

#include "Types.h"
#include "mp4spool.h"

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
// the index needs (see mp4spool.h).

// The index reserve ("~temp.reserve", see tSpoolSetNames): zeros at least
// as large as the index the samples taken so far need, given back just
// before completion writes it.
// Index bytes per sample at most: "stts" 8, "stsz" 4, "stco" 4, "stss" 4.
const UINT64 INDEX_BYTES_PER_SAMPLE_AT_MOST = 20;
// Everything else of the index but the parameter sets, with room to spare.
const UINT64 INDEX_FIXED_BYTES_AT_MOST = 4096;
// The reserve grows by this much at a time.
const UINT32 INDEX_RESERVE_STEP = 65536;

// Why the recording stopped taking samples: 0 while it takes them, else the
// errno of what failed (ENOSPC when the disk is full). Completion resets it
// and keeps its own failure there.
extern int mp4WriteError;

// The movie time scale and the video time scale: the QBox 90 kHz clock.
const UINT32 MP4_MOVIE_TIMESCALE = 90000;
// Offsets of the file header: "ftyp", then the "mdat" header.
const UINT32 MP4_FTYP_SIZE = 24;
const UINT32 MP4_MDAT_HEADER_OFFSET = 24;
const UINT32 MP4_MDAT_DATA_OFFSET = 32;
// A sample is accepted only while it ends at or below this length, so that
// the 32-bit "mdat" size and chunk offsets stay exact.
const UINT64 MP4_MAX_FILE_LENGTH = 0xFFFFFFFEull;
// The limit in force: MP4_MAX_FILE_LENGTH, lowered only by tests.
extern UINT64 mp4MaxFileLength;

// ---- operations --------------------------------------------------------------

// Opens the recording described by root (flags and audio parameters set by
// the caller) on mp4file: builds the tracks, creates the spool files and
// writes "ftyp" and the "mdat" header. 1 ready, 0 failed (call
// deleteMP4Params then).
UINT8 createMP4Params();

// One NAL unit in start-code form (size bytes, start code included). Its
// start code is overwritten in place with the unit's length. Parameter sets
// are kept for "avcC"; slices are appended once both sets are known. Returns
// 1; a slice the recording could not take sets mp4WriteError.
UINT8 writeVideoSample(UINT8* buffer, UINT32 size, UINT32 timeStamp);

// One raw AAC frame. 1 written, 0 refused (no recording, past 4 GiB, or
// the recording no longer takes samples: see mp4WriteError).
UINT8 writeAudioSample(UINT8* buffer, UINT32 size, UINT32 timeStamp);

// Appends "moov" (movie header, object descriptor, the tracks with samples)
// and closes the output and spool files. 1 when the file is complete; 0
// when a write, seek or close failed (mp4WriteError says why).
UINT8 completeMP4File();
// Writes out the spool records gathered in memory. False when the disk did
// not take them (they stay in memory for completion).
bool flushMP4Spools();

// The recording's name, kept in its info file so that an interrupted
// recording can be rebuilt (set before createMP4Params).
void setMP4RecordingName(const char* name);
// Makes what was recorded durable: the sample data first, then the spool
// records that point at it (and the info file when it changed). 1, or 0
// when that failed (mp4WriteError says why: the recording stops).
UINT8 syncMP4Recording();
// Syncs made so far.
extern UINT32 mp4SyncCount;
// Samples the recording holds (both tracks).
UINT64 mp4SampleCount();

// Takes up the recording described by info, interrupted before completion,
// from its spool files in the current directory and its file (opened for
// reading and writing): keeps the longest run of each track's samples
// whose entries and data are whole, cuts the file and the spool files back
// to them. 1 when samples are kept (completeMP4File and deleteMP4Params
// follow), 0 when none is (the file is cut back to its 32-byte header), -1
// when the spool files cannot be read or the files cut;
// deleteMP4Params releases the state in every case.
int resumeMP4Recording(const tRecordingInfo* info, FILE* file);

// Releases root and its records, closes whatever completion left open (the
// output file included) and removes the active set's spool, info and
// reserve files.
void deleteMP4Params();

// Bytes the recording can still take below mp4MaxFileLength (0 when there
// is no recording).
UINT64 mp4BytesLeft();

// Handing a recording over to another process that completes it (a segment
// cut off while the next one records): prepareMP4Handover pushes what is
// buffered to the file (1, or 0 when that failed: the recording is
// completed here instead); the other process then has the state as it was,
// and this one calls forgetMP4Recording, which releases it without writing
// or removing anything.
UINT8 prepareMP4Handover();
void forgetMP4Recording();

// The parameter sets of one recording, given to the next (see
// seedMP4ParameterSets).
struct tMP4ParameterSets {
    std::vector<UINT8> sps;  // start code included; empty when not known
    std::vector<UINT8> pps;
};
void keepMP4ParameterSets(tMP4ParameterSets* sets);
// Gives a new recording the parameter sets of the one before it, so that
// it takes pictures before the encoder repeats them.
void seedMP4ParameterSets(const tMP4ParameterSets& sets);

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
