// The RTSP server's sessions and the multicast group streams they share.
#include "rtspsession.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "Rtp.h"
#include "codecs.h"
#include "sample.h"

namespace {

tRtspSession* sessions = nullptr;
UINT32 sessionCapacity = 0;
UINT32 sessionCount = 0;
UINT64 sessionsOpened = 0;

// The group streams of each path's tracks, and the sessions using and
// playing each.
struct tGroupStream {
    bool bOpen;
    tSessionStream stStream;
    UINT32 ulUsers;
    UINT32 ulPlaying;
};
tGroupStream groups[RTSP_PATHS][RTSP_TRACKS];

struct tTrackMedium {
    tRtpMedium eMedium;
    UINT8 ucPayloadType;
    UINT32 ulClockHz;
};

tTrackMedium MediumOf(UINT32 ulPath, UINT32 ulTrack)
{
    if (ulPath == RTSP_PATH_TS)
        return {RTP_MEDIUM_MP2T, RTP_PT_MP2T, RTP_VIDEO_CLOCK_HZ};
    if (ulTrack == 0)
        return {RTP_MEDIUM_H264, RTP_PT_H264, RTP_VIDEO_CLOCK_HZ};
    return {RTP_MEDIUM_AAC, RTP_PT_AAC, RTP_AAC_CLOCK_HZ};
}

void NewId(char* szId)
{
    UINT32 words[2] = {0, 0};
    if (getrandom(words, sizeof(words), GRND_NONBLOCK) != (ssize_t)sizeof(words)) {
        // No entropy yet (early boot): the clock still keeps ids apart.
        words[0] = (UINT32)NetNowMs();
        words[1] = (UINT32)sessionsOpened * 2654435761u;
    }
    snprintf(szId, RTSP_SESSION_ID_SIZE, "%08X%08X", words[0], words[1]);
}

tGroupStream* GroupOf(const tRtspSession* s, UINT32 ulTrack)
{
    return &groups[s->ulPath][ulTrack];
}

void StopTrack(tRtspSession* s, UINT32 ulTrack)
{
    tSessionStream* stream = s->pStreams[ulTrack];
    if (stream == nullptr)
        return;
    if (!s->bShared[ulTrack]) {
        SessionStreamClose(stream);
    } else {
        tGroupStream* g = GroupOf(s, ulTrack);
        if (s->eState == RTSP_STATE_PLAYING && --g->ulPlaying == 0)
            SessionStreamPause(&g->stStream);
        if (--g->ulUsers == 0) {
            SessionStreamClose(&g->stStream);
            g->bOpen = false;
        }
    }
    s->pStreams[ulTrack] = nullptr;
}

// The last sign of the client: a request, or a receiver report.
INT64 LastSeen(const tRtspSession* s)
{
    INT64 last = s->llLastSeenMs;
    for (UINT32 t = 0; t < RTSP_TRACKS; t++)
        if (s->pStreams[t] != nullptr && !s->bShared[t] && s->pStreams[t]->llLastReportMs > last)
            last = s->pStreams[t]->llLastReportMs;
    return last;
}

bool TransportFailed(const tRtspSession* s)
{
    for (UINT32 t = 0; t < RTSP_TRACKS; t++)
        if (s->pStreams[t] != nullptr && s->pStreams[t]->bFailed)
            return true;
    return false;
}

const char* TransportName(tTransportKind eKind)
{
    return eKind == TRANSPORT_UDP ? "udp" : eKind == TRANSPORT_TCP ? "tcp" : "multicast";
}

const char* MediumName(tRtpMedium eMedium)
{
    return eMedium == RTP_MEDIUM_H264 ? "video" : eMedium == RTP_MEDIUM_AAC ? "audio" : "mp2t";
}

void Figures(const tRtspSession* s, const tSessionStream* stream, tRtspStreamFigures* f)
{
    memset(f, 0, sizeof(*f));
    snprintf(f->szClient, sizeof(f->szClient), "%s", s->szClient);
    f->szTransport = TransportName(stream->eKind);
    f->szPath = s->ulPath == RTSP_PATH_TS ? RTSP_PATH_TRANSPORT_STREAM : RTSP_PATH_ELEMENTARY;
    f->szMedium = MediumName(stream->eMedium);
    f->ullPacketsSent = stream->ullPacketsSent;
    f->ullPacketsDropped = stream->ullPacketsDropped;
    f->bHasReport = stream->bHasReport;
    f->dFractionLost = stream->stReport.ucFractionLost / 256.0;
    f->lCumulativeLost = stream->stReport.lCumulativeLost;
    f->dJitterMs = stream->ulClockHz > 0 ? stream->stReport.ulJitter * 1000.0 / stream->ulClockHz : 0;
}

// A stream of the session's own starts. H.264 gets the parameter sets in
// force at once, stamped with the RTP time of the PLAY's RTP-Info, and
// then waits for the next IDR picture: its first packet is the one RTP-Info
// names, so that receivers that map RTP time from RTP-Info and the first
// packet's arrival (GStreamer's rtpbin) see no jump when the picture comes.
void StartOwn(tSessionStream* stream)
{
    SessionStreamPlay(stream);
    if (stream->eMedium != RTP_MEDIUM_H264 || !VideoCodecKnown(RunVideoCodec()))
        return;
    INT64 now = RunClockNow();
    RtpSendParameterSetsTo(&stream->stRtp, (UINT32)now, now);
    stream->stRtp.bWaitForRandomAccess = true;
}

}  // namespace

int RtspSessionsOpen(UINT32 ulMaxSessions)
{
    sessions = new (std::nothrow) tRtspSession[ulMaxSessions];
    if (sessions == nullptr)
        return -1;
    for (UINT32 i = 0; i < ulMaxSessions; i++)
        sessions[i].bUsed = false;
    sessionCapacity = ulMaxSessions;
    sessionCount = 0;
    for (auto& path : groups)
        for (tGroupStream& g : path)
            g = tGroupStream();
    return 0;
}

void RtspSessionsClose()
{
    for (UINT32 i = 0; i < sessionCapacity; i++)
        if (sessions[i].bUsed)
            RtspSessionEnd(&sessions[i]);
    delete[] sessions;
    sessions = nullptr;
    sessionCapacity = 0;
}

tRtspSession* RtspSessionNew(UINT32 ulPath, tNetConnection* pConnection, INT64 llNowMs)
{
    for (UINT32 i = 0; i < sessionCapacity; i++) {
        tRtspSession* s = &sessions[i];
        if (s->bUsed)
            continue;
        memset(s->pStreams, 0, sizeof(s->pStreams));
        s->bUsed = true;
        NewId(s->szId);
        s->ulPath = ulPath;
        s->eState = RTSP_STATE_READY;
        s->pConnection = pConnection;
        snprintf(s->szClient, sizeof(s->szClient), "%s", pConnection->szPeer);
        s->llLastSeenMs = llNowMs;
        sessionCount++;
        sessionsOpened++;
        return s;
    }
    return nullptr;
}

tRtspSession* RtspSessionFind(const tTextSpan& id)
{
    UINT32 size = 0;
    while (size < id.ulSize && id.pc[size] != ';' && id.pc[size] != ' ')
        size++;
    for (UINT32 i = 0; i < sessionCapacity; i++)
        if (sessions[i].bUsed && size == RTSP_SESSION_ID_SIZE - 1 && memcmp(sessions[i].szId, id.pc, size) == 0)
            return &sessions[i];
    return nullptr;
}

tSessionStream* RtspSessionOwnStream(tRtspSession* pSession, UINT32 ulTrack)
{
    if (ulTrack >= RTSP_TRACKS || pSession->pStreams[ulTrack] != nullptr)
        return nullptr;
    tTrackMedium m = MediumOf(pSession->ulPath, ulTrack);
    tSessionStream* stream = &pSession->stOwn[ulTrack];
    SessionStreamInit(stream, m.eMedium, m.ucPayloadType, m.ulClockHz);
    pSession->pStreams[ulTrack] = stream;
    pSession->bShared[ulTrack] = false;
    return stream;
}

tSessionStream* RtspSessionGroupStream(tRtspSession* pSession, UINT32 ulTrack, const char* szGroup,
                                       UINT16 usPort, int iTtl)
{
    if (ulTrack >= RTSP_TRACKS || pSession->pStreams[ulTrack] != nullptr)
        return nullptr;
    tGroupStream* g = GroupOf(pSession, ulTrack);
    if (!g->bOpen) {
        tTrackMedium m = MediumOf(pSession->ulPath, ulTrack);
        SessionStreamInit(&g->stStream, m.eMedium, m.ucPayloadType, m.ulClockHz);
        if (SessionStreamMulticast(&g->stStream, szGroup, usPort, iTtl) != 0)
            return nullptr;
        g->bOpen = true;
        g->ulUsers = g->ulPlaying = 0;
    }
    g->ulUsers++;
    if (pSession->eState == RTSP_STATE_PLAYING && g->ulPlaying++ == 0)
        SessionStreamPlay(&g->stStream);
    pSession->pStreams[ulTrack] = &g->stStream;
    pSession->bShared[ulTrack] = true;
    return &g->stStream;
}

void RtspSessionDropTrack(tRtspSession* pSession, UINT32 ulTrack)
{
    if (ulTrack < RTSP_TRACKS)
        StopTrack(pSession, ulTrack);
}

void RtspSessionPlay(tRtspSession* pSession)
{
    if (pSession->eState == RTSP_STATE_PLAYING)
        return;
    pSession->eState = RTSP_STATE_PLAYING;
    for (UINT32 t = 0; t < RTSP_TRACKS; t++) {
        if (pSession->pStreams[t] == nullptr)
            continue;
        if (!pSession->bShared[t])
            StartOwn(pSession->pStreams[t]);
        else if (GroupOf(pSession, t)->ulPlaying++ == 0)
            SessionStreamPlay(pSession->pStreams[t]);
    }
}

void RtspSessionPause(tRtspSession* pSession)
{
    if (pSession->eState != RTSP_STATE_PLAYING)
        return;
    pSession->eState = RTSP_STATE_READY;
    for (UINT32 t = 0; t < RTSP_TRACKS; t++) {
        if (pSession->pStreams[t] == nullptr)
            continue;
        if (!pSession->bShared[t] || --GroupOf(pSession, t)->ulPlaying == 0)
            SessionStreamPause(pSession->pStreams[t]);
    }
}

void RtspSessionEnd(tRtspSession* pSession)
{
    if (!pSession->bUsed)
        return;
    for (UINT32 t = 0; t < RTSP_TRACKS; t++)
        StopTrack(pSession, t);
    pSession->bUsed = false;
    sessionCount--;
}

void RtspSessionsSeen(const tNetConnection* pConnection, INT64 llNowMs)
{
    for (UINT32 i = 0; i < sessionCapacity; i++)
        if (sessions[i].bUsed && sessions[i].pConnection == pConnection)
            sessions[i].llLastSeenMs = llNowMs;
}

void RtspSessionsConnectionClosed(const tNetConnection* pConnection)
{
    for (UINT32 i = 0; i < sessionCapacity; i++) {
        tRtspSession* s = &sessions[i];
        if (!s->bUsed || s->pConnection != pConnection)
            continue;
        bool tcp = false;
        for (UINT32 t = 0; t < RTSP_TRACKS; t++)
            tcp = tcp || (s->pStreams[t] != nullptr && s->pStreams[t]->eKind == TRANSPORT_TCP);
        s->pConnection = nullptr;
        if (tcp)
            RtspSessionEnd(s);
    }
}

tSessionStream* RtspSessionsChannelStream(const tNetConnection* pConnection, UINT8 ucChannel, bool* pbRtcp)
{
    for (UINT32 i = 0; i < sessionCapacity; i++) {
        tRtspSession* s = &sessions[i];
        for (UINT32 t = 0; s->bUsed && s->pConnection == pConnection && t < RTSP_TRACKS; t++) {
            tSessionStream* stream = s->pStreams[t];
            if (stream == nullptr || stream->eKind != TRANSPORT_TCP)
                continue;
            if (stream->ucRtpChannel == ucChannel || stream->ucRtcpChannel == ucChannel) {
                *pbRtcp = stream->ucRtcpChannel == ucChannel;
                return stream;
            }
        }
    }
    return nullptr;
}

bool RtspSessionsChannelTaken(const tNetConnection* pConnection, UINT8 ucChannel)
{
    bool rtcp = false;
    return RtspSessionsChannelStream(pConnection, ucChannel, &rtcp) != nullptr;
}

void RtspSessionsTick(INT64 llNowMs, INT64 llTimeoutMs)
{
    for (UINT32 i = 0; i < sessionCapacity; i++) {
        tRtspSession* s = &sessions[i];
        if (!s->bUsed)
            continue;
        if (TransportFailed(s) && s->pConnection != nullptr) {
            NetConnectionClose(s->pConnection);  // its Closed hook ends the session
            continue;
        }
        if (llNowMs - LastSeen(s) > llTimeoutMs) {
            RtspSessionEnd(s);
            continue;
        }
        for (UINT32 t = 0; t < RTSP_TRACKS; t++)
            if (s->pStreams[t] != nullptr && !s->bShared[t])
                SessionStreamTick(s->pStreams[t], llNowMs);
    }
    for (auto& path : groups)
        for (tGroupStream& g : path)
            if (g.bOpen)
                SessionStreamTick(&g.stStream, llNowMs);
}

UINT32 RtspSessionsCount()
{
    return sessionCount;
}

UINT64 RtspSessionsOpenedInAll()
{
    return sessionsOpened;
}

void RtspSessionsForEachStream(void (*pfnEach)(void* pContext, const tRtspStreamFigures* pFigures), void* pContext)
{
    for (UINT32 i = 0; i < sessionCapacity; i++) {
        for (UINT32 t = 0; sessions[i].bUsed && t < RTSP_TRACKS; t++) {
            if (sessions[i].pStreams[t] == nullptr)
                continue;
            tRtspStreamFigures figures;
            Figures(&sessions[i], sessions[i].pStreams[t], &figures);
            pfnEach(pContext, &figures);
        }
    }
}
