// vozirev-sdp: prints the session description (RFC 4566) that a receiver
// such as ffplay, VLC or ffmpeg needs to open the capture program's RTP
// streams. It takes the capture program's own options and reads the ones
// that shape the streams: -s (elementary streams or transport stream), -m
// (media type), -d (destination), -t (multicast TTL), -x and -y (ports).
//
//   vozirev-sdp -s 1 -d 239.1.2.3 -t 16 > stream.sdp
//   ffplay -protocol_whitelist file,udp,rtp stream.sdp
#include <arpa/inet.h>

#include <cstdio>

#include "Rtp.h"
#include "captureparams.h"

namespace {

const unsigned int STREAMING_ELEMENTARY = 1;
const unsigned int STREAMING_TRANSPORT = 2;
const unsigned int MEDIA_AUDIO = 1;
const unsigned int MEDIA_VIDEO = 2;
const unsigned int MEDIA_AUDIO_VIDEO = 3;
const unsigned int TTL_MIN = 1;
const unsigned int TTL_MAX = 255;

const unsigned int RTP_CLOCK_90KHZ = 90000;
// The encoder's audio: AAC-LC, 48 kHz, 2 channels. The RTP clock of the AAC
// stream is its sampling rate (1024 ticks per frame).
const unsigned int AAC_SAMPLE_RATE = 48000;
const unsigned int AAC_CHANNELS = 2;
// AudioSpecificConfig (ISO/IEC 14496-3): object type 2 (LC), frequency
// index 3 (48000 Hz), channel configuration 2.
const char AAC_CONFIG[] = "1190";
// Profile and level of the AAC stream: AAC Profile, level 2.
const unsigned int AAC_PROFILE_LEVEL_ID = 41;

// SDP lines end with CR LF.
#define EOL "\r\n"

int Refuse(const char* message)
{
    fprintf(stderr, "%s\n", message);
    return 1;
}

void PrintSession(const stInputParameters& input, bool multicast)
{
    printf("v=0" EOL);
    printf("o=- 0 0 IN IP4 127.0.0.1" EOL);
    printf("s=Vozirev capture" EOL);
    if (multicast)
        printf("c=IN IP4 %s/%u" EOL, input.IP_Addr, input.ucttl);
    else
        printf("c=IN IP4 %s" EOL, input.IP_Addr);
    printf("t=0 0" EOL);
}

// RFC 6184: single NAL unit and FU-A packets, parameter sets in band.
void PrintH264Media(unsigned int port)
{
    printf("m=video %u RTP/AVP %u" EOL, port, RTP_PT_H264);
    printf("a=rtpmap:%u H264/%u" EOL, RTP_PT_H264, RTP_CLOCK_90KHZ);
    printf("a=fmtp:%u packetization-mode=1" EOL, RTP_PT_H264);
}

// RFC 3640 AAC-hbr: one AU header of 13-bit size and 3-bit index per packet.
void PrintAacMedia(unsigned int port)
{
    printf("m=audio %u RTP/AVP %u" EOL, port, RTP_PT_AAC);
    printf("a=rtpmap:%u mpeg4-generic/%u/%u" EOL, RTP_PT_AAC, AAC_SAMPLE_RATE, AAC_CHANNELS);
    printf("a=fmtp:%u streamtype=5; profile-level-id=%u; mode=AAC-hbr; config=%s; "
           "sizelength=13; indexlength=3; indexdeltalength=3" EOL,
           RTP_PT_AAC, AAC_PROFILE_LEVEL_ID, AAC_CONFIG);
}

// RFC 2250 / RFC 3551: static payload type 33.
void PrintTransportStreamMedia(unsigned int port)
{
    printf("m=video %u RTP/AVP %u" EOL, port, RTP_PT_MP2T);
    printf("a=rtpmap:%u MP2T/%u" EOL, RTP_PT_MP2T, RTP_CLOCK_90KHZ);
}

}  // namespace

int main(int argc, char** argv)
{
    stInputParameters input;
    if (get_cmdline_parameters(&input, argc, argv) != 0)
        return 1;  // the usage text has been shown

    if (input.ulStreaming != STREAMING_ELEMENTARY && input.ulStreaming != STREAMING_TRANSPORT)
        return Refuse("Invalid Streaming Format. Use 1 or 2.");
    if (input.ulStreaming == STREAMING_ELEMENTARY && input.ulMediaFormat != MEDIA_AUDIO &&
        input.ulMediaFormat != MEDIA_VIDEO && input.ulMediaFormat != MEDIA_AUDIO_VIDEO)
        return Refuse("Invalid Media Format. Use 1, 2 or 3.");
    in_addr destination;
    if (inet_pton(AF_INET, input.IP_Addr, &destination) != 1)
        return Refuse("Invalid destination address. Use a dotted IPv4 address.");
    bool multicast = IsClassD(input.IP_Addr) != 0;
    if (multicast && (input.ucttl < TTL_MIN || input.ucttl > TTL_MAX))
        return Refuse("Invalid ttl value. Use (1-255)");

    PrintSession(input, multicast);
    if (input.ulStreaming == STREAMING_TRANSPORT) {
        PrintTransportStreamMedia(input.Video_Port);
    } else {
        if (input.ulMediaFormat != MEDIA_AUDIO)
            PrintH264Media(input.Video_Port);
        if (input.ulMediaFormat != MEDIA_VIDEO)
            PrintAacMedia(input.Audio_Port);
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
