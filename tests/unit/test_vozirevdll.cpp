// The device control API against regular files standing in for the device
// nodes: the command words written are read back from the file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "VozirevDll.h"

class DeviceApi : public ::testing::Test {
protected:
    std::string dir;
    std::string prefix;

    void SetUp() override
    {
        char tmpl[] = "/tmp/vozirev-dll-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        prefix = dir + "/node";
        pDev_name = &prefix[0];
    }
    void TearDown() override
    {
        pDev_name = Dev_name;
        firstQboxFrmDevice = true;
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }
    std::string Node(const std::string& suffix) { return prefix + suffix; }
    void CreateNode(const std::string& suffix, const std::vector<UINT8>& content = {})
    {
        std::ofstream(Node(suffix), std::ios::binary)
            .write((const char*)content.data(), content.size());
    }
    // The command words in the node file, in native byte order.
    std::vector<UINT32> Words(const std::string& suffix)
    {
        std::ifstream in(Node(suffix), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(0u, bytes.size() % sizeof(UINT32));
        std::vector<UINT32> words(bytes.size() / sizeof(UINT32));
        if (!words.empty())
            memcpy(words.data(), bytes.data(), words.size() * sizeof(UINT32));
        return words;
    }
};

TEST(DeviceApiDefaults, OpensUnderTheDevicePath)
{
    EXPECT_STREQ("/dev/Vozirev", Dev_name);
    EXPECT_EQ(Dev_name, pDev_name);
}

TEST_F(DeviceApi, OpenFormsOneDigitPathsAndRefusesOtherNumbers)
{
    CreateNode("3");
    CreateNode("1");
    CreateNode("10");
    CreateNode("-1");
    // The path must not grow on a second open: each open writes its word at
    // the start of the same node.
    const UINT32 words[] = {0x0B000000, 0x0C000000};
    for (UINT32 word : words) {
        int* dev = VLOpen(3);
        ASSERT_NE(nullptr, dev);
        EXPECT_EQ(1, word == 0x0B000000 ? VLStartRecord(dev) : VLPause(dev));
        VLClose(dev);
        EXPECT_EQ(std::vector<UINT32>{word}, Words("3"));
    }
    EXPECT_EQ(nullptr, VLOpen(10));
    EXPECT_EQ(nullptr, VLOpen(-1));
    EXPECT_EQ(nullptr, VLOpen(4));  // no such node
    // A caller that goes on with the null handle gets failures, not a crash.
    unsigned int type = QBOX_TYPE, timeStamp = 0;
    EXPECT_EQ(-1, VLSetColor(nullptr, 1));
    EXPECT_EQ(-1, VLGetAccessUnit(nullptr, nullptr, type, timeStamp));
    VLClose(nullptr);
    struct stat st;
    EXPECT_NE(0, stat(Node("33").c_str(), &st));
}

TEST_F(DeviceApi, DescriptorZeroIsAValidOpen)
{
    CreateNode("0");
    int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);
    int* dev = VLOpen(0);
    EXPECT_NE(nullptr, dev);
    if (dev != nullptr) {
        EXPECT_EQ(0, reinterpret_cast<Vozirev*>(dev)->iret);
        EXPECT_EQ(1, VLPause(dev));
        VLClose(dev);
    }
    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_EQ(std::vector<UINT32>{0x0C000000}, Words("0"));
}

// One command with its expected status and word (no word when refused).
struct CommandCase {
    const char* name;
    std::function<int(int*)> call;
    int status;
    UINT32 word;
};

static const CommandCase commandCases[] = {
    {"FrameSize320x240", [](int* d) { return VLSetVideoFrameSize(d, 320, 240); }, 1, 0x290500F0},
    {"FrameSizeLargest", [](int* d) { return VLSetVideoFrameSize(d, 721, 577); }, 1, 0x290B4641},
    {"FrameWidth94", [](int* d) { return VLSetVideoFrameSize(d, 94, 240); }, 0, 0},
    {"FrameWidth722", [](int* d) { return VLSetVideoFrameSize(d, 722, 240); }, 0, 0},
    {"FrameHeight94", [](int* d) { return VLSetVideoFrameSize(d, 320, 94); }, 0, 0},
    {"FrameHeight578", [](int* d) { return VLSetVideoFrameSize(d, 320, 578); }, 0, 0},
    {"FrameRate30", [](int* d) { return VLSetVideoFrameRate(d, 30); }, 1, 0x2A00001E},
    {"FrameRate0", [](int* d) { return VLSetVideoFrameRate(d, 0); }, 0, 0},
    {"FrameRate31", [](int* d) { return VLSetVideoFrameRate(d, 31); }, 0, 0},
    {"VideoBitRate512", [](int* d) { return VLSetVideoBitRate(d, 512); }, 1, 0x16000200},
    {"VideoBitRate5", [](int* d) { return VLSetVideoBitRate(d, 5); }, 1, 0x16000005},
    {"VideoBitRate4001", [](int* d) { return VLSetVideoBitRate(d, 4001); }, 1, 0x16000FA1},
    {"VideoBitRate4", [](int* d) { return VLSetVideoBitRate(d, 4); }, 0, 0},
    {"VideoBitRate4002", [](int* d) { return VLSetVideoBitRate(d, 4002); }, 0, 0},
    {"AudioBitRate48", [](int* d) { return VLSetAudioBitRate(d, 48); }, 1, 0x17000030},
    {"AudioBitRate23", [](int* d) { return VLSetAudioBitRate(d, 23); }, 1, 0x17000017},
    {"AudioBitRate193", [](int* d) { return VLSetAudioBitRate(d, 193); }, 1, 0x170000C1},
    {"AudioBitRate22", [](int* d) { return VLSetAudioBitRate(d, 22); }, 0, 0},
    {"AudioBitRate194", [](int* d) { return VLSetAudioBitRate(d, 194); }, 0, 0},
    {"MediaAudioVideo", [](int* d) { return VLSetMediaType(d, AudioVideo); }, 1, 0x15000003},
    {"Media3", [](int* d) { return VLSetMediaType(d, (EncodingMediaType)3); }, 0, 0},
    {"MediaNegative", [](int* d) { return VLSetMediaType(d, (EncodingMediaType)-1); }, 0, 0},
    {"Color128", [](int* d) { return VLSetColor(d, 128); }, 1, 0x65000080},
    {"Brightness255", [](int* d) { return VLSetBrightness(d, 255); }, 1, 0x640000FF},
    {"Gop30", [](int* d) { return VLSetVideoGOP(d, 30); }, 1, 0x1800001E},
    {"GopSpillsIntoCode", [](int* d) { return VLSetVideoGOP(d, 0x01000001); }, 1, 0x19000001},
    {"ClosedCaption5", [](int* d) { return VLClosedCaption(d, 5); }, 1, 0x68000001},
    {"ClosedCaption0", [](int* d) { return VLClosedCaption(d, 0); }, 1, 0x68000000},
    {"StartRecord", [](int* d) { return VLStartRecord(d); }, 1, 0x0B000000},
    {"Pause", [](int* d) { return VLPause(d); }, 1, 0x0C000000},
    {"Resume", [](int* d) { return VLResume(d); }, 1, 0x0D000000},
    {"Stop", [](int* d) { return VLStop(d); }, 1, 0x0E000000},
};

static void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class DeviceCommand : public DeviceApi, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(DeviceCommand, WritesTheWordOrNothing)
{
    const CommandCase& c = GetParam();
    CreateNode("5");
    int* dev = VLOpen(5);
    ASSERT_NE(nullptr, dev);
    EXPECT_EQ(c.status, c.call(dev));
    VLClose(dev);
    std::vector<UINT32> expected;
    if (c.status == 1)
        expected.push_back(c.word);
    EXPECT_EQ(expected, Words("5"));
}

INSTANTIATE_TEST_SUITE_P(Words, DeviceCommand, ::testing::ValuesIn(commandCases),
                         [](const ::testing::TestParamInfo<CommandCase>& i) { return i.param.name; });

TEST_F(DeviceApi, FailedWritesReportMinusOneAndStopStillRearmsTheReader)
{
    ASSERT_EQ(0, symlink("/dev/full", Node("7").c_str()));  // every write fails
    int* dev = VLOpen(7);
    ASSERT_NE(nullptr, dev);
    EXPECT_EQ(-1, VLStartRecord(dev));
    EXPECT_EQ(-1, VLSetVideoBitRate(dev, 512));
    EXPECT_EQ(0, VLSetVideoBitRate(dev, 4));  // the range check comes first
    firstQboxFrmDevice = false;
    EXPECT_EQ(-1, VLStop(dev));
    EXPECT_TRUE(firstQboxFrmDevice);
    VLClose(dev);
}

TEST_F(DeviceApi, GetAccessUnitReadsASampleAndFailsWithMinusOne)
{
    std::vector<UINT8> box(100, 0x5A);
    QBox h = {100, QBOX_TYPE, 0, QBOX_STREAM_AUDIO, 0, QBOX_SAMPLE_FLAG_SYNC, 90000};
    EncodeQBoxHeader(&h, box.data());
    CreateNode("8", box);
    int* dev = VLOpen(8);
    ASSERT_NE(nullptr, dev);
    std::vector<UINT8> buffer(SAMPLE_BUFFER_SIZE);
    unsigned int type = 0;
    unsigned int timeStamp = 0;
    EXPECT_EQ(76, VLGetAccessUnit(dev, buffer.data(), type, timeStamp));
    EXPECT_EQ(SAMPLE_TYPE_AUDIO_SYNC, type);
    EXPECT_EQ(90000u, timeStamp);
    EXPECT_EQ(std::vector<UINT8>(76, 0x5A), std::vector<UINT8>(buffer.begin(), buffer.begin() + 76));

    close(reinterpret_cast<Vozirev*>(dev)->iret);  // the device goes away
    type = QBOX_TYPE;
    EXPECT_EQ(-1, VLGetAccessUnit(dev, buffer.data(), type, timeStamp));
    EXPECT_EQ(QBOX_TYPE, type);
    EXPECT_EQ(90000u, timeStamp);
    reinterpret_cast<Vozirev*>(dev)->iret = -1;
    VLClose(dev);
}

// The node is opened non-blocking for the sample reader. A driver busy with
// earlier words answers EAGAIN (here: a datagram pair whose receiver is
// full); the word goes out once the node takes data again.
TEST_F(DeviceApi, NodeOpensNonBlockingAndABusyNodeTakesTheWordLater)
{
    CreateNode("6");
    int* dev = VLOpen(6);
    ASSERT_NE(nullptr, dev);
    Vozirev* device = reinterpret_cast<Vozirev*>(dev);
    EXPECT_NE(0, fcntl(device->iret, F_GETFL) & O_NONBLOCK);
    close(device->iret);
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds));
    device->iret = fds[0];
    UINT32 filler = 0;
    int queued = 0;
    while (send(fds[0], &filler, sizeof filler, 0) == (ssize_t)sizeof filler)
        queued++;
    ASSERT_EQ(EAGAIN, errno);
    std::vector<UINT32> received;
    std::thread driver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        UINT32 word;
        struct pollfd pfd = {fds[1], POLLIN, 0};
        while ((int)received.size() <= queued && poll(&pfd, 1, 2000) == 1 &&
               recv(fds[1], &word, sizeof word, 0) == (ssize_t)sizeof word)
            received.push_back(word);
    });
    EXPECT_EQ(1, VLStartRecord(dev));
    driver.join();
    ASSERT_EQ((size_t)queued + 1, received.size());
    EXPECT_EQ(0x0B000000u, received.back());
    VLClose(dev);
    close(fds[1]);
}
