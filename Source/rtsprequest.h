// The RTSP server's requests (RFC 2326): what a client's connection
// brings in, request by request, and the answer to each.
//
//   OPTIONS        the methods below (Public)
//   DESCRIBE       the path's session description (sdp.h) with Content-Base;
//                  for H.264 only once the encoder's parameter sets are
//                  known: until then the request waits up to
//                  RTSP_DESCRIBE_WAIT_MS, then 503 with Retry-After
//   SETUP          one track over UDP, TCP interleaved or multicast
//                  (RtspChooseTransport), a new session or one more track
//                  of the one named
//   PLAY           the session's tracks start at the live point; RTP-Info
//                  (url, seq, rtptime) and Range: npt=now-
//   PAUSE          they stop (a live stream cannot hold its position)
//   TEARDOWN       the session ends (BYE)
//   GET_PARAMETER, SET_PARAMETER   keep-alive (a body asks for parameters
//                  there are none of: 451)
//
// Every answer carries the request's CSeq. With a credentials file every
// request must authenticate (auth.h), else 401 with the challenges. A
// request the parser refuses is answered with its status (400, 413 for the
// header section, 414 for the request line, 505) and the connection closes
// once the answer has gone. Between requests a client may send
// interleaved frames ('$', channel, 16-bit length, RFC 2326 10.12): the
// receiver reports on a session's RTCP channel are read, anything else on
// its channels passed over; on a connection without an interleaved session
// such a frame is refused (400, closed).
#ifndef VOZIREV_RTSPREQUEST_H
#define VOZIREV_RTSPREQUEST_H

#include "captureparams.h"
#include "netserver.h"
#include "rtpsession.h"

const INT64 RTSP_DESCRIBE_WAIT_MS = 2000;
const UINT32 RTSP_RETRY_AFTER_S = 1;
const UINT32 RTSP_MAX_BODY = 4096;
// The first client port a SETUP may name: below it are the ports of the
// system's services, which the server never sends to.
const UINT16 RTSP_LOWEST_CLIENT_PORT = 1024;
// The multicast ports (RFC 3551's 5004 first): /live's H.264 and AAC pairs,
// then /live.ts's pair.
const UINT16 RTSP_MULTICAST_PORT_BASE = 5004;

// RTSP statuses of RFC 2326 (7.1.1) that the server answers with.
const UINT32 RTSP_OK = 200;
const UINT32 RTSP_BAD_REQUEST = 400;
const UINT32 RTSP_UNAUTHORIZED = 401;
const UINT32 RTSP_FORBIDDEN = 403;
const UINT32 RTSP_NOT_FOUND = 404;
const UINT32 RTSP_METHOD_NOT_ALLOWED = 405;
const UINT32 RTSP_ENTITY_TOO_LARGE = 413;
const UINT32 RTSP_URI_TOO_LARGE = 414;
const UINT32 RTSP_PARAMETER_NOT_UNDERSTOOD = 451;
const UINT32 RTSP_NOT_ENOUGH_BANDWIDTH = 453;
const UINT32 RTSP_SESSION_NOT_FOUND = 454;
const UINT32 RTSP_NOT_VALID_IN_STATE = 455;
const UINT32 RTSP_AGGREGATE_NOT_ALLOWED = 459;
const UINT32 RTSP_UNSUPPORTED_TRANSPORT = 461;
const UINT32 RTSP_INTERNAL_ERROR = 500;
const UINT32 RTSP_NOT_IMPLEMENTED = 501;
const UINT32 RTSP_UNAVAILABLE = 503;
const UINT32 RTSP_VERSION_NOT_SUPPORTED = 505;
const UINT32 RTSP_OPTION_NOT_SUPPORTED = 551;

// What the server serves and how (the RTSP server fills it at open).
struct tRtspConfig {
    const stInputParameters* pInput;  // -m, -w, -h, -f for the descriptions
    UINT16 usPort;                    // in the URLs
    const char* szMulticastGroup;     // -M, "" none
    int iTtl;                         // -t
    UINT32 ulTimeoutS;                // -T
};
void RtspRequestsConfigure(const tRtspConfig* pConfig);

// One transport of a SETUP's Transport header (RFC 2326, 12.39).
struct tRtspTransport {
    tTransportKind eKind;
    bool bClientPorts;
    UINT16 usClientRtp;
    UINT16 usClientRtcp;
    bool bChannels;
    UINT8 ucRtpChannel;
    UINT8 ucRtcpChannel;
    bool bDestination;
    char szDestination[NET_PEER_SIZE];
};
// The first transport of the header's list the server can use (RTP/AVP
// over UDP, TCP or multicast, mode PLAY, client ports from
// RTSP_LOWEST_CLIENT_PORT, channels 0 to 255). RTSP_OK, or
// RTSP_UNSUPPORTED_TRANSPORT when none is.
UINT32 RtspChooseTransport(const tTextSpan& header, tRtspTransport* pTransport);

// The server's connection hooks (netserver.h).
int RtspInput(tNetConnection* pConnection, INT64 llNowMs);
void RtspClosed(tNetConnection* pConnection);
// Answers the DESCRIBEs that wait for the parameter sets once they are
// known or the wait is over.
void RtspRequestsTick(tNetServer* pServer, INT64 llNowMs);

#endif
