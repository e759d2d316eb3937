// The route from QBox samples to the MP4 writer: SetParameters and QBoxToMp4.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "QBoxParser.h"
#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "mp4route.h"
#include "test_mp4_support.h"

namespace mp4test {
namespace {

// A whole QBox in a heap block of exactly its size, so that the sanitizer
// build sees any access past it.
struct Sample {
    std::unique_ptr<UINT8[]> bytes;
    UINT32 size = 0;
    UINT8* payload() { return bytes.get() + QBOX_HEADER_SIZE; }
};

Sample MakeSample(UINT16 type, UINT32 cts, const std::vector<UINT8>& payload, UINT32 boxSize = 0)
{
    Sample s;
    s.size = QBOX_HEADER_SIZE + (UINT32)payload.size();
    s.bytes.reset(new UINT8[s.size]);
    QBox h = {boxSize ? boxSize : s.size, QBOX_TYPE, 0, type, 0, 0, cts};
    EncodeQBoxHeader(&h, s.bytes.get());
    if (!payload.empty()) {
        memcpy(s.payload(), payload.data(), payload.size());
    }
    return s;
}

// Video payload of length-prefixed NAL units (given without start codes).
std::vector<UINT8> Units(const std::vector<std::vector<UINT8>>& units)
{
    std::vector<UINT8> p;
    for (const auto& u : units) {
        p = Cat(p, Words({(UINT32)u.size()}));
        p = Cat(p, u);
    }
    return p;
}

std::vector<UINT8> Body(UINT8 header, size_t size)
{
    std::vector<UINT8> u(size, 0x5A);
    u[0] = header;
    return u;
}

// SPS of a 720 x 576 stream.
const std::vector<UINT8> kSps720x576 = {0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x02, 0xD0, 0x49, 0x90};

class Mp4Route : public Mp4Test {
protected:
    bool Start(unsigned int mediaFormat)
    {
        memset(&input_, 0, sizeof(input_));
        input_.ulMediaFormat = mediaFormat;
        return SetParameters(input_, fopen(kOutput, "wb")) == 1;
    }

    void Route(Sample& s) { EXPECT_EQ(0, QBoxToMp4(s.bytes.get(), s.size, input_)); }

    UINT32 VideoSamples() { return root->videoTrack->mdia->minf->stbl->stsz->numSamples; }
    UINT32 AudioSamples() { return root->audioTrack->mdia->minf->stbl->stsz->numSamples; }

    stInputParameters input_;
};

TEST_F(Mp4Route, MediaFormatChoosesTheTracks)
{
    struct Case {
        unsigned int format;
        bool audio;
        bool video;
    };
    for (const Case& c : {Case{1, true, false}, Case{2, false, true}, Case{3, true, true}}) {
        SCOPED_TRACE(c.format);
        ASSERT_TRUE(Start(c.format));
        EXPECT_EQ(c.audio, root->AudioPresentFlag == 1);
        EXPECT_EQ(c.video, root->VideoPresentFlag == 1);
        EXPECT_EQ(c.video, root->videoTrack != nullptr);
        if (c.audio) {
            EXPECT_EQ(48000u, root->audioFrequency);
            EXPECT_EQ(2, root->numAudioChannels);
            EXPECT_EQ(16, root->audioBitsPerSample);
        }
        deleteMP4Params();
    }
}

TEST_F(Mp4Route, FailedSetupIsReportedAndLaterSamplesAreHarmless)
{
    ASSERT_EQ(0, mkdir("~temp1", 0700));
    EXPECT_FALSE(Start(3));
    EXPECT_EQ(nullptr, root);
    EXPECT_EQ(nullptr, mp4file);
    Sample video = MakeSample(QBOX_STREAM_VIDEO, 0, Units({kSps, kPps, Body(0x65, 10)}));
    Sample audio = MakeSample(QBOX_STREAM_AUDIO, 0, Body(0x21, 10));
    Route(video);
    Route(audio);
    completeMP4File();
    deleteMP4Params();
    // The writer never got as far as the file header, and wrote nothing after.
    EXPECT_TRUE(ReadFileBytes(kOutput).empty());
}

TEST_F(Mp4Route, LeadingSpsSetsThePictureSize)
{
    ASSERT_TRUE(Start(2));
    Sample first = MakeSample(QBOX_STREAM_VIDEO, 3000, Units({kSps720x576, kPps}));
    Route(first);
    EXPECT_EQ(720u, root->videoTrack->width);
    EXPECT_EQ(576u, root->videoTrack->height);
    // Prefixes are back to lengths: the writer rewrote the start codes.
    EXPECT_EQ(kSps720x576.size(), ReadBE32(first.payload()));

    // An SPS that is not the first unit leaves the size alone.
    Sample later = MakeSample(QBOX_STREAM_VIDEO, 6000, Units({kPps, kSps, Body(0x65, 30)}));
    Route(later);
    EXPECT_EQ(720u, root->videoTrack->width);
    EXPECT_EQ(1u, VideoSamples());

    // Nor does one with reference priority 1 (header 0x27), which is not
    // recorded as a sample either.
    std::vector<UINT8> sps27 = kSps;
    sps27[0] = 0x27;
    Sample low = MakeSample(QBOX_STREAM_VIDEO, 9000, Units({sps27, Body(0x41, 30)}));
    Route(low);
    EXPECT_EQ(720u, root->videoTrack->width);
    EXPECT_EQ(576u, root->videoTrack->height);
    EXPECT_EQ(2u, VideoSamples());
}

TEST_F(Mp4Route, EveryUnitOfABoxGetsItsTimeStamp)
{
    ASSERT_TRUE(Start(2));
    Sample a = MakeSample(QBOX_STREAM_VIDEO, 1000, Units({kSps, kPps, Body(0x06, 9), Body(0x65, 40)}));
    Sample b = MakeSample(QBOX_STREAM_VIDEO, 4000, Units({Body(0x41, 20), Body(0x01, 20)}));
    Sample c = MakeSample(QBOX_STREAM_VIDEO, 7000, Units({Body(0x41, 20)}));
    Route(a);
    Route(b);
    Route(c);
    EXPECT_EQ(4u, VideoSamples());
    EXPECT_EQ((std::vector<UINT32>{3000, 0, 3000}), SpoolRecords("~temp4"));
    EXPECT_EQ((std::vector<UINT32>{44, 24, 24, 24}), SpoolRecords("~temp6"));
}

TEST_F(Mp4Route, ShortAndEmptyUnitsAreSkipped)
{
    ASSERT_TRUE(Start(2));
    Sample sets = MakeSample(QBOX_STREAM_VIDEO, 0, Units({kSps, kPps}));
    Route(sets);
    // An empty first unit, then a slice; an empty later unit, then a slice.
    Sample s = MakeSample(QBOX_STREAM_VIDEO, 3000, Units({{}, Body(0x65, 10), {}, Body(0x41, 10)}));
    Route(s);
    EXPECT_EQ(2u, VideoSamples());
}

TEST_F(Mp4Route, RoutingStopsAtThePayloadsEnd)
{
    ASSERT_TRUE(Start(2));
    Sample sets = MakeSample(QBOX_STREAM_VIDEO, 0, Units({kSps, kPps}));
    Route(sets);
    // The second unit claims more bytes than the box holds.
    std::vector<UINT8> payload = Units({Body(0x65, 10), Body(0x41, 10)});
    WriteBE32(&payload[14], 5000);
    Sample bad = MakeSample(QBOX_STREAM_VIDEO, 3000, payload);
    Route(bad);
    EXPECT_EQ(1u, VideoSamples());

    // A header size beyond what was read: only the read bytes are walked.
    Sample cut = MakeSample(QBOX_STREAM_VIDEO, 6000, Units({Body(0x41, 10), Body(0x41, 10)}), 1000);
    Route(cut);
    EXPECT_EQ(3u, VideoSamples());
    Sample next = MakeSample(QBOX_STREAM_VIDEO, 9000, Units({Body(0x41, 10)}));
    Route(next);
    EXPECT_EQ(4u, VideoSamples());
}

TEST_F(Mp4Route, AudioTakesTheReadLengthAndOtherTypesAreIgnored)
{
    ASSERT_TRUE(Start(3));
    Sample audio = MakeSample(QBOX_STREAM_AUDIO, 1920, Body(0x21, 100), 500);
    ASSERT_EQ(124u, audio.size);
    Route(audio);
    EXPECT_EQ(1u, AudioSamples());
    EXPECT_EQ(std::vector<UINT32>{100}, SpoolRecords("~temp3"));

    UINT64 length = root->fileLength;
    Sample caption = MakeSample(QBOX_STREAM_CAPTION, 1920, Body(0x00, 24));
    Route(caption);
    Sample odd = MakeSample(7, 1920, Body(0x21, 24));
    Route(odd);
    EXPECT_EQ(length, root->fileLength);
    EXPECT_EQ(QBOX_STREAM_CAPTION + 4, pqBoxHeader->usSampleStreamType);
}

}  // namespace
}  // namespace mp4test
