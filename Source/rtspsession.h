// The sessions of the RTSP server (RFC 2326, 3): a bounded table of them,
// each with its id, its path, its state and the RTP streams its SETUPs
// chose (rtpsession.h), and what keeps it alive.
//
//   SETUP without Session   a new session (453 Not Enough Bandwidth past -S)
//   SETUP with Session      one more stream of it (the other track)
//   PLAY / PAUSE            its streams are attached to / taken off their
//                           medium; a live stream has no position, so PAUSE
//                           only stops the packets and the next PLAY starts
//                           again at the live point (the next IDR picture)
//   TEARDOWN, expiry, stop  its streams say BYE and the record is freed
//
// A session lives RtspSessionsTick's timeout after the last sign of its
// client: a request that names it or comes on the connection that set it
// up, or a receiver report about any of its streams. A session over TCP
// ends with its connection; one over UDP outlives it (the client may come
// back on a new connection with the session id) until it expires.
//
// Multicast streams are shared: every session of a path that asks for
// multicast gets the same group stream of that track (one packet to the
// group serves them all), which sends while any of them plays.
#ifndef VOZIREV_RTSPSESSION_H
#define VOZIREV_RTSPSESSION_H

#include "netserver.h"
#include "rtpsession.h"
#include "rtspserver.h"

// 16 hex digits (64 random bits, RFC 2326, 3.4 asks for at least 8
// octets of hard-to-guess id) and the NUL.
const UINT32 RTSP_SESSION_ID_SIZE = 17;
// A session's streams: trackID=0 (H.264 or the transport stream), trackID=1
// (AAC).
const UINT32 RTSP_TRACKS = 2;
// The paths: the elementary streams and the transport stream.
const UINT32 RTSP_PATH_ES = 0;
const UINT32 RTSP_PATH_TS = 1;
const UINT32 RTSP_PATHS = 2;

enum tRtspState { RTSP_STATE_READY, RTSP_STATE_PLAYING };

struct tRtspSession {
    bool bUsed;
    char szId[RTSP_SESSION_ID_SIZE];
    UINT32 ulPath;                   // RTSP_PATH_*
    tRtspState eState;
    tNetConnection* pConnection;     // the connection that set it up; null once it has gone
    char szClient[NET_PEER_SIZE];
    INT64 llLastSeenMs;
    tSessionStream* pStreams[RTSP_TRACKS];  // per track: its own stream or a group's; null not set up
    bool bShared[RTSP_TRACKS];
    tSessionStream stOwn[RTSP_TRACKS];
};

// The table of ulMaxSessions sessions. 0, or -1 without the memory.
int RtspSessionsOpen(UINT32 ulMaxSessions);
// Every session ends (BYE), the group streams too.
void RtspSessionsClose();

// A new session of a path for a client, or null when the table is full.
tRtspSession* RtspSessionNew(UINT32 ulPath, tNetConnection* pConnection, INT64 llNowMs);
// The session of an id (the Session header's value, parameters after ';'
// left out), or null.
tRtspSession* RtspSessionFind(const tTextSpan& id);
// The stream a track of the session sends on, newly set up: its own
// (initialised for the track's medium, the caller chooses its transport),
// or for multicast the group stream of the path's track (opened on first
// use). Null when the track is set up already, or the group cannot be
// had.
tSessionStream* RtspSessionOwnStream(tRtspSession* pSession, UINT32 ulTrack);
tSessionStream* RtspSessionGroupStream(tRtspSession* pSession, UINT32 ulTrack, const char* szGroup,
                                       UINT16 usPort, int iTtl);
// A track whose transport could not be set up after RtspSessionOwnStream.
void RtspSessionDropTrack(tRtspSession* pSession, UINT32 ulTrack);
void RtspSessionPlay(tRtspSession* pSession);
void RtspSessionPause(tRtspSession* pSession);
// Ends the session: BYE on its own streams, the group streams left to the
// sessions still using them.
void RtspSessionEnd(tRtspSession* pSession);

// A sign of life for every session of a connection (any request on it).
void RtspSessionsSeen(const tNetConnection* pConnection, INT64 llNowMs);
// The connection is closing: its TCP sessions end, the others forget it.
void RtspSessionsConnectionClosed(const tNetConnection* pConnection);
// The session of a connection whose stream uses an interleaved channel,
// and the stream, or null.
tSessionStream* RtspSessionsChannelStream(const tNetConnection* pConnection, UINT8 ucChannel, bool* pbRtcp);
// Whether a connection already uses an interleaved channel.
bool RtspSessionsChannelTaken(const tNetConnection* pConnection, UINT8 ucChannel);

// Expires sessions silent for llTimeoutMs, sends the reports that are due,
// and closes the connections whose interleaved transport failed.
void RtspSessionsTick(INT64 llNowMs, INT64 llTimeoutMs);

UINT32 RtspSessionsCount();
UINT64 RtspSessionsOpenedInAll();
void RtspSessionsForEachStream(void (*pfnEach)(void* pContext, const tRtspStreamFigures* pFigures), void* pContext);

#endif
