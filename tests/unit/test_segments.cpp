// Where recordings are cut into segments: the boundaries on the content
// grid and on the local time (through the clock seam), and the names that
// retention may delete.
#include <gtest/gtest.h>

#include <vector>

#include "QBox.h"
#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "sample.h"
#include "segments.h"

namespace {

const double TICKS = QBOX_CLOCK_HZ;
const double NOON = 12 * 3600.0 + 86400.0 * 20000;  // a day in 2024, local time

TEST(AlignedBoundary, NextMultipleOfTheLengthOfTheLocalTime)
{
    // 12:03:27.5 with 600 s: 12:10:00 is 392.5 s away.
    EXPECT_EQ(1000 + 35325000, NextAlignedBoundary(1000, NOON + 207.5, 600));
    // Just before 12:10:00 (a device clock a little ahead of the wall
    // clock at the cut it serves): that boundary is passed over.
    EXPECT_EQ(54018000, NextAlignedBoundary(0, NOON + 599.8, 600));
    EXPECT_EQ(53973000, NextAlignedBoundary(0, NOON + 600.3, 600));
    // One hour: whole hours of the local time.
    EXPECT_EQ(324000000, NextAlignedBoundary(0, NOON, 3600));
    // One second: the guard is half of it.
    EXPECT_EQ(72000, NextAlignedBoundary(0, NOON + 100.2, 1));
}

// The local time as the content runs: it starts at start and advances with
// the stamps fed.
double g_clockStart = 0;
int64_t g_elapsedTicks = 0;
double SeamClock()
{
    return g_clockStart + g_elapsedTicks / TICKS;
}

std::vector<UINT8> Sample(UINT16 type, UINT32 cts, UINT8 nalHeader)
{
    std::vector<UINT8> sample(QBOX_HEADER_SIZE + 4 + 8, 0x11);
    WriteBE32(&sample[QBOX_HEADER_SIZE], 8);
    sample[QBOX_HEADER_SIZE + 4] = nalHeader;
    QBox h = {(UINT32)sample.size(), QBOX_TYPE, 0, type, 0, 0, cts};
    EncodeQBoxHeader(&h, sample.data());
    return sample;
}

struct Feed {
    UINT16 type;
    UINT32 everyTicks;
    UINT32 idrEvery;  // samples; 0 for audio
};

// The seconds of content (from the first sample) at which a transport-stream
// recording of the samples would be cut.
std::vector<double> Cuts(unsigned int media, unsigned int length, unsigned int align, const Feed& feed,
                         double seconds, UINT32 firstStamp = 9000)
{
    stInputParameters input = {};
    snprintf(input.sOutput_Filename, sizeof input.sOutput_Filename, "./Mar2609-143005.mpg");
    input.ulMediaFormat = media;
    input.ulSaving = SAVE_TS;
    input.ulSegment_Length = length;
    input.ulSegment_Align = align;
    EXPECT_EQ(0, PlanSegments(&input));
    RestartSampleClock();
    segmentLocalTime = SeamClock;
    std::vector<double> cuts;
    for (UINT32 n = 0; n * (double)feed.everyTicks < seconds * TICKS; n++) {
        UINT32 cts = firstStamp + n * feed.everyTicks;  // wraps past 2^32 on purpose
        g_elapsedTicks = (int64_t)n * feed.everyTicks;
        UINT8 nal = feed.idrEvery != 0 && n % feed.idrEvery == 0 ? 0x65 : 0x41;
        std::vector<UINT8> s = Sample(feed.type, cts, nal);
        tSample sample;
        ParseSample(s.data(), (UINT32)s.size(), &sample);
        if (SegmentCutDue(&input, &sample))
            cuts.push_back(g_elapsedTicks / TICKS);
    }
    return cuts;
}

TEST(SegmentCuts, AtTheFirstIdrPictureAtOrAfterEachBoundaryOfTheContentGrid)
{
    // 10 s segments, a picture every second, an IDR picture every third.
    const Feed video = {QBOX_STREAM_VIDEO, 90000, 3};
    EXPECT_EQ((std::vector<double>{12, 21, 30, 42}), Cuts(MEDIA_FORMAT_VIDEO, 10, 0, video, 45));
    // The grid stays on the first sample: a late cut does not move it.
    const Feed sparse = {QBOX_STREAM_VIDEO, 90000, 7};
    EXPECT_EQ((std::vector<double>{14, 21, 35, 42}), Cuts(MEDIA_FORMAT_VIDEO, 10, 0, sparse, 45));
}

TEST(SegmentCuts, AudioOnlyAtTheFirstFramePastTheBoundary)
{
    const Feed audio = {QBOX_STREAM_AUDIO, 1920, 0};
    std::vector<double> cuts = Cuts(MEDIA_FORMAT_AUDIO, 5, 0, audio, 16);
    ASSERT_EQ(3u, cuts.size());
    for (size_t i = 0; i < cuts.size(); i++) {
        EXPECT_GE(cuts[i], 5.0 * (i + 1));
        EXPECT_LT(cuts[i], 5.0 * (i + 1) + 1920 / TICKS);
    }
}

TEST(SegmentCuts, OnMultiplesOfTheLengthOfTheLocalTime)
{
    // Recording starts at 12:03:27.5; 600 s aligned segments end at 12:10,
    // 12:20 and 12:30, at the first IDR picture (one every second) after.
    g_clockStart = NOON + 207.5;
    const Feed video = {QBOX_STREAM_VIDEO, 45000, 2};
    EXPECT_EQ((std::vector<double>{393, 993, 1593}), Cuts(MEDIA_FORMAT_VIDEO, 600, 1, video, 1800));
    // Without alignment the same run cuts every 600 s from its first sample.
    EXPECT_EQ((std::vector<double>{600, 1200}), Cuts(MEDIA_FORMAT_VIDEO, 600, 0, video, 1800));
}

TEST(SegmentCuts, TheGridRunsOnAcrossTheWrapOfThe32BitStamps)
{
    const Feed video = {QBOX_STREAM_VIDEO, 90000, 1};
    UINT32 nearWrap = 0xFFFFFFFFu - 5 * 90000;  // wraps 5 s in
    EXPECT_EQ((std::vector<double>{10, 20}), Cuts(MEDIA_FORMAT_VIDEO, 10, 0, video, 25, nearWrap));
}

TEST(SegmentCuts, NoneWithoutASegmentLength)
{
    const Feed video = {QBOX_STREAM_VIDEO, 90000, 1};
    EXPECT_TRUE(Cuts(MEDIA_FORMAT_VIDEO, 0, 0, video, 100).empty());
}

TEST(OwnRecordingNames, OnlyTheNamesThisProgramGives)
{
    for (const char* name : {"Mar2609-143005.mp4", "Dec3126-235959.mpg", "Mar2609-143005-2.mp4",
                             "Mar2609-143005-17.mpg"}) {
        EXPECT_TRUE(IsOwnRecordingName(name, nullptr)) << name;
        EXPECT_TRUE(IsOwnRecordingName(name, "field")) << name;
    }
    for (const char* name : {"field.mp4", "field-0001.mp4", "field-12345.mpg"}) {
        EXPECT_TRUE(IsOwnRecordingName(name, "field")) << name;
        EXPECT_FALSE(IsOwnRecordingName(name, nullptr)) << name;
        EXPECT_FALSE(IsOwnRecordingName(name, "other")) << name;
    }
    for (const char* name : {"Mar2609-14300.mp4", "Mar2609-143005.mp4.bak", "Mar2609-143005.MP4", "Xyz2609-143005.mp4",
                             "mar2609-143005.mp4", "Mar2609-143005-.mp4", "Mar2609-143005-2a.mp4",
                             "Mar2609_143005.mp4", "Mar2609-143005.mkv", "field-001.mp4", "field-0001.mp4x",
                             "fieldx-0001.mp4", "field-recovered.mp4", "field", ".mp4", "", "Mar2609-143005",
                             "~temp1", "x/Mar2609-143005.mp4"}) {
        EXPECT_FALSE(IsOwnRecordingName(name, "field")) << name;
    }
}

}  // namespace
