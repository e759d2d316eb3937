// Encoder settings: validation, messages, and the command words that reach a
// regular file standing in for the device node.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "encodersettings.h"
#include "VozirevDll.h"

namespace {

// Redirects standard output into a pipe (a pipe, not a file, so that a file
// size limit set by a test cannot cut the captured text).
class OutputCapture {
public:
    OutputCapture()
    {
        fflush(stdout);
        EXPECT_EQ(0, pipe(fds_));
        saved_ = dup(STDOUT_FILENO);
        dup2(fds_[1], STDOUT_FILENO);
        close(fds_[1]);
    }
    std::string Finish()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        std::string text;
        char chunk[512];
        ssize_t n;
        while ((n = read(fds_[0], chunk, sizeof(chunk))) > 0)
            text.append(chunk, (size_t)n);
        close(fds_[0]);
        return text;
    }

private:
    int fds_[2];
    int saved_;
};

// The defaults of a run without options.
stInputParameters DefaultRecord()
{
    stInputParameters input;
    memset(&input, 0, sizeof(input));
    strcpy(input.sOutput_Filename, "Mar2609-143005");
    input.ulMediaFormat = 3;
    input.ulAudio_BitRate = 48;
    input.ulVideo_BitRate = 512;
    input.ulVideo_Frame_Width = 320;
    input.ulVideo_Frame_Height = 240;
    input.ulVideo_Frame_Rate = 30;
    input.ulI_Frame_Interval = 30;
    input.ulSaving = 1;
    strcpy(input.IP_Addr, "127.0.0.1");
    input.ucttl = 64;
    input.Video_Port = 8000;
    input.Audio_Port = 8002;
    input.ulBrightness = 128;
    input.ulColor = 128;
    return input;
}

// Command words of the default record, in the order they must be sent.
const std::vector<uint32_t> DEFAULT_WORDS = {
    0x15000003,  // media type: audio and video
    0x17000030,  // audio 48 kbit/s
    0x16000200,  // video 512 kbit/s
    0x290500F0,  // 320 x 240
    0x2A00001E,  // 30 frame/s
    0x1800001E,  // I-frame interval 30
    0x65000080,  // colour 128
    0x64000080,  // brightness 128
};

const char DEFAULT_LINES[] =
    "Setting Media Format to: audio and video\n"
    "Setting Audio Bitrate to: 48 kbps\n"
    "Setting Video Bitrate to: 512 kbps\n"
    "Setting Video Resolution to: 320 x 240\n"
    "Setting Video Frame Rate to: 30 fps\n"
    "Setting I Frame Interval to: 30\n"
    "Setting Color to: 128\n"
    "Setting Brightness to: 128\n";

// The text printed by the first `lines` Setting lines of the default record.
std::string DefaultLines(int lines)
{
    std::string all = DEFAULT_LINES;
    size_t end = 0;
    for (int i = 0; i < lines; i++)
        end = all.find('\n', end) + 1;
    return all.substr(0, end);
}

std::vector<uint32_t> DefaultWords(size_t count)
{
    return std::vector<uint32_t>(DEFAULT_WORDS.begin(), DEFAULT_WORDS.begin() + count);
}

struct RunResult {
    int status;
    std::string output;
    std::vector<uint32_t> words;
};

class EncoderSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/vozirev_settings_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        dir_ = dir;
        prefix_ = dir_ + "/node";
        node_ = prefix_ + "0";
        pDev_name = &prefix_[0];
        ReopenEmptyStandIn();
    }

    void ReopenEmptyStandIn()
    {
        if (device_ != nullptr)
            VLClose(device_);
        FILE* standIn = fopen(node_.c_str(), "wb");
        ASSERT_NE(nullptr, standIn);
        fclose(standIn);
        device_ = VLOpen(0);
        ASSERT_NE(nullptr, device_);
    }
    void TearDown() override
    {
        if (device_ != nullptr)
            VLClose(device_);
        pDev_name = Dev_name;
        remove(node_.c_str());
        rmdir(dir_.c_str());
    }

    RunResult Run(stInputParameters input)
    {
        OutputCapture capture;
        int status = setVL_parameters(&input, device_);
        return {status, capture.Finish(), SentWords()};
    }

    // Runs with the process's file size limit at `bytes`, so that the
    // command word that would pass that size is refused by the kernel.
    RunResult RunWithWriteLimit(stInputParameters input, rlim_t bytes)
    {
        struct rlimit saved;
        EXPECT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
        void (*savedHandler)(int) = signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = saved;
        limited.rlim_cur = bytes;
        EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));

        OutputCapture capture;
        int status = setVL_parameters(&input, device_);
        std::string output = capture.Finish();

        EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
        signal(SIGXFSZ, savedHandler);
        return {status, output, SentWords()};
    }

    // The command words in the stand-in, 4 bytes each in native order.
    std::vector<uint32_t> SentWords()
    {
        std::vector<uint32_t> words;
        FILE* standIn = fopen(node_.c_str(), "rb");
        EXPECT_NE(nullptr, standIn);
        if (standIn == nullptr)
            return words;
        uint32_t word;
        while (fread(&word, sizeof(word), 1, standIn) == 1)
            words.push_back(word);
        EXPECT_EQ(0, ftell(standIn) % 4) << "a partial command word";
        EXPECT_EQ(EOF, fgetc(standIn)) << "a partial command word";
        fclose(standIn);
        return words;
    }

    std::string dir_;
    std::string prefix_;
    std::string node_;
    int* device_ = nullptr;
};

TEST_F(EncoderSettings, DefaultsSendEightWordsInOrder)
{
    RunResult result = Run(DefaultRecord());
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(DEFAULT_LINES, result.output);
    EXPECT_EQ(DEFAULT_WORDS, result.words);
}

TEST_F(EncoderSettings, LowerBoundsAccepted)
{
    stInputParameters input = DefaultRecord();
    input.ulAudio_BitRate = 24;
    input.ulVideo_BitRate = 32;
    input.ulVideo_Frame_Width = 95;  // the smallest size the device takes
    input.ulVideo_Frame_Height = 95;
    input.ulVideo_Frame_Rate = 5;
    input.ulI_Frame_Interval = 1;
    input.ulColor = 0;
    input.ulBrightness = 0;
    input.ucttl = 1;
    RunResult result = Run(input);
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_EQ((std::vector<uint32_t>{0x15000003, 0x17000018, 0x16000020, 0x29017C5F,
                                     0x2A000005, 0x18000001, 0x65000000, 0x64000000}),
              result.words);
}

TEST_F(EncoderSettings, UpperBoundsAccepted)
{
    stInputParameters input = DefaultRecord();
    input.ulAudio_BitRate = 128;
    input.ulVideo_BitRate = 4000;
    input.ulVideo_Frame_Width = 720;
    input.ulVideo_Frame_Height = 576;
    input.ulVideo_Frame_Rate = 30;
    input.ulI_Frame_Interval = 16777215u;  // the largest the command word carries
    input.ulColor = 255;
    input.ulBrightness = 255;
    input.ucttl = 255;
    RunResult result = Run(input);
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_EQ(
        "Setting Media Format to: audio and video\n"
        "Setting Audio Bitrate to: 128 kbps\n"
        "Setting Video Bitrate to: 4000 kbps\n"
        "Setting Video Resolution to: 720 x 576\n"
        "Setting Video Frame Rate to: 30 fps\n"
        "Setting I Frame Interval to: 16777215\n"
        "Setting Color to: 255\n"
        "Setting Brightness to: 255\n",
        result.output);
    EXPECT_EQ((std::vector<uint32_t>{0x15000003, 0x17000080, 0x16000FA0, 0x290B4240,
                                     0x2A00001E, 0x18FFFFFF, 0x650000FF, 0x640000FF}),
              result.words);
}

TEST_F(EncoderSettings, AudioOnlySkipsEveryVideoStep)
{
    stInputParameters input = DefaultRecord();
    input.ulMediaFormat = 1;
    input.ulAudio_BitRate = 64;
    // None of these is looked at without video.
    input.ulVideo_BitRate = 0;
    input.ulVideo_Frame_Width = 0;
    input.ulVideo_Frame_Height = 9999;
    input.ulVideo_Frame_Rate = 0;
    input.ulI_Frame_Interval = 0;
    input.ulColor = 999;
    input.ulBrightness = 999;
    RunResult result = Run(input);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Setting Media Format to: audio only\nSetting Audio Bitrate to: 64 kbps\n",
              result.output);
    EXPECT_EQ((std::vector<uint32_t>{0x15000001, 0x17000040}), result.words);
}

TEST_F(EncoderSettings, VideoOnlySkipsTheAudioStep)
{
    stInputParameters input = DefaultRecord();
    input.ulMediaFormat = 2;
    input.ulAudio_BitRate = 5000;  // out of range, but not looked at
    RunResult result = Run(input);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("Setting Media Format to: video only\n" + DefaultLines(8).substr(
                  DefaultLines(2).size()),
              result.output);
    std::vector<uint32_t> expected = DEFAULT_WORDS;
    expected[0] = 0x15000002;
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(expected, result.words);
}

// One invalid value: what is printed, and how many commands went out first.
struct InvalidCase {
    const char* name;
    std::function<void(stInputParameters&)> change;
    std::string output;
    size_t wordsSent;
};

void PrintTo(const InvalidCase& invalid, std::ostream* out)
{
    *out << invalid.name;
}

class InvalidSetting : public EncoderSettings,
                       public ::testing::WithParamInterface<InvalidCase> {};

TEST_P(InvalidSetting, StopsBeforeSendingIt)
{
    stInputParameters input = DefaultRecord();
    GetParam().change(input);
    RunResult result = Run(input);
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ(GetParam().output, result.output);
    EXPECT_EQ(DefaultWords(GetParam().wordsSent), result.words);
}

std::string Lines(int lines, const std::string& last)
{
    return DefaultLines(lines) + last;
}

const char AUDIO_INVALID[] = "\nInvalid Audio Bitrate. Use 24 - 128.\n";
const char VIDEO_INVALID[] = "\nInvalid Video Bitrate. Use 32 - 4000\n";
const char SIZE_INVALID[] = "\nInvalid Video Resolution\n";
const char RATE_INVALID[] = "\nInvalid Video Framerate. Use 5 - 30.\n";

INSTANTIATE_TEST_SUITE_P(
    EncoderSettings, InvalidSetting,
    ::testing::Values(
        InvalidCase{"MediaZero", [](stInputParameters& p) { p.ulMediaFormat = 0; },
                    "\nInvalid Media Format\n", 0},
        InvalidCase{"MediaFour", [](stInputParameters& p) { p.ulMediaFormat = 4; },
                    "\nInvalid Media Format\n", 0},
        InvalidCase{"Audio23", [](stInputParameters& p) { p.ulAudio_BitRate = 23; },
                    Lines(1, "Setting Audio Bitrate to: 23 kbps\n") + AUDIO_INVALID, 1},
        InvalidCase{"Audio129", [](stInputParameters& p) { p.ulAudio_BitRate = 129; },
                    Lines(1, "Setting Audio Bitrate to: 129 kbps\n") + AUDIO_INVALID, 1},
        InvalidCase{"AudioNegative",
                    [](stInputParameters& p) { p.ulAudio_BitRate = (unsigned int)-1; },
                    Lines(1, "Setting Audio Bitrate to: -1 kbps\n") + AUDIO_INVALID, 1},
        InvalidCase{"Video31", [](stInputParameters& p) { p.ulVideo_BitRate = 31; },
                    Lines(2, "Setting Video Bitrate to: 31 kbps\n") + VIDEO_INVALID, 2},
        InvalidCase{"Video4001", [](stInputParameters& p) { p.ulVideo_BitRate = 4001; },
                    Lines(2, "Setting Video Bitrate to: 4001 kbps\n") + VIDEO_INVALID, 2},
        InvalidCase{"Width16", [](stInputParameters& p) { p.ulVideo_Frame_Width = 16; },
                    Lines(3, "Setting Video Resolution to: 16 x 240\n") + SIZE_INVALID, 3},
        InvalidCase{"Width721", [](stInputParameters& p) { p.ulVideo_Frame_Width = 721; },
                    Lines(3, "Setting Video Resolution to: 721 x 240\n") + SIZE_INVALID, 3},
        InvalidCase{"Height16", [](stInputParameters& p) { p.ulVideo_Frame_Height = 16; },
                    Lines(3, "Setting Video Resolution to: 320 x 16\n") + SIZE_INVALID, 3},
        InvalidCase{"Height577", [](stInputParameters& p) { p.ulVideo_Frame_Height = 577; },
                    Lines(3, "Setting Video Resolution to: 320 x 577\n") + SIZE_INVALID, 3},
        InvalidCase{"Rate4", [](stInputParameters& p) { p.ulVideo_Frame_Rate = 4; },
                    Lines(4, "Setting Video Frame Rate to: 4 fps\n") + RATE_INVALID, 4},
        InvalidCase{"Rate31", [](stInputParameters& p) { p.ulVideo_Frame_Rate = 31; },
                    Lines(4, "Setting Video Frame Rate to: 31 fps\n") + RATE_INVALID, 4},
        InvalidCase{"IntervalZero", [](stInputParameters& p) { p.ulI_Frame_Interval = 0; },
                    Lines(5, "Setting I Frame Interval to: 0\n\nInvalid I-Frame Interval.\n"),
                    5},
        // A value past 24 bits would spill into the command code.
        InvalidCase{"IntervalPast24Bits",
                    [](stInputParameters& p) { p.ulI_Frame_Interval = 16777216; },
                    Lines(5, "Setting I Frame Interval to: 16777216\n\nInvalid I-Frame Interval.\n"),
                    5},
        InvalidCase{"Color256", [](stInputParameters& p) { p.ulColor = 256; },
                    Lines(6, "Setting Color to: 256\n\nInvalid Color value. Use (0-255)"), 6},
        InvalidCase{"Brightness256", [](stInputParameters& p) { p.ulBrightness = 256; },
                    Lines(7, "Setting Brightness to: 256\n"
                             "\nInvalid Brightness value. Use (0-255)"),
                    7},
        // The TTL is checked only once the encoder is fully configured.
        InvalidCase{"TtlZero", [](stInputParameters& p) { p.ucttl = 0; },
                    Lines(8, "\nInvalid ttl value. Use (1-255)"), 8},
        InvalidCase{"Ttl256", [](stInputParameters& p) { p.ucttl = 256; },
                    Lines(8, "\nInvalid ttl value. Use (1-255)"), 8}),
    [](const ::testing::TestParamInfo<InvalidCase>& info) { return info.param.name; });

TEST_F(EncoderSettings, SizeTheDeviceRefusesEndsTheRun)
{
    // 17..94 passes validation, but the device takes nothing below 95.
    stInputParameters input = DefaultRecord();
    input.ulVideo_Frame_Width = 17;
    RunResult result = Run(input);
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ(Lines(3, "Setting Video Resolution to: 17 x 240\n"
                       "\nSetting Video Width and Height failed"),
              result.output);
    EXPECT_EQ(DefaultWords(3), result.words);
}

TEST_F(EncoderSettings, HeightTheDeviceRefusesEndsTheRun)
{
    stInputParameters input = DefaultRecord();
    input.ulMediaFormat = 2;
    input.ulVideo_Frame_Height = 94;
    RunResult result = Run(input);
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ("Setting Media Format to: video only\n"
              "Setting Video Bitrate to: 512 kbps\n"
              "Setting Video Resolution to: 320 x 94\n"
              "\nSetting Video Width and Height failed",
              result.output);
    EXPECT_EQ((std::vector<uint32_t>{0x15000002, 0x16000200}), result.words);
}

TEST_F(EncoderSettings, EveryRefusedCommandIsReported)
{
    // The words that got through before the refused one stay sent.
    const char* const failures[] = {
        "\nSetting Media Format failed",     "\nSetting Audio Bitrate failed",
        "\nSetting Video Bitrate failed",    "\nSetting Video Width and Height failed",
        "\nSetting Video Frame rate failed", "\nSetting I-Frame Interval failed",
        "\nSetting Color failed.",           "\nSetting brightness failed.",
    };
    for (int refused = 0; refused < 8; refused++) {
        SCOPED_TRACE("command " + std::to_string(refused) + " refused");
        ReopenEmptyStandIn();
        RunResult result = RunWithWriteLimit(DefaultRecord(), 4 * (rlim_t)refused);
        EXPECT_EQ(-1, result.status);
        EXPECT_EQ(DefaultLines(refused + 1) + failures[refused], result.output);
        EXPECT_EQ(DefaultWords(refused), result.words);
    }
}

TEST_F(EncoderSettings, RefusedMediaCommandStillNamesTheMedia)
{
    stInputParameters input = DefaultRecord();
    input.ulMediaFormat = 1;
    RunResult result = RunWithWriteLimit(input, 0);
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ("Setting Media Format to: audio only\n\nSetting Media Format failed",
              result.output);
    EXPECT_TRUE(result.words.empty());
}

}  // namespace
