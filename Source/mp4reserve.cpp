// The MP4 writer's index reserve: zeros as large as the index will be.
#include "mp4reserve.h"

#include <unistd.h>

#include <cerrno>

#include "mp4Writer.h"
#include "safefile.h"

static int reserveFd = -1;
static UINT64 reserveSize = 0;

// The most the index can take once one more sample is in.
static UINT64 indexBytesAtMostWithOneMore()
{
    const tVideoCodec* video = mp4VideoCodec();
    UINT64 parameterSets = root->videoTrack != nullptr ? (UINT64)video->sps.size() + video->pps.size() : 0;
    return INDEX_FIXED_BYTES_AT_MOST + parameterSets + (mp4SampleCount() + 1) * INDEX_BYTES_PER_SAMPLE_AT_MOST;
}

bool openIndexReserve()
{
    reserveSize = 0;
    reserveFd = OpenRegularFile(activeSpoolNames()->reserve, SAFE_OPEN_TRUNCATE);
    return reserveFd >= 0;
}

// The reserve grows past what is needed by a step, so that it grows once
// every few thousand samples.
UINT64 indexReserveGrowthForSample()
{
    UINT64 target = indexBytesAtMostWithOneMore();
    return reserveSize >= target ? 0 : target + INDEX_RESERVE_STEP - reserveSize;
}

bool growIndexReserveForSample()
{
    static const UINT8 zeros[INDEX_RESERVE_STEP] = {};
    UINT64 growth = indexReserveGrowthForSample();
    if (growth == 0) {
        return true;
    }
    if (reserveFd < 0) {
        mp4FailOutput(EBADF);
        return false;
    }
    UINT64 size = reserveSize + growth;
    while (reserveSize < size) {
        UINT64 piece = size - reserveSize < INDEX_RESERVE_STEP ? size - reserveSize : INDEX_RESERVE_STEP;
        if (!writeAll(reserveFd, zeros, (size_t)piece, (off_t)reserveSize)) {
            mp4FailOutput(errno);
            return false;
        }
        reserveSize += piece;
    }
    return true;
}

void closeIndexReserve()
{
    if (reserveFd >= 0) {
        close(reserveFd);
        reserveFd = -1;
    }
    reserveSize = 0;
}

void releaseIndexReserve()
{
    closeIndexReserve();
    unlink(activeSpoolNames()->reserve);
}
