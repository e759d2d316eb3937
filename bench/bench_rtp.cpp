// RTP streaming cost for a 4000 kbit/s H.264 stream (30 fps, GOP 30) with
// 128 kbit/s AAC: packets per second, CPU time per hour of content, and the
// cost per packet of QBox2Streaming next to a plain sendto loop that sends
// datagrams of the same sizes to the same loopback destination.
//
//   bench_rtp [seconds_of_content] [rounds]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "QBox.h"
#include "Rtp.h"

namespace {

const unsigned int VIDEO_KBPS = 4000;
const unsigned int AUDIO_KBPS = 128;
const unsigned int FRAME_RATE = 30;
const unsigned int GOP = 30;
const unsigned int IDR_SHARE = 4;  // an IDR picture is this many times a P picture
const unsigned int AAC_RATE = 48000;
const unsigned int AAC_FRAME_SAMPLES = 1024;
const unsigned int SPS_SIZE = 12;
const unsigned int PPS_SIZE = 4;

typedef std::vector<UINT8> Bytes;

void AppendNalu(Bytes* box, unsigned int size, UINT8 header, unsigned int* seed)
{
    UINT8 prefix[4];
    WriteBE32(prefix, size);
    box->insert(box->end(), prefix, prefix + 4);
    box->push_back(header);
    for (unsigned int i = 1; i < size; ++i) {
        *seed = *seed * 1103515245u + 12345u;
        box->push_back((UINT8)(*seed >> 16));
    }
}

Bytes MakeBox(UINT16 stream_type, UINT32 cts, const Bytes& payload)
{
    Bytes box(QBOX_HEADER_SIZE + payload.size());
    std::copy(payload.begin(), payload.end(), box.begin() + QBOX_HEADER_SIZE);
    QBox h = {(UINT32)box.size(), QBOX_TYPE, 0, stream_type, 0, 0, cts};
    EncodeQBoxHeader(&h, box.data());
    return box;
}

// Samples of `seconds` of content, interleaved in time-stamp order.
std::vector<Bytes> MakeContent(unsigned int seconds)
{
    const unsigned int bytes_per_gop = VIDEO_KBPS * 1000 / 8 * GOP / FRAME_RATE;
    const unsigned int p_size = bytes_per_gop / (GOP - 1 + IDR_SHARE);
    const unsigned int idr_size = p_size * IDR_SHARE;
    const unsigned int aac_size = AUDIO_KBPS * 1000 / 8 * AAC_FRAME_SAMPLES / AAC_RATE;
    unsigned int seed = 1;
    std::vector<Bytes> samples;
    unsigned int frames = seconds * FRAME_RATE;
    UINT64 audio_ticks = 0;  // 90 kHz
    for (unsigned int f = 0; f < frames; ++f) {
        UINT32 cts = (UINT32)((UINT64)f * QBOX_CLOCK_HZ / FRAME_RATE);
        while (audio_ticks <= cts) {
            Bytes frame;
            for (unsigned int i = 0; i < aac_size; ++i)
                frame.push_back((UINT8)(i * 7 + 1));
            samples.push_back(MakeBox(QBOX_STREAM_AUDIO, (UINT32)audio_ticks, frame));
            audio_ticks += (UINT64)AAC_FRAME_SAMPLES * QBOX_CLOCK_HZ / AAC_RATE;
        }
        Bytes payload;
        if (f % GOP == 0) {
            AppendNalu(&payload, SPS_SIZE, 0x67, &seed);
            AppendNalu(&payload, PPS_SIZE, 0x68, &seed);
            AppendNalu(&payload, idr_size, 0x65, &seed);
        } else {
            AppendNalu(&payload, p_size, 0x41, &seed);
        }
        samples.push_back(MakeBox(QBOX_STREAM_VIDEO, cts, payload));
    }
    return samples;
}

int BoundReceiver(unsigned short* port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr*)&addr, sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, (sockaddr*)&addr, &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

void DrainSizes(int fd, std::vector<int>* sizes)
{
    static UINT8 buf[65536];
    pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, 0) == 1) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0)
            break;
        sizes->push_back((int)n);
    }
}

double Now(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Timing {
    double wall;
    double cpu;
};

template <typename F>
Timing Measure(F run)
{
    double wall0 = Now(CLOCK_MONOTONIC), cpu0 = Now(CLOCK_PROCESS_CPUTIME_ID);
    run();
    return {Now(CLOCK_MONOTONIC) - wall0, Now(CLOCK_PROCESS_CPUTIME_ID) - cpu0};
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned int seconds = argc > 1 ? (unsigned int)atoi(argv[1]) : 60;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (seconds == 0 || rounds <= 0) {
        fprintf(stderr, "usage: %s [seconds_of_content] [rounds]\n", argv[0]);
        return 2;
    }
    std::vector<Bytes> content = MakeContent(seconds);
    size_t content_bytes = 0;
    for (const Bytes& s : content)
        content_bytes += s.size();

    unsigned short video_port, audio_port;
    int video_rx = BoundReceiver(&video_port);
    int audio_rx = BoundReceiver(&audio_port);
    char ip[] = "127.0.0.1";
    if (RTPOpen(audio_port, video_port, ip, 1) != 1)
        return 1;

    // One pass, read back sample by sample, gives the datagram sizes.
    std::vector<int> sizes;
    for (Bytes& s : content) {
        QBox2Streaming(s.data(), (int)s.size());
        DrainSizes(video_rx, &sizes);
        DrainSizes(audio_rx, &sizes);
    }
    size_t packets = sizes.size();
    int max_size = *std::max_element(sizes.begin(), sizes.end());
    std::vector<char> datagram(max_size, 0x5A);
    sockaddr_in to;
    SetRemoteAddress(&to, video_port, ip);
    int plain = socket(AF_INET, SOCK_DGRAM, 0);

    // The receivers are no longer read: both loops meet the same full queue.
    double best_rtp = 1e9, best_rtp_cpu = 1e9, best_plain = 1e9, best_plain_cpu = 1e9;
    for (int r = 0; r < rounds; ++r) {
        Timing rtp_time = Measure([&] {
            for (Bytes& s : content)
                QBox2Streaming(s.data(), (int)s.size());
        });
        Timing plain_time = Measure([&] {
            for (int size : sizes)
                sendto(plain, datagram.data(), size, 0, (sockaddr*)&to, sizeof(to));
        });
        best_rtp = std::min(best_rtp, rtp_time.wall);
        best_rtp_cpu = std::min(best_rtp_cpu, rtp_time.cpu);
        best_plain = std::min(best_plain, plain_time.wall);
        best_plain_cpu = std::min(best_plain_cpu, plain_time.cpu);
    }
    CloseSockets();
    close(plain);
    close(video_rx);
    close(audio_rx);

    printf("content: %u s of %u kbit/s H.264 at %u fps (GOP %u) + %u kbit/s AAC: %zu samples, %zu bytes\n",
           seconds, VIDEO_KBPS, FRAME_RATE, GOP, AUDIO_KBPS, content.size(), content_bytes);
    printf("RTP packets: %zu (%.0f per second of content)\n", packets, packets / (double)seconds);
    printf("best of %d rounds:\n", rounds);
    printf("  QBox2Streaming  %8.3f s wall %8.3f s CPU  %9.0f packets/s  %6.0f ns/packet  CPU %.1f s per hour of content\n",
           best_rtp, best_rtp_cpu, packets / best_rtp, best_rtp_cpu / packets * 1e9,
           best_rtp_cpu / seconds * 3600);
    printf("  plain sendto    %8.3f s wall %8.3f s CPU  %9.0f packets/s  %6.0f ns/packet  CPU %.1f s per hour of content\n",
           best_plain, best_plain_cpu, packets / best_plain, best_plain_cpu / packets * 1e9,
           best_plain_cpu / seconds * 3600);
    printf("  packetising overhead: %.0f ns/packet (%.1f%% over plain sendto)\n",
           (best_rtp_cpu - best_plain_cpu) / packets * 1e9, (best_rtp_cpu / best_plain_cpu - 1) * 100);
    return 0;
}
