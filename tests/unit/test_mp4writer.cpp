// The MP4 writer: file header, sample acceptance and spooling, the "moov"
// box and its track boxes, size patching and the 4 GiB limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "sample.h"
#include "test_mp4_support.h"

namespace mp4test {
namespace {

const std::vector<std::string> kVideoStbl = {"moov", "trak", "mdia", "minf", "stbl"};
const std::vector<std::string> kAudioStblAfterVideo = {"moov", "trak#2", "mdia", "minf", "stbl"};

std::vector<std::string> Path(std::vector<std::string> base, const std::string& leaf)
{
    base.push_back(leaf);
    return base;
}

std::vector<UINT8> Zeros(size_t n)
{
    return std::vector<UINT8>(n, 0);
}

// (sample_count, sample_delta) pairs of an "stts" box.
std::vector<std::pair<UINT32, UINT32>> SttsEntries(const std::vector<UINT8>& box)
{
    std::vector<std::pair<UINT32, UINT32>> entries;
    UINT32 n = ReadBE32(&box[12]);
    for (UINT32 i = 0; i < n; i++) {
        entries.push_back({ReadBE32(&box[16 + 8 * i]), ReadBE32(&box[20 + 8 * i])});
    }
    return entries;
}

// Each sample's decoding time as a reader takes it from "stts": the sum of
// the durations before it (ISO/IEC 14496-12, 8.6.1.2).
std::vector<UINT64> SampleTimes(const std::vector<UINT8>& stts)
{
    std::vector<UINT64> times;
    UINT64 t = 0;
    for (const std::pair<UINT32, UINT32>& run : SttsEntries(stts)) {
        for (UINT32 i = 0; i < run.first; i++) {
            times.push_back(t);
            t += run.second;
        }
    }
    return times;
}

// The 48 kHz time of each 90 kHz stamp, counted from the first one.
std::vector<UINT64> AudioTimesOf(const std::vector<UINT32>& stamps)
{
    std::vector<UINT64> times;
    for (UINT32 stamp : stamps) {
        times.push_back((UINT64)(UINT32)(stamp - stamps[0]) * 48000 / 90000);
    }
    return times;
}

// An "elst" box as (segment_duration, media_time) pairs, read in its version.
std::vector<std::pair<UINT64, int64_t>> ElstEntries(const std::vector<UINT8>& box)
{
    std::vector<std::pair<UINT64, int64_t>> entries;
    bool wide = box[8] == 1;
    size_t pos = 16;
    for (UINT32 i = 0; i < ReadBE32(&box[12]); i++) {
        if (wide) {
            UINT64 duration = (UINT64)ReadBE32(&box[pos]) << 32 | ReadBE32(&box[pos + 4]);
            UINT64 time = (UINT64)ReadBE32(&box[pos + 8]) << 32 | ReadBE32(&box[pos + 12]);
            entries.push_back({duration, (int64_t)time});
            pos += 16;
        } else {
            entries.push_back({ReadBE32(&box[pos]), (INT32)ReadBE32(&box[pos + 4])});
            pos += 8;
        }
        EXPECT_EQ(0x00010000u, ReadBE32(&box[pos])) << "media_rate 1.0";
        pos += 4;
    }
    return entries;
}

// The entries of an "stco", "stss" (after entry_count) or "stsz" table.
std::vector<UINT32> TableEntries(const std::vector<UINT8>& box, size_t firstEntry)
{
    std::vector<UINT32> entries;
    for (size_t pos = firstEntry; pos + 4 <= box.size(); pos += 4) {
        entries.push_back(ReadBE32(&box[pos]));
    }
    return entries;
}

// What a sparse recording left in its file: the "mdat" header and the
// "moov" box written after the samples.
struct SparseRecording {
    UINT64 fileSize = 0;
    UINT32 mdatSize = 0;
    UINT32 mdatType = 0;
    std::vector<UINT8> moov;
};

class Mp4Writer : public Mp4Test {
protected:
    // Records a 200-byte video sample and two 50-byte audio frames starting at
    // byte `start` of a sparse file, so that only the few kilobytes around the
    // boxes are really written, completes the file and reads it back. On the
    // 32-bit board every offset past 2 GiB needs 64-bit file offsets; without
    // them the seeks here fail (or the writer's own ones go astray) instead of
    // quietly passing.
    void RecordSparselyAt(UINT64 start, SparseRecording* out)
    {
        ASSERT_TRUE(Open(true, true));
        ParameterSets(0);
        ASSERT_EQ(0, fseeko(mp4file, (off_t)start, SEEK_SET)) << "no 64-bit file offsets";
        root->fileLength = start;
        Video(Nalu(0x65, 195), 3000);
        Audio(50, 3000);
        Audio(50, 4920);
        const UINT64 mdatEnd = start + 300;
        ASSERT_EQ(mdatEnd, root->fileLength);
        completeMP4File();
        deleteMP4Params();

        FILE* f = fopen(kOutput, "rb");
        ASSERT_NE(nullptr, f);
        ASSERT_EQ(0, fseeko(f, 0, SEEK_END));
        out->fileSize = (UINT64)ftello(f);
        ASSERT_GT(out->fileSize, mdatEnd);
        UINT8 word[8];
        ASSERT_EQ(0, fseeko(f, 24, SEEK_SET));
        ASSERT_EQ(1u, fread(word, 8, 1, f));
        out->mdatSize = ReadBE32(word);
        out->mdatType = ReadBE32(word + 4);
        out->moov.resize(out->fileSize - mdatEnd);
        ASSERT_EQ(0, fseeko(f, (off_t)mdatEnd, SEEK_SET));
        ASSERT_EQ(1u, fread(out->moov.data(), out->moov.size(), 1, f));
        fclose(f);
    }

    // The "mdat" spans the samples, the "moov" box and every box in it has the
    // size the writer patched in, and the chunk offsets are where the samples
    // landed.
    static void ExpectSparseRecording(const SparseRecording& r, UINT64 start)
    {
        EXPECT_EQ((UINT32)(start + 300 - 24), r.mdatSize);
        EXPECT_EQ(FourCC("mdat"), r.mdatType);
        ASSERT_GE(r.moov.size(), 8u);
        EXPECT_EQ(FourCC("moov"), ReadBE32(&r.moov[4]));
        EXPECT_EQ(r.moov.size(), ReadBE32(&r.moov[0]));
        ExpectTiled(r.moov, 0, r.moov.size());
        std::vector<UINT8> videoStco = BoxBytes(r.moov, Path(kVideoStbl, "stco"));
        EXPECT_EQ((std::vector<UINT32>{1, (UINT32)start}), TableEntries(videoStco, 12));
        std::vector<UINT8> audioStco = BoxBytes(r.moov, Path(kAudioStblAfterVideo, "stco"));
        EXPECT_EQ((std::vector<UINT32>{2, (UINT32)(start + 200), (UINT32)(start + 250)}), TableEntries(audioStco, 12));
    }
};

TEST_F(Mp4Writer, OpeningWritesTheFileHeaderAndEmptySpoolFiles)
{
    ASSERT_TRUE(Open(true, true));
    fflush(mp4file);
    std::vector<UINT8> expected =
        Words({24, FourCC("ftyp"), FourCC("mp42"), 0, FourCC("mp42"), FourCC("isom"), 0, FourCC("mdat")});
    EXPECT_EQ(expected, ReadFileBytes(kOutput));
    EXPECT_EQ(32u, root->fileLength);
    for (const char* name : kSpoolNames) {
        EXPECT_TRUE(FileExists(name)) << name;
        EXPECT_TRUE(ReadFileBytes(name).empty()) << name;
    }
    deleteMP4Params();
    for (const char* name : kSpoolNames) {
        EXPECT_FALSE(FileExists(name)) << name;
    }
}

TEST_F(Mp4Writer, VideoOnlyRecordingSpoolsOnlyVideoTables)
{
    ASSERT_TRUE(Open(false, true));
    EXPECT_EQ(nullptr, root->audioTrack);
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(i >= 3, FileExists(kSpoolNames[i])) << kSpoolNames[i];
    }
}

TEST_F(Mp4Writer, ReleasingWithoutCompletionKeepsTheHeaderAndRemovesSpools)
{
    ASSERT_TRUE(Open(true, true));
    deleteMP4Params();
    EXPECT_EQ(nullptr, root);
    EXPECT_EQ(nullptr, mp4file);
    EXPECT_EQ(32u, ReadFileBytes(kOutput).size());
    for (const char* name : kSpoolNames) {
        EXPECT_FALSE(FileExists(name)) << name;
    }
}

TEST_F(Mp4Writer, OpeningFailsWhenASpoolFileCannotBeCreated)
{
    ASSERT_EQ(0, mkdir("~temp5", 0700));
    EXPECT_FALSE(Open(true, true));
    deleteMP4Params();  // copes with the half-built video track
    EXPECT_EQ(nullptr, root);
    EXPECT_FALSE(FileExists("~temp1"));
}

TEST_F(Mp4Writer, ParameterSetsAreKeptOutOfTheSamples)
{
    ASSERT_TRUE(Open(false, true));
    // A slice before any parameter set: nothing recorded, the buffer left
    // as it was.
    const std::vector<UINT8> early = Nalu(0x65, 12);
    std::vector<UINT8> unit = early;
    EXPECT_EQ(1, writeVideoSample(unit.data(), (UINT32)unit.size(), 1000));
    EXPECT_EQ(early, unit);
    EXPECT_EQ(32u, root->fileLength);

    Video(WithStartCode(kSps), 1000);
    Video(WithStartCode(kPps), 1000);
    EXPECT_EQ(32u, root->fileLength);
    EXPECT_EQ(kSps, RunVideoCodec()->sps);
    EXPECT_EQ(kPps, RunVideoCodec()->pps);

    // The first slice after both sets is the first sample, length-prefixed.
    std::vector<UINT8> idr = Nalu(0x65, 30);
    Video(idr, 1000);
    EXPECT_EQ(32u + 35u, root->fileLength);
    EXPECT_EQ(1u, root->videoTrack->ulSamples);
    fflush(mp4file);
    std::vector<UINT8> file = ReadFileBytes(kOutput);
    ASSERT_EQ(67u, file.size());
    EXPECT_EQ(31u, ReadBE32(&file[32]));
    EXPECT_EQ(0x65, file[36]);
    EXPECT_EQ(std::vector<UINT32>{35}, SpoolRecords("~temp6"));
    EXPECT_EQ(std::vector<UINT32>{32}, SpoolRecords("~temp5"));
    EXPECT_EQ(std::vector<UINT32>{1}, SpoolRecords("~temp7"));
    // Too short to hold a NAL header: skipped whole, even after the sets.
    std::vector<UINT8> stub = {0, 0, 0, 1};
    EXPECT_EQ(1, writeVideoSample(stub.data(), 4, 2000));
    EXPECT_EQ(1u, root->videoTrack->ulSamples);
}

// What the route does with a video box: its sets to the run's description,
// its picture to the writer.
UINT8 TakeVideoBox(const Sample& box)
{
    tSample sample;
    EXPECT_EQ(1, ParseSample(box.bytes.get(), box.size, &sample));
    VideoCodecTakeSample(RunVideoCodec(), &sample);
    return writeVideoAccessUnit(&sample);
}

// A picture of four slices with its SEI is one sample (an access unit,
// ISO/IEC 14496-15 5.3.2) as long as all of them; the sets stay in "avcC".
TEST_F(Mp4Writer, AFourSlicePictureIsOneSample)
{
    ASSERT_TRUE(Open(false, true));
    const std::vector<std::vector<UINT8>> picture = {Body(0x06, 11), Body(0x65, 100), Body(0x65, 90),
                                                     Body(0x65, 80), Body(0x65, 70)};
    std::vector<std::vector<UINT8>> units = {kSps, kPps};
    units.insert(units.end(), picture.begin(), picture.end());
    EXPECT_EQ(1, TakeVideoBox(MakeSample(QBOX_STREAM_VIDEO, 3000, Units(units))));
    std::vector<UINT8> f = Finish();
    EXPECT_EQ((std::vector<UINT32>{0, 1, 5 * 4 + 11 + 100 + 90 + 80 + 70}),
              TableEntries(BoxBytes(f, Path(kVideoStbl, "stsz")), 12));
    std::vector<UINT8> sample = Units(picture);
    EXPECT_EQ(sample, std::vector<UINT8>(f.begin() + 32, f.begin() + 32 + sample.size()));
    EXPECT_EQ((std::vector<UINT32>{1, 1}), TableEntries(BoxBytes(f, Path(kVideoStbl, "stss")), 12));
}

// nal_ref_idc 1 in every header (0x27, 0x28, 0x25, 0x21): the sets are
// known, the pictures recorded, the IDR one a sync sample.
TEST_F(Mp4Writer, NalRefIdc1StillGivesTheVideoTrackAndItsSyncSamples)
{
    ASSERT_TRUE(Open(false, true));
    std::vector<UINT8> sps = kSps, pps = kPps;
    sps[0] = 0x27;
    pps[0] = 0x28;
    EXPECT_EQ(1, TakeVideoBox(MakeSample(QBOX_STREAM_VIDEO, 3000, Units({sps, pps, Body(0x25, 40)}))));
    EXPECT_EQ(1, TakeVideoBox(MakeSample(QBOX_STREAM_VIDEO, 6000, Units({Body(0x21, 30)}))));
    std::vector<UINT8> f = Finish();
    EXPECT_EQ(FourCC("vide"), ReadBE32(&BoxBytes(f, {"moov", "trak", "mdia", "hdlr"})[16]));
    EXPECT_EQ((std::vector<UINT32>{0, 2, 44, 34}), TableEntries(BoxBytes(f, Path(kVideoStbl, "stsz")), 12));
    EXPECT_EQ((std::vector<UINT32>{1, 1}), TableEntries(BoxBytes(f, Path(kVideoStbl, "stss")), 12));
    std::vector<UINT8> stsd = BoxBytes(f, Path(kVideoStbl, "stsd"));
    EXPECT_NE(stsd.end(), std::search(stsd.begin(), stsd.end(), sps.begin(), sps.end())) << "avcC lacks the SPS";
}

TEST_F(Mp4Writer, VideoDurationsRunForwardToTheNextSample)
{
    ASSERT_TRUE(Open(false, true));
    ParameterSets(900000);
    // Two slices share a time stamp; a frame every 3000 ticks after that;
    // the tenth sample is the second IDR.
    Video(Nalu(0x65), 900000);
    Video(Nalu(0x01), 900000);
    UINT32 t = 900000;
    for (int i = 0; i < 7; i++) {
        t += 3000;
        Video(Nalu(0x41), t);
    }
    t += 3000;
    Video(Nalu(0x65), t);
    std::vector<UINT32> spooled = SpoolRecords("~temp4");
    EXPECT_EQ(9u, spooled.size());  // the last sample's duration waits for completion

    std::vector<UINT8> f = Finish();
    std::vector<std::pair<UINT32, UINT32>> expected = {{1, 0}};
    for (int i = 0; i < 9; i++) {
        expected.push_back({1, 3000});
    }
    EXPECT_EQ(expected, SttsEntries(BoxBytes(f, Path(kVideoStbl, "stts"))));
    EXPECT_EQ(27000u, durationTimeVid);
    std::vector<UINT8> stss = BoxBytes(f, Path(kVideoStbl, "stss"));
    ASSERT_EQ(24u, stss.size());
    EXPECT_EQ((std::vector<UINT32>{2, 1, 10}), TableEntries(stss, 12));
    EXPECT_EQ(27000u, ReadBE32(&BoxBytes(f, {"moov", "mvhd"})[24]));
    EXPECT_EQ(27000u, ReadBE32(&BoxBytes(f, {"moov", "trak", "tkhd"})[28]));
    EXPECT_EQ(27000u, ReadBE32(&BoxBytes(f, {"moov", "trak", "mdia", "mdhd"})[24]));
}

// A recording stopped after its first picture: with no gap to go by, the
// picture lasts one frame at 30 fps, not 0 (a reader drops a track of
// duration 0 as a preview image).
TEST_F(Mp4Writer, APictureAloneLastsOneFrame)
{
    ASSERT_TRUE(Open(true, true));
    ParameterSets(9000);
    Video(Nalu(0x65), 9000);
    Audio(20, 9000);
    std::vector<UINT8> f = Finish();
    EXPECT_EQ((std::vector<std::pair<UINT32, UINT32>>{{1, 3000}}), SttsEntries(BoxBytes(f, Path(kVideoStbl, "stts"))));
    EXPECT_EQ(3000u, ReadBE32(&BoxBytes(f, {"moov", "trak", "tkhd"})[28]));
}

TEST_F(Mp4Writer, VideoTimeStampsWrapModulo32Bits)
{
    ASSERT_TRUE(Open(false, true));
    ParameterSets(0xFFFFF000);
    Video(Nalu(0x65), 0xFFFFF000);
    Video(Nalu(0x41), 0x00000400);
    EXPECT_EQ(std::vector<UINT32>{5120}, SpoolRecords("~temp4"));
}

// A recording longer than 13.25 hours: the 90 kHz durations no longer fit
// 32 bits, so "mvhd", "tkhd", "mdhd" and "elst" of the video track are
// written in version 1 with 64-bit times (the audio track, 48 kHz in "mdhd",
// keeps version 0 there). Before, the sums wrapped and a 24-hour recording
// claimed 10.7 hours.
TEST_F(Mp4Writer, DurationsPast32BitsUseVersion1Boxes)
{
    ASSERT_TRUE(Open(true, true));
    // Four frames 0x60000000 ticks (5.0 hours) apart, starting 3000 ticks
    // after the audio, the last one after the 32-bit time stamp wrapped; the
    // last frame lasts as long as the others.
    const UINT32 gap = 0x60000000;
    Audio(20, 0);
    Audio(20, 1920);
    ParameterSets(3000);
    Video(Nalu(0x65), 3000);
    Video(Nalu(0x41), 3000 + gap);
    Video(Nalu(0x41), 3000 + 2 * gap);
    Video(Nalu(0x41), 3000 + 3 * gap);
    std::vector<UINT8> f = Finish();
    ExpectTiled(f, 0, f.size());
    const UINT64 total = 4ull * gap;
    EXPECT_EQ(total, durationTimeVid);

    std::vector<UINT8> mvhd = BoxBytes(f, {"moov", "mvhd"});
    ASSERT_EQ(120u, mvhd.size());
    EXPECT_EQ(0x01000000u, ReadBE32(&mvhd[8]));  // version 1, no flags
    EXPECT_EQ(90000u, ReadBE32(&mvhd[28]));
    EXPECT_EQ(3000 + total, (UINT64)ReadBE32(&mvhd[32]) << 32 | ReadBE32(&mvhd[36]));
    EXPECT_EQ(0x00010000u, ReadBE32(&mvhd[40]));  // rate, then the rest as in version 0
    EXPECT_EQ(3u, ReadBE32(&mvhd[116]));          // next_track_ID

    std::vector<UINT8> tkhd = BoxBytes(f, {"moov", "trak", "tkhd"});
    ASSERT_EQ(104u, tkhd.size());
    EXPECT_EQ(0x01000007u, ReadBE32(&tkhd[8]));
    EXPECT_EQ(1u, ReadBE32(&tkhd[28]));  // track_ID
    EXPECT_EQ(3000 + total, (UINT64)ReadBE32(&tkhd[36]) << 32 | ReadBE32(&tkhd[40]));
    std::vector<UINT8> elst = BoxBytes(f, {"moov", "trak", "edts", "elst"});
    ASSERT_EQ(56u, elst.size());
    EXPECT_EQ(0x01000000u, ReadBE32(&elst[8]));
    EXPECT_EQ((std::vector<std::pair<UINT64, int64_t>>{{3000, -1}, {total, 0}}), ElstEntries(elst));
    EXPECT_EQ(320u << 16, ReadBE32(&tkhd[96]));
    EXPECT_EQ(240u << 16, ReadBE32(&tkhd[100]));

    EXPECT_EQ(Words({44, FourCC("mdhd"), 0x01000000, 0, 0, 0, 0, 90000, (UINT32)(total >> 32), (UINT32)total,
                     0x15c70000}),
              BoxBytes(f, {"moov", "trak", "mdia", "mdhd"}));
    // The audio track: 3840 ticks, 2048 samples, version 0 throughout.
    EXPECT_EQ(92u, BoxBytes(f, {"moov", "trak#2", "tkhd"}).size());
    EXPECT_EQ(Words({32, FourCC("mdhd"), 0, 0, 0, 48000, 2048, 0x15c70000}),
              BoxBytes(f, {"moov", "trak#2", "mdia", "mdhd"}));
}

TEST_F(Mp4Writer, TablesHoldSizesAndOffsetsAndNoStssWithoutIdr)
{
    ASSERT_TRUE(Open(false, true));
    ParameterSets(0);
    Video(Nalu(0x41, 10), 3000);
    Video(Nalu(0x41, 20), 6000);
    std::vector<UINT8> f = Finish();
    EXPECT_FALSE(FindBox(f, Path(kVideoStbl, "stss")).found);
    std::vector<UINT8> stsz = BoxBytes(f, Path(kVideoStbl, "stsz"));
    ASSERT_EQ(28u, stsz.size());
    EXPECT_EQ((std::vector<UINT32>{0, 2, 15, 25}), TableEntries(stsz, 12));
    std::vector<UINT8> stco = BoxBytes(f, Path(kVideoStbl, "stco"));
    ASSERT_EQ(24u, stco.size());
    EXPECT_EQ((std::vector<UINT32>{2, 32, 47}), TableEntries(stco, 12));
    EXPECT_EQ(Words({28, FourCC("stsc"), 0, 1, 1, 1, 1}), BoxBytes(f, Path(kVideoStbl, "stsc")));
    // "stco" closes the sample table.
    BoxRef stbl = FindBox(f, kVideoStbl);
    BoxRef last = FindBox(f, Path(kVideoStbl, "stco"));
    EXPECT_EQ(stbl.offset + stbl.size, last.offset + last.size);
}

// Every audio frame is read back at its stamp, on the 48 kHz clock: a lost
// frame leaves a gap in the table and nowhere else, whether it is lost
// after the first two frames or later. A regular stream is one run.
TEST_F(Mp4Writer, AudioFramesPlayAtTheirStampsAcrossLostFrames)
{
    struct Case {
        const char* what;
        std::vector<UINT32> lost;
        std::vector<std::pair<UINT32, UINT32>> runs;
    };
    const Case cases[] = {
        {"regular", {}, {{10, 1024}}},
        {"third lost", {2}, {{1, 1024}, {1, 2048}, {8, 1024}}},
        {"seventh lost", {6}, {{5, 1024}, {1, 2048}, {4, 1024}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Open(true, false));
        std::vector<UINT32> stamps;
        for (UINT32 frame = 0; stamps.size() < 10; frame++) {
            if (std::find(c.lost.begin(), c.lost.end(), frame) == c.lost.end()) {
                stamps.push_back(900000 + 1920 * frame);
                EXPECT_EQ(1, Audio(100, stamps.back()));
            }
        }
        EXPECT_EQ(9u, SpoolRecords("~temp1").size());  // the last duration waits for completion
        std::vector<UINT8> f = Finish();
        std::vector<UINT8> stts = BoxBytes(f, Path(kVideoStbl, "stts"));
        EXPECT_EQ(c.runs, SttsEntries(stts));
        EXPECT_EQ(AudioTimesOf(stamps), SampleTimes(stts));
        // The track lasts until the last frame's end, one AAC frame after it.
        UINT64 duration = AudioTimesOf(stamps).back() + 1024;
        EXPECT_EQ(duration, ReadBE32(&BoxBytes(f, {"moov", "trak", "mdia", "mdhd"})[24]));
        EXPECT_EQ(duration * 90000 / 48000, ReadBE32(&BoxBytes(f, {"moov", "trak", "tkhd"})[28]));
    }
}

// Stamps that do not fall on whole 48 kHz samples, and stamps that wrap at
// 32 bits: each frame is read back at its stamp rounded down, so the
// rounding never adds up over a long recording.
TEST_F(Mp4Writer, AudioTimesNeverDriftFromTheStamps)
{
    ASSERT_TRUE(Open(true, false));
    std::vector<UINT32> stamps;
    for (UINT32 i = 0; i < 3000; i++) {
        stamps.push_back(0xFFF00000u + 1921 * i);  // 1024.53 samples apart
        Audio(10, stamps.back());
    }
    std::vector<UINT8> f = Finish();
    EXPECT_EQ(AudioTimesOf(stamps), SampleTimes(BoxBytes(f, Path(kVideoStbl, "stts"))));
    EXPECT_EQ(2999ull * 1921 * 48000 / 90000 + 1024, durationTimeAud);

    ASSERT_TRUE(Open(true, false));
    Audio(10, 1920);
    f = Finish();
    EXPECT_EQ((std::vector<std::pair<UINT32, UINT32>>{{1, 1024}}), SttsEntries(BoxBytes(f, Path(kVideoStbl, "stts"))));
}

// The track that starts later gets an empty edit as long as its delay
// (ISO/IEC 14496-12, 8.6.6), so that a reader presents its first sample at
// its stamp relative to the earlier track's first one; the earlier track
// gets no edit. Track and movie durations count the delay.
TEST_F(Mp4Writer, TheLaterTrackStartsAtItsStampThroughAnEditList)
{
    struct Case {
        const char* what;
        UINT32 videoStart;
        UINT32 audioStart;
    };
    const Case cases[] = {{"audio 107 ms late", 90000, 99630}, {"video 1 s late", 180000, 90000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Open(true, true));
        for (UINT32 i = 0; i < 4; i++) {
            Audio(20, c.audioStart + 1920 * i);  // 4096 samples, 7680 ticks
        }
        ParameterSets(c.videoStart);
        Video(Nalu(0x65), c.videoStart);
        Video(Nalu(0x41), c.videoStart + 3000);  // 6000 ticks
        std::vector<UINT8> f = Finish();
        ExpectTiled(f, 0, f.size());

        bool videoLater = c.videoStart > c.audioStart;
        UINT32 delay = videoLater ? c.videoStart - c.audioStart : c.audioStart - c.videoStart;
        std::string later = videoLater ? "trak" : "trak#2";
        std::string earlier = videoLater ? "trak#2" : "trak";
        UINT64 laterDuration = videoLater ? 6000 : 7680;
        UINT64 earlierDuration = videoLater ? 7680 : 6000;
        std::vector<UINT8> elst = BoxBytes(f, {"moov", later, "edts", "elst"});
        ASSERT_EQ(40u, elst.size());
        EXPECT_EQ(0u, ReadBE32(&elst[8]));  // version 0
        EXPECT_EQ((std::vector<std::pair<UINT64, int64_t>>{{delay, -1}, {laterDuration, 0}}), ElstEntries(elst));
        EXPECT_FALSE(FindBox(f, {"moov", earlier, "edts"}).found);
        // "edts" sits between "tkhd" and "mdia".
        EXPECT_EQ(FindBox(f, {"moov", later, "tkhd"}).offset + 92, FindBox(f, {"moov", later, "edts"}).offset);
        EXPECT_EQ(delay + laterDuration, ReadBE32(&BoxBytes(f, {"moov", later, "tkhd"})[28]));
        EXPECT_EQ(earlierDuration, ReadBE32(&BoxBytes(f, {"moov", earlier, "tkhd"})[28]));
        UINT64 movie = std::max<UINT64>(delay + laterDuration, earlierDuration);
        EXPECT_EQ(movie, ReadBE32(&BoxBytes(f, {"moov", "mvhd"})[24]));
    }
}

TEST_F(Mp4Writer, BoxBytesOfBothTracks)
{
    ASSERT_TRUE(Open(true, true));
    ParameterSets(90000);
    Video(Nalu(0x65), 90000);
    Audio(20, 90000);
    Audio(20, 91920);
    Video(Nalu(0x41), 93000);
    std::vector<UINT8> f = Finish();

    EXPECT_EQ(Words({24, FourCC("ftyp"), FourCC("mp42"), 0, FourCC("mp42"), FourCC("isom")}),
              std::vector<UINT8>(f.begin(), f.begin() + 24));
    // Video lasts 6000 ticks, audio 2048 samples = 3840 ticks; track 3 is
    // the next free ID.
    EXPECT_EQ(Words({108, FourCC("mvhd"), 0, 0, 0, 90000, 6000, 0x00010000, 0x01000000, 0, 0, 0x00010000, 0, 0, 0,
                     0x00010000, 0, 0, 0, 0x40000000, 0, 0, 0, 0, 0, 0, 3}),
              BoxBytes(f, {"moov", "mvhd"}));
    EXPECT_EQ(Cat(Words({27, FourCC("iods"), 0}),
                  {0x10, 0x0d, 0x00, 0x4f, 0xff, 0xff, 0x0f, 0x03, 0xff, 0x0e, 0x04, 0x00, 0x00, 0x00, 0x01}),
              BoxBytes(f, {"moov", "iods"}));

    const std::vector<UINT32> matrix = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    std::vector<UINT8> tkhdVideo = Words({92, FourCC("tkhd"), 7, 0, 0, 1, 0, 6000, 0, 0, 0, 0});
    std::vector<UINT8> tkhdAudio = Words({92, FourCC("tkhd"), 7, 0, 0, 2, 0, 3840, 0, 0, 0, 0x01000000});
    for (UINT32 m : matrix) {
        tkhdVideo = Cat(tkhdVideo, Words({m}));
        tkhdAudio = Cat(tkhdAudio, Words({m}));
    }
    tkhdVideo = Cat(tkhdVideo, Words({320 << 16, 240 << 16}));
    tkhdAudio = Cat(tkhdAudio, Words({0, 0}));
    EXPECT_EQ(tkhdVideo, BoxBytes(f, {"moov", "trak", "tkhd"}));
    EXPECT_EQ(tkhdAudio, BoxBytes(f, {"moov", "trak#2", "tkhd"}));

    EXPECT_EQ(Words({32, FourCC("mdhd"), 0, 0, 0, 90000, 6000, 0x15c70000}),
              BoxBytes(f, {"moov", "trak", "mdia", "mdhd"}));
    EXPECT_EQ(Words({32, FourCC("mdhd"), 0, 0, 0, 48000, 2048, 0x15c70000}),
              BoxBytes(f, {"moov", "trak#2", "mdia", "mdhd"}));
    EXPECT_EQ(Cat(Words({33, FourCC("hdlr"), 0, 0, FourCC("vide"), 0, 0, 0}), {0}),
              BoxBytes(f, {"moov", "trak", "mdia", "hdlr"}));
    EXPECT_EQ(Cat(Words({33, FourCC("hdlr"), 0, 0, FourCC("soun"), 0, 0, 0}), {0}),
              BoxBytes(f, {"moov", "trak#2", "mdia", "hdlr"}));
    EXPECT_EQ(Words({20, FourCC("vmhd"), 1, 0, 0}), BoxBytes(f, {"moov", "trak", "mdia", "minf", "vmhd"}));
    EXPECT_EQ(Words({16, FourCC("smhd"), 0, 0}), BoxBytes(f, {"moov", "trak#2", "mdia", "minf", "smhd"}));
    std::vector<UINT8> dinf = Words({36, FourCC("dinf"), 28, FourCC("dref"), 0, 1, 12, FourCC("url "), 1});
    EXPECT_EQ(dinf, BoxBytes(f, {"moov", "trak", "mdia", "minf", "dinf"}));
    EXPECT_EQ(dinf, BoxBytes(f, {"moov", "trak#2", "mdia", "minf", "dinf"}));

    // "avc1" with "avcC": SPS 8 bytes, PPS 4 bytes (12 and 8 with start codes);
    // profile, compatibility and level are the SPS's bytes 1 to 3.
    std::vector<UINT8> avc1Body = Cat(Zeros(6), {0x00, 0x01});
    avc1Body = Cat(avc1Body, Zeros(16));
    avc1Body = Cat(avc1Body, {0x01, 0x40, 0x00, 0xf0, 0x00, 0x48, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00});
    avc1Body = Cat(avc1Body, Cat(Zeros(4), {0x00, 0x01}));
    avc1Body = Cat(avc1Body, Cat(Zeros(32), {0x00, 0x18, 0xff, 0xff}));
    std::vector<UINT8> avcC = Cat(Words({31, FourCC("avcC")}), {0x01, kSps[1], kSps[2], kSps[3], 0xff, 0xe1, 0x00, 0x08});
    avcC = Cat(Cat(avcC, kSps), {0x01, 0x00, 0x04});
    avcC = Cat(avcC, kPps);
    std::vector<UINT8> stsdVideo = Cat(Cat(Words({133, FourCC("stsd"), 0, 1, 117, FourCC("avc1")}), avc1Body), avcC);
    EXPECT_EQ(stsdVideo, BoxBytes(f, Path(kVideoStbl, "stsd")));

    std::vector<UINT8> mp4aBody = Cat(Cat(Zeros(6), {0x00, 0x01}), Zeros(8));
    mp4aBody = Cat(mp4aBody, {0x00, 0x02, 0x00, 0x10, 0, 0, 0, 0, 0xbb, 0x80, 0x00, 0x00});
    // ES_Descriptor (ISO/IEC 14496-1, 7.2.6.5): ES_ID 1, then the
    // DecoderConfigDescriptor (AAC LC, 48 kHz, stereo) and the predefined
    // SLConfigDescriptor, whose one byte is the whole descriptor.
    std::vector<UINT8> esds = Cat(Words({39, FourCC("esds"), 0}),
                                  {0x03, 0x19, 0x00, 0x01, 0x00,                   // ES_Descriptor
                                   0x04, 0x11, 0x40, 0x15, 0x00, 0x3a, 0x98,       // DecoderConfigDescriptor
                                   0x00, 0x16, 0xe3, 0x60, 0x00, 0x00, 0x00, 0x00,
                                   0x05, 0x02, 0x11, 0x90,                         // DecoderSpecificInfo
                                   0x06, 0x01, 0x02});                             // SLConfigDescriptor
    std::vector<UINT8> stsdAudio = Cat(Cat(Words({91, FourCC("stsd"), 0, 1, 75, FourCC("mp4a")}), mp4aBody), esds);
    EXPECT_EQ(stsdAudio, BoxBytes(f, Path(kAudioStblAfterVideo, "stsd")));
}

// Sizes of mdat, moov, trak, mdia, minf and stbl are patched so that every
// box is tiled exactly by its children.
TEST_F(Mp4Writer, PatchedSizesTileTheFileForEveryTrackMix)
{
    struct Mix {
        bool audio;
        bool video;
        std::vector<UINT32> trackIds;
    };
    const Mix mixes[] = {{false, true, {1}}, {true, false, {2}}, {true, true, {1, 2}}};
    for (const Mix& mix : mixes) {
        SCOPED_TRACE(std::string(mix.audio ? "audio " : "") + (mix.video ? "video" : ""));
        ASSERT_TRUE(Open(mix.audio, mix.video));
        if (mix.video) {
            ParameterSets(3000);
        }
        for (UINT32 i = 0; i < 5; i++) {
            if (mix.video) {
                Video(Nalu(i == 0 ? 0x65 : 0x41, 40 + i), 3000 + 3000 * i);
            }
            if (mix.audio) {
                Audio(30 + i, 3000 + 1920 * i);
            }
        }
        UINT32 moovOffset = (UINT32)root->fileLength;
        std::vector<UINT8> f = Finish();

        ExpectTiled(f, 0, f.size());
        EXPECT_EQ(moovOffset - 24, ReadBE32(&f[24]));  // "mdat"
        EXPECT_EQ(FourCC("moov"), ReadBE32(&f[moovOffset + 4]));
        EXPECT_EQ(f.size() - moovOffset, ReadBE32(&f[moovOffset]));
        for (size_t t = 0; t < mix.trackIds.size(); t++) {
            std::string trak = "trak#" + std::to_string(t + 1);
            EXPECT_EQ(mix.trackIds[t], ReadBE32(&BoxBytes(f, {"moov", trak, "tkhd"})[20]));
        }
        EXPECT_FALSE(FindBox(f, {"moov", "trak#" + std::to_string(mix.trackIds.size() + 1)}).found);
        // next_track_ID is one past the largest track ID; "iods" names a
        // track of the file.
        EXPECT_EQ(mix.trackIds.back() + 1, ReadBE32(&BoxBytes(f, {"moov", "mvhd"})[104]));
        EXPECT_EQ(mix.trackIds.front(), ReadBE32(&BoxBytes(f, {"moov", "iods"})[23]));
        if (!mix.video) {
            EXPECT_EQ(moovOffset + 143u, FindBox(f, {"moov", "trak"}).offset);
        }
    }
}

TEST_F(Mp4Writer, VideoTrackWithoutParameterSetsIsLeftOut)
{
    // Audio and video: the file comes out audio-only.
    ASSERT_TRUE(Open(true, true));
    Video(Nalu(0x65), 3000);
    Audio(30, 3000);
    Audio(30, 4920);
    UINT32 moovOffset = (UINT32)root->fileLength;
    std::vector<UINT8> f = Finish();
    ExpectTiled(f, 0, f.size());
    EXPECT_EQ(2u, ReadBE32(&BoxBytes(f, {"moov", "trak", "tkhd"})[20]));
    EXPECT_EQ(moovOffset + 143u, FindBox(f, {"moov", "trak"}).offset);
    EXPECT_FALSE(FindBox(f, {"moov", "trak#2"}).found);

    // Video only: no track at all, the file stays as it was opened.
    ASSERT_TRUE(Open(false, true));
    Video(WithStartCode(kSps), 3000);  // the PPS never comes
    Video(Nalu(0x65), 3000);
    f = Finish();
    EXPECT_EQ(32u, f.size());
}

// The length fields of "avcC" are 16 bits: a parameter set of more than
// 65535 bytes cannot be described there. The last set that fits stays in
// use, and the recording goes on.
TEST_F(Mp4Writer, ParameterSetsTooLongForAvcCAreNotTakenIn)
{
    ASSERT_TRUE(Open(true, true));
    ParameterSets(3000);
    Video(Nalu(0x65), 3000);
    Audio(30, 3000);
    std::vector<UINT8> fits = Nalu(0x68, 65534);  // 65535 bytes after the start code
    Video(fits, 6000);
    Video(Nalu(0x67, 65535), 6000);  // 65536 bytes
    Video(Nalu(0x68, 70000), 6000);
    Video(Nalu(0x41), 6000);
    Audio(30, 4920);
    std::vector<UINT8> f = Finish();
    ExpectTiled(f, 0, f.size());
    // The whole "avcC" (ISO/IEC 14496-15 5.3.3.1): the first SPS, the PPS
    // of 65535 bytes.
    const UINT32 avcCSize = 8 + 6 + 2 + (UINT32)kSps.size() + 1 + 2 + 65535;
    // profile, compatibility and level are the SPS's own (ISO/IEC 14496-15 5.3.3.1).
    std::vector<UINT8> avcC =
        Cat(Words({avcCSize, FourCC("avcC")}), {0x01, kSps[1], kSps[2], kSps[3], 0xff, 0xe1, 0x00, 0x08});
    avcC = Cat(Cat(avcC, kSps), {0x01, 0xff, 0xff});
    avcC.insert(avcC.end(), fits.begin() + 4, fits.end());
    const UINT8 type[] = {'a', 'v', 'c', 'C'};
    auto at = std::search(f.begin(), f.end(), type, type + 4);
    ASSERT_NE(f.end(), at);
    EXPECT_TRUE(f.end() - at + 4 >= (long)avcC.size() && std::equal(avcC.begin(), avcC.end(), at - 4))
        << "avcC differs";
    std::vector<UINT8> stsz = BoxBytes(f, Path(kVideoStbl, "stsz"));
    EXPECT_EQ(2u, ReadBE32(&stsz[16]));  // both slices recorded

    // No SPS that fits ever came: the video track cannot be described and
    // is left out; the audio is recorded.
    ASSERT_TRUE(Open(true, true));
    Video(Nalu(0x67, 65535), 3000);
    Video(WithStartCode(kPps), 3000);
    Video(Nalu(0x65), 3000);
    Audio(30, 3000);
    Audio(30, 4920);
    f = Finish();
    ExpectTiled(f, 0, f.size());
    EXPECT_EQ(2u, ReadBE32(&BoxBytes(f, {"moov", "trak", "tkhd"})[20]));
    EXPECT_FALSE(FindBox(f, {"moov", "trak#2"}).found);
}

TEST_F(Mp4Writer, NoSampleMayEndPast4GiB)
{
    ASSERT_TRUE(Open(true, true));
    ParameterSets(0);
    root->fileLength = 4294967000ull;
    const tTrack* video = root->videoTrack;
    const tTrack* audio = root->audioTrack;

    EXPECT_EQ(1, Video(Nalu(0x65, 395), 3000));  // 400 bytes: dropped
    EXPECT_EQ(0u, video->ulSamples);
    EXPECT_EQ(0, Audio(400, 3000));  // refused
    EXPECT_EQ(0u, audio->ulSamples);
    EXPECT_EQ(1, Video(Nalu(0x65, 195), 3000));  // 200 bytes still fit
    EXPECT_EQ(1u, video->ulSamples);
    EXPECT_EQ(4294967200ull, root->fileLength);
    EXPECT_EQ(1, Audio(94, 3000));  // ends exactly at 4,294,967,294
    EXPECT_EQ(0, Audio(1, 4920));
    EXPECT_EQ(std::vector<UINT32>{4294967000u}, SpoolRecords("~temp5"));
    EXPECT_EQ(std::vector<UINT32>{4294967200u}, SpoolRecords("~temp2"));
}

// A recording whose "mdat" ends at 4,294,967,294, the last byte it may use:
// the "moov" box and its tracks lie past 4 GiB.
TEST_F(Mp4Writer, CompletionAtThe4GiBBoundary)
{
    SparseRecording r;
    const UINT64 start = 4294967294ull - 300;
    RecordSparselyAt(start, &r);
    ASSERT_FALSE(HasFatalFailure());
    ExpectSparseRecording(r, start);
}

// The video sample straddles 2 GiB, where a signed 32-bit offset turns
// negative; the audio frames and the "moov" box lie past it.
TEST_F(Mp4Writer, RecordingAcross2GiB)
{
    SparseRecording r;
    const UINT64 start = 2147483648ull - 100;
    RecordSparselyAt(start, &r);
    ASSERT_FALSE(HasFatalFailure());
    ExpectSparseRecording(r, start);
}

TEST_F(Mp4Writer, OutputPrimitives)
{
    ASSERT_TRUE(Open(true, false));
    UINT64 before = root->fileLength;
    longWrite(0x11223344);
    EXPECT_EQ(before + 4, root->fileLength);
    longReplace(0x55667788);
    EXPECT_EQ(before + 4, root->fileLength);
    fflush(mp4file);
    std::vector<UINT8> file = ReadFileBytes(kOutput);
    EXPECT_EQ(Words({0x11223344, 0x55667788}), std::vector<UINT8>(file.begin() + 32, file.end()));
    UINT8 bytes[4] = {0x02, 0xd0, 0x00, 0x00};
    EXPECT_EQ(0x02d00000u, swapBytes(bytes));
}

}  // namespace
}  // namespace mp4test
