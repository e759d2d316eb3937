// vozirev-sdp: the session description printed for the capture program's
// streaming options.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct SdpRun {
    std::string out;
    int status;
};

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

SdpRun Sdp(const std::string& args)
{
    const char* bin = getenv("VOZIREV_BIN");
    std::string command = std::string(bin ? bin : ".") + "/vozirev-sdp " + args + " 2>/dev/null";
    SdpRun run{"", -1};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        run.out.append(buf, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const char AAC_FMTP[] =
    "a=fmtp:96 streamtype=5; profile-level-id=41; mode=AAC-hbr; config=1190; "
    "sizelength=13; indexlength=3; indexdeltalength=3\r\n";

// The fmtp value of a key in the description's line for payload type pt.
std::string Fmtp(const std::string& sdp, int pt, const std::string& key)
{
    std::string line = "a=fmtp:" + std::to_string(pt) + " ";
    size_t at = sdp.find(line);
    if (at == std::string::npos)
        return "";
    size_t end = sdp.find("\r\n", at);
    size_t key_at = sdp.find(key + "=", at);
    if (key_at == std::string::npos || key_at > end)
        return "";
    key_at += key.size() + 1;
    return sdp.substr(key_at, std::min(sdp.find(';', key_at), end) - key_at);
}

TEST(VozirevSdp, ElementaryStreamsDescribeH264AndAacOnTheirPorts)
{
    SdpRun run = Sdp("-s 1");
    ASSERT_EQ(0, run.status);
    EXPECT_EQ(std::string("v=0\r\n"
                          "o=- 0 0 IN IP4 127.0.0.1\r\n"
                          "s=Vozirev capture\r\n"
                          "c=IN IP4 127.0.0.1\r\n"
                          "t=0 0\r\n"
                          "m=video 8000 RTP/AVP 97\r\n"
                          "a=rtpmap:97 H264/90000\r\n"
                          "a=fmtp:97 packetization-mode=1; profile-level-id=42c00d\r\n"
                          "a=rtcp:8001\r\n"
                          "m=audio 8002 RTP/AVP 96\r\n"
                          "a=rtpmap:96 mpeg4-generic/48000/2\r\n") +
                  AAC_FMTP + "a=rtcp:8003\r\n",
              run.out);
}

// -w, -h and -f reach the H.264 level (the levels themselves are the sdp
// module's, checked in test_sdp); no parameter sets are known here.
TEST(VozirevSdp, ProfileLevelIdFollowsPictureSizeAndRate)
{
    struct {
        const char* args;
        const char* profile_level_id;
    } cases[] = {
        {"-s 1", "42c00d"},                      // 320x240 at 30: level 1.3
        {"-s 1 -w 720 -h 576 -f 30", "42c01f"},  // 48600 MB/s: 3.1
    };
    for (const auto& c : cases) {
        SdpRun run = Sdp(c.args);
        ASSERT_EQ(0, run.status) << c.args;
        EXPECT_EQ(c.profile_level_id, Fmtp(run.out, 97, "profile-level-id")) << c.args;
        EXPECT_EQ("", Fmtp(run.out, 97, "sprop-parameter-sets")) << c.args;
    }
}

TEST(VozirevSdp, RtcpPortIsThePortAboveEachRtpPort)
{
    SdpRun run = Sdp("-s 1 -x 9001 -y 65535");
    ASSERT_EQ(0, run.status);
    EXPECT_NE(std::string::npos, run.out.find("m=video 9001 RTP/AVP 97\r\n"));
    EXPECT_NE(std::string::npos, run.out.find("a=rtcp:9002\r\nm=audio 65535 RTP/AVP 96\r\n"));
    EXPECT_EQ(1u, Count(run.out, "a=rtcp:"));  // none above 65535
    SdpRun ts = Sdp("-s 2 -x 9100");
    ASSERT_EQ(0, ts.status);
    EXPECT_NE(std::string::npos, ts.out.find("a=rtpmap:33 MP2T/90000\r\na=rtcp:9101\r\n"));
}

TEST(VozirevSdp, MediaTypeSelectsTheMediaLines)
{
    SdpRun audio = Sdp("-s 1 -m 1 -y 7002 -x 70000");  // the video port is not used
    ASSERT_EQ(0, audio.status);
    EXPECT_EQ(std::string::npos, audio.out.find("m=video"));
    EXPECT_NE(std::string::npos, audio.out.find("m=audio 7002 RTP/AVP 96\r\n"));
    EXPECT_NE(std::string::npos, audio.out.find(AAC_FMTP));
    EXPECT_NE(std::string::npos, audio.out.find("a=rtcp:7003\r\n"));

    SdpRun video = Sdp("-s 1 -m 2 -x 9000");
    ASSERT_EQ(0, video.status);
    EXPECT_NE(std::string::npos, video.out.find("m=video 9000 RTP/AVP 97\r\n"));
    EXPECT_EQ(std::string::npos, video.out.find("m=audio"));
}

TEST(VozirevSdp, TransportStreamIsOneMp2tLineOnTheVideoPort)
{
    SdpRun run = Sdp("-s 2 -m 3 -x 9100 -y 9102");
    ASSERT_EQ(0, run.status);
    EXPECT_NE(std::string::npos, run.out.find("t=0 0\r\nm=video 9100 RTP/AVP 33\r\na=rtpmap:33 MP2T/90000\r\n"));
    EXPECT_EQ(std::string::npos, run.out.find("a=fmtp"));
    EXPECT_EQ(std::string::npos, run.out.find("m=audio"));
    EXPECT_EQ(std::string::npos, run.out.find("97"));
}

TEST(VozirevSdp, MulticastConnectionCarriesTheTtl)
{
    SdpRun mc = Sdp("-s 1 -d 239.1.2.3 -t 16");
    ASSERT_EQ(0, mc.status);
    EXPECT_NE(std::string::npos, mc.out.find("\r\nc=IN IP4 239.1.2.3/16\r\n"));
    SdpRun uc = Sdp("-s 1 -d 10.0.0.5 -t 16");
    ASSERT_EQ(0, uc.status);
    EXPECT_NE(std::string::npos, uc.out.find("\r\nc=IN IP4 10.0.0.5\r\n"));
}

TEST(VozirevSdp, RefusedOptionsPrintNoDescription)
{
    SdpRun unknown = Sdp("-s 1 -K 3");
    EXPECT_EQ(1, unknown.status);
    EXPECT_EQ(0u, unknown.out.find("The following command line parameters are used for the Vozirev Program:"));
    EXPECT_EQ(std::string::npos, unknown.out.find("v=0"));

    const char* refused[] = {"", "-s 0", "-s 3", "-s 1 -m 4", "-s 1 -d 300.1.1.1", "-s 1 -d 239.0.0.1 -t 0",
                             "-s 1 -d 239.0.0.1 -t 256", "-s",
                             "-s 1 -y 70002", "-s 2 -x 0"};
    for (const char* args : refused) {
        SdpRun run = Sdp(args);
        EXPECT_EQ(1, run.status) << args;
        EXPECT_EQ(std::string::npos, run.out.find("v=0")) << args;
    }
}

}  // namespace
