// Cuts ffmpeg's elementary streams into QBox samples.
//
// Video: ffmpeg writes an Annex B H.264 stream with an access unit delimiter
// in front of every picture (x264 "aud"), so pictures are found without
// parsing slice headers; the delimiters themselves are not put into boxes.
// Every IDR carries SPS and PPS in front of it ("repeat-headers").
// Audio: ffmpeg writes ADTS; the 7- or 9-byte headers are stripped, because
// the device delivers raw AAC frames.
//
// An encoding run starts with a box that carries sample flag bit 0 and fits
// one 512-byte read: with video, a box of just the SPS and PPS; audio only,
// the first (priming) AAC frame.
#include "qboxgen.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "QBox.h"

extern char** environ;

namespace {

typedef std::vector<UINT8> Bytes;

const unsigned int AAC_FRAME_TICKS = 1920;  // 1024 samples at 48 kHz on the 90 kHz clock
const unsigned int AAC_SAMPLE_RATE = 48000;
const unsigned int FIRST_BOX_LIMIT = 512;

const UINT8 NAL_TYPE_AUD = 9;  // access unit delimiter (ISO/IEC 14496-10, Table 7-1)
const UINT8 NAL_REF_IDC_SHIFT = 5;  // nal_ref_idc's place in the header byte (7.3.1)
const unsigned int NAL_REF_IDC_MAX = 3;

struct Sample {
    UINT16 streamType;
    UINT32 flags;
    UINT32 cts;
    Bytes payload;
};

UINT8 NalType(const Bytes& nal)
{
    return nal.empty() ? 0 : NaluType(nal[0]);
}

bool ReadWholeFile(const std::string& path, Bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Splits an Annex B byte stream at its start codes (00 00 01, optionally
// preceded by more zeros). Trailing zero bytes belong to the next start code.
std::vector<Bytes> SplitAnnexB(const Bytes& s)
{
    std::vector<Bytes> nals;
    size_t i = 0, start = std::string::npos;
    while (i + 3 <= s.size()) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (start != std::string::npos) {
                size_t end = i;
                while (end > start && s[end - 1] == 0)
                    end--;
                nals.emplace_back(s.begin() + start, s.begin() + end);
            }
            i += 3;
            start = i;
        } else {
            i++;
        }
    }
    if (start != std::string::npos && start < s.size())
        nals.emplace_back(s.begin() + start, s.end());
    return nals;
}

void AppendLengthPrefixed(Bytes& payload, const Bytes& nal)
{
    UINT8 prefix[QBOX_NALU_PREFIX_SIZE];
    WriteBE32(prefix, (UINT32)nal.size());
    payload.insert(payload.end(), prefix, prefix + sizeof prefix);
    payload.insert(payload.end(), nal.begin(), nal.end());
}

UINT32 FrameTimestamp(unsigned int frame, unsigned int fps)
{
    return QBOXGEN_FIRST_TIMESTAMP + (UINT32)((unsigned long long)frame * QBOX_CLOCK_HZ / fps);
}

// Writes nal_ref_idc (ISO/IEC 14496-10, 7.4.1) as an encoder that gives its
// parameter sets and reference pictures another non-zero value does. A zero
// stays zero: it alone says that no picture refers to the unit, and nothing
// else in a unit depends on the value, so the payload is left as it is.
void RewriteNalRefIdc(Bytes& nal, unsigned int nalRefIdc)
{
    if (nalRefIdc == 0 || nal.empty() || (nal[0] & NALU_REF_IDC_MASK) == 0)
        return;
    nal[0] = (UINT8)((nal[0] & ~NALU_REF_IDC_MASK) | ((nalRefIdc << NAL_REF_IDC_SHIFT) & NALU_REF_IDC_MASK));
}

// One video sample per access unit (every slice of a picture in one); the
// access unit delimiters go.
void VideoSamples(const Bytes& annexB, const EncoderSettings& settings, std::vector<Sample>& out)
{
    std::vector<Bytes> nals = SplitAnnexB(annexB);
    std::vector<std::vector<Bytes>> units;
    for (Bytes& nal : nals) {
        RewriteNalRefIdc(nal, settings.nalRefIdc);
        if (NalType(nal) == NAL_TYPE_AUD || units.empty())
            units.emplace_back();
        if (NalType(nal) != NAL_TYPE_AUD)
            units.back().push_back(std::move(nal));
    }
    unsigned int frame = 0;
    for (const std::vector<Bytes>& unit : units) {
        if (unit.empty())
            continue;
        Sample s{QBOX_STREAM_VIDEO, 0, FrameTimestamp(frame++, settings.fps), {}};
        for (const Bytes& nal : unit) {
            if (NalType(nal) == NALU_TYPE_IDR)
                s.flags = QBOX_SAMPLE_FLAG_SYNC;
            AppendLengthPrefixed(s.payload, nal);
        }
        out.push_back(std::move(s));
    }
}

// The run's first box: the parameter sets of the first picture on their own.
bool ConfigSample(const std::vector<Sample>& video, Sample& config)
{
    if (video.empty())
        return false;
    config = Sample{QBOX_STREAM_VIDEO, QBOX_SAMPLE_FLAG_SYNC, video[0].cts, {}};
    const Bytes& p = video[0].payload;
    for (size_t pos = 0; pos + QBOX_NALU_PREFIX_SIZE <= p.size();) {
        UINT32 len = ReadBE32(&p[pos]);
        size_t end = pos + QBOX_NALU_PREFIX_SIZE + len;
        if (end > p.size())
            break;
        UINT8 type = NaluType(p[pos + QBOX_NALU_PREFIX_SIZE]);
        if (type == NALU_TYPE_SPS || type == NALU_TYPE_PPS)
            config.payload.insert(config.payload.end(), p.begin() + pos, p.begin() + end);
        pos = end;
    }
    return !config.payload.empty();
}

// ADTS (ISO/IEC 14496-3 1.A.2): 13-bit frame length at bits 30..42, header of
// 7 bytes, or 9 when protection_absent is 0.
void AudioSamples(const Bytes& adts, std::vector<Sample>& out)
{
    unsigned int frame = 0;
    for (size_t pos = 0; pos + 7 <= adts.size();) {
        const UINT8* h = &adts[pos];
        if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0)
            break;
        size_t headerSize = (h[1] & 1) ? 7 : 9;
        size_t frameLength = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
        if (frameLength < headerSize || pos + frameLength > adts.size())
            break;
        Sample s{QBOX_STREAM_AUDIO, QBOX_SAMPLE_FLAG_SYNC,
                 QBOXGEN_FIRST_TIMESTAMP + frame++ * AAC_FRAME_TICKS,
                 Bytes(adts.begin() + pos + headerSize, adts.begin() + pos + frameLength)};
        out.push_back(std::move(s));
        pos += frameLength;
    }
}

// Moves the later medium's stamps by the offset asked for, so that both
// media still start from the first stamp of the stream, and leaves out the
// audio frame asked for, as a device that lost it would.
void ApplyStampEdits(const EncoderSettings& s, std::vector<Sample>& samples)
{
    UINT16 later = s.audioOffsetTicks > 0 ? QBOX_STREAM_AUDIO : QBOX_STREAM_VIDEO;
    UINT32 shift = (UINT32)(s.audioOffsetTicks > 0 ? s.audioOffsetTicks : -s.audioOffsetTicks);
    long audioIndex = 0;
    std::vector<Sample> kept;
    for (Sample& sample : samples) {
        if (sample.streamType == later)
            sample.cts += shift;
        if (sample.streamType == QBOX_STREAM_AUDIO && audioIndex++ == s.dropAudioFrame)
            continue;
        kept.push_back(std::move(sample));
    }
    samples.swap(kept);
}

std::string Num(unsigned int v)
{
    return std::to_string(v);
}

std::string Fixed(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%.4f", v);
    return text;
}

// x264 needs even picture dimensions for 4:2:0.
unsigned int Even(unsigned int v)
{
    return v + (v & 1);
}

std::vector<std::string> FfmpegArguments(const EncoderSettings& s, double seconds,
                                         const std::string& videoOut, const std::string& audioOut)
{
    bool video = s.mediaType != 1, audio = s.mediaType != 2;
    std::vector<std::string> a = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
    if (video) {
        std::string pattern = "testsrc2=size=" + Num(Even(s.width)) + "x" + Num(Even(s.height)) +
                              ":rate=" + Num(s.fps);
        a.insert(a.end(), {"-f", "lavfi", "-t", Fixed(seconds), "-i", pattern});
    }
    if (audio)
        a.insert(a.end(), {"-f", "lavfi", "-t", Fixed(seconds), "-i",
                           "sine=frequency=440:beep_factor=4:sample_rate=48000"});
    if (video) {
        std::string picture = "eq=brightness=" + Fixed(((double)s.brightness - 128) / 128) +
                              ":saturation=" + Fixed((double)s.color / 128) + ",format=yuv420p";
        std::string gop = Num(s.gop), rate = Num(s.videoKbps) + "k";
        std::string x264 = "repeat-headers=1:aud=1" + (s.slices ? ":slices=" + Num(s.slices) : std::string());
        a.insert(a.end(), {"-map", "0:v", "-vf", picture, "-c:v", "libx264", "-profile:v", "baseline",
                           "-preset", "veryfast", "-b:v", rate, "-maxrate", rate, "-bufsize", rate,
                           "-g", gop, "-keyint_min", gop, "-sc_threshold", "0", "-bf", "0",
                           "-x264-params", x264, "-f", "h264", videoOut});
    }
    if (audio) {
        a.insert(a.end(), {"-map", video ? "1:a" : "0:a", "-c:a", "aac", "-b:a", Num(s.audioKbps) + "k",
                           "-ac", "2", "-ar", Num(AAC_SAMPLE_RATE), "-f", "adts", audioOut});
    }
    return a;
}

// Runs ffmpeg in a process group of its own (a Ctrl+C meant for the program
// that asked for the content must not cut the encode short) and without
// LD_PRELOAD (the emulated device and sanitizer runtimes are not for it).
int RunFfmpeg(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);

    std::vector<char*> envp;
    for (char** e = environ; *e; e++)
        if (strncmp(*e, "LD_PRELOAD=", 11) != 0)
            envp.push_back(*e);
    envp.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, "ffmpeg", nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        fprintf(stderr, "qboxgen: cannot start ffmpeg: %s\n", strerror(rc));
        return -1;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "qboxgen: ffmpeg failed\n");
        return -1;
    }
    return 0;
}

bool WriteSample(FILE* f, const Sample& s)
{
    QBox h{(UINT32)(QBOX_HEADER_SIZE + s.payload.size()), QBOX_TYPE, 0, s.streamType, 0, s.flags, s.cts};
    UINT8 header[QBOX_HEADER_SIZE];
    EncodeQBoxHeader(&h, header);
    return fwrite(header, 1, sizeof header, f) == sizeof header &&
           fwrite(s.payload.data(), 1, s.payload.size(), f) == s.payload.size();
}

// Time-stamp order; at equal stamps video first, so that a stream with video
// begins with its parameter sets.
bool EarlierThan(const Sample& a, const Sample& b)
{
    if (a.cts != b.cts)
        return a.cts < b.cts;
    return a.streamType == QBOX_STREAM_VIDEO && b.streamType != QBOX_STREAM_VIDEO;
}

bool ValidSettings(const EncoderSettings& s, double seconds)
{
    return s.mediaType >= 1 && s.mediaType <= 3 && s.fps >= 1 && s.gop >= 1 && s.width >= 2 &&
           s.height >= 2 && s.videoKbps >= 1 && s.audioKbps >= 1 && s.nalRefIdc <= NAL_REF_IDC_MAX &&
           seconds > 0;
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/qboxgen.XXXXXX";
        if (mkdtemp(tmpl))
            path = tmpl;
    }
    ~TempDir()
    {
        if (!path.empty()) {
            unlink((path + "/v.h264").c_str());
            unlink((path + "/a.aac").c_str());
            rmdir(path.c_str());
        }
    }
    std::string path;
};

}  // namespace

int EncodeQBoxStream(const EncoderSettings& settings, double seconds, const std::string& path)
{
    if (!ValidSettings(settings, seconds)) {
        fprintf(stderr, "qboxgen: unusable encoder settings\n");
        return -1;
    }
    TempDir dir;
    if (dir.path.empty()) {
        perror("qboxgen: mkdtemp");
        return -1;
    }
    std::string videoOut = dir.path + "/v.h264", audioOut = dir.path + "/a.aac";
    if (RunFfmpeg(FfmpegArguments(settings, seconds, videoOut, audioOut)) != 0)
        return -1;

    std::vector<Sample> samples;
    Bytes data;
    if (settings.mediaType != 1) {
        if (!ReadWholeFile(videoOut, data))
            return -1;
        VideoSamples(data, settings, samples);
        Sample config;
        if (!ConfigSample(samples, config)) {
            fprintf(stderr, "qboxgen: no parameter sets in the video stream\n");
            return -1;
        }
        samples.insert(samples.begin(), std::move(config));
    }
    if (settings.mediaType != 2) {
        if (!ReadWholeFile(audioOut, data))
            return -1;
        AudioSamples(data, samples);
    }
    ApplyStampEdits(settings, samples);
    std::stable_sort(samples.begin(), samples.end(), EarlierThan);
    if (samples.empty() || QBOX_HEADER_SIZE + samples[0].payload.size() > FIRST_BOX_LIMIT) {
        fprintf(stderr, "qboxgen: the stream cannot start with a box of one read\n");
        return -1;
    }

    std::string temp = path + ".tmp." + std::to_string(getpid());
    FILE* f = fopen(temp.c_str(), "wb");
    if (!f) {
        perror(temp.c_str());
        return -1;
    }
    bool ok = true;
    for (const Sample& s : samples)
        ok = ok && WriteSample(f, s);
    ok = (fclose(f) == 0) && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        perror(path.c_str());
        unlink(temp.c_str());
        return -1;
    }
    return 0;
}
