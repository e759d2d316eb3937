// RTCP (RFC 3550) for the capture program's RTP streams, as a sender that
// listens to no one. For each stream it sends compound packets to the port
// above the stream's RTP port, same address and multicast TTL:
//
//   sender report (SR) + source description (SDES, CNAME)  when reporting
//   SR or empty receiver report + SDES + BYE               when stopping
//
// A report carries the stream's packet and payload octet counts and a pair
// of time stamps: the RTP time stamp of the last packet sent and the wall
// clock (NTP) time of that packet's capture instant. The wall clock is
// anchored once per run, at the first sample sent, and every later instant
// is mapped from it by exact integer arithmetic on the capture clock (the
// QBox stamps unwrapped to 64 bits, RtpCaptureClock of Rtp.h), so the audio
// and the video stream name the same NTP time for the same QBox stamp, and
// the mapping does not drift over days.
//
// Report timing: the first report right after a stream's first RTP packet
// (receivers can line the streams up at once), then at RFC 3550's interval
// for a sender (6.2, 6.3.1): the 5 s minimum, randomised over 0.5..1.5 of
// it. The bandwidth term of the interval never wins here: a lone sender's
// ~100-byte compound packet every 5 s needs 160 bit/s, and 5% of the
// smallest stream (24 kbit/s AAC) is 1200 bit/s. The e - 3/2 compensation
// of 6.3.1 offsets timer reconsideration, which a sender that hears no
// member does not perform, so it is not applied.
//
// Every RTP stream that reports keeps a tRtcpSender: its counts, its last
// time stamps and its report timing. The UDP pair of -s 1/-s 2 (Rtp.cpp)
// has two, one per port pair, with their sockets here; other transports
// keep their own and send the compound packets RtcpSenderCompound builds.
//
// The capture run calls, on its one thread:
//   RTCPOpenStreams  after RTPOpen, for the streams the run sends
//   RTCPCountRtp     for each RTP datagram of the pair's streams (Rtp.cpp),
//   RTCPReportIfDue  once its batch has gone out
//   RTCPTick         once per turn of the capture loop
//   RTCPClose        at every stop, before the RTP sockets close
//                    (CloseSockets calls it)
#ifndef VOZIREV_RTCP_H
#define VOZIREV_RTCP_H

#include <time.h>

#include "Types.h"
#include "sockets.h"

struct stInputParameters;

// The streams, each on its own port pair.
const int RTCP_STREAM_VIDEO = 0;  // H.264 (-s 1) or the transport stream (-s 2), video port
const int RTCP_STREAM_AUDIO = 1;  // AAC (-s 1), audio port
const int RTCP_STREAM_COUNT = 2;

// RTCP packet types (RFC 3550, 12.1) and SDES items (6.5).
const UINT8 RTCP_VERSION = 2;
const UINT8 RTCP_PT_SR = 200;
const UINT8 RTCP_PT_RR = 201;
const UINT8 RTCP_PT_SDES = 202;
const UINT8 RTCP_PT_BYE = 203;
const UINT8 RTCP_SDES_END = 0;
const UINT8 RTCP_SDES_CNAME = 1;

// Packet sizes in bytes, report blocks left out (this sender receives
// nothing to report on).
const UINT32 RTCP_HEADER_SIZE = 4;
const UINT32 RTCP_SR_SIZE = 28;   // header, SSRC, NTP 8, RTP 4, packets 4, octets 4
const UINT32 RTCP_RR_SIZE = 8;    // header, SSRC
const UINT32 RTCP_BYE_SIZE = 8;   // header, one SSRC
const UINT32 RTCP_CNAME_MAX = 255;  // the item's length is one byte

// SDES packet of one chunk with one CNAME item: header, SSRC, type, length,
// the text, then at least one zero byte (the END item) up to a 32-bit
// boundary (RFC 3550, 6.5).
constexpr UINT32 RtcpSdesSize(UINT32 ulCnameLength)
{
    return RTCP_HEADER_SIZE + 4 + ((2 + ulCnameLength) / 4 + 1) * 4;
}
// The longest compound packet: SR, SDES, BYE.
const UINT32 RTCP_COMPOUND_MAX = RTCP_SR_SIZE + RtcpSdesSize(RTCP_CNAME_MAX) + RTCP_BYE_SIZE;

// Report interval (RFC 3550, 6.2).
const INT64 RTCP_MIN_INTERVAL_MS = 5000;

// NTP time stamps count from 1900; the Unix epoch is 70 years (17 leap
// days) later.
const UINT64 NTP_UNIX_EPOCH_OFFSET_S = 2208988800u;

// One reporting stream's figures (RFC 3550, 6.4.1), all counted modulo 2^32.
struct tRtcpSender {
    UINT32 ulSsrc;
    UINT32 ulPacketCount;       // RTP packets
    UINT32 ulOctetCount;        // RTP payload bytes
    bool bHasStamp;             // a packet that carries a sample has gone out
    UINT32 ulLastRtpStamp;      // that packet's RTP time stamp
    INT64 llLastCaptureClock;   // and its capture clock
    bool bReported;             // the first report has gone out
    UINT32 ulPacketsAtLastReport;
    UINT32 ulPacketsAtReportBefore;
    INT64 llNextReportMs;       // monotonic clock
};

// A new sender: nothing counted. The first sender of a process picks the
// CNAME.
void RtcpSenderStart(tRtcpSender* pSender, UINT32 ulSsrc);
// One RTP datagram (sent or not) of ulPayloadBytes behind its fixed header;
// a timed one (it carries a sample) also gives the stamps the next report
// names, and the first of the run anchors the wall clock.
void RtcpSenderCount(tRtcpSender* pSender, UINT32 ulRtpStamp, INT64 llCaptureClock, UINT32 ulPayloadBytes,
                     bool bTimed);
// A report is due: the first once a timed packet has gone out, then at
// the randomised interval.
bool RtcpSenderReportDue(const tRtcpSender* pSender, INT64 llNowMs);
// Anything has gone out (a BYE is sent only then, RFC 3550, 6.3.7).
bool RtcpSenderSentAnything(const tRtcpSender* pSender);
// Builds the compound packet into pucOut (RTCP_COMPOUND_MAX bytes) and
// takes the next report time from llNowMs; returns its size.
UINT32 RtcpSenderCompound(tRtcpSender* pSender, bool bBye, INT64 llNowMs, UINT8* pucOut);
// The monotonic clock of the report timing, in milliseconds.
INT64 RtcpNowMs();

// What a receiver said of one of our streams in a report block (RFC 3550,
// 6.4.1): the fraction lost since its last report (in 256ths), the packets
// lost in all, the highest sequence number received, the interarrival
// jitter in RTP time units.
struct tRtcpReceiverReport {
    UINT8 ucFractionLost;
    INT32 lCumulativeLost;
    UINT32 ulHighestSeq;
    UINT32 ulJitter;
};

// Walks a compound packet a receiver sent (RFC 3550, 6.1, with the checks
// of A.2: version 2, SR or RR first, lengths that add up to the packet) for
// the report block about ulSsrc. 1 with *pReport, 0 for a valid packet
// without one, -1 for bytes that are not a compound RTCP packet.
int RtcpFindReportBlock(const UINT8* pucPacket, UINT32 ulSize, UINT32 ulSsrc, tRtcpReceiverReport* pReport);

// The RTCP port of an RTP port: the port above it (RFC 3550, 11), also for
// an odd RTP port, which RFC 3550 does not expect (RTCP then lands on an
// even port; the session description names it with a=rtcp). -1 for 65535,
// which has no port above it: that stream goes without RTCP.
int RtcpPortFor(unsigned int ulRtpPort);

// Opens the RTCP socket of one stream: destination cpIP, port
// RtcpPortFor(usRtpPort), multicast TTL iTtl (as for the RTP socket), SSRC
// ulSsrc (the stream's RTP SSRC). Open only streams that will carry
// packets: an RTCP port that is the RTP port of another open stream is
// refused (the RTCP packets would land in that stream), whichever stream
// was opened first. The first open of a run picks the CNAME. Returns 1, or
// -1 with a message when the stream goes without RTCP.
int RTCPOpen(int iStream, unsigned short usRtpPort, char* cpIP, int iTtl, UINT32 ulSsrc);

// Opens RTCP for the streams a run sends (-s 1: H.264 unless -m 1, AAC
// unless -m 2; -s 2: the transport stream), towards -d with the TTL -t.
void RTCPOpenStreams(stInputParameters* pInput);

// One RTP datagram of the pair's stream has gone out (sent or not): its RTP
// time stamp, the capture clock of the sample it carries (RtpCaptureClock
// of its QBox stamp), its payload size (datagram less the 12-byte RTP
// header), and whether it carries a sample at all.
void RTCPCountRtp(int iStream, UINT32 ulRtpStamp, INT64 llCaptureClock, UINT32 ulPayloadBytes, bool bTimed);
// Sends the stream's first report once a timed packet has been counted and
// later ones when due: called when the counted packets have gone out, so
// that a report never counts a packet still on its way.
void RTCPReportIfDue(int iStream);
// Both at once, for one timed datagram.
void RTCPOnRtpSent(int iStream, UINT32 ulRtpStamp, INT64 llCaptureClock, UINT32 ulPayloadBytes);

// One RTP datagram that carries no sample (the PAT and PMT sent when the
// transport stream opens, with RTP stamp 0): counted, no time stamps taken.
void RTCPCountRtpSent(int iStream, UINT32 ulPayloadBytes);

// Sends the reports that are due, for streams that stopped sending too.
void RTCPTick();
// The RTP packets and payload bytes a stream of the pair has sent (the
// status); false when it is not open.
bool RTCPStreamCounts(int iStream, UINT32* pulPackets, UINT32* pulOctets);

// Ends every stream: a BYE from each that has sent anything (RFC 3550,
// 6.3.7), then its RTCP socket is closed. The next stream opened begins a
// new session with a new wall-clock anchor.
void RTCPClose();

// Where the module reads its clocks: CLOCK_MONOTONIC for the report timing,
// CLOCK_REALTIME for the wall-clock anchor. Tests drive time through it;
// nullptr restores clock_gettime.
typedef int (*RtcpClockFunc)(clockid_t clock, struct timespec* now);
void RTCPSetClock(RtcpClockFunc pClock);

#endif
