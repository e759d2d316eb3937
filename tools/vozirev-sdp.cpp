// vozirev-sdp: prints the session description (RFC 4566) that a receiver
// such as ffplay, VLC or ffmpeg needs to open the capture program's RTP
// streams. It takes the capture program's own options and reads the ones
// that shape the streams: -s (elementary streams or transport stream), -m
// (media type), -d (destination), -t (multicast TTL), -x and -y (ports),
// and -w, -h and -f, from which the H.264 profile-level-id follows as the
// encoder picks it (Constrained Baseline, the level of the picture size and
// rate). The parameter sets are not known here: the capture program's own
// session description (written once they arrive) also carries them.
//
//   vozirev-sdp -s 1 -d 239.1.2.3 -t 16 > stream.sdp
//   ffplay -protocol_whitelist file,udp,rtp stream.sdp
#include <arpa/inet.h>

#include <cstdio>

#include "captureparams.h"
#include "sdp.h"
#include "sockets.h"

namespace {

const unsigned int TTL_MIN = 1;
const unsigned int TTL_MAX = 255;

int Refuse(const char* message)
{
    fprintf(stderr, "%s\n", message);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    stInputParameters input;
    if (get_cmdline_parameters(&input, argc, argv) != 0)
        return 1;  // the usage text has been shown

    if (input.ulStreaming != STREAM_RTP_ES && input.ulStreaming != STREAM_RTP_TS)
        return Refuse("Invalid Streaming Format. Use 1 or 2.");
    if (input.ulStreaming == STREAM_RTP_ES &&
        (input.ulMediaFormat < MEDIA_FORMAT_AUDIO || input.ulMediaFormat > MEDIA_FORMAT_AUDIO_VIDEO))
        return Refuse("Invalid Media Format. Use 1, 2 or 3.");
    in_addr destination;
    if (inet_pton(AF_INET, input.IP_Addr, &destination) != 1)
        return Refuse("Invalid destination address. Use a dotted IPv4 address.");
    if (IsClassD(input.IP_Addr) && (input.ucttl < TTL_MIN || input.ucttl > TTL_MAX))
        return Refuse("Invalid ttl value. Use (1-255)");

    stSdpDescription description;
    SdpFromParameters(&description, &input);
    char text[SDP_TEXT_MAX];
    if (SdpFormat(&description, text, sizeof(text)) < 0)
        return Refuse("The session description does not fit.");
    fputs(text, stdout);
    return fflush(stdout) == 0 ? 0 : 1;
}
