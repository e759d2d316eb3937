// rtp_tee: hands every datagram of a stream to more than one receiver and
// keeps a copy, so that ffmpeg, GStreamer and stream_check all see the one
// stream the capture program sent.
//
//   rtp_tee CAPTURE_PREFIX LISTEN_PORT:FORWARD_PORT[,FORWARD_PORT...] ...
//
// Listens on 127.0.0.1 at each LISTEN_PORT and sends every datagram, as it
// comes, to 127.0.0.1 at each of its FORWARD_PORTs, and appends it to the
// file CAPTURE_PREFIX.LISTEN_PORT (records of a 4-byte big-endian length
// and the datagram). Prints "ready" once it listens; ends on SIGINT or
// SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byteorder.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void Stop(int)
{
    g_stop = 1;
}

struct Leg {
    int fd = -1;
    FILE* capture = nullptr;
    std::vector<sockaddr_in> forward;
};

sockaddr_in Loopback(unsigned port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// ports: "LISTEN:FORWARD[,FORWARD...]", all on the loopback.
bool OpenLeg(const std::string& prefix, const char* ports, Leg* leg)
{
    char* end = nullptr;
    unsigned listen = (unsigned)strtoul(ports, &end, 10);
    if (*end != ':')
        return false;
    for (char* p = end + 1; *p;) {
        leg->forward.push_back(Loopback((unsigned)strtoul(p, &end, 10)));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p)
            return false;
    }
    leg->fd = socket(AF_INET, SOCK_DGRAM, 0);
    int buffer = 4 << 20;
    setsockopt(leg->fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in a = Loopback(listen);
    if (leg->fd < 0 || bind(leg->fd, (sockaddr*)&a, sizeof a) != 0) {
        perror("rtp_tee: bind");
        return false;
    }
    leg->capture = fopen((prefix + "." + std::to_string(listen)).c_str(), "wb");
    return leg->capture != nullptr;
}

void Pass(Leg* leg)
{
    unsigned char datagram[65536];
    ssize_t n = recv(leg->fd, datagram, sizeof datagram, 0);
    if (n <= 0)
        return;
    for (const sockaddr_in& to : leg->forward)
        sendto(leg->fd, datagram, (size_t)n, 0, (const sockaddr*)&to, sizeof to);
    unsigned char length[4];
    WriteBE32(length, (uint32_t)n);
    fwrite(length, 1, sizeof length, leg->capture);
    fwrite(datagram, 1, (size_t)n, leg->capture);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: rtp_tee CAPTURE_PREFIX LISTEN_PORT:FORWARD_PORT[,FORWARD_PORT...] ...\n");
        return 2;
    }
    std::vector<Leg> legs(argc - 2);
    for (int i = 2; i < argc; i++)
        if (!OpenLeg(argv[1], argv[i], &legs[i - 2]))
            return 1;
    signal(SIGINT, Stop);
    signal(SIGTERM, Stop);
    puts("ready");
    fflush(stdout);
    std::vector<pollfd> fds;
    for (const Leg& leg : legs)
        fds.push_back({leg.fd, POLLIN, 0});
    while (!g_stop) {
        if (poll(fds.data(), fds.size(), 100) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++)
            if (fds[i].revents & POLLIN)
                Pass(&legs[i]);
    }
    for (Leg& leg : legs) {
        fclose(leg.capture);
        close(leg.fd);
    }
    return 0;
}
