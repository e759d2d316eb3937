// Recording housekeeping: per-sample accounting, free space, completion of
// the recorder and ownership of the MP4 spool files.
#include "housekeeping.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "QBoxParser.h"
#include "mp4Writer.h"
#include "mpgTSWriter.h"
#include "safefile.h"

int skip_disk_check = 1;
int mp4write = 0;
unsigned int ulvcount = 0;
unsigned int ulacount = 0;

static const unsigned int AUDIO_COUNT_WRAP = 48;
static const int FREE_SPACE_CHECKS_OFF_KIB = 102400;
static const char SDCARD_MOUNT_COMMAND[] = "/home/zazivur/Vadidoduz/scripts/mountsdcard.sh 1";

// ---- accounting and free space -----------------------------------------------

void write_bitrate_to_file(stInputParameters* input, unsigned char* inputdata, int inputdata_length,
                           unsigned int saving)
{
    (void)inputdata_length;
    (void)saving;
    pqBoxParser->GetQBoxHeader(inputdata, pqBoxHeader);
    AccountSample(input, pqBoxHeader->usSampleStreamType);
}

void AccountSample(const stInputParameters* input, unsigned int streamType)
{
    if (streamType == QBOX_STREAM_VIDEO) {
        if (++ulvcount == input->ulVideo_Frame_Rate)
            ulvcount = 0;
    } else if (streamType == QBOX_STREAM_AUDIO) {
        if (++ulacount == AUDIO_COUNT_WRAP)
            ulacount = 0;
    }
}

bool FreeSpaceRefreshDue(const stInputParameters* input)
{
    return ulacount == AUDIO_COUNT_WRAP - 1 || ulvcount == input->ulVideo_Frame_Rate - 1;
}

// The blocks reserved for the superuser are left out (f_bavail), so that a
// run as another user stops before it meets a full disk.
bool FreeBytesHere(unsigned long long* bytes)
{
    struct statvfs64 fs;
    if (statvfs64("./", &fs) != 0)
        return false;
    *bytes = (unsigned long long)fs.f_frsize * fs.f_bavail;
    return true;
}

// A volume with more than 2 TiB free reports the largest signed 32-bit
// figure rather than wrapping negative, which would read as "disk full" at
// the first sample.
int get_free_diskspace()
{
    if (skip_disk_check)
        return FREE_SPACE_CHECKS_OFF_KIB;
    unsigned long long bytes = 0;
    if (!FreeBytesHere(&bytes)) {
        puts("Unable to determine free disk space. ");
        return -1;
    }
    unsigned long long kib = bytes / 1024;
    return kib > (unsigned long long)INT32_MAX ? INT32_MAX : (int)kib;
}

// ---- completion ----------------------------------------------------------------

int closecapture(unsigned int saving_type)
{
    int completed = 1;
    if (saving_type == SAVE_MP4) {
        if (mp4write == 1 && completeMP4File() != 1)
            completed = -1;
        deleteMP4Params();
        ReleaseSpoolLock();
    } else if (saving_type == SAVE_TS) {
        if (deinitMP2TS() != 1)
            completed = -1;
    }
    return completed;
}

int init_sdcard()
{
    int status = system(SDCARD_MOUNT_COMMAND);
    return status >> 8;
}

unsigned int init_disk_write()
{
    return 1;
}

// ---- ownership of the MP4 spool files -------------------------------------------

// The MP4 writer spools its sample tables under fixed names ("~temp1" to
// "~temp7") in the current directory, so two runs recording MP4 in one
// directory would write into each other's tables. A run owns those names
// while it holds an exclusive advisory lock on SPOOL_LOCK_NAME.
static int spoolLockFd = -1;

static bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int AcquireSpoolLock()
{
    for (;;) {
        int fd = OpenRegularFile(SPOOL_LOCK_NAME, SAFE_OPEN_KEEP);
        if (fd < 0)
            return 0;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return 0;
        }
        // The owner removes the name before it unlocks, so a lock taken on a
        // file whose name has gone in the meantime protects nothing: retry.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(SPOOL_LOCK_NAME, &named) == 0 && SameFile(held, named)) {
            spoolLockFd = fd;
            return 1;
        }
        close(fd);
    }
}

void ReleaseSpoolLock()
{
    if (spoolLockFd < 0)
        return;
    unlink(SPOOL_LOCK_NAME);
    close(spoolLockFd);
    spoolLockFd = -1;
}
