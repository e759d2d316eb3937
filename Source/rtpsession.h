// One RTP stream of an RTSP session (a client of the server, or the
// publisher's connection to a media server): the transport its SETUP chose
// behind the emit step (rtpemit.h), its own RTP state, its sender reports,
// and what its receiver reports say.
//
//   UDP        the client's port pair; the stream's own socket pair, bound
//              to an even and the odd port above it (RFC 3550, 11), sends
//              RTP and RTCP and reads the client's receiver reports
//   TCP        interleaved on the RTSP connection (RFC 2326, 10.12): each
//              packet framed as '$', channel, 16-bit length, into the
//              connection's bounded queue (netqueue.h)
//   multicast  to a group and its port pair with the TTL of -t, from an
//              unbound socket, so that receivers on this host can bind the
//              group's ports
//
// A packet the queue cannot take is dropped, and a video stream (H.264 or
// the transport stream) then waits for the next random access point, so
// that a client that reads too slowly loses pictures up to its next IDR
// picture, never a part of one; no packet waits for a client. The first
// packet of each sample goes out at once, the rest of the sample in a
// batch (UDP) or with the end of the access unit (TCP), so that every
// client's first packet of a sample leaves within the time of one packet to
// each client. A stream
// attached by SessionStreamPlay waits for a random access point too (audio
// starts at once).
#ifndef VOZIREV_RTPSESSION_H
#define VOZIREV_RTPSESSION_H

#include "netloop.h"
#include "netqueue.h"
#include "rtcp.h"
#include "rtpemit.h"
#include "sockets.h"

enum tTransportKind { TRANSPORT_UDP, TRANSPORT_TCP, TRANSPORT_MULTICAST };

struct tSessionStream {
    tRtpMedium eMedium;
    tTransportKind eKind;
    UINT32 ulClockHz;
    tRtpStream stRtp;
    tRtcpSender stRtcp;
    bool bPlaying;
    bool bFailed;            // the transport broke (the connection's owner closes it)
    // UDP and multicast.
    int iRtpFd;
    int iRtcpFd;
    Sockaddr_in stRtpTo;
    Sockaddr_in stRtcpTo;
    UINT16 usServerRtpPort;  // UDP: the ports this stream sends from
    tUdpBatch* pBatch;
    tNetWatch stRtcpWatch;   // UDP: the client's receiver reports
    bool bSentSample;        // a packet has gone out, of the sample stamped ulSampleTime
    UINT32 ulSampleTime;
    // TCP.
    tNetQueue* pQueue;
    int iTcpFd;
    UINT8 ucRtpChannel;
    UINT8 ucRtcpChannel;
    tNetWatch* pTcpWatch;    // the connection's watch, told to wait for room when bytes are left (may be null)
    // Figures.
    UINT64 ullPacketsSent;
    UINT64 ullBytesSent;
    UINT64 ullPacketsDropped;
    bool bHasReport;
    tRtcpReceiverReport stReport;
    INT64 llLastReportMs;    // the client's last receiver report (a sign of life)
};

// A stream of a medium with the RTP clock ulClockHz: a random SSRC and a
// random first sequence number (RFC 3550, 5.1), no transport yet.
void SessionStreamInit(tSessionStream* pStream, tRtpMedium eMedium, UINT8 ucPayloadType, UINT32 ulClockHz);

// UDP towards szClientIp's port pair, from a pair of the server's own bound
// on szLocalIp. 0, or -1 when no socket pair could be had.
int SessionStreamUdp(tSessionStream* pStream, const char* szLocalIp, const char* szClientIp, UINT16 usClientRtp,
                     UINT16 usClientRtcp);
// The same in two steps, for a stream that names its own ports before it
// learns the peer's (a publisher's SETUP, RFC 2326, 12.39: client_port,
// then the answer's server_port): the bound pair, then the destination.
int SessionStreamUdpBind(tSessionStream* pStream, const char* szLocalIp);
int SessionStreamUdpTo(tSessionStream* pStream, const char* szPeerIp, UINT16 usPeerRtp, UINT16 usPeerRtcp);
// Interleaved on a connection's queue (fd: the connection, to send at once).
void SessionStreamTcp(tSessionStream* pStream, tNetQueue* pQueue, int fd, UINT8 ucRtpChannel, UINT8 ucRtcpChannel);
// To a multicast group's port pair. 0, or -1 when no socket could be had.
int SessionStreamMulticast(tSessionStream* pStream, const char* szGroup, UINT16 usPort, int iTtl);

// Starts sending (attached to its medium), or stops (detached).
void SessionStreamPlay(tSessionStream* pStream);
void SessionStreamPause(tSessionStream* pStream);
// Stops, says BYE when it sent anything, and closes what it opened.
void SessionStreamClose(tSessionStream* pStream);

// Sends a sender report when one is due.
void SessionStreamTick(tSessionStream* pStream, INT64 llNowMs);
// A compound RTCP packet from the client (its UDP socket, or an interleaved
// channel): a receiver report about this stream is kept.
void SessionStreamTakeRtcp(tSessionStream* pStream, const UINT8* pucPacket, UINT32 ulSize, INT64 llNowMs);

// RTP-Info of a PLAY (RFC 2326, 12.33): the sequence number of the next
// packet, and the RTP time of the latest sample.
UINT16 SessionStreamNextSeq(const tSessionStream* pStream);
UINT32 SessionStreamRtpTimeNow(const tSessionStream* pStream);

#endif
