// Test driver: streams a QBox file over RTP elementary streams through the
// capture run's own path (OpenOutputs, ProcessSample per sample), with the
// program's RTCP, which ends the session with a BYE on each RTP port + 1 so
// that a receiver stops cleanly.
//
//   rtp-send-qbox [--ts] FILE ADDRESS VIDEO_PORT AUDIO_PORT GAP_US
//
// GAP_US is the pause after each sample (0 paces by the time stamps, in
// real time). Prints how many pictures and audio frames were sent.
// With --ts, FILE is an MPEG-2 transport stream handed to RTPTransportStream
// in runs of 1 to 12 packets, GAP_US after each run.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Rtp.h"
#include "driver_common.h"
#include "rtcp.h"
#include "tspacket.h"

namespace {

// Lets the receiver take in the last datagrams before it sees the BYE.
const useconds_t DRAIN_PAUSE_US = 500000;

void Pace(useconds_t gap_us, UINT32 cts, UINT32* last_cts)
{
    if (gap_us > 0) {
        usleep(gap_us);
        return;
    }
    // Real time: wait for the time stamp difference to the previous sample.
    UINT32 ticks = cts - *last_cts;
    if (*last_cts != 0 && ticks < QBOX_CLOCK_HZ)
        usleep((useconds_t)((UINT64)ticks * 1000000 / QBOX_CLOCK_HZ));
    *last_cts = cts;
}

// Runs of 1, 2, ... 12 packets, then again from 1, so that every datagram
// size the carriage can produce is exercised.
unsigned int StreamTransportStream(FILE* in, useconds_t gap_us)
{
    const unsigned int LONGEST_RUN = 12;
    std::vector<UINT8> run(LONGEST_RUN * TS_PACKET_SIZE);
    unsigned int packets = 0, run_length = 1;
    size_t got;
    while ((got = fread(run.data(), TS_PACKET_SIZE, run_length, in)) > 0) {
        RTPTransportStream(run.data(), (unsigned int)got, 0);
        packets += (unsigned int)got;
        run_length = run_length % LONGEST_RUN + 1;
        usleep(gap_us);
    }
    return packets;
}

// The program's own end of a session: a BYE from the RTCP of each stream
// (CloseSockets), after a pause for the receiver.
void EndSession()
{
    usleep(DRAIN_PAUSE_US);
    CloseSockets();
}

}  // namespace

int main(int argc, char** argv)
{
    bool transport_stream = argc > 1 && strcmp(argv[1], "--ts") == 0;
    if (transport_stream) {
        --argc;
        ++argv;
    }
    if (argc != 6) {
        fprintf(stderr, "usage: rtp-send-qbox [--ts] FILE ADDRESS VIDEO_PORT AUDIO_PORT GAP_US\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (in == nullptr) {
        perror(argv[1]);
        return 1;
    }
    char* address = argv[2];
    unsigned short video_port = (unsigned short)atoi(argv[3]);
    unsigned short audio_port = (unsigned short)atoi(argv[4]);
    useconds_t gap_us = (useconds_t)atoi(argv[5]);
    if (transport_stream) {
        if (RTPOpen(audio_port, video_port, address, 1) != 1)
            return 1;
        RTCPOpen(RTCP_STREAM_VIDEO, video_port, address, 1, RTP_SSRC);
        unsigned int packets = StreamTransportStream(in, gap_us);
        fclose(in);
        EndSession();
        printf("ts_packets=%u\n", packets);
        return 0;
    }

    stInputParameters input;
    DriverParameters(&input, MEDIA_FORMAT_AUDIO_VIDEO);
    DriverStreamTo(&input, STREAM_RTP_ES, address, video_port, audio_port);
    if (OpenOutputs(&input) != 0 || !internal_config.ulstreaming)
        return 1;
    std::vector<UINT8> sample(SAMPLE_BUFFER_SIZE);
    unsigned int pictures = 0, audio_frames = 0;
    UINT32 last_cts = 0;
    QBox header;
    while (fread(sample.data(), 1, QBOX_HEADER_SIZE, in) == QBOX_HEADER_SIZE) {
        DecodeQBoxHeader(sample.data(), &header);
        if (!IsUsableQBox(&header) || header.ulBoxSize > SAMPLE_BUFFER_SIZE) {
            fprintf(stderr, "bad QBox header after %u pictures\n", pictures);
            return 1;
        }
        UINT32 payload_size = header.ulBoxSize - QBOX_HEADER_SIZE;
        if (fread(sample.data() + QBOX_HEADER_SIZE, 1, payload_size, in) != payload_size) {
            fprintf(stderr, "truncated QBox\n");
            return 1;
        }
        Pace(gap_us, header.ulSampleCts, &last_cts);
        ProcessSample(&input, sample.data(), (int)header.ulBoxSize);
        if (header.usSampleStreamType == QBOX_STREAM_AUDIO)
            ++audio_frames;
        else if (header.usSampleStreamType == QBOX_STREAM_VIDEO &&
                 HoldsPicture(sample.data() + QBOX_HEADER_SIZE, payload_size))
            ++pictures;
    }
    fclose(in);
    EndSession();
    printf("pictures=%u audio_frames=%u\n", pictures, audio_frames);
    return 0;
}
