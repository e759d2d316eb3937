// The RTSP server's requests and answers.
#include "rtsprequest.h"

#include <arpa/inet.h>
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "auth.h"
#include "byteorder.h"
#include "codecs.h"
#include "rtspsession.h"
#include "sdp.h"

namespace {

const char* const RTSP_PROTOCOL = "RTSP/1.0";
const char* const RTSP_PUBLIC =
    "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, SET_PARAMETER";
const char* const PATH_NAMES[RTSP_PATHS] = {RTSP_PATH_ELEMENTARY, RTSP_PATH_TRANSPORT_STREAM};
const UINT32 REPLY_MAX = SDP_TEXT_MAX + 2048;
const UINT32 URL_MAX = 96;  // rtsp://, a dotted address, a port, a path and a track
const UINT8 INTERLEAVED_MAGIC = '$';
const UINT32 INTERLEAVED_HEADER_SIZE = 4;
const UINT32 CHANNEL_MAX = 255;

tRtspConfig config = {nullptr, 0, "", 1, 60};

// The protocol's record of a connection.
struct tRtspConnection {
    INT64 llDescribeSinceMs;  // a DESCRIBE waits for the parameter sets since; 0 none
    UINT32 ulSkip;            // bytes of an interleaved frame too large to hold, still to pass over
};

// A request being answered.
struct tRequest {
    tNetConnection* pConnection;
    const tTextMessage* pMessage;
    tTextSpan stCSeq;
    int iPath;   // RTSP_PATH_*, -1 none of ours
    int iTrack;  // -1 the aggregate URL
    INT64 llNowMs;
};

struct tReply {
    char ac[REPLY_MAX];
    tTextOut stOut;
};

const char* Reason(UINT32 ulStatus)
{
    switch (ulStatus) {
    case RTSP_OK: return "OK";
    case RTSP_BAD_REQUEST: return "Bad Request";
    case RTSP_UNAUTHORIZED: return "Unauthorized";
    case RTSP_FORBIDDEN: return "Forbidden";
    case RTSP_NOT_FOUND: return "Not Found";
    case RTSP_METHOD_NOT_ALLOWED: return "Method Not Allowed";
    case RTSP_ENTITY_TOO_LARGE: return "Request Entity Too Large";
    case RTSP_URI_TOO_LARGE: return "Request-URI Too Large";
    case RTSP_PARAMETER_NOT_UNDERSTOOD: return "Parameter Not Understood";
    case RTSP_NOT_ENOUGH_BANDWIDTH: return "Not Enough Bandwidth";
    case RTSP_SESSION_NOT_FOUND: return "Session Not Found";
    case RTSP_NOT_VALID_IN_STATE: return "Method Not Valid in This State";
    case RTSP_AGGREGATE_NOT_ALLOWED: return "Aggregate Operation Not Allowed";
    case RTSP_UNSUPPORTED_TRANSPORT: return "Unsupported Transport";
    case RTSP_NOT_IMPLEMENTED: return "Not Implemented";
    case RTSP_UNAVAILABLE: return "Service Unavailable";
    case RTSP_VERSION_NOT_SUPPORTED: return "RTSP Version Not Supported";
    case RTSP_OPTION_NOT_SUPPORTED: return "Option not supported";
    default: return "Internal Server Error";
    }
}

// RTSP 1.0 has no 431: a header section too large is 413.
UINT32 StatusOfRefusal(UINT32 ulStatus)
{
    return ulStatus == TEXT_STATUS_HEADERS_TOO_LARGE ? RTSP_ENTITY_TOO_LARGE : ulStatus;
}

void StartReply(tReply* pReply, UINT32 ulStatus, const tTextSpan& cseq)
{
    TextOutStart(&pReply->stOut, pReply->ac, sizeof(pReply->ac));
    TextPut(&pReply->stOut, "%s %u %s\r\n", RTSP_PROTOCOL, ulStatus, Reason(ulStatus));
    if (cseq.ulSize > 0)
        TextPut(&pReply->stOut, "CSeq: %.*s\r\n", (int)cseq.ulSize, cseq.pc);
    TextPut(&pReply->stOut, "Server: Vozirev\r\n");
}

// The header section ends (a body of ulBodySize bytes may follow) and the
// answer goes into the connection's queue.
void SendReply(tNetConnection* c, tReply* pReply, const char* pcBody, UINT32 ulBodySize)
{
    if (ulBodySize > 0)
        TextPut(&pReply->stOut, "Content-Length: %u\r\n", ulBodySize);
    TextPut(&pReply->stOut, "\r\n");
    if (ulBodySize > 0)
        TextPutBytes(&pReply->stOut, pcBody, ulBodySize);
    if (pReply->stOut.bOverflow) {
        tTextSpan none = {"", 0};
        StartReply(pReply, RTSP_INTERNAL_ERROR, none);
        TextPut(&pReply->stOut, "\r\n");
    }
    NetConnectionSend(c, pReply->ac, pReply->stOut.ulUsed);
}

void SendStatus(const tRequest* r, UINT32 ulStatus)
{
    tReply reply;
    StartReply(&reply, ulStatus, r->stCSeq);
    if (ulStatus == RTSP_UNAVAILABLE)
        TextPut(&reply.stOut, "Retry-After: %u\r\n", RTSP_RETRY_AFTER_S);
    if (ulStatus == RTSP_METHOD_NOT_ALLOWED)
        TextPut(&reply.stOut, "Allow: %s\r\n", RTSP_PUBLIC);
    SendReply(r->pConnection, &reply, nullptr, 0);
}

// ---- URLs ------------------------------------------------------------------------------

// The path of a request target: "rtsp://host[:port]/path" or "/path",
// without a query.
tTextSpan PathOf(const tTextSpan& target)
{
    const char* p = target.pc;
    const char* end = target.pc + target.ulSize;
    const char* const SCHEME = "rtsp://";
    const UINT32 SCHEME_SIZE = 7;
    if (target.ulSize >= SCHEME_SIZE && strncasecmp(p, SCHEME, SCHEME_SIZE) == 0) {
        p += SCHEME_SIZE;
        while (p < end && *p != '/')
            p++;
    }
    const char* q = p;
    while (q < end && *q != '?')
        q++;
    while (q > p && q[-1] == '/')
        q--;
    return {p, (UINT32)(q - p)};
}

bool TrackExists(int iPath, int iTrack)
{
    UINT32 media = config.pInput->ulMediaFormat;
    if (iPath == (int)RTSP_PATH_TS)
        return iTrack == (int)SDP_TRACK_VIDEO;
    return (iTrack == (int)SDP_TRACK_VIDEO && media != MEDIA_FORMAT_AUDIO) ||
           (iTrack == (int)SDP_TRACK_AUDIO && media != MEDIA_FORMAT_VIDEO);
}

// Which path and track a target names: the aggregate URL, or a track's
// control URL ("/trackID=N").
void ResolveTarget(const tTextSpan& target, int* piPath, int* piTrack)
{
    *piPath = *piTrack = -1;
    tTextSpan path = PathOf(target);
    for (UINT32 p = 0; p < RTSP_PATHS; p++) {
        UINT32 n = (UINT32)strlen(PATH_NAMES[p]);
        if (path.ulSize < n || strncmp(path.pc, PATH_NAMES[p], n) != 0)
            continue;
        tTextSpan rest = {path.pc + n, path.ulSize - n};
        if (rest.ulSize == 0) {
            *piPath = (int)p;
            return;
        }
        const char* const TRACK = "/" SDP_TRACK_PREFIX;
        UINT32 t = (UINT32)strlen(TRACK);
        if (rest.ulSize == t + 1 && strncmp(rest.pc, TRACK, t) == 0 && rest.pc[t] >= '0' && rest.pc[t] <= '1' &&
            TrackExists((int)p, rest.pc[t] - '0')) {
            *piPath = (int)p;
            *piTrack = rest.pc[t] - '0';
            return;
        }
    }
}

// The aggregate URL of a path as this connection reaches the server.
void AggregateUrl(const tNetConnection* c, UINT32 ulPath, char* szOut, UINT32 ulSize)
{
    snprintf(szOut, ulSize, "rtsp://%s:%u%s", c->szLocal, (unsigned int)config.usPort, PATH_NAMES[ulPath]);
}

// ---- transports --------------------------------------------------------------------

// "a-b" or "a": two numbers up to ulMax, b = a + 1 when it is left out.
bool ParseRange(const tTextSpan& value, UINT32 ulMax, UINT32* pulFirst, UINT32* pulSecond)
{
    UINT32 numbers[2] = {0, 0}, count = 0, digits = 0;
    for (UINT32 i = 0; i < value.ulSize; i++) {
        char ch = value.pc[i];
        if (ch == '-' && count == 0 && digits > 0) {
            count = 1;
            digits = 0;
        } else if (ch >= '0' && ch <= '9' && ++digits <= 5) {
            numbers[count] = numbers[count] * 10 + (UINT32)(ch - '0');
        } else {
            return false;
        }
    }
    if (digits == 0)
        return false;
    if (count == 0)
        numbers[1] = numbers[0] + 1;
    if (numbers[0] > ulMax || numbers[1] > ulMax)
        return false;
    *pulFirst = numbers[0];
    *pulSecond = numbers[1];
    return true;
}

// The lower transport of "RTP/AVP[/UDP|/TCP]" and the cast.
bool ParseProtocol(const tTextSpan& item, tRtspTransport* t)
{
    UINT32 n = 0;
    while (n < item.ulSize && item.pc[n] != ';')
        n++;
    tTextSpan protocol = {item.pc, n};
    tTextSpan value;
    bool multicast = TextParameter(item, "multicast", &value);
    if (TextIs(protocol, "RTP/AVP") || TextIs(protocol, "RTP/AVP/UDP"))
        t->eKind = multicast ? TRANSPORT_MULTICAST : TRANSPORT_UDP;
    else if (TextIs(protocol, "RTP/AVP/TCP") && !multicast)
        t->eKind = TRANSPORT_TCP;
    else
        return false;
    return true;
}

// One transport of the list (RFC 2326, 12.39; no ',' in it).
bool ParseTransport(const tTextSpan& item, tRtspTransport* t)
{
    *t = tRtspTransport();
    if (!ParseProtocol(item, t))
        return false;
    tTextSpan value;
    UINT32 a = 0, b = 0;
    if (TextParameter(item, "mode", &value) && !TextIs(value, "PLAY"))
        return false;
    if (TextParameter(item, "client_port", &value)) {
        if (!ParseRange(value, 0xFFFF, &a, &b) || a < RTSP_LOWEST_CLIENT_PORT || b < RTSP_LOWEST_CLIENT_PORT)
            return false;
        t->bClientPorts = true;
        t->usClientRtp = (UINT16)a;
        t->usClientRtcp = (UINT16)b;
    }
    if (TextParameter(item, "interleaved", &value)) {
        if (!ParseRange(value, CHANNEL_MAX, &a, &b) || a == b)
            return false;
        t->bChannels = true;
        t->ucRtpChannel = (UINT8)a;
        t->ucRtcpChannel = (UINT8)b;
    }
    if (TextParameter(item, "destination", &value) && value.ulSize > 0) {
        t->bDestination = true;
        TextCopy(value, t->szDestination, sizeof(t->szDestination));
    }
    return t->eKind != TRANSPORT_UDP || t->bClientPorts;
}

// ---- the methods ---------------------------------------------------------------------

bool Ready(int iPath)
{
    bool h264 = iPath == (int)RTSP_PATH_ES && config.pInput->ulMediaFormat != MEDIA_FORMAT_AUDIO;
    return !h264 || VideoCodecKnown(RunVideoCodec());
}

void Options(const tRequest* r)
{
    tReply reply;
    StartReply(&reply, RTSP_OK, r->stCSeq);
    TextPut(&reply.stOut, "Public: %s\r\n", RTSP_PUBLIC);
    SendReply(r->pConnection, &reply, nullptr, 0);
}

void Describe(const tRequest* r)
{
    char url[URL_MAX];
    AggregateUrl(r->pConnection, (UINT32)r->iPath, url, sizeof(url));
    stSdpDescription desc;
    SdpForRtsp(&desc, config.pInput, r->iPath == (int)RTSP_PATH_TS, r->pConnection->szLocal, url);
    char sdp[SDP_TEXT_MAX];
    int size = SdpFormat(&desc, sdp, sizeof(sdp));
    if (size < 0) {
        SendStatus(r, RTSP_INTERNAL_ERROR);
        return;
    }
    tReply reply;
    StartReply(&reply, RTSP_OK, r->stCSeq);
    TextPut(&reply.stOut, "Content-Base: %s/\r\nContent-Type: application/sdp\r\n", url);
    SendReply(r->pConnection, &reply, sdp, (UINT32)size);
}

// Interleaved channels of a TCP transport: as asked, or the lowest free
// pair of the connection.
UINT32 ChooseChannels(tNetConnection* c, tRtspTransport* t)
{
    if (t->bChannels)
        return RtspSessionsChannelTaken(c, t->ucRtpChannel) || RtspSessionsChannelTaken(c, t->ucRtcpChannel)
                   ? RTSP_UNSUPPORTED_TRANSPORT
                   : RTSP_OK;
    for (UINT32 ch = 0; ch + 1 <= CHANNEL_MAX; ch += 2) {
        if (!RtspSessionsChannelTaken(c, (UINT8)ch) && !RtspSessionsChannelTaken(c, (UINT8)(ch + 1))) {
            t->ucRtpChannel = (UINT8)ch;
            t->ucRtcpChannel = (UINT8)(ch + 1);
            return RTSP_OK;
        }
    }
    return RTSP_UNSUPPORTED_TRANSPORT;
}

UINT16 MulticastPort(const tRtspSession* s, UINT32 ulTrack)
{
    return (UINT16)(RTSP_MULTICAST_PORT_BASE + 4 * s->ulPath + 2 * ulTrack);
}

// The track's stream on the chosen transport, or null.
tSessionStream* OpenTrack(tRtspSession* s, UINT32 ulTrack, tNetConnection* c, const tRtspTransport* t)
{
    if (t->eKind == TRANSPORT_MULTICAST)
        return RtspSessionGroupStream(s, ulTrack, config.szMulticastGroup, MulticastPort(s, ulTrack), config.iTtl);
    tSessionStream* stream = RtspSessionOwnStream(s, ulTrack);
    if (stream == nullptr)
        return nullptr;
    if (t->eKind == TRANSPORT_TCP) {
        SessionStreamTcp(stream, &c->stOutput, c->fd, t->ucRtpChannel, t->ucRtcpChannel);
        stream->pTcpWatch = &c->stWatch;
        return stream;
    }
    if (SessionStreamUdp(stream, c->szLocal, c->szPeer, t->usClientRtp, t->usClientRtcp) != 0) {
        RtspSessionDropTrack(s, ulTrack);
        return nullptr;
    }
    return stream;
}

void PutTransport(tTextOut* pOut, const tSessionStream* stream, const tRtspTransport* t)
{
    if (stream->eKind == TRANSPORT_TCP)
        TextPut(pOut, "Transport: RTP/AVP/TCP;unicast;interleaved=%u-%u", t->ucRtpChannel, t->ucRtcpChannel);
    else if (stream->eKind == TRANSPORT_UDP)
        TextPut(pOut, "Transport: RTP/AVP;unicast;client_port=%u-%u;server_port=%u-%u", t->usClientRtp,
                t->usClientRtcp, stream->usServerRtpPort, stream->usServerRtpPort + 1);
    else
        TextPut(pOut, "Transport: RTP/AVP;multicast;destination=%s;port=%u-%u;ttl=%d", config.szMulticastGroup,
                ntohs(stream->stRtpTo.sin_port), ntohs(stream->stRtpTo.sin_port) + 1, config.iTtl);
    TextPut(pOut, ";ssrc=%08X;mode=\"PLAY\"\r\n", stream->stRtp.ulSsrc);
}

void PutSession(tTextOut* pOut, const tRtspSession* s)
{
    TextPut(pOut, "Session: %s;timeout=%u\r\n", s->szId, config.ulTimeoutS);
}

// What a SETUP asks for, checked: RTSP_OK with the transport.
UINT32 CheckSetup(const tRequest* r, tRtspTransport* t)
{
    const tTextHeader* transport = TextFind(r->pMessage, "Transport");
    if (r->iPath < 0)
        return RTSP_NOT_FOUND;
    if (r->iTrack < 0 && (r->iPath == (int)RTSP_PATH_ES && config.pInput->ulMediaFormat == MEDIA_FORMAT_AUDIO_VIDEO))
        return RTSP_AGGREGATE_NOT_ALLOWED;
    if (transport == nullptr)
        return RTSP_UNSUPPORTED_TRANSPORT;
    UINT32 status = RtspChooseTransport(transport->stValue, t);
    if (status != RTSP_OK)
        return status;
    // Only the address the request came from is sent to: the server
    // cannot be made to flood a third party.
    if (t->eKind != TRANSPORT_MULTICAST && t->bDestination && strcmp(t->szDestination, r->pConnection->szPeer) != 0)
        return RTSP_FORBIDDEN;
    if (t->eKind == TRANSPORT_MULTICAST && config.szMulticastGroup[0] == '\0')
        return RTSP_UNSUPPORTED_TRANSPORT;
    return t->eKind == TRANSPORT_TCP ? ChooseChannels(r->pConnection, t) : RTSP_OK;
}

// The session a request names; RTSP_OK with it (or null when it names
// none), else the status. A session answers only its own client.
UINT32 NamedSession(const tRequest* r, tRtspSession** ppSession)
{
    *ppSession = nullptr;
    const tTextHeader* header = TextFind(r->pMessage, "Session");
    if (header == nullptr)
        return RTSP_OK;
    tRtspSession* s = RtspSessionFind(header->stValue);
    if (s == nullptr || strcmp(s->szClient, r->pConnection->szPeer) != 0)
        return RTSP_SESSION_NOT_FOUND;
    s->llLastSeenMs = r->llNowMs;
    if (s->pConnection == nullptr)
        s->pConnection = r->pConnection;  // the client came back on a new connection
    *ppSession = s;
    return RTSP_OK;
}

// The session of the SETUP: the one named, or a new one.
UINT32 SetupSession(const tRequest* r, tRtspSession** ppSession, bool* pbNew)
{
    UINT32 status = NamedSession(r, ppSession);
    *pbNew = false;
    if (status != RTSP_OK)
        return status;
    if (*ppSession != nullptr)
        return (*ppSession)->ulPath == (UINT32)r->iPath ? RTSP_OK : RTSP_AGGREGATE_NOT_ALLOWED;
    *ppSession = RtspSessionNew((UINT32)r->iPath, r->pConnection, r->llNowMs);
    *pbNew = *ppSession != nullptr;
    return *ppSession != nullptr ? RTSP_OK : RTSP_NOT_ENOUGH_BANDWIDTH;
}

void Setup(const tRequest* r)
{
    tRtspTransport t;
    tRtspSession* s = nullptr;
    bool created = false;
    UINT32 status = CheckSetup(r, &t);
    if (status == RTSP_OK)
        status = SetupSession(r, &s, &created);
    UINT32 track = r->iTrack < 0 ? SDP_TRACK_VIDEO : (UINT32)r->iTrack;
    if (r->iTrack < 0 && !TrackExists(r->iPath, (int)track))
        track = SDP_TRACK_AUDIO;  // an audio-only run's one track
    if (status == RTSP_OK && s->pStreams[track] != nullptr)
        status = RTSP_NOT_VALID_IN_STATE;
    tSessionStream* stream = status == RTSP_OK ? OpenTrack(s, track, r->pConnection, &t) : nullptr;
    if (status == RTSP_OK && stream == nullptr)
        status = RTSP_UNAVAILABLE;
    if (status != RTSP_OK) {
        if (created)
            RtspSessionEnd(s);
        SendStatus(r, status);
        return;
    }
    tReply reply;
    StartReply(&reply, RTSP_OK, r->stCSeq);
    PutTransport(&reply.stOut, stream, &t);
    PutSession(&reply.stOut, s);
    SendReply(r->pConnection, &reply, nullptr, 0);
}

// The session a PLAY, PAUSE or TEARDOWN acts on: RTSP_OK with it.
UINT32 ActingSession(const tRequest* r, tRtspSession** ppSession)
{
    UINT32 status = NamedSession(r, ppSession);
    if (status == RTSP_OK && *ppSession == nullptr)
        status = RTSP_SESSION_NOT_FOUND;
    return status;
}

void PutRtpInfo(tTextOut* pOut, const tRtspSession* s, const tNetConnection* c)
{
    char url[URL_MAX];
    AggregateUrl(c, s->ulPath, url, sizeof(url));
    const char* separator = "RTP-Info: ";
    for (UINT32 t = 0; t < RTSP_TRACKS; t++) {
        const tSessionStream* stream = s->pStreams[t];
        if (stream == nullptr)
            continue;
        TextPut(pOut, "%surl=%s/" SDP_TRACK_PREFIX "%u;seq=%u;rtptime=%u", separator, url, t,
                SessionStreamNextSeq(stream), SessionStreamRtpTimeNow(stream));
        separator = ",";
    }
    TextPut(pOut, "\r\n");
}

void Play(const tRequest* r)
{
    tRtspSession* s = nullptr;
    UINT32 status = ActingSession(r, &s);
    if (status == RTSP_OK && s->pStreams[0] == nullptr && s->pStreams[1] == nullptr)
        status = RTSP_NOT_VALID_IN_STATE;
    if (status != RTSP_OK) {
        SendStatus(r, status);
        return;
    }
    // The RTP-Info names the packets the client gets first: taken before
    // any is sent.
    tReply reply;
    StartReply(&reply, RTSP_OK, r->stCSeq);
    PutSession(&reply.stOut, s);
    TextPut(&reply.stOut, "Range: npt=now-\r\n");
    PutRtpInfo(&reply.stOut, s, r->pConnection);
    SendReply(r->pConnection, &reply, nullptr, 0);
    RtspSessionPlay(s);
}

void PauseOrTeardown(const tRequest* r, bool bTeardown)
{
    tRtspSession* s = nullptr;
    UINT32 status = ActingSession(r, &s);
    if (status != RTSP_OK) {
        SendStatus(r, status);
        return;
    }
    tReply reply;
    StartReply(&reply, RTSP_OK, r->stCSeq);
    if (bTeardown) {
        RtspSessionEnd(s);
    } else {
        RtspSessionPause(s);
        PutSession(&reply.stOut, s);
    }
    SendReply(r->pConnection, &reply, nullptr, 0);
}

// Keep-alive: the session named (if any) lives on; there are no
// parameters to get or set.
void Parameter(const tRequest* r)
{
    tRtspSession* s = nullptr;
    UINT32 status = NamedSession(r, &s);
    if (status == RTSP_OK && r->pMessage->stBody.ulSize > 0)
        status = RTSP_PARAMETER_NOT_UNDERSTOOD;
    if (status != RTSP_OK) {
        SendStatus(r, status);
        return;
    }
    tReply reply;
    StartReply(&reply, RTSP_OK, r->stCSeq);
    if (s != nullptr)
        PutSession(&reply.stOut, s);
    SendReply(r->pConnection, &reply, nullptr, 0);
}

bool Authorized(const tRequest* r)
{
    tAuthResult result = AuthCheck(r->pMessage);
    if (result == AUTH_OK)
        return true;
    tReply reply;
    StartReply(&reply, RTSP_UNAUTHORIZED, r->stCSeq);
    AuthPutChallenge(&reply.stOut, result == AUTH_STALE);
    SendReply(r->pConnection, &reply, nullptr, 0);
    return false;
}

// Methods of RTSP the server knows and does not serve (it is no
// recorder): 405 with Allow.
bool KnownMethod(const tTextSpan& method)
{
    return TextIs(method, "ANNOUNCE") || TextIs(method, "RECORD") || TextIs(method, "REDIRECT");
}

void Dispatch(const tRequest* r)
{
    const tTextSpan& m = r->pMessage->stMethod;
    bool needsPath = TextIs(m, "DESCRIBE") || TextIs(m, "SETUP");
    if (TextFind(r->pMessage, "Require") != nullptr) {
        tReply reply;
        StartReply(&reply, RTSP_OPTION_NOT_SUPPORTED, r->stCSeq);
        const tTextSpan& v = TextFind(r->pMessage, "Require")->stValue;
        TextPut(&reply.stOut, "Unsupported: %.*s\r\n", (int)v.ulSize, v.pc);
        SendReply(r->pConnection, &reply, nullptr, 0);
    } else if (needsPath && r->iPath < 0) {
        SendStatus(r, RTSP_NOT_FOUND);
    } else if (TextIs(m, "OPTIONS")) {
        Options(r);
    } else if (TextIs(m, "DESCRIBE")) {
        Describe(r);
    } else if (TextIs(m, "SETUP")) {
        Setup(r);
    } else if (TextIs(m, "PLAY")) {
        Play(r);
    } else if (TextIs(m, "PAUSE") || TextIs(m, "TEARDOWN")) {
        PauseOrTeardown(r, TextIs(m, "TEARDOWN"));
    } else if (TextIs(m, "GET_PARAMETER") || TextIs(m, "SET_PARAMETER")) {
        Parameter(r);
    } else {
        SendStatus(r, KnownMethod(m) ? RTSP_METHOD_NOT_ALLOWED : RTSP_NOT_IMPLEMENTED);
    }
}

// ---- the connection's input ------------------------------------------------------------

tRtspConnection* ProtocolOf(tNetConnection* c)
{
    if (c->pProtocol == nullptr)
        c->pProtocol = new (std::nothrow) tRtspConnection();
    return static_cast<tRtspConnection*>(c->pProtocol);
}

bool HasInterleavedSession(const tNetConnection* c)
{
    for (UINT32 ch = 0; ch <= CHANNEL_MAX; ch++)
        if (RtspSessionsChannelTaken(c, (UINT8)ch))
            return true;
    return false;
}

// An interleaved frame at the front of the input: its RTCP is taken, the
// frame consumed. Returns the bytes consumed, 0 when more are needed, -1
// when the connection may not send frames.
int TakeFrame(tNetConnection* c, tRtspConnection* p, INT64 llNowMs)
{
    if (!HasInterleavedSession(c))
        return -1;
    if (c->ulInputUsed < INTERLEAVED_HEADER_SIZE)
        return 0;
    const UINT8* frame = (const UINT8*)c->acInput;
    UINT32 size = INTERLEAVED_HEADER_SIZE + ReadBE16(frame + 2);
    if (size > sizeof(c->acInput)) {
        p->ulSkip = size;  // passed over as it comes
        return 0;
    }
    if (size > c->ulInputUsed)
        return 0;
    bool rtcp = false;
    tSessionStream* stream = RtspSessionsChannelStream(c, frame[1], &rtcp);
    if (stream != nullptr && rtcp)
        SessionStreamTakeRtcp(stream, frame + INTERLEAVED_HEADER_SIZE, size - INTERLEAVED_HEADER_SIZE, llNowMs);
    return (int)size;
}

// A request at the front of the input: answered (or left to wait for the
// parameter sets). Returns the bytes consumed, 0 when it is incomplete or
// waits, -1 after a refusal (the connection closes once it has gone).
int TakeRequest(tNetConnection* c, tRtspConnection* p, INT64 llNowMs)
{
    tTextMessage message;
    UINT32 status = 0;
    int result = TextParse(c->acInput, c->ulInputUsed, true, RTSP_PROTOCOL, RTSP_MAX_BODY, &message, &status);
    if (result == TEXT_INCOMPLETE)
        return 0;
    tRequest r = {c, &message, {"", 0}, -1, -1, llNowMs};
    if (result == TEXT_REFUSED) {
        SendStatus(&r, StatusOfRefusal(status));
        return -1;
    }
    const tTextHeader* cseq = TextFind(&message, "CSeq");
    if (cseq != nullptr)
        r.stCSeq = cseq->stValue;
    ResolveTarget(message.stTarget, &r.iPath, &r.iTrack);
    bool describe = TextIs(message.stMethod, "DESCRIBE");
    if (describe && r.iPath >= 0 && !Ready(r.iPath) && cseq != nullptr && AuthCheck(&message) == AUTH_OK) {
        if (p->llDescribeSinceMs == 0)
            p->llDescribeSinceMs = llNowMs;
        if (llNowMs - p->llDescribeSinceMs < RTSP_DESCRIBE_WAIT_MS)
            return 0;
    }
    p->llDescribeSinceMs = 0;
    RtspSessionsSeen(c, llNowMs);
    // The credentials come first: a stranger learns nothing of the stream,
    // not even that it has not started.
    if (cseq == nullptr)
        SendStatus(&r, RTSP_BAD_REQUEST);
    else if (!Authorized(&r))
        return (int)message.ulMessageSize;  // answered 401
    else if (describe && r.iPath >= 0 && !Ready(r.iPath))
        SendStatus(&r, RTSP_UNAVAILABLE);
    else
        Dispatch(&r);
    return (int)message.ulMessageSize;
}

// Consumes the input: pieces of an oversized frame, frames and requests,
// in order. -1 when the connection must close after its answers.
int TakeInput(tNetConnection* c, tRtspConnection* p, INT64 llNowMs)
{
    while (c->ulInputUsed > 0 && !c->bCloseWhenSent) {
        int taken;
        if (p->ulSkip > 0) {
            taken = (int)(p->ulSkip < c->ulInputUsed ? p->ulSkip : c->ulInputUsed);
            p->ulSkip -= (UINT32)taken;
        } else if ((UINT8)c->acInput[0] == INTERLEAVED_MAGIC) {
            taken = TakeFrame(c, p, llNowMs);
            if (taken < 0) {
                tRequest r = {c, nullptr, {"", 0}, -1, -1, llNowMs};
                SendStatus(&r, RTSP_BAD_REQUEST);
            }
        } else {
            taken = TakeRequest(c, p, llNowMs);
        }
        if (taken < 0)
            return -1;
        if (taken == 0 && p->ulSkip == 0)
            return 0;
        NetConnectionTake(c, (UINT32)taken, llNowMs);
    }
    return 0;
}

}  // namespace

void RtspRequestsConfigure(const tRtspConfig* pConfig)
{
    config = *pConfig;
}

UINT32 RtspChooseTransport(const tTextSpan& header, tRtspTransport* pTransport)
{
    const char* p = header.pc;
    const char* end = header.pc + header.ulSize;
    while (p < end) {
        const char* itemEnd = p;
        bool quoted = false;
        while (itemEnd < end && (quoted || *itemEnd != ',')) {
            quoted = *itemEnd == '"' ? !quoted : quoted;
            itemEnd++;
        }
        tTextSpan item = {p, (UINT32)(itemEnd - p)};
        while (item.ulSize > 0 && (item.pc[0] == ' ' || item.pc[0] == '\t')) {
            item.pc++;
            item.ulSize--;
        }
        if (ParseTransport(item, pTransport))
            return RTSP_OK;
        p = itemEnd + 1;
    }
    return RTSP_UNSUPPORTED_TRANSPORT;
}

int RtspInput(tNetConnection* pConnection, INT64 llNowMs)
{
    tRtspConnection* p = ProtocolOf(pConnection);
    if (p == nullptr)
        return -1;
    if (TakeInput(pConnection, p, llNowMs) < 0)
        NetConnectionCloseWhenSent(pConnection);
    return 0;
}

void RtspClosed(tNetConnection* pConnection)
{
    RtspSessionsConnectionClosed(pConnection);
    delete static_cast<tRtspConnection*>(pConnection->pProtocol);
    pConnection->pProtocol = nullptr;
}

void RtspRequestsTick(tNetServer* pServer, INT64 llNowMs)
{
    for (tNetConnection* c = pServer->pConnections; c != nullptr; c = c->pNext) {
        tRtspConnection* p = static_cast<tRtspConnection*>(c->pProtocol);
        if (p != nullptr && p->llDescribeSinceMs != 0 &&
            (Ready((int)RTSP_PATH_ES) || llNowMs - p->llDescribeSinceMs >= RTSP_DESCRIBE_WAIT_MS))
            RtspInput(c, llNowMs);
    }
}
