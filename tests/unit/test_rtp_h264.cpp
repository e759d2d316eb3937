// H.264 over RTP: single NAL unit packets, FU-A fragments, the marker on the
// last packet of an access unit, and the walk over a QBox video sample.
#include <gtest/gtest.h>

#include <cstring>

#include "QBox.h"
#include "Rtp.h"
#include "test_rtp_receiver.h"

namespace {

Datagram MakeNalu(size_t size, uint8_t header)
{
    Datagram nalu(size);
    nalu[0] = header;
    for (size_t i = 1; i < size; ++i)
        nalu[i] = (uint8_t)(i * 7 + 3);
    return nalu;
}

// A video QBox holding the given NAL units behind 4-byte length prefixes.
Datagram MakeVideoSample(const std::vector<Datagram>& nalus, uint32_t cts)
{
    Datagram sample(QBOX_HEADER_SIZE);
    for (const Datagram& n : nalus) {
        uint8_t prefix[4];
        WriteBE32(prefix, (uint32_t)n.size());
        sample.insert(sample.end(), prefix, prefix + 4);
        sample.insert(sample.end(), n.begin(), n.end());
    }
    QBox h = {(UINT32)sample.size(), QBOX_TYPE, 0, QBOX_STREAM_VIDEO, 0, 0, cts};
    EncodeQBoxHeader(&h, sample.data());
    return sample;
}

class RtpH264 : public RtpStreamsTest {
protected:
    std::vector<Datagram> Send(Datagram nalu, unsigned int ts)
    {
        EXPECT_EQ(1u, RTPH264Stream(nalu.data(), (unsigned int)nalu.size(), ts));
        return video.Drain();
    }
};

TEST_F(RtpH264, HeaderBuilderLaysOutFixedHeaderInNetworkOrder)
{
    rtp_header h;
    RtpHeaderBuilder(&h, 3, 0xE1, 0x1234, 0xA1B2C3D4, RTP_SSRC);
    const uint8_t expected[12] = {0x80, 0xE1, 0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x00, 0x27, 0x27};
    EXPECT_EQ(0, memcmp(expected, &h, sizeof(expected)));  // marker 3 & 1, PT 0xE1 & 0x7F

    RtpHeaderBuilder(&h, 0, RTP_PT_H264, 0xFFFF, 90000, RTP_SSRC);
    const uint8_t second[4] = {0x80, 97, 0xFF, 0xFF};
    EXPECT_EQ(0, memcmp(second, &h, sizeof(second)));
}

TEST_F(RtpH264, NaluOf1433BytesIsOneSinglePacketWithMarker)
{
    Datagram nalu = MakeNalu(1433, 0x41);
    std::vector<Datagram> got = Send(nalu, 123456789);
    ASSERT_EQ(1u, got.size());
    const Datagram& p = got[0];
    ASSERT_EQ(1445u, p.size());
    EXPECT_EQ(2, RtpVersion(p));
    EXPECT_EQ(0x80, p[0]);
    EXPECT_EQ(97, RtpPayloadType(p));
    EXPECT_EQ(1, RtpMarker(p));
    EXPECT_EQ(123456789u, RtpTimestamp(p));
    EXPECT_EQ(10023u, RtpSsrc(p));
    EXPECT_TRUE(std::equal(nalu.begin(), nalu.end(), p.begin() + 12));
}

// A receiver rebuilds a fragmented unit as RFC 6184 (5.8) has it: the NAL
// header from the FU indicator's F and NRI and the FU header's type, then the
// fragments' bytes. Every unit comes back whole, its nal_ref_idc included
// (an IDR of NRI 3 and of NRI 1, a reference and a non-reference slice).
TEST_F(RtpH264, LargeNaluIsCutIntoFuAFragmentsThatRebuildIt)
{
    for (uint8_t header : {0x65, 0x25, 0x41, 0x01}) {
        SCOPED_TRACE((int)header);
        Datagram nalu = MakeNalu(3000, header);
        std::vector<Datagram> got = Send(nalu, 3003);
        ASSERT_EQ(3u, got.size());
        const size_t sizes[3] = {1448, 1448, 145};
        const uint8_t start_end[3] = {0x80, 0x00, 0x40};
        Datagram rebuilt(1, (uint8_t)((got[0][12] & 0xE0) | (got[0][13] & 0x1F)));
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            const Datagram& p = got[i];
            ASSERT_EQ(sizes[i], p.size());
            EXPECT_EQ(28, p[12] & 0x1F);  // FU-A
            EXPECT_EQ(got[0][12], p[12]);
            EXPECT_EQ(start_end[i], p[13] & 0xE0);
            EXPECT_EQ(i == 2 ? 1 : 0, RtpMarker(p));
            EXPECT_EQ(3003u, RtpTimestamp(p));
            EXPECT_EQ((uint16_t)(RtpSeq(got[0]) + i), RtpSeq(p));
            rebuilt.insert(rebuilt.end(), p.begin() + 14, p.end());
        }
        EXPECT_EQ(nalu, rebuilt);
    }
    std::vector<Datagram> got = Send(MakeNalu(3000, 0x65), 3003);
    ASSERT_EQ(3u, got.size());

    // the next unit continues the sequence
    std::vector<Datagram> next = Send(MakeNalu(10, 0x41), 0);
    ASSERT_EQ(1u, next.size());
    EXPECT_EQ((uint16_t)(RtpSeq(got[0]) + 3), RtpSeq(next[0]));
}

// Units just above the single-packet limit: always a start fragment and a
// separate end fragment, never one fragment with both bits.
TEST_F(RtpH264, BorderSizesGiveStartThenEndFragment)
{
    const size_t nalu_sizes[3] = {1434, 1435, 1436};
    for (size_t size : nalu_sizes) {
        SCOPED_TRACE(size);
        Datagram nalu = MakeNalu(size, 0x25);
        std::vector<Datagram> got = Send(nalu, 1);
        ASSERT_EQ(2u, got.size());
        EXPECT_EQ(0x85, got[0][13]);  // S, type 5
        EXPECT_EQ(0x45, got[1][13]);  // E, type 5
        EXPECT_EQ(0, RtpMarker(got[0]));
        EXPECT_EQ(1, RtpMarker(got[1]));
        EXPECT_EQ(size - 1, (got[0].size() - 14) + (got[1].size() - 14));
        if (size == 1436) {
            EXPECT_EQ(1434u, got[0].size() - 14);
            EXPECT_EQ(1u, got[1].size() - 14);
        }
    }
}

TEST_F(RtpH264, TypeZeroAndEmptyUnitsAreNotSent)
{
    std::vector<Datagram> first = Send(MakeNalu(20, 0x41), 0);
    ASSERT_EQ(1u, first.size());
    Datagram type0 = MakeNalu(20, 0x60);
    EXPECT_EQ(1u, RTPH264Stream(type0.data(), (unsigned int)type0.size(), 0));
    EXPECT_EQ(1u, RTPH264Stream(type0.data(), 0, 0));
    EXPECT_TRUE(video.Drain().empty());
    std::vector<Datagram> after = Send(MakeNalu(20, 0x41), 0);
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ((uint16_t)(RtpSeq(first[0]) + 1), RtpSeq(after[0]));
}

// Types 24..31 are RFC 6184's own payload structures: a unit of such a type,
// short or long, is not sent, and the marker of a sample moves to the last
// unit that is.
TEST_F(RtpH264, UnitsOfPayloadStructureTypesAreNotSent)
{
    for (uint8_t type = 24; type <= 31; type++) {
        for (size_t size : {20u, 3000u}) {
            Datagram nalu = MakeNalu(size, (uint8_t)(0x60 | type));
            EXPECT_EQ(1u, RTPH264Stream(nalu.data(), (unsigned int)nalu.size(), 0)) << (int)type;
        }
    }
    EXPECT_TRUE(video.Drain().empty());

    Datagram sample = MakeVideoSample({MakeNalu(30, 0x41), MakeNalu(12, 0x7C), MakeNalu(9, 0x78)}, 5);
    QBox2Streaming(sample.data(), (int)sample.size());
    std::vector<Datagram> got = video.Drain();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(42u, got[0].size());
    EXPECT_EQ(1, RtpMarker(got[0]));
}

TEST_F(RtpH264, ClosedVideoSocketSendsNothing)
{
    CloseSockets();
    Datagram nalu = MakeNalu(20, 0x41);
    EXPECT_EQ(0u, RTPH264Stream(nalu.data(), (unsigned int)nalu.size(), 0));
    EXPECT_TRUE(video.Drain().empty());
}

TEST_F(RtpH264, SequenceNumberWrapsAt65536)
{
    Datagram nalu = MakeNalu(8, 0x41);
    std::vector<Datagram> first = Send(nalu, 0);
    ASSERT_EQ(1u, first.size());
    // Bring the counter to 65533 without looking at the packets.
    unsigned int skip = (uint16_t)(65533 - RtpSeq(first[0]) - 1);
    for (unsigned int i = 0; i < skip; ++i) {
        RTPH264Stream(nalu.data(), (unsigned int)nalu.size(), 0);
        if (i % 1000 == 999)
            video.Drain(0);
    }
    video.Drain(20);
    for (int i = 0; i < 5; ++i)
        RTPH264Stream(nalu.data(), (unsigned int)nalu.size(), 0xFFFFFFFFu);
    std::vector<Datagram> got = video.Drain();
    ASSERT_EQ(5u, got.size());
    const uint16_t expected[5] = {65533, 65534, 65535, 0, 1};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(expected[i], RtpSeq(got[i]));
        EXPECT_EQ(0xFFFFFFFFu, RtpTimestamp(got[i]));
    }
}

TEST_F(RtpH264, SampleUnitsShareTimeStampAndOnlyLastCarriesMarker)
{
    Datagram sps = MakeNalu(12, 0x67), pps = MakeNalu(4, 0x68), idr = MakeNalu(2000, 0x65);
    Datagram sample = MakeVideoSample({sps, pps, idr}, 900000);
    Datagram before = sample;
    EXPECT_EQ(1, QBox2Streaming(sample.data(), (int)sample.size()));
    EXPECT_EQ(before, sample);  // the recorder reads the same bytes afterwards

    std::vector<Datagram> got = video.Drain();
    ASSERT_EQ(4u, got.size());
    EXPECT_TRUE(audio.Drain(0).empty());
    EXPECT_EQ(Datagram(sps), Datagram(got[0].begin() + 12, got[0].end()));
    EXPECT_EQ(Datagram(pps), Datagram(got[1].begin() + 12, got[1].end()));
    const int markers[4] = {0, 0, 0, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(900000u, RtpTimestamp(got[i]));
        EXPECT_EQ(markers[i], RtpMarker(got[i]));
        EXPECT_EQ((uint16_t)(RtpSeq(got[0]) + i), RtpSeq(got[i]));
    }
    EXPECT_EQ(0x85, got[2][13]);
    EXPECT_EQ(0x45, got[3][13]);
}

// The marker goes on the last unit actually sent: a trailing unit of type 0,
// or one whose length runs past the end of the sample, is skipped.
TEST_F(RtpH264, MarkerMovesToLastUnitSent)
{
    Datagram slice = MakeNalu(30, 0x41);
    Datagram sample = MakeVideoSample({MakeNalu(10, 0x06), slice, MakeNalu(5, 0x00)}, 7);
    QBox2Streaming(sample.data(), (int)sample.size());
    std::vector<Datagram> got = video.Drain();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0, RtpMarker(got[0]));
    EXPECT_EQ(1, RtpMarker(got[1]));
    EXPECT_EQ(42u, got[1].size());

    Datagram truncated = MakeVideoSample({slice, MakeNalu(50, 0x41)}, 8);
    truncated.resize(truncated.size() - 10);
    QBox2Streaming(truncated.data(), (int)truncated.size());
    got = video.Drain();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(1, RtpMarker(got[0]));
    EXPECT_EQ(8u, RtpTimestamp(got[0]));
}

// A receiver counts one access unit per marker bit (RFC 6184, 5.1): a run
// opens with a sample of the parameter sets alone, stamped like the IDR
// picture that follows, and only the samples that hold a picture end an
// access unit. Markers equal pictures.
TEST_F(RtpH264, OnlySamplesWithAPictureEndAnAccessUnit)
{
    Datagram sps = MakeNalu(12, 0x67), pps = MakeNalu(4, 0x68);
    std::vector<Datagram> samples = {MakeVideoSample({sps, pps}, 9000),
                                     MakeVideoSample({sps, pps, MakeNalu(10, 0x06), MakeNalu(2000, 0x65)}, 9000),
                                     MakeVideoSample({MakeNalu(300, 0x41)}, 12000),
                                     MakeVideoSample({MakeNalu(10, 0x06)}, 15000),
                                     MakeVideoSample({MakeNalu(300, 0x01)}, 15000)};
    for (Datagram& sample : samples) {
        QBox2Streaming(sample.data(), (int)sample.size());
    }
    std::vector<Datagram> got = video.Drain();
    ASSERT_EQ(2u + 2 + 1 + 2 + 1 + 1 + 1, got.size());
    std::vector<uint32_t> marked;
    for (const Datagram& p : got) {
        if (RtpMarker(p)) {
            marked.push_back(RtpTimestamp(p));
        }
    }
    EXPECT_EQ((std::vector<uint32_t>{9000, 12000, 15000}), marked);
    EXPECT_EQ(1, RtpMarker(got.back()));
}

TEST_F(RtpH264, ShortOrUnknownSamplesSendNothing)
{
    Datagram sample = MakeVideoSample({MakeNalu(30, 0x41)}, 7);
    WriteBE16(&sample[12], 5);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, QBox2Streaming(sample.data(), (int)sample.size()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("sample_stream_type = 5 Unknown Format\nsample_stream_id = Unknown Format\n", out);

    Datagram header_only = MakeVideoSample({}, 0);
    EXPECT_EQ(1, QBox2Streaming(header_only.data(), (int)header_only.size()));
    EXPECT_EQ(1, QBox2Streaming(header_only.data(), 10));
    EXPECT_TRUE(video.Drain().empty());
    EXPECT_TRUE(audio.Drain(0).empty());
}

}  // namespace
