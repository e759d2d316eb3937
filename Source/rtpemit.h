// The emit step of the RTP packetisers (RFC 3550): each packetiser (H.264,
// AAC, MPEG-2 TS) builds the payload of every packet once and hands it to
// RtpEmit; every RTP stream attached to that medium puts its own fixed
// header on it (its payload type, SSRC and sequence number) and its
// transport delivers the packet: the UDP pair of -s 1/-s 2, and any other
// transport that attaches a stream. No packetiser knows a socket.
//
//   packetiser --tRtpPayload--> RtpEmit(medium) --> stream 1: header --> transport 1
//                                               --> stream 2: header --> transport 2 ...
//   end of the packetiser's batch (an access unit, a frame, a run of
//   transport packets): RtpFlush(medium), so that transports that batch
//   datagrams (sendmmsg) send them while the payload bytes are still valid.
//
// A stream may wait for a random access point: it takes nothing until a
// packet marked bRandomAccess (the first packet of an IDR access unit, or a
// run of transport packets that opens with PAT and PMT in front of one), so
// that a receiver that joins late starts where it can decode.
#ifndef VOZIREV_RTPEMIT_H
#define VOZIREV_RTPEMIT_H

#include "Types.h"

const UINT32 RTP_FIXED_HEADER_SIZE = 12;
// Payload header bytes a packetiser puts before the data: the FU indicator
// and FU header (RFC 6184, 5.8) or the AU-headers-length and one AU header
// (RFC 3640, 3.2.1).
const UINT32 RTP_PAYLOAD_HEAD_MAX = 4;

enum tRtpMedium { RTP_MEDIUM_H264, RTP_MEDIUM_AAC, RTP_MEDIUM_MP2T, RTP_MEDIUM_COUNT };

// One packet as a packetiser emits it: everything but the fixed header.
struct tRtpPayload {
    UINT8 ucHead[RTP_PAYLOAD_HEAD_MAX];
    UINT32 ulHeadSize;
    const UINT8* pucBody;   // the data; valid until RtpFlush
    UINT32 ulBodySize;
    UINT32 ulRtpTime;       // the RTP time stamp
    INT64 llCaptureClock;   // the sample's stamp on the run's 64-bit 90 kHz clock
    bool bMarker;
    bool bTimed;            // carries a sample, whose time the sender reports may name
    bool bRandomAccess;     // a receiver can start here
};

struct tRtpStream;
// Delivers one packet: pucHeader holds the stream's 12-byte fixed header.
typedef void (*tRtpDeliver)(tRtpStream* pStream, const UINT8* pucHeader, const tRtpPayload* pPayload);
// Sends what the transport batched (may be null).
typedef void (*tRtpFlushFn)(tRtpStream* pStream);

// One medium towards one transport, with its own RTP state.
struct tRtpStream {
    UINT8 ucPayloadType;
    UINT32 ulSsrc;
    UINT16 usNextSeq;
    bool bWaitForRandomAccess;
    tRtpDeliver pfnDeliver;
    tRtpFlushFn pfnFlush;
    void* pContext;         // the transport's own record
    tRtpStream* pNext;      // the medium's next stream (the emit step's)
};

// Attaches a stream to a medium (once), or takes it off (nothing when it
// is not attached). A stream is taken off before its record goes away.
void RtpAttach(tRtpMedium medium, tRtpStream* pStream);
void RtpDetach(tRtpMedium medium, tRtpStream* pStream);
bool RtpHasStreams(tRtpMedium medium);

// The emit step: every stream of the medium that takes the packet stamps
// its header on it (and advances its sequence number) and delivers it.
void RtpEmit(tRtpMedium medium, const tRtpPayload* pPayload);
// The same for one stream alone (a stream that needs packets the others
// have had: the parameter sets in force for one that joins late).
void RtpEmitTo(tRtpStream* pStream, const tRtpPayload* pPayload);
// The first stream of a medium (then pNext), for a packetiser that looks
// at the streams waiting for a random access point.
tRtpStream* RtpFirstStream(tRtpMedium medium);
// The end of a packetiser's batch: every stream of the medium flushes.
void RtpFlush(tRtpMedium medium);

// The 12-byte fixed header (RFC 3550, 5.1): V 2, no padding, extension or
// CSRC, the marker, payload type, sequence number, time stamp and SSRC.
UINT8* PutRtpHeader(UINT8* p, bool bMarker, UINT8 ucPayloadType, UINT16 usSeq, UINT32 ulTime, UINT32 ulSsrc);

#endif
