// Command-line options, usage text and the time-stamp file name.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "QBoxParser.h"
#include "housekeeping.h"
#include "stopsignals.h"
#include "captureparams.h"

namespace {

// Owns argv-style copies of the arguments; the program name comes first.
class Args {
public:
    Args(std::initializer_list<std::string> args) : storage_{"vozirev"}
    {
        storage_.insert(storage_.end(), args.begin(), args.end());
        for (std::string& arg : storage_)
            pointers_.push_back(&arg[0]);
        pointers_.push_back(nullptr);
    }
    int argc() const { return (int)storage_.size(); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

struct ParseResult {
    int status;
    std::string output;
};

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        skip_disk_check = 1;
        // Garbage everywhere, so that a field the parser forgets shows up.
        memset(&input, 0xA5, sizeof(input));
    }
    void TearDown() override { skip_disk_check = 1; }

    ParseResult Parse(std::initializer_list<std::string> list)
    {
        Args args(list);
        testing::internal::CaptureStdout();
        int status = get_cmdline_parameters(&input, args.argc(), args.argv());
        fflush(stdout);
        return {status, testing::internal::GetCapturedStdout()};
    }

    stInputParameters input;
};

std::string UsageText()
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, optionhelp());
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// The name the time-stamp rule gives for one second, built with strftime
// instead of the asctime route the program takes.
std::string ExpectedTimeStamp(time_t when)
{
    char text[32];
    strftime(text, sizeof(text), "%b%d%y-%H%M%S", localtime(&when));
    return text;
}

bool IsTimeStampName(const std::string& name)
{
    if (name.size() != 14 || name[7] != '-')
        return false;
    for (size_t i = 3; i < name.size(); i++) {
        if (i != 7 && !isdigit((unsigned char)name[i]))
            return false;
    }
    return true;
}

TEST_F(CommandLine, NoArgumentsGivesEveryDefault)
{
    ParseResult result = Parse({});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.output);
    EXPECT_TRUE(IsTimeStampName(input.sOutput_Filename)) << input.sOutput_Filename;
    EXPECT_EQ(3u, input.ulMediaFormat);
    EXPECT_EQ(48u, input.ulAudio_BitRate);
    EXPECT_EQ(512u, input.ulVideo_BitRate);
    EXPECT_EQ(320u, input.ulVideo_Frame_Width);
    EXPECT_EQ(240u, input.ulVideo_Frame_Height);
    EXPECT_EQ(30u, input.ulVideo_Frame_Rate);
    EXPECT_EQ(30u, input.ulI_Frame_Interval);
    EXPECT_EQ(0u, input.ulDevice_Number);
    EXPECT_EQ(0u, input.ulStreaming);
    EXPECT_EQ(1u, input.ulSaving);
    EXPECT_STREQ("127.0.0.1", input.IP_Addr);
    EXPECT_EQ(64u, input.ucttl);
    EXPECT_EQ(8000u, input.Video_Port);
    EXPECT_EQ(8002u, input.Audio_Port);
    EXPECT_EQ(128u, input.ulBrightness);
    EXPECT_EQ(128u, input.ulColor);
    EXPECT_STREQ("", input.sSdp_File);
    EXPECT_EQ(1, skip_disk_check);
}

TEST_F(CommandLine, EveryOptionReachesItsField)
{
    ParseResult result = Parse({"-n", "2", "-m", "1", "-a", "64", "-w", "720", "-h", "576",
                                "-f", "25", "-i", "12", "-v", "2000", "-c", "10", "-b", "20",
                                "-r", "2", "-p", "clip", "-s", "1", "-d", "239.1.2.3", "-t",
                                "5", "-x", "9000", "-y", "9002", "-q", "x"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(2u, input.ulDevice_Number);
    EXPECT_EQ(1u, input.ulMediaFormat);
    EXPECT_EQ(64u, input.ulAudio_BitRate);
    EXPECT_EQ(720u, input.ulVideo_Frame_Width);
    EXPECT_EQ(576u, input.ulVideo_Frame_Height);
    EXPECT_EQ(25u, input.ulVideo_Frame_Rate);
    EXPECT_EQ(12u, input.ulI_Frame_Interval);
    EXPECT_EQ(2000u, input.ulVideo_BitRate);
    EXPECT_EQ(10u, input.ulColor);
    EXPECT_EQ(20u, input.ulBrightness);
    EXPECT_EQ(2u, input.ulSaving);
    EXPECT_STREQ("clip", input.sOutput_Filename);
    EXPECT_EQ(1u, input.ulStreaming);
    EXPECT_STREQ("239.1.2.3", input.IP_Addr);
    EXPECT_EQ(5u, input.ucttl);
    EXPECT_EQ(9000u, input.Video_Port);
    EXPECT_EQ(9002u, input.Audio_Port);
    EXPECT_EQ(0, skip_disk_check);
}

TEST_F(CommandLine, EveryOptionConsumesTheNextArgument)
{
    // -r is the value of -q; the loop then stops at "0".
    EXPECT_EQ(0, Parse({"-q", "-r", "0"}).status);
    EXPECT_EQ(1u, input.ulSaving);
    EXPECT_EQ(0, skip_disk_check);

    // A value that looks like an option is still the value.
    EXPECT_EQ(0, Parse({"-p", "-s", "-s", "2"}).status);
    EXPECT_STREQ("-s", input.sOutput_Filename);
    EXPECT_EQ(2u, input.ulStreaming);

    // -q as the last argument needs no value.
    skip_disk_check = 1;
    EXPECT_EQ(0, Parse({"-n", "4", "-q"}).status);
    EXPECT_EQ(0, skip_disk_check);
    EXPECT_EQ(4u, input.ulDevice_Number);
}

TEST_F(CommandLine, FirstNonOptionEndsTheList)
{
    ParseResult result = Parse({"-r", "2", "out.mpg", "-s", "1", "-u"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(2u, input.ulSaving);
    EXPECT_EQ(0u, input.ulStreaming);
}

TEST_F(CommandLine, LaterOptionOverwritesEarlier)
{
    EXPECT_EQ(0, Parse({"-v", "100", "-v", "200", "-p", "a", "-p", "b"}).status);
    EXPECT_EQ(200u, input.ulVideo_BitRate);
    EXPECT_STREQ("b", input.sOutput_Filename);
}

TEST_F(CommandLine, OnlyTheFirstLetterSelects)
{
    EXPECT_EQ(0, Parse({"-abc", "5", "-video", "77"}).status);
    EXPECT_EQ(5u, input.ulAudio_BitRate);
    EXPECT_EQ(77u, input.ulVideo_BitRate);
}

TEST_F(CommandLine, NumbersFollowAtoi)
{
    EXPECT_EQ(0, Parse({"-a", "  +64", "-v", "12abc", "-w", "abc", "-b", "-1", "-t", "-5",
                        "-f", "0x1F"})
                     .status);
    EXPECT_EQ(64u, input.ulAudio_BitRate);
    EXPECT_EQ(12u, input.ulVideo_BitRate);
    EXPECT_EQ(0u, input.ulVideo_Frame_Width);
    EXPECT_EQ(4294967295u, input.ulBrightness);
    EXPECT_EQ((unsigned int)-5, input.ucttl);
    EXPECT_EQ(0u, input.ulVideo_Frame_Rate);
}

// ---- values the run cannot use, refused before the device or a file is touched

std::string AddressRefusal(const std::string& address)
{
    return "Invalid destination address \"" + address +
           "\" (-d, configuration item 27). Use a dotted IPv4 address such as 192.168.0.10.\n";
}

TEST_F(CommandLine, StreamingRefusesADestinationThatIsNotADottedQuad)
{
    for (const char* streaming : {"1", "2"}) {
        SCOPED_TRACE(std::string("-s ") + streaming);
        // inet_addr would stream "foo" and "" to 255.255.255.255, "1.2.3"
        // to 1.2.0.3 and "010.0.0.1" to 8.0.0.1.
        for (const char* bad : {"foo", "", "10.0.0.300", "1.2.3", "1.2.3.4.5", "1..3.4",
                                " 1.2.3.4", "1.2.3.4 ", "0x7f.0.0.1", "010.0.0.1"}) {
            ParseResult result = Parse({"-s", streaming, "-d", bad});
            EXPECT_EQ(-1, result.status) << '"' << bad << '"';
            EXPECT_EQ(AddressRefusal(bad), result.output);
        }
        for (const char* good : {"127.0.0.1", "239.255.255.255", "0.0.0.0", "10.0.0.255"}) {
            ParseResult result = Parse({"-s", streaming, "-d", good});
            EXPECT_EQ(0, result.status) << good;
            EXPECT_EQ("", result.output);
        }
    }
    // Without streaming the address is never used, so it is not looked at.
    ParseResult notStreaming = Parse({"-s", "0", "-d", "foo"});
    EXPECT_EQ(0, notStreaming.status);
    EXPECT_EQ("", notStreaming.output);
    EXPECT_STREQ("foo", input.IP_Addr);
}

TEST_F(CommandLine, StreamingRefusesPortsOutside1To65535)
{
    struct Refused {
        std::initializer_list<std::string> args;
        const char* message;
    };
    const Refused refused[] = {
        {{"-s", "1", "-x", "0"}, "Invalid video port 0 (-x, configuration item 31). Use 1 - 65535.\n"},
        {{"-s", "1", "-x", "65536"},
         "Invalid video port 65536 (-x, configuration item 31). Use 1 - 65535.\n"},
        {{"-s", "1", "-y", "70000"},
         "Invalid audio port 70000 (-y, configuration item 33). Use 1 - 65535.\n"},
        {{"-s", "1", "-y", "-1"},
         "Invalid audio port 4294967295 (-y, configuration item 33). Use 1 - 65535.\n"},
        {{"-s", "2", "-x", "0"}, "Invalid video port 0 (-x, configuration item 31). Use 1 - 65535.\n"},
    };
    for (const Refused& r : refused) {
        ParseResult result = Parse(r.args);
        EXPECT_EQ(-1, result.status) << r.message;
        EXPECT_EQ(r.message, result.output);
    }

    EXPECT_EQ(0, Parse({"-s", "1", "-x", "1", "-y", "65535"}).status);
    EXPECT_EQ(1u, input.Video_Port);
    EXPECT_EQ(65535u, input.Audio_Port);
    // Only the ports the streams use are looked at: the transport stream
    // goes to the video port, elementary streams to the port of each medium.
    EXPECT_EQ(0, Parse({"-s", "2", "-y", "0"}).status);
    EXPECT_EQ(0, Parse({"-s", "1", "-m", "2", "-y", "0"}).status);
    EXPECT_EQ(0, Parse({"-s", "1", "-m", "1", "-x", "70000"}).status);
    // Nor are they without streaming; a value is kept as given, never
    // reduced to another port.
    ParseResult notStreaming = Parse({"-x", "70000", "-y", "0"});
    EXPECT_EQ(0, notStreaming.status);
    EXPECT_EQ("", notStreaming.output);
    EXPECT_EQ(70000u, input.Video_Port);
    EXPECT_EQ(0u, input.Audio_Port);
}

// A command word carries its value in 24 bits; a larger interval would
// spill into the command code (-i 184549377 went out with code 0x1B).
TEST_F(CommandLine, IFrameIntervalMustFitTheCommandWord)
{
    EXPECT_EQ(0, Parse({"-i", "16777215"}).status);
    EXPECT_EQ(16777215u, input.ulI_Frame_Interval);

    for (const char* bad : {"16777216", "184549377", "-1"}) {
        ParseResult result = Parse({"-i", bad});
        EXPECT_EQ(-1, result.status) << bad;
        EXPECT_EQ("Invalid I-frame interval " + std::to_string((unsigned int)atoi(bad)) +
                      " (-i, configuration item 15). Use 1 - 16777215.\n",
                  result.output);
    }
    // Audio only: the interval is never sent.
    EXPECT_EQ(0, Parse({"-m", "1", "-i", "184549377"}).status);
}

TEST_F(CommandLine, UnknownLetterShowsUsage)
{
    const std::string usage = UsageText();
    for (const char* bad : {"-u", "-e", "-Z", "-"}) {
        ParseResult result = Parse({"-n", "1", bad, "1"});
        EXPECT_EQ(-1, result.status) << bad;
        EXPECT_EQ(usage, result.output) << bad;
    }
}

TEST_F(CommandLine, MissingValueShowsUsage)
{
    const std::string usage = UsageText();
    for (const char* last : {"-n", "-p", "-d", "-x", "-z", "-"}) {
        ParseResult result = Parse({"-a", "64", last});
        EXPECT_EQ(-1, result.status) << last;
        EXPECT_EQ(usage, result.output) << last;
    }
}

TEST_F(CommandLine, TextValuesMustFitTheirFields)
{
    const std::string name255(255, 'n');
    EXPECT_EQ(0, Parse({"-p", name255}).status);
    EXPECT_EQ(name255, input.sOutput_Filename);

    ParseResult tooLong = Parse({"-p", name255 + "x"});
    EXPECT_EQ(-1, tooLong.status);
    EXPECT_EQ("Value of -p is longer than 255 characters.\n", tooLong.output);

    const std::string addr19 = "1234567890123456789";
    EXPECT_EQ(0, Parse({"-d", addr19}).status);
    EXPECT_EQ(addr19, input.IP_Addr);

    ParseResult longAddr = Parse({"-d", addr19 + "0"});
    EXPECT_EQ(-1, longAddr.status);
    EXPECT_EQ("Value of -d is longer than 19 characters.\n", longAddr.output);

    ParseResult longSdp = Parse({"-j", name255 + "x"});
    EXPECT_EQ(-1, longSdp.status);
    EXPECT_EQ("Value of -j is longer than 255 characters.\n", longSdp.output);
}

// The session description is written as root in a directory others may
// write to: a name taken by a link or by anything but a regular file, or a
// directory that is not there, is refused before the device is opened.
// Without streaming the name is not looked at.
TEST_F(CommandLine, SessionDescriptionFileIsCheckedBeforeTheRun)
{
    char dir_template[] = "/tmp/vozirev_params_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    const std::string dir = dir_template;
    const std::string link = dir + "/link.sdp", missing = dir + "/none/stream.sdp", good = dir + "/stream.sdp";
    ASSERT_EQ(0, symlink("/etc/passwd", link.c_str()));

    ParseResult result = Parse({"-s", "1", "-j", good});
    EXPECT_EQ(0, result.status) << result.output;
    EXPECT_EQ(good, input.sSdp_File);
    EXPECT_NE(0, access(good.c_str(), F_OK));  // checked, not made

    result = Parse({"-s", "2", "-j", link});
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ("Cannot write the session description " + link +
                  " (-j, configuration item 43): it is a link, or not a regular file.\n",
              result.output);
    result = Parse({"-s", "1", "-j", dir});
    EXPECT_EQ(-1, result.status);
    EXPECT_NE(std::string::npos, result.output.find("it is a link, or not a regular file"));
    result = Parse({"-s", "1", "-j", missing});
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ("Cannot write the session description " + missing +
                  " (-j, configuration item 43): its directory does not exist.\n",
              result.output);

    EXPECT_EQ(0, Parse({"-s", "0", "-j", link}).status);
    unlink(link.c_str());
    rmdir(dir.c_str());
}

TEST_F(CommandLine, ConfigurationFileOnlyAsFirstArgument)
{
    ParseResult result = Parse({"-n", "1", "-z", "whatever.cfg"});
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ("External configuration file needs to be the first parameter.\n", result.output);
}

TEST_F(CommandLine, ConfigurationFileThenOptions)
{
    char path[] = "/tmp/vozirev_cmdline_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text =
        "ulDevice_Number = 3\nulMediaFormat = 2\nulAudio_BitRate = 96\n"
        "ulVideo_BitRate = 1500\n";
    ASSERT_EQ((ssize_t)text.size(), write(fd, text.data(), text.size()));
    close(fd);

    ParseResult result = Parse({"-z", path, "-n", "1"});
    remove(path);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(std::string("Parsing Config File ") + path + "....\n", result.output);
    EXPECT_EQ(1u, input.ulDevice_Number);
    EXPECT_EQ(2u, input.ulMediaFormat);
    EXPECT_EQ(96u, input.ulAudio_BitRate);
    EXPECT_EQ(1500u, input.ulVideo_BitRate);
    // Fields the file does not reach keep their defaults.
    EXPECT_EQ(320u, input.ulVideo_Frame_Width);
    EXPECT_STREQ("127.0.0.1", input.IP_Addr);
}

TEST_F(CommandLine, MissingConfigurationFile)
{
    ParseResult result = Parse({"-z", "/nonexistent/vozirev.cfg"});
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ("Parsing Config File /nonexistent/vozirev.cfg....\n"
              "\nCannot open configuration file /nonexistent/vozirev.cfg"
              "\nError No Config File foundError parsing the configuration file\n",
              result.output);
}

TEST_F(CommandLine, ConfigurationFileNameMustFit)
{
    ParseResult result = Parse({"-z", std::string(256, 'c')});
    EXPECT_EQ(-1, result.status);
    EXPECT_EQ("Value of -z is longer than 255 characters.\n"
              "Error parsing the configuration file\n",
              result.output);
}

TEST(UsageText, ExactLinesInOrder)
{
    EXPECT_EQ(
        "The following command line parameters are used for the Vozirev Program:[default]\n"
        "-z\t\tconfiguration filename\n"
        "-n\t\tdevice number [0]\n"
        "-m\t\tmedia type (1 - audio, 2 - video, 3 -  audio and video) [3]\n"
        "-a\t\taudio bit rate in kbps (24 - 128) [48]\n"
        "-w\t\tvideo width (160 - 720) [320]\n"
        "-h\t\tvideo height(112 - 480/576) [240]\n"
        "-f\t\tframe rate [30/25]\n"
        "-i\t\tI-frame interval [30]\n"
        "-v\t\tvideo bitrate in kbps (32 - 4000) [512]\n"
        "-c\t\tcolor (0 - 255) [128]\n"
        "-b\t\tbrightness (0 - 255) [128]\n"
        "-r\t\trecord settings (0 - Do not save, 1 - Save as MP4, 2 - Save as MPEG-TS) [1]\n"
        "-p\t\tfile name for recorded file [Time Stamp]\n"
        "-s\t\tstream settings (0 - Do not stream, 1 - Elementary Stream, 2 - MPEG "
        "Transport Stream) [0]\n"
        "-d\t\tdestination ip address [127.0.0.1]\n"
        "-t\t\tttl[64] \n"
        "-x\t\tvideo port/MPEG-TS port [8000]\n"
        "-y\t\taudio port (for elementary stream only) [8002]\n"
        "-q\t\tcheck disk space for filewrite [skip disk space check]\n"
        "-u\t\tusage.\n"
        "-k\t\tmake the recording durable every N seconds of content, 0 never [1]\n"
        "-g\t\tsegment length: a new file every N seconds of content, 0 one file [0]\n"
        "-l\t\talign the segments to the clock (1 - a 600 s length cuts at :00, :10, ...) [0]\n"
        "-o\t\tkeep N MiB free by deleting the oldest recordings, 0 never [0]\n"
        "-j\t\tsession description file (SDP) of the streams, written by the program [none]\n"
        "-R\t\tRTSP server port, 0 - none (8554 in the examples) [0]\n"
        "-A\t\taddress the RTSP and HTTP servers listen on [0.0.0.0, every address]\n"
        "-M\t\tmulticast group of the RTSP server's multicast transport, TTL of -t [none]\n"
        "-T\t\tRTSP session timeout in seconds [60]\n"
        "-S\t\tRTSP sessions at most [32]\n"
        "-C\t\tRTSP and HTTP connections at most [64]\n"
        "-E\t\tcredentials file of the RTSP and HTTP servers and the publisher [none]\n"
        "-H\t\tHTTP server port (live view, status, metrics, recordings), 0 - none [0]\n"
        "-W\t\tdirectory of the web page's files [" VOZIREV_WWW_DIR "]\n"
        "-P\t\tpublish to an RTSP server: rtsp://[user:password@]host[:port]/path [none]\n"
        "-U\t\tpublish transport (0 - TCP interleaved, 1 - UDP) [0]\n",
        UsageText());
}

class TimeStampName : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_)
            savedTz_ = tz;
    }
    void TearDown() override
    {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    // The name for the current second, retried if the clock ticked over
    // between the two readings around the call.
    void NameNow(std::string* name, time_t* when)
    {
        for (int attempt = 0; attempt < 5; attempt++) {
            char tag[32];
            memset(tag, 'X', sizeof(tag));
            time_t before = time(nullptr);
            EXPECT_EQ(0, get_time_stamp_string(tag));
            time_t after = time(nullptr);
            // Nothing is written past the 15 bytes the caller provides.
            EXPECT_EQ('X', tag[15]);
            if (before == after) {
                *name = tag;
                *when = before;
                return;
            }
        }
        FAIL() << "clock kept moving";
    }

private:
    bool hadTz_ = false;
    std::string savedTz_;
};

TEST_F(TimeStampName, MatchesLocalTimeOfTheSameSecond)
{
    for (const char* zone : {"UTC0", "XST-5:30", "YST+11"}) {
        setenv("TZ", zone, 1);
        tzset();
        std::string name;
        time_t when = 0;
        NameNow(&name, &when);
        EXPECT_TRUE(IsTimeStampName(name)) << name;
        EXPECT_EQ(ExpectedTimeStamp(when), name) << zone;
    }
}

}  // namespace
