// Send-only UDP sockets: multicast detection, socket tuning, datagram sends
// and error reports; opening and closing the two streaming sockets.
#include <gtest/gtest.h>

#include <algorithm>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "Rtp.h"
#include "sockets.h"
#include "test_rtp_receiver.h"

namespace {

int MulticastTtl(SOCKET s)
{
    int ttl = -1;
    socklen_t len = sizeof(ttl);
    EXPECT_EQ(0, getsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len));
    return ttl;
}

int SendBufferSize(SOCKET s)
{
    int size = -1;
    socklen_t len = sizeof(size);
    EXPECT_EQ(0, getsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, &len));
    return size;
}

TEST(Sockets, ClassDIsFirstOctet224To239)
{
    char a[] = "239.1.2.3", b[] = "224.0.0.1", c[] = "223.255.255.255", d[] = "240.0.0.1",
         e[] = "localhost", f[] = "", g[] = "127.0.0.1";
    EXPECT_EQ(1, IsClassD(a));
    EXPECT_EQ(1, IsClassD(b));
    EXPECT_EQ(0, IsClassD(c));
    EXPECT_EQ(0, IsClassD(d));
    EXPECT_EQ(0, IsClassD(e));
    EXPECT_EQ(0, IsClassD(f));
    EXPECT_EQ(0, IsClassD(g));
}

TEST(Sockets, AddressesAreInNetworkOrder)
{
    Sockaddr_in addr;
    memset(&addr, 0xAB, sizeof(addr));
    char ip[] = "10.1.2.3";
    SetRemoteAddress(&addr, 8002, ip);
    EXPECT_EQ(AF_INET, addr.sin_family);
    const uint8_t port[2] = {0x1F, 0x42};
    const uint8_t host[4] = {10, 1, 2, 3};
    EXPECT_EQ(0, memcmp(port, &addr.sin_port, 2));
    EXPECT_EQ(0, memcmp(host, &addr.sin_addr, 4));
    const uint8_t zero[8] = {};
    EXPECT_EQ(0, memcmp(zero, addr.sin_zero, 8));
    EXPECT_EQ(16, slen);
}

// Only the socket options are read back: nothing is sent to the group.
TEST(Sockets, MulticastDestinationGetsRequestedTtl)
{
    char group[] = "239.255.77.1", unicast[] = "127.0.0.1";
    SOCKET mc = CreateServerConnection(SOCK_DGRAM, 9000, group, 3);
    SOCKET uc = CreateServerConnection(SOCK_DGRAM, 9000, unicast, 3);
    ASSERT_GT(mc, 0);
    ASSERT_GT(uc, 0);
    EXPECT_EQ(3, MulticastTtl(mc));
    EXPECT_EQ(1, MulticastTtl(uc));  // the platform default
    EXPECT_GE(SendBufferSize(mc), MIN_SEND_BUFFER_SIZE);
    EXPECT_GE(SendBufferSize(uc), MIN_SEND_BUFFER_SIZE);
    close(mc);
    close(uc);
}

TEST(Sockets, DatagramArrivesWholeAndSendErrorIsReported)
{
    LoopbackReceiver receiver;
    char ip[] = "127.0.0.1";
    SOCKET s = CreateServerConnection(SOCK_DGRAM, receiver.Port(), ip, 64);
    ASSERT_GT(s, 0);
    Sockaddr_in to;
    SetRemoteAddress(&to, receiver.Port(), ip);
    char payload[1448];
    for (size_t i = 0; i < sizeof(payload); ++i)
        payload[i] = (char)(i * 5);
    EXPECT_EQ(1448, SendUDPPackageTo(s, payload, sizeof(payload), &to));
    std::vector<Datagram> got = receiver.Drain();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(Datagram(payload, payload + sizeof(payload)), got[0]);
    close(s);

    // The capture itself opens a file, which may take the closed descriptor's
    // number: send on a descriptor that can never be valid.
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, SendUDPPackageTo(INVALID_SOCKET, payload, sizeof(payload), &to));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("UDP sendto(): "));
    EXPECT_NE(std::string::npos, err.find(strerror(EBADF)));
    EXPECT_TRUE(receiver.Drain(0).empty());

    // Another descriptor that can never be valid: failures are reported per
    // socket, and -1 has just been reported.
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, SendTCPPackage(-2, payload, 10));
    EXPECT_EQ(0u, testing::internal::GetCapturedStderr().find("TCP send(): "));
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// A destination that refuses every datagram (here port 0, which the system
// refuses as invalid) is reported once, not once per datagram. The loop
// takes far less than a second; its time is measured all the same, so that
// a stalled machine cannot fail the test.
TEST(Sockets, ABurstOfFailingSendsIsReportedOnce)
{
    char ip[] = "127.0.0.1";
    SOCKET s = CreateServerConnection(SOCK_DGRAM, 0, ip, 64);
    ASSERT_GT(s, 0);
    Sockaddr_in to;
    SetRemoteAddress(&to, 0, ip);
    char payload[100] = {};
    testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(-1, SendUDPPackageTo(s, payload, sizeof(payload), &to));
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    std::string err = testing::internal::GetCapturedStderr();
    close(s);
    const std::string first = std::string("UDP sendto(): ") + strerror(EINVAL) + "\n";
    EXPECT_EQ(0u, err.find(first));
    EXPECT_LE(Count(err, "UDP sendto()"), 1u + (size_t)seconds.count()) << err.substr(0, 500);
}

long long fakeNowMs = 0;
long long FakeClock()
{
    return fakeNowMs;
}

// With the clock in the test's hands: a report at most once a second per
// socket, the first failure's text unchanged, the next one counting what
// went unreported.
TEST(Sockets, SendFailuresAreReportedAtMostOnceASecondPerSocket)
{
    char ip[] = "127.0.0.1";
    SOCKET video = CreateServerConnection(SOCK_DGRAM, 0, ip, 64);
    SOCKET audio = CreateServerConnection(SOCK_DGRAM, 0, ip, 64);
    ASSERT_GT(video, 0);
    ASSERT_GT(audio, 0);
    Sockaddr_in to;
    SetRemoteAddress(&to, 0, ip);
    char payload[100] = {};
    const std::string reason = std::string(": ") + strerror(EINVAL) + "\n";
    long long (*realClock)() = pSendReportClock;
    fakeNowMs = realClock() + 2 * SEND_REPORT_INTERVAL_MS;  // past any earlier report
    pSendReportClock = FakeClock;

    // Each call sends once at the given time and returns what it reported.
    auto send = [&](SOCKET s, long long afterMs) {
        fakeNowMs += afterMs;
        testing::internal::CaptureStderr();
        EXPECT_EQ(-1, SendUDPPackageTo(s, payload, sizeof(payload), &to));
        return testing::internal::GetCapturedStderr();
    };
    // Earlier tests of this process may have left failures of these
    // descriptor numbers unreported: one report each settles them.
    send(video, 0);
    send(audio, 0);
    EXPECT_EQ("UDP sendto()" + reason, send(video, 1000));
    EXPECT_EQ("", send(video, 1));
    EXPECT_EQ("", send(video, 998));
    EXPECT_EQ("UDP sendto()" + reason, send(audio, 0));  // a socket of its own
    EXPECT_EQ("UDP sendto() (2 earlier failures not shown)" + reason, send(video, 1));
    EXPECT_EQ("", send(audio, 998));
    EXPECT_EQ("UDP sendto() (1 earlier failures not shown)" + reason, send(audio, 1));
    EXPECT_EQ("UDP sendto()" + reason, send(video, 5000));

    pSendReportClock = realClock;
    close(video);
    close(audio);
}

int OpenDescriptors();

// The pair's two sockets are the only descriptors RTPOpen opens; both carry
// the TTL, never block, and go again with CloseSockets.
TEST(RtpOpen, OpensBothSocketsAndCloseReleasesThem)
{
    std::vector<int> before;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            before.push_back(fd);
    char group[] = "239.255.77.2";
    ASSERT_EQ(1u, RTPOpen(8002, 8000, group, 7));
    std::vector<int> opened;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1 && std::find(before.begin(), before.end(), fd) == before.end())
            opened.push_back(fd);
    ASSERT_EQ(2u, opened.size());
    for (int fd : opened) {
        EXPECT_EQ(7, MulticastTtl(fd));
        EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    }
    CloseSockets();
    for (int fd : opened)
        EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}

int OpenDescriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += fcntl(fd, F_GETFD) != -1;
    return count;
}

// Lowers the descriptor limit so that only `spare` more descriptors can be
// opened, and restores it on destruction.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int spare)
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        int lowest_free = dup(0);
        close(lowest_free);
        rlimit low = saved_;
        low.rlim_cur = (rlim_t)(lowest_free + spare);
        setrlimit(RLIMIT_NOFILE, &low);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_;
};

TEST(RtpOpen, GivesUpWhenNoSocketCanBeCreated)
{
    CloseSockets();
    char ip[] = "127.0.0.1";
    for (int spare = 0; spare <= 1; ++spare) {
        SCOPED_TRACE(spare);
        unsigned result;
        std::string err;
        int open_before = OpenDescriptors();
        testing::internal::CaptureStderr();  // needs a descriptor of its own
        {
            DescriptorLimit limit(spare);
            result = RTPOpen(8002, 8000, ip, 64);
        }
        err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(0u, result);
        // One attempt and five retries of the socket that cannot be created.
        size_t reports = 0;
        for (size_t at = err.find("socket() return error"); at != std::string::npos;
             at = err.find("socket() return error", at + 1))
            ++reports;
        EXPECT_EQ(6u, reports);
        // With one descriptor to spare the audio socket did open: it is
        // released again.
        EXPECT_EQ(open_before, OpenDescriptors());
    }
    ASSERT_EQ(1u, RTPOpen(8002, 8000, ip, 64));
    CloseSockets();
}

}  // namespace
