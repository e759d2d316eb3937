// Transport-stream writer benchmark: throughput (MB/s of QBox input), CPU
// seconds per hour of content and heap allocations per sample, for the file
// mode, the RTP mode (loopback) and the combined mode, each fed through the
// capture run's own path (ProcessSample). Side by side, in the same run,
// Debian's ffmpeg remuxes the same elementary streams with "-c copy" into
// an MPEG-TS file and into RTP MPEG-TS (loopback).
//
//   bench_ts [-r REPEATS] STREAM.qbox...
//   (default: the corpus streams in $VOZIREV_CORPUS)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "QBox.h"
#include "WriteAACHeader.h"
#include "capturerun.h"
#include "mpgTSWriter.h"

extern char** environ;

// ---- heap allocation counter ------------------------------------------------

static unsigned long g_allocations = 0;

void* operator new(size_t n)
{
    g_allocations++;
    void* p = malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept
{
    g_allocations++;
    return malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

struct Stream {
    std::string path;
    std::vector<UINT8> bytes;
    std::vector<size_t> boxes;  // offsets of the boxes
    unsigned char media = 0;    // 1 audio, 2 video, 3 both
    double seconds = 0;         // content duration
    unsigned fps = 25;
    unsigned long units = 0;    // AAC frames and NAL units: one writer call each
};

// Writer calls a box makes in file mode: one per AAC frame or NAL unit.
unsigned long CountUnits(const UINT8* box, const QBox& h)
{
    if (h.usSampleStreamType == QBOX_STREAM_AUDIO) return 1;
    if (h.usSampleStreamType != QBOX_STREAM_VIDEO) return 0;
    unsigned long n = 0;
    UINT32 size = h.ulBoxSize - QBOX_HEADER_SIZE;
    for (UINT32 pos = 0; size - pos > 5;) {
        UINT32 len = ReadBE32(box + QBOX_HEADER_SIZE + pos);
        if (len > size - pos - 4) break;
        n++;
        pos += 4 + len;
    }
    return n;
}

bool Load(const char* path, Stream* s)
{
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    s->path = path;
    UINT8 buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) s->bytes.insert(s->bytes.end(), buf, buf + n);
    fclose(f);
    bool audio = false, video = false;
    UINT32 first = 0, last = 0, prevVideo = 0, videoDelta = 0;
    for (size_t pos = 0; pos + QBOX_HEADER_SIZE <= s->bytes.size();) {
        QBox h;
        DecodeQBoxHeader(&s->bytes[pos], &h);
        if (h.ulBoxSize < QBOX_HEADER_SIZE || pos + h.ulBoxSize > s->bytes.size()) break;
        if (s->boxes.empty()) first = h.ulSampleCts;
        last = h.ulSampleCts > last ? h.ulSampleCts : last;
        audio |= h.usSampleStreamType == QBOX_STREAM_AUDIO;
        s->units += CountUnits(&s->bytes[pos], h);
        if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
            if (video && h.ulSampleCts > prevVideo) videoDelta = h.ulSampleCts - prevVideo;
            video = true;
            prevVideo = h.ulSampleCts;
        }
        s->boxes.push_back(pos);
        pos += h.ulBoxSize;
    }
    s->media = (unsigned char)((audio ? 1 : 0) + (video ? 2 : 0));
    s->seconds = (double)(last - first + 1920) / QBOX_CLOCK_HZ;
    if (videoDelta) s->fps = (QBOX_CLOCK_HZ + videoDelta / 2) / videoDelta;
    return !s->boxes.empty();
}

double CpuSeconds(int who)
{
    rusage ru;
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const double MIN_MEASURED_SECONDS = 0.25;

struct Result {
    double wall = 0, cpu = 0;
    int passes = 0;
    unsigned long allocations = 0, samples = 0;
};

void Print(const char* name, const Stream& s, const Result& r)
{
    if (r.wall < 0) {
        printf("  %-30s failed\n", name);
        return;
    }
    double mb = (double)s.bytes.size() * r.passes / 1e6;
    double content = s.seconds * r.passes;
    printf("  %-30s %8.1f MB/s %7.2f CPU s/h of content", name, mb / r.wall, r.cpu / content * 3600);
    if (r.samples)
        printf("  %.2f allocations per QBox, %.2f per unit", (double)r.allocations / r.samples,
               (double)r.allocations / ((double)s.units * r.passes));
    printf("\n");
}

// OpenOutputs without its "Saving to" and "Streaming ..." lines, which
// would break up the table.
int QuietOpenOutputs(stInputParameters* input)
{
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    int result = OpenOutputs(input);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(null);
    close(saved);
    return result;
}

// Feeds every box through the capture run's own path (OpenOutputs,
// ProcessSample, CloseOutputs) with the outputs of mode, repeats times over;
// more passes when that takes too little time to measure. The recording
// lands in dir as route.mpg and is removed afterwards.
Result RunRoute(Stream& s, int repeats, unsigned int mode, unsigned short port, const std::string& dir)
{
    stInputParameters input;
    memset(&input, 0, sizeof(input));
    input.ulMediaFormat = s.media;
    input.ulVideo_Frame_Rate = s.fps;
    input.ucttl = 1;
    strcpy(input.IP_Addr, "127.0.0.1");
    strcpy(input.sOutput_Filename, "route");
    input.Video_Port = port;
    input.Audio_Port = (unsigned short)(port + 2);
    input.ulSaving = mode != TS_OUTPUT_RTP ? SAVE_TS : SAVE_NONE;
    input.ulStreaming = mode != TS_OUTPUT_FILE ? STREAM_RTP_TS : STREAM_NONE;

    Result r;
    int home = open(".", O_RDONLY | O_DIRECTORY);
    if (chdir(dir.c_str()) != 0 || QuietOpenOutputs(&input) != 0) {
        r.wall = -1;
        if (home >= 0 && fchdir(home) == 0) close(home);
        return r;
    }
    unsigned long allocBefore = g_allocations;
    double cpu0 = CpuSeconds(RUSAGE_SELF), t0 = Now();
    r.passes = 0;
    while (r.passes < repeats || Now() - t0 < MIN_MEASURED_SECONDS) {
        for (size_t off : s.boxes) {
            UINT8* box = &s.bytes[off];
            ProcessSample(&input, box, (int)ReadBE32(box));
            r.samples++;
        }
        r.passes++;
    }
    r.wall = Now() - t0;
    r.cpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    r.allocations = g_allocations - allocBefore;
    CloseOutputs(&input);
    remove("route.mpg");
    if (home >= 0 && fchdir(home) != 0) r.wall = -1;
    if (home >= 0) close(home);
    return r;
}

// Writes the stream's elementary data, repeats times over, as Annex B H.264
// and ADTS AAC files.
void WriteElementaryStreams(const Stream& s, int repeats, const std::string& h264, const std::string& aac)
{
    FILE* v = fopen(h264.c_str(), "wb");
    FILE* a = fopen(aac.c_str(), "wb");
    static const UINT8 startCode[4] = {0, 0, 0, 1};
    for (int i = 0; i < repeats; i++)
    for (size_t off : s.boxes) {
        QBox h;
        DecodeQBoxHeader(&s.bytes[off], &h);
        const UINT8* payload = &s.bytes[off] + QBOX_HEADER_SIZE;
        UINT32 size = h.ulBoxSize - QBOX_HEADER_SIZE;
        if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
            for (UINT32 pos = 0; size - pos > 4;) {
                UINT32 len = ReadBE32(payload + pos);
                if (len > size - pos - 4) break;
                fwrite(startCode, 1, 4, v);
                fwrite(payload + pos + 4, 1, len, v);
                pos += 4 + len;
            }
        } else if (h.usSampleStreamType == QBOX_STREAM_AUDIO && size <= ADTS_MAX_RAW_FRAME_SIZE) {
            UINT8 adts[ADTS_HEADER_SIZE];
            WriteADTSHeader(adts, size + ADTS_HEADER_SIZE, ADTS_CHANNEL_CONFIG_STEREO, ADTS_SAMPLING_INDEX_48000);
            fwrite(adts, 1, sizeof(adts), a);
            fwrite(payload, 1, size, a);
        }
    }
    fclose(v);
    fclose(a);
}

// Runs ffmpeg -c copy over the elementary streams.
Result RunFfmpeg(const Stream& s, const std::string& h264, const std::string& aac, bool rtp, unsigned short port,
                 const std::string& out)
{
    std::string fps = std::to_string(s.fps);
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-y"};
    if (s.media & 2) {
        for (const char* a : {"-framerate", fps.c_str(), "-f", "h264", "-i"}) args.push_back(a);
        args.push_back(h264);
    }
    if (s.media & 1) {
        for (const char* a : {"-f", "aac", "-i"}) args.push_back(a);
        args.push_back(aac);
    }
    for (size_t i = 0; i < (size_t)((s.media & 1) + ((s.media & 2) >> 1)); i++) {
        args.push_back("-map");
        args.push_back(std::to_string(i));
    }
    args.push_back("-c");
    args.push_back("copy");
    if (rtp) {
        args.push_back("-f");
        args.push_back("rtp_mpegts");
        args.push_back("rtp://127.0.0.1:" + std::to_string(port));
    } else {
        args.push_back("-f");
        args.push_back("mpegts");
        args.push_back(out);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    Result r;
    double t0 = Now();
    pid_t pid;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
        r.wall = -1;
        return r;
    }
    int status = 0;
    rusage ru;
    wait4(pid, &status, 0, &ru);
    r.wall = Now() - t0;
    r.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) r.wall = -1;
    return r;
}

// A bound loopback socket that is never read: the kernel drops what does
// not fit its queue, the sender is not slowed by a reader.
unsigned short SinkPort(int* fd)
{
    *fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(*fd, (sockaddr*)&a, sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(*fd, (sockaddr*)&a, &len);
    return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char** argv)
{
    int repeats = 50;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-r") && i + 1 < argc) {
            repeats = atoi(argv[++i]);
        } else {
            paths.push_back(argv[i]);
        }
    }
    if (repeats < 1) repeats = 1;
    if (paths.empty()) {
        const char* corpus = getenv("VOZIREV_CORPUS");
        std::string dir = corpus ? corpus : "build/corpus";
        for (const char* n : {"av_320x240_30fps_gop30.qbox", "av_720x576_25fps_gop12.qbox", "av_720x480_15fps_gop5.qbox",
                              "v_352x288_30fps_gop10.qbox", "a_only.qbox"})
            paths.push_back(dir + "/" + n);
    }

    int sinkFd;
    unsigned short port = SinkPort(&sinkFd);
    char tmpl[] = "/tmp/bench_ts_XXXXXX";
    std::string tmp = mkdtemp(tmpl) ? tmpl : "/tmp";
    std::string h264 = tmp + "/es.h264", aac = tmp + "/es.aac";

    printf("Transport-stream writer: MB/s of QBox input, CPU seconds per hour of content, heap\n"
           "allocations per QBox and per writer unit (AAC frame or NAL unit); ffmpeg remuxes the\n"
           "same content (%d passes, as Annex B H.264 and ADTS AAC files) in one run each.\n", repeats);
    int rc = 0;
    for (const std::string& path : paths) {
        Stream s;
        if (!Load(path.c_str(), &s)) {
            fprintf(stderr, "cannot read %s\n", path.c_str());
            rc = 1;
            continue;
        }
        printf("%s: %zu samples, %.2f s of content, %.2f MB\n", path.c_str(), s.boxes.size(), s.seconds,
               s.bytes.size() / 1e6);
        Print("route, file (mode 1)", s, RunRoute(s, repeats, TS_OUTPUT_FILE, port, tmp));
        Print("route, RTP (mode 2)", s, RunRoute(s, repeats, TS_OUTPUT_RTP, port, tmp));
        Print("route, file and RTP (mode 3)", s, RunRoute(s, repeats, TS_OUTPUT_FILE_AND_RTP, port, tmp));
        WriteElementaryStreams(s, repeats, h264, aac);
        for (bool rtp : {false, true}) {
            const char* name = rtp ? "ffmpeg -c copy -f rtp_mpegts" : "ffmpeg -c copy -f mpegts";
            Result f = RunFfmpeg(s, h264, aac, rtp, port, tmp + "/ffmpeg.mpg");
            remove((tmp + "/ffmpeg.mpg").c_str());
            f.passes = repeats;
            if (f.wall < 0)
                printf("  %s failed\n", name);
            else
                Print(name, s, f);
        }
    }
    remove(h264.c_str());
    remove(aac.c_str());
    rmdir(tmp.c_str());
    close(sinkFd);
    return rc;
}
