// Test driver for the transport-stream path.
//
//   ts_feed file STREAM.qbox OUT.ts MEDIA
//       initMP2TS(MEDIA, OUT.ts, 1), then every box of STREAM through
//       QBoxToMP2TS(box, size, 1) the way the capture loop does (the shared
//       header record filled from the box header first), then deinitMP2TS().
//   ts_feed rtp STREAM.qbox IP PORT MEDIA [SPEED]
//       RTPOpen towards IP (video PORT), initMP2TS(MEDIA, no file, 2), every
//       box through QBoxToMP2TS(box, size, 2) paced by its time stamp at
//       SPEED times real time (default 1), then an RTCP BYE to PORT + 1, as a
//       sender ending its session does.
//   ts_feed both STREAM.qbox OUT.ts IP PORT MEDIA [SPEED]
//       The same with one packetisation for both outputs (mode 3).
//   ts_feed list STREAM.qbox
//       Prints, read independently of the route under test, one line per box
//       that should come out as a frame: "video TS" for every video box after
//       the first one that starts with a sequence parameter set and holds a
//       picture, "audio TS" for every audio box.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QBox.h"
#include "Rtp.h"
#include "Vozirev.h"
#include "devicereader.h"
#include "tsroute.h"
#include "mpgTSWriter.h"

static UINT8 sampleBuffer[SAMPLE_BUFFER_SIZE];
static const useconds_t BYE_DELAY_US = 300000;

// Reads the next whole box into sampleBuffer. Returns its size, 0 at the end
// of the stream, -1 on a malformed or oversized box.
static long readBox(FILE* in)
{
    size_t got = fread(sampleBuffer, 1, QBOX_HEADER_SIZE, in);
    if (got == 0) return 0;
    if (got != QBOX_HEADER_SIZE) return -1;
    UINT32 size = ReadBE32(sampleBuffer);
    if (size < QBOX_HEADER_SIZE || size > SAMPLE_BUFFER_SIZE) return -1;
    UINT32 payload = size - QBOX_HEADER_SIZE;
    if (fread(sampleBuffer + QBOX_HEADER_SIZE, 1, payload, in) != payload) return -1;
    return (long)size;
}

static bool holdsPicture(const UINT8* payload, UINT32 size)
{
    UINT32 pos = 0;
    while (size - pos >= 5) {
        UINT32 length = ReadBE32(payload + pos);
        if (length == 0 || length > size - pos - 4) break;
        UINT8 type = payload[pos + 4] & 0x1F;
        if (type == 1 || type == 5) return true;
        pos += 4 + length;
    }
    return false;
}

static int list(FILE* in)
{
    bool spsSeen = false;
    long size;
    while ((size = readBox(in)) > 0) {
        QBox h;
        DecodeQBoxHeader(sampleBuffer, &h);
        const UINT8* payload = sampleBuffer + QBOX_HEADER_SIZE;
        UINT32 szPayload = (UINT32)size - QBOX_HEADER_SIZE;
        if (h.usSampleStreamType == QBOX_STREAM_AUDIO) {
            printf("audio %u\n", h.ulSampleCts);
        } else if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
            if (!spsSeen && szPayload > 4 && (payload[4] & 0x1F) == 7) spsSeen = true;
            if (spsSeen && holdsPicture(payload, szPayload)) printf("video %u\n", h.ulSampleCts);
        }
    }
    return size < 0 ? 1 : 0;
}

static double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// RTCP BYE (RFC 3550, 6.6) for the stream's SSRC, sent to the RTCP port.
// A compound RTCP packet starts with a report (RFC 3550, 6.1): an empty
// receiver report goes in front of the BYE.
static void sendBye(const char* ip, unsigned short rtcpPort)
{
    const UINT8 RTCP_RR = 201, RTCP_BYE = 203;
    UINT8 packet[16];
    UINT8* p = packet;
    *p++ = 0x80;  // version 2, no report blocks
    *p++ = RTCP_RR;
    p = WriteBE16(p, 1);  // length in 32-bit words minus one
    p = WriteBE32(p, RTP_SSRC);
    *p++ = 0x81;  // version 2, one SSRC
    *p++ = RTCP_BYE;
    p = WriteBE16(p, 1);
    WriteBE32(p, RTP_SSRC);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(rtcpPort);
    to.sin_addr.s_addr = inet_addr(ip);
    sendto(fd, packet, sizeof(packet), 0, (sockaddr*)&to, sizeof(to));
    close(fd);
}

static int feed(FILE* in, unsigned int mode, double speed)
{
    long size;
    bool first = true;
    UINT32 cts0 = 0;
    double t0 = now();
    unsigned long boxes = 0;
    while ((size = readBox(in)) > 0) {
        DecodeQBoxHeader(sampleBuffer, pqBoxHeader);
        if (mode != TS_OUTPUT_FILE && speed > 0) {
            if (first) {
                cts0 = pqBoxHeader->ulSampleCts;
                first = false;
            }
            double due = t0 + (double)(UINT32)(pqBoxHeader->ulSampleCts - cts0) / QBOX_CLOCK_HZ / speed;
            double wait = due - now();
            if (wait > 0) usleep((useconds_t)(wait * 1e6));
        }
        QBoxToMP2TS(sampleBuffer, (unsigned int)size, mode);
        boxes++;
    }
    fprintf(stderr, "ts_feed: %lu boxes\n", boxes);
    return size < 0 ? 1 : 0;
}

static int usage()
{
    fprintf(stderr,
            "usage: ts_feed file STREAM.qbox OUT.ts MEDIA\n"
            "       ts_feed rtp STREAM.qbox IP PORT MEDIA [SPEED]\n"
            "       ts_feed both STREAM.qbox OUT.ts IP PORT MEDIA [SPEED]\n"
            "       ts_feed list STREAM.qbox\n");
    return 2;
}

int main(int argc, char** argv)
{
    if (argc < 3) return usage();
    const char* cmd = argv[1];
    FILE* in = fopen(argv[2], "rb");
    if (!in) {
        perror(argv[2]);
        return 1;
    }
    if (!strcmp(cmd, "list")) return list(in);

    FILE* out = nullptr;
    char* ip = nullptr;
    unsigned short port = 0;
    unsigned char media = 0;
    double speed = 1.0;
    unsigned int mode;
    if (!strcmp(cmd, "file") && argc == 5) {
        mode = TS_OUTPUT_FILE;
        out = fopen(argv[3], "wb");
        media = (unsigned char)atoi(argv[4]);
    } else if (!strcmp(cmd, "rtp") && (argc == 6 || argc == 7)) {
        mode = TS_OUTPUT_RTP;
        ip = argv[3];
        port = (unsigned short)atoi(argv[4]);
        media = (unsigned char)atoi(argv[5]);
        if (argc == 7) speed = atof(argv[6]);
    } else if (!strcmp(cmd, "both") && (argc == 7 || argc == 8)) {
        mode = TS_OUTPUT_FILE_AND_RTP;
        out = fopen(argv[3], "wb");
        ip = argv[4];
        port = (unsigned short)atoi(argv[5]);
        media = (unsigned char)atoi(argv[6]);
        if (argc == 8) speed = atof(argv[7]);
    } else {
        return usage();
    }
    if (mode != TS_OUTPUT_RTP && !out) {
        perror(argv[3]);
        return 1;
    }
    if (ip && RTPOpen((unsigned short)(port + 2), port, ip, 1) != 1) {
        fprintf(stderr, "ts_feed: RTPOpen failed\n");
        return 1;
    }
    if (initMP2TS(media, out, mode) != 1) {
        fprintf(stderr, "ts_feed: initMP2TS failed\n");
        return 1;
    }
    int rc = feed(in, mode, speed);
    deinitMP2TS();
    if (ip) {
        CloseSockets();
        // The BYE travels on its own socket: let the last data datagrams be
        // read first.
        usleep(BYE_DELAY_US);
        sendBye(ip, (unsigned short)(port + 1));
    }
    fclose(in);
    return rc;
}
