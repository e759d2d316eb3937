// The capture run's recording on a nearly full disk, fed through its own
// path (OpenOutputs, ProcessSample, CloseOutputs) on a small tmpfs mounted
// for the test; without root the mount is refused and the test is skipped.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QBox.h"
#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "capturerun.h"
#include "housekeeping.h"
#include "mp4Writer.h"
#include "mpgTSWriter.h"
#include "tspacket.h"

namespace {

const unsigned long long DISK_BYTES = 12ull << 20;

class NearlyFullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/capturerun_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        std::string options = "size=" + std::to_string(DISK_BYTES);
        if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            rmdir(dir_.c_str());
            dir_.clear();
            GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "): needs root";
        }
        ASSERT_NE(nullptr, getcwd(home_, sizeof(home_)));
        ASSERT_EQ(0, chdir(dir_.c_str()));
        skip_disk_check = 0;
    }

    void TearDown() override
    {
        skip_disk_check = 1;
        if (dir_.empty()) {
            return;
        }
        EXPECT_EQ(0, chdir(home_));
        umount(dir_.c_str());
        rmdir(dir_.c_str());
    }

    static unsigned long long FreeBytes()
    {
        struct statvfs fs;
        return statvfs(".", &fs) == 0 ? (unsigned long long)fs.f_frsize * fs.f_bavail : 0;
    }

    std::string dir_;
    char home_[4096] = {};
};

// A video sample: its NAL units, each behind its 4-byte length.
std::vector<UINT8> VideoSample(UINT32 cts, const std::vector<std::vector<UINT8>>& units)
{
    std::vector<UINT8> sample(QBOX_HEADER_SIZE);
    for (const auto& unit : units) {
        UINT8 length[4];
        WriteBE32(length, (UINT32)unit.size());
        sample.insert(sample.end(), length, length + 4);
        sample.insert(sample.end(), unit.begin(), unit.end());
    }
    QBox h = {(UINT32)sample.size(), QBOX_TYPE, 0, QBOX_STREAM_VIDEO, 0, 0, cts};
    EncodeQBoxHeader(&h, sample.data());
    return sample;
}

// The transport stream writes every NAL unit as a PES packet of its own,
// in whole 188-byte packets: a sample of thousands of tiny units (filler
// data, nal_unit_type 12) takes far more space than its own size. With -q
// the run must stop recording while the 10 MiB headroom is still free,
// before the disk refuses a write.
TEST_F(NearlyFullDisk, ABurstOfTinyUnitsEndsATransportStreamRecordingBeforeTheDiskFills)
{
    stInputParameters input = {};
    input.ulMediaFormat = MEDIA_FORMAT_VIDEO;
    input.ulVideo_Frame_Rate = 30;
    input.ulSaving = SAVE_TS;
    strcpy(input.sOutput_Filename, "burst");
    ASSERT_EQ(0, OpenOutputs(&input));
    ASSERT_EQ(1u, internal_config.ulsaving);

    const std::vector<UINT8> sps = {0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x05, 0x07, 0xE4};
    std::vector<UINT8> first = VideoSample(3000, {sps, {0x68, 0xCE, 0x3C, 0x80}});
    ProcessSample(&input, first.data(), (int)first.size());
    std::vector<std::vector<UINT8>> filler(4000, std::vector<UINT8>{0x0C, 0x80});
    for (UINT32 n = 0; n < 20 && internal_config.ulsaving; n++) {
        std::vector<UINT8> burst = VideoSample(6000 + 3000 * n, filler);
        ProcessSample(&input, burst.data(), (int)burst.size());
    }

    EXPECT_EQ(0u, internal_config.ulsaving) << "20 samples of 4000 units each cannot fit";
    EXPECT_EQ(0, tsWriteError) << "the disk refused a write: " << strerror(tsWriteError);
    EXPECT_GE(FreeBytes(), (unsigned long long)MIN_FREE_KIB * 1024) << "the headroom was eaten into";
    struct stat st;
    ASSERT_EQ(0, stat("burst.mpg", &st));
    EXPECT_EQ(0, st.st_size % TS_PACKET_SIZE);
    EXPECT_GT(st.st_size, 3 * (long)TS_PACKET_SIZE) << "the samples before the burst are recorded";
    EXPECT_EQ(0, CloseOutputs(&input));
}

std::vector<UINT8> AudioSample(UINT32 cts, UINT32 size)
{
    std::vector<UINT8> sample(QBOX_HEADER_SIZE + size, 0x21);
    QBox h = {(UINT32)sample.size(), QBOX_TYPE, 0, QBOX_STREAM_AUDIO, 0, 0, cts};
    EncodeQBoxHeader(&h, sample.data());
    return sample;
}

// The recording is made durable once per second of content, whatever the
// interleaving: here audio runs 1.5 s ahead of video, so every other sample
// is well behind the latest stamp.
TEST(SyncInterval, OnceASecondOfContentWithTracksOffsetFromEachOther)
{
    char tmpl[] = "/tmp/capturerun_sync_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    char home[4096];
    ASSERT_NE(nullptr, getcwd(home, sizeof(home)));
    ASSERT_EQ(0, chdir(tmpl));
    stInputParameters input = {};
    input.ulMediaFormat = MEDIA_FORMAT_AUDIO_VIDEO;
    input.ulVideo_Frame_Rate = 30;
    input.ulSaving = SAVE_MP4;
    input.ulSync_Interval = 1;
    strcpy(input.sOutput_Filename, "sync");
    ASSERT_EQ(0, OpenOutputs(&input));
    UINT32 before = mp4SyncCount;
    const std::vector<UINT8> sps = {0x67, 0x42, 0xE0, 0x1E, 0xDA, 0x05, 0x07, 0xE4}, pps = {0x68, 0xCE, 0x3C, 0x80};
    for (UINT32 frame = 0; frame < 300; frame++) {  // 10 s of video at 30 fps
        UINT32 video = 9000 + 3000 * frame;
        std::vector<UINT8> picture(200, 0x11);
        picture[0] = frame % 30 == 0 ? 0x65 : 0x41;
        std::vector<UINT8> v = frame == 0 ? VideoSample(video, {sps, pps, picture}) : VideoSample(video, {picture});
        ProcessSample(&input, v.data(), (int)v.size());
        std::vector<UINT8> a = AudioSample(video + 135000, 100);
        ProcessSample(&input, a.data(), (int)a.size());
    }
    UINT32 syncs = mp4SyncCount - before;
    EXPECT_EQ(0, CloseOutputs(&input));
    EXPECT_GE(syncs, 10u);
    EXPECT_LE(syncs, 12u);
    EXPECT_EQ(0, chdir(home));
    remove((std::string(tmpl) + "/sync.mp4").c_str());
    rmdir(tmpl);
}

}  // namespace
