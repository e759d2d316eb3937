// The publisher: one RTSP client connection that records the run on a
// media server, and connects again whenever it is lost.
#include "publisher.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Rtp.h"
#include "auth.h"
#include "codecs.h"
#include "netloop.h"
#include "netqueue.h"
#include "netserver.h"
#include "rtpsession.h"
#include "rtspclient.h"
#include "rtspurl.h"
#include "sdp.h"

namespace {

const UINT32 URL_SIZE = 2 * RTSP_URL_PART_SIZE + 16;  // scheme, host, port and path
const UINT32 REASON_SIZE = 256;
const UINT32 REQUEST_SIZE = SDP_TEXT_MAX + 2048;  // ANNOUNCE: the description and the header fields
const UINT32 MAX_STREAMS = 2;                     // H.264 and AAC
const UINT32 INTERLEAVED_CHANNEL_MAX = 255;
const UINT32 PORT_MAX = 65535;
const INT64 MS_PER_S = 1000;
const INT64 KEEP_ALIVE_MIN_MS = 1000;
const UINT32 AUTH_TRIES = 2;  // 401s one request may get: a first challenge, a stale nonce

enum tState { STATE_WAITING, STATE_CONNECTING, STATE_OPTIONS, STATE_ANNOUNCE, STATE_SETUP, STATE_RECORD, STATE_PUBLISHING };

struct tStreamPlan {
    tRtpMedium eMedium;
    UINT8 ucPayloadType;
    UINT32 ulTrack;  // SDP_TRACK_VIDEO, SDP_TRACK_AUDIO
};

struct tPublisher {
    bool bOpen;
    const stInputParameters* pInput;
    tRtspUrl stUrl;
    char szUrl[URL_SIZE];             // without the userinfo
    char szPassword[RTSP_URL_PART_SIZE];
    struct sockaddr_in stServer;
    char szServerIp[NET_PEER_SIZE];
    bool bUdp;
    tStreamPlan stPlan[MAX_STREAMS];
    UINT32 ulStreamCount;
    // The connection.
    tState eState;
    int fd;
    tNetWatch stWatch;
    char acInput[TEXT_BUFFER_SIZE];
    UINT32 ulInputUsed;
    UINT32 ulSkip;                    // bytes of an interleaved frame too long to keep, still to pass over
    tNetQueue stOutput;
    char szLocalIp[NET_PEER_SIZE];
    // The request waiting for its answer (CSeq 0: none).
    UINT32 ulCSeq;
    UINT32 ulPendingCSeq;
    const char* szPending;
    INT64 llSentMs;
    bool bKeepAlivePending;
    tAuthClient stAuth;
    bool bAuthTaken;                  // a challenge is answered on every request
    bool bAuthSent;                   // the pending request carried credentials
    UINT32 ulAuthTries;
    // The session.
    char szSession[RTSP_SESSION_ID_SIZE];
    bool bGetParameter;
    INT64 llKeepAliveMs;
    INT64 llNextKeepAliveMs;
    tSessionStream stStreams[MAX_STREAMS];
    UINT32 ulSetup;                   // the stream being set up
    // Reconnecting.
    INT64 llRetryAtMs;
    INT64 llPauseMs;
    bool bPublished;                  // it has recorded once
    bool bOutage;
    INT64 llOutageSinceMs;
    char szReason[REASON_SIZE];
};

tPublisher pub;

void UpdateEvents()
{
    short events = POLLIN;
    if (pub.eState == STATE_CONNECTING || !NetQueueEmpty(&pub.stOutput))
        events |= POLLOUT;
    NetSetEvents(&pub.stWatch, events);
}

// The connection and its streams go; nothing more is sent on them.
void Disconnect()
{
    for (UINT32 i = 0; i < pub.ulStreamCount; i++)
        SessionStreamClose(&pub.stStreams[i]);
    NetUnwatch(&pub.stWatch);
    if (pub.fd >= 0)
        close(pub.fd);
    pub.fd = -1;
    NetQueueFree(&pub.stOutput);
    pub.eState = STATE_WAITING;
    pub.ulInputUsed = pub.ulSkip = 0;
    pub.ulPendingCSeq = 0;
    pub.bKeepAlivePending = pub.bAuthTaken = false;
    pub.szSession[0] = '\0';
}

// The connection is lost: the next attempt after the pause, which doubles.
// The outage is reported when it starts, and again only when its reason
// changes, so that a server away for hours costs a line, not one a try.
void Fail(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* szFormat, ...)
{
    char reason[REASON_SIZE];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(reason, sizeof(reason), szFormat, args);
    va_end(args);
    for (UINT32 i = 0; i < pub.ulStreamCount; i++)
        pub.stStreams[i].bFailed = true;  // no BYE into a broken link
    Disconnect();
    INT64 now = NetNowMs();
    pub.llRetryAtMs = now + pub.llPauseMs;
    pub.llPauseMs = pub.llPauseMs * 2 < PUBLISH_RETRY_MAX_MS ? pub.llPauseMs * 2 : PUBLISH_RETRY_MAX_MS;
    if (!pub.bOutage) {
        pub.bOutage = true;
        pub.llOutageSinceMs = now;
        printf("\nPublishing to %s failed: %s. Retrying.\n", pub.szUrl, reason);
    } else if (strcmp(reason, pub.szReason) != 0) {
        printf("\nPublishing to %s still fails: %s.\n", pub.szUrl, reason);
    }
    snprintf(pub.szReason, sizeof(pub.szReason), "%s", reason);
    fflush(stdout);
}

// One request, whole into the queue: the common fields, the answer to the
// server's challenge once there is one, szHeaders (whole lines) and the
// body.
void Send(const char* szMethod, const char* szUri, const char* szHeaders, const char* pcBody, UINT32 ulBodySize)
{
    char request[REQUEST_SIZE];
    tTextOut out;
    TextOutStart(&out, request, sizeof(request));
    RtspPutRequest(&out, szMethod, szUri, ++pub.ulCSeq, pub.szSession);
    pub.bAuthSent = pub.bAuthTaken;
    if (pub.bAuthTaken)
        AuthClientPut(&pub.stAuth, &out, szMethod, szUri, pub.stUrl.szUser, pub.szPassword);
    TextPut(&out, "%s", szHeaders);
    if (pcBody != nullptr)
        TextPut(&out, "Content-Type: application/sdp\r\nContent-Length: %u\r\n", (unsigned int)ulBodySize);
    TextPut(&out, "\r\n");
    if (pcBody != nullptr)
        TextPutBytes(&out, pcBody, ulBodySize);
    struct iovec piece = {request, out.ulUsed};
    if (out.bOverflow || !NetQueueAppend(&pub.stOutput, &piece, 1, NetNowMs())) {
        Fail("the %s request does not fit", szMethod);
        return;
    }
    pub.ulPendingCSeq = pub.ulCSeq;
    pub.szPending = szMethod;
    pub.llSentMs = NetNowMs();
    if (NetQueueSend(&pub.stOutput, pub.fd) != 0) {
        Fail("the connection failed: %s", strerror(errno));
        return;
    }
    UpdateEvents();
}

void TrackUri(UINT32 ulTrack, char* szUri, UINT32 ulSize)
{
    snprintf(szUri, ulSize, "%s/" SDP_TRACK_PREFIX "%u", pub.szUrl, (unsigned int)ulTrack);
}

// The description DESCRIBE serves, with this end's address in o= and the
// streams' control relative to the URL.
void SendAnnounce()
{
    stSdpDescription desc;
    SdpForRtsp(&desc, pub.pInput, false, pub.szLocalIp, pub.szUrl);
    desc.bRelativeControl = true;
    char sdp[SDP_TEXT_MAX];
    int size = SdpFormat(&desc, sdp, sizeof(sdp));
    if (size < 0) {
        Fail("the session description does not fit");
        return;
    }
    Send("ANNOUNCE", pub.szUrl, "", sdp, (UINT32)size);
}

// SETUP of the stream ulSetup, mode=record (RFC 2326, 12.39): its
// interleaved channels 2n and 2n+1, or its own UDP port pair.
void SendSetup()
{
    tSessionStream* stream = &pub.stStreams[pub.ulSetup];
    const tStreamPlan& plan = pub.stPlan[pub.ulSetup];
    UINT32 clock = plan.eMedium == RTP_MEDIUM_AAC ? RunAudioCodec()->ulSampleRate : RTP_VIDEO_CLOCK_HZ;
    SessionStreamClose(stream);  // a SETUP sent again after a 401 binds afresh
    SessionStreamInit(stream, plan.eMedium, plan.ucPayloadType, clock);
    char transport[128];
    if (pub.bUdp) {
        if (SessionStreamUdpBind(stream, pub.szLocalIp) != 0) {
            Fail("no UDP port pair for the %s stream", plan.eMedium == RTP_MEDIUM_AAC ? "audio" : "video");
            return;
        }
        snprintf(transport, sizeof(transport), "Transport: RTP/AVP;unicast;client_port=%u-%u;mode=record\r\n",
                 (unsigned int)stream->usServerRtpPort, (unsigned int)stream->usServerRtpPort + 1);
    } else {
        snprintf(transport, sizeof(transport), "Transport: RTP/AVP/TCP;unicast;interleaved=%u-%u;mode=record\r\n",
                 (unsigned int)(2 * pub.ulSetup), (unsigned int)(2 * pub.ulSetup + 1));
    }
    char uri[URL_SIZE + 16];
    TrackUri(plan.ulTrack, uri, sizeof(uri));
    Send("SETUP", uri, transport, nullptr, 0);
}

void SendRecord()
{
    Send("RECORD", pub.szUrl, "Range: npt=now-\r\n", nullptr, 0);
}

void SendKeepAlive()
{
    pub.bKeepAlivePending = true;
    Send(pub.bGetParameter ? "GET_PARAMETER" : "OPTIONS", pub.szUrl, "", nullptr, 0);
}

// The request of the state (again, with credentials, after a 401).
void SendStateRequest()
{
    switch (pub.eState) {
    case STATE_OPTIONS: Send("OPTIONS", pub.szUrl, "", nullptr, 0); break;
    case STATE_ANNOUNCE: SendAnnounce(); break;
    case STATE_SETUP: SendSetup(); break;
    case STATE_RECORD: SendRecord(); break;
    case STATE_PUBLISHING: SendKeepAlive(); break;
    default: break;
    }
}

// The answer's transport for the stream just set up: the server's
// channels (it may choose others), or its port pair.
bool TakeTransport(const tTextMessage* pResponse)
{
    tSessionStream* stream = &pub.stStreams[pub.ulSetup];
    UINT32 low = 2 * pub.ulSetup, high = low + 1;
    if (pub.bUdp) {
        if (!RtspTransportPair(pResponse, "server_port", PORT_MAX, &low, &high) || low == 0 || high == 0) {
            Fail("the server's SETUP answer names no server_port");
            return false;
        }
        if (SessionStreamUdpTo(stream, pub.szServerIp, (UINT16)low, (UINT16)high) != 0) {
            Fail("no UDP socket for the stream");
            return false;
        }
        return true;
    }
    RtspTransportPair(pResponse, "interleaved", INTERLEAVED_CHANNEL_MAX, &low, &high);
    SessionStreamTcp(stream, &pub.stOutput, pub.fd, (UINT8)low, (UINT8)high);
    return true;
}

// The session the first SETUP opened, and the keep-alive its timeout asks.
bool TakeSession(const tTextMessage* pResponse)
{
    char id[RTSP_SESSION_ID_SIZE];
    UINT32 timeout = 0;
    if (!RtspSessionOf(pResponse, id, &timeout)) {
        if (pub.szSession[0] != '\0')
            return true;  // later answers may leave it out
        Fail("the server's SETUP answer names no session");
        return false;
    }
    snprintf(pub.szSession, sizeof(pub.szSession), "%s", id);
    pub.llKeepAliveMs = (INT64)timeout * MS_PER_S / 2;
    if (pub.llKeepAliveMs < KEEP_ALIVE_MIN_MS)
        pub.llKeepAliveMs = KEEP_ALIVE_MIN_MS;
    return true;
}

// RECORD answered: the streams start (video at its next IDR picture).
void StartPublishing()
{
    for (UINT32 i = 0; i < pub.ulStreamCount; i++)
        SessionStreamPlay(&pub.stStreams[i]);
    pub.eState = STATE_PUBLISHING;
    pub.llNextKeepAliveMs = NetNowMs() + pub.llKeepAliveMs;
    pub.llPauseMs = PUBLISH_RETRY_FIRST_MS;
    if (pub.bOutage && pub.bPublished)
        printf("\nPublishing to %s resumed after %lld s.\n", pub.szUrl,
               (long long)((NetNowMs() - pub.llOutageSinceMs + MS_PER_S / 2) / MS_PER_S));
    else
        printf("\nPublishing to %s: the server records.\n", pub.szUrl);
    fflush(stdout);
    pub.bOutage = false;
    pub.bPublished = true;
    pub.szReason[0] = '\0';
}

// The next step once the pending request has its 2xx answer.
void Advance(const tTextMessage* pResponse)
{
    switch (pub.eState) {
    case STATE_OPTIONS:
        pub.bGetParameter = RtspPublicHas(pResponse, "GET_PARAMETER");
        pub.eState = STATE_ANNOUNCE;
        SendAnnounce();
        break;
    case STATE_ANNOUNCE:
        pub.eState = STATE_SETUP;
        pub.ulSetup = 0;
        SendSetup();
        break;
    case STATE_SETUP:
        if (!TakeSession(pResponse) || !TakeTransport(pResponse))
            return;
        if (++pub.ulSetup < pub.ulStreamCount) {
            SendSetup();
        } else {
            pub.eState = STATE_RECORD;
            SendRecord();
        }
        break;
    case STATE_RECORD: StartPublishing(); break;
    default: break;
    }
}

// A 401: the challenge is answered once, and again for a stale nonce; a
// second refusal of the credentials is a wrong user name or password.
void Challenged(const tTextMessage* pResponse)
{
    if (pub.stUrl.szUser[0] == '\0') {
        Fail("the server asks for a user name and password (401); give them in the URL");
        return;
    }
    tAuthClient challenge;
    if (!AuthClientTake(&challenge, pResponse)) {
        Fail("the server asks for an authentication other than Basic and Digest (401)");
        return;
    }
    if ((pub.bAuthSent && !challenge.bStale) || ++pub.ulAuthTries > AUTH_TRIES) {
        Fail("the server refused the user name or password (401)");
        return;
    }
    pub.stAuth = challenge;
    pub.bAuthTaken = true;
    SendStateRequest();
}

void TakeResponse(const tTextMessage* pResponse)
{
    if (pub.ulPendingCSeq == 0 || !RtspAnswers(pResponse, pub.ulPendingCSeq))
        return;  // an answer to nothing pending: passed over
    pub.ulPendingCSeq = 0;
    if (pResponse->ulStatus == RTSP_STATUS_UNAUTHORIZED) {
        Challenged(pResponse);
        return;
    }
    pub.ulAuthTries = 0;
    if (pub.bKeepAlivePending) {
        // Any answer is a sign of life, but a session the server has lost.
        pub.bKeepAlivePending = false;
        if (pResponse->ulStatus == RTSP_STATUS_SESSION_NOT_FOUND)
            Fail("the server no longer knows the session (454)");
        return;
    }
    if (pResponse->ulStatus < 200 || pResponse->ulStatus > 299) {
        char reason[64];
        TextCopy(pResponse->stReason, reason, sizeof(reason));
        Fail("the server refused %s: %u %s", pub.szPending, (unsigned int)pResponse->ulStatus, reason);
        return;
    }
    Advance(pResponse);
}

// A request of the server's own: a keep-alive is answered, others are not
// implemented here.
void TakeRequest(const tTextMessage* pRequest)
{
    UINT64 cseq = 0;
    TextNumber(pRequest, "CSeq", &cseq);
    bool ping = TextIs(pRequest->stMethod, "OPTIONS") || TextIs(pRequest->stMethod, "GET_PARAMETER");
    char answer[128];
    int n = snprintf(answer, sizeof(answer), RTSP_VERSION " %s\r\nCSeq: %llu\r\n\r\n",
                     ping ? "200 OK" : "501 Not Implemented", (unsigned long long)cseq);
    struct iovec piece = {answer, (size_t)n};
    NetQueueAppend(&pub.stOutput, &piece, 1, NetNowMs());
}

void TakeInterleaved(const tRtspInput* pInput)
{
    if (pInput->pucData == nullptr)
        return;
    for (UINT32 i = 0; i < pub.ulStreamCount; i++) {
        tSessionStream* s = &pub.stStreams[i];
        if (s->eKind == TRANSPORT_TCP && s->stRtp.pfnDeliver != nullptr && pInput->ucChannel == s->ucRtcpChannel)
            SessionStreamTakeRtcp(s, pInput->pucData, pInput->ulDataSize, NetNowMs());
    }
}

// Every whole message in the input; what is left waits for more bytes.
void TakeInput()
{
    UINT32 offset = 0;
    while (pub.eState != STATE_WAITING) {
        tRtspInput input;
        tRtspInputKind kind = RtspClientTake(pub.acInput + offset, pub.ulInputUsed - offset, &input);
        if (kind == RTSP_INPUT_INCOMPLETE)
            break;
        if (kind == RTSP_INPUT_REFUSED) {
            Fail("the server's answer is not RTSP");
            return;
        }
        offset += input.ulConsumed;
        pub.ulSkip = input.ulSkip;
        if (kind == RTSP_INPUT_RESPONSE)
            TakeResponse(&input.stMessage);
        else if (kind == RTSP_INPUT_REQUEST)
            TakeRequest(&input.stMessage);
        else
            TakeInterleaved(&input);
    }
    if (pub.eState == STATE_WAITING)
        return;
    memmove(pub.acInput, pub.acInput + offset, pub.ulInputUsed - offset);
    pub.ulInputUsed -= offset;
}

void Receive()
{
    ssize_t got = recv(pub.fd, pub.acInput + pub.ulInputUsed, sizeof(pub.acInput) - pub.ulInputUsed, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0) {
        if (got < 0)
            Fail("the connection failed: %s", strerror(errno));
        else if (pub.ulPendingCSeq != 0)
            Fail("the server closed the connection instead of answering %s", pub.szPending);
        else
            Fail("the server closed the connection");
        return;
    }
    pub.ulInputUsed += (UINT32)got;
    UINT32 skip = pub.ulSkip < pub.ulInputUsed ? pub.ulSkip : pub.ulInputUsed;
    memmove(pub.acInput, pub.acInput + skip, pub.ulInputUsed - skip);
    pub.ulInputUsed -= skip;
    pub.ulSkip -= skip;
    TakeInput();
    if (pub.eState != STATE_WAITING && pub.ulInputUsed == sizeof(pub.acInput))
        Fail("the server's answer is not RTSP");
}

// The non-blocking connect() has ended, one way or the other.
void Connected()
{
    int error = 0;
    socklen_t size = sizeof(error);
    if (getsockopt(pub.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    if (error != 0) {
        Fail("cannot connect: %s", strerror(error));
        return;
    }
    struct sockaddr_in local;
    socklen_t localSize = sizeof(local);
    memset(&local, 0, sizeof(local));
    getsockname(pub.fd, (struct sockaddr*)&local, &localSize);
    inet_ntop(AF_INET, &local.sin_addr, pub.szLocalIp, sizeof(pub.szLocalIp));
    pub.eState = STATE_OPTIONS;
    SendStateRequest();
}

void Ready(tNetWatch* pWatch, short sRevents)
{
    (void)pWatch;
    if (pub.eState == STATE_CONNECTING) {
        Connected();
        return;
    }
    if ((sRevents & POLLOUT) && NetQueueSend(&pub.stOutput, pub.fd) != 0) {
        Fail("the connection failed: %s", strerror(errno));
        return;
    }
    if (sRevents & (POLLIN | POLLHUP | POLLERR))
        Receive();
    if (pub.eState != STATE_WAITING)
        UpdateEvents();
}

void Connect()
{
    if (!NetQueueInit(&pub.stOutput, NET_QUEUE_STREAM_SIZE)) {
        Fail("no memory for the connection's queue");
        return;
    }
    pub.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (pub.fd < 0) {
        Fail("no socket: %s", strerror(errno));
        return;
    }
    pub.eState = STATE_CONNECTING;
    pub.llSentMs = NetNowMs();
    pub.ulAuthTries = 0;
    pub.stWatch = {pub.fd, POLLOUT, Ready, &pub, -1};
    if (NetWatch(&pub.stWatch) != 0) {
        Fail("the event loop is full");
        return;
    }
    if (connect(pub.fd, (const struct sockaddr*)&pub.stServer, sizeof(pub.stServer)) != 0 && errno != EINPROGRESS)
        Fail("cannot connect: %s", strerror(errno));
}

// Whether the session description can be announced: the video's
// parameter sets must be known (the encoder's first sample brings them).
bool ReadyToAnnounce()
{
    return pub.pInput->ulMediaFormat == MEDIA_FORMAT_AUDIO || VideoCodecKnown(RunVideoCodec());
}

void Tick(INT64 llNowMs)
{
    if (pub.eState == STATE_WAITING) {
        if (llNowMs >= pub.llRetryAtMs && ReadyToAnnounce())
            Connect();
        return;
    }
    bool late = llNowMs - pub.llSentMs > PUBLISH_ANSWER_MS;
    if (pub.eState == STATE_CONNECTING && late) {
        Fail("the connection did not open within %lld s", (long long)(PUBLISH_ANSWER_MS / MS_PER_S));
        return;
    }
    if (pub.ulPendingCSeq != 0 && late) {
        Fail("the server did not answer %s within %lld s", pub.szPending, (long long)(PUBLISH_ANSWER_MS / MS_PER_S));
        return;
    }
    if (pub.stOutput.llFullSinceMs != 0 && llNowMs - pub.stOutput.llFullSinceMs > PUBLISH_ANSWER_MS) {
        Fail("the server has taken nothing for %lld s", (long long)(PUBLISH_ANSWER_MS / MS_PER_S));
        return;
    }
    if (pub.eState != STATE_PUBLISHING)
        return;
    for (UINT32 i = 0; i < pub.ulStreamCount; i++) {
        if (pub.stStreams[i].bFailed) {
            Fail("the connection failed");
            return;
        }
        SessionStreamTick(&pub.stStreams[i], llNowMs);
    }
    if (pub.ulPendingCSeq == 0 && llNowMs >= pub.llNextKeepAliveMs) {
        pub.llNextKeepAliveMs = llNowMs + pub.llKeepAliveMs;
        SendKeepAlive();
    }
    if (pub.eState != STATE_WAITING)
        UpdateEvents();
}

// What the run sends: H.264 (track 0) and AAC (track 1) as -m has them.
void PlanStreams(const stInputParameters* pInput)
{
    pub.ulStreamCount = 0;
    if (pInput->ulMediaFormat != MEDIA_FORMAT_AUDIO)
        pub.stPlan[pub.ulStreamCount++] = {RTP_MEDIUM_H264, RTP_PT_H264, SDP_TRACK_VIDEO};
    if (pInput->ulMediaFormat != MEDIA_FORMAT_VIDEO)
        pub.stPlan[pub.ulStreamCount++] = {RTP_MEDIUM_AAC, RTP_PT_AAC, SDP_TRACK_AUDIO};
}

// The password of the URL, or the credentials file's for its user.
int TakePassword(const stInputParameters* pInput)
{
    if (pub.stUrl.szUser[0] == '\0' || pub.stUrl.bHasPassword) {
        snprintf(pub.szPassword, sizeof(pub.szPassword), "%s", pub.stUrl.szPassword);
        return 0;
    }
    if (pInput->sCredentials_File[0] != '\0' && !AuthRequired() && AuthLoad(pInput->sCredentials_File) < 0)
        return -1;
    if (!AuthUserPassword(pub.stUrl.szUser, pub.szPassword, sizeof(pub.szPassword))) {
        printf("\nCannot publish to %s: no password for the user %s (give it in the URL, or as a "
               "\"user:password\" line of the credentials file, -E).\n",
               pub.szUrl, pub.stUrl.szUser);
        return -1;
    }
    return 0;
}

// The host once, here: getaddrinfo() may wait on the network.
int Resolve()
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    int result = getaddrinfo(pub.stUrl.szHost, nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
        printf("\nCannot publish to %s: the host %s does not resolve (%s).\n", pub.szUrl, pub.stUrl.szHost,
               result != 0 ? gai_strerror(result) : "no address");
        return -1;
    }
    memcpy(&pub.stServer, found->ai_addr, sizeof(pub.stServer));
    pub.stServer.sin_port = htons(pub.stUrl.usPort);
    freeaddrinfo(found);
    inet_ntop(AF_INET, &pub.stServer.sin_addr, pub.szServerIp, sizeof(pub.szServerIp));
    return 0;
}

}  // namespace

int PublisherOpen(const stInputParameters* pInput)
{
    if (pInput->sPublish_Url[0] == '\0')
        return 0;
    pub = tPublisher();
    pub.fd = -1;
    pub.stWatch.iSlot = -1;
    pub.pInput = pInput;
    pub.bUdp = pInput->ulPublish_Transport == PUBLISH_UDP;
    pub.llPauseMs = PUBLISH_RETRY_FIRST_MS;
    if (ParseRtspUrl(pInput->sPublish_Url, &pub.stUrl) != 0 || FormatRtspUrl(&pub.stUrl, pub.szUrl, URL_SIZE) < 0) {
        printf("\nInvalid publish URL \"%s\".\n", pInput->sPublish_Url);
        return -1;
    }
    if (TakePassword(pInput) != 0 || Resolve() != 0)
        return -1;
    PlanStreams(pInput);
    for (tSessionStream& stream : pub.stStreams)
        SessionStreamInit(&stream, RTP_MEDIUM_H264, RTP_PT_H264, RTP_VIDEO_CLOCK_HZ);  // no descriptors yet
    if (NetAddTimer(Tick) != 0) {
        printf("\nCannot publish to %s: the event loop has no timer left.\n", pub.szUrl);
        return -1;
    }
    printf("Publishing to %s over %s\n", pub.szUrl, pub.bUdp ? "UDP" : "TCP");
    pub.bOpen = true;
    return 0;
}

bool PublisherActive()
{
    return pub.bOpen;
}

// The BYEs and TEARDOWN get a moment to leave: the run is over, nothing
// else waits.
void PublisherClose()
{
    if (!pub.bOpen)
        return;
    NetRemoveTimer(Tick);
    if (pub.eState == STATE_PUBLISHING) {
        for (UINT32 i = 0; i < pub.ulStreamCount; i++)
            SessionStreamClose(&pub.stStreams[i]);
        Send("TEARDOWN", pub.szUrl, "", nullptr, 0);
        INT64 until = NetNowMs() + PUBLISH_CLOSE_FLUSH_MS;
        while (pub.fd >= 0 && !NetQueueEmpty(&pub.stOutput) && NetNowMs() < until) {
            struct pollfd ready = {pub.fd, POLLOUT, 0};
            if (poll(&ready, 1, (int)(until - NetNowMs())) <= 0 || NetQueueSend(&pub.stOutput, pub.fd) != 0)
                break;
        }
    }
    if (pub.fd >= 0)
        Disconnect();
    pub.bOpen = false;
}
