// The run's figures for the status and the metrics.
#include "runstats.h"

#include <ctime>

#include "QBox.h"
#include "sample.h"

namespace {

const UINT32 RATE_SNAPSHOTS = 8;  // one a second, RUNSTATS_RATE_WINDOW_MS back and more
const INT64 SNAPSHOT_INTERVAL_MS = 1000;

struct tSnapshot {
    INT64 llMs;
    UINT64 ullSamples[RUNSTATS_MEDIA];
    UINT64 ullBytes[RUNSTATS_MEDIA];
};

struct tRunStats {
    bool bStarted;
    INT64 llStartUs;
    tRunFigures stFigures;
    tSnapshot stSnapshots[RATE_SNAPSHOTS];
    UINT32 ulSnapshots;     // taken so far
    INT64 llReadReturnedUs; // 0 before the first read
    INT64 llReadReturnedCpuUs;
    bool bRecordingStarted; // the file being written has a first sample
    INT64 llRecordingFirstClock;
};
tRunStats stats;

INT64 ClockUs(clockid_t clock)
{
    struct timespec now = {0, 0};
    clock_gettime(clock, &now);
    return (INT64)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

INT64 NowUs()
{
    return ClockUs(CLOCK_MONOTONIC);
}

void TakeSnapshot(INT64 llNowMs)
{
    tSnapshot& snap = stats.stSnapshots[stats.ulSnapshots % RATE_SNAPSHOTS];
    snap.llMs = llNowMs;
    for (UINT32 m = 0; m < RUNSTATS_MEDIA; m++) {
        snap.ullSamples[m] = stats.stFigures.stMedia[m].ullSamples;
        snap.ullBytes[m] = stats.stFigures.stMedia[m].ullBytes;
    }
    stats.ulSnapshots++;
}

// The oldest snapshot within the window (the newest when none is older).
const tSnapshot* WindowStart(INT64 llNowMs)
{
    const tSnapshot* start = nullptr;
    UINT32 kept = stats.ulSnapshots < RATE_SNAPSHOTS ? stats.ulSnapshots : RATE_SNAPSHOTS;
    for (UINT32 back = 1; back <= kept; back++) {
        const tSnapshot& snap = stats.stSnapshots[(stats.ulSnapshots - back) % RATE_SNAPSHOTS];
        if (start != nullptr && llNowMs - snap.llMs > RUNSTATS_RATE_WINDOW_MS)
            break;
        start = &snap;
    }
    return start;
}

void PutRates(tRunFigures* pFigures, INT64 llNowMs)
{
    const tSnapshot* start = WindowStart(llNowMs);
    double seconds = start != nullptr ? (double)(llNowMs - start->llMs) / 1000 : 0;
    for (UINT32 m = 0; m < RUNSTATS_MEDIA; m++) {
        tMediumFigures& medium = pFigures->stMedia[m];
        medium.dSamplesPerS = seconds > 0 ? (double)(medium.ullSamples - start->ullSamples[m]) / seconds : 0;
        medium.dBitsPerS = seconds > 0 ? (double)(medium.ullBytes - start->ullBytes[m]) * 8 / seconds : 0;
    }
}

}  // namespace

void RunStatsStart()
{
    if (stats.bStarted)
        return;
    stats.bStarted = true;
    stats.llStartUs = NowUs();
}

void RunStatsSample(const tSample* pSample, bool bRecording)
{
    RunStatsStart();
    tRunFigures& f = stats.stFigures;
    INT64 nowMs = NowUs() / 1000;
    if (stats.ulSnapshots == 0 || nowMs - stats.stSnapshots[(stats.ulSnapshots - 1) % RATE_SNAPSHOTS].llMs >=
                                      SNAPSHOT_INTERVAL_MS)
        TakeSnapshot(nowMs);
    UINT32 medium = pSample->usStreamType == QBOX_STREAM_VIDEO   ? RUNSTATS_VIDEO
                    : pSample->usStreamType == QBOX_STREAM_AUDIO ? RUNSTATS_AUDIO
                                                                 : RUNSTATS_MEDIA;
    if (medium == RUNSTATS_MEDIA || !pSample->bUsable) {
        f.ullOtherSamples++;
        return;
    }
    f.stMedia[medium].ullSamples++;
    f.stMedia[medium].ullBytes += pSample->ulReadLength;
    if (!bRecording)
        return;
    if (!stats.bRecordingStarted) {
        stats.bRecordingStarted = true;
        stats.llRecordingFirstClock = pSample->llClock;
    }
    INT64 contentMs = (pSample->llClock - stats.llRecordingFirstClock) * 1000 / QBOX_CLOCK_HZ;
    if (contentMs > f.llRecordingContentMs)
        f.llRecordingContentMs = contentMs;
}

static bool bMeasureCpu = false;

void RunStatsMeasureCpu(bool bOn)
{
    bMeasureCpu = bOn;
}

static INT64 ThreadCpuUs()
{
    return bMeasureCpu ? ClockUs(CLOCK_THREAD_CPUTIME_ID) : 0;
}

void RunStatsReadStarts()
{
    if (stats.llReadReturnedUs == 0)
        return;
    INT64 gap = NowUs() - stats.llReadReturnedUs;
    tRunFigures& f = stats.stFigures;
    f.llLastReadGapUs = gap;
    if (gap > f.llLongestReadGapUs) {
        f.llLongestReadGapUs = gap;
        f.llLongestGapCpuUs = ThreadCpuUs() - stats.llReadReturnedCpuUs;
    }
    if (gap >= RUNSTATS_LONG_GAP_MS * 1000)
        f.ullLongReadGaps++;
}

void RunStatsReadEnds()
{
    RunStatsStart();
    stats.stFigures.ullDeviceReads++;
    stats.llReadReturnedUs = NowUs();
    stats.llReadReturnedCpuUs = ThreadCpuUs();
}

void RunStatsRecordingFile()
{
    stats.stFigures.ullRecordingFiles++;
    stats.stFigures.llRecordingContentMs = 0;
    stats.bRecordingStarted = false;
}

void RunStatsWriteFailed()
{
    stats.stFigures.ullRecordingWriteFailures++;
}

void RunStatsRetention(UINT32 ulDeleted)
{
    stats.stFigures.ullRetentionDeletions += ulDeleted;
}

void RunStatsRead(tRunFigures* pFigures)
{
    RunStatsStart();
    INT64 now = NowUs();
    *pFigures = stats.stFigures;
    pFigures->llUptimeMs = (now - stats.llStartUs) / 1000;
    PutRates(pFigures, now / 1000);
}
