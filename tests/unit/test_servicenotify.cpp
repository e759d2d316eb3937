// Service manager notifications: each test owns a notification socket, as
// the service manager does, drives the module with a simulated capture loop
// on a clock of its own and reads back the datagrams the module sent.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QBox.h"
#include "servicenotify.h"

namespace {

const unsigned long long SECOND_US = 1000000;
const unsigned long long SILENCE_TICK_US = 100000;
const unsigned int VIDEO_SAMPLE_BYTES = 2500;
const unsigned int AUDIO_SAMPLE_BYTES = 180;

unsigned long long ullFakeNowUs = 0;
unsigned int ulClockReads = 0;

unsigned long long FakeClock()
{
    ulClockReads++;
    return ullFakeNowUs;
}

struct Datagram {
    unsigned long long ullAtUs;  // fake time of the tick that sent it
    std::string sText;
};

struct Sample {
    unsigned long long ullAtUs;
    unsigned int usType;
    unsigned int ulSize;
};

class ServiceNotify : public ::testing::Test {
protected:
    void SetUp() override
    {
        char sTemplate[] = "/tmp/servicenotify-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(sTemplate));
        m_sDir = sTemplate;
        m_sSocketPath = m_sDir + "/notify";
        m_iSocket = BindSocket(m_sSocketPath, false);
        ASSERT_GE(m_iSocket, 0);
        setenv("NOTIFY_SOCKET", m_sSocketPath.c_str(), 1);
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        ullFakeNowUs = 1000 * SECOND_US;
        ulClockReads = 0;
        pServiceNotifyClock = FakeClock;
    }

    void TearDown() override
    {
        ServiceNotifyClose();
        pServiceNotifyClock = ServiceNotifyMonotonicUs;
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        if (m_iSocket >= 0)
            close(m_iSocket);
        unlink(m_sSocketPath.c_str());
        unlink((m_sDir + "/rec.mp4").c_str());
        rmdir(m_sDir.c_str());
    }

    // A datagram socket bound to a path, or to an abstract name (leading NUL).
    static int BindSocket(const std::string& sName, bool bAbstract)
    {
        int iSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un stAddress;
        memset(&stAddress, 0, sizeof(stAddress));
        stAddress.sun_family = AF_UNIX;
        size_t szOffset = bAbstract ? 1 : 0;
        memcpy(stAddress.sun_path + szOffset, sName.c_str(), sName.size());
        socklen_t szAddress = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + szOffset + sName.size());
        if (iSocket < 0 || bind(iSocket, (struct sockaddr*)&stAddress, szAddress) != 0)
            return -1;
        return iSocket;
    }

    // Everything queued on the socket, stamped with the current fake time.
    void Collect(int iSocket)
    {
        char sBuffer[1024];
        for (;;) {
            ssize_t iLength = recv(iSocket, sBuffer, sizeof(sBuffer), MSG_DONTWAIT);
            if (iLength < 0)
                return;
            m_vReceived.push_back({ullFakeNowUs, std::string(sBuffer, (size_t)iLength)});
        }
    }
    void Collect() { Collect(m_iSocket); }

    // One capture loop turn: the sample is counted, then the tick.
    void Turn(const Sample& stSample, bool bWriteOk)
    {
        ullFakeNowUs = stSample.ullAtUs;
        ServiceNotifySample(stSample.usType, stSample.ulSize, bWriteOk);
        m_vDelivered.push_back(stSample);
        ServiceNotifyTick();
        Collect();
    }

    // The encoder's output for ullForUs from now: H.264 at 30 frames/s and
    // AAC at 48 kHz (1024 samples a frame, 46.875 frames/s), interleaved in
    // time order as the device delivers them.
    void Flow(unsigned long long ullForUs, bool bWriteOk = true)
    {
        unsigned long long ullStartUs = ullFakeNowUs, ulVideo = 1, ulAudio = 1;
        for (;;) {
            unsigned long long ullVideoAt = ullStartUs + ulVideo * SECOND_US / 30;
            unsigned long long ullAudioAt = ullStartUs + ulAudio * 1024 * SECOND_US / 48000;
            bool bVideo = ullVideoAt <= ullAudioAt;
            unsigned long long ullAt = bVideo ? ullVideoAt : ullAudioAt;
            if (ullAt > ullStartUs + ullForUs)
                break;
            if (bVideo) {
                Turn({ullAt, QBOX_STREAM_VIDEO, VIDEO_SAMPLE_BYTES}, bWriteOk);
                ulVideo++;
            } else {
                Turn({ullAt, QBOX_STREAM_AUDIO, AUDIO_SAMPLE_BYTES}, bWriteOk);
                ulAudio++;
            }
        }
        ullFakeNowUs = ullStartUs + ullForUs;
    }

    // A device that delivers nothing, while the loop keeps ticking.
    void Silence(unsigned long long ullForUs)
    {
        unsigned long long ullEndUs = ullFakeNowUs + ullForUs;
        while (ullFakeNowUs < ullEndUs) {
            ullFakeNowUs += SILENCE_TICK_US;
            ServiceNotifyTick();
            Collect();
        }
    }

    std::vector<Datagram> WithPrefix(const char* sPrefix, unsigned long long ullFromUs = 0) const
    {
        std::vector<Datagram> vFound;
        for (const Datagram& d : m_vReceived)
            if (d.ullAtUs >= ullFromUs && d.sText.compare(0, strlen(sPrefix), sPrefix) == 0)
                vFound.push_back(d);
        return vFound;
    }

    // Every ping was due: half the interval or more after the one before,
    // and no later than one loop turn after that.
    static void ExpectEvenPings(const std::vector<Datagram>& vPings, unsigned long long ullHalfUs)
    {
        for (size_t i = 1; i < vPings.size(); i++) {
            unsigned long long ullGapUs = vPings[i].ullAtUs - vPings[i - 1].ullAtUs;
            EXPECT_GE(ullGapUs, ullHalfUs) << "ping " << i;
            EXPECT_LE(ullGapUs, ullHalfUs + SECOND_US / 30) << "ping " << i;
        }
    }

    std::string m_sDir;
    std::string m_sSocketPath;
    int m_iSocket = -1;
    std::vector<Datagram> m_vReceived;
    std::vector<Sample> m_vDelivered;
};

// Samples of ullForUs of Flow: 30 video and 46.875 audio frames a second.
size_t FlowSamples(unsigned long long ullForUs)
{
    return (size_t)(ullForUs * 30 / SECOND_US + ullForUs * 48000 / 1024 / SECOND_US);
}

struct StatusLine {
    double dVideoFps = -1, dAudioFps = -1;
    unsigned long long ullKbps = 0;
    long long llFreeMiB = -1;
    char sTail[300] = "";
};

bool ParseStatus(const std::string& sText, StatusLine* pLine)
{
    int iFields = sscanf(sText.c_str(),
                         "STATUS=video %lf fps, audio %lf fps, %llu kbit/s, %lld MiB free, %299[^\n]",
                         &pLine->dVideoFps, &pLine->dAudioFps, &pLine->ullKbps, &pLine->llFreeMiB,
                         pLine->sTail);
    return iFields == 5;
}

long long FreeMiBOf(const std::string& sPath)
{
    struct statvfs stFs;
    if (statvfs(sPath.c_str(), &stFs) != 0)
        return -1;
    return (long long)(((unsigned long long)stFs.f_bavail * stFs.f_frsize) >> 20);
}

TEST_F(ServiceNotify, WithoutNotifySocketNothingAtAllHappens)
{
    unsetenv("NOTIFY_SOCKET");
    setenv("WATCHDOG_USEC", "2000000", 1);
    int iNextFd = open("/dev/null", O_RDONLY);
    close(iNextFd);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, ServiceNotifyInit());
    ServiceNotifyRecording("./x.mp4");
    EXPECT_EQ(0, ServiceNotifyReady());
    Flow(10 * SECOND_US);
    EXPECT_EQ(0, ServiceNotifyStopping());
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0u, ulClockReads);
    EXPECT_TRUE(m_vReceived.empty());
    int iFd = open("/dev/null", O_RDONLY);
    EXPECT_EQ(iNextFd, iFd) << "a descriptor was left open";
    close(iFd);
}

TEST_F(ServiceNotify, ReadyOnlyOnceTheEncoderHasStartedThenStoppingOnStop)
{
    setenv("WATCHDOG_USEC", "2000000", 1);
    ASSERT_EQ(1, ServiceNotifyInit());
    ServiceNotifyRecording("./field1.mp4");
    // Samples and ticks before readiness (never so in the capture run) send
    // nothing, neither STATUS nor a ping.
    Flow(6 * SECOND_US);
    EXPECT_TRUE(m_vReceived.empty());

    EXPECT_EQ(1, ServiceNotifyReady());
    Collect();
    ASSERT_EQ(1u, m_vReceived.size());
    EXPECT_EQ("READY=1\nSTATUS=Started encoding, recording ./field1.mp4", m_vReceived[0].sText);

    Flow(SECOND_US);
    EXPECT_EQ(1, ServiceNotifyStopping());
    Collect();
    EXPECT_EQ("STOPPING=1\nSTATUS=Stopping", m_vReceived.back().sText);
    size_t szBefore = m_vReceived.size();
    Flow(10 * SECOND_US);
    EXPECT_EQ(szBefore, m_vReceived.size()) << "sent after STOPPING: " << m_vReceived.back().sText;
}

TEST_F(ServiceNotify, RecordingNameCannotAddAssignmentsToANotification)
{
    ASSERT_EQ(1, ServiceNotifyInit());
    ServiceNotifyRecording("./x\nWATCHDOG=1\nREADY=1.mp4");
    ServiceNotifyReady();
    Collect();
    ASSERT_EQ(1u, m_vReceived.size());
    EXPECT_EQ("READY=1\nSTATUS=Started encoding, recording ./x?WATCHDOG=1?READY=1.mp4", m_vReceived[0].sText);
}

TEST_F(ServiceNotify, StatusLinesReportWhatTheDeviceDelivered)
{
    std::string sRecording = m_sDir + "/rec.mp4";
    FILE* pFile = fopen(sRecording.c_str(), "wb");
    ASSERT_NE(nullptr, pFile);
    fclose(pFile);
    ASSERT_EQ(1, ServiceNotifyInit());
    ServiceNotifyRecording(sRecording.c_str());
    unsigned long long ullReadyUs = ullFakeNowUs;
    ServiceNotifyReady();
    Flow(16 * SECOND_US);
    // The disk filled: recording stopped, streaming goes on.
    ServiceNotifyRecording(nullptr);
    Flow(6 * SECOND_US);

    std::vector<Datagram> vStatus = WithPrefix("STATUS=", ullReadyUs + 1);
    ASSERT_EQ(4u, vStatus.size());
    unsigned long long ullWindowStartUs = ullReadyUs;
    for (size_t i = 0; i < vStatus.size(); i++) {
        SCOPED_TRACE(vStatus[i].sText);
        StatusLine stLine;
        ASSERT_TRUE(ParseStatus(vStatus[i].sText, &stLine));
        unsigned long long ullEndUs = vStatus[i].ullAtUs, ullVideo = 0, ullAudio = 0, ullBytes = 0;
        EXPECT_GE(ullEndUs - ullWindowStartUs, NOTIFY_STATUS_INTERVAL_US);
        EXPECT_LT(ullEndUs - ullWindowStartUs, NOTIFY_STATUS_INTERVAL_US + SECOND_US / 30);
        for (const Sample& s : m_vDelivered) {
            if (s.ullAtUs <= ullWindowStartUs || s.ullAtUs > ullEndUs)
                continue;
            ullVideo += s.usType == QBOX_STREAM_VIDEO;
            ullAudio += s.usType == QBOX_STREAM_AUDIO;
            ullBytes += s.ulSize;
        }
        double dSeconds = (double)(ullEndUs - ullWindowStartUs) / SECOND_US;
        EXPECT_NEAR(ullVideo / dSeconds, stLine.dVideoFps, 0.051);
        EXPECT_NEAR(ullAudio / dSeconds, stLine.dAudioFps, 0.051);
        EXPECT_NEAR(ullBytes * 8 / dSeconds / 1000, (double)stLine.ullKbps, 0.51);
        // What the encoder makes: 30 frames/s and 46.875 AAC frames/s.
        // A five-second window holds 234 or 235 audio frames.
        EXPECT_NEAR(30.0, stLine.dVideoFps, 0.1);
        EXPECT_NEAR(46.9, stLine.dAudioFps, 0.2);
        // The free space of the recording's file system, then of the current
        // directory (other work may write meanwhile).
        bool bRecording = i < 3;
        long long llExpectedMiB = FreeMiBOf(bRecording ? m_sDir : ".");
        EXPECT_NEAR((double)llExpectedMiB, (double)stLine.llFreeMiB, 64.0 + llExpectedMiB / 100.0);
        EXPECT_EQ(bRecording ? "recording " + sRecording : std::string("not recording"), stLine.sTail);
        ullWindowStartUs = ullEndUs;
    }
}

TEST_F(ServiceNotify, WatchdogPingsWhileSamplesFlowAndWritesSucceedOnly)
{
    const unsigned long long ullHalfUs = SECOND_US;
    setenv("WATCHDOG_USEC", "2000000", 1);
    ASSERT_EQ(1, ServiceNotifyInit());
    ServiceNotifyReady();
    unsigned long long ullFlowUs = ullFakeNowUs;
    Flow(10 * SECOND_US);
    std::vector<Datagram> vPings = WithPrefix("WATCHDOG=1", ullFlowUs);
    // Each window ends at the first sample past its second, a few ms late.
    EXPECT_GE(vPings.size(), 9u);
    EXPECT_LE(vPings.size(), 10u);
    ExpectEvenPings(vPings, ullHalfUs);
    for (const Datagram& d : vPings)
        EXPECT_EQ("WATCHDOG=1", d.sText);

    // The device goes silent: not one ping, whatever the loop does. (The
    // flow's last sample came at its very end, with the last ping.)
    unsigned long long ullSilentUs = ullFakeNowUs + 1;
    Silence(10 * SECOND_US);
    EXPECT_TRUE(WithPrefix("WATCHDOG=1", ullSilentUs).empty());

    // Samples again: the first one is pinged for at once, the rest as before.
    unsigned long long ullResumedUs = ullFakeNowUs;
    Flow(5 * SECOND_US);
    vPings = WithPrefix("WATCHDOG=1", ullResumedUs);
    EXPECT_GE(vPings.size(), 5u);
    EXPECT_EQ(m_vDelivered[m_vDelivered.size() - FlowSamples(5 * SECOND_US)].ullAtUs, vPings.front().ullAtUs);
    ExpectEvenPings(vPings, ullHalfUs);

    // The disk stops accepting writes: samples still arrive, no ping.
    unsigned long long ullRefusedUs = ullFakeNowUs + 1;
    Flow(10 * SECOND_US, false);
    EXPECT_TRUE(WithPrefix("WATCHDOG=1", ullRefusedUs).empty());

    // One refused write costs the ping of its window and no more.
    unsigned long long ullMixedUs = ullFakeNowUs;
    Turn({ullFakeNowUs + 1000, QBOX_STREAM_VIDEO, VIDEO_SAMPLE_BYTES}, false);
    Flow(5 * SECOND_US);
    vPings = WithPrefix("WATCHDOG=1", ullMixedUs);
    EXPECT_GE(vPings.size(), 3u);
    EXPECT_GE(vPings.front().ullAtUs - ullMixedUs, ullHalfUs);
    ExpectEvenPings(vPings, ullHalfUs);
}

TEST_F(ServiceNotify, WatchdogBelongsToTheProcessWatchdogPidNames)
{
    char sPid[32];
    setenv("WATCHDOG_USEC", "3000000", 1);
    snprintf(sPid, sizeof(sPid), "%d", (int)getpid());
    setenv("WATCHDOG_PID", sPid, 1);
    ASSERT_EQ(1, ServiceNotifyInit());
    ServiceNotifyReady();
    Flow(6 * SECOND_US);
    std::vector<Datagram> vPings = WithPrefix("WATCHDOG=1");
    EXPECT_GE(vPings.size(), 3u);
    ExpectEvenPings(vPings, 3 * SECOND_US / 2);

    // The interval is meant for another process (a parent that exec'd us
    // with its own environment): no pings, but status as usual.
    m_vReceived.clear();
    snprintf(sPid, sizeof(sPid), "%d", (int)getpid() + 1);
    setenv("WATCHDOG_PID", sPid, 1);
    ASSERT_EQ(1, ServiceNotifyInit());
    ServiceNotifyReady();
    Flow(6 * SECOND_US);
    EXPECT_TRUE(WithPrefix("WATCHDOG=1").empty());
    EXPECT_EQ(1u, WithPrefix("STATUS=video").size());
}

TEST_F(ServiceNotify, AbstractSocketNameIsReached)
{
    std::string sName = "vozirev-servicenotify-" + std::to_string(getpid());
    int iAbstract = BindSocket(sName, true);
    ASSERT_GE(iAbstract, 0);
    setenv("NOTIFY_SOCKET", ("@" + sName).c_str(), 1);
    ASSERT_EQ(1, ServiceNotifyInit());
    EXPECT_EQ(1, ServiceNotifyReady());
    Collect(iAbstract);
    close(iAbstract);
    ASSERT_EQ(1u, m_vReceived.size());
    EXPECT_EQ("READY=1\nSTATUS=Started encoding, not recording", m_vReceived[0].sText);
}

TEST_F(ServiceNotify, UnusableEnvironmentIsNamedAndTurnsOffOnlyWhatItConcerns)
{
    struct Case {
        const char* sVariable;
        std::string sValue;
        int iInit;
        const char* sMessage;
    } aCases[] = {
        {"NOTIFY_SOCKET", "run/notify", 0,
         "\nNOTIFY_SOCKET=run/notify is neither a socket path nor an abstract socket name: "
         "no service notifications.\n"},
        {"NOTIFY_SOCKET", "/" + std::string(120, 'x'), 0, nullptr},
        {"NOTIFY_SOCKET", "@", 0, nullptr},
        {"WATCHDOG_USEC", "2s", 1,
         "\nWATCHDOG_USEC=2s is not a number of microseconds: no watchdog pings.\n"},
        {"WATCHDOG_USEC", "0", 1,
         "\nWATCHDOG_USEC=0 is not a number of microseconds: no watchdog pings.\n"},
        {"WATCHDOG_USEC", "-2000000", 1, nullptr},
        {"WATCHDOG_PID", "self", 1, "\nWATCHDOG_PID=self is not a process id: no watchdog pings.\n"},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(std::string(c.sVariable) + "=" + c.sValue);
        setenv("NOTIFY_SOCKET", m_sSocketPath.c_str(), 1);
        setenv("WATCHDOG_USEC", "2000000", 1);
        unsetenv("WATCHDOG_PID");
        setenv(c.sVariable, c.sValue.c_str(), 1);
        m_vReceived.clear();
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.iInit, ServiceNotifyInit());
        std::string sOutput = testing::internal::GetCapturedStdout();
        if (c.sMessage != nullptr)
            EXPECT_EQ(c.sMessage, sOutput);
        else
            EXPECT_NE(std::string::npos, sOutput.find(c.sVariable)) << sOutput;
        ServiceNotifyReady();
        Flow(6 * SECOND_US);
        EXPECT_TRUE(WithPrefix("WATCHDOG=1").empty());
        EXPECT_EQ(c.iInit == 1 ? 1u : 0u, WithPrefix("STATUS=video").size());
    }
}

TEST_F(ServiceNotify, LostServiceManagerIsReportedOnceAndTheRunGoesOn)
{
    setenv("WATCHDOG_USEC", "2000000", 1);
    ASSERT_EQ(1, ServiceNotifyInit());
    close(m_iSocket);
    m_iSocket = -1;
    unlink(m_sSocketPath.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, ServiceNotifyReady());
    Flow(6 * SECOND_US);
    EXPECT_EQ(-1, ServiceNotifyStopping());
    std::string sOutput = testing::internal::GetCapturedStdout();
    EXPECT_EQ("\nService notification could not be sent: No such file or directory\n", sOutput);
}

}  // namespace
