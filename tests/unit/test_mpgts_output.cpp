// Output modes of the transport-stream writer: what reaches the recording
// file and what reaches an RTP receiver on loopback. Each test case runs in a
// process of its own under ctest and starts from fresh writer state.
#include <gtest/gtest.h>

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

// Every PID's packets carry consecutive continuity counters.
void ExpectContinuous(const std::vector<Packet>& packets, const char* what)
{
    std::map<unsigned, int> last;
    for (size_t i = 0; i < packets.size(); i++) {
        const Packet& k = packets[i];
        auto it = last.find(k.pid);
        if (it != last.end()) {
            EXPECT_EQ((unsigned)((it->second + 1) & 15), k.cc) << what << ": packet " << i << " pid " << k.pid;
        }
        last[k.pid] = (int)k.cc;
    }
}

// A short stream: SPS, PPS, SEI, IDR and two slices with audio between.
struct Sample {
    bool video;
    Bytes data;
    unsigned ts;
};

std::vector<Sample> ShortStream()
{
    std::vector<Sample> s;
    s.push_back({true, MakeNalu(7, 14), 3000});
    s.push_back({true, MakeNalu(8, 8), 3000});
    s.push_back({true, MakeNalu(6, 30), 3000});
    s.push_back({true, MakeNalu(5, 1000), 3000});
    s.push_back({false, MakeNalu(0, 300, 9), 3100});
    s.push_back({true, MakeNalu(1, 400), 6000});
    s.push_back({false, MakeNalu(0, 310, 7), 5020});
    s.push_back({true, MakeNalu(7, 14), 9000});
    s.push_back({true, MakeNalu(8, 8), 9000});
    s.push_back({true, MakeNalu(5, 700), 9000});
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

TEST(FileMode, TablesOnceAtTheStartAndContinuousPids)
{
    LoopbackRtp rtp;
    ASSERT_TRUE(rtp.Ready());
    std::string path = TempPath("file.ts");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, f, TS_OUTPUT_FILE));
    Feed(ShortStream(), TS_OUTPUT_FILE);
    deinitMP2TS();
    deinitMP2TS();  // nothing left to close

    Bytes file = ReadFile(path);
    remove(path.c_str());
    ASSERT_EQ(0u, file.size() % 188);
    ASSERT_GE(file.size(), 2u * 188);
    EXPECT_EQ(Pat(), Bytes(file.begin(), file.begin() + 188));
    EXPECT_EQ(Pmt(0x1B, 0x0F, 1), Bytes(file.begin() + 188, file.begin() + 376));
    std::vector<Packet> packets = ParseAll(file.data(), file.size() / 188);
    ASSERT_EQ(file.size() / 188, packets.size());
    for (size_t i = 2; i < packets.size(); i++) {
        EXPECT_NE(0u, packets[i].pid);
        EXPECT_NE(0x42u, packets[i].pid);
    }
    ExpectContinuous(packets, "file");
    // SPS, PPS, IDR, slice, SPS, PPS, IDR on video (the SEI dropped), two
    // audio frames.
    std::vector<Pes> pes = Reassemble(packets);
    ASSERT_EQ(9u, pes.size());
    // Nothing went out over RTP.
    EXPECT_TRUE(rtp.Drain().empty());
}

// The device's 32-bit time stamps wrap every 13.25 hours; PTS and PCR run on
// into bit 32 instead of jumping back (which made ffprobe take a 60-second
// recording across the wrap for 13.3 hours). An audio stamp a little behind
// the video across the wrap stays behind; a new recording starts afresh.
TEST(FileMode, TimeStampsRunOnAcrossThe32BitWrap)
{
    std::string path = TempPath("wrap.ts");
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
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, f, TS_OUTPUT_FILE));
        Feed(samples, TS_OUTPUT_FILE);
        deinitMP2TS();
        Bytes file = ReadFile(path);
        std::vector<Packet> packets = ParseAll(file.data(), file.size() / 188);
        std::vector<Pes> pes = Reassemble(packets);
        ASSERT_EQ(expected.size(), pes.size());
        for (size_t i = 0; i < pes.size(); i++) {
            EXPECT_EQ(expected[i], pes[i].pts) << "PES " << i;
        }
        std::vector<uint64_t> pcrs;
        for (const Packet& k : packets) {
            if (k.hasPcr) pcrs.push_back(k.pcrBase);
        }
        EXPECT_EQ(expected, pcrs);
    }
    remove(path.c_str());
}

TEST(FileMode, NeedsAFile)
{
    EXPECT_EQ(0u, initMP2TS(MEDIA_FORMAT_VIDEO, nullptr, TS_OUTPUT_FILE));
    EXPECT_EQ(0u, initMP2TS(MEDIA_FORMAT_VIDEO, nullptr, TS_OUTPUT_FILE_AND_RTP));
    EXPECT_EQ(0u, initMP2TS(MEDIA_FORMAT_VIDEO, nullptr, 0));
    // Without a file the file modes write nothing and do not crash.
    Bytes sps = MakeNalu(7, 20);
    EXPECT_EQ(1u, writeVideoTS(sps.data(), 20, 0, TS_OUTPUT_FILE));
}

TEST(FileMode, PacketBufferHoldsEverySize)
{
    std::string path = TempPath("sizes.ts");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, f, TS_OUTPUT_FILE));
    Bytes sps = MakeNalu(7, 20);
    writeVideoTS(sps.data(), 20, 0, TS_OUTPUT_FILE);
    size_t expected = 3;
    Bytes data = MakeNalu(1, 9000);
    auto packets = [](unsigned first, unsigned s) { return s <= first ? 1u : 1u + (s - first + 183) / 184; };
    for (unsigned s = 5; s <= 9000; s += (s < 2000 ? 1 : 97)) {
        writeVideoTS(data.data(), s, s, TS_OUTPUT_FILE);
        expected += packets(162, s);
        if (s <= 8184) {
            writeAudioTS(data.data(), s, s, TS_OUTPUT_FILE);
            expected += packets(155, s);
        }
        writePrvDataTS(data.data(), s, s, TS_OUTPUT_FILE);
        expected += packets(168, s);
    }
    // Too large for the ADTS frame length: refused, nothing written.
    EXPECT_EQ(0u, writeAudioTS(data.data(), 8185, 0, TS_OUTPUT_FILE));
    Bytes block(65528, 1);
    EXPECT_EQ(0u, writePrvDataTS(block.data(), 65528, 0, TS_OUTPUT_FILE));
    deinitMP2TS();
    Bytes file = ReadFile(path);
    remove(path.c_str());
    EXPECT_EQ(expected * 188, file.size());
    std::vector<Packet> parsed = ParseAll(file.data(), file.size() / 188);
    EXPECT_EQ(file.size() / 188, parsed.size());
    ExpectContinuous(parsed, "sizes");
}

TEST(StreamMode, TablesBeforeEverySequenceParameterSet)
{
    LoopbackRtp rtp;
    ASSERT_TRUE(rtp.Ready());
    std::string path = TempPath("stream.ts");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_VIDEO, f, TS_OUTPUT_RTP));

    std::vector<RtpDatagram> ds = rtp.Drain();
    ASSERT_EQ(2u, ds.size());
    const Bytes pat = Pat(), pmt = Pmt(0x1B, 0, 0);
    EXPECT_EQ(pat, Bytes(ds[0].raw.begin() + 12, ds[0].raw.end()));
    EXPECT_EQ(pmt, Bytes(ds[1].raw.begin() + 12, ds[1].raw.end()));
    EXPECT_EQ(0u, ds[0].ts);
    EXPECT_EQ(33u, ds[0].pt);
    unsigned seq = ds[1].seq;
    EXPECT_EQ((ds[0].seq + 1) & 0xFFFF, seq);

    Bytes sps = MakeNalu(7, 14), pps = MakeNalu(8, 8), idr = MakeNalu(5, 1000), slice = MakeNalu(1, 100);
    writeVideoTS(sps.data(), 14, 1000, TS_OUTPUT_RTP);
    ds = rtp.Drain();
    ASSERT_EQ(3u, ds.size());
    EXPECT_EQ(pat, Bytes(ds[0].raw.begin() + 12, ds[0].raw.end()));
    EXPECT_EQ(pmt, Bytes(ds[1].raw.begin() + 12, ds[1].raw.end()));
    ASSERT_EQ(1u, ds[2].packets.size());
    EXPECT_EQ(0x44u, ds[2].packets[0].pid);
    for (const RtpDatagram& d : ds) {
        EXPECT_EQ(1000u, d.ts);
        EXPECT_EQ((++seq) & 0xFFFF, d.seq);
    }

    writeVideoTS(pps.data(), 8, 1000, TS_OUTPUT_RTP);
    writeVideoTS(idr.data(), 1000, 1000, TS_OUTPUT_RTP);  // 6 packets: 5 + 1
    writeVideoTS(slice.data(), 100, 4000, TS_OUTPUT_RTP);
    ds = rtp.Drain();
    ASSERT_EQ(4u, ds.size());
    EXPECT_EQ(1u, ds[0].packets.size());
    EXPECT_EQ(5u, ds[1].packets.size());
    EXPECT_EQ(1u, ds[2].packets.size());
    EXPECT_EQ(4000u, ds[3].ts);
    for (const RtpDatagram& d : ds) {
        for (const Packet& k : d.packets) EXPECT_EQ(0x44u, k.pid);
        EXPECT_EQ((++seq) & 0xFFFF, d.seq);
    }

    writeVideoTS(sps.data(), 14, 7000, TS_OUTPUT_RTP);
    ds = rtp.Drain();
    ASSERT_EQ(3u, ds.size());
    EXPECT_EQ(pat, Bytes(ds[0].raw.begin() + 12, ds[0].raw.end()));  // byte-identical, counter 0
    EXPECT_EQ(pmt, Bytes(ds[1].raw.begin() + 12, ds[1].raw.end()));

    deinitMP2TS();
    // Mode 2 writes nothing to a file it was given.
    EXPECT_TRUE(ReadFile(path).empty());
    remove(path.c_str());
}

TEST(CombinedMode, OnePacketisationKeepsBothOutputsContinuous)
{
    LoopbackRtp rtp;
    ASSERT_TRUE(rtp.Ready());
    std::string path = TempPath("both.ts");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(1u, initMP2TS(MEDIA_FORMAT_AUDIO_VIDEO, f, TS_OUTPUT_FILE_AND_RTP));
    Feed(ShortStream(), TS_OUTPUT_FILE_AND_RTP);
    deinitMP2TS();

    Bytes file = ReadFile(path);
    remove(path.c_str());
    std::vector<Packet> filePackets = ParseAll(file.data(), file.size() / 188);
    std::vector<Packet> rtpPackets = rtp.Packets();

    // The stream repeats the tables in front of both sequence parameter
    // sets; the file has them once.
    auto countPid = [](const std::vector<Packet>& v, unsigned pid) {
        size_t n = 0;
        for (const Packet& k : v) n += k.pid == pid;
        return n;
    };
    EXPECT_EQ(1u, countPid(filePackets, 0));
    EXPECT_EQ(3u, countPid(rtpPackets, 0));
    EXPECT_EQ(3u, countPid(rtpPackets, 0x42));

    // Apart from the tables, both outputs carry the same packets.
    auto media = [](const std::vector<Packet>& v) {
        std::vector<Packet> m;
        for (const Packet& k : v)
            if (k.pid != 0 && k.pid != 0x42) m.push_back(k);
        return m;
    };
    std::vector<Packet> fileMedia = media(filePackets), rtpMedia = media(rtpPackets);
    ASSERT_EQ(fileMedia.size(), rtpMedia.size());
    for (size_t i = 0; i < fileMedia.size(); i++) {
        EXPECT_EQ(fileMedia[i].pid, rtpMedia[i].pid);
        EXPECT_EQ(fileMedia[i].cc, rtpMedia[i].cc);
        EXPECT_EQ(fileMedia[i].payload, rtpMedia[i].payload);
    }
    ExpectContinuous(fileMedia, "file");
    ExpectContinuous(rtpMedia, "rtp");
    EXPECT_EQ(9u, Reassemble(fileMedia).size());

    // With the recording closed, mode 3 goes on sending alone.
    Bytes slice = MakeNalu(1, 50);
    writeVideoTS(slice.data(), 50, 12000, TS_OUTPUT_FILE_AND_RTP);
    std::vector<RtpDatagram> ds = rtp.Drain();
    ASSERT_EQ(1u, ds.size());
    ASSERT_EQ(1u, ds[0].packets.size());
    EXPECT_EQ((rtpMedia.back().cc + 1) & 15, ds[0].packets[0].cc);
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
