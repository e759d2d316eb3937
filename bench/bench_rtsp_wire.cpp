// Benchmark of the RTSP server's latency and of what its clients cost the
// capture between two device reads. Run by bench/bench_rtsp.sh (see there),
// or by hand:
//   build/normal/bench_rtsp_wire STREAM.qbox PORT SECONDS
//
// The stream is replayed in memory at its own pace (each box when the
// clock reaches its time stamp, as the device delivers it) through the
// capture run's own path with the RTSP server on 127.0.0.1:PORT (-r 0 -s 0
// -R PORT), on the capture's one thread: wait for the box (the device
// read), ProcessSample, NetServe, as the capture loop does. A probe on a
// second thread holds one UDP session and stamps the arrival of the first
// packet of every sample. Printed once SECONDS have passed:
//   - sample to wire: from the moment the box is handed over (the read
//     returns) to the probe receiving the sample's first RTP packet, per
//     video picture and audio frame: median, 99th percentile;
//   - between reads: how long the capture is away from the device after
//     each box (ProcessSample + NetServe): median, 99.9th percentile,
//     longest.
// Other clients (bench_rtsp.sh starts 31 and a stalled one) connect once
// "ready" is printed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Rtp.h"
#include "bench_replay.h"
#include "capturerun.h"
#include "netloop.h"
#include "sample.h"

namespace {

using namespace bench;

double NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Keys: the RTP time of a sample's packets and its payload type.
typedef std::pair<UINT32, UINT8> tKey;
std::mutex lock;
std::map<tKey, double> handedOver, arrived;
UINT8 sampleBuffer[SAMPLE_BUFFER_SIZE];

std::string Exchange(int fd, const std::string& request)
{
    send(fd, request.data(), request.size(), 0);
    std::string reply;
    char chunk[8192];
    while (reply.find("\r\n\r\n") == std::string::npos) {
        ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
        if (got <= 0)
            return reply;
        reply.append(chunk, (size_t)got);
    }
    size_t length = reply.find("Content-Length: ");
    size_t want = reply.find("\r\n\r\n") + 4 + (length == std::string::npos ? 0 : atoi(reply.c_str() + length + 16));
    while (reply.size() < want) {
        ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
        if (got <= 0)
            break;
        reply.append(chunk, (size_t)got);
    }
    return reply;
}

int BoundUdp(UINT16 port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return bind(fd, (struct sockaddr*)&a, sizeof(a)) == 0 ? fd : -1;
}

// One UDP session (both tracks on one socket pair each), stamping the first
// packet of every RTP time.
void Probe(UINT16 usPort, double seconds)
{
    int tcp = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(usPort);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (connect(tcp, (struct sockaddr*)&a, sizeof(a)) != 0)
        return;
    std::string url = "rtsp://127.0.0.1:" + std::to_string(usPort) + "/live";
    Exchange(tcp, "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    int fds[2] = {-1, -1};
    std::string session;
    for (int track = 0; track < 2; track++) {
        UINT16 port = (UINT16)(41000 + 4 * (getpid() % 2000) + 2 * track);
        fds[track] = BoundUdp(port);
        std::string reply = Exchange(tcp, "SETUP " + url + "/trackID=" + std::to_string(track) + " RTSP/1.0\r\nCSeq: " +
                                              std::to_string(2 + track) + "\r\nTransport: RTP/AVP;unicast;client_port=" +
                                              std::to_string(port) + "-" + std::to_string(port + 1) + "\r\n" + session + "\r\n");
        size_t at = reply.find("Session: ");
        if (at != std::string::npos && session.empty())
            session = "Session: " + reply.substr(at + 9, 16) + "\r\n";
    }
    Exchange(tcp, "PLAY " + url + " RTSP/1.0\r\nCSeq: 4\r\n" + session + "\r\n");
    double end = NowMs() + seconds * 1000;
    struct timeval wait = {0, 100000};
    for (int fd : fds)
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    // The video's first packet is the parameter sets, stamped with the
    // time of PLAY rather than a sample's: left out.
    bool first = true;
    while (NowMs() < end) {
        for (int fd : fds) {
            UINT8 packet[2048];
            while (recv(fd, packet, sizeof(packet), MSG_DONTWAIT) >= 12) {
                double now = NowMs();
                if (fd == fds[0] && first) {
                    first = false;
                    continue;
                }
                tKey key(ReadBE32(packet + 4), (UINT8)(packet[1] & 0x7F));
                std::lock_guard<std::mutex> guard(lock);
                arrived.emplace(key, now);
            }
        }
        struct timespec nap = {0, 200000};
        nanosleep(&nap, nullptr);
    }
    close(tcp);
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[(size_t)(q * (double)(v.size() - 1))];
}

// The box at its time: the device read returns then.
void WaitFor(double atMs)
{
    double now = NowMs();
    if (atMs <= now)
        return;
    struct timespec nap = {(time_t)((atMs - now) / 1000), (long)(fmod(atMs - now, 1000.0) * 1e6)};
    nanosleep(&nap, nullptr);
}

// Opens the capture run's outputs with the RTSP server on port.
bool Open(const std::string& port, stInputParameters* input)
{
    const char* args[] = {"vozirev", "-r", "0", "-s", "0", "-R", port.c_str(), "-A", "127.0.0.1", "-m", "3", "-w",
                          "720", "-h", "576", "-f", "25", "-S", "64", "-C", "128"};
    memset(input, 0, sizeof(*input));
    return get_cmdline_parameters(input, (int)(sizeof(args) / sizeof(args[0])), const_cast<char**>(args)) == 0 &&
           OpenOutputs(input) == 0;
}

// One box as the capture loop takes it, once the device hands it over:
// the time away from the device kept, the hand-over time of its RTP time.
void Take(stInputParameters* input, UINT8* box, UINT32 size, double read, std::vector<double>* away)
{
    ProcessSample(input, box, (int)size);
    NetServe();
    away->push_back(NowMs() - read);
    QBox h;
    DecodeQBoxHeader(box, &h);
    INT64 clock = RtpCaptureClock(h.ulSampleCts);
    bool video = h.usSampleStreamType == QBOX_STREAM_VIDEO;
    tKey key(video ? (UINT32)clock : AacRtpTimestamp(clock), video ? RTP_PT_H264 : RTP_PT_AAC);
    std::lock_guard<std::mutex> guard(lock);
    handedOver.emplace(key, read);
}

void Print(FILE* out, const std::vector<double>& away)
{
    std::vector<double> wire[2];
    for (auto& a : arrived) {
        auto h = handedOver.find(a.first);
        if (h != handedOver.end())
            wire[a.first.second == RTP_PT_H264 ? 0 : 1].push_back(a.second - h->second);
    }
    for (int m = 0; m < 2; m++)
        fprintf(out, "sample to wire, %s: %zu samples, median %.3f ms, 99th percentile %.3f ms\n",
                m == 0 ? "video" : "audio", wire[m].size(), Percentile(wire[m], 0.5), Percentile(wire[m], 0.99));
    fprintf(out, "between reads: %zu samples, median %.3f ms, 99.9th percentile %.3f ms, longest %.3f ms\n",
            away.size(), Percentile(away, 0.5), Percentile(away, 0.999), Percentile(away, 1.0));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s STREAM.qbox PORT SECONDS\n", argv[0]);
        return 2;
    }
    Stream s;
    if (!LoadStream(argv[1], &s))
        return 1;
    double seconds = atof(argv[3]);
    std::string port = argv[2];
    stInputParameters input;
    FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    if (out == nullptr || freopen("/dev/null", "w", stdout) == nullptr || !Open(port, &input))
        return 1;
    fprintf(out, "ready\n");
    fflush(out);
    std::thread probe;
    std::vector<double> away;
    double start = NowMs();
    Replay(s, (seconds + 2) / 60, sampleBuffer, [&](UINT8* box, UINT32 size) {
        WaitFor(start + (ReadBE32(box + 20) - 900000) / 90.0);
        double read = NowMs();
        Take(&input, box, size, read, &away);
        if (!probe.joinable() && read - start > 1000)
            probe = std::thread(Probe, (UINT16)atoi(port.c_str()), seconds - 2);
    });
    probe.join();
    CloseOutputs(&input);
    Print(out, away);
    return 0;
}
