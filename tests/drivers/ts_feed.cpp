// Test driver for the transport-stream path.
//
// Every mode goes through the capture run's own path: OpenOutputs for the
// outputs asked for (media format MEDIA), ProcessSample per box (the
// accounting step fills the header record the route reads), CloseOutputs.
//
//   ts_feed file STREAM.qbox OUT.mpg MEDIA
//       Records a transport-stream file in OUT's directory, as the program
//       does (-r 2).
//   ts_feed rtp STREAM.qbox IP PORT MEDIA [SPEED]
//       Streams the transport stream in RTP to IP:PORT (-s 2), each box
//       paced by its time stamp at SPEED times real time (default 1), with
//       the program's RTCP on PORT + 1, which ends with a BYE.
//   ts_feed both STREAM.qbox OUT.mpg IP PORT MEDIA [SPEED]
//       Both at once (-r 2 -s 2: one packetisation for both outputs).
//   ts_feed list STREAM.qbox
//       Prints, read independently of the route under test, one line per box
//       that should come out as a frame: "video TS" for every video box after
//       the first one that starts with a sequence parameter set and holds a
//       picture, "audio TS" for every audio box.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Rtp.h"
#include "driver_common.h"

static UINT8 sampleBuffer[SAMPLE_BUFFER_SIZE];
static const useconds_t BYE_DELAY_US = 300000;

static int list(FILE* in)
{
    bool spsSeen = false;
    long size;
    while ((size = ReadStreamBox(in, sampleBuffer)) > 0) {
        QBox h;
        DecodeQBoxHeader(sampleBuffer, &h);
        const UINT8* payload = sampleBuffer + QBOX_HEADER_SIZE;
        UINT32 szPayload = (UINT32)size - QBOX_HEADER_SIZE;
        if (h.usSampleStreamType == QBOX_STREAM_AUDIO) {
            printf("audio %u\n", h.ulSampleCts);
        } else if (h.usSampleStreamType == QBOX_STREAM_VIDEO) {
            if (!spsSeen && szPayload > 4 && (payload[4] & 0x1F) == 7) spsSeen = true;
            if (spsSeen && HoldsPicture(payload, szPayload)) printf("video %u\n", h.ulSampleCts);
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

// Every box through ProcessSample, paced by its time stamp when streaming.
static int feed(FILE* in, stInputParameters* input, double speed)
{
    long size;
    bool first = true;
    UINT32 cts0 = 0;
    double t0 = now();
    unsigned long boxes = 0;
    while ((size = ReadStreamBox(in, sampleBuffer)) > 0) {
        QBox h;
        DecodeQBoxHeader(sampleBuffer, &h);
        UINT32 cts = h.ulSampleCts;
        if (input->ulStreaming != STREAM_NONE && speed > 0) {
            if (first) {
                cts0 = cts;
                first = false;
            }
            double due = t0 + (double)(UINT32)(cts - cts0) / QBOX_CLOCK_HZ / speed;
            double wait = due - now();
            if (wait > 0) usleep((useconds_t)(wait * 1e6));
        }
        ProcessSample(input, sampleBuffer, (int)size);
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

    stInputParameters input;
    const char* out = nullptr;
    const char* ip = nullptr;
    unsigned short port = 0;
    double speed = 1.0;
    if (!strcmp(cmd, "file") && argc == 5) {
        out = argv[3];
        DriverParameters(&input, (unsigned int)atoi(argv[4]));
    } else if (!strcmp(cmd, "rtp") && (argc == 6 || argc == 7)) {
        ip = argv[3];
        port = (unsigned short)atoi(argv[4]);
        DriverParameters(&input, (unsigned int)atoi(argv[5]));
        if (argc == 7) speed = atof(argv[6]);
    } else if (!strcmp(cmd, "both") && (argc == 7 || argc == 8)) {
        out = argv[3];
        ip = argv[4];
        port = (unsigned short)atoi(argv[5]);
        DriverParameters(&input, (unsigned int)atoi(argv[6]));
        if (argc == 8) speed = atof(argv[7]);
    } else {
        return usage();
    }
    if (out && !DriverRecordTo(&input, SAVE_TS, out)) return 1;
    if (ip) DriverStreamTo(&input, STREAM_RTP_TS, ip, port, (unsigned short)(port + 2));
    bool wanted = true;
    if (OpenOutputs(&input) != 0 || (out && !internal_config.ulsaving) || (ip && !internal_config.ulstreaming)) {
        fprintf(stderr, "ts_feed: the outputs could not be opened\n");
        wanted = false;
    }
    int rc = wanted ? feed(in, &input, speed) : 1;
    // The BYE that CloseOutputs sends travels on its own socket: let the
    // receiver read the last data datagrams first.
    if (ip)
        usleep(BYE_DELAY_US);
    CloseOutputs(&input);
    fclose(in);
    return rc;
}
