// What the emulated encoder delivers during a run: a segment of real encoder
// output for the current settings (encoded once with ffmpeg and cached) or a
// QBox stream file, replayed in a loop with continuous time stamps.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "emu.h"
#include "qboxgen.h"

namespace {

// A stream with a single box has no sample duration to measure; assume one
// video frame at 30 fps.
const int64_t kDefaultSampleTicks = QBOX_CLOCK_HZ / 30;
const UINT32 kFirstBoxMaxSize = 512;

bool MakeDirectories(const std::string& path)
{
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// Encodes the segment with Debian's ffmpeg. The generator starts ffmpeg in
// a process group of its own (Ctrl+C on the program's terminal does not cut
// an encode short) and without LD_PRELOAD (it must not load the emulator).
int EncodeSegment(const EmuEncoderState& state, double seconds, const std::string& path)
{
    return EncodeQBoxStream(state, seconds, path);
}

}  // namespace

std::string EmuCacheFileName(const EmuEncoderState& s, double segmentSeconds)
{
    char name[160];
    snprintf(name, sizeof name, "m%u_a%u_v%u_%ux%u_f%u_g%u_b%u_c%u_%gs.qbox", s.mediaType, s.audioKbps,
             s.videoKbps, s.width, s.height, s.fps, s.gop, s.brightness, s.color, segmentSeconds);
    return name;
}

int EmuLoadRunContent(const EmuOptions& options, const EmuEncoderState& state, QBoxClip* clip)
{
    std::string error;
    if (!options.sourcePath.empty()) {
        if (LoadQBoxFile(options.sourcePath, clip, &error) != 0) {
            fprintf(stderr, "vozirev-emu: %s\n", error.c_str());
            return -1;
        }
        return 0;
    }
    std::string dir = options.cacheDir.empty() ? EmuDefaultCacheDir() : options.cacheDir;
    std::string path = dir + "/" + EmuCacheFileName(state, options.segmentSeconds);
    if (!FileExists(path)) {
        if (!MakeDirectories(dir)) {
            fprintf(stderr, "vozirev-emu: cannot create %s: %s\n", dir.c_str(), strerror(errno));
            return -1;
        }
        if (EncodeSegment(state, options.segmentSeconds, path) != 0) {
            fprintf(stderr, "vozirev-emu: encoding %s failed\n", path.c_str());
            return -1;
        }
    }
    if (LoadQBoxFile(path, clip, &error) != 0) {
        fprintf(stderr, "vozirev-emu: %s\n", error.c_str());
        return -1;
    }
    return 0;
}

void EmuStartLoop(EmuContentLoop* loop, const QBoxClip* clip)
{
    loop->clip = clip;
    loop->tracks.clear();
    const UINT8* first = clip->bytes.data() + clip->offsets[0];
    QBox header;
    DecodeQBoxHeader(first, &header);
    loop->baseCts = header.ulSampleCts;
    loop->firstPending = (header.ulSampleFlags & QBOX_SAMPLE_FLAG_SYNC) && header.ulBoxSize <= kFirstBoxMaxSize;

    // The opening box is sent once per run; a stream without one loops whole.
    size_t loopStart = loop->firstPending ? 1 : 0;
    for (size_t i = loopStart; i < clip->offsets.size(); ++i) {
        DecodeQBoxHeader(clip->bytes.data() + clip->offsets[i], &header);
        EmuTrack* track = nullptr;
        for (EmuTrack& t : loop->tracks)
            if (t.streamType == header.usSampleStreamType)
                track = &t;
        if (!track) {
            loop->tracks.emplace_back();
            track = &loop->tracks.back();
            track->streamType = header.usSampleStreamType;
        }
        track->boxes.push_back(i);
        // Signed difference: a stream may begin a little before the first box.
        track->rel.push_back((INT32)(header.ulSampleCts - loop->baseCts));
    }
    for (EmuTrack& t : loop->tracks) {
        size_t n = t.rel.size();
        int64_t step = n >= 2 ? t.rel[n - 1] - t.rel[n - 2] : kDefaultSampleTicks;
        if (step <= 0)
            step = kDefaultSampleTicks;
        t.span = t.rel[n - 1] - t.rel[0] + step;
    }
}

bool EmuNextBox(EmuContentLoop* loop, size_t* index, int64_t* rel)
{
    if (loop->firstPending) {
        loop->firstPending = false;
        *index = 0;
        *rel = 0;
        return true;
    }
    EmuTrack* best = nullptr;
    int64_t bestRel = 0;
    for (EmuTrack& t : loop->tracks) {
        int64_t r = t.rel[t.next] + t.loop * t.span;
        // Equal time stamps keep the order of the file within a loop.
        if (!best || r < bestRel ||
            (r == bestRel && t.loop == best->loop && t.boxes[t.next] < best->boxes[best->next])) {
            best = &t;
            bestRel = r;
        }
    }
    if (!best)
        return false;
    *index = best->boxes[best->next];
    *rel = bestRel;
    if (++best->next == best->boxes.size()) {
        best->next = 0;
        best->loop++;
    }
    return true;
}
