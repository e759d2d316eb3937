// Configuration file: loading, tokenising and the positional value table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "configfile.h"

namespace {

// The labels of a conforming file, in value order.
const char* const LABELS[] = {
    "ulDevice_Number", "ulMediaFormat",      "ulAudio_BitRate",    "ulVideo_BitRate",
    "ulVideo_Frame_Width", "ulVideo_Frame_Height", "ulVideo_Frame_Rate", "ulI_Frame_Interval",
    "ulColor",         "ulBrightness",       "ulSaving",           "sOutput_Filename",
    "ulStreaming",     "IP_Addr",            "ucttl",              "Video_Port",
    "Audio_Port",
};

// A conforming file: one "label = value" line per field, in order.
std::string ConformingFile(const char* const values[17], const char* separator = " = ",
                           const char* lineEnd = "\n")
{
    std::string text;
    for (int i = 0; i < 17; i++)
        text += std::string(LABELS[i]) + separator + values[i] + lineEnd;
    return text;
}

const char* const SAMPLE_VALUES[17] = {
    "2", "1", "96", "1500", "704", "576", "25", "12", "10", "20",
    "2", "garden", "1", "239.0.0.9", "16", "70000", "70002",
};

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        strcpy(path_, "/tmp/vozirev_cfg_XXXXXX");
        int fd = mkstemp(path_);
        ASSERT_GE(fd, 0);
        close(fd);
        ResetRecord();
    }
    void TearDown() override { remove(path_); }

    // Known values in every field, distinct from anything a file sets.
    void ResetRecord()
    {
        memset(&input, 0, sizeof(input));
        strcpy(input.sOutput_Filename, "Mar2609-143005");
        strcpy(input.IP_Addr, "127.0.0.1");
        unsigned int* numbers[] = {
            &input.ulMediaFormat, &input.ulAudio_BitRate, &input.ulVideo_BitRate,
            &input.ulVideo_Frame_Width, &input.ulVideo_Frame_Height,
            &input.ulVideo_Frame_Rate, &input.ulI_Frame_Interval, &input.ulDevice_Number,
            &input.ulStreaming, &input.ulSaving, &input.ucttl, &input.Video_Port,
            &input.Audio_Port, &input.ulBrightness, &input.ulColor,
        };
        unsigned int marker = 1000;
        for (unsigned int* field : numbers)
            *field = marker++;
        before = input;
    }

    void WriteFile(const std::string& text)
    {
        FILE* file = fopen(path_, "wb");
        ASSERT_NE(nullptr, file);
        ASSERT_EQ(text.size(), fwrite(text.data(), 1, text.size(), file));
        fclose(file);
    }

    // Writes the text, runs Configure on it and returns what it printed.
    std::string Load(const std::string& text, int expectedStatus = 1)
    {
        WriteFile(text);
        testing::internal::CaptureStdout();
        int status = Configure(path_, &input);
        fflush(stdout);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(expectedStatus, status) << output;
        return output;
    }

    std::string Announcement() const
    {
        return std::string("Parsing Config File ") + path_ + "....\n";
    }

    void ExpectSampleValues()
    {
        EXPECT_EQ(2u, input.ulDevice_Number);
        EXPECT_EQ(1u, input.ulMediaFormat);
        EXPECT_EQ(96u, input.ulAudio_BitRate);
        EXPECT_EQ(1500u, input.ulVideo_BitRate);
        EXPECT_EQ(704u, input.ulVideo_Frame_Width);
        EXPECT_EQ(576u, input.ulVideo_Frame_Height);
        EXPECT_EQ(25u, input.ulVideo_Frame_Rate);
        EXPECT_EQ(12u, input.ulI_Frame_Interval);
        EXPECT_EQ(10u, input.ulColor);
        EXPECT_EQ(20u, input.ulBrightness);
        EXPECT_EQ(2u, input.ulSaving);
        EXPECT_STREQ("garden", input.sOutput_Filename);
        EXPECT_EQ(1u, input.ulStreaming);
        EXPECT_STREQ("239.0.0.9", input.IP_Addr);
        EXPECT_EQ(16u, input.ucttl);
        // The file keeps the full port value, like -x and -y.
        EXPECT_EQ(70000u, input.Video_Port);
        EXPECT_EQ(70002u, input.Audio_Port);
    }

    char path_[64];
    stInputParameters input;
    stInputParameters before;
};

TEST_F(ConfigFile, ConformingFileFillsEveryField)
{
    EXPECT_EQ(Announcement(), Load(ConformingFile(SAMPLE_VALUES)));
    ExpectSampleValues();
}

TEST_F(ConfigFile, SeparatorFormsAreEquivalent)
{
    for (const char* separator : {"=", " = ", " ", "\t", " \t= =\t "}) {
        ResetRecord();
        Load(ConformingFile(SAMPLE_VALUES, separator));
        SCOPED_TRACE(std::string("separator '") + separator + "'");
        ExpectSampleValues();
    }
}

TEST_F(ConfigFile, BlankAndCommentLinesProduceNoItems)
{
    std::string text = "# capture settings\n\n   \n\t\n";
    text += ConformingFile(SAMPLE_VALUES, " = ", "   # trailing remark = 5 \"x\"\n");
    text += "\n# the end";  // comment running to the end of the file
    Load(text);
    ExpectSampleValues();
}

TEST_F(ConfigFile, QuotedValuesKeepSeparators)
{
    const char* values[17];
    memcpy(values, SAMPLE_VALUES, sizeof(values));
    values[11] = "\"my clip=a\tb\"";
    Load(ConformingFile(values));
    EXPECT_STREQ("my clip=a\tb", input.sOutput_Filename);
    EXPECT_EQ(1u, input.ulStreaming);
    EXPECT_STREQ("239.0.0.9", input.IP_Addr);
    EXPECT_EQ(70002u, input.Audio_Port);
}

TEST_F(ConfigFile, HashInsideQuotesStartsAComment)
{
    const char* values[17];
    memcpy(values, SAMPLE_VALUES, sizeof(values));
    values[11] = "\"ab#cd\" ulStreaming 2";  // all of it after '#' is a comment
    Load(ConformingFile(values));
    EXPECT_STREQ("ab", input.sOutput_Filename);
    EXPECT_EQ(1u, input.ulStreaming);
    EXPECT_EQ(70002u, input.Audio_Port);
}

TEST_F(ConfigFile, LineEndEndsAnUnclosedQuote)
{
    const char* values[17];
    memcpy(values, SAMPLE_VALUES, sizeof(values));
    values[11] = "\"open ended";
    Load(ConformingFile(values));
    EXPECT_STREQ("open ended", input.sOutput_Filename);
    EXPECT_EQ(1u, input.ulStreaming);
    EXPECT_STREQ("239.0.0.9", input.IP_Addr);
}

TEST_F(ConfigFile, QuoteRightAfterTextTakesTwoPositions)
{
    // "label" is item 0; the quoted 7 is item 1 and again item 2; 2 is item 3.
    Load("label\"7\" 2\n");
    EXPECT_EQ(7u, input.ulDevice_Number);
    EXPECT_EQ(2u, input.ulMediaFormat);
    EXPECT_EQ(before.ulAudio_BitRate, input.ulAudio_BitRate);
}

TEST_F(ConfigFile, CrLfLineEndsStayOnTextValues)
{
    Load(ConformingFile(SAMPLE_VALUES, " = ", "\r\n"));
    EXPECT_EQ(2u, input.ulDevice_Number);
    EXPECT_EQ(1500u, input.ulVideo_BitRate);
    EXPECT_EQ(70002u, input.Audio_Port);
    EXPECT_STREQ("garden\r", input.sOutput_Filename);
    EXPECT_STREQ("239.0.0.9\r", input.IP_Addr);
}

TEST_F(ConfigFile, LabelWithoutValueShiftsLaterItems)
{
    Load("ulDevice_Number\nulMediaFormat = 2\nulAudio_BitRate = 64\n");
    // Item 1 is the next label, which converts to 0; item 3 is that label's
    // old value position, now the label "ulAudio_BitRate".
    EXPECT_EQ(0u, input.ulDevice_Number);
    EXPECT_EQ(0u, input.ulMediaFormat);
    EXPECT_EQ(before.ulAudio_BitRate, input.ulAudio_BitRate);
}

TEST_F(ConfigFile, EmptyQuotedValues)
{
    const char* values[17];
    memcpy(values, SAMPLE_VALUES, sizeof(values));
    values[11] = "\"\"";
    values[13] = "\"\"";
    Load(ConformingFile(values));
    EXPECT_STREQ("Mar2609-143005", input.sOutput_Filename);
    EXPECT_STREQ("", input.IP_Addr);
    EXPECT_EQ(16u, input.ucttl);
}

TEST_F(ConfigFile, OpeningQuoteAsLastByte)
{
    Load("ulDevice_Number 3 ulMediaFormat \"");
    EXPECT_EQ(3u, input.ulDevice_Number);
    EXPECT_EQ(0u, input.ulMediaFormat);  // the empty item converts to 0
}

TEST_F(ConfigFile, ShortFileKeepsTheOtherFields)
{
    Load("ulDevice_Number = 5\nulMediaFormat = 2\n");
    EXPECT_EQ(5u, input.ulDevice_Number);
    EXPECT_EQ(2u, input.ulMediaFormat);
    stInputParameters expected = before;
    expected.ulDevice_Number = 5;
    expected.ulMediaFormat = 2;
    EXPECT_EQ(0, memcmp(&expected, &input, sizeof(input)));

    ResetRecord();
    EXPECT_EQ(Announcement(), Load(""));
    EXPECT_EQ(0, memcmp(&before, &input, sizeof(input)));
}

TEST_F(ConfigFile, ItemsBeyondTheTableAreDropped)
{
    std::string text = ConformingFile(SAMPLE_VALUES);
    for (int i = 0; i < 500; i++)
        text += "extra" + std::to_string(i) + " ";
    text += "\"a quoted one past the table\"\n";
    Load(text);
    ExpectSampleValues();
}

TEST_F(ConfigFile, NulByteEndsTheText)
{
    std::string text = "ulDevice_Number = 6\n";
    text += '\0';
    text += "ulMediaFormat = 2\n";
    Load(text);
    EXPECT_EQ(6u, input.ulDevice_Number);
    EXPECT_EQ(before.ulMediaFormat, input.ulMediaFormat);
}

TEST_F(ConfigFile, TextValuesMustFitTheirFields)
{
    const char* values[17];
    memcpy(values, SAMPLE_VALUES, sizeof(values));

    const std::string name255(255, 'n');
    values[11] = name255.c_str();
    Load(ConformingFile(values));
    EXPECT_EQ(name255, input.sOutput_Filename);

    ResetRecord();
    const std::string name256(256, 'n');
    values[11] = name256.c_str();
    EXPECT_EQ(Announcement() +
                  "Value of configuration item 23 (file name) is longer than 255 characters.\n",
              Load(ConformingFile(values), -1));
    EXPECT_EQ(0, memcmp(&before, &input, sizeof(input)));

    values[11] = "garden";
    values[13] = "1234567890123456789";
    ResetRecord();
    Load(ConformingFile(values));
    EXPECT_STREQ("1234567890123456789", input.IP_Addr);

    ResetRecord();
    values[13] = "12345678901234567890";
    EXPECT_EQ(Announcement() + "Value of configuration item 27 (destination address) is "
                               "longer than 19 characters.\n",
              Load(ConformingFile(values), -1));
    EXPECT_EQ(0, memcmp(&before, &input, sizeof(input)));
}

// The session description file is the last item, 43, after the numbers of
// items 35 to 41; like the other text values it is refused when too long.
TEST_F(ConfigFile, SessionDescriptionFileIsTheLastItem)
{
    std::string text = ConformingFile(SAMPLE_VALUES);
    for (const char* label : {"ulSync_Interval", "ulSegment_Length", "ulSegment_Align", "ulKeep_Free_MiB"})
        text += std::string(label) + " = 0\n";
    Load(text + "sSdp_File = \"/run/cam 0.sdp\"\n");
    EXPECT_STREQ("/run/cam 0.sdp", input.sSdp_File);

    ResetRecord();
    EXPECT_EQ(Announcement() + "Value of configuration item 43 (session description file) is longer than "
                               "255 characters.\n",
              Load(text + "sSdp_File = " + std::string(256, 's') + "\n", -1));
    EXPECT_EQ(0, memcmp(&before, &input, sizeof(input)));
}

// The file's values are checked together with the options, before the
// device or any file is touched: a destination or port the streams cannot
// use, an I-frame interval the command word cannot carry.
TEST_F(ConfigFile, ValuesTheRunCannotUseAreRefusedAtStartUp)
{
    const char* values[17];
    memcpy(values, SAMPLE_VALUES, sizeof(values));
    auto start = [&](const std::string& text, int expectedStatus) {
        WriteFile(text);
        char program[] = "vozirev", option[] = "-z";
        char* argv[] = {program, option, path_, nullptr};
        testing::internal::CaptureStdout();
        int status = get_cmdline_parameters(&input, 3, argv);
        fflush(stdout);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(expectedStatus, status) << output;
        return output;
    };

    // Audio-only elementary streams use the audio port only.
    EXPECT_EQ(Announcement() + "Invalid audio port 70002 (-y, configuration item 33). Use 1 - 65535.\n",
              start(ConformingFile(values), -1));
    values[1] = "3";
    EXPECT_EQ(Announcement() + "Invalid video port 70000 (-x, configuration item 31). Use 1 - 65535.\n",
              start(ConformingFile(values), -1));
    values[15] = "9000";
    values[16] = "9002";
    values[13] = "10.0.0.300";
    EXPECT_EQ(Announcement() + "Invalid destination address \"10.0.0.300\" (-d, configuration item 27). "
                               "Use a dotted IPv4 address such as 192.168.0.10.\n",
              start(ConformingFile(values), -1));
    values[13] = "239.0.0.9";
    values[7] = "16777216";
    EXPECT_EQ(Announcement() + "Invalid I-frame interval 16777216 (-i, configuration item 15). "
                               "Use 1 - 16777215.\n",
              start(ConformingFile(values), -1));

    values[7] = "12";
    EXPECT_EQ(Announcement(), start(ConformingFile(values), 0));
    // A file with CR LF line ends leaves a CR after the address; the address
    // is still taken, as the socket layer reads it.
    EXPECT_EQ(Announcement(), start(ConformingFile(values, " = ", "\r\n"), 0));
    EXPECT_STREQ("239.0.0.9\r", input.IP_Addr);
}

TEST_F(ConfigFile, MissingFileIsReported)
{
    char missing[] = "/nonexistent/dir/vozirev.cfg";
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, Configure(missing, &input));
    fflush(stdout);
    EXPECT_EQ("Parsing Config File /nonexistent/dir/vozirev.cfg....\n"
              "\nCannot open configuration file /nonexistent/dir/vozirev.cfg"
              "\nError No Config File found",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, memcmp(&before, &input, sizeof(input)));
}

TEST_F(ConfigFile, ContentIsTheWholeFileNulTerminated)
{
    const std::string text("first\0second\r\nthird", 19);
    WriteFile(text);
    char* content = GetConfigFileContent(path_);
    ASSERT_NE(nullptr, content);
    EXPECT_EQ(0, memcmp(text.data(), content, text.size()));
    EXPECT_EQ('\0', content[text.size()]);
    free(content);

    WriteFile("");
    content = GetConfigFileContent(path_);
    ASSERT_NE(nullptr, content);
    EXPECT_EQ('\0', content[0]);
    free(content);
}

}  // namespace
