// AAC over RTP (one AU header per packet) and transport-stream packets over
// RTP (payload type 33, at most five 188-byte packets per datagram).
#include <gtest/gtest.h>

#include <cstring>

#include "QBox.h"
#include "Rtp.h"
#include "test_rtp_receiver.h"

namespace {

Datagram MakeFrame(size_t size, uint8_t first)
{
    Datagram frame(size);
    frame[0] = first;
    for (size_t i = 1; i < size; ++i)
        frame[i] = (uint8_t)(i * 13 + 1);
    return frame;
}

class RtpStreams : public RtpStreamsTest {
protected:
    std::vector<Datagram> SendAac(Datagram frame, unsigned int expected_result = 1, unsigned int cts = 999)
    {
        EXPECT_EQ(expected_result, RTPAACStream(frame.data(), (unsigned int)frame.size(), cts));
        return audio.Drain();
    }
};

TEST_F(RtpStreams, AdtsHeaderIsDroppedAndAuHeaderGivesRawSize)
{
    Datagram frame = MakeFrame(300, 0xFF);
    std::vector<Datagram> got = SendAac(frame);
    ASSERT_EQ(1u, got.size());
    const Datagram& p = got[0];
    ASSERT_EQ(309u, p.size());
    EXPECT_EQ(0x80, p[0]);
    EXPECT_EQ(96, RtpPayloadType(p));
    EXPECT_EQ(1, RtpMarker(p));
    EXPECT_EQ(10023u, RtpSsrc(p));
    const uint8_t au_headers[4] = {0x00, 0x10, 0x09, 0x28};  // 16 bits; size 293, index 0
    EXPECT_EQ(0, memcmp(au_headers, &p[12], 4));
    EXPECT_TRUE(std::equal(frame.begin() + 7, frame.end(), p.begin() + 16));

    Datagram raw = MakeFrame(371, 0x21);
    std::vector<Datagram> next = SendAac(raw, 1, 999 + 1920);
    ASSERT_EQ(1u, next.size());
    ASSERT_EQ(12u + 4 + 371, next[0].size());
    EXPECT_EQ(371u << 3, ReadBE16(&next[0][14]));
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), next[0].begin() + 16));
    EXPECT_EQ(RtpTimestamp(p) + 1024, RtpTimestamp(next[0]));
    EXPECT_EQ((uint16_t)(RtpSeq(p) + 1), RtpSeq(next[0]));
}

TEST_F(RtpStreams, FramesThatCannotBeSentLeaveCountersAlone)
{
    std::vector<Datagram> first = SendAac(MakeFrame(10, 0x21));
    ASSERT_EQ(1u, first.size());
    EXPECT_TRUE(SendAac(MakeFrame(3, 0x21), 0).empty());    // too short
    EXPECT_TRUE(SendAac(MakeFrame(7, 0xFF), 0).empty());    // ADTS header only
    testing::internal::CaptureStdout();
    EXPECT_TRUE(SendAac(MakeFrame(1731, 0x21), 0).empty()); // beyond the payload buffer
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("1731"));

    std::vector<Datagram> largest = SendAac(MakeFrame(1730, 0x21), 1, 999 + 1920);
    ASSERT_EQ(1u, largest.size());
    EXPECT_EQ(12u + 4 + 1730, largest[0].size());
    EXPECT_EQ((uint16_t)(RtpSeq(first[0]) + 1), RtpSeq(largest[0]));
    EXPECT_EQ(RtpTimestamp(first[0]) + 1024, RtpTimestamp(largest[0]));

    std::vector<Datagram> with_adts = SendAac(MakeFrame(1737, 0xFF));  // 1730 bytes raw
    ASSERT_EQ(1u, with_adts.size());
    EXPECT_EQ(1746u, with_adts[0].size());

    CloseSockets();
    EXPECT_TRUE(SendAac(MakeFrame(10, 0x21), 0).empty());
}

// The AAC RTP clock is the QBox stamp on 48 kHz (RFC 3640, 3.2.1): a
// receiver that takes RTP time differences x 15 / 8 finds the stamps'
// differences again, across a lost frame and across the wrap of the 32-bit
// stamps, where a wrapped conversion would jump.
TEST_F(RtpStreams, AacTimeStampsFollowTheQBoxStamps)
{
    const uint32_t first = 0xFFFFF000u;
    const std::vector<uint32_t> frames = {0, 1, 3, 4, 5};  // frame 2 lost, the stamps wrap at frame 3
    std::vector<uint32_t> rtp;
    for (uint32_t frame : frames) {
        std::vector<Datagram> got = SendAac(MakeFrame(20, 0x21), 1, first + 1920 * frame);
        ASSERT_EQ(1u, got.size());
        rtp.push_back(RtpTimestamp(got[0]));
    }
    for (size_t i = 1; i < frames.size(); i++) {
        EXPECT_EQ(1920u * (frames[i] - frames[i - 1]), (uint32_t)(rtp[i] - rtp[i - 1]) * 15u / 8u) << i;
    }
    // The same conversion is there for others (RTCP) to map a capture-clock
    // time to the audio RTP clock: 15 ticks are 8 samples, rounded down,
    // modulo 2^32.
    EXPECT_EQ(rtp[0], AacRtpTimestamp(RtpCaptureClock(first)));
    EXPECT_EQ(8u, AacRtpTimestamp(15));
    EXPECT_EQ(0xFFFFFFFFu, AacRtpTimestamp(-1));
    EXPECT_EQ(0u, AacRtpTimestamp(15ll << 29));  // 2^32 samples
}

TEST_F(RtpStreams, AudioSampleGoesToAudioPort)
{
    Datagram sample(QBOX_HEADER_SIZE);
    Datagram frame = MakeFrame(200, 0x21);
    sample.insert(sample.end(), frame.begin(), frame.end());
    QBox h = {(UINT32)sample.size(), QBOX_TYPE, 0, QBOX_STREAM_AUDIO, 0, 1, 5555};
    EncodeQBoxHeader(&h, sample.data());
    Datagram before = sample;
    EXPECT_EQ(1, QBox2Streaming(sample.data(), (int)sample.size()));
    EXPECT_EQ(before, sample);
    std::vector<Datagram> got = audio.Drain();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(216u, got[0].size());
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), got[0].begin() + 16));
    EXPECT_TRUE(video.Drain(0).empty());
}

Datagram MakeTsPackets(unsigned int count)
{
    Datagram ts(count * 188);
    for (size_t i = 0; i < ts.size(); ++i)
        ts[i] = (i % 188 == 0) ? 0x47 : (uint8_t)(i * 31 + i / 188);
    return ts;
}

TEST_F(RtpStreams, TransportStreamDatagramsHoldAtMostFivePackets)
{
    struct Case {
        unsigned int packets;
        std::vector<size_t> sizes;
    };
    const Case cases[] = {{1, {200}}, {5, {952}}, {6, {952, 200}}, {12, {952, 952, 388}}, {4, {764}}};
    int expected_seq = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packets);
        Datagram ts = MakeTsPackets(c.packets);
        EXPECT_EQ(1u, RTPTransportStream(ts.data(), c.packets, 0x01020304u + c.packets));
        std::vector<Datagram> got = video.Drain();
        ASSERT_EQ(c.sizes.size(), got.size());
        Datagram payload;
        for (size_t i = 0; i < got.size(); ++i) {
            const Datagram& p = got[i];
            EXPECT_EQ(c.sizes[i], p.size());
            const uint8_t fixed[2] = {0x80, 0x21};
            EXPECT_EQ(0, memcmp(fixed, p.data(), 2));
            EXPECT_EQ(0x01020304u + c.packets, RtpTimestamp(p));
            EXPECT_EQ(10023u, RtpSsrc(p));
            if (expected_seq >= 0) {
                EXPECT_EQ((uint16_t)expected_seq, RtpSeq(p));
            }
            expected_seq = (uint16_t)(RtpSeq(p) + 1);
            payload.insert(payload.end(), p.begin() + 12, p.end());
        }
        EXPECT_EQ(ts, payload);
    }
    EXPECT_TRUE(audio.Drain(0).empty());

    // Nothing to send: no datagram, and the sequence continues unchanged.
    Datagram one = MakeTsPackets(1);
    EXPECT_EQ(1u, RTPTransportStream(one.data(), 0, 0));
    EXPECT_TRUE(video.Drain().empty());
    RTPTransportStream(one.data(), 1, 0);
    std::vector<Datagram> got = video.Drain();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((uint16_t)expected_seq, RtpSeq(got[0]));
    EXPECT_EQ(0u, RtpTimestamp(got[0]));
}

}  // namespace
