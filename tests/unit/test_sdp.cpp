// The session description module: the H.264 description taken from the
// encoder's own parameter sets and read back as a receiver reads it, the
// level chosen from the settings against the encoder's choice, the AAC
// configuration, base64, and the atomic file write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QBox.h"
#include "captureparams.h"
#include "sdp.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Base64 decoding as a receiver does it (RFC 4648, 4), separate from the
// encoder under test.
Bytes Base64Decode(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Bytes out;
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        if (c == '=')
            break;
        size_t value = alphabet.find(c);
        if (value == std::string::npos)
            return Bytes();
        bits = (bits << 6) | (uint32_t)value;
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back((uint8_t)(bits >> held));
        }
    }
    return out;
}

// The value of key in the fmtp line of payload type pt.
std::string Fmtp(const std::string& sdp, int pt, const std::string& key)
{
    size_t at = sdp.find("a=fmtp:" + std::to_string(pt) + " ");
    if (at == std::string::npos)
        return "";
    size_t end = sdp.find("\r\n", at);
    size_t key_at = sdp.find(" " + key + "=", at);
    if (key_at == std::string::npos || key_at > end)
        return "";
    key_at += key.size() + 2;
    return sdp.substr(key_at, std::min(sdp.find(';', key_at), end) - key_at);
}

std::string Format(const stSdpDescription& d)
{
    char text[SDP_TEXT_MAX];
    int n = SdpFormat(&d, text, sizeof(text));
    EXPECT_GT(n, 0);
    return n > 0 ? std::string(text, (size_t)n) : "";
}

stInputParameters Parameters(unsigned int streaming, unsigned int media, const char* address)
{
    stInputParameters p;
    memset(&p, 0, sizeof(p));
    p.ulStreaming = streaming;
    p.ulMediaFormat = media;
    snprintf(p.IP_Addr, sizeof(p.IP_Addr), "%s", address);
    p.ucttl = 16;
    p.Video_Port = 8000;
    p.Audio_Port = 8002;
    p.ulVideo_Frame_Width = 320;
    p.ulVideo_Frame_Height = 240;
    p.ulVideo_Frame_Rate = 30;
    return p;
}

// The video payloads of a shared test stream, in order.
std::vector<Bytes> VideoPayloads(const std::string& name, size_t most)
{
    const char* corpus = getenv("VOZIREV_CORPUS");
    std::vector<Bytes> payloads;
    FILE* in = corpus ? fopen((std::string(corpus) + "/" + name).c_str(), "rb") : nullptr;
    if (in == nullptr) {
        ADD_FAILURE() << "no test stream " << name << " (VOZIREV_CORPUS)";
        return payloads;
    }
    uint8_t head[QBOX_HEADER_SIZE];
    while (payloads.size() < most && fread(head, 1, sizeof(head), in) == sizeof(head)) {
        QBox box;
        DecodeQBoxHeader(head, &box);
        Bytes payload(box.ulBoxSize - QBOX_HEADER_SIZE);
        if (fread(payload.data(), 1, payload.size(), in) != payload.size())
            break;
        if (box.usSampleStreamType == QBOX_STREAM_VIDEO)
            payloads.push_back(payload);
    }
    fclose(in);
    return payloads;
}

// The NAL unit of a type in a length-prefixed payload.
Bytes Unit(const Bytes& payload, int type)
{
    for (size_t at = 0; at + 4 < payload.size();) {
        size_t size = ReadBE32(&payload[at]);
        if ((payload[at + 4] & 0x1F) == type)
            return Bytes(payload.begin() + at + 4, payload.begin() + at + 4 + size);
        at += 4 + size;
    }
    return Bytes();
}

struct TestStream {
    const char* name;
    unsigned int width, height, rate;
};
const TestStream VIDEO_STREAMS[] = {
    {"av_320x240_30fps_gop30.qbox", 320, 240, 30},
    {"av_720x576_25fps_gop12.qbox", 720, 576, 25},
    {"av_720x480_15fps_gop5.qbox", 720, 480, 15},
    {"v_352x288_30fps_gop10.qbox", 352, 288, 30},
};

// ---- H.264 ------------------------------------------------------------------------

// The encoder's first parameter sets go into the description once, whole,
// and a receiver decoding sprop-parameter-sets gets them back byte for
// byte; profile-level-id is then the SPS's own.
TEST(Sdp, ParameterSetsOfTheEncoderAreDescribedOnce)
{
    for (const TestStream& s : VIDEO_STREAMS) {
        SCOPED_TRACE(s.name);
        std::vector<Bytes> payloads = VideoPayloads(s.name, 40);
        ASSERT_GE(payloads.size(), 2u);
        Bytes sps = Unit(payloads[0], 7), pps = Unit(payloads[0], 8);
        ASSERT_FALSE(sps.empty());
        ASSERT_FALSE(pps.empty());

        stInputParameters p = Parameters(1, 3, "127.0.0.1");
        stSdpDescription d;
        SdpFromParameters(&d, &p);
        std::string before = Format(d);
        EXPECT_EQ("", Fmtp(before, 97, "sprop-parameter-sets"));
        EXPECT_NE(std::string::npos, before.find("o=- 0 0 IN IP4"));

        // The sets in force come from the codec description: the encoder
        // repeats the same ones, which change it only once.
        tVideoCodec codec = tVideoCodec();
        d.pVideoCodec = &codec;
        UINT32 changes = 0;
        for (const Bytes& payload : payloads)
            for (int type : {7, 8})
                if (!Unit(payload, type).empty())
                    changes += VideoCodecTakeUnit(&codec, Unit(payload, type).data(), (UINT32)Unit(payload, type).size());
        EXPECT_EQ(2u, changes);

        std::string after = Format(d);
        std::string sprop = Fmtp(after, 97, "sprop-parameter-sets");
        size_t comma = sprop.find(',');
        ASSERT_NE(std::string::npos, comma) << sprop;
        EXPECT_EQ(sps, Base64Decode(sprop.substr(0, comma)));
        EXPECT_EQ(pps, Base64Decode(sprop.substr(comma + 1)));
        char pli[7];
        snprintf(pli, sizeof(pli), "%02x%02x%02x", sps[1], sps[2], sps[3]);
        EXPECT_EQ(pli, Fmtp(after, 97, "profile-level-id"));
        EXPECT_EQ("1", Fmtp(after, 97, "packetization-mode"));
    }
}

// Before the SPS is known the level follows from the settings; libx264,
// which made the test streams, chose the same levels for those settings.
TEST(Sdp, LevelFromTheSettingsMatchesTheEncodersSps)
{
    for (const TestStream& s : VIDEO_STREAMS) {
        SCOPED_TRACE(s.name);
        std::vector<Bytes> payloads = VideoPayloads(s.name, 1);
        ASSERT_EQ(1u, payloads.size());
        Bytes sps = Unit(payloads[0], 7);
        ASSERT_GE(sps.size(), 4u);
        EXPECT_EQ(sps[3], H264LevelForPicture(s.width, s.height, s.rate));
        EXPECT_EQ(H264_PROFILE_IDC_BASELINE, sps[1]);
        EXPECT_EQ(H264_CONSTRAINT_SET0_SET1, sps[2]);
    }
    // The edges of Table A-1 rows: at MaxFS and MaxMBPS, and one past.
    EXPECT_EQ(10, H264LevelForPicture(176, 144, 15));  // 99 MBs, 1485 MB/s
    EXPECT_EQ(11, H264LevelForPicture(176, 144, 16));
    EXPECT_EQ(11, H264LevelForPicture(177, 144, 15));  // 108 MBs
    EXPECT_EQ(30, H264LevelForPicture(720, 576, 25));  // 1620 MBs, 40500 MB/s
    EXPECT_EQ(31, H264LevelForPicture(720, 576, 26));
}

TEST(Sdp, ParameterSetsSpreadOverUnitsOrTooLongAreHandled)
{
    stInputParameters p = Parameters(1, 3, "127.0.0.1");
    stSdpDescription d;
    SdpFromParameters(&d, &p);
    const uint8_t sps[] = {0x67, 0x42, 0xC0, 0x1F, 0xDA};
    const uint8_t pps[] = {0x68, 0xCE, 0x3C, 0x80};
    const uint8_t idr[] = {0x65, 0x88, 0x84};
    Bytes huge(SDP_PARAMETER_SET_MAX + 1, 0x11);
    huge[0] = 0x67;
    tVideoCodec codec = tVideoCodec();
    d.pVideoCodec = &codec;
    VideoCodecTakeUnit(&codec, huge.data(), (UINT32)huge.size());  // in force, too long to describe
    VideoCodecTakeUnit(&codec, pps, sizeof(pps));
    EXPECT_FALSE(VideoCodecTakeUnit(&codec, idr, sizeof(idr)));
    EXPECT_EQ("", Fmtp(Format(d), 97, "sprop-parameter-sets"));
    EXPECT_EQ("42c00d", Fmtp(Format(d), 97, "profile-level-id"));  // the settings' own
    EXPECT_TRUE(VideoCodecTakeUnit(&codec, sps, sizeof(sps)));  // in the next sample
    EXPECT_EQ("42c01f", Fmtp(Format(d), 97, "profile-level-id"));
    EXPECT_EQ("Z0LAH9o=,aM48gA==", Fmtp(Format(d), 97, "sprop-parameter-sets"));

    // Neither the transport stream nor audio alone describe parameter sets.
    stInputParameters ts = Parameters(2, 3, "127.0.0.1"), audio = Parameters(1, 1, "127.0.0.1");
    for (const stInputParameters* q : {&ts, &audio}) {
        SdpFromParameters(&d, q);
        d.pVideoCodec = &codec;
        EXPECT_EQ(std::string::npos, Format(d).find("H264"));
    }
}

// ---- AAC, session lines ---------------------------------------------------------------

TEST(Sdp, AacConfigIsTheAudioSpecificConfigOfTheSettings)
{
    uint8_t config[2];
    ASSERT_EQ(1, AacAudioSpecificConfig(48000, 2, config));
    EXPECT_EQ(0x11, config[0]);  // 00010 0011 0010 000: LC, index 3, 2 channels
    EXPECT_EQ(0x90, config[1]);
    ASSERT_EQ(1, AacAudioSpecificConfig(44100, 2, config));
    EXPECT_EQ(0x12, config[0]);
    EXPECT_EQ(0x10, config[1]);
    ASSERT_EQ(1, AacAudioSpecificConfig(8000, 1, config));
    EXPECT_EQ(0x15, config[0]);
    EXPECT_EQ(0x88, config[1]);
    EXPECT_EQ(-1, AacAudioSpecificConfig(47999, 2, config));
    EXPECT_EQ(-1, AacAudioSpecificConfig(48000, 0, config));
    EXPECT_EQ(-1, AacAudioSpecificConfig(48000, 7, config));
    EXPECT_EQ(0x29, AacProfileLevelId(48000, 2));
    EXPECT_EQ(0x28, AacProfileLevelId(24000, 1));
    EXPECT_EQ(0x2A, AacProfileLevelId(48000, 6));
    EXPECT_EQ(0x2B, AacProfileLevelId(96000, 2));

    stInputParameters p = Parameters(1, 1, "127.0.0.1");
    stSdpDescription d;
    SdpFromParameters(&d, &p);
    std::string sdp = Format(d);
    EXPECT_NE(std::string::npos, sdp.find("a=rtpmap:96 mpeg4-generic/48000/2\r\n"));
    EXPECT_EQ("1190", Fmtp(sdp, 96, "config"));
    EXPECT_EQ("AAC-hbr", Fmtp(sdp, 96, "mode"));
    EXPECT_EQ("13", Fmtp(sdp, 96, "sizelength"));
}

TEST(Sdp, MulticastCarriesTtlAndEveryStreamItsRtcpPort)
{
    stInputParameters p = Parameters(1, 3, "239.1.2.3");
    p.Video_Port = 9001;
    stSdpDescription d;
    SdpFromParameters(&d, &p);
    d.ulSessionId = 1700000000;
    std::string sdp = Format(d);
    EXPECT_EQ(0u, sdp.find("v=0\r\no=- 1700000000 0 IN IP4 127.0.0.1\r\ns=Vozirev capture\r\n"
                           "c=IN IP4 239.1.2.3/16\r\nt=0 0\r\nm=video 9001 RTP/AVP 97\r\n"));
    EXPECT_NE(std::string::npos, sdp.find("\r\na=rtcp:9002\r\nm=audio 8002 RTP/AVP 96\r\n"));
    EXPECT_EQ(sdp.size() - strlen("a=rtcp:8003\r\n"), sdp.rfind("a=rtcp:8003\r\n"));

    // A text buffer too small for the description gets none.
    char small[100];
    EXPECT_EQ(-1, SdpFormat(&d, small, sizeof(small)));
}

TEST(Sdp, Base64IsTheStandardEncoding)
{
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        char out[16];
        EXPECT_EQ(strlen(v[1]), Base64Encode((const UINT8*)v[0], (UINT32)strlen(v[0]), out));
        EXPECT_STREQ(v[1], out);
    }
    const uint8_t high[] = {0xFB, 0xFF, 0xBF};
    char out[8];
    Base64Encode(high, 3, out);
    EXPECT_STREQ("+/+/", out);
}

// ---- the file --------------------------------------------------------------------------

std::string ReadAll(int fd)
{
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, (size_t)n);
    return text;
}

size_t Entries(const std::string& dir)
{
    std::string command = "ls -A " + dir + " | wc -l";
    FILE* p = popen(command.c_str(), "r");
    size_t n = 0;
    if (p) {
        if (fscanf(p, "%zu", &n) != 1)
            n = 0;
        pclose(p);
    }
    return n;
}

// The rewrite replaces the file in one step: a reader that opened the old
// one still reads it whole, the name gives the new one, and no temporary
// file is left.
TEST(Sdp, FileIsReplacedWholeNeverRewrittenInPlace)
{
    char dir_template[] = "/tmp/vozirev_sdp_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir_template));
    std::string dir = dir_template, path = dir + "/stream.sdp";

    stInputParameters p = Parameters(1, 3, "127.0.0.1");
    stSdpDescription d;
    SdpFromParameters(&d, &p);
    ASSERT_EQ(1, SdpWriteFile(path.c_str(), &d));
    int old_fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(old_fd, 0);
    std::string first = Format(d);

    const uint8_t sps[] = {0x67, 0x42, 0xC0, 0x0D, 0xDA};
    const uint8_t pps[] = {0x68, 0xCE, 0x3C, 0x80};
    tVideoCodec codec = tVideoCodec();
    d.pVideoCodec = &codec;
    VideoCodecTakeUnit(&codec, sps, sizeof(sps));
    ASSERT_TRUE(VideoCodecTakeUnit(&codec, pps, sizeof(pps)));
    ASSERT_EQ(1, SdpWriteFile(path.c_str(), &d));

    EXPECT_EQ(first, ReadAll(old_fd));
    close(old_fd);
    int new_fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(new_fd, 0);
    EXPECT_EQ(Format(d), ReadAll(new_fd));
    close(new_fd);
    EXPECT_EQ(1u, Entries(dir));

    // A directory that does not exist: a message naming the file, -1.
    std::string missing = dir + "/no/such/dir/stream.sdp";
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, SdpWriteFile(missing.c_str(), &d));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Could not write the session description " + missing));
    EXPECT_NE(std::string::npos, out.find(strerror(ENOENT)));

    // A directory in the way of the name: the old name is left as it was,
    // and the temporary file is removed.
    std::string blocked = dir + "/blocked.sdp";
    ASSERT_EQ(0, mkdir(blocked.c_str(), 0755));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, SdpWriteFile(blocked.c_str(), &d));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("cannot replace it"));
    EXPECT_EQ(2u, Entries(dir));
    rmdir(blocked.c_str());
    unlink(path.c_str());
    rmdir(dir.c_str());
}

}  // namespace
