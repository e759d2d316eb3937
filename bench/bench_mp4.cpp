// Benchmark of the MP4 recording path against `ffmpeg -c copy`.
//
// Run by hand (not part of ctest), from the source directory after a build
// and a ctest run (which makes the shared test streams in build/corpus):
//   build/normal/bench_mp4 STREAM.qbox [WORKDIR] [MINUTES...]
//   e.g. build/normal/bench_mp4 build/corpus/av_720x576_25fps_gop12.qbox /tmp 10 60
// WORKDIR (default ".") receives the recordings, which are removed after
// each run; MINUTES default to 10 and 60.
//
// The QBox stream is loaded once and replayed in a loop in memory with
// continuous time stamps until the requested minutes of content have been
// recorded (10 and 60 by default). Each run happens in a child process so
// that its peak RSS and CPU time are its own:
//   bare      the same replay loop (copy into the 400000-byte sample buffer)
//             without the writer: the process the writer is measured against;
//   mp4       the replay fed through the capture run's own path
//             (OpenOutputs, ProcessSample per box, CloseOutputs);
//   ffmpeg    `ffmpeg -c copy` writing the same streams: one loop is
//             extracted as Annex B H.264 and ADTS AAC and remuxed once into
//             a small MP4, which ffmpeg then replays with -stream_loop.
// Printed per run: content minutes, input MB, wall seconds, input MB/s, CPU
// seconds per hour of content, peak RSS and its excess over the bare run.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QBox.h"
#include "capturerun.h"
#include "devicereader.h"
#include "mp4Writer.h"
#include "bench_replay.h"

namespace {

using namespace bench;

// What a run's child reports back.
struct Counts {
    UINT64 inputBytes = 0;
    UINT64 syncs = 0;        // the recording made durable
    UINT64 outputBytes = 0;  // the finished recording
};

struct Measure {
    double wall = 0;
    double cpu = 0;
    long maxRssKiB = 0;
    Counts counts;
    bool ok = false;
};

double Now()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

// Runs fn in a child; what fn returns (Counts) comes back through a pipe.
template <typename Fn>
Measure InChild(Fn fn)
{
    Measure m;
    int fds[2];
    if (pipe(fds) != 0) {
        return m;
    }
    double start = Now();
    fflush(stdout);  // the child must not write the parent's pending lines again
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Counts counts = fn();
        if (write(fds[1], &counts, sizeof(counts)) != (ssize_t)sizeof(counts)) {
            _exit(1);
        }
        _exit(0);
    }
    close(fds[1]);
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    m.wall = Now() - start;
    if (read(fds[0], &m.counts, sizeof(m.counts)) != (ssize_t)sizeof(m.counts)) {
        m.counts = Counts();
    }
    close(fds[0]);
    m.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    m.maxRssKiB = ru.ru_maxrss;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

UINT8 sampleBuffer[SAMPLE_BUFFER_SIZE];

Measure RunBare(const Stream& s, double minutes)
{
    return InChild([&]() {
        volatile UINT8 sum = 0;
        Counts counts;
        counts.inputBytes =
            Replay(s, minutes, sampleBuffer, [&](UINT8* box, UINT32 size) { sum = sum + box[size - 1]; });
        return counts;
    });
}

// syncSeconds: the recording is made durable every that many seconds of
// content (the program's -k), 0 never.
Measure RunWriter(const Stream& s, double minutes, const std::string& dir, unsigned int syncSeconds)
{
    return InChild([&]() -> Counts {
        if (chdir(dir.c_str()) != 0) {
            _exit(1);
        }
        // The capture run's own path: open the MP4 recording, every box
        // through ProcessSample, complete it. Its messages are not timed.
        if (freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(1);
        }
        stInputParameters input;
        memset(&input, 0, sizeof(input));
        input.ulMediaFormat = s.mediaFormat;
        input.ulSaving = SAVE_MP4;
        input.ulVideo_Frame_Rate = 30;
        input.ulSync_Interval = syncSeconds;
        strcpy(input.sOutput_Filename, "bench");
        if (OpenOutputs(&input) != 0 || !internal_config.ulsaving) {
            _exit(1);
        }
        Counts counts;
        counts.inputBytes = Replay(s, minutes, sampleBuffer,
                                   [&](UINT8* box, UINT32 size) { ProcessSample(&input, box, (int)size); });
        counts.syncs = mp4SyncCount;
        CloseOutputs(&input);
        struct stat st;
        counts.outputBytes = stat("bench.mp4", &st) == 0 ? (UINT64)st.st_size : 0;
        return counts;
    });
}

// One loop of the stream as Annex B H.264 and as ADTS AAC (ISO/IEC
// 13818-7), the raw forms ffmpeg reads.
struct Elementary {
    std::vector<UINT8> h264;
    std::vector<UINT8> aac;
};

void Append(std::vector<UINT8>* v, const UINT8* p, size_t n)
{
    v->insert(v->end(), p, p + n);
}

Elementary ExtractElementaryStreams(const Stream& s)
{
    static const UINT8 startCode[4] = {0, 0, 0, 1};
    Elementary es;
    for (size_t offset : s.offsets) {
        QBox h;
        DecodeQBoxHeader(&s.bytes[offset], &h);
        const UINT8* payload = &s.bytes[offset + QBOX_HEADER_SIZE];
        UINT32 size = h.ulBoxSize - QBOX_HEADER_SIZE;
        if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
            for (UINT32 pos = 0; pos + 4 <= size;) {
                UINT32 len = ReadBE32(payload + pos);
                if (len > size - pos - 4) {
                    break;
                }
                Append(&es.h264, startCode, sizeof(startCode));
                Append(&es.h264, payload + pos + 4, len);
                pos += 4 + len;
            }
        } else if (h.usSampleStreamType == QBOX_STREAM_AUDIO) {
            UINT32 frameLength = size + 7;
            UINT8 adts[7] = {0xFF, 0xF1, 0x4C, (UINT8)(0x80 | (frameLength >> 11)), (UINT8)(frameLength >> 3),
                             (UINT8)(((frameLength & 7) << 5) | 0x1F), 0xFC};  // AAC LC, 48 kHz, stereo
            Append(&es.aac, adts, sizeof(adts));
            Append(&es.aac, payload, size);
        }
    }
    return es;
}

bool WriteFile(const std::string& name, const std::vector<UINT8>& data)
{
    FILE* f = fopen(name.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

// Runs ffmpeg with args in a child and measures it.
Measure RunFfmpegCommand(std::vector<std::string> args)
{
    return InChild([&]() -> Counts {
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        execvp("ffmpeg", argv.data());
        _exit(127);
    });
}

// ffmpeg's one-loop MP4 of the same streams, made once from the Annex B and
// ADTS extraction: ffmpeg then replays it with -stream_loop (raw H.264
// cannot be looped, and two pipes throttle ffmpeg's reads).
bool MakeFfmpegLoop(const Stream& s, const std::string& dir, std::string* loopFile)
{
    Elementary es = ExtractElementaryStreams(s);
    std::string h264 = dir + "/bench_loop.h264", aac = dir + "/bench_loop.aac";
    *loopFile = dir + "/bench_loop.mp4";
    char fps[32];
    snprintf(fps, sizeof(fps), "%u/%u", QBOX_CLOCK_HZ, s.videoGap ? s.videoGap : 1);
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    if (s.mediaFormat & 2) {
        args.insert(args.end(), {"-f", "h264", "-framerate", fps, "-i", h264});
    }
    if (s.mediaFormat & 1) {
        args.insert(args.end(), {"-f", "aac", "-i", aac});
    }
    args.insert(args.end(), {"-c", "copy", *loopFile});
    bool ok = WriteFile(h264, es.h264) && WriteFile(aac, es.aac) && RunFfmpegCommand(args).ok;
    remove(h264.c_str());
    remove(aac.c_str());
    return ok;
}

// ffmpeg -c copy writing minutes of the looped streams to MP4.
Measure RunFfmpeg(const Stream& s, const std::string& loopFile, double minutes, const std::string& dir)
{
    double loopTicks = s.videoGap ? (double)s.pictures * s.videoGap : (double)s.audioFrames * AUDIO_FRAME_TICKS;
    double loopsNeeded = minutes * TICKS_PER_MINUTE / loopTicks;
    std::string out = dir + "/bench_ffmpeg.mp4";
    Measure m = RunFfmpegCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-stream_loop",
                                  std::to_string((long)loopsNeeded + 1), "-i", loopFile, "-t",
                                  std::to_string(minutes * 60), "-c", "copy", out});
    m.counts.inputBytes = (UINT64)(s.bytes.size() * loopsNeeded);  // the same content, as QBox bytes
    struct stat st;
    m.counts.outputBytes = stat(out.c_str(), &st) == 0 ? (UINT64)st.st_size : 0;
    remove(out.c_str());
    return m;
}

void PrintRow(const char* name, double minutes, const Measure& m, long bareRss)
{
    double mb = m.counts.inputBytes / 1e6;
    double hours = minutes / 60.0;
    printf("%-9s %7.0f %10.1f %8.2f %9.1f %14.2f %10ld %10s %11.0f %14.1f\n", name, minutes, mb, m.wall,
           m.wall > 0 ? mb / m.wall : 0, m.cpu / hours, m.maxRssKiB,
           bareRss > 0 ? std::to_string(m.maxRssKiB - bareRss).c_str() : "-", m.counts.syncs / hours,
           m.counts.outputBytes / 1e6 / hours);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s STREAM.qbox [WORKDIR] [MINUTES...]\n", argv[0]);
        return 2;
    }
    Stream s;
    if (!LoadStream(argv[1], &s)) {
        return 1;
    }
    std::string dir = argc > 2 ? argv[2] : ".";
    std::vector<double> runs;
    for (int i = 3; i < argc; i++) {
        runs.push_back(atof(argv[i]));
    }
    if (runs.empty()) {
        runs = {10, 60};
    }
    std::string loopFile;
    if (!MakeFfmpegLoop(s, dir, &loopFile)) {
        fprintf(stderr, "ffmpeg could not remux one loop of the stream\n");
        return 1;
    }

    printf("stream %s (media %u), %zu boxes per loop\n", argv[1], s.mediaFormat, s.offsets.size());
    printf("%-9s %7s %10s %8s %9s %14s %10s %10s %11s %14s\n", "run", "minutes", "input MB", "wall s", "MB/s",
           "CPU s/hour", "RSS KiB", "over bare", "syncs/hour", "file MB/hour");
    int status = 0;
    for (double minutes : runs) {
        Measure bare = RunBare(s, minutes);
        Measure mp4 = RunWriter(s, minutes, dir, 0);
        remove((dir + "/bench.mp4").c_str());
        Measure synced = RunWriter(s, minutes, dir, 1);
        remove((dir + "/bench.mp4").c_str());
        Measure ff = RunFfmpeg(s, loopFile, minutes, dir);
        PrintRow("bare", minutes, bare, 0);
        PrintRow("mp4", minutes, mp4, bare.maxRssKiB);
        PrintRow("mp4 -k 1", minutes, synced, bare.maxRssKiB);
        PrintRow("ffmpeg", minutes, ff, bare.maxRssKiB);
        if (synced.counts.outputBytes != mp4.counts.outputBytes) {
            fprintf(stderr, "the synced recording differs in size (%llu, %llu bytes)\n",
                    (unsigned long long)synced.counts.outputBytes, (unsigned long long)mp4.counts.outputBytes);
            status = 1;
        }
        if (!bare.ok || !mp4.ok || !synced.ok || !ff.ok) {
            fprintf(stderr, "a run failed (bare %d, mp4 %d, mp4 -k 1 %d, ffmpeg %d)\n", bare.ok, mp4.ok, synced.ok, ff.ok);
            status = 1;
        }
    }
    remove(loopFile.c_str());
    return status;
}
