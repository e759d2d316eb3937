// PES/TS packetisers: packet shapes, time stamps, cutting, continuity and
// the video filters. The packetiser's state lives for the whole process, as
// in a capture run. ctest runs every case in a process of its own; the cases
// that check the state a run starts from are skipped when they are not the
// first case of their process (a whole-binary run).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mpgTSWriter.h"
#include "test_mpgts_util.h"

using namespace tsutil;

namespace {

int g_casesInProcess = 0;

class TS : public ::testing::Test {
protected:
    void SetUp() override { g_casesInProcess++; }
    // True when this case is the first of its process, so that the writer's
    // counters and its wait for the first SPS are as a run starts them.
    bool FreshState() const { return g_casesInProcess == 1; }
};

#define REQUIRE_FRESH_STATE() \
    if (!FreshState()) GTEST_SKIP() << "needs the writer state of a new process (run it through ctest)"

const unsigned kVideoPid = 0x44, kAudioPid = 0x45, kPrivatePid = 0x48;

// Buffer for the packets of one unit, with a guard area that must stay intact.
struct Out {
    Bytes buf;
    explicit Out(size_t maxPackets) : buf(maxPackets * 188 + 188, 0xA5) {}
    uint8_t* data() { return buf.data(); }
    bool GuardIntact(unsigned packets) const
    {
        for (size_t i = packets * 188; i < buf.size(); i++)
            if (buf[i] != 0xA5) return false;
        return true;
    }
};

unsigned PacketsFor(unsigned firstCapacity, unsigned size)
{
    return size <= firstCapacity ? 1 : 1 + (size - firstCapacity + 183) / 184;
}

// Packetises a sequence parameter set so that later video units pass the
// wait-for-SPS filter; returns its packets.
std::vector<Packet> OpenVideo(unsigned ts = 0)
{
    Bytes sps = MakeNalu(7, 20);
    Out out(1);
    unsigned n = getVideoTS(sps.data(), (unsigned)sps.size(), out.data(), ts);
    return ParseAll(out.data(), n);
}

Packet One(const uint8_t* p)
{
    Packet k;
    EXPECT_TRUE(ParsePacket(p, &k));
    return k;
}

// PTS bytes as ISO/IEC 13818-1 (2.4.3.7) lays them out; the PCR field of a
// packetised PES packet holds its nominal start, the delay before the PTS
// (the multiplex then puts in the packet's arrival time).
TEST_F(TS, TimeStamps_PtsAndPcrBytes)
{
    struct {
        unsigned ts;
        uint8_t pts[5];
        uint8_t pcr[6];
    } vectors[] = {
        {0x12345678, {0x21, 0x48, 0xD1, 0xAC, 0xF1}, {0x09, 0x1A, 0x19, 0xA8, 0x7E, 0x00}},
        {0x87654321, {0x25, 0x1D, 0x95, 0x86, 0x43}, {0x43, 0xB2, 0x8F, 0xFC, 0xFE, 0x00}},
    };
    for (auto& v : vectors) {
        Out out(1);
        ASSERT_EQ(1u, getAudioTS(nullptr, 0, out.data(), v.ts));
        const uint8_t* p = out.data();
        EXPECT_EQ(0, memcmp(p + 6, v.pcr, 6)) << std::hex << v.ts;
        // The PES header is the last 21 bytes before the (empty) frame.
        const uint8_t* pes = p + 188 - 21;
        EXPECT_EQ(0, memcmp(pes + 9, v.pts, 5)) << std::hex << v.ts;
        Packet k = One(p);
        EXPECT_EQ(v.ts - TS_PCR_DELAY_TICKS, k.pcrBase);
        EXPECT_EQ(0u, k.pcrExt);
    }
}

TEST_F(TS, AudioPacket_EmptyFrameAndHeaders)
{
    REQUIRE_FRESH_STATE();  // the audio PID starts at continuity_counter 0
    Out out(1);
    ASSERT_EQ(1u, getAudioTS(nullptr, 0, out.data(), 1000));
    const uint8_t* p = out.data();
    const uint8_t head[] = {0x47, 0x40, 0x45, 0x30, 7 + 155, 0x10};
    EXPECT_EQ(0, memcmp(p, head, sizeof(head)));
    for (int i = 12; i < 12 + 155; i++) ASSERT_EQ(0xFF, p[i]) << i;
    const uint8_t pes[] = {0x00, 0x00, 0x01, 0xC0, 0x00, 15, 0x81, 0x80, 0x05};
    EXPECT_EQ(0, memcmp(p + 167, pes, sizeof(pes)));
    const uint8_t adts[] = {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xFF, 0xFC};
    EXPECT_EQ(0, memcmp(p + 181, adts, sizeof(adts)));
    EXPECT_TRUE(out.GuardIntact(1));
}

TEST_F(TS, AudioPacket_FrameSizesAndLimit)
{
    for (unsigned size : {1u, 154u, 155u, 156u, 338u, 339u, 340u, 1000u, 8184u}) {
        Bytes frame = MakeNalu(0, size, (uint8_t)size);
        unsigned expected = PacketsFor(155, size);
        Out out(expected);
        unsigned n = getAudioTS(frame.data(), size, out.data(), 90000);
        ASSERT_EQ(expected, n) << size;
        ASSERT_TRUE(out.GuardIntact(n)) << size;
        std::vector<Pes> pes = Reassemble(ParseAll(out.data(), n));
        ASSERT_EQ(1u, pes.size());
        EXPECT_EQ(0xC0u, pes[0].streamId);
        EXPECT_EQ(size + 15, pes[0].pesLength);
        ASSERT_EQ(size + 7, pes[0].data.size());
        // ADTS frame_length counts the header.
        unsigned frameLength = ((pes[0].data[3] & 3) << 11) | (pes[0].data[4] << 3) | (pes[0].data[5] >> 5);
        EXPECT_EQ(size + 7, frameLength);
        EXPECT_EQ(frame, Bytes(pes[0].data.begin() + 7, pes[0].data.end())) << size;
    }
    // Larger frames cannot be described by the ADTS header: dropped whole,
    // nothing written, the continuity counter untouched.
    Bytes big(8185, 0x11);
    Out out(60);
    EXPECT_EQ(0u, getAudioTS(big.data(), (unsigned)big.size(), out.data(), 0));
    EXPECT_TRUE(out.GuardIntact(0));
    Out next(1);
    unsigned before = 0;
    {
        Out probe(1);
        getAudioTS(nullptr, 0, probe.data(), 0);
        before = One(probe.data()).cc;
    }
    getAudioTS(big.data(), (unsigned)big.size(), out.data(), 0);
    getAudioTS(nullptr, 0, next.data(), 0);
    EXPECT_EQ((before + 1) & 15, One(next.data()).cc);
}

TEST_F(TS, VideoPacket_CuttingAtFirstPacketCapacity)
{
    OpenVideo();
    {
        Bytes nalu = MakeNalu(1, 162);
        Out out(1);
        ASSERT_EQ(1u, getVideoTS(nalu.data(), 162, out.data(), 3000));
        Packet k = One(out.data());
        EXPECT_EQ(7u, k.afLength);
        EXPECT_EQ(0u, k.stuffing);
        EXPECT_EQ(0x10u, k.afFlags);
        EXPECT_EQ(0, memcmp(out.data() + 12 + 14, nalu.data(), 162));
        EXPECT_TRUE(out.GuardIntact(1));
    }
    {
        Bytes nalu = MakeNalu(1, 163);
        Out out(2);
        ASSERT_EQ(2u, getVideoTS(nalu.data(), 163, out.data(), 3000));
        const uint8_t* second = out.data() + 188;
        EXPECT_EQ(0x00, second[1]);  // no unit start, no priority
        EXPECT_EQ(0x44, second[2]);
        EXPECT_EQ(0x30, second[3] & 0xF0);
        EXPECT_EQ(182, second[4]);
        EXPECT_EQ(0x00, second[5]);
        for (int i = 6; i < 187; i++) ASSERT_EQ(0xFF, second[i]) << i;
        EXPECT_EQ(nalu[162], second[187]);
        EXPECT_TRUE(out.GuardIntact(2));
    }
}

TEST_F(TS, VideoPacket_ContinuationRemainders)
{
    OpenVideo();
    // 183 left after the first packet: a 5-byte header with an empty
    // adaptation field.
    Bytes nalu = MakeNalu(1, 162 + 183);
    Out out(2);
    ASSERT_EQ(2u, getVideoTS(nalu.data(), (unsigned)nalu.size(), out.data(), 0));
    const uint8_t* second = out.data() + 188;
    EXPECT_EQ(0x30, second[3] & 0xF0);
    EXPECT_EQ(0, second[4]);
    EXPECT_EQ(0, memcmp(second + 5, nalu.data() + 162, 183));

    // 184 left: payload only.
    nalu = MakeNalu(1, 162 + 184);
    Out out2(2);
    ASSERT_EQ(2u, getVideoTS(nalu.data(), (unsigned)nalu.size(), out2.data(), 0));
    EXPECT_EQ(0x10, out2.data()[188 + 3] & 0xF0);
    EXPECT_EQ(0, memcmp(out2.data() + 188 + 4, nalu.data() + 162, 184));
    EXPECT_TRUE(out2.GuardIntact(2));

    // 185 left: one full continuation and one with 181 stuffing bytes.
    nalu = MakeNalu(1, 162 + 185);
    Out out3(3);
    ASSERT_EQ(3u, getVideoTS(nalu.data(), (unsigned)nalu.size(), out3.data(), 0));
    EXPECT_EQ(182, out3.data()[2 * 188 + 4]);
    EXPECT_TRUE(out3.GuardIntact(3));
}

TEST_F(TS, VideoPacket_ReassemblesToTheUnitForManySizes)
{
    OpenVideo();
    for (unsigned size = 5; size < 1200; size += 13) {
        Bytes nalu = MakeNalu(1, size, (uint8_t)size);
        unsigned expected = PacketsFor(162, size);
        Out out(expected);
        unsigned n = getVideoTS(nalu.data(), size, out.data(), size * 3);
        ASSERT_EQ(expected, n) << size;
        ASSERT_TRUE(out.GuardIntact(n)) << size;
        std::vector<Packet> packets = ParseAll(out.data(), n);
        ASSERT_EQ(n, packets.size()) << "malformed packet, size " << size;
        EXPECT_TRUE(packets[0].hasPcr);
        EXPECT_EQ(((uint64_t)size * 3 + (1ull << 33) - TS_PCR_DELAY_TICKS) & 0x1FFFFFFFFull, packets[0].pcrBase);
        std::vector<Pes> pes = Reassemble(packets);
        ASSERT_EQ(1u, pes.size());
        EXPECT_EQ(0xE0u, pes[0].streamId);
        EXPECT_EQ(size * 3u, pes[0].pts);
        EXPECT_EQ(size + 8, pes[0].pesLength);
        EXPECT_EQ(nalu, pes[0].data) << size;
    }
}

TEST_F(TS, VideoPacket_PesLengthBoundedUpTo64999)
{
    OpenVideo();
    for (unsigned size : {64999u, 65000u, 70000u}) {
        Bytes nalu = MakeNalu(1, size);
        Out out(PacketsFor(162, size));
        unsigned n = getVideoTS(nalu.data(), size, out.data(), 0);
        std::vector<Pes> pes = Reassemble(ParseAll(out.data(), n));
        ASSERT_EQ(1u, pes.size());
        EXPECT_EQ(size <= 64999 ? size + 8 : 0u, pes[0].pesLength) << size;
        EXPECT_EQ(nalu, pes[0].data);
    }
}

TEST_F(TS, VideoFilter_NothingBeforeFirstSpsAndNoSei)
{
    REQUIRE_FRESH_STATE();  // no sequence parameter set seen yet
    Out out(4);
    Bytes idr = MakeNalu(5, 300), pps = MakeNalu(8, 10), slice = MakeNalu(1, 50);
    EXPECT_EQ(0u, getVideoTS(idr.data(), 300, out.data(), 0));
    EXPECT_EQ(0u, getVideoTS(pps.data(), 10, out.data(), 0));
    EXPECT_EQ(0u, getVideoTS(slice.data(), 50, out.data(), 0));
    EXPECT_TRUE(out.GuardIntact(0));
    // Audio does not wait.
    Out audio(1);
    EXPECT_EQ(1u, getAudioTS(slice.data(), 50, audio.data(), 0));

    std::vector<Packet> sps = OpenVideo();
    ASSERT_EQ(1u, sps.size());
    EXPECT_EQ(0u, sps[0].cc);  // the dropped units took no count

    Bytes sei = MakeNalu(6, 40);
    EXPECT_EQ(0u, getVideoTS(sei.data(), 40, out.data(), 0));
    EXPECT_TRUE(out.GuardIntact(0));
    ASSERT_EQ(1u, getVideoTS(pps.data(), 10, out.data(), 0));
    EXPECT_EQ(1u, One(out.data()).cc);  // the SEI took no count either
    // Too short to carry a NAL header: nothing to send.
    EXPECT_EQ(0u, getVideoTS(pps.data(), 4, out.data(), 0));
}

// An access unit delimiter (ISO/IEC 14496-10, 7.3.2.4) in front of the unit
// when it starts an access unit: nal_unit_type 9, primary_pic_type 7 and its
// stop bit, counted in PES_packet_length; the first packet holds 6 data bytes
// fewer.
TEST_F(TS, VideoPacket_AccessUnitDelimiterInFront)
{
    OpenVideo();
    Bytes nalu = MakeNalu(1, 157);
    Out out(2);
    ASSERT_EQ(2u, getVideoTS(nalu.data(), 157, out.data(), 9000, true));
    std::vector<Pes> pes = Reassemble(ParseAll(out.data(), 2));
    ASSERT_EQ(1u, pes.size());
    EXPECT_TRUE(pes[0].aud);
    EXPECT_EQ(nalu, pes[0].data);
    EXPECT_EQ(157u + 6 + 8, pes[0].pesLength);
    EXPECT_EQ(1u, getVideoTS(nalu.data(), 156, out.data(), 9000, true));
    EXPECT_EQ(1u, getVideoTS(nalu.data(), 157, out.data(), 9000, false));
}

TEST_F(TS, VideoFilter_IdrMarksItsFirstPacket)
{
    OpenVideo();
    Bytes idr = MakeNalu(5, 400), slice = MakeNalu(1, 400);
    Out out(3);
    ASSERT_EQ(3u, getVideoTS(idr.data(), 400, out.data(), 0));
    EXPECT_EQ(0x60, out.data()[1]);
    EXPECT_EQ(0x50, out.data()[5]);
    EXPECT_EQ(0x00, out.data()[188 + 1]);  // continuation packets unmarked
    ASSERT_EQ(3u, getVideoTS(slice.data(), 400, out.data(), 0));
    EXPECT_EQ(0x40, out.data()[1]);
    EXPECT_EQ(0x10, out.data()[5]);
}

TEST_F(TS, PrivateData_PacketShapesAndLimit)
{
    Bytes block = MakeNalu(0, 168);
    Out out(1);
    ASSERT_EQ(1u, getPrvDataTS(block.data(), 168, out.data(), 5));
    const uint8_t head[] = {0x47, 0x40, 0x48, 0x30, 1, 0x00, 0x00, 0x00, 0x01, 0xBD, 0x00, 168 + 8};
    EXPECT_EQ(0, memcmp(out.data(), head, sizeof(head)));
    EXPECT_EQ(0, memcmp(out.data() + 20, block.data(), 168));

    Out small(1);
    ASSERT_EQ(1u, getPrvDataTS(block.data(), 10, small.data(), 5));
    Packet k = One(small.data());
    EXPECT_EQ(159u, k.afLength);
    EXPECT_EQ(158u, k.stuffing);
    EXPECT_FALSE(k.hasPcr);
    EXPECT_EQ((One(out.data()).cc + 1) & 15, k.cc);

    Bytes largest(65527, 0x3C);
    Out big(PacketsFor(168, 65527));
    unsigned n = getPrvDataTS(largest.data(), 65527, big.data(), 0);
    ASSERT_EQ(PacketsFor(168, 65527), n);
    std::vector<Pes> pes = Reassemble(ParseAll(big.data(), n));
    ASSERT_EQ(1u, pes.size());
    EXPECT_EQ(65535u, pes[0].pesLength);
    EXPECT_EQ(largest, pes[0].data);

    Bytes tooBig(65528, 0x3C);
    Out none(PacketsFor(168, 65528));
    EXPECT_EQ(0u, getPrvDataTS(tooBig.data(), 65528, none.data(), 0));
    EXPECT_TRUE(none.GuardIntact(0));
}

TEST_F(TS, Continuity_CountsAcrossCallsPerPidAndWraps)
{
    REQUIRE_FRESH_STATE();  // every PID starts at 0
    std::vector<Packet> sps = OpenVideo();
    ASSERT_EQ(1u, sps.size());
    EXPECT_EQ(0u, sps[0].cc);

    Bytes four = MakeNalu(1, 162 + 3 * 184);  // exactly four packets
    Out out(4);
    ASSERT_EQ(4u, getVideoTS(four.data(), (unsigned)four.size(), out.data(), 0));
    std::vector<Packet> packets = ParseAll(out.data(), 4);
    for (unsigned i = 0; i < 4; i++) EXPECT_EQ(1 + i, packets[i].cc);

    // Other PIDs keep their own counts.
    Out a(1), p(1);
    getAudioTS(nullptr, 0, a.data(), 0);
    getPrvDataTS(nullptr, 0, p.data(), 0);
    EXPECT_EQ(0u, One(a.data()).cc);
    EXPECT_EQ(0u, One(p.data()).cc);

    // Video is at 5 now; 20 more single-packet units wrap after 15.
    Bytes small = MakeNalu(1, 20);
    for (unsigned i = 0; i < 20; i++) {
        Out o(1);
        ASSERT_EQ(1u, getVideoTS(small.data(), 20, o.data(), 0));
        EXPECT_EQ((5 + i) & 15, One(o.data()).cc) << i;
    }
}

}  // namespace
