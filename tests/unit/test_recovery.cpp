// Recovery of an interrupted MP4 recording, against a model of a power cut:
// each file the recording writes keeps, after the cut, what its last sync
// made durable and any part of what was written after it. Whatever the cut,
// recovery completes a file that references no missing data and keeps
// every sample that was made durable.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "mp4Writer.h"
#include "recovery.h"
#include "test_mp4_support.h"

namespace mp4test {
namespace {

const char* const kRecordingFiles[] = {kOutput,  "~temp1", "~temp2", "~temp3", "~temp4",
                                       "~temp5", "~temp6", "~temp7", "~temp.info"};

long FileSize(const std::string& name)
{
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? (long)st.st_size : 0;
}

// A crash at some moment: what each file held (written) and what its last
// sync made durable, and the samples of each track made durable.
struct Crash {
    std::map<std::string, std::vector<UINT8>> written;
    std::map<std::string, long> durable;
    UINT32 durableVideo = 0;
    UINT32 durableAudio = 0;
};

// The samples a completed file's track "trak#n" describes, checked against
// the "mdat" box: each lies whole inside it.
struct TrackTables {
    std::string handler;
    UINT32 samples = 0;
    bool inside = true;
};

TrackTables ReadTrack(const std::vector<UINT8>& f, int n, UINT64 mdatBegin, UINT64 mdatEnd)
{
    TrackTables t;
    std::string trak = "trak#" + std::to_string(n);
    std::vector<UINT8> hdlr = BoxBytes(f, {"moov", trak, "mdia", "hdlr"});
    std::vector<UINT8> stsz = BoxBytes(f, {"moov", trak, "mdia", "minf", "stbl", "stsz"});
    std::vector<UINT8> stco = BoxBytes(f, {"moov", trak, "mdia", "minf", "stbl", "stco"});
    if (hdlr.size() < 20 || stsz.size() < 20 || stco.size() < 16) {
        t.inside = false;
        return t;
    }
    t.handler.assign(hdlr.begin() + 16, hdlr.begin() + 20);
    t.samples = ReadBE32(&stsz[16]);
    if (ReadBE32(&stco[12]) != t.samples || stsz.size() != 20 + 4ull * t.samples ||
        stco.size() != 16 + 4ull * t.samples) {
        t.inside = false;
        return t;
    }
    for (UINT32 i = 0; i < t.samples; i++) {
        UINT64 offset = ReadBE32(&stco[16 + 4 * i]);
        UINT64 size = ReadBE32(&stsz[20 + 4 * i]);
        if (offset < mdatBegin || offset + size > mdatEnd) {
            t.inside = false;
        }
    }
    return t;
}

class PowerLoss : public Mp4Test {
protected:
    // Records video (an IDR picture every 30) and audio with random sizes,
    // syncing every 40 pictures, and takes the state of the files at a few
    // moments after a sync.
    std::vector<Crash> Record(std::mt19937* rng)
    {
        std::vector<Crash> crashes;
        spoolsHeldForSync = true;
        setMP4RecordingName("./out.mp4");
        EXPECT_TRUE(Open(true, true));
        ParameterSets(0);
        std::map<std::string, long> durable;
        UINT32 durableVideo = 0, durableAudio = 0;
        std::uniform_int_distribution<UINT32> videoSize(20, 4000), audioSize(20, 600);
        for (UINT32 picture = 0; picture < 400; picture++) {
            Video(Nalu(picture % 30 == 0 ? 0x65 : 0x41, videoSize(*rng)), 3000 * picture);
            Audio(audioSize(*rng), 3000 * picture + 1500);
            if (picture % 40 == 39) {
                EXPECT_EQ(1, syncMP4Recording());
                for (const char* name : kRecordingFiles) {
                    durable[name] = FileSize(name);
                }
                durableVideo = (UINT32)(durable["~temp6"] / 4);
                durableAudio = (UINT32)(durable["~temp3"] / 4);
            }
            if (picture == 60 || picture == 175 || picture == 331 || picture == 399) {
                fflush(mp4file);
                Crash crash;
                for (const char* name : kRecordingFiles) {
                    crash.written[name] = ReadFileBytes(name);
                }
                crash.durable = durable;
                crash.durableVideo = durableVideo;
                crash.durableAudio = durableAudio;
                crashes.push_back(crash);
            }
        }
        spoolsHeldForSync = false;
        deleteMP4Params();
        return crashes;
    }

    // The files of a crash, each cut at a random length between what was
    // durable and what was written.
    static long PlantCutFiles(const Crash& crash, std::mt19937* rng)
    {
        long recordingLength = 0;
        for (const auto& file : crash.written) {
            long durable = crash.durable.count(file.first) ? crash.durable.at(file.first) : 0;
            long written = (long)file.second.size();
            long length = durable >= written ? written
                                             : std::uniform_int_distribution<long>(durable, written)(*rng);
            FILE* f = fopen(file.first.c_str(), "wb");
            EXPECT_NE(nullptr, f);
            if (f == nullptr) {
                continue;
            }
            if (length > 0) {
                fwrite(file.second.data(), 1, (size_t)length, f);
            }
            fclose(f);
            if (file.first == kOutput) {
                recordingLength = length;
            }
        }
        return recordingLength;
    }
};

TEST_F(PowerLoss, EveryCutRecoversEveryDurableSampleAndReferencesNoMissingData)
{
    std::mt19937 rng(20261208);
    std::vector<Crash> crashes = Record(&rng);
    ASSERT_EQ(4u, crashes.size());
    int cases = 0;
    for (const Crash& crash : crashes) {
        for (int i = 0; i < 100; i++, cases++) {
            SCOPED_TRACE("crash with " + std::to_string(crash.durableVideo) + " durable pictures, case " +
                         std::to_string(i));
            long cutLength = PlantCutFiles(crash, &rng);
            ASSERT_EQ(crash.durableVideo > 0 ? 1 : 0, RecoverInterruptedRecordings(nullptr));
            std::vector<UINT8> f = ReadFileBytes(kOutput);
            ASSERT_GE(f.size(), 32u);
            UINT64 mdatEnd = 24 + (UINT64)ReadBE32(&f[24]);
            ASSERT_LE(mdatEnd, f.size());
            // The samples are the bytes that survived the cut, never more.
            ASSERT_LE(mdatEnd, (UINT64)cutLength);
            const std::vector<UINT8>& written = crash.written.at(kOutput);
            EXPECT_TRUE(std::equal(f.begin() + 32, f.begin() + (long)mdatEnd, written.begin() + 32));
            TrackTables video = ReadTrack(f, 1, 32, mdatEnd);
            TrackTables audio = ReadTrack(f, 2, 32, mdatEnd);
            EXPECT_EQ("vide", video.handler);
            EXPECT_EQ("soun", audio.handler);
            EXPECT_TRUE(video.inside && audio.inside) << "a sample lies outside mdat";
            EXPECT_GE(video.samples, crash.durableVideo);
            EXPECT_GE(audio.samples, crash.durableAudio);
            ExpectTiled(f, 0, f.size());
            for (const char* name : kRecordingFiles) {
                if (std::string(name) != kOutput) {
                    EXPECT_FALSE(FileExists(name)) << name << " left behind";
                }
            }
        }
    }
    EXPECT_EQ(400, cases);
}

// Entries that point past the data (written out before their sample reached
// the disk, in a sync-less recording) are dropped with everything after them.
TEST_F(PowerLoss, EntriesPointingPastTheDataAreDropped)
{
    std::mt19937 rng(11);
    std::vector<Crash> crashes = Record(&rng);
    Crash crash = crashes.back();
    crash.durable = {};
    for (auto& file : crash.written) {
        crash.durable[file.first] = (long)file.second.size();
    }
    long length = PlantCutFiles(crash, &rng);
    UINT32 audioSamples = (UINT32)(crash.durable["~temp3"] / 4);
    // One more audio sample, where the file ends, 200 bytes long.
    for (const auto& record : std::vector<std::pair<const char*, UINT32>>{
             {"~temp1", 1024}, {"~temp2", (UINT32)length}, {"~temp3", 200}}) {
        FILE* f = fopen(record.first, "ab");
        ASSERT_NE(nullptr, f);
        fwrite(&record.second, 4, 1, f);
        fclose(f);
    }
    ASSERT_EQ(1, RecoverInterruptedRecordings(nullptr));
    std::vector<UINT8> f = ReadFileBytes(kOutput);
    UINT64 mdatEnd = 24 + (UINT64)ReadBE32(&f[24]);
    EXPECT_LE(mdatEnd, (UINT64)length);
    TrackTables audio = ReadTrack(f, 2, 32, mdatEnd);
    EXPECT_TRUE(audio.inside);
    EXPECT_EQ(audioSamples, audio.samples);
}

// Damage recovery cannot work around: the info file is gone while the spool
// files hold records. The recording is left as it was, and the spool files
// are kept under names that say so.
TEST_F(PowerLoss, WithoutItsInfoFileTheRecordingIsLeftAndItsSpoolFilesKeptAside)
{
    std::mt19937 rng(7);
    std::vector<Crash> crashes = Record(&rng);
    PlantCutFiles(crashes.back(), &rng);
    std::vector<UINT8> before = ReadFileBytes(kOutput);
    remove(spoolSetNames(0)->info);
    EXPECT_EQ(-1, RecoverInterruptedRecordings(nullptr));
    EXPECT_EQ(before, ReadFileBytes(kOutput));
    for (const char* name : kSpoolNames) {
        EXPECT_FALSE(FileExists(name));
        std::string aside = std::string(name) + UNRECOVERED_SUFFIX;
        EXPECT_TRUE(FileExists(aside.c_str())) << aside;
        remove(aside.c_str());
    }
}

}  // namespace
}  // namespace mp4test
