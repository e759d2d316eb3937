// The RTSP server (RFC 2326) of the capture program: recorders and players
// pull the run's live H.264 + AAC and its MPEG-TS over RTSP.
#ifndef VOZIREV_RTSPSERVER_H
#define VOZIREV_RTSPSERVER_H

#include "Types.h"
#include "captureparams.h"

// The paths served: the elementary streams (H.264 + AAC) and the MPEG-2
// transport stream.
#define RTSP_PATH_ELEMENTARY "/live"
#define RTSP_PATH_TRANSPORT_STREAM "/live.ts"
// Each connection's output queue (responses and interleaved packets): half
// a second of a 4 Mbit/s stream. A TCP client that falls further behind
// loses pictures up to its next IDR picture; one whose queue stays full
// for the stall time of netserver.h is dropped.
const UINT32 RTSP_CONNECTION_QUEUE_BYTES = 256 * 1024;

// Opens the server when the run asks for it (-R): listens and prints the
// URLs it serves. 0 (also when not asked for), -1 when the run must end
// (the reason is printed).
int RtspServerOpen(const stInputParameters* pInput);
bool RtspServerActive();
// Every session ends (BYE) and every connection closes.
void RtspServerClose();

// One stream of a session, as /status and /metrics report it.
struct tRtspStreamFigures {
    char szClient[16];         // the client's address
    const char* szTransport;   // "udp", "tcp" or "multicast"
    const char* szPath;        // "/live" or "/live.ts"
    const char* szMedium;      // "video", "audio" or "mp2t"
    UINT64 ullPacketsSent;
    UINT64 ullPacketsDropped;  // the client's queue could not take them
    bool bHasReport;           // the client has sent a receiver report
    double dFractionLost;      // from its last report, 0 to 1
    INT32 lCumulativeLost;
    double dJitterMs;
};
// Calls pfnEach for every stream of every session (none when the server
// is not open).
void RtspServerForEachStream(void (*pfnEach)(void* pContext, const tRtspStreamFigures* pFigures), void* pContext);
// Sessions open now, and since the start of the run.
UINT32 RtspServerSessionCount();
UINT64 RtspServerSessionsOpened();

#endif
