// The MP4 writer's sample tables and their spool files: the sample-table
// entries of a recording, one 4-byte host-order record per entry, in files
// next to it ("~temp1" to "~temp7"). Records are gathered in memory and written out a block at a
// time, or only when the recording is made durable (see
// spoolsHeldForSync); a block the disk does not take stays in memory, so
// every record is known to completion whatever the disk did. After a crash
// the files hold the entries of every sample made durable.
#ifndef VOZIREV_MP4SPOOL_H
#define VOZIREV_MP4SPOOL_H

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "Types.h"

const UINT32 SPOOL_RECORD_SIZE = 4;
// Records written out at a time when the recording is not made durable.
const UINT32 SPOOL_BLOCK_RECORDS = 1024;
const size_t SPOOL_COUNT = 7;

// The names of one set of spool files: "<prefix>1" to "<prefix>7", the info
// file "<prefix>.info" (written as "<prefix>.info.new" first) and the index
// reserve "<prefix>.reserve". There are two sets, "~temp" and "~temp-b":
// while a finished segment's index is written in the background under one,
// the next segment records under the other.
const size_t SPOOL_NAME_SIZE = 24;
struct tSpoolSetNames {
    char spool[SPOOL_COUNT][SPOOL_NAME_SIZE];  // durations, offsets, sizes (audio, then video), sync samples
    char info[SPOOL_NAME_SIZE];
    char infoNew[SPOOL_NAME_SIZE];
    char reserve[SPOOL_NAME_SIZE];
};
const unsigned int SPOOL_SET_COUNT = 2;
const char* const SPOOL_SET_PREFIXES[SPOOL_SET_COUNT] = {"~temp", "~temp-b"};

const tSpoolSetNames* spoolSetNames(unsigned int set);
// The set the spools, the info file and the index reserve are opened under
// from now on (set 0 until changed); a spool already open keeps its file.
void useSpoolSet(unsigned int set);
unsigned int activeSpoolSet();
const tSpoolSetNames* activeSpoolNames();

// Records read back from the file a block at a time (completion copies
// whole tables): the block last read.
const UINT32 SPOOL_READ_BLOCK_RECORDS = 1024;

struct tSpool {
    const char* name;
    int fd;                       // -1 when not open
    UINT32 written;               // records in the file
    std::vector<UINT32> pending;  // records gathered, not yet in the file
    bool unsynced;                // the file changed since it was last made durable
    mutable UINT32 readFirst;     // the block read: its first record, and how many
    mutable UINT32 readCount;
    mutable UINT32 readBlock[SPOOL_READ_BLOCK_RECORDS];
};

extern tSpool* const sttsAudFile;  // "~temp1" audio durations
extern tSpool* const stcoAudFile;  // "~temp2" audio chunk offsets
extern tSpool* const stszAudFile;  // "~temp3" audio sample sizes
extern tSpool* const sttsVidFile;  // "~temp4" video durations
extern tSpool* const stcoVidFile;  // "~temp5" video chunk offsets
extern tSpool* const stszVidFile;  // "~temp6" video sample sizes
extern tSpool* const stssVidFile;  // "~temp7" video sync-sample numbers
extern tSpool* const spoolFiles[SPOOL_COUNT];  // in the order of tSpoolSetNames::spool

// True while the recording is made durable at intervals: records are then
// written out only by syncSpools, after the sample data they point at has
// reached the disk. False: a full block is written out at once.
extern bool spoolsHeldForSync;

// Opens the spool file (never through a link), emptied (truncate) or kept
// as it is; false with errno when it cannot be.
bool openSpool(tSpool* spool, bool truncate);
// Closes the file and forgets the records held in memory.
void closeSpool(tSpool* spool);
// Appends a record. False (with errno) when a block the spool had to write
// out was refused; the record is kept in memory all the same.
bool appendRecord(tSpool* spool, UINT32 value);
UINT32 spoolRecords(const tSpool* spool);
// Record number index (from 0), from the file or from memory; 0 past the end.
UINT32 readRecordAt(const tSpool* spool, UINT32 index);
// Replaces record number index; false (errno) when the file refused it.
bool writeRecordAt(tSpool* spool, UINT32 index, UINT32 value);
// Writes out the records held in memory; false (errno) when the disk did
// not take them: they stay in memory, the file keeps its whole records.
bool flushSpool(tSpool* spool);
// Writes out every open spool's records and makes the files durable.
// False (errno) at the first failure.
bool syncSpools();
// Keeps only the first count records (in the file and in memory).
bool cutSpool(tSpool* spool, UINT32 count);

// ---- the sample tables of a track ---------------------------------------------
//
// One sample per chunk ("stsc" says so once), so a track spools one size
// ("stsz") and one chunk offset ("stco") per sample, the durations
// ("stts" sample_delta, one sample late: see mp4Writer.h) and, for video,
// the numbers of the sync samples ("stss"). ISO/IEC 14496-12, 8.6.1, 8.6.2,
// 8.7.3 to 8.7.5.
struct tTrack {
    tSpool* pDurations;
    tSpool* pSizes;
    tSpool* pOffsets;
    tSpool* pSyncSamples;  // video; null for audio
    UINT32 ulSamples;      // sizes and offsets spooled
    UINT32 ulDurations;    // durations spooled
    UINT32 ulSyncSamples;  // sync-sample numbers spooled
};

// A track on its spools (the audio set or the video set), opened emptied
// or as they are; false (errno) when one cannot be.
bool openTrack(tTrack* track, bool video, bool truncate);
void closeTrack(tTrack* track);
// Each appends a record and counts it; false (errno) when a block the spool
// had to write out was refused (the record is kept in memory all the same).
bool spoolSampleEntry(tTrack* track, UINT32 size, UINT32 offset);
bool spoolDuration(tTrack* track, UINT32 duration);
// The track's latest sample is a sync sample.
bool spoolSyncSample(tTrack* track);
// Keeps the first samples entries and durations and syncSamples sync-sample
// numbers; false (errno) when a file could not be cut.
bool cutTrack(tTrack* track, UINT32 samples, UINT32 durations, UINT32 syncSamples);

// Writes size bytes at offset, going on after partial writes. False (errno;
// ENOSPC for a write that wrote nothing) when they did not all go.
bool writeAll(int fd, const UINT8* data, size_t size, off_t offset);

#endif
