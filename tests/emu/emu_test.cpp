// The emulated encoder device, seen from a capture client: emu_probe runs
// under vozirev-emu with the options of each case and reports every
// VLGetAccessUnit result (or every raw read); these tests check the
// reports against the stream the device was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "QBox.h"

namespace {

std::string Env(const char* name, const char* fallback)
{
    const char* value = getenv(name);
    return value && *value ? value : fallback;
}

std::string Bin()
{
    return Env("VOZIREV_BIN", ".");
}

struct Output {
    int status = -1;
    std::vector<std::string> lines;
    std::string text;
    double seconds = 0;
};

// Runs `vozirev-emu OPTIONS -- emu_probe ARGS`, returns what it printed.
Output RunProbe(const std::string& options, const std::string& args, const std::string& redirect = "",
                const std::string& probe = "emu_probe")
{
    std::string command = Bin() + "/vozirev-emu " + options + " -- " + Bin() + "/" + probe + " " + args + " " +
                          redirect;
    Output out;
    auto start = std::chrono::steady_clock::now();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char line[4096];
    while (fgets(line, sizeof line, pipe)) {
        out.text += line;
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        out.lines.push_back(s);
    }
    int status = pclose(pipe);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// One VLGetAccessUnit result as emu_probe reports it.
struct Sample {
    bool failed = false;
    int stop = 0;
    int len = 0;
    unsigned stream = 0;
    unsigned flags = 0;
    UINT32 cts = 0;
    std::string nal;
};

std::vector<Sample> Samples(const Output& out)
{
    std::vector<Sample> samples;
    for (const std::string& line : out.lines) {
        Sample s;
        long index;
        char nal[256] = {0};
        if (sscanf(line.c_str(), "box %ld len=%d stream=%u flags=%u cts=%u nal=%255s", &index, &s.len, &s.stream,
                   &s.flags, &s.cts, nal) == 6) {
            s.nal = nal;
            samples.push_back(s);
        } else if (sscanf(line.c_str(), "fail %ld stop=%d", &index, &s.stop) == 2) {
            s.failed = true;
            samples.push_back(s);
        }
    }
    return samples;
}

std::vector<Sample> Delivered(const std::vector<Sample>& samples)
{
    std::vector<Sample> boxes;
    for (const Sample& s : samples)
        if (!s.failed)
            boxes.push_back(s);
    return boxes;
}

size_t Failures(const std::vector<Sample>& samples)
{
    return std::count_if(samples.begin(), samples.end(), [](const Sample& s) { return s.failed; });
}

// ---- a small synthetic stream with known sizes and time stamps ----

const UINT32 kBaseCts = 90000;
const UINT32 kVideoTicks = 3000;  // 30 fps
const UINT32 kAudioTicks = 1920;  // 1024 samples at 48 kHz
const int kVideoFrames = 30;      // one second
const int kAudioFrames = 47;
const int kGop = 10;
const UINT32 kOpeningSize = 60;
// No size is a multiple of 512, so that every box can be overrun.
const UINT32 kVideoSizes[] = {1500, 700, 2047, 5000, 513, 800, 1023, 300, 900, 1200};
const UINT32 kAudioSizes[] = {300, 310, 290};

void AppendBox(std::vector<UINT8>* out, UINT32 size, UINT16 stream, UINT32 flags, UINT32 cts,
               const std::vector<UINT8>& nalTypes)
{
    QBox h = {size, QBOX_TYPE, 0, stream, 0, flags, cts};
    size_t start = out->size();
    out->resize(start + size);
    UINT8* p = out->data() + start;
    EncodeQBoxHeader(&h, p);
    p += QBOX_HEADER_SIZE;
    UINT32 left = size - QBOX_HEADER_SIZE;
    if (stream == QBOX_STREAM_AUDIO) {
        for (UINT32 i = 0; i < left; ++i)
            p[i] = (UINT8)(cts + i);
        return;
    }
    // NAL units of equal share behind their length prefixes.
    for (size_t n = 0; n < nalTypes.size(); ++n) {
        UINT32 length = n + 1 == nalTypes.size() ? left - 4 : (left / nalTypes.size()) - 4;
        p = WriteBE32(p, length);
        p[0] = nalTypes[n];
        for (UINT32 i = 1; i < length; ++i)
            p[i] = (UINT8)(cts + i);
        p += length;
        left -= length + 4;
    }
}

// Writes the synthetic stream: an opening box (SPS and PPS, flag bit 0),
// then one second of 30 fps video (IDR every kGop frames, flag bit 0) and
// AAC frames, interleaved in time-stamp order.
std::string WriteSyntheticStream(const std::string& dir)
{
    std::vector<UINT8> out;
    AppendBox(&out, kOpeningSize, QBOX_STREAM_VIDEO, 1, kBaseCts, {0x67, 0x68});
    int v = 0, a = 0;
    while (v < kVideoFrames || a < kAudioFrames) {
        UINT32 vts = kBaseCts + v * kVideoTicks;
        UINT32 ats = kBaseCts + a * kAudioTicks;
        if (v < kVideoFrames && (a >= kAudioFrames || vts <= ats)) {
            bool idr = v % kGop == 0;
            std::vector<UINT8> nals = idr ? std::vector<UINT8>{0x67, 0x68, 0x65} : std::vector<UINT8>{0x41};
            AppendBox(&out, kVideoSizes[v % 10], QBOX_STREAM_VIDEO, idr ? 1 : 0, vts, nals);
            ++v;
        } else {
            AppendBox(&out, kAudioSizes[a % 3], QBOX_STREAM_AUDIO, 1, ats, {});
            ++a;
        }
    }
    std::string path = dir + "/synthetic.qbox";
    std::ofstream(path, std::ios::binary).write((const char*)out.data(), out.size());
    return path;
}

class Emu : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/emu_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        source = WriteSyntheticStream(dir);
    }
    void TearDown() override
    {
        if (!HasFailure())
            system(("rm -rf " + dir).c_str());
    }
    // Options every case shares: the synthetic stream as fast as read.
    std::string Fast(const std::string& more = "") const
    {
        return "--pace max --source " + source + " " + more;
    }
    std::vector<std::string> ReadLines(const std::string& path) const
    {
        std::vector<std::string> lines;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }
    std::string dir;
    std::string source;
};

// One line of the command log.
struct LogLine {
    double seconds = 0;
    unsigned word = 0;
    std::string name, value;
    bool failed = false;
};

std::vector<LogLine> ParseLog(const std::vector<std::string>& lines)
{
    std::vector<LogLine> log;
    for (const std::string& text : lines) {
        LogLine l;
        std::istringstream in(text);
        std::string word, extra;
        in >> l.seconds >> word >> l.name >> l.value >> extra;
        l.word = (unsigned)strtoul(word.c_str(), nullptr, 16);
        l.failed = extra == "FAILED";
        EXPECT_EQ(word.size(), 10u) << text;
        log.push_back(l);
    }
    return log;
}

// ---- delivery ----

// Checks raw reads of the node: each read begins a box or continues the
// box begun before it, is full unless it ends the box, and never carries
// bytes of two boxes. Returns the number of boxes begun.
int CheckChunks(const Output& out)
{
    UINT32 pending = 0;
    int boxes = 0;
    for (size_t i = 0; i < out.lines.size(); ++i) {
        long got = 0;
        unsigned long first = 0;
        EXPECT_EQ(sscanf(out.lines[i].c_str(), "chunk %ld %lu", &got, &first), 2) << out.lines[i];
        EXPECT_GT(got, 0) << "read " << i;
        EXPECT_LE(got, 512) << "read " << i;
        if (pending == 0) {
            // A box begins at the start of a read: its size leads the read.
            pending = (UINT32)first;
            EXPECT_GT(pending, QBOX_HEADER_SIZE) << "read " << i << " does not start a box";
            if (boxes == 0) {
                EXPECT_EQ(pending, kOpeningSize);
            }
            ++boxes;
        }
        EXPECT_LE((UINT32)got, pending) << "read " << i << " carries bytes of two boxes";
        if ((UINT32)got < pending) {
            EXPECT_EQ(got, 512) << "read " << i;
        }
        if (::testing::Test::HasFailure())
            return boxes;
        pending -= (UINT32)got;
    }
    return boxes;
}

TEST_F(Emu, EveryReadCarriesOnePieceOfOneBox)
{
    Output out = RunProbe(Fast(), "raw 300");
    ASSERT_EQ(out.status, 0) << out.text;
    EXPECT_GT(CheckChunks(out), kVideoFrames + kAudioFrames) << "the stream did not loop";
}

TEST_F(Emu, FortifiedClientReachesTheDevice)
{
    // Built with _FORTIFY_SOURCE, the client opens through __open64_2 and
    // reads through __read_chk.
    Output out = RunProbe(Fast(), "raw 40 512", "", "emu_probe_fortified");
    ASSERT_EQ(out.status, 0) << out.text;
    EXPECT_GT(CheckChunks(out), 10);
}

TEST_F(Emu, LoopsKeepTimeStampsContinuous)
{
    const int reads = 3 * (kVideoFrames + kAudioFrames) + 20;
    Output out = RunProbe(Fast(), "read " + std::to_string(reads));
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(boxes.size(), (size_t)reads);
    ASSERT_EQ(Failures(boxes), 0u);

    // The opening box comes once, at the start of the run.
    EXPECT_EQ(boxes[0].len, (int)kOpeningSize);
    EXPECT_EQ(boxes[0].flags & 1, 1u);
    EXPECT_EQ(boxes[0].cts, kBaseCts);
    EXPECT_EQ(boxes[0].nal, "7,8");
    std::vector<const Sample*> video, audio;
    for (size_t i = 1; i < boxes.size(); ++i) {
        EXPECT_NE(boxes[i].nal, "7,8") << "opening box repeated at " << i;
        EXPECT_GE(boxes[i].cts, boxes[i - 1].cts) << "out of time-stamp order at " << i;
        (boxes[i].stream == QBOX_STREAM_VIDEO ? video : audio).push_back(&boxes[i]);
    }
    ASSERT_GT(video.size(), (size_t)2 * kVideoFrames);
    ASSERT_GT(audio.size(), (size_t)2 * kAudioFrames);
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i]->cts, kBaseCts + i * kVideoTicks) << "video " << i;
        EXPECT_EQ(video[i]->len, (int)kVideoSizes[(i % kVideoFrames) % 10]) << "video " << i;
        bool idr = i % kGop == 0;
        EXPECT_EQ(video[i]->nal, idr ? "7,8,5" : "1") << "video " << i;
        EXPECT_EQ(video[i]->flags, idr ? 1u : 0u) << "video " << i;
    }
    for (size_t i = 0; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i]->cts, kBaseCts + i * kAudioTicks) << "audio " << i;
        EXPECT_EQ(audio[i]->len, (int)kAudioSizes[(i % kAudioFrames) % 3]) << "audio " << i;
    }
}

TEST_F(Emu, EveryRunOpensWithTheFirstBoxAgain)
{
    Output out = RunProbe(Fast(), "read 12 --restart-after 5");
    ASSERT_EQ(out.status, 0) << out.text;
    auto restart = std::find(out.lines.begin(), out.lines.end(), "restart");
    ASSERT_NE(restart, out.lines.end()) << out.text;
    std::vector<Sample> before = Samples(Output{0, {out.lines.begin(), restart}, "", 0});
    std::vector<Sample> after = Samples(Output{0, {restart, out.lines.end()}, "", 0});
    ASSERT_EQ(before.size(), 5u);
    ASSERT_EQ(after.size(), 7u);
    ASSERT_EQ(Failures(after), 0u);
    // The new run starts over: opening box, then the first picture.
    EXPECT_EQ(after[0].len, (int)kOpeningSize);
    EXPECT_EQ(after[0].cts, kBaseCts);
    EXPECT_EQ(after[1].cts, kBaseCts);
    EXPECT_EQ(after[1].nal, "7,8,5");
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].cts, before[i].cts) << i;
        EXPECT_EQ(after[i].len, before[i].len) << i;
    }
}

TEST_F(Emu, PauseHoldsDeliveryAndResumeCarriesOn)
{
    Output clean = RunProbe(Fast(), "read 40");
    Output out = RunProbe(Fast(), "read 40 --pause-after 5");
    ASSERT_EQ(out.status, 0) << out.text;
    // While paused the device falls silent once what it had queued is read.
    ASSERT_NE(std::find(out.lines.begin(), out.lines.end(), "paused-stall"), out.lines.end()) << out.text;
    // After resuming it carries on where it stopped: nothing lost, nothing twice.
    std::vector<Sample> expected = Samples(clean);
    std::vector<Sample> got = Delivered(Samples(out));
    ASSERT_EQ(got.size(), 39u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].cts, expected[i].cts) << i;
        EXPECT_EQ(got[i].len, expected[i].len) << i;
    }
}

TEST_F(Emu, RealtimePaceFollowsTheTimeStamps)
{
    // The opening box and 16 pictures reach 15 frames (0.5 s) past the first.
    Output out = RunProbe("--source " + source + " --pace realtime", "read 40");
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(Failures(boxes), 0u);
    UINT32 last = boxes.back().cts;
    EXPECT_GE(out.seconds, (last - kBaseCts) / 90000.0 - 0.05) << "delivered ahead of the clock";
}

// ---- end of content ----

TEST_F(Emu, SamplesThenStall)
{
    Output out = RunProbe(Fast("--samples 12"), "read 15 --stop-after 0.5");
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> samples = Samples(out);
    ASSERT_EQ(samples.size(), 13u) << out.text;
    EXPECT_EQ(Delivered(samples).size(), 12u);
    // Nothing more comes: only the stop timer ends the wait.
    EXPECT_TRUE(samples.back().failed);
    EXPECT_EQ(samples.back().stop, 1);
}

TEST_F(Emu, SamplesThenReadError)
{
    Output out = RunProbe(Fast("--samples 12 --end error"), "read 15 --stop-after 5");
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> samples = Samples(out);
    ASSERT_EQ(samples.size(), 15u) << out.text;
    for (size_t i = 0; i < 15; ++i) {
        EXPECT_EQ(samples[i].failed, i >= 12) << i;
        EXPECT_EQ(samples[i].stop, 0) << "the read failed only after the stop timer, at " << i;
    }
    EXPECT_LT(out.seconds, 5.0);
}

TEST_F(Emu, DurationLimitsTheContent)
{
    Output out = RunProbe(Fast("--duration 0.5"), "read 60 --stop-after 0.5");
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> samples = Samples(out);
    std::vector<Sample> boxes = Delivered(samples);
    ASSERT_FALSE(boxes.empty());
    size_t video = 0;
    for (const Sample& s : boxes) {
        EXPECT_LT(s.cts - kBaseCts, 45000u);
        video += s.stream == QBOX_STREAM_VIDEO && s.nal != "7,8";
    }
    EXPECT_EQ(video, 15u);  // half a second at 30 fps
    EXPECT_TRUE(samples.back().failed && samples.back().stop == 1);
}

// ---- record and dump ----

TEST_F(Emu, RecordSavesWhatWasDeliveredAndQboxDumpListsIt)
{
    std::string record = dir + "/record.qbox";
    Output out = RunProbe(Fast("--samples 40 --record " + record), "read 40");
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(boxes.size(), 40u);

    std::string command = Bin() + "/qbox-dump " + record;
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> dump;
    char line[512];
    while (fgets(line, sizeof line, pipe))
        dump.push_back(line);
    EXPECT_EQ(pclose(pipe), 0);
    ASSERT_EQ(dump.size(), boxes.size());
    for (size_t i = 0; i < dump.size(); ++i) {
        const Sample& s = boxes[i];
        char expected[512];
        snprintf(expected, sizeof expected, "%zu size=%d type=%s flags=0x%X cts=%u%s%s\n", i, s.len,
                 s.stream == QBOX_STREAM_VIDEO ? "video" : "audio", s.flags, s.cts,
                 s.stream == QBOX_STREAM_VIDEO ? " nal=" : "", s.stream == QBOX_STREAM_VIDEO ? s.nal.c_str() : "");
        EXPECT_EQ(dump[i], expected);
    }
}

TEST_F(Emu, QboxDumpRefusesABrokenFile)
{
    std::string broken = dir + "/broken.qbox";
    std::ifstream in(source, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(kOpeningSize + 100);  // the second box is cut short
    std::ofstream(broken, std::ios::binary).write(bytes.data(), bytes.size());
    std::string command = Bin() + "/qbox-dump " + broken + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char line[512];
    while (fgets(line, sizeof line, pipe))
        text += line;
    int status = pclose(pipe);
    EXPECT_NE(status, 0);
    EXPECT_NE(text.find("0 size=60 type=video flags=0x1 cts=90000 nal=7,8"), std::string::npos) << text;
    EXPECT_NE(text.find("no whole QBox at offset 60"), std::string::npos) << text;
}

// ---- paths, descriptors, launcher ----

TEST_F(Emu, OtherPathsPassThrough)
{
    std::string file = dir + "/plain.txt";
    std::ofstream(file) << "plain file";
    Output out = RunProbe(Fast(), "paths " + file);
    ASSERT_EQ(out.status, 0) << out.text;
    auto has = [&](const std::string& line) {
        return std::find(out.lines.begin(), out.lines.end(), line) != out.lines.end();
    };
    EXPECT_TRUE(has("open plain file")) << out.text;
    EXPECT_TRUE(has("openat plain file")) << out.text;
    EXPECT_TRUE(has("fopen plain file")) << out.text;
    for (const char* node : {"/dev/Vozirev10", "/dev/Vozirev", "/dev/VozirevX"})
        EXPECT_TRUE(has(std::string("node ") + node + " No such file or directory")) << out.text;
    EXPECT_TRUE(has("node /dev/Vozirev0/x Not a directory") || has("node /dev/Vozirev0/x No such file or directory"))
        << out.text;
    for (int n = 0; n <= 9; ++n)
        EXPECT_TRUE(has("device " + std::to_string(n) + " opened")) << out.text;
}

TEST_F(Emu, DeviceOnDescriptorZero)
{
    // Started with standard input closed, the program's open gets descriptor 0.
    Output out = RunProbe(Fast(), "read 3", "<&-");
    ASSERT_EQ(out.status, 0) << out.text;
    EXPECT_NE(std::find(out.lines.begin(), out.lines.end(), "open fd=0"), out.lines.end()) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(Failures(boxes), 0u);
    EXPECT_EQ(boxes[0].len, (int)kOpeningSize);
}

TEST_F(Emu, ForkedChildReachesTheDeviceOfItsParent)
{
    std::string logPath = dir + "/commands.log";
    Output out = RunProbe(Fast("--log " + logPath), "fork");
    ASSERT_EQ(out.status, 0) << out.text;
    EXPECT_NE(std::find(out.lines.begin(), out.lines.end(), "child 0"), out.lines.end()) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(boxes.size(), 3u) << out.text;
    EXPECT_EQ(Failures(boxes), 0u);
    EXPECT_EQ(boxes[0].len, (int)kOpeningSize);
    std::vector<LogLine> log = ParseLog(ReadLines(logPath));
    ASSERT_GE(log.size(), 3u) << out.text << "LOG:" << ::testing::PrintToString(ReadLines(logPath));
    EXPECT_EQ(log[0].name, "start");  // the child's
    EXPECT_EQ(log[1].name, "stop");
    EXPECT_EQ(log[2].name, "start");  // the parent's
    EXPECT_LT(out.seconds, 10.0);
}

TEST_F(Emu, LauncherPassesTheExitStatusAndRefusesBadOptions)
{
    std::string emu = Bin() + "/vozirev-emu";
    EXPECT_EQ(WEXITSTATUS(system((emu + " -- sh -c 'exit 7'").c_str())), 7);
    EXPECT_EQ(WEXITSTATUS(system((emu + " --pace slow -- true 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((emu + " --truncate-every 0 -- true 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((emu + " --fail-command 0x100 -- true 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((emu + " --pace max 2>/dev/null").c_str())), 2);
    EXPECT_EQ(WEXITSTATUS(system((emu + " --help >/dev/null").c_str())), 0);
    // Programs the launcher starts see the emulator in LD_PRELOAD.
    Output out;
    FILE* pipe = popen((emu + " -- sh -c 'echo $LD_PRELOAD'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[4096] = {0};
    ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    EXPECT_NE(std::string(line).find("libvozirev-emu.so"), std::string::npos) << line;
}

}  // namespace

// ---- faults, and what the reader makes of them ----

class EmuFault : public Emu {
protected:
    static const int kReads = 90;
    static const int kCleanReads = 130;
    void SetUp() override
    {
        Emu::SetUp();
        // Faults lose boxes: the faulty runs read further into the stream.
        Output out = RunProbe(Fast(), "read " + std::to_string(kCleanReads));
        ASSERT_EQ(out.status, 0) << out.text;
        clean = Samples(out);
        ASSERT_EQ(clean.size(), (size_t)kCleanReads);
        ASSERT_EQ(Failures(clean), 0u);
    }
    std::vector<Sample> Faulty(const std::string& fault)
    {
        Output out = RunProbe(Fast(fault), "read " + std::to_string(kReads) + " --stop-after 2");
        EXPECT_EQ(out.status, 0) << out.text;
        std::vector<Sample> samples = Samples(out);
        EXPECT_EQ(samples.size(), (size_t)kReads) << out.text;
        return samples;
    }
    static bool Same(const Sample& a, const Sample& b)
    {
        return !a.failed && !b.failed && a.len == b.len && a.stream == b.stream && a.flags == b.flags &&
               a.cts == b.cts && a.nal == b.nal;
    }
    // Position in the clean run of a delivered box, or -1.
    long Find(const Sample& s) const
    {
        for (size_t i = 0; i < clean.size(); ++i)
            if (Same(clean[i], s))
                return (long)i;
        return -1;
    }
    // The clean run with the boxes at `lost` left out (and, for each lost
    // box in `failed`, a failed read in its place).
    std::vector<Sample> Expected(const std::vector<size_t>& lost, bool failed) const
    {
        std::vector<Sample> expected;
        for (size_t i = 0; i < clean.size() && expected.size() < (size_t)kReads; ++i) {
            if (std::find(lost.begin(), lost.end(), i) == lost.end()) {
                expected.push_back(clean[i]);
            } else if (failed) {
                Sample fail;
                fail.failed = true;
                expected.push_back(fail);
            }
        }
        return expected;
    }
    void ExpectSequence(const std::vector<Sample>& got, const std::vector<Sample>& expected)
    {
        size_t n = std::min(got.size(), expected.size());
        for (size_t i = 0; i < n; ++i) {
            if (expected[i].failed) {
                EXPECT_TRUE(got[i].failed && got[i].stop == 0) << "read " << i << " should fail";
            } else {
                EXPECT_TRUE(Same(got[i], expected[i]))
                    << "read " << i << ": got cts=" << got[i].cts << " len=" << got[i].len
                    << (got[i].failed ? " (failed)" : "") << ", expected cts=" << expected[i].cts
                    << " len=" << expected[i].len;
            }
        }
    }
    // Boxes k, 2k, 3k, ... of the run, each moved on to the next box of
    // two or more chunks when it is a single chunk.
    std::vector<size_t> MultiChunkTargets(size_t every) const
    {
        std::vector<size_t> targets;
        size_t next = every;
        for (size_t i = 1; i < clean.size(); ++i) {
            if (i >= next && clean[i].len > 512) {
                targets.push_back(i);
                next += every;
                while (next <= i)
                    next += every;
            }
        }
        return targets;
    }
    std::vector<Sample> clean;
};

TEST_F(EmuFault, GarbageChunksBetweenBoxesAreSkipped)
{
    ExpectSequence(Faulty("--garbage-every 4"), clean);
}

TEST_F(EmuFault, ZeroLengthReadsBetweenBoxesAreRepeated)
{
    ExpectSequence(Faulty("--zero-read-every 3"), clean);
}

TEST_F(EmuFault, BoxTooLargeForTheBufferIsDropped)
{
    // Several 420000-byte boxes pass by; the reader never takes one.
    std::vector<Sample> got = Faulty("--oversize-every 20");
    ExpectSequence(got, clean);
    for (const Sample& s : got)
        EXPECT_LT(s.len, 400000);
}

TEST_F(EmuFault, OverrunBoxIsDroppedAndReadingGoesOn)
{
    // No box of the stream is a multiple of 512 bytes, so every 9th box can be overrun.
    std::vector<size_t> lost;
    for (size_t i = 9; i < clean.size(); i += 9)
        lost.push_back(i);
    std::vector<Sample> got = Faulty("--overrun-every 9");
    EXPECT_EQ(Failures(got), 0u);
    ExpectSequence(got, Expected(lost, false));
}

TEST_F(EmuFault, TruncatedBoxIsLostWithWhatItsMissingEndTakes)
{
    std::vector<Sample> got = Faulty("--truncate-every 9");
    EXPECT_EQ(Failures(got), 0u);
    // Delivered boxes are whole boxes of the clean run, in its order.
    long previous = -1;
    std::vector<bool> seen(clean.size(), false);
    for (const Sample& s : got) {
        long at = Find(s);
        ASSERT_GE(at, 0) << "a box that the device never sent: cts=" << s.cts << " len=" << s.len;
        EXPECT_GT(at, previous);
        previous = at;
        seen[at] = true;
    }
    // Each truncated box is lost. The reader takes the chunks that follow
    // for the rest of it until they pass its declared end: at most 512
    // bytes, which in this stream (no box below 290 bytes) reach into the
    // two boxes after it at most. Those may go too; nothing else does.
    size_t truncated = 0;
    for (size_t i = 1; i < (size_t)previous; ++i) {
        if (i % 9 == 0) {
            EXPECT_FALSE(seen[i]) << "truncated box " << i << " was delivered";
            ++truncated;
        } else if (i % 9 > 2) {
            EXPECT_TRUE(seen[i]) << "box " << i << " was lost";
        }
    }
    EXPECT_GE(truncated, 8u);
}

TEST_F(EmuFault, ZeroLengthReadInsideABoxFailsThatRead)
{
    std::vector<size_t> targets = MultiChunkTargets(9);
    ASSERT_GE(targets.size(), 5u);
    std::vector<Sample> got = Faulty("--zero-read-in-box-every 9");
    ExpectSequence(got, Expected(targets, true));
}

TEST_F(EmuFault, ReadErrorInsideABoxFailsThatReadAndReadingCanGoOn)
{
    std::vector<size_t> targets = MultiChunkTargets(9);
    ASSERT_GE(targets.size(), 5u);
    std::vector<Sample> got = Faulty("--read-error-every 9");
    ExpectSequence(got, Expected(targets, true));
}

// ---- encoder settings and the command log ----

TEST_F(Emu, SettingsArriveInTheirOrderAtLeast100msApart)
{
    std::string logPath = dir + "/commands.log";
    Output out = RunProbe(Fast("--log " + logPath), "configure 3 64 1000 352 288 25 12 100 200");
    ASSERT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("result 0"), std::string::npos) << out.text;
    std::vector<LogLine> log = ParseLog(ReadLines(logPath));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"media-type", "3"}, {"audio-bitrate", "64"}, {"video-bitrate", "1000"}, {"frame-size", "352x288"},
        {"frame-rate", "25"}, {"gop", "12"}, {"color", "100"}, {"brightness", "200"},
    };
    const unsigned words[] = {0x15000003, 0x17000040, 0x160003E8, 0x29058120,
                              0x2A000019, 0x1800000C, 0x65000064, 0x640000C8};
    ASSERT_EQ(log.size(), expected.size());
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].name, expected[i].first) << i;
        EXPECT_EQ(log[i].value, expected[i].second) << i;
        EXPECT_EQ(log[i].word, words[i]) << i;
        EXPECT_FALSE(log[i].failed);
        if (i > 0) {
            EXPECT_GE(log[i].seconds - log[i - 1].seconds, 0.1) << log[i].name << " came too soon";
        }
    }
}

TEST_F(Emu, LogCoversEveryProcessOfOneLaunch)
{
    // Two clients under one launcher append to one log; a new launch starts it afresh.
    std::string logPath = dir + "/commands.log";
    std::string probe = Bin() + "/emu_probe configure 1 ";
    for (int launch = 0; launch < 2; ++launch) {
        std::string command = Bin() + "/vozirev-emu " + Fast("--log " + logPath) + " -- sh -c '" + probe +
                              "24 0 0 0 0 0 0 0 >/dev/null && " + probe + "128 0 0 0 0 0 0 0 >/dev/null'";
        ASSERT_EQ(system(command.c_str()), 0);
        std::vector<LogLine> log = ParseLog(ReadLines(logPath));
        ASSERT_EQ(log.size(), 4u) << "launch " << launch;
        EXPECT_EQ(log[1].name + " " + log[1].value, "audio-bitrate 24");
        EXPECT_EQ(log[3].name + " " + log[3].value, "audio-bitrate 128");
        EXPECT_GE(log[2].seconds, log[1].seconds);
    }
}

TEST_F(EmuFault, FailedCommandWriteStopsTheSettings)
{
    std::string logPath = dir + "/commands.log";
    Output out = RunProbe(Fast("--log " + logPath + " --fail-command 0x29"),
                          "configure 3 48 512 320 240 30 30 128 128");
    ASSERT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("\nSetting Video Width and Height failed"), std::string::npos) << out.text;
    EXPECT_NE(out.text.find("result -1"), std::string::npos) << out.text;
    std::vector<LogLine> log = ParseLog(ReadLines(logPath));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3].name, "frame-size");
    EXPECT_EQ(log[3].value, "320x240");
    EXPECT_EQ(log[3].word, 0x290500F0u);
    EXPECT_TRUE(log[3].failed);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_FALSE(log[i].failed) << log[i].name;
}

// ---- content encoded for the settings the program sent ----

std::string Capture(const std::string& command)
{
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return text;
    char line[1024];
    while (fgets(line, sizeof line, pipe))
        text += line;
    pclose(pipe);
    return text;
}

// What ffprobe decodes from an elementary stream file.
std::string Probe(const std::string& path)
{
    return Capture("ffprobe -v error -count_frames -show_entries "
                   "stream=codec_name,profile,width,height,r_frame_rate,sample_rate,channels,nb_read_frames "
                   "-of default=noprint_wrappers=1 " + path);
}

class EmuEncode : public Emu {
protected:
    // Segments are shared with the other build tree and later runs.
    std::string Encoded(const std::string& more) const
    {
        std::string corpus = Env("VOZIREV_CORPUS", "/tmp");
        return "--pace max --segment 2 --cache " + corpus + "/emu-cache " + more;
    }
};

TEST_F(EmuEncode, AudioAndVideoFollowTheSettings)
{
    const unsigned fps = 15, gop = 15, width = 176, height = 144;
    const UINT32 frameTicks = 90000 / fps;
    std::string h264 = dir + "/video.h264", aac = dir + "/audio.aac";
    // About three seconds: the two-second segment loops once.
    Output out = RunProbe(Encoded(""), "read 200 --settings 3,48,256,176,144,15,15,128,128 --h264 " + h264 +
                                           " --aac " + aac);
    ASSERT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("Setting Video Resolution to: 176 x 144"), std::string::npos) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(boxes.size(), 200u);
    ASSERT_EQ(Failures(boxes), 0u);

    // The run opens with SPS and PPS alone, flag bit 0, in one read.
    EXPECT_EQ(boxes[0].flags & 1, 1u);
    EXPECT_LE(boxes[0].len, 512);
    EXPECT_EQ(boxes[0].nal, "7,8");
    std::vector<const Sample*> video, audio;
    for (size_t i = 1; i < boxes.size(); ++i)
        (boxes[i].stream == QBOX_STREAM_VIDEO ? video : audio).push_back(&boxes[i]);
    ASSERT_GE(video.size(), (size_t)(2 * fps + 5)) << "fewer pictures than the segment holds";
    for (size_t i = 0; i < video.size(); ++i) {
        const Sample& v = *video[i];
        EXPECT_EQ(v.cts - boxes[0].cts, i * frameTicks) << "picture " << i;
        bool idr = v.nal.find('5') != std::string::npos;
        EXPECT_EQ(idr, i % gop == 0) << "picture " << i << " nal=" << v.nal;
        if (idr) {
            EXPECT_EQ(v.nal.compare(0, 4, "7,8,"), 0) << "IDR without SPS and PPS in front: " << v.nal;
            EXPECT_EQ(v.flags & 1, 1u) << "picture " << i;
        }
    }
    ASSERT_FALSE(audio.empty());
    for (size_t i = 1; i < audio.size(); ++i)
        EXPECT_EQ(audio[i]->cts - audio[i - 1]->cts, 1920u) << "audio frame " << i;

    std::string v = Probe(h264);
    EXPECT_NE(v.find("codec_name=h264"), std::string::npos) << v;
    EXPECT_NE(v.find("width=" + std::to_string(width) + "\n"), std::string::npos) << v;
    EXPECT_NE(v.find("height=" + std::to_string(height) + "\n"), std::string::npos) << v;
    EXPECT_NE(v.find("r_frame_rate=15/1"), std::string::npos) << v;
    EXPECT_NE(v.find("nb_read_frames=" + std::to_string(video.size()) + "\n"), std::string::npos) << v;
    std::string a = Probe(aac);
    EXPECT_NE(a.find("codec_name=aac"), std::string::npos) << a;
    EXPECT_NE(a.find("profile=LC"), std::string::npos) << a;
    EXPECT_NE(a.find("sample_rate=48000"), std::string::npos) << a;
    EXPECT_NE(a.find("channels=2"), std::string::npos) << a;
    EXPECT_NE(a.find("nb_read_frames=" + std::to_string(audio.size()) + "\n"), std::string::npos) << a;
}

TEST_F(EmuEncode, VideoOnlyHonoursFrameRateAndGop)
{
    std::string h264 = dir + "/video.h264";
    Output out = RunProbe(Encoded(""), "read 60 --settings 2,48,300,160,120,25,5,128,128 --h264 " + h264);
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(boxes.size(), 60u);
    ASSERT_EQ(Failures(boxes), 0u);
    EXPECT_EQ(boxes[0].nal, "7,8");
    for (size_t i = 1; i < boxes.size(); ++i) {
        ASSERT_EQ(boxes[i].stream, QBOX_STREAM_VIDEO) << i;
        EXPECT_EQ(boxes[i].cts - boxes[0].cts, (i - 1) * 3600u) << i;
        EXPECT_EQ(boxes[i].nal.find('5') != std::string::npos, (i - 1) % 5 == 0) << i << " nal=" << boxes[i].nal;
    }
    std::string v = Probe(h264);
    EXPECT_NE(v.find("width=160\n"), std::string::npos) << v;
    EXPECT_NE(v.find("height=120\n"), std::string::npos) << v;
    EXPECT_NE(v.find("r_frame_rate=25/1"), std::string::npos) << v;
}

TEST_F(EmuEncode, AudioOnlyOpensWithASmallAudioFrame)
{
    std::string aac = dir + "/audio.aac";
    Output out = RunProbe(Encoded(""), "read 40 --settings 1,64,0,0,0,0,0,0,0 --aac " + aac);
    ASSERT_EQ(out.status, 0) << out.text;
    std::vector<Sample> boxes = Samples(out);
    ASSERT_EQ(boxes.size(), 40u);
    ASSERT_EQ(Failures(boxes), 0u);
    EXPECT_EQ(boxes[0].flags & 1, 1u);
    EXPECT_LE(boxes[0].len, 512);
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(boxes[i].stream, QBOX_STREAM_AUDIO) << i;
        EXPECT_EQ(boxes[i].cts - boxes[0].cts, i * 1920u) << i;
    }
    std::string a = Probe(aac);
    EXPECT_NE(a.find("sample_rate=48000"), std::string::npos) << a;
    EXPECT_NE(a.find("nb_read_frames=40\n"), std::string::npos) << a;
}

// Mean luma and saturation of the first picture of an H.264 file.
bool PictureStats(const std::string& path, double* luma, double* saturation)
{
    std::string text = Capture("ffmpeg -nostdin -v info -i " + path +
                               " -vf signalstats,metadata=print -frames:v 1 -f null - 2>&1");
    size_t y = text.find("lavfi.signalstats.YAVG=");
    size_t sat = text.find("lavfi.signalstats.SATAVG=");
    if (y == std::string::npos || sat == std::string::npos)
        return false;
    *luma = atof(text.c_str() + y + strlen("lavfi.signalstats.YAVG="));
    *saturation = atof(text.c_str() + sat + strlen("lavfi.signalstats.SATAVG="));
    return true;
}

TEST_F(EmuEncode, BrightnessAndColourShowInThePicture)
{
    double luma[2] = {0, 0}, saturation[2] = {0, 0};
    const char* settings[2] = {"2,48,256,160,120,15,15,0,40", "2,48,256,160,120,15,15,255,220"};
    for (int i = 0; i < 2; ++i) {
        std::string h264 = dir + "/video" + std::to_string(i) + ".h264";
        Output out = RunProbe(Encoded(""), std::string("read 3 --settings ") + settings[i] + " --h264 " + h264);
        ASSERT_EQ(out.status, 0) << out.text;
        ASSERT_TRUE(PictureStats(h264, &luma[i], &saturation[i])) << h264;
    }
    // Brightness 40 against 220, colour 0 against 255.
    EXPECT_LT(luma[0] + 20, luma[1]) << luma[0] << " " << luma[1];
    EXPECT_LT(saturation[0] + 10, saturation[1]) << saturation[0] << " " << saturation[1];
}
