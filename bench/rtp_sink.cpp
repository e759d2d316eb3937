// Counting ends of the soak run (bench/soak.sh), in two modes:
//
//   rtp_sink rtp [--ts] [--rtcp] [--ready FILE] PORT...
//       Receives RTP on 127.0.0.1:PORT (each with a large receive buffer)
//       until SIGTERM or SIGINT, drains what is queued, and prints one line
//       per port: datagrams, bytes, marker bits, sequence-number gaps and
//       lost packets (RFC 3550 16-bit numbers, per port), packets out of
//       order, SSRC changes, time stamps that went back, and the datagrams
//       the kernel dropped on the socket (/proc/net/udp). With --ts each
//       payload is also checked as MPEG-2 transport packets: sync bytes and
//       continuity counters of the elementary-stream PIDs (ISO/IEC 13818-1).
//       With --rtcp the RTCP of each stream is received on PORT + 1 and read
//       as RFC 3550 has it (see RtcpCount): compound packets that do not
//       parse, sender reports, BYEs, the last report's packet count, and how
//       far the reports' NTP/RTP mappings of all streams stray from one
//       another; then a last line with the audio and video mappings' distance
//       at the end. FILE is created once the sockets are bound.
//
//   rtp_sink qbox FILE [PROGRESS]
//       Reads a QBox stream (the emulated device's --record output, a FIFO
//       in the soak) to its end and prints what the device delivered: boxes
//       per stream, video boxes that carry a picture (a slice NAL unit) and
//       a sequence parameter set, and the content time per stream on the
//       unwrapped 90 kHz clock. PROGRESS, when given, is rewritten with the
//       seconds of content delivered so far every thousand boxes.
//
//   rtp_sink tsfile FILE PCR_PID
//       Scans a transport-stream recording: sync bytes, continuity counters
//       of the elementary-stream PIDs, and the PCRs of PCR_PID (never back,
//       largest step).
//
// The qbox mode also works out how many bytes the boxes take as one MP4
// file of the program's writer (see mp4Length).
//
// Output lines are "key=value" words, for the script to pick apart.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "QBox.h"
#include "../tests/drivers/rtcp_reader.h"

namespace {

const int kReceiveBuffer = 64 * 1024 * 1024;
const size_t kBatch = 64;
const size_t kDatagramMax = 65536;
const size_t kRtpHeader = 12;
const size_t kTsPacket = 188;
const uint8_t kTsSync = 0x47;
const unsigned kPidPat = 0;
const unsigned kPidPmt = 0x42;
const unsigned kSeqModulo = 65536;
const unsigned kSeqHalf = 32768;
const int kPollMs = 200;
const size_t kQboxReadSize = 1 << 20;
const unsigned long kProgressEvery = 1024;
const uint8_t kNalTypeMask = 0x1F;
const uint8_t kNalSlice = 1;
const uint8_t kNalIdr = 5;
const uint8_t kNalSps = 7;

volatile sig_atomic_t g_stop = 0;

void OnStop(int)
{
    g_stop = 1;
}

// ---- RTP ---------------------------------------------------------------------

struct PortCount {
    int fd = -1;
    unsigned port = 0;
    unsigned long long datagrams = 0, bytes = 0, markers = 0;
    unsigned long long gaps = 0, lost = 0, outOfOrder = 0, truncated = 0;
    unsigned long long ssrcChanges = 0, tsBack = 0;
    unsigned long long tsPackets = 0, syncErrors = 0, ccErrors = 0;
    bool started = false;
    uint16_t lastSeq = 0;
    uint32_t lastTs = 0, ssrc = 0;
    uint8_t payloadType = 0;
    std::map<unsigned, unsigned> lastCc;  // per PID
};

int OpenPort(unsigned port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    // SO_RCVBUFFORCE passes over net.core.rmem_max (root); else ask for what
    // the limit allows.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void CountSequence(PortCount* c, uint16_t seq)
{
    if (c->started) {
        unsigned expected = (c->lastSeq + 1u) % kSeqModulo;
        unsigned ahead = (seq + kSeqModulo - expected) % kSeqModulo;
        if (ahead != 0 && ahead < kSeqHalf) {
            c->gaps++;
            c->lost += ahead;
        } else if (ahead != 0) {
            c->outOfOrder++;
            return;  // keep the highest number seen
        }
    }
    c->lastSeq = seq;
}

void CountTimestamp(PortCount* c, uint32_t ts)
{
    if (c->started && (int32_t)(ts - c->lastTs) < 0)
        c->tsBack++;
    c->lastTs = ts;
}

void CountTransportPackets(PortCount* c, const uint8_t* p, size_t n)
{
    if (n % kTsPacket != 0)
        c->syncErrors++;
    for (size_t off = 0; off + kTsPacket <= n; off += kTsPacket) {
        const uint8_t* k = p + off;
        c->tsPackets++;
        if (k[0] != kTsSync) {
            c->syncErrors++;
            continue;
        }
        unsigned pid = ((k[1] & 0x1Fu) << 8) | k[2];
        bool hasPayload = (k[3] & 0x10) != 0;
        unsigned cc = k[3] & 0x0Fu;
        // The tables are repeated byte for byte (counter 0) ahead of each
        // sequence parameter set; only the media PIDs must count on.
        if (pid == kPidPat || pid == kPidPmt || !hasPayload)
            continue;
        auto it = c->lastCc.find(pid);
        if (it != c->lastCc.end() && cc != ((it->second + 1) & 0x0Fu))
            c->ccErrors++;
        c->lastCc[pid] = cc;
    }
}

void CountDatagram(PortCount* c, const uint8_t* p, size_t n, bool ts)
{
    c->datagrams++;
    c->bytes += n;
    if (n < kRtpHeader) {
        c->truncated++;
        return;
    }
    if (p[1] & 0x80)
        c->markers++;
    c->payloadType = p[1] & 0x7F;
    uint32_t ssrc = ((uint32_t)p[8] << 24) | ((uint32_t)p[9] << 16) | ((uint32_t)p[10] << 8) | p[11];
    if (c->started && ssrc != c->ssrc)
        c->ssrcChanges++;
    c->ssrc = ssrc;
    CountSequence(c, (uint16_t)((p[2] << 8) | p[3]));
    CountTimestamp(c, ((uint32_t)p[4] << 24) | ((uint32_t)p[5] << 16) | ((uint32_t)p[6] << 8) | p[7]);
    c->started = true;
    if (ts)
        CountTransportPackets(c, p + kRtpHeader, n - kRtpHeader);
}

// Reads what is queued on one socket; returns false when nothing was.
bool DrainBatch(PortCount* c, bool ts, std::vector<uint8_t>* buffers)
{
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    memset(msgs, 0, sizeof msgs);
    for (size_t i = 0; i < kBatch; i++) {
        iov[i].iov_base = buffers->data() + i * kDatagramMax;
        iov[i].iov_len = kDatagramMax;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(c->fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0)
        return false;
    for (int i = 0; i < n; i++) {
        if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC)
            c->truncated++;
        CountDatagram(c, (const uint8_t*)iov[i].iov_base, msgs[i].msg_len, ts);
    }
    return true;
}

// The "drops" column of /proc/net/udp for the socket with this inode.
long long KernelDrops(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    FILE* f = fopen("/proc/net/udp", "r");
    if (!f)
        return -1;
    char line[512];
    long long drops = -1;
    while (fgets(line, sizeof line, f)) {
        unsigned long long inode = 0, dropped = 0;
        if (sscanf(line, " %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %*s %*s %llu", &inode, &dropped) == 2 &&
            inode == (unsigned long long)st.st_ino)
            drops = (long long)dropped;
    }
    fclose(f);
    return drops;
}

void PrintPort(const PortCount& c, bool ts)
{
    printf("port=%u datagrams=%llu bytes=%llu markers=%llu seq_gaps=%llu lost=%llu out_of_order=%llu "
           "ssrc_changes=%llu ts_back=%llu truncated=%llu kernel_drops=%lld",
           c.port, c.datagrams, c.bytes, c.markers, c.gaps, c.lost, c.outOfOrder, c.ssrcChanges, c.tsBack,
           c.truncated, KernelDrops(c.fd));
    if (ts)
        printf(" ts_packets=%llu sync_errors=%llu cc_errors=%llu", c.tsPackets, c.syncErrors, c.ccErrors);
}

// ---- RTCP --------------------------------------------------------------------

const uint8_t kPtAac = 96;  // the program's AAC stream; the others run at 90 kHz
const double kNtpUnit = 4294967296.0;
const unsigned kAudioClockHz = 48000;
const unsigned kVideoClockHz = 90000;

// The RTCP of one stream. Each sender report maps an RTP time onto an NTP
// time; unwrapped from report to report, starting at the first report's
// value (where the program's capture clock starts too), the mapping's
// offset, NTP seconds less RTP seconds, must be the same for every report
// of every stream of the run: the program maps both streams from one
// capture clock, without drift.
struct RtcpCount {
    int fd = -1;
    unsigned long long datagrams = 0, bad = 0, byes = 0;
    std::vector<rtcp_reader::SenderReport> reports;
};

void CountRtcp(RtcpCount* c, const uint8_t* p, size_t n)
{
    c->datagrams++;
    rtcp_reader::Compound compound = rtcp_reader::ParseCompound(p, n);
    if (!compound.error.empty()) {
        c->bad++;
        return;
    }
    c->byes += compound.bye.empty() ? 0 : 1;
    if (compound.has_sr)
        c->reports.push_back(compound.sr);
}

bool DrainRtcp(RtcpCount* c, std::vector<uint8_t>* buffer)
{
    ssize_t n = recv(c->fd, buffer->data(), kDatagramMax, MSG_DONTWAIT);
    if (n < 0)
        return false;
    CountRtcp(c, buffer->data(), (size_t)n);
    return true;
}

// The offsets of a stream's reports (seconds), NTP times taken from
// firstNtp, the first report of the run.
std::vector<double> MappingOffsets(const RtcpCount& c, unsigned clockHz, uint64_t firstNtp)
{
    std::vector<double> offsets;
    int64_t rtp = 0;
    for (size_t i = 0; i < c.reports.size(); i++) {
        const rtcp_reader::SenderReport& sr = c.reports[i];
        rtp = i == 0 ? sr.rtp : rtp + (int32_t)(sr.rtp - c.reports[i - 1].rtp);
        offsets.push_back((double)(int64_t)(sr.ntp - firstNtp) / kNtpUnit - (double)rtp / clockHz);
    }
    return offsets;
}

// The RTCP fields of each port's line, then a line for the run: how far the
// offsets of all reports of all streams lie apart, and the distance of the
// audio and the video mapping at their last reports.
void PrintRtcp(const std::vector<PortCount>& ports, const std::vector<RtcpCount>& rtcps, bool ts)
{
    uint64_t firstNtp = 0;
    bool any = false;
    for (const RtcpCount& r : rtcps)
        if (!r.reports.empty() && (!any || (int64_t)(r.reports[0].ntp - firstNtp) < 0)) {
            firstNtp = r.reports[0].ntp;
            any = true;
        }
    std::vector<double> all, last;
    for (size_t i = 0; i < ports.size(); i++) {
        const RtcpCount& r = rtcps[i];
        unsigned clockHz = ports[i].payloadType == kPtAac ? kAudioClockHz : kVideoClockHz;
        std::vector<double> offsets = MappingOffsets(r, clockHz, firstNtp);
        all.insert(all.end(), offsets.begin(), offsets.end());
        if (!offsets.empty())
            last.push_back(offsets.back());
        PrintPort(ports[i], ts);
        printf(" rtcp_datagrams=%llu rtcp_bad=%llu sr=%zu bye=%llu sr_packets=%u map_drift_us=%.1f\n", r.datagrams,
               r.bad, r.reports.size(), r.byes, r.reports.empty() ? 0 : r.reports.back().packets,
               offsets.empty() ? 0.0 : (offsets.back() - offsets.front()) * 1e6);
    }
    double spread = all.empty() ? 0 : *std::max_element(all.begin(), all.end()) - *std::min_element(all.begin(), all.end());
    double end = last.size() == 2 ? last[1] - last[0] : 0;
    printf("rtcp streams=%zu map_spread_us=%.1f av_end_us=%.1f\n", last.size(), spread * 1e6,
           (end < 0 ? -end : end) * 1e6);
}

int RunRtp(int argc, char** argv)
{
    bool ts = false, rtcp = false;
    const char* ready = nullptr;
    std::vector<PortCount> ports;
    std::vector<RtcpCount> rtcps;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--ts") == 0) {
            ts = true;
        } else if (strcmp(argv[i], "--rtcp") == 0) {
            rtcp = true;
        } else if (strcmp(argv[i], "--ready") == 0 && i + 1 < argc) {
            ready = argv[++i];
        } else {
            PortCount c;
            RtcpCount r;
            c.port = (unsigned)atoi(argv[i]);
            if ((c.fd = OpenPort(c.port)) < 0 || (rtcp && (r.fd = OpenPort(c.port + 1)) < 0)) {
                fprintf(stderr, "rtp_sink: cannot bind 127.0.0.1:%u or the port above: %s\n", c.port,
                        strerror(errno));
                return 1;
            }
            ports.push_back(c);
            rtcps.push_back(r);
        }
    }
    if (ports.empty())
        return 2;
    if (ready) {
        FILE* f = fopen(ready, "w");
        if (f)
            fclose(f);
    }
    std::vector<uint8_t> buffers(kBatch * kDatagramMax);
    std::vector<pollfd> fds;
    for (size_t i = 0; i < ports.size(); i++) {
        fds.push_back({ports[i].fd, POLLIN, 0});
        if (rtcp)
            fds.push_back({rtcps[i].fd, POLLIN, 0});
    }
    // Until the stop, then once more: whatever the sender got out before
    // the stop is queued, take it too.
    for (bool last = false; !last;) {
        last = g_stop != 0;
        if (!last && poll(fds.data(), fds.size(), kPollMs) <= 0)
            continue;
        for (size_t i = 0; i < ports.size(); i++) {
            while (DrainBatch(&ports[i], ts, &buffers)) {
            }
            while (rtcp && DrainRtcp(&rtcps[i], &buffers)) {
            }
        }
    }
    if (!rtcp) {
        for (const PortCount& c : ports) {
            PrintPort(c, ts);
            printf("\n");
        }
        return 0;
    }
    PrintRtcp(ports, rtcps, ts);
    return 0;
}

// ---- transport-stream file ----------------------------------------------------

const uint64_t kPcrModulo = 1ull << 33;
const size_t kTsReadPackets = 8192;

struct PcrCount {
    unsigned long long count = 0, back = 0;
    uint64_t last = 0, maxGap = 0;
};

void CountPcr(PcrCount* c, const uint8_t* k, unsigned pcrPid)
{
    unsigned pid = ((k[1] & 0x1Fu) << 8) | k[2];
    bool hasAdaptation = (k[3] & 0x20) != 0;
    if (pid != pcrPid || !hasAdaptation || k[4] == 0 || !(k[5] & 0x10))
        return;
    uint64_t base = ((uint64_t)k[6] << 25) | ((uint64_t)k[7] << 17) | ((uint64_t)k[8] << 9) |
                    ((uint64_t)k[9] << 1) | (k[10] >> 7);
    if (c->count > 0) {
        uint64_t step = (base + kPcrModulo - c->last) % kPcrModulo;
        if (step >= kPcrModulo / 2)
            c->back++;
        else if (step > c->maxGap)
            c->maxGap = step;
    }
    c->last = base;
    c->count++;
}

// Sync bytes and continuity counters of a recording (the same rule as on
// the stream), and the PCRs of the PCR PID: never back (modulo 2^33) and the
// largest step between two.
int RunTsFile(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    FILE* f = fopen(argv[0], "rb");
    if (!f) {
        fprintf(stderr, "rtp_sink: cannot read %s: %s\n", argv[0], strerror(errno));
        return 1;
    }
    unsigned pcrPid = (unsigned)strtoul(argv[1], nullptr, 0);
    PortCount c;
    PcrCount pcr;
    std::vector<uint8_t> buffer(kTsReadPackets * kTsPacket);
    size_t got;
    while ((got = fread(buffer.data(), 1, buffer.size(), f)) > 0) {
        CountTransportPackets(&c, buffer.data(), got);
        for (size_t off = 0; off + kTsPacket <= got; off += kTsPacket)
            if (buffer[off] == kTsSync)
                CountPcr(&pcr, buffer.data() + off, pcrPid);
    }
    fclose(f);
    printf("ts_packets=%llu sync_errors=%llu cc_errors=%llu pcr=%llu pcr_back=%llu pcr_max_step=%llu\n",
           c.tsPackets, c.syncErrors, c.ccErrors, pcr.count, pcr.back, (unsigned long long)pcr.maxGap);
    return 0;
}

// ---- QBox --------------------------------------------------------------------

// One stream's time stamps on the unwrapped 90 kHz clock.
struct StreamClock {
    unsigned long long boxes = 0;
    long long first = 0, last = 0, lastGap = 0;
    unsigned long long backSteps = 0;
};

void CountStamp(StreamClock* s, uint32_t cts)
{
    if (s->boxes == 0) {
        s->first = s->last = cts;
    } else {
        long long t = s->last + (int32_t)(cts - (uint32_t)s->last);
        if (t < s->last)
            s->backSteps++;
        else if (t > s->last)
            s->lastGap = t - s->last;
        if (t > s->last)
            s->last = t;
    }
    s->boxes++;
}

long long ContentTicks(const StreamClock& s)
{
    return s.boxes == 0 ? 0 : s.last - s.first + s.lastGap;
}

// mp4Length: the length of the boxes as one MP4 file of the program's writer
// (Source/mp4Writer.cpp): "ftyp" and the "mdat" header, then every NAL unit
// but SEI and the parameter sets as a video sample of its length plus a
// 4-byte length field, and every audio payload as an audio sample. The
// writer splits a recording that would pass 4 GiB into files of the same
// layout, whose "mdat" payloads add up to this length less the header.
const unsigned long long kMp4HeaderBytes = 32;
const uint8_t kNalSei = 6;
const uint8_t kNalPps = 8;

struct QboxCount {
    StreamClock video, audio;
    unsigned long long other = 0, pictures = 0, sps = 0, bad = 0;
    unsigned long long mp4Length = kMp4HeaderBytes;  // see above
};

// NAL unit types of a video box's payload (4-byte length prefixes).
void CountNalUnits(QboxCount* q, const uint8_t* p, size_t n)
{
    bool picture = false, sps = false;
    size_t pos = 0;
    while (pos + QBOX_NALU_PREFIX_SIZE < n) {
        size_t len = ReadBE32(p + pos);
        pos += QBOX_NALU_PREFIX_SIZE;
        if (len == 0 || len > n - pos) {
            q->bad++;
            break;
        }
        uint8_t type = p[pos] & kNalTypeMask;
        picture |= type == kNalSlice || type == kNalIdr;
        sps |= type == kNalSps;
        if (type != kNalSei && type != kNalSps && type != kNalPps)
            q->mp4Length += len + QBOX_NALU_PREFIX_SIZE;
        pos += len;
    }
    q->pictures += picture;
    q->sps += sps;
}

void CountBox(QboxCount* q, const uint8_t* box, size_t size)
{
    QBox h;
    DecodeQBoxHeader(box, &h);
    if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
        CountStamp(&q->video, h.ulSampleCts);
        CountNalUnits(q, box + QBOX_HEADER_SIZE, size - QBOX_HEADER_SIZE);
    } else if (h.usSampleStreamType == QBOX_STREAM_AUDIO) {
        CountStamp(&q->audio, h.ulSampleCts);
        q->mp4Length += size - QBOX_HEADER_SIZE;
    } else {
        q->other++;
    }
}

void WriteProgress(const char* path, const QboxCount& q)
{
    long long ticks = ContentTicks(q.video) > ContentTicks(q.audio) ? ContentTicks(q.video) : ContentTicks(q.audio);
    FILE* f = fopen(path, "w");
    if (f) {
        fprintf(f, "%lld\n", ticks / QBOX_CLOCK_HZ);
        fclose(f);
    }
}

// Reads one writer's stream from an open descriptor to its end.
void ReadQboxStream(int fd, QboxCount* q, const char* progress, std::vector<uint8_t>* pending)
{
    std::vector<uint8_t> chunk(kQboxReadSize);
    ssize_t got;
    while ((got = read(fd, chunk.data(), chunk.size())) > 0 || (got < 0 && errno == EINTR && !g_stop)) {
        if (got < 0)
            continue;
        pending->insert(pending->end(), chunk.begin(), chunk.begin() + got);
        size_t used = 0;
        while (pending->size() - used >= QBOX_HEADER_SIZE) {
            size_t size = ReadBE32(pending->data() + used);
            if (size < QBOX_HEADER_SIZE) {
                q->bad++;
                used = pending->size();
                break;
            }
            if (pending->size() - used < size)
                break;
            CountBox(q, pending->data() + used, size);
            used += size;
            if (progress && (q->video.boxes + q->audio.boxes) % kProgressEvery == 0)
                WriteProgress(progress, *q);
        }
        pending->erase(pending->begin(), pending->begin() + used);
    }
}

// The emulator's launcher empties the record file (opens and closes it)
// before the program opens it for good: a FIFO is opened again after each
// writer, until SIGTERM or SIGINT.
int RunQbox(int argc, char** argv)
{
    if (argc < 1)
        return 2;
    const char* progress = argc >= 2 ? argv[1] : nullptr;
    QboxCount q;
    std::vector<uint8_t> pending;
    while (!g_stop) {
        int fd = open(argv[0], O_RDONLY);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0) {
            fprintf(stderr, "rtp_sink: cannot read %s: %s\n", argv[0], strerror(errno));
            return 1;
        }
        ReadQboxStream(fd, &q, progress, &pending);
        close(fd);
        struct stat st;
        if (stat(argv[0], &st) != 0 || !S_ISFIFO(st.st_mode))
            break;  // a plain file is read once
    }
    if (progress)
        WriteProgress(progress, q);
    printf("boxes=%llu video=%llu pictures=%llu sps=%llu audio=%llu other=%llu leftover=%zu bad=%llu "
           "video_ticks=%lld audio_ticks=%lld video_back=%llu audio_back=%llu mp4_length=%llu\n",
           q.video.boxes + q.audio.boxes + q.other, q.video.boxes, q.pictures, q.sps, q.audio.boxes, q.other,
           pending.size(), q.bad, ContentTicks(q.video), ContentTicks(q.audio), q.video.backSteps,
           q.audio.backSteps, q.mp4Length);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // No SA_RESTART: a stop must interrupt a blocking open() or read().
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && strcmp(argv[1], "rtp") == 0)
        return RunRtp(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "qbox") == 0)
        return RunQbox(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "tsfile") == 0)
        return RunTsFile(argc - 2, argv + 2);
    fputs("usage: rtp_sink rtp [--ts] [--ready FILE] PORT...\n"
          "       rtp_sink qbox FILE [PROGRESS]\n"
          "       rtp_sink tsfile FILE PCR_PID\n",
          stderr);
    return 2;
}
