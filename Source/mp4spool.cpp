// The MP4 writer's spool files (records in memory blocks, written out and
// made durable) and the sample tables of its tracks on them.
#include "mp4spool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "safefile.h"

static tSpool spools[SPOOL_COUNT] = {
    {nullptr, -1, 0, {}, false, 0, 0, {}}, {nullptr, -1, 0, {}, false, 0, 0, {}}, {nullptr, -1, 0, {}, false, 0, 0, {}},
    {nullptr, -1, 0, {}, false, 0, 0, {}}, {nullptr, -1, 0, {}, false, 0, 0, {}}, {nullptr, -1, 0, {}, false, 0, 0, {}},
    {nullptr, -1, 0, {}, false, 0, 0, {}},
};
tSpool* const sttsAudFile = &spools[0];
tSpool* const stcoAudFile = &spools[1];
tSpool* const stszAudFile = &spools[2];
tSpool* const sttsVidFile = &spools[3];
tSpool* const stcoVidFile = &spools[4];
tSpool* const stszVidFile = &spools[5];
tSpool* const stssVidFile = &spools[6];
tSpool* const spoolFiles[SPOOL_COUNT] = {&spools[0], &spools[1], &spools[2], &spools[3],
                                         &spools[4], &spools[5], &spools[6]};

bool spoolsHeldForSync = false;

// ---- the sets of names -----------------------------------------------------------

static tSpoolSetNames spoolSets[SPOOL_SET_COUNT];
static unsigned int spoolSet = 0;

static void nameSpoolSets()
{
    static bool named = false;
    if (named) {
        return;
    }
    for (unsigned int set = 0; set < SPOOL_SET_COUNT; set++) {
        tSpoolSetNames* names = &spoolSets[set];
        const char* prefix = SPOOL_SET_PREFIXES[set];
        for (size_t i = 0; i < SPOOL_COUNT; i++) {
            snprintf(names->spool[i], SPOOL_NAME_SIZE, "%s%u", prefix, (unsigned int)i + 1);
        }
        snprintf(names->info, SPOOL_NAME_SIZE, "%s.info", prefix);
        snprintf(names->infoNew, SPOOL_NAME_SIZE, "%s.info.new", prefix);
        snprintf(names->reserve, SPOOL_NAME_SIZE, "%s.reserve", prefix);
    }
    named = true;
}

const tSpoolSetNames* spoolSetNames(unsigned int set)
{
    nameSpoolSets();
    return &spoolSets[set < SPOOL_SET_COUNT ? set : 0];
}

void useSpoolSet(unsigned int set)
{
    spoolSet = set < SPOOL_SET_COUNT ? set : 0;
    for (size_t i = 0; i < SPOOL_COUNT; i++) {
        spools[i].name = spoolSetNames(spoolSet)->spool[i];
    }
}

unsigned int activeSpoolSet()
{
    return spoolSet;
}

const tSpoolSetNames* activeSpoolNames()
{
    return spoolSetNames(spoolSet);
}

// ---- records ----------------------------------------------------------------------

bool writeAll(int fd, const UINT8* data, size_t size, off_t offset)
{
    while (size > 0) {
        ssize_t n = pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        data += n;
        size -= (size_t)n;
        offset += n;
    }
    return true;
}

bool openSpool(tSpool* spool, bool truncate)
{
    closeSpool(spool);
    if (spool->name == nullptr) {
        useSpoolSet(spoolSet);
    }
    spool->fd = OpenRegularFile(spool->name, truncate ? SAFE_OPEN_TRUNCATE : SAFE_OPEN_KEEP);
    if (spool->fd < 0) {
        return false;
    }
    off_t size = truncate ? 0 : lseek(spool->fd, 0, SEEK_END);
    if (size < 0) {
        closeSpool(spool);
        return false;
    }
    spool->written = (UINT32)(size / SPOOL_RECORD_SIZE);
    return true;
}

void closeSpool(tSpool* spool)
{
    if (spool->fd >= 0) {
        close(spool->fd);
        spool->fd = -1;
    }
    spool->readCount = 0;
    spool->unsynced = false;
    spool->written = 0;
    spool->pending.clear();
    spool->pending.shrink_to_fit();
}

bool flushSpool(tSpool* spool)
{
    if (spool->pending.empty() || spool->fd < 0) {
        return spool->pending.empty();
    }
    off_t end = (off_t)spool->written * SPOOL_RECORD_SIZE;
    size_t bytes = spool->pending.size() * SPOOL_RECORD_SIZE;
    if (!writeAll(spool->fd, (const UINT8*)spool->pending.data(), bytes, end)) {
        int error = errno;
        if (ftruncate(spool->fd, end) != 0) {
            // A partial record beyond the whole ones is never read.
        }
        errno = error;
        return false;
    }
    spool->written += (UINT32)spool->pending.size();
    spool->pending.clear();
    spool->unsynced = true;
    return true;
}

bool appendRecord(tSpool* spool, UINT32 value)
{
    bool written = true;
    if (!spoolsHeldForSync && spool->pending.size() >= SPOOL_BLOCK_RECORDS) {
        written = flushSpool(spool);
    }
    spool->pending.push_back(value);
    return written;
}

UINT32 spoolRecords(const tSpool* spool)
{
    return spool->written + (UINT32)spool->pending.size();
}

// The block of the file that holds record index, into the read block.
static bool readBlockOf(const tSpool* spool, UINT32 index)
{
    UINT32 first = index - index % SPOOL_READ_BLOCK_RECORDS;
    UINT32 count = spool->written - first < SPOOL_READ_BLOCK_RECORDS ? spool->written - first : SPOOL_READ_BLOCK_RECORDS;
    ssize_t got = pread(spool->fd, spool->readBlock, count * SPOOL_RECORD_SIZE, (off_t)first * SPOOL_RECORD_SIZE);
    spool->readCount = got > 0 ? (UINT32)got / SPOOL_RECORD_SIZE : 0;
    spool->readFirst = first;
    return index - first < spool->readCount;
}

UINT32 readRecordAt(const tSpool* spool, UINT32 index)
{
    if (index >= spool->written) {
        index -= spool->written;
        return index < spool->pending.size() ? spool->pending[index] : 0;
    }
    bool cached = spool->readCount > 0 && index >= spool->readFirst && index - spool->readFirst < spool->readCount;
    if (!cached && !readBlockOf(spool, index)) {
        return 0;
    }
    return spool->readBlock[index - spool->readFirst];
}

bool writeRecordAt(tSpool* spool, UINT32 index, UINT32 value)
{
    spool->readCount = 0;
    spool->unsynced = spool->unsynced || index < spool->written;
    if (index >= spool->written) {
        if (index - spool->written < spool->pending.size()) {
            spool->pending[index - spool->written] = value;
        }
        return true;
    }
    return writeAll(spool->fd, (const UINT8*)&value, SPOOL_RECORD_SIZE, (off_t)index * SPOOL_RECORD_SIZE);
}

// A sample counts once its size and chunk offset are on the disk, so its
// sync-sample number and the durations go there first: a sync cut short
// (a kill, a power cut) leaves every sample it kept with all its entries,
// never a sync sample without its number ("stss" numbers past the samples
// kept are dropped on recovery).
static tSpool* const SYNC_ORDER[SPOOL_COUNT] = {&spools[6], &spools[3], &spools[0], &spools[4],
                                                &spools[5], &spools[1], &spools[2]};

bool syncSpools()
{
    // A spool that took nothing since the last sync is durable already.
    for (tSpool* spool : SYNC_ORDER) {
        if (spool->fd < 0) {
            continue;
        }
        if (!flushSpool(spool)) {
            return false;
        }
        if (spool->unsynced && fdatasync(spool->fd) != 0) {
            return false;
        }
        spool->unsynced = false;
    }
    return true;
}

bool cutSpool(tSpool* spool, UINT32 count)
{
    spool->readCount = 0;
    if (count >= spoolRecords(spool)) {
        return true;
    }
    if (count >= spool->written) {
        spool->pending.resize(count - spool->written);
        return true;
    }
    spool->pending.clear();
    spool->written = count;
    spool->unsynced = true;
    return ftruncate(spool->fd, (off_t)count * SPOOL_RECORD_SIZE) == 0;
}

// ---- the sample tables of a track ---------------------------------------------

bool openTrack(tTrack* track, bool video, bool truncate)
{
    *track = tTrack();
    track->pDurations = video ? sttsVidFile : sttsAudFile;
    track->pSizes = video ? stszVidFile : stszAudFile;
    track->pOffsets = video ? stcoVidFile : stcoAudFile;
    track->pSyncSamples = video ? stssVidFile : nullptr;
    return openSpool(track->pDurations, truncate) && openSpool(track->pOffsets, truncate) &&
           openSpool(track->pSizes, truncate) && (!video || openSpool(track->pSyncSamples, truncate));
}

void closeTrack(tTrack* track)
{
    for (tSpool* spool : {track->pDurations, track->pSizes, track->pOffsets, track->pSyncSamples}) {
        if (spool != nullptr) {
            closeSpool(spool);
        }
    }
}

bool spoolSampleEntry(tTrack* track, UINT32 size, UINT32 offset)
{
    bool spooled = appendRecord(track->pSizes, size);
    spooled = appendRecord(track->pOffsets, offset) && spooled;
    track->ulSamples++;
    return spooled;
}

bool spoolDuration(tTrack* track, UINT32 duration)
{
    track->ulDurations++;
    return appendRecord(track->pDurations, duration);
}

bool spoolSyncSample(tTrack* track)
{
    track->ulSyncSamples++;
    return appendRecord(track->pSyncSamples, track->ulSamples);
}

bool cutTrack(tTrack* track, UINT32 samples, UINT32 durations, UINT32 syncSamples)
{
    if (!cutSpool(track->pSizes, samples) || !cutSpool(track->pOffsets, samples) ||
        !cutSpool(track->pDurations, durations) ||
        (track->pSyncSamples != nullptr && !cutSpool(track->pSyncSamples, syncSamples))) {
        return false;
    }
    track->ulSamples = samples;
    track->ulDurations = durations;
    track->ulSyncSamples = track->pSyncSamples != nullptr ? syncSamples : 0;
    return true;
}
