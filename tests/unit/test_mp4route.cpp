// The route from QBox samples to the MP4 writer: SetParameters and QBoxToMp4.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "mp4route.h"
#include "test_mp4_support.h"

namespace mp4test {
namespace {

// SPS of a 720 x 576 stream.
const std::vector<UINT8> kSps720x576 = {0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x02, 0xD0, 0x49, 0x90};

class Mp4Route : public Mp4Test {
protected:
    bool Start(unsigned int mediaFormat)
    {
        memset(&input_, 0, sizeof(input_));
        input_.ulMediaFormat = mediaFormat;
        VideoCodecClear(RunVideoCodec());
        return SetParameters(input_, fopen(kOutput, "wb")) == 1;
    }

    void Route(Sample& s) { EXPECT_EQ(0, QBoxToMp4(s.bytes.get(), s.size, input_)); }

    UINT32 VideoSamples() { return root->videoTrack->ulSamples; }
    UINT32 AudioSamples() { return root->audioTrack->ulSamples; }

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
        EXPECT_EQ(RunAudioCodec(), root->pAudioCodec);
        EXPECT_EQ(RunVideoCodec(), root->pVideoCodec);
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

// The route reads the sample and leaves its buffer as it was; the sets in
// force describe the video, whatever their nal_ref_idc and wherever they
// lie in the sample.
TEST_F(Mp4Route, TheSetsInForceDescribeTheVideoAndTheBufferIsLeftAlone)
{
    ASSERT_TRUE(Start(2));
    Sample first = MakeSample(QBOX_STREAM_VIDEO, 3000, Units({kSps720x576, kPps, Body(0x65, 30)}));
    const std::vector<UINT8> before(first.bytes.get(), first.bytes.get() + first.size);
    Route(first);
    EXPECT_EQ(before, std::vector<UINT8>(first.bytes.get(), first.bytes.get() + first.size));
    EXPECT_EQ(720u, RunVideoCodec()->stSps.ulWidth);
    EXPECT_EQ(576u, RunVideoCodec()->stSps.ulHeight);

    // Reference priority 1 (header 0x27), after a slice: the 320 x 240 SPS
    // is in force from here on.
    std::vector<UINT8> sps27 = kSps;
    sps27[0] = 0x27;
    Sample later = MakeSample(QBOX_STREAM_VIDEO, 6000, Units({Body(0x41, 30), sps27}));
    Route(later);
    EXPECT_EQ(2u, VideoSamples());
    std::vector<UINT8> f = Finish();
    std::vector<UINT8> tkhd = BoxBytes(f, {"moov", "trak", "tkhd"});
    ASSERT_EQ(92u, tkhd.size());
    EXPECT_EQ(Words({320 << 16, 240 << 16}), std::vector<UINT8>(tkhd.begin() + 84, tkhd.end()));
}

// Each picture is one sample at its box's stamp: every unit but the
// parameter sets, SEI included.
TEST_F(Mp4Route, EachPictureIsOneSampleAtItsStamp)
{
    ASSERT_TRUE(Start(2));
    Sample a = MakeSample(QBOX_STREAM_VIDEO, 1000, Units({kSps, kPps, Body(0x06, 9), Body(0x65, 40)}));
    Sample b = MakeSample(QBOX_STREAM_VIDEO, 4000, Units({Body(0x41, 20), Body(0x01, 20)}));
    Sample c = MakeSample(QBOX_STREAM_VIDEO, 7000, Units({Body(0x41, 20)}));
    Route(a);
    Route(b);
    Route(c);
    EXPECT_EQ(3u, VideoSamples());
    EXPECT_EQ((std::vector<UINT32>{3000, 3000}), SpoolRecords("~temp4"));
    EXPECT_EQ((std::vector<UINT32>{57, 48, 24}), SpoolRecords("~temp6"));
}

TEST_F(Mp4Route, ShortAndEmptyUnitsAreSkipped)
{
    ASSERT_TRUE(Start(2));
    Sample sets = MakeSample(QBOX_STREAM_VIDEO, 0, Units({kSps, kPps}));
    Route(sets);
    // An empty first unit, then a slice; an empty later unit, then a slice.
    Sample s = MakeSample(QBOX_STREAM_VIDEO, 3000, Units({{}, Body(0x65, 10), {}, Body(0x41, 10)}));
    Route(s);
    EXPECT_EQ(1u, VideoSamples());
    EXPECT_EQ(std::vector<UINT32>{28}, SpoolRecords("~temp6"));
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
    EXPECT_EQ(2u, VideoSamples());
    Sample next = MakeSample(QBOX_STREAM_VIDEO, 9000, Units({Body(0x41, 10)}));
    Route(next);
    EXPECT_EQ(3u, VideoSamples());
    EXPECT_EQ((std::vector<UINT32>{14, 28, 14}), SpoolRecords("~temp6"));
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
