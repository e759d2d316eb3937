// The run's figures, as /status and /metrics report them: what the device
// delivered per medium (samples, bytes, the rates of the last seconds), how
// long the capture kept the device waiting between two reads, and what the
// recording did (segments, write failures, retention deletions). The
// capture run reports each event once; the figures cost a few additions
// per sample and nothing else.
#ifndef VOZIREV_RUNSTATS_H
#define VOZIREV_RUNSTATS_H

#include "Types.h"

struct tSample;

const UINT32 RUNSTATS_MEDIA = 2;              // video, audio
const UINT32 RUNSTATS_VIDEO = 0;
const UINT32 RUNSTATS_AUDIO = 1;
const INT64 RUNSTATS_RATE_WINDOW_MS = 5000;   // the rates are over the last this much
const INT64 RUNSTATS_LONG_GAP_MS = 20;        // a gap between device reads this long is counted

struct tMediumFigures {
    UINT64 ullSamples;
    UINT64 ullBytes;         // as delivered, QBox headers included
    double dSamplesPerS;     // over the rate window
    double dBitsPerS;
};

struct tRunFigures {
    INT64 llUptimeMs;
    tMediumFigures stMedia[RUNSTATS_MEDIA];
    UINT64 ullOtherSamples;  // captions, unusable boxes
    UINT64 ullDeviceReads;
    INT64 llLongestReadGapUs;   // from a read's return to the next read
    INT64 llLongestGapCpuUs;    // the program's CPU time in that gap (less: it waited for the system)
    INT64 llLastReadGapUs;
    UINT64 ullLongReadGaps;     // at least RUNSTATS_LONG_GAP_MS
    UINT64 ullRecordingWriteFailures;
    UINT64 ullRecordingFiles;   // opened by the run (the first and every cut)
    UINT64 ullRetentionDeletions;
    INT64 llRecordingContentMs; // content time in the file being written
};

// The run's start (uptime counts from the first call of any of these).
void RunStatsStart();
// A sample parsed; bRecording when the recording takes it.
void RunStatsSample(const tSample* pSample, bool bRecording);
// The program's CPU time is measured in the read gaps (a system call per
// read, where the wall clock costs none) only once someone reads the
// figures: the HTTP server turns it on.
void RunStatsMeasureCpu(bool bOn);
// Around each device read.
void RunStatsReadStarts();
void RunStatsReadEnds();
// The recording: a file opened (the first, each cut), a failed write, the
// finished recordings retention deleted.
void RunStatsRecordingFile();
void RunStatsWriteFailed();
void RunStatsRetention(UINT32 ulDeleted);

void RunStatsRead(tRunFigures* pFigures);

#endif
