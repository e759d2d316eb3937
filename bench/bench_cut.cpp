// Benchmark of the pause a segment cut puts between two device reads.
//
// Run by hand (not part of ctest), from the source directory after a build:
//   build/normal/qbox-encode -m 3 -w 720 -h 576 -f 25 -i 25 -v 4000 -a 128
//       --duration 10 -o /tmp/av_720x576_4mbit.qbox      (a 4 Mbit/s stream)
//   build/normal/bench_cut /tmp/av_720x576_4mbit.qbox [WORKDIR] [SEGMENT_MINUTES]
// WORKDIR (default ".") receives the recordings, removed afterwards;
// SEGMENT_MINUTES defaults to 60.
//
// The stream is replayed in memory (looped, continuous time stamps) through
// the capture run's own path, as an MP4 recording and as a transport-stream
// recording, each with -g set to the segment length and the default -k 1,
// for one segment and 30 s more, so that the recording is cut once. Every
// ProcessSample call is timed: it is what the capture loop does between
// two device reads. Printed per recording: the samples, the median, 99.9th
// percentile and longest pause of an ordinary sample; the pause of the
// sample that cut the recording, and the longest pause in the 10 s of
// content after it (the cut segment's index is being written in the
// background meanwhile).
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_replay.h"
#include "capturerun.h"

namespace {

using namespace bench;

const double AFTER_CUT_SECONDS = 10;
const double EXTRA_MINUTES = 0.5;

double NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Pauses {
    std::vector<double> ordinary;  // ms
    double cut = -1;
    double afterCut = 0;
    unsigned int cuts = 0;
    UINT64 samples = 0;
};

UINT8 sampleBuffer[SAMPLE_BUFFER_SIZE];

// One recording of segmentMinutes + EXTRA_MINUTES of content in dir.
bool Measure(const Stream& s, const std::string& dir, unsigned int saving, double segmentMinutes, Pauses* p)
{
    if (chdir(dir.c_str()) != 0)
        return false;
    stInputParameters input;
    memset(&input, 0, sizeof(input));
    input.ulMediaFormat = s.mediaFormat;
    input.ulSaving = saving;
    input.ulVideo_Frame_Rate = 25;
    input.ulSync_Interval = 1;
    input.ulSegment_Length = (unsigned int)(segmentMinutes * 60);
    strcpy(input.sOutput_Filename, "benchcut");
    if (OpenOutputs(&input) != 0 || !internal_config.ulsaving)
        return false;
    std::string name = input.sOutput_Filename;
    double afterCutTicks = -1;
    UINT32 cutStamp = 0;
    Replay(s, segmentMinutes + EXTRA_MINUTES, sampleBuffer, [&](UINT8* box, UINT32 size) {
        UINT32 stamp = ReadBE32(box + 20);
        double start = NowMs();
        ProcessSample(&input, box, (int)size);
        double pause = NowMs() - start;
        p->samples++;
        if (name != input.sOutput_Filename) {
            name = input.sOutput_Filename;
            p->cuts++;
            p->cut = std::max(p->cut, pause);
            cutStamp = stamp;
            afterCutTicks = AFTER_CUT_SECONDS * QBOX_CLOCK_HZ;
        } else if (afterCutTicks > 0 && (double)(stamp - cutStamp) < afterCutTicks) {
            p->afterCut = std::max(p->afterCut, pause);
        } else {
            p->ordinary.push_back(pause);
        }
    });
    return CloseOutputs(&input) == 0;
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[(size_t)(q * (v.size() - 1))];
}

void RemoveRecordings(const std::string& dir)
{
    std::string command = "rm -f '" + dir + "'/benchcut-*.mp4 '" + dir + "'/benchcut-*.mpg";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove the recordings in %s\n", dir.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s STREAM.qbox [WORKDIR] [SEGMENT_MINUTES]\n", argv[0]);
        return 2;
    }
    Stream s;
    if (!LoadStream(argv[1], &s))
        return 1;
    char cwd[4096];
    std::string dir = argc > 2 ? argv[2] : ".";
    if (dir[0] != '/' && getcwd(cwd, sizeof cwd) != nullptr)
        dir = std::string(cwd) + "/" + dir;
    double segmentMinutes = argc > 3 ? atof(argv[3]) : 60;
    // The table goes where stdout went; the capture run's own messages
    // are not timed and go nowhere.
    FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    if (out == nullptr || freopen("/dev/null", "w", stdout) == nullptr)
        return 1;

    fprintf(out, "stream %s, %.0f-minute segments, -k 1\n", argv[1], segmentMinutes);
    fprintf(out, "%-9s %9s %5s %12s %12s %12s %12s %16s\n", "recording", "samples", "cuts", "median ms",
            "99.9% ms", "longest ms", "at cut ms", "10 s after ms");
    int status = 0;
    for (unsigned int saving : {SAVE_MP4, SAVE_TS}) {
        Pauses p;
        bool ok = Measure(s, dir, saving, segmentMinutes, &p);
        RemoveRecordings(dir);
        fprintf(out, "%-9s %9llu %5u %12.3f %12.3f %12.3f %12.3f %16.3f\n", saving == SAVE_MP4 ? "mp4" : "ts",
                (unsigned long long)p.samples, p.cuts, Percentile(p.ordinary, 0.5), Percentile(p.ordinary, 0.999),
                Percentile(p.ordinary, 1.0), p.cut, p.afterCut);
        if (!ok || p.cuts != 1) {
            fprintf(out, "the %s run failed or did not cut once\n", saving == SAVE_MP4 ? "mp4" : "ts");
            status = 1;
        }
    }
    return status;
}
