// The client side of RTSP 1.0 (RFC 2326) as the publisher speaks it: the
// requests it sends, and what a server sends back on the connection,
// which mixes three kinds of message (RFC 2326, 10.12):
//
//   response     RTSP/1.0 SP status SP reason, header fields, a body
//   request      the server's own (GET_PARAMETER, OPTIONS, ANNOUNCE ...)
//   interleaved  '$', channel, 16-bit length, that many bytes (the
//                server's RTCP receiver reports over TCP)
//
// RtspClientTake reads one of them from the start of the connection's
// input buffer. Nothing a server sends is trusted: the text goes through
// textproto.h's bounded parser, an interleaved frame too long for the
// buffer is passed over in pieces, and every field the publisher uses
// (Session, Transport, Public) is checked before it is taken.
#ifndef VOZIREV_RTSPCLIENT_H
#define VOZIREV_RTSPCLIENT_H

#include "Types.h"
#include "textproto.h"

#define RTSP_VERSION "RTSP/1.0"
const UINT32 RTSP_INTERLEAVED_HEADER_SIZE = 4;
const UINT8 RTSP_INTERLEAVED_MAGIC = '$';
// A session identifier as the publisher keeps it, with its NUL; longer
// ones are refused.
const UINT32 RTSP_SESSION_ID_SIZE = 128;
// The session time-out when the server names none (RFC 2326, 12.37).
const UINT32 RTSP_DEFAULT_SESSION_TIMEOUT_S = 60;
const UINT32 RTSP_STATUS_UNAUTHORIZED = 401;
const UINT32 RTSP_STATUS_SESSION_NOT_FOUND = 454;

enum tRtspInputKind {
    RTSP_INPUT_INCOMPLETE,   // more bytes are needed
    RTSP_INPUT_RESPONSE,
    RTSP_INPUT_REQUEST,
    RTSP_INPUT_INTERLEAVED,
    RTSP_INPUT_REFUSED       // not RTSP, or over a limit: the connection cannot go on
};

struct tRtspInput {
    tRtspInputKind eKind;
    UINT32 ulConsumed;        // bytes of the buffer the item takes
    tTextMessage stMessage;   // a response or a request
    UINT8 ucChannel;          // an interleaved frame
    const UINT8* pucData;     // its bytes, or null when they do not fit the buffer
    UINT32 ulDataSize;
    UINT32 ulSkip;            // bytes of that frame still to come, to pass over
};

// The item at the start of pcBuffer (ulSize bytes, at most
// TEXT_BUFFER_SIZE). Returns *pInput's kind. An interleaved frame longer
// than the buffer is taken as far as it goes (pucData null) and ulSkip
// says how many of the bytes that follow belong to it.
tRtspInputKind RtspClientTake(const char* pcBuffer, UINT32 ulSize, tRtspInput* pInput);

// A response's CSeq is ulCSeq.
bool RtspAnswers(const tTextMessage* pResponse, UINT32 ulCSeq);
// The Session header (RFC 2326, 12.37): its identifier, and its timeout
// parameter or RTSP_DEFAULT_SESSION_TIMEOUT_S. False when there is none,
// or it is empty, too long or holds bytes a header line cannot repeat.
bool RtspSessionOf(const tTextMessage* pResponse, char szId[RTSP_SESSION_ID_SIZE], UINT32* pulTimeoutS);
// A "low-high" (or "low") pair of the Transport header's parameter
// szName ("interleaved", "server_port"), each at most ulMax. With no
// high, high is low + 1.
bool RtspTransportPair(const tTextMessage* pResponse, const char* szName, UINT32 ulMax, UINT32* pulLow,
                       UINT32* pulHigh);
// The Public header lists the method.
bool RtspPublicHas(const tTextMessage* pResponse, const char* szMethod);

// The start line and the common header fields of a request: CSeq, the
// User-Agent, and the Session once there is one ("" none).
void RtspPutRequest(tTextOut* pOut, const char* szMethod, const char* szUri, UINT32 ulCSeq, const char* szSession);

#endif
