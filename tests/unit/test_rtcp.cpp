// RTCP for the RTP streams: the compound packets as a receiver parses them
// (RFC 3550, 6.1 and 6.4 to 6.6, with the validity checks of A.2), their
// timing, the NTP/RTP mapping over a simulated day with stamp wraps, BYE,
// the port rules and the reporting of send failures. Time is driven through
// the module's clock seam.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Rtp.h"
#include "rtcp.h"
#include "drivers/rtcp_reader.h"
#include "test_rtp_receiver.h"

namespace {

using namespace rtcp_reader;

// ---- time, driven by the test ----------------------------------------------------

int64_t g_monotonic_ns = 0;
int64_t g_realtime_s = 1700000000;  // 2023-11-14
int64_t g_realtime_ns = 250000000;

int FakeClock(clockid_t clock, struct timespec* now)
{
    if (clock == CLOCK_MONOTONIC) {
        now->tv_sec = (time_t)(g_monotonic_ns / 1000000000);
        now->tv_nsec = (long)(g_monotonic_ns % 1000000000);
    } else {
        now->tv_sec = (time_t)g_realtime_s;
        now->tv_nsec = (long)g_realtime_ns;
    }
    return 0;
}

void AdvanceMs(int64_t ms) { g_monotonic_ns += ms * 1000000; }

uint64_t NtpOfFakeWallClock()
{
    return ((uint64_t)(g_realtime_s + 2208988800u) << 32) + ((uint64_t)g_realtime_ns << 32) / 1000000000;
}

// NTP time difference in seconds (the high word may wrap).
double NtpSeconds(uint64_t later, uint64_t earlier) { return (double)(int64_t)(later - earlier) / 4294967296.0; }

// RTCP of the two streams opened towards two loopback receivers: the
// stream's "RTP port" is the one below each receiver, so the RTCP lands in
// it. Every test starts a new run at monotonic time 1000 s.
class Rtcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        RTCPClose();
        g_monotonic_ns = 1000 * 1000000000LL;
        RTCPSetClock(FakeClock);
    }
    void TearDown() override
    {
        RTCPClose();
        RTCPSetClock(nullptr);
    }
    void OpenBoth()
    {
        ASSERT_EQ(1, RTCPOpen(RTCP_STREAM_VIDEO, (unsigned short)(video.Port() - 1), ip, 1, 10023));
        ASSERT_EQ(1, RTCPOpen(RTCP_STREAM_AUDIO, (unsigned short)(audio.Port() - 1), ip, 1, 10023));
    }
    std::vector<Compound> Received(LoopbackReceiver& receiver)
    {
        std::vector<Compound> got;
        for (const Datagram& d : receiver.Drain(0)) {
            got.push_back(ParseCompound(d.data(), d.size()));
            EXPECT_EQ("", got.back().error);
        }
        return got;
    }

    char ip[10] = "127.0.0.1";
    LoopbackReceiver video;
    LoopbackReceiver audio;
};

// ---- the reports ----------------------------------------------------------------------

TEST_F(Rtcp, FirstReportFollowsTheFirstPacketWithCountsTimesAndCname)
{
    OpenBoth();
    EXPECT_TRUE(Received(video).empty());  // nothing before the first packet

    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 9000, 9000, 1200);
    std::vector<Compound> got = Received(video);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((std::vector<int>{200, 202}), got[0].types);
    EXPECT_EQ(10023u, got[0].sr.ssrc);
    EXPECT_EQ(10023u, got[0].sdes_ssrc);
    EXPECT_EQ(NtpOfFakeWallClock(), got[0].sr.ntp);  // the anchor: the first sample sent
    EXPECT_EQ(9000u, got[0].sr.rtp);
    EXPECT_EQ(1u, got[0].sr.packets);
    EXPECT_EQ(1200u, got[0].sr.octets);
    EXPECT_FALSE(got[0].cname.empty());
    EXPECT_EQ(std::string::npos, got[0].cname.find('\0'));

    // Within the interval: counted, not reported.
    AdvanceMs(2000);
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 12000, 12000, 1400);
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 12000, 12000, 300);
    RTCPTick();
    EXPECT_TRUE(Received(video).empty());

    // The audio stream reports on its own port with the same CNAME; its NTP
    // time follows from the capture stamp, 1/3 s after the video anchor.
    RTCPOnRtpSent(RTCP_STREAM_AUDIO, 77, 9000 + 30000, 371);
    got = Received(audio);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((std::vector<int>{200, 202}), got[0].types);
    EXPECT_EQ(77u, got[0].sr.rtp);
    EXPECT_EQ(1u, got[0].sr.packets);
    EXPECT_EQ(371u, got[0].sr.octets);
    EXPECT_NEAR(1.0 / 3, NtpSeconds(got[0].sr.ntp, NtpOfFakeWallClock()), 1e-9);
    std::string audio_cname = got[0].cname;

    // Past the longest interval: the next packet brings the next report,
    // with the counts of the whole run.
    AdvanceMs(5500);
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 15000, 15000, 10);
    got = Received(video);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(4u, got[0].sr.packets);
    EXPECT_EQ(1200u + 1400 + 300 + 10, got[0].sr.octets);
    EXPECT_EQ(15000u, got[0].sr.rtp);
    EXPECT_NEAR(6000.0 / 90000, NtpSeconds(got[0].sr.ntp, NtpOfFakeWallClock()), 1e-9);
    EXPECT_EQ(audio_cname, got[0].cname);
}

TEST_F(Rtcp, ReportsComeAtRandomisedIntervalsAroundFiveSeconds)
{
    OpenBoth();
    std::vector<int64_t> report_ms;
    uint32_t stamp = 0;
    for (int64_t ms = 0; ms < 2000 * 1000; ms += 10) {
        g_monotonic_ns = (1000 * 1000 + ms) * 1000000;
        if (ms % 30 == 0) {
            RTCPOnRtpSent(RTCP_STREAM_VIDEO, stamp, stamp, 100);
            stamp += 2700;
        }
        RTCPTick();
        if (!video.Drain(0).empty())
            report_ms.push_back(ms);
    }
    ASSERT_GT(report_ms.size(), 300u);
    int64_t shortest = INT64_MAX, longest = 0;
    for (size_t i = 1; i < report_ms.size(); ++i) {
        int64_t gap = report_ms[i] - report_ms[i - 1];
        shortest = std::min(shortest, gap);
        longest = std::max(longest, gap);
    }
    double mean = (double)(report_ms.back() - report_ms.front()) / (double)(report_ms.size() - 1);
    printf("%zu reports, gaps %lld..%lld ms, mean %.0f ms\n", report_ms.size(), (long long)shortest,
           (long long)longest, mean);
    EXPECT_GE(shortest, 2500);
    EXPECT_LE(longest, 7500 + 10);
    EXPECT_LT(shortest, 3000);  // spread over the whole range, not fixed
    EXPECT_GT(longest, 7000);
    EXPECT_NEAR(5000.0, mean, 250.0);
}

TEST_F(Rtcp, StalledStreamReportsOnTicksAndTurnsToReceiverReports)
{
    OpenBoth();
    RTCPOnRtpSent(RTCP_STREAM_AUDIO, 1024, 9000, 300);
    std::vector<Compound> reports = Received(audio);
    ASSERT_EQ(1u, reports.size());
    EXPECT_TRUE(reports[0].has_sr);
    // No more packets: the ticks alone bring the reports. The one after the
    // first still covers a packet sent since the report before the last one
    // (RFC 3550, 6.4); later ones are empty receiver reports.
    for (int s = 0; s < 20; ++s) {
        AdvanceMs(1000);
        RTCPTick();
        for (const Compound& c : Received(audio))
            reports.push_back(c);
    }
    ASSERT_GE(reports.size(), 3u);
    EXPECT_TRUE(reports[1].has_sr);
    EXPECT_EQ(1u, reports[1].sr.packets);
    for (size_t i = 2; i < reports.size(); ++i) {
        EXPECT_EQ((std::vector<int>{201, 202}), reports[i].types);
        EXPECT_EQ(10023u, reports[i].rr_ssrc);
    }
    EXPECT_TRUE(Received(video).empty());  // a stream that never sent stays silent
}

TEST_F(Rtcp, CloseSaysByeForEveryStreamThatSentAndThenNothingMore)
{
    OpenBoth();
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 9000, 9000, 1000);
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 9000, 9000, 500);
    Received(video);
    RTCPClose();

    std::vector<Compound> got = Received(video);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((std::vector<int>{200, 202, 203}), got[0].types);
    EXPECT_EQ(2u, got[0].sr.packets);
    EXPECT_EQ(1500u, got[0].sr.octets);
    EXPECT_EQ(std::vector<uint32_t>{10023u}, got[0].bye);
    EXPECT_TRUE(Received(audio).empty());  // never sent: no BYE (RFC 3550, 6.3.7)

    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 12000, 12000, 100);
    RTCPTick();
    RTCPClose();
    EXPECT_TRUE(Received(video).empty());
}

TEST_F(Rtcp, PacketsWithoutSampleAreCountedButTakeNoTimes)
{
    OpenBoth();
    // The PAT and PMT sent when the transport stream opens (RTP stamp 0).
    RTCPCountRtpSent(RTCP_STREAM_VIDEO, 188);
    RTCPCountRtpSent(RTCP_STREAM_VIDEO, 188);
    EXPECT_TRUE(Received(video).empty());
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 450000, 450000, 940);
    std::vector<Compound> got = Received(video);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(3u, got[0].sr.packets);
    EXPECT_EQ(188u + 188 + 940, got[0].sr.octets);
    EXPECT_EQ(NtpOfFakeWallClock(), got[0].sr.ntp);  // anchored at the sample, not at stamp 0
    EXPECT_EQ(450000u, got[0].sr.rtp);

    // A stream that only ever counted says BYE with a receiver report.
    RTCPCountRtpSent(RTCP_STREAM_AUDIO, 188);
    RTCPClose();
    got = Received(audio);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((std::vector<int>{201, 202, 203}), got[0].types);
}

// ---- the NTP/RTP mapping over a day ----------------------------------------------

// What a receiver knows of one stream: its latest SR.
struct Mapping {
    bool known = false;
    SenderReport sr = {};
    // NTP time of an RTP stamp of this stream, by the receiver's rule.
    double NtpOf(uint32_t rtp, double clock_hz, uint64_t ntp_origin) const
    {
        return NtpSeconds(sr.ntp, ntp_origin) + (double)(int32_t)(rtp - sr.rtp) / clock_hz;
    }
};

// 24 hours of content, 29.97 pictures and 46.875 AAC frames a second. The
// 32-bit capture stamp starts just below its wrap, so it wraps within the
// first second and again 13.3 hours later; the audio stamps lie off the
// video ones, so the AAC RTP stamps (derived from the capture stamp) are
// rounded. Every report must map its packet's capture stamp exactly onto the
// wall clock, and the audio and video mappings must agree on any capture
// instant to within 1 ms.
TEST_F(Rtcp, DayLongMappingKeepsAudioAndVideoTogether)
{
    OpenBoth();
    const uint32_t first_stamp = 0xFFFF0000u;
    const int64_t video_step = 3003, audio_step = 1920;  // ticks of 90 kHz
    const int64_t day = 24LL * 3600 * 90000;
    const size_t batch = 512;  // packets between two reads of the receivers
    int64_t video_next = 0, audio_next = 451;  // ticks after the first stamp
    const int64_t anchor = first_stamp;
    const uint64_t anchor_ntp = NtpOfFakeWallClock();
    // The latest packets of each stream: RTP stamp and unwrapped capture stamp.
    std::deque<std::pair<uint32_t, int64_t>> sent[2];
    Mapping maps[2];
    size_t reports[2] = {0, 0};
    double worst_exact = 0, worst_lip = 0;

    auto read_reports = [&](int stream, LoopbackReceiver& receiver) {
        for (const Datagram& d : receiver.Drain(0)) {
            Compound c = ParseCompound(d.data(), d.size());
            ASSERT_EQ("", c.error);
            ASSERT_TRUE(c.has_sr);
            auto packet = std::find_if(sent[stream].rbegin(), sent[stream].rend(),
                                       [&](const std::pair<uint32_t, int64_t>& p) { return p.first == c.sr.rtp; });
            ASSERT_NE(sent[stream].rend(), packet) << "SR with an RTP stamp not sent lately";
            int64_t unwrapped = packet->second;
            // Against the device's stamp: the report's NTP time is the
            // anchor plus the capture time since the first sample.
            double exact = (double)(unwrapped - anchor) / 90000;
            worst_exact = std::max(worst_exact, std::fabs(NtpSeconds(c.sr.ntp, anchor_ntp) - exact));
            maps[stream] = Mapping{true, c.sr};
            reports[stream]++;
            if (!maps[0].known || !maps[1].known)
                continue;
            // The receiver's rule: both mappings place this capture instant.
            double by_video = maps[RTCP_STREAM_VIDEO].NtpOf((uint32_t)unwrapped, 90000, anchor_ntp);
            double by_audio = maps[RTCP_STREAM_AUDIO].NtpOf((uint32_t)(unwrapped * 8 / 15), 48000, anchor_ntp);
            worst_lip = std::max(worst_lip, std::fabs(by_video - by_audio));
        }
    };

    for (size_t n = 1; video_next <= day || audio_next <= day; ++n) {
        int stream = video_next <= audio_next ? RTCP_STREAM_VIDEO : RTCP_STREAM_AUDIO;
        int64_t& next = stream == RTCP_STREAM_VIDEO ? video_next : audio_next;
        int64_t unwrapped = (int64_t)first_stamp + next;
        g_monotonic_ns = (1000 * 90000LL + next) * 1000000000LL / 90000;
        uint32_t rtp = stream == RTCP_STREAM_VIDEO ? (uint32_t)unwrapped : AacRtpTimestamp(unwrapped);
        RTCPOnRtpSent(stream, rtp, unwrapped, stream == RTCP_STREAM_VIDEO ? 1000 : 300);
        sent[stream].emplace_back(rtp, unwrapped);
        if (sent[stream].size() > 2 * batch)
            sent[stream].pop_front();
        next += stream == RTCP_STREAM_VIDEO ? video_step : audio_step;
        if (n % batch == 0 || (video_next > day && audio_next > day)) {
            read_reports(RTCP_STREAM_VIDEO, video);
            read_reports(RTCP_STREAM_AUDIO, audio);
        }
    }
    printf("%zu video and %zu audio reports; worst error against the stamps %.3g s, "
           "between the streams %.3g s\n",
           reports[0], reports[1], worst_exact, worst_lip);
    EXPECT_GT(reports[RTCP_STREAM_VIDEO], 24u * 3600 / 8);
    EXPECT_GT(reports[RTCP_STREAM_AUDIO], 24u * 3600 / 8);
    EXPECT_LT(worst_exact, 1e-6);
    EXPECT_LT(worst_lip, 1e-3);
}

// ---- ports, sockets and failures --------------------------------------------------

TEST(RtcpPorts, RtcpGoesToThePortAboveOddOrEvenButNotPastTheLast)
{
    EXPECT_EQ(8001, RtcpPortFor(8000));
    EXPECT_EQ(8003, RtcpPortFor(8002));
    EXPECT_EQ(8002, RtcpPortFor(8001));
    EXPECT_EQ(65535, RtcpPortFor(65534));
    EXPECT_EQ(-1, RtcpPortFor(65535));

    char ip[] = "127.0.0.1";
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, RTCPOpen(RTCP_STREAM_VIDEO, 65535, ip, 1, 10023));
    EXPECT_EQ("\nNo RTCP for RTP port 65535: there is no port above it.\n", testing::internal::GetCapturedStdout());
    RTCPClose();
}

// With -x 8000 -y 8001 the video's RTCP port is the audio's RTP port: the
// video goes without RTCP, whichever stream is opened first.
TEST_F(Rtcp, RtcpNeverLandsOnAnRtpPort)
{
    for (int audio_first = 0; audio_first <= 1; ++audio_first) {
        SCOPED_TRACE(audio_first);
        unsigned short audio_rtp = audio.Port();                 // audio RTP lands in `audio`
        unsigned short video_rtp = (unsigned short)(audio_rtp - 1);  // video RTCP would too
        testing::internal::CaptureStdout();
        int video_open, audio_open;
        if (audio_first) {
            audio_open = RTCPOpen(RTCP_STREAM_AUDIO, audio_rtp, ip, 1, 10023);
            video_open = RTCPOpen(RTCP_STREAM_VIDEO, video_rtp, ip, 1, 10023);
        } else {
            video_open = RTCPOpen(RTCP_STREAM_VIDEO, video_rtp, ip, 1, 10023);
            audio_open = RTCPOpen(RTCP_STREAM_AUDIO, audio_rtp, ip, 1, 10023);
        }
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(1, audio_open);
        EXPECT_EQ(audio_first ? -1 : 1, video_open);  // opened first, dropped later
        EXPECT_NE(std::string::npos, out.find("No RTCP for RTP port " + std::to_string(video_rtp) + ": its RTCP port " +
                                              std::to_string(audio_rtp) + " carries RTP.\n"));
        RTCPOnRtpSent(RTCP_STREAM_VIDEO, 9000, 9000, 100);
        RTCPClose();
        EXPECT_TRUE(audio.Drain(0).empty());
    }
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

long long FakeReportMs() { return g_monotonic_ns / 1000000; }

// The RTCP socket is replaced by a descriptor that is no socket, so every
// send fails: reported as the RTP sends are, at most once a second, and the
// run goes on.
TEST_F(Rtcp, SendFailuresAreReportedAtMostOnceASecond)
{
    int lowest_free = dup(0);
    close(lowest_free);
    ASSERT_EQ(1, RTCPOpen(RTCP_STREAM_VIDEO, (unsigned short)(video.Port() - 1), ip, 1, 10023));
    int not_a_socket = open("/dev/null", O_WRONLY);
    ASSERT_EQ(lowest_free, dup2(not_a_socket, lowest_free));
    close(not_a_socket);
    long long (*real_clock)() = pSendReportClock;
    pSendReportClock = FakeReportMs;

    testing::internal::CaptureStderr();
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 9000, 9000, 100);  // first report: fails, reported
    AdvanceMs(7600);
    RTCPOnRtpSent(RTCP_STREAM_VIDEO, 9000, 9000, 100);  // second: fails, reported
    AdvanceMs(400);
    RTCPClose();                                        // BYE, within the second: counted
    std::string err = testing::internal::GetCapturedStderr();
    pSendReportClock = real_clock;
    EXPECT_EQ(2u, Count(err, "UDP sendto"));
    EXPECT_EQ(2u, Count(err, strerror(ENOTSOCK)));
    EXPECT_EQ(-1, fcntl(lowest_free, F_GETFD));  // closed with the stream
}

}  // namespace
