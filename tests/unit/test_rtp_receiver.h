// Loopback UDP receiver for the streaming tests: a plain socket bound to an
// ephemeral port of 127.0.0.1 that collects whatever datagrams arrive.
#ifndef TEST_RTP_RECEIVER_H
#define TEST_RTP_RECEIVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Rtp.h"
#include "byteorder.h"

typedef std::vector<uint8_t> Datagram;

class LoopbackReceiver {
public:
    LoopbackReceiver()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        int rcvbuf = 4 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        bind(fd_, (sockaddr*)&addr, sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(fd_, (sockaddr*)&addr, &len);
        port_ = ntohs(addr.sin_port);
    }
    ~LoopbackReceiver() { close(fd_); }
    LoopbackReceiver(const LoopbackReceiver&) = delete;
    LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

    unsigned short Port() const { return port_; }

    // Every datagram that arrives until none has come for wait_ms.
    std::vector<Datagram> Drain(int wait_ms = 100)
    {
        std::vector<Datagram> got;
        pollfd pfd = {fd_, POLLIN, 0};
        static uint8_t buf[65536];
        while (poll(&pfd, 1, wait_ms) == 1) {
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n < 0)
                break;
            got.push_back(Datagram(buf, buf + n));
        }
        return got;
    }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// Fields of a received RTP fixed header.
inline int RtpVersion(const Datagram& d) { return d[0] >> 6; }
inline int RtpMarker(const Datagram& d) { return d[1] >> 7; }
inline int RtpPayloadType(const Datagram& d) { return d[1] & 0x7F; }
inline uint16_t RtpSeq(const Datagram& d) { return ReadBE16(&d[2]); }
inline uint32_t RtpTimestamp(const Datagram& d) { return ReadBE32(&d[4]); }
inline uint32_t RtpSsrc(const Datagram& d) { return ReadBE32(&d[8]); }

// The streamers' sockets opened towards two loopback receivers, one for each
// stream, and closed again after every test.
class RtpStreamsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CloseSockets();
        char ip[] = "127.0.0.1";
        ASSERT_EQ(1u, RTPOpen(audio.Port(), video.Port(), ip, 64));
    }
    void TearDown() override { CloseSockets(); }

    LoopbackReceiver audio;
    LoopbackReceiver video;
};

#endif
