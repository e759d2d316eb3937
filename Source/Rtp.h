// RTP (RFC 3550) of the encoder's samples: the packetisers and the UDP pair
// that -s 1 and -s 2 stream to.
//
// The packetisers build each packet's payload once and end in the emit step
// of rtpemit.h, which every attached stream delivers through its own
// transport:
//
//   H.264  single NAL unit packets and FU-A fragments (RFC 6184), the marker
//          on the last packet of each access unit that holds a picture
//   AAC    one frame per packet behind one AU header (RFC 3640, AAC-hbr),
//          the frame's stamp on the 48 kHz clock
//   MP2T   at most five 188-byte transport-stream packets per packet
//          (RFC 2250, payload type 33), the sample's stamp
//
// The UDP pair (RTPOpen .. CloseSockets) is one transport: a stream per
// medium (H.264 and the transport stream on the video port, AAC on the
// audio port) with its own sequence numbers, datagrams of one access unit
// sent together (sendmmsg), and RTCP per port pair (rtcp.h).
#ifndef VOZIREV_RTP_H
#define VOZIREV_RTP_H

#include <cstdint>

#include "QBox.h"
#include "WriteAACHeader.h"
#include "rtpemit.h"
#include "sockets.h"

struct tSample;
struct stInputParameters;

const int RTP_VERSION = 2;
const int RTP_HEADER_SIZE = (int)RTP_FIXED_HEADER_SIZE;
const int RTP_PAYLOAD_BUFFER_SIZE = 1734;
const unsigned char RTP_PT_AAC = 96;
const unsigned char RTP_PT_H264 = 97;
const unsigned char RTP_PT_MP2T = 33;
const unsigned int RTP_SSRC = 10023;  // 0x00002727, the UDP pair's streams

// H.264 payload limits: a NAL unit up to this size goes whole in one packet;
// longer units are cut into FU-A fragments of at most RTP_FU_FRAGMENT_SIZE
// bytes (12 + 2 + 1434 = 1448-byte packets).
const unsigned int RTP_MAX_SINGLE_NALU_SIZE = 1433;
const unsigned int RTP_FU_FRAGMENT_SIZE = 1434;
const unsigned char RTP_NALU_TYPE_FU_A = 28;

// The RTP clock of H.264 (RFC 6184) and of the transport stream (RFC 2250):
// the QBox clock, so the QBox stamp is the RTP time stamp.
const unsigned int RTP_VIDEO_CLOCK_HZ = QBOX_CLOCK_HZ;

// AAC: 2-byte AU-headers-length plus one 2-byte AU header
// (13-bit AU-size, 3-bit AU-Index). The RTP clock is the sampling rate.
const int RTP_AAC_AU_HEADERS_SIZE = 4;
const unsigned int RTP_AAC_CLOCK_HZ = AAC_SAMPLE_RATE_HZ;
// The largest raw frame a packet takes.
const unsigned int RTP_AAC_MAX_FRAME_SIZE = RTP_PAYLOAD_BUFFER_SIZE - RTP_AAC_AU_HEADERS_SIZE;

// MPEG-2 TS carriage: at most 5 transport packets per RTP packet.
const unsigned int RTP_TS_PACKETS_PER_DATAGRAM = 5;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the RTP bit-field records below assume a little-endian target"
#endif

// RTP fixed header. The bit fields are declared from the least significant
// bit of each byte (GCC's order on the little-endian targets), so byte 0 reads
// 0x80 and byte 1 is M:PT; SN, TS and SSRC are held in network byte order.
typedef struct rtp_header_t {
    unsigned char CC : 4;
    unsigned char X : 1;
    unsigned char P : 1;
    unsigned char V : 2;
    unsigned char PT : 7;
    unsigned char M : 1;
    unsigned short SN;
    unsigned int TS;
    unsigned int SSRC;
} rtp_header;

typedef struct rtp_package_t {
    rtp_header_t common_header;
    unsigned char payload[RTP_PAYLOAD_BUFFER_SIZE];
} rtp;

// Laid out like an H.264 NAL unit header; used as the FU indicator.
typedef struct rtp_payload_first_byte_t {
    unsigned char TYPE : 5;
    unsigned char NRI : 2;
    unsigned char F : 1;
} rtp_payload_first_byte;

typedef struct FU_header_t {
    unsigned char TYPE : 5;
    unsigned char R : 1;
    unsigned char E : 1;
    unsigned char S : 1;
} FU_header;

// ---- the packetisers -----------------------------------------------------------

// One sample record for the elementary streams: a video sample's units to
// the H.264 streams (the first packet of an IDR sample is a random access
// point; a stream that joins there without the sample's own parameter sets
// gets those in force first), an audio sample's frame to the AAC streams.
void RtpTakeSample(const tSample* pSample);

// The parameter sets in force (codecs.h) to one H.264 stream alone, with
// the time stamps of the picture they go in front of.
void RtpSendParameterSetsTo(tRtpStream* pStream, UINT32 ulRtpTime, INT64 llCaptureClock);

// Sends one whole QBox sample (header and payload); the buffer is only read.
int QBox2Streaming(unsigned char* inputdata, int inputdata_length);

// Sends one NAL unit (header byte first, no start code or length prefix).
// An empty unit, or one of a type outside 1..23, is not sent (returns 1).
// bEndOfAccessUnit: 1 when the unit ends its access unit (RFC 6184, 5.1),
// which puts the RTP marker on its last packet. 0 when no H.264 stream is
// attached.
unsigned RTPH264Stream(unsigned char* pbData, unsigned int lDataLength, unsigned int naluTS,
                       int bEndOfAccessUnit = 1);

// Sends one AAC frame, raw or behind a 7-byte ADTS header; its RTP time
// stamp is AacRtpTimestamp(RtpCaptureClock(timestamp)), the QBox stamp on
// the 48 kHz clock. 0 when the frame is too short or too long for a packet,
// or no AAC stream is attached.
unsigned RTPAACStream(unsigned char* pbData, unsigned int lDataLength, unsigned int timestamp);

// The capture clock of the streams: the QBox stamp (90 kHz) unwrapped to
// 64 bits on the run's one clock (sample.h). Video RTP time is this clock
// modulo 2^32.
int64_t RtpCaptureClock(unsigned int cts);
// The AAC stream's RTP time of a capture-clock time: (clock x 8 / 15),
// rounded down, modulo 2^32 (exact integer arithmetic, RTP_AAC_CLOCK_HZ).
unsigned int AacRtpTimestamp(int64_t llCaptureClock);

// Sends nTSPackets consecutive 188-byte transport-stream packets of the
// sample stamped esTS (the QBox stamp, also their RTP time stamp).
unsigned RTPTransportStream(unsigned char* pTSData, unsigned int nTSPackets, unsigned int esTS);
// The same with what the multiplex knows of them: bTimed, they belong to a
// sample (the tables that open the stream do not: RTP time 0, no time for
// the sender reports); bRandomAccess, they open with PAT and PMT in front
// of an access unit a receiver can start with.
void RtpTransportPackets(const UINT8* pTSData, UINT32 nTSPackets, UINT32 esTS, bool bTimed, bool bRandomAccess);
// Sends the tables that open the transport stream, which belong to no
// sample: RTP time stamp 0, and no time for the sender reports.
unsigned RTPTransportStreamTables(unsigned char* pTSData, unsigned int nTSPackets);

// One NAL unit into packets sent on hsocket (SOCK_DGRAM to to_address, else
// a connected stream socket) as payload type payloadtype, stream ssrc:
// *seqno goes up by one per packet. Returns 1, or 0 for an empty unit.
int SendRtpPackage(SOCKET hsocket, Sockaddr_in* to_address, int payloadtype, unsigned short* seqno,
                   unsigned int* timestamp, unsigned char* buf, int nalu_size, const unsigned int ssrc,
                   int socktype, int bEndOfAccessUnit = 1);
void RtpHeaderBuilder(rtp_header* rtp_header, int marker, unsigned char payloadtype, unsigned short seqno,
                      unsigned int timestamp, unsigned int ssrc);
int RtpPackageBuilder(rtp* rtp_package, unsigned char* buf, int rtp_payload_size, int padding, int marker,
                      int payloadtype, unsigned short seqno, unsigned int timestamp, unsigned int ssrc);
int RtpFragmentPayloadBuilder(rtp* rtp_package, rtp_payload_first_byte* rtppayload_hd, FU_header* FUhd,
                              unsigned char* buf, int nalu_size);

// ---- the UDP pair of -s 1 and -s 2 --------------------------------------------------

// Opens the audio and the video sending sockets towards cpIP (TTL cpttl for
// a multicast group) and attaches the pair's three streams. Returns 1, or 0
// when a socket could not be created after a few attempts; nothing is left
// open then.
unsigned RTPOpen(unsigned short laudioport, unsigned short lvideoport, char* cpIP, int cpttl);
// Keeps attached only the streams the run sends (-s 1: H.264 unless -m 1,
// AAC unless -m 2; -s 2: the transport stream), so that other transports
// of the same media do not reach the pair's ports.
void RTPUseStreams(const stInputParameters* pInput);

// Ends the RTCP of the streams (a BYE from each that sent, RTCPClose), then
// closes the RTP sockets.
void CloseSockets();

#endif
