// Output modes of the transport-stream writer: what reaches the recording
// file and what reaches an RTP receiver on loopback. Each test case runs in a
// process of its own under ctest and starts from fresh writer state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crc32.h"
#include "captureparams.h"
#include "mpgTSWriter.h"
#include "test_mpgts_util.h"

using namespace tsutil;

namespace {

Bytes Pat()
{
    Bytes b(188);
    getPAT(b.data());
    return b;
}

Bytes Pmt(unsigned char v, unsigned char a, unsigned char p)
{
    Bytes b(188);
    gen_crc32_table();
    getPMT(b.data(), v, a, p);
    return b;
}

// Every PID's packets carry consecutive continuity counters; a packet
// without payload repeats the count of the one before it (2.4.3.3).
void ExpectContinuous(const std::vector<Packet>& packets, const char* what)
{
    std::map<unsigned, int> last;
    for (size_t i = 0; i < packets.size(); i++) {
        const Packet& k = packets[i];
        auto it = last.find(k.pid);
        bool payload = k.afc == 1 || k.afc == 3;
        if (it != last.end()) {
            unsigned expected = payload ? (it->second + 1) & 15 : (unsigned)it->second;
            EXPECT_EQ(expected, k.cc) << what << ": packet " << i << " pid " << k.pid;
        }
        last[k.pid] = (int)k.cc;
    }
}

// Indexes of the packets of one PID.
std::vector<size_t> PacketsOfPid(const std::vector<Packet>& packets, unsigned pid)
{
    std::vector<size_t> at;
    for (size_t i = 0; i < packets.size(); i++)
        if (packets[i].pid == pid) at.push_back(i);
    return at;
}

// A short stream: SPS, PPS, SEI, IDR and two slices with audio between, then
// a second IDR access unit.
struct Sample {
    bool video;
    Bytes data;
    unsigned ts;
};

std::vector<Sample> ShortStream()
{
    std::vector<Sample> s;
    s.push_back({true, MakeNalu(7, 14), 90000});
    s.push_back({true, MakeNalu(8, 8), 90000});
    s.push_back({true, MakeNalu(6, 30), 90000});
    s.push_back({true, MakeNalu(5, 1000), 90000});
    s.push_back({false, MakeNalu(0, 300, 9), 90100});
    s.push_back({true, MakeNalu(1, 400), 93000});
    s.push_back({false, MakeNalu(0, 310, 7), 92020});
    s.push_back({true, MakeNalu(7, 14), 96000});
    s.push_back({true, MakeNalu(8, 8), 96000});
    s.push_back({true, MakeNalu(5, 700), 96000});
    return s;
}

void Feed(const std::vector<Sample>& samples, unsigned mode)
{
    for (const Sample& s : samples) {
        Bytes copy = s.data;
        if (s.video)
            writeVideoTS(copy.data(), (unsigned)copy.size(), s.ts, mode);
        else
            writeAudioTS(copy.data(), (unsigned)copy.size(), s.ts, mode);
    }
}

std::vector<Packet> RecordFile(unsigned char media, const std::vector<Sample>& samples)
{
    std::string path = TempPath("record.ts");
    FILE* f = fopen(path.c_str(), "wb");
    EXPECT_NE(nullptr, f);
    EXPECT_EQ(1u, initMP2TS(media, f, TS_OUTPUT_FILE));
    Feed(samples, TS_OUTPUT_FILE);
    deinitMP2TS();
    Bytes file = ReadFile(path);
    remove(path.c_str());
    EXPECT_EQ(0u, file.size() % 188);
    std::vector<Packet> packets = ParseAll(file.data(), file.size() / 188);
    EXPECT_EQ(file.size() / 188, packets.size()) << "malformed packet";
    return packets;
}

// The recording opens with PAT and PMT and repeats them, with their
// counters going on, in front of every access unit a decoder can start at;
// every access unit opens with a delimiter; the timing rules hold.
TEST(FileMode, TablesAtTheStartAndAtEveryRandomAccessPoint)
{
    LoopbackRtp rtp;
    ASSERT_TRUE(rtp.Ready());
    std::vector<Packet> packets = RecordFile(MEDIA_FORMAT_AUDIO_VIDEO, ShortStream());
    deinitMP2TS();  // nothing left to close
    ASSERT_GE(packets.size(), 2u);
    std::vector<size_t> pats = PacketsOfPid(packets, 0), pmts = PacketsOfPid(packets, 0x42);
    ASSERT_EQ(2u, pats.size());
    ASSERT_EQ(2u, pmts.size());
    EXPECT_EQ(0u, pats[0]);
    EXPECT_EQ(1u, pmts[0]);
    // The second pair goes right in front of the second IDR access unit.
    EXPECT_EQ(pats[1] + 1, pmts[1]);
    const Packet& next = packets[pmts[1] + 1];
    EXPECT_EQ(0x44u, next.pid);
    EXPECT_TRUE(next.unitStart);
    // The same tables each time, with the counters going on.
    Bytes pat = Pat(), pmt = Pmt(0x1B, 0x0F, 1);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(ParseAll(pat.data(), 1)[0].payload, packets[pats[i]].payload);
        EXPECT_EQ(ParseAll(pmt.data(), 1)[0].payload, packets[pmts[i]].payload);
        EXPECT_EQ(i, packets[pats[i]].cc);
        EXPECT_EQ(i, packets[pmts[i]].cc);
    }
    ExpectContinuous(packets, "file");
    ExpectTimingRules(packets, 0x44, "file");
    // SPS, PPS, IDR, slice, SPS, PPS, IDR on video (the SEI dropped), two
    // audio frames; a delimiter opens each of the three access units.
    std::vector<Pes> pes = Reassemble(packets);
    ASSERT_EQ(9u, pes.size());
    std::vector<bool> auds;
    for (const Pes& e : pes)
        if (e.pid == 0x44) auds.push_back(e.aud);
    EXPECT_EQ((std::vector<bool>{true, false, false, true, true, false, false}), auds);
    // Nothing went out over RTP.
    EXPECT_TRUE(rtp.Drain().empty());
}

// The device's 32-bit time stamps wrap every 13.25 hours; PTS and PCR run on
// into bit 32 instead of jumping back (which made ffprobe take a 60-second
// recording across the wrap for 13.3 hours). An audio stamp a little behind
// the video across the wrap stays behind; a new recording starts afresh.
TEST(FileMode, TimeStampsRunOnAcrossThe32BitWrap)
{
    std::vector<Sample> samples = {
        {true, MakeNalu(7, 14), 0xFFFFF000u}, {true, MakeNalu(8, 8), 0xFFFFF000u},
        {true, MakeNalu(5, 400), 0xFFFFF000u}, {true, MakeNalu(1, 300), 0x00000400u},
        {false, MakeNalu(0, 200, 3), 0xFFFFFF80u}, {true, MakeNalu(1, 300), 0x00001000u},
        {false, MakeNalu(0, 200, 5), 0x00000100u},
    };
    const std::vector<uint64_t> expected = {0xFFFFF000ull, 0xFFFFF000ull, 0xFFFFF000ull, 0x100000400ull,
                                            0xFFFFFF80ull, 0x100001000ull, 0x100000100ull};
    for (int recording = 0; recording < 2; recording++) {
        SCOPED_TRACE(recording);
        std::vector<Packet> packets = RecordFile(MEDIA_FORMAT_AUDIO_VIDEO, samples);
        std::vector<Pes> pes = Reassemble(packets);
        ASSERT_EQ(expected.size(), pes.size());
        for (size_t i = 0; i < pes.size(); i++) {
            EXPECT_EQ(expected[i], pes[i].pts) << "PES " << i;
        }
        ExpectTimingRules(packets, 0x44, "wrap");
        // The PCR runs on too: the first one leads the first PTS by the delay.
        ASSERT_TRUE(packets[2].hasPcr);
        EXPECT_EQ(0xFFFFF000ull - TS_PCR_DELAY_TICKS, packets[2].pcrBase);
    }
}

TEST(FileMode, NeedsAFile)
{
    EXPECT_EQ(0u, initMP2TS(MEDIA_FORMAT_VIDEO, nullptr, TS_OUTPUT_FILE));
    EXPECT_EQ(0u, initMP2TS(MEDIA_FORMAT_VIDEO, nullptr, TS_OUTPUT_FILE_AND_RTP));
    // Mode 0 feeds the sinks alone (the live services): no file needed.
    EXPECT_EQ(1u, initMP2TS(MEDIA_FORMAT_VIDEO, nullptr, 0));
    // Without a file the file modes write nothing and do not crash.
    Bytes sps = MakeNalu(7, 20);
    EXPECT_EQ(1u, writeVideoTS(sps.data(), 20, 0, TS_OUTPUT_FILE));
}

// Units of every size come out whole, each in its PES packet, with the
// tables and PCR-only packets the multiplex adds; nothing overruns the
// sample's packet buffer (the sanitizer build watches it).
TEST(FileMode, PacketBufferHoldsEverySize)
{
    std::vector<Sample> samples = {{true, MakeNalu(7, 20), 90000}};
    Bytes data = MakeNalu(1, 9000);
    for (unsigned s = 5; s <= 9000; s += (s < 2000 ? 1 : 97)) {
        Bytes unit(data.begin(), data.begin() + s);
        samples.push_back({true, unit, 90000 + 9 * s});
        if (s <= 8184) samples.push_back({false, unit, 90000 + 9 * s});
    }
    std::vector<Packet> packets = RecordFile(MEDIA_FORMAT_AUDIO_VIDEO, samples);
    std::vector<size_t> expected[2], got[2];  // video, audio (ADTS header counted)
    for (const Sample& sample : samples) expected[sample.video ? 0 : 1].push_back(sample.data.size() + (sample.video ? 0 : 7));
    for (const Pes& p : Reassemble(packets)) got[p.pid == 0x44 ? 0 : 1].push_back(p.data.size());
    EXPECT_EQ(expected[0], got[0]);
    EXPECT_EQ(expected[1], got[1]);
    ExpectContinuous(packets, "sizes");
    // Too large for the ADTS frame length or for PES_packet_length: refused.
    EXPECT_EQ(0u, writeAudioTS(data.data(), 8185, 0, TS_OUTPUT_FILE));
    Bytes block(65528, 1);
    EXPECT_EQ(0u, writePrvDataTS(block.data(), 65528, 0, TS_OUTPUT_FILE));
    EXPECT_EQ(1u, writePrvDataTS(block.data(), 65527, 0, TS_OUTPUT_FILE));
}

// At 5 pictures a second the PCR PID would go 200 ms without a PCR: packets
// with a PCR and no payload fill in, so that PCRs come at most 100 ms apart
// (2.7.2) and the tables at most 0.5 s apart, also where the video (the PCR
// PID) starts a second after the audio.
TEST(FileMode, PcrAndTablesNeverLapse)
{
    std::vector<Sample> samples;
    for (unsigned i = 0; i < 50; i++) samples.push_back({false, MakeNalu(0, 150, 3), 90000 + 1920 * i});
    for (unsigned i = 0; i < 10; i++) {
        unsigned ts = 180000 + 18000 * i;
        if (i % 5 == 0) samples.push_back({true, MakeNalu(7, 14), ts});
        samples.push_back({true, MakeNalu(i % 5 == 0 ? 5 : 1, 600), ts});
    }
    std::stable_sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.ts < b.ts; });
    std::vector<Packet> packets = RecordFile(MEDIA_FORMAT_AUDIO_VIDEO, samples);
    ExpectContinuous(packets, "5 fps");
    ExpectTimingRules(packets, 0x44, "5 fps");
    // The first packet of the PCR PID, before any video, carries a PCR.
    std::vector<size_t> video = PacketsOfPid(packets, 0x44);
    ASSERT_FALSE(video.empty());
    EXPECT_TRUE(packets[video[0]].hasPcr);
    EXPECT_TRUE(packets[video[0]].payload.empty());
    EXPECT_LT(video[0], PacketsOfPid(packets, 0x45)[0]);
    std::vector<int64_t> t = ArrivalTimes(packets, 0x44);
    int64_t lastPat = -1;
    for (size_t i : PacketsOfPid(packets, 0)) {
        if (t[i] < 0) continue;
        if (lastPat >= 0) {
            EXPECT_LE(t[i] - lastPat, 27000000 / 2) << "tables at packet " << i;
        }
        lastPat = t[i];
    }
    EXPECT_GE(PacketsOfPid(packets, 0).size(), 5u);
}

// A stall of the encoder (a gap in the stamps longer than the multiplex
// fills, here about an hour) takes as many PCR-only packets as the sample's
// buffer holds, and never one of the sample's own packets.
TEST(FileMode, ALongGapLosesNoPacket)
{
    std::vector<Sample> samples;
    for (unsigned i = 0; i < 4; i++) samples.push_back({false, MakeNalu(0, 100, 3), 90000 + 1920 * i});
    for (unsigned i = 0; i < 4; i++) samples.push_back({false, MakeNalu(0, 100, 3), 324000000 + 1920 * i});
    std::vector<Packet> packets = RecordFile(MEDIA_FORMAT_AUDIO, samples);
    ExpectContinuous(packets, "gap");
    EXPECT_EQ(8u, Reassemble(packets).size());
}

// A stream opens with the tables and repeats them, counters going on, in
// front of every access unit a receiver can join at; the datagrams carry
// the sample's time stamp.
TEST(StreamMode, TablesAtTheStartAndAtEveryRandomAccessPoint)
{
    LoopbackRtp rtp;
    ASSERT_TRUE(rtp.Ready());
    std::string path = TempPath("stream.ts");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_VIDEO, f, TS_OUTPUT_RTP));

    std::vector<RtpDatagram> ds = rtp.Drain();
    ASSERT_EQ(2u, ds.size());
    EXPECT_EQ(Pat(), Bytes(ds[0].raw.begin() + 12, ds[0].raw.end()));
    EXPECT_EQ(Pmt(0x1B, 0, 0), Bytes(ds[1].raw.begin() + 12, ds[1].raw.end()));
    EXPECT_EQ(0u, ds[0].ts);
    EXPECT_EQ(33u, ds[0].pt);
    unsigned seq = ds[1].seq;
    EXPECT_EQ((ds[0].seq + 1) & 0xFFFF, seq);

    Feed({{true, MakeNalu(7, 14), 90000}, {true, MakeNalu(8, 8), 90000}, {true, MakeNalu(5, 1000), 90000},
          {true, MakeNalu(1, 100), 93000}},
         TS_OUTPUT_RTP);
    ds = rtp.Drain();
    std::vector<Packet> packets;
    for (const RtpDatagram& d : ds) {
        EXPECT_EQ((++seq) & 0xFFFF, d.seq);
        EXPECT_TRUE(d.ts == 90000u || d.ts == 93000u);
        packets.insert(packets.end(), d.packets.begin(), d.packets.end());
    }
    EXPECT_TRUE(PacketsOfPid(packets, 0).empty());  // the opening tables serve the first IDR
    EXPECT_EQ(93000u, ds.back().ts);

    Feed({{true, MakeNalu(7, 14), 96000}, {true, MakeNalu(5, 300), 96000}}, TS_OUTPUT_RTP);
    ds = rtp.Drain();
    ASSERT_FALSE(ds.empty());
    ASSERT_GE(ds[0].packets.size(), 3u);
    EXPECT_EQ(96000u, ds[0].ts);
    EXPECT_EQ(0u, ds[0].packets[0].pid);
    EXPECT_EQ(1u, ds[0].packets[0].cc);
    EXPECT_EQ(0x42u, ds[0].packets[1].pid);
    EXPECT_EQ(1u, ds[0].packets[1].cc);
    EXPECT_TRUE(ds[0].packets[2].unitStart);

    deinitMP2TS();
    // Mode 2 writes nothing to a file it was given.
    EXPECT_TRUE(ReadFile(path).empty());
    remove(path.c_str());
}

// -r 2 -s 2: the recording and the stream are the same packets, tables
// included, each continuous; a recording opened after the stream starts
// alike.
TEST(CombinedMode, TheFileIsTheStream)
{
    LoopbackRtp rtp;
    ASSERT_TRUE(rtp.Ready());
    std::string path = TempPath("both.ts");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, nullptr, TS_OUTPUT_RTP));
    ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, f, TS_OUTPUT_FILE));
    Feed(ShortStream(), TS_OUTPUT_FILE_AND_RTP);
    deinitMP2TS();

    Bytes file = ReadFile(path);
    remove(path.c_str());
    Bytes stream;
    for (const RtpDatagram& d : rtp.Drain()) stream.insert(stream.end(), d.raw.begin() + 12, d.raw.end());
    EXPECT_EQ(file, stream);
    std::vector<Packet> packets = ParseAll(file.data(), file.size() / 188);
    ExpectContinuous(packets, "both");
    EXPECT_EQ(2u, PacketsOfPid(packets, 0).size());
    EXPECT_EQ(9u, Reassemble(packets).size());

    // With the recording closed, mode 3 goes on sending alone.
    Bytes slice = MakeNalu(1, 50);
    writeVideoTS(slice.data(), 50, 99000, TS_OUTPUT_FILE_AND_RTP);
    std::vector<RtpDatagram> ds = rtp.Drain();
    ASSERT_EQ(1u, ds.size());
    std::vector<size_t> video = PacketsOfPid(packets, 0x44);
    ASSERT_FALSE(ds[0].packets.empty());
    EXPECT_EQ((packets[video.back()].cc + 1) & 15, ds[0].packets.back().cc);
}

TEST(StreamSetup, UnknownStreamTypeFallsBackToAudioVideo)
{
    std::string path = TempPath("unknown.ts");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(1u, initMP2TS(7, f, TS_OUTPUT_FILE));
    EXPECT_EQ("MP2TS initMP2TS: Unknown stream type. Defaulting to Audio/Video",
              ::testing::internal::GetCapturedStdout());
    deinitMP2TS();
    Bytes file = ReadFile(path);
    remove(path.c_str());
    ASSERT_EQ(376u, file.size());
    EXPECT_EQ(Pmt(0x1B, 0x0F, 1), Bytes(file.begin() + 188, file.end()));

    // Audio only and video only name their own PMT.
    for (unsigned char type : {(unsigned char)MEDIA_FORMAT_AUDIO, (unsigned char)MEDIA_FORMAT_VIDEO}) {
        f = fopen(path.c_str(), "wb");
        ASSERT_EQ(1u, initMP2TS(type, f, TS_OUTPUT_FILE));
        deinitMP2TS();
        file = ReadFile(path);
        ASSERT_EQ(376u, file.size());
        Bytes expected = type == MEDIA_FORMAT_AUDIO ? Pmt(0, 0x0F, 0) : Pmt(0x1B, 0, 0);
        EXPECT_EQ(expected, Bytes(file.begin() + 188, file.end()));
    }
    remove(path.c_str());
}

}  // namespace
