// Recording housekeeping: the per-sample accounting that paces the
// free-space checks, the free-space query, the completion of whichever
// recorder is active, and the ownership of the MP4 spool files.
#ifndef VOZIREV_HOUSEKEEPING_H
#define VOZIREV_HOUSEKEEPING_H

#include "captureparams.h"

// Recording needs this much free space (KiB) to start and to go on.
const unsigned int MIN_FREE_KIB = 10240;

// Free-space checks are off (non-zero) unless -q turns them on.
extern int skip_disk_check;
// 1 once a sample has been given to the MP4 writer: closecapture then
// completes the file.
extern int mp4write;
extern unsigned int ulvcount;  // video samples since the counter last wrapped
extern unsigned int ulacount;  // audio samples since the counter last wrapped

// Per-sample accounting, called for every sample read and before any route
// sees it: parses the sample's header into *pqBoxHeader, which the
// transport-stream route relies on, and advances the counters that pace the
// free-space checks.
void write_bitrate_to_file(stInputParameters* input, unsigned char* inputdata, int inputdata_length,
                           unsigned int saving);
// The counting half of it, for a sample whose header is already decoded.
void AccountSample(const stInputParameters* input, unsigned int streamType);
// True when the counters stand where the free-space figure is refreshed:
// about once a second of content for each stream.
bool FreeSpaceRefreshDue(const stInputParameters* input);
// Free bytes in the current directory for the running user (the blocks
// reserved for the superuser left out); false when the file system cannot
// be asked.
bool FreeBytesHere(unsigned long long* bytes);
// Free KiB in the current directory for the running user (at most
// INT32_MAX), 102400 while the checks are off, -1 when the file system
// cannot be asked.
int get_free_diskspace();
// Finalises the MP4 (SAVE_MP4) or transport-stream (SAVE_TS) recording and
// closes its file; an MP4 recording also gives up its spool files. 1 when
// the recording is complete, -1 when a write, seek or close failed (the
// writer's error variable says why).
int closecapture(unsigned int saving_type);
int init_sdcard();
unsigned int init_disk_write();

// The MP4 writer spools its sample tables under fixed names in the current
// directory; a run owns them while it holds the spool lock on this file.
const char* const SPOOL_LOCK_NAME = "~temp.lock";
// 1 when this run now holds the lock, 0 when another run does (or the lock
// cannot be made).
int AcquireSpoolLock();
// Gives the lock up (nothing when it is not held).
void ReleaseSpoolLock();

#endif
