// One-pass MP4 writer (ISO/IEC 14496-12, -14, and -15 for the H.264 sample
// entry). Samples are appended to "mdat" as they arrive, one picture (an
// access unit, ISO/IEC 14496-15 5.3.2) or one AAC frame per sample; their
// sample-table entries are spooled as 4-byte records to seven temporary
// files in the current directory ("~temp1" .. "~temp7"); completeMP4File
// appends the "moov" box built from those files and the codec descriptions
// and patches the size of "mdat". One recording per process, kept in
// module-level state.
//
//   mp4Writer.cpp   the recording: opening, samples, completion, release
//   mp4boxes.cpp    "ftyp", "moov" and the track boxes
//   mp4spool.cpp    the sample tables and their spool files
//   mp4reserve.cpp  the index reserve
//   mp4durable.cpp  the info file and syncMP4Recording
//   recovery.cpp    the resume of an interrupted recording
#ifndef VOZIREV_MP4WRITER_H
#define VOZIREV_MP4WRITER_H

#include <cstdio>

#include "Types.h"
#include "codecs.h"
#include "mp4reserve.h"  // the reserve's sizes, for callers that count disk space
#include "mp4spool.h"

struct tSample;

// ---- the recording (created zero-filled by the caller) -----------------------

struct tRootAtom {
    UINT64 fileLength;   // bytes written so far = offset of the next byte
    tTrack* videoTrack;  // exists when VideoPresentFlag is set
    tTrack* audioTrack;  // exists when AudioPresentFlag is set
    UINT8 VideoPresentFlag;
    UINT8 AudioPresentFlag;
    // The descriptions the sample entries are built from: the parameter
    // sets in force and the picture size ("avcC", "avc1", "tkhd"), the AAC
    // configuration ("esds", "mp4a", the audio time scale). Left null, they
    // are the run's (RunVideoCodec, RunAudioCodec); the resume of an
    // interrupted recording gives ones built from its info file.
    tVideoCodec* pVideoCodec;
    const tAudioCodec* pAudioCodec;
};

// ---- module state ------------------------------------------------------------

extern tRootAtom* root;  // allocated by the caller, released by deleteMP4Params
extern FILE* mp4file;    // opened "wb" by the caller; the writer closes it

extern UINT32 prevTimeStampVid;   // 90 kHz, of the latest accepted video sample
extern UINT32 firstTimeStampVid;  // 90 kHz, of the first accepted video sample
extern UINT64 durationTimeVid;    // 90 kHz, sum of the spooled video durations
extern UINT32 prevTimeStampAud;   // 90 kHz
extern UINT32 firstTimeStampAud;  // 90 kHz, of the first audio sample
// The sums are 64-bit: at 90 kHz a 32-bit duration overflows after 13.25 hours.
extern UINT64 durationTimeAud;            // audio samples
extern UINT64 durationTimeAudonVidScale;  // 90 kHz

// Each track's durations are spooled one sample late: a sample lasts until
// the next one of its track begins, so its duration is spooled when that
// sample arrives, and completion adds the last one (video: the last non-zero
// gap; audio: one AAC frame). Audio durations are the stamps' differences
// converted to the AAC sampling rate with integer arithmetic, so they add up
// to the stamps. With firstTimeStampVid and firstTimeStampAud the spools
// hold all the index needs (see mp4spool.h).

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

// Opens the recording described by root (flags set by the caller) on
// mp4file: builds the tracks, creates the spool files and writes "ftyp" and
// the "mdat" header. 1 ready, 0 failed (call deleteMP4Params then).
UINT8 createMP4Params();

// One picture: every NAL unit of the sample but the parameter sets (which
// "avcC" holds), SEI included, as one sample at the sample's stamp, each
// unit behind its 4-byte length as it lies in the sample's buffer; a sync
// sample when it holds an IDR slice. 1 recorded; 0 not: a sample without a
// picture, a picture before both parameter sets are known (dropped), or
// one the recording could not take (mp4WriteError says why).
UINT8 writeVideoAccessUnit(const tSample* pSample);

// One NAL unit in start-code form (size bytes, start code included; the
// buffer is not changed). A parameter set updates the video description;
// any other unit is recorded as a one-unit access unit as above. Returns 1.
UINT8 writeVideoSample(const UINT8* buffer, UINT32 size, UINT32 timeStamp);

// One raw AAC frame. 1 written, 0 refused (no recording, past 4 GiB, or
// the recording no longer takes samples: see mp4WriteError).
UINT8 writeAudioSample(const UINT8* buffer, UINT32 size, UINT32 timeStamp);

// The most a sample can add to the disk: its data in "mdat", its spool
// records and the growth of the index reserve (0 when there is no
// recording to take it).
UINT64 mp4BytesAtMost(const tSample* pSample);

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

// Output primitives. longWrite appends val big-endian and advances
// fileLength; longReplace overwrites 4 bytes at the current position.
void longWrite(UINT32 val);
void longReplace(UINT32 val);
// The 4 bytes at pByte read big-endian.
UINT32 swapBytes(const UINT8* pByte);
// The file header box (mp4boxes.cpp).
void writeFtypAtom();

// ---- for the writer's own files ----------------------------------------------
//
// Every write and seek of the recording is checked. The first failure is
// kept in mp4WriteError (like a stream's error flag): later writes are not
// attempted, and completion reports it.

bool mp4OutputFailed();
// Keeps error (EIO for 0) unless a failure is kept already.
void mp4FailOutput(int error);
// Appends size bytes and advances fileLength; false when they did not all go.
bool mp4Append(const UINT8* data, UINT32 size);
// Pushes what the stream holds to the file; false when that failed.
bool mp4FlushOutput();
// Pushes the samples in the stream's buffer to the file (they wait there
// between pushes, up to 256 KiB). False when the disk refused them: the
// recording has gone back to the last push that reached the file, and
// mp4WriteError says why.
bool mp4PushSamples();
// A box whose size depends on what follows its header: mp4OpenBox writes
// the header and returns its offset, mp4CloseBox patches its size to end
// at the current end of the file (ISO/IEC 14496-12, 4.2).
UINT64 mp4OpenBox(UINT32 type);
void mp4CloseBox(UINT64 boxOffset);
// The video and audio descriptions in force for the recording.
const tVideoCodec* mp4VideoCodec();
const tAudioCodec* mp4AudioCodec();
// Builds the tracks root's flags ask for on their spools, opened emptied
// (a new recording) or as they are (a resumed one), with a fresh time
// line. False when a spool cannot be opened.
bool mp4OpenTracks(bool truncate);

#endif
