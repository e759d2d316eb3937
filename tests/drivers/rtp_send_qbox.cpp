// Test driver: streams a QBox file over RTP through QBox2Streaming, the way
// the capture loop does with the device's samples, with RTCP sender reports
// for each stream and a BYE on each at the end, or writes the session
// description of the streams.
//
//   rtp-send-qbox [options] FILE ADDRESS VIDEO_PORT AUDIO_PORT GAP_US
//
// GAP_US is the pause after each sample (0 paces by the time stamps, in
// real time). Prints how many pictures and audio frames were sent, the
// QBox stamps of the first video and audio sample sent, and the RTP
// datagrams and payload bytes of each stream. Options:
//   --ts              FILE is an MPEG-2 transport stream handed to
//                     RTPTransportStream in runs of 1 to 12 packets, GAP_US
//                     after each run
//   --describe SDP    writes the session description of the streams to SDP
//                     (as at start-up, then again once the file's first
//                     parameter sets are read) and sends nothing
//   --media N         media type as -m: 1 audio, 2 video, 3 both (3)
//   --skip-audio-ms N sends no audio sample stamped less than N ms after the
//                     file's first sample
//   --skip-video-ms N the same for video, and then starts at an IDR picture
//   --no-parameter-sets  leaves the SPS and PPS out of the samples, so a
//                     receiver can decode only with the session description's
//   --stamps FILE     lists every sample sent, one "KIND QBOX_STAMP
//                     RTP_STAMP" line each; KIND is v (a picture), p (video
//                     without a picture) or a (an audio frame)
//   --h264 FILE       writes the video samples sent, whole (parameter sets
//                     included), as an H.264 Annex B stream: what a receiver
//                     must decode
//
// The capture run will call the RTCP hooks right after each RTP datagram in
// Rtp.cpp; here the driver is linked with --wrap=sendto, so it sees each
// datagram that leaves an RTP socket and calls the same hook.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QBox.h"
#include "Rtp.h"
#include "Vozirev.h"
#include "rtcp.h"
#include "sdp.h"

namespace {

const unsigned char NALU_TYPE_SLICE = 1;
const unsigned char NALU_TYPE_IDR = 5;
const unsigned char NALU_TYPE_SPS = 7;
const unsigned char NALU_TYPE_PPS = 8;
const unsigned int MEDIA_AUDIO = 1;
const unsigned int MEDIA_VIDEO = 2;
const unsigned int TICKS_PER_MS = QBOX_CLOCK_HZ / 1000;
// Lets the receiver take in the last datagrams before it sees the BYE.
const useconds_t DRAIN_PAUSE_US = 500000;

struct Options {
    bool transport_stream = false;
    const char* describe = nullptr;
    unsigned int media = 3;
    unsigned int skip_audio_ms = 0;
    unsigned int skip_video_ms = 0;
    bool no_parameter_sets = false;
    const char* stamps = nullptr;
    const char* h264 = nullptr;
};

// The QBox stamp of the sample being sent; -1 for the transport stream,
// whose packets carry no sample stamp here.
long long g_sample_stamp = -1;
// The RTP time stamp of the sample's first datagram, -1 before it is sent.
long long g_sample_rtp_stamp = -1;
// RTP datagrams and payload bytes sent per stream, as RTCP must count them.
UINT32 g_packets[RTCP_STREAM_COUNT];
UINT32 g_octets[RTCP_STREAM_COUNT];

}  // namespace

// Every sendto of the program comes here: a datagram from one of the RTP
// sockets is counted by the RTCP of its stream, as the capture run's hook
// in Rtp.cpp will do.
extern "C" ssize_t __real_sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* to,
                                 socklen_t to_len);
extern "C" ssize_t __wrap_sendto(int fd, const void* buf, size_t len, int flags, const struct sockaddr* to,
                                 socklen_t to_len)
{
    ssize_t sent = __real_sendto(fd, buf, len, flags, to, to_len);
    int stream = fd == m_fdvideo ? RTCP_STREAM_VIDEO : fd == m_fdaudio ? RTCP_STREAM_AUDIO : -1;
    if (stream < 0 || fd <= 0 || len < (size_t)RTP_HEADER_SIZE)
        return sent;
    UINT32 payload = (UINT32)len - RTP_HEADER_SIZE;
    UINT32 rtp_stamp = ReadBE32((const UINT8*)buf + 4);
    ++g_packets[stream];
    g_octets[stream] += payload;
    if (g_sample_rtp_stamp < 0)
        g_sample_rtp_stamp = rtp_stamp;
    if (g_sample_stamp < 0)
        RTCPCountRtpSent(stream, payload);
    else
        RTCPOnRtpSent(stream, rtp_stamp, (UINT32)g_sample_stamp, payload);
    return sent;
}

namespace {

// Calls f(type, offset, size) for each whole NAL unit of a video payload.
template <typename F>
void ForEachUnit(const UINT8* payload, UINT32 size, F f)
{
    UINT32 offset = 0;
    while (size - offset > QBOX_NALU_PREFIX_SIZE) {
        UINT32 length = ReadBE32(payload + offset);
        if (length == 0 || length > size - offset - QBOX_NALU_PREFIX_SIZE)
            return;
        f(payload[offset + QBOX_NALU_PREFIX_SIZE] & 0x1F, offset, length + QBOX_NALU_PREFIX_SIZE);
        offset += length + QBOX_NALU_PREFIX_SIZE;
    }
}

// 1 when the video payload holds a coded picture (a slice NAL unit).
bool HoldsUnit(const UINT8* payload, UINT32 size, unsigned char wanted)
{
    bool found = false;
    ForEachUnit(payload, size, [&](unsigned char type, UINT32, UINT32) { found = found || type == wanted; });
    return found;
}

bool HoldsPicture(const UINT8* payload, UINT32 size)
{
    return HoldsUnit(payload, size, NALU_TYPE_SLICE) || HoldsUnit(payload, size, NALU_TYPE_IDR);
}

// Appends the NAL units of a video payload to an Annex B stream.
void WriteAnnexB(FILE* out, const UINT8* payload, UINT32 size)
{
    static const UINT8 START_CODE[] = {0, 0, 0, 1};
    ForEachUnit(payload, size, [&](unsigned char, UINT32 offset, UINT32 unit_size) {
        fwrite(START_CODE, 1, sizeof(START_CODE), out);
        fwrite(payload + offset + QBOX_NALU_PREFIX_SIZE, 1, unit_size - QBOX_NALU_PREFIX_SIZE, out);
    });
}

// Rewrites a whole QBox sample without its SPS and PPS units; returns the
// new box size.
UINT32 DropParameterSets(UINT8* sample, UINT32 box_size)
{
    std::vector<UINT8> kept;
    UINT8* payload = sample + QBOX_HEADER_SIZE;
    ForEachUnit(payload, box_size - QBOX_HEADER_SIZE, [&](unsigned char type, UINT32 offset, UINT32 size) {
        if (type != NALU_TYPE_SPS && type != NALU_TYPE_PPS)
            kept.insert(kept.end(), payload + offset, payload + offset + size);
    });
    memcpy(payload, kept.data(), kept.size());
    UINT32 new_size = QBOX_HEADER_SIZE + (UINT32)kept.size();
    WriteBE32(sample, new_size);
    return new_size;
}

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
    std::vector<UINT8> run(LONGEST_RUN * RTP_TS_PACKET_SIZE);
    unsigned int packets = 0, run_length = 1;
    size_t got;
    while ((got = fread(run.data(), RTP_TS_PACKET_SIZE, run_length, in)) > 0) {
        RTPTransportStream(run.data(), (unsigned int)got, 0);
        packets += (unsigned int)got;
        run_length = run_length % LONGEST_RUN + 1;
        usleep(gap_us);
    }
    return packets;
}

// Reads the next whole sample into `sample`; false at the end of the file,
// or with a message when the file is damaged.
bool ReadSample(FILE* in, std::vector<UINT8>& sample, QBox* header)
{
    if (fread(sample.data(), 1, QBOX_HEADER_SIZE, in) != QBOX_HEADER_SIZE)
        return false;
    DecodeQBoxHeader(sample.data(), header);
    if (!IsUsableQBox(header) || header->ulBoxSize > SAMPLE_BUFFER_SIZE) {
        fprintf(stderr, "bad QBox header\n");
        exit(1);
    }
    UINT32 payload_size = header->ulBoxSize - QBOX_HEADER_SIZE;
    if (fread(sample.data() + QBOX_HEADER_SIZE, 1, payload_size, in) != payload_size) {
        fprintf(stderr, "truncated QBox\n");
        exit(1);
    }
    return true;
}

stInputParameters StreamParameters(char* address, unsigned short video_port, unsigned short audio_port,
                                   unsigned int media)
{
    stInputParameters input;
    memset(&input, 0, sizeof(input));
    input.ulStreaming = 1;
    input.ulMediaFormat = media;
    snprintf(input.IP_Addr, sizeof(input.IP_Addr), "%s", address);
    input.ucttl = 1;
    input.Video_Port = video_port;
    input.Audio_Port = audio_port;
    input.ulVideo_Frame_Width = 320;
    input.ulVideo_Frame_Height = 240;
    input.ulVideo_Frame_Rate = 30;
    return input;
}

// As the capture run does: the description at start-up, then again once
// the first parameter sets have come.
int Describe(FILE* in, const char* path, const stInputParameters& input)
{
    stSdpDescription description;
    SdpFromParameters(&description, &input);
    if (SdpWriteFile(path, &description) != 1)
        return 1;
    std::vector<UINT8> sample(SAMPLE_BUFFER_SIZE);
    QBox header;
    while (ReadSample(in, sample, &header)) {
        if (header.usSampleStreamType == QBOX_STREAM_VIDEO &&
            SdpTakeParameterSets(&description, sample.data() + QBOX_HEADER_SIZE,
                                 header.ulBoxSize - QBOX_HEADER_SIZE) == 1)
            return SdpWriteFile(path, &description) == 1 ? 0 : 1;
    }
    return 0;
}

// Whether a sample is held back by the --skip options; video resumes only
// at an IDR picture.
bool Skipped(const Options& options, const QBox& header, const UINT8* payload, UINT32 first_cts,
             bool* video_started)
{
    UINT32 since_first = header.ulSampleCts - first_cts;
    if (header.usSampleStreamType == QBOX_STREAM_AUDIO)
        return since_first < options.skip_audio_ms * TICKS_PER_MS;
    if (header.usSampleStreamType != QBOX_STREAM_VIDEO)
        return false;
    if (!*video_started && since_first >= options.skip_video_ms * TICKS_PER_MS &&
        HoldsUnit(payload, header.ulBoxSize - QBOX_HEADER_SIZE, NALU_TYPE_IDR))
        *video_started = true;
    return !*video_started;
}

void EndSession()
{
    usleep(DRAIN_PAUSE_US);
    RTCPClose();
    CloseSockets();
}

void OpenRtcp(char* address, unsigned short video_port, unsigned short audio_port, const Options& options)
{
    if (options.transport_stream || options.media != MEDIA_AUDIO)
        RTCPOpen(RTCP_STREAM_VIDEO, video_port, address, 1, RTP_SSRC);
    if (!options.transport_stream && options.media != MEDIA_VIDEO)
        RTCPOpen(RTCP_STREAM_AUDIO, audio_port, address, 1, RTP_SSRC);
}

int StreamQBoxFile(FILE* in, const Options& options, useconds_t gap_us)
{
    FILE* stamps = options.stamps ? fopen(options.stamps, "w") : nullptr;
    FILE* h264 = options.h264 ? fopen(options.h264, "wb") : nullptr;
    std::vector<UINT8> sample(SAMPLE_BUFFER_SIZE);
    unsigned int pictures = 0, audio_frames = 0;
    UINT32 last_cts = 0, first_cts = 0;
    long long first_video = -1, first_audio = -1;
    bool first = true, video_started = false;
    QBox header;
    while (ReadSample(in, sample, &header)) {
        if (first)
            first_cts = header.ulSampleCts;
        first = false;
        UINT8* payload = sample.data() + QBOX_HEADER_SIZE;
        if (Skipped(options, header, payload, first_cts, &video_started))
            continue;
        UINT32 box_size = header.ulBoxSize;
        if (h264 && header.usSampleStreamType == QBOX_STREAM_VIDEO)
            WriteAnnexB(h264, payload, box_size - QBOX_HEADER_SIZE);
        if (options.no_parameter_sets && header.usSampleStreamType == QBOX_STREAM_VIDEO)
            box_size = DropParameterSets(sample.data(), box_size);
        Pace(gap_us, header.ulSampleCts, &last_cts);
        g_sample_stamp = header.ulSampleCts;
        g_sample_rtp_stamp = -1;
        QBox2Streaming(sample.data(), (int)box_size);
        RTCPTick();
        char kind = 0;
        if (header.usSampleStreamType == QBOX_STREAM_AUDIO) {
            kind = 'a';
            ++audio_frames;
            if (first_audio < 0)
                first_audio = header.ulSampleCts;
        } else if (header.usSampleStreamType == QBOX_STREAM_VIDEO &&
                   HoldsPicture(payload, box_size - QBOX_HEADER_SIZE)) {
            kind = 'v';
            ++pictures;
            if (first_video < 0)
                first_video = header.ulSampleCts;
        } else if (header.usSampleStreamType == QBOX_STREAM_VIDEO) {
            kind = 'p';  // parameter sets only
        }
        if (stamps && kind && g_sample_rtp_stamp >= 0)
            fprintf(stamps, "%c %u %lld\n", kind, header.ulSampleCts, g_sample_rtp_stamp);
    }
    if (stamps)
        fclose(stamps);
    if (h264)
        fclose(h264);
    EndSession();
    printf("pictures=%u audio_frames=%u first_video_cts=%lld first_audio_cts=%lld video_packets=%u video_octets=%u "
           "audio_packets=%u audio_octets=%u\n",
           pictures, audio_frames, first_video, first_audio, g_packets[RTCP_STREAM_VIDEO], g_octets[RTCP_STREAM_VIDEO],
           g_packets[RTCP_STREAM_AUDIO], g_octets[RTCP_STREAM_AUDIO]);
    return 0;
}

bool ParseOption(int* argc, char*** argv, Options* options)
{
    const char* name = (*argv)[1];
    bool takes_value = strcmp(name, "--ts") != 0 && strcmp(name, "--no-parameter-sets") != 0;
    if (takes_value && *argc < 3)
        return false;
    const char* value = takes_value ? (*argv)[2] : nullptr;
    if (strcmp(name, "--ts") == 0)
        options->transport_stream = true;
    else if (strcmp(name, "--no-parameter-sets") == 0)
        options->no_parameter_sets = true;
    else if (strcmp(name, "--describe") == 0)
        options->describe = value;
    else if (strcmp(name, "--media") == 0)
        options->media = (unsigned int)atoi(value);
    else if (strcmp(name, "--skip-audio-ms") == 0)
        options->skip_audio_ms = (unsigned int)atoi(value);
    else if (strcmp(name, "--skip-video-ms") == 0)
        options->skip_video_ms = (unsigned int)atoi(value);
    else if (strcmp(name, "--stamps") == 0)
        options->stamps = value;
    else if (strcmp(name, "--h264") == 0)
        options->h264 = value;
    else
        return false;
    int used = takes_value ? 2 : 1;
    *argc -= used;
    *argv += used;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    while (argc > 1 && strncmp(argv[1], "--", 2) == 0) {
        if (!ParseOption(&argc, &argv, &options)) {
            fprintf(stderr, "unknown or incomplete option %s\n", argv[1]);
            return 2;
        }
    }
    if (argc != 6) {
        fprintf(stderr, "usage: rtp-send-qbox [options] FILE ADDRESS VIDEO_PORT AUDIO_PORT GAP_US\n");
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
    if (options.describe) {
        int status = Describe(in, options.describe, StreamParameters(address, video_port, audio_port, options.media));
        fclose(in);
        return status;
    }
    if (RTPOpen(audio_port, video_port, address, 1) != 1)
        return 1;
    OpenRtcp(address, video_port, audio_port, options);
    if (options.transport_stream) {
        unsigned int packets = StreamTransportStream(in, gap_us);
        fclose(in);
        EndSession();
        printf("ts_packets=%u\n", packets);
        return 0;
    }
    int status = StreamQBoxFile(in, options, gap_us);
    fclose(in);
    return status;
}
