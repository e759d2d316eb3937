// RTP streams of RTSP sessions and their transports.
#include "rtpsession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <new>

#include "byteorder.h"
#include "sample.h"

namespace {

const UINT8 INTERLEAVED_MAGIC = '$';
const UINT32 INTERLEAVED_HEADER_SIZE = 4;
// Server port pairs are drawn from here (even RTP ports, RTCP above).
const UINT16 SERVER_PORT_FIRST = 20000;
const UINT16 SERVER_PORT_PAIRS = 20000;
const int SERVER_PORT_ATTEMPTS = 64;
const UINT32 RTCP_RECEIVE_MAX = 1500;

UINT32 RandomWord()
{
    UINT32 value = 0;
    if (getrandom(&value, sizeof(value), GRND_NONBLOCK) != (ssize_t)sizeof(value)) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        value = (UINT32)now.tv_nsec * 2654435761u ^ (UINT32)getpid();
    }
    return value;
}

bool IsVideo(tRtpMedium eMedium)
{
    return eMedium != RTP_MEDIUM_AAC;
}

tSessionStream* StreamOf(tRtpStream* pStream)
{
    return static_cast<tSessionStream*>(pStream->pContext);
}

// What the connection's queue holds goes out as far as the socket takes
// it; the rest when the connection can take more.
void PushTcp(tSessionStream* s)
{
    if (NetQueueSend(s->pQueue, s->iTcpFd) != 0)
        s->bFailed = true;
    else if (s->pTcpWatch != nullptr && !NetQueueEmpty(s->pQueue))
        NetSetEvents(s->pTcpWatch, (short)(POLLIN | POLLOUT));
}

// Bytes of a compound RTCP packet to the client: its RTCP port, or the
// RTCP channel of the connection.
void SendRtcp(tSessionStream* s, const UINT8* pucPacket, UINT32 ulSize)
{
    if (s->eKind == TRANSPORT_TCP) {
        UINT8 frame[INTERLEAVED_HEADER_SIZE] = {INTERLEAVED_MAGIC, s->ucRtcpChannel};
        WriteBE16(frame + 2, (UINT16)ulSize);
        struct iovec pieces[] = {{frame, sizeof(frame)}, {const_cast<UINT8*>(pucPacket), ulSize}};
        NetQueueAppend(s->pQueue, pieces, 2, NetNowMs());
        PushTcp(s);
        return;
    }
    if (s->iRtcpFd >= 0)
        SendUDPPackageTo(s->iRtcpFd, (char*)pucPacket, (int)ulSize, &s->stRtcpTo);
}

void Report(tSessionStream* s, bool bBye, INT64 llNowMs)
{
    UINT8 packet[RTCP_COMPOUND_MAX];
    UINT32 size = RtcpSenderCompound(&s->stRtcp, bBye, llNowMs, packet);
    SendRtcp(s, packet, size);
}

void Count(tSessionStream* s, const tRtpPayload* pPayload)
{
    UINT32 payload = pPayload->ulHeadSize + pPayload->ulBodySize;
    RtcpSenderCount(&s->stRtcp, pPayload->ulRtpTime, pPayload->llCaptureClock, payload, pPayload->bTimed);
    s->ullPacketsSent++;
    s->ullBytesSent += RTP_FIXED_HEADER_SIZE + payload;
}

// The first packet of a sample, which goes out at once.
bool FirstOfSample(tSessionStream* s, const tRtpPayload* pPayload)
{
    bool first = !s->bSentSample || pPayload->ulRtpTime != s->ulSampleTime;
    s->bSentSample = true;
    s->ulSampleTime = pPayload->ulRtpTime;
    return first;
}

void DeliverUdp(tRtpStream* pStream, const UINT8* pucHeader, const tRtpPayload* pPayload)
{
    tSessionStream* s = StreamOf(pStream);
    UINT8 prefix[UDP_BATCH_PREFIX_MAX];
    memcpy(prefix, pucHeader, RTP_FIXED_HEADER_SIZE);
    memcpy(prefix + RTP_FIXED_HEADER_SIZE, pPayload->ucHead, pPayload->ulHeadSize);
    UdpBatchAdd(s->pBatch, prefix, RTP_FIXED_HEADER_SIZE + pPayload->ulHeadSize, pPayload->pucBody, pPayload->ulBodySize);
    Count(s, pPayload);
    if (FirstOfSample(s, pPayload))
        UdpBatchFlush(s->pBatch);
}

// The packet whole into the connection's queue, or not at all: then a
// video stream waits for its next random access point.
void DeliverTcp(tRtpStream* pStream, const UINT8* pucHeader, const tRtpPayload* pPayload)
{
    tSessionStream* s = StreamOf(pStream);
    UINT32 size = RTP_FIXED_HEADER_SIZE + pPayload->ulHeadSize + pPayload->ulBodySize;
    UINT8 frame[INTERLEAVED_HEADER_SIZE] = {INTERLEAVED_MAGIC, s->ucRtpChannel};
    WriteBE16(frame + 2, (UINT16)size);
    struct iovec pieces[] = {{frame, sizeof(frame)},
                             {const_cast<UINT8*>(pucHeader), RTP_FIXED_HEADER_SIZE},
                             {const_cast<UINT8*>(pPayload->ucHead), pPayload->ulHeadSize},
                             {const_cast<UINT8*>(pPayload->pucBody), pPayload->ulBodySize}};
    if (!NetQueueAppend(s->pQueue, pieces, 4, NetNowMs())) {
        s->ullPacketsDropped++;
        if (IsVideo(s->eMedium))
            pStream->bWaitForRandomAccess = true;
        return;
    }
    Count(s, pPayload);
    if (FirstOfSample(s, pPayload))
        PushTcp(s);
}

// The batch goes out (UDP), the queue is pushed (TCP), and the first
// sender report follows the first packet.
void Flush(tRtpStream* pStream)
{
    tSessionStream* s = StreamOf(pStream);
    if (s->pBatch != nullptr)
        UdpBatchFlush(s->pBatch);
    if (s->eKind == TRANSPORT_TCP)
        PushTcp(s);
    INT64 now = NetNowMs();
    if (RtcpSenderReportDue(&s->stRtcp, now))
        Report(s, false, now);
}

void TakeUdpRtcp(tNetWatch* pWatch, short sRevents)
{
    (void)sRevents;
    tSessionStream* s = static_cast<tSessionStream*>(pWatch->pContext);
    UINT8 packet[RTCP_RECEIVE_MAX];
    for (;;) {
        struct sockaddr_in from;
        socklen_t fromSize = sizeof(from);
        ssize_t got = recvfrom(pWatch->fd, packet, sizeof(packet), MSG_DONTWAIT, (struct sockaddr*)&from, &fromSize);
        if (got < 0)
            return;
        // Only the client's reports count: the address SETUP named.
        if (from.sin_addr.s_addr == s->stRtcpTo.sin_addr.s_addr)
            SessionStreamTakeRtcp(s, packet, (UINT32)got, NetNowMs());
    }
}

int NonBlockingUdpSocket()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd;
}

bool BindPort(int fd, const char* szLocalIp, UINT16 usPort)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    if (inet_pton(AF_INET, szLocalIp, &addr.sin_addr) != 1)
        return false;
    return bind(fd, (struct sockaddr*)&addr, sizeof(addr)) == 0;
}

// An even port and the odd one above it, both free.
bool BindPortPair(tSessionStream* s, const char* szLocalIp)
{
    for (int attempt = 0; attempt < SERVER_PORT_ATTEMPTS; attempt++) {
        UINT16 port = (UINT16)(SERVER_PORT_FIRST + 2 * (RandomWord() % (SERVER_PORT_PAIRS / 2)));
        int rtp = NonBlockingUdpSocket(), rtcp = NonBlockingUdpSocket();
        if (rtp >= 0 && rtcp >= 0 && BindPort(rtp, szLocalIp, port) && BindPort(rtcp, szLocalIp, (UINT16)(port + 1))) {
            s->iRtpFd = rtp;
            s->iRtcpFd = rtcp;
            s->usServerRtpPort = port;
            return true;
        }
        if (rtp >= 0)
            close(rtp);
        if (rtcp >= 0)
            close(rtcp);
    }
    return false;
}

void SetDestination(Sockaddr_in* pTo, const char* szIp, UINT16 usPort)
{
    memset(pTo, 0, sizeof(*pTo));
    pTo->sin_family = AF_INET;
    pTo->sin_port = htons(usPort);
    inet_pton(AF_INET, szIp, &pTo->sin_addr);
}

bool StartBatch(tSessionStream* s)
{
    s->pBatch = new (std::nothrow) tUdpBatch;
    if (s->pBatch == nullptr)
        return false;
    UdpBatchStart(s->pBatch, s->iRtpFd, &s->stRtpTo);
    s->stRtp.pfnDeliver = DeliverUdp;
    return true;
}

void CloseFd(int* pFd)
{
    if (*pFd >= 0)
        close(*pFd);
    *pFd = -1;
}

}  // namespace

void SessionStreamInit(tSessionStream* pStream, tRtpMedium eMedium, UINT8 ucPayloadType, UINT32 ulClockHz)
{
    tSessionStream& s = *pStream;
    s = tSessionStream();
    s.eMedium = eMedium;
    s.ulClockHz = ulClockHz;
    s.iRtpFd = s.iRtcpFd = s.iTcpFd = -1;
    s.stRtcpWatch.iSlot = -1;
    s.stRtp.ucPayloadType = ucPayloadType;
    s.stRtp.ulSsrc = RandomWord();
    s.stRtp.usNextSeq = (UINT16)RandomWord();
    s.stRtp.pfnFlush = Flush;
    s.stRtp.pContext = pStream;
    RtcpSenderStart(&s.stRtcp, s.stRtp.ulSsrc);
}

int SessionStreamUdp(tSessionStream* pStream, const char* szLocalIp, const char* szClientIp, UINT16 usClientRtp,
                     UINT16 usClientRtcp)
{
    if (SessionStreamUdpBind(pStream, szLocalIp) != 0)
        return -1;
    return SessionStreamUdpTo(pStream, szClientIp, usClientRtp, usClientRtcp);
}

int SessionStreamUdpBind(tSessionStream* pStream, const char* szLocalIp)
{
    pStream->eKind = TRANSPORT_UDP;
    return BindPortPair(pStream, szLocalIp) ? 0 : -1;
}

int SessionStreamUdpTo(tSessionStream* pStream, const char* szPeerIp, UINT16 usPeerRtp, UINT16 usPeerRtcp)
{
    tSessionStream& s = *pStream;
    SetDestination(&s.stRtpTo, szPeerIp, usPeerRtp);
    SetDestination(&s.stRtcpTo, szPeerIp, usPeerRtcp);
    s.stRtcpWatch = {s.iRtcpFd, POLLIN, TakeUdpRtcp, pStream, -1};
    if (!StartBatch(&s) || NetWatch(&s.stRtcpWatch) != 0) {
        SessionStreamClose(pStream);
        return -1;
    }
    return 0;
}

void SessionStreamTcp(tSessionStream* pStream, tNetQueue* pQueue, int fd, UINT8 ucRtpChannel, UINT8 ucRtcpChannel)
{
    pStream->eKind = TRANSPORT_TCP;
    pStream->pQueue = pQueue;
    pStream->iTcpFd = fd;
    pStream->ucRtpChannel = ucRtpChannel;
    pStream->ucRtcpChannel = ucRtcpChannel;
    pStream->stRtp.pfnDeliver = DeliverTcp;
}

int SessionStreamMulticast(tSessionStream* pStream, const char* szGroup, UINT16 usPort, int iTtl)
{
    tSessionStream& s = *pStream;
    s.eKind = TRANSPORT_MULTICAST;
    s.iRtpFd = NonBlockingUdpSocket();
    if (s.iRtpFd < 0)
        return -1;
    setsockopt(s.iRtpFd, IPPROTO_IP, IP_MULTICAST_TTL, &iTtl, sizeof(iTtl));
    s.iRtcpFd = dup(s.iRtpFd);
    SetDestination(&s.stRtpTo, szGroup, usPort);
    SetDestination(&s.stRtcpTo, szGroup, (UINT16)(usPort + 1));
    if (s.iRtcpFd < 0 || !StartBatch(&s)) {
        SessionStreamClose(pStream);
        return -1;
    }
    return 0;
}

void SessionStreamPlay(tSessionStream* pStream)
{
    if (pStream->bPlaying || pStream->stRtp.pfnDeliver == nullptr)
        return;
    pStream->stRtp.bWaitForRandomAccess = IsVideo(pStream->eMedium);
    RtpAttach(pStream->eMedium, &pStream->stRtp);
    pStream->bPlaying = true;
}

void SessionStreamPause(tSessionStream* pStream)
{
    RtpDetach(pStream->eMedium, &pStream->stRtp);
    pStream->bPlaying = false;
}

void SessionStreamClose(tSessionStream* pStream)
{
    SessionStreamPause(pStream);
    if (pStream->stRtp.pfnDeliver != nullptr && !pStream->bFailed && RtcpSenderSentAnything(&pStream->stRtcp))
        Report(pStream, true, NetNowMs());
    NetUnwatch(&pStream->stRtcpWatch);
    CloseFd(&pStream->iRtpFd);
    CloseFd(&pStream->iRtcpFd);
    delete pStream->pBatch;
    pStream->pBatch = nullptr;
    pStream->stRtp.pfnDeliver = nullptr;
    pStream->pQueue = nullptr;
    pStream->pTcpWatch = nullptr;
}

void SessionStreamTick(tSessionStream* pStream, INT64 llNowMs)
{
    if (pStream->bPlaying && pStream->stRtcp.bReported && RtcpSenderReportDue(&pStream->stRtcp, llNowMs))
        Report(pStream, false, llNowMs);
}

void SessionStreamTakeRtcp(tSessionStream* pStream, const UINT8* pucPacket, UINT32 ulSize, INT64 llNowMs)
{
    tRtcpReceiverReport report;
    int found = RtcpFindReportBlock(pucPacket, ulSize, pStream->stRtp.ulSsrc, &report);
    if (found < 0)
        return;
    pStream->llLastReportMs = llNowMs;
    if (found == 1) {
        pStream->stReport = report;
        pStream->bHasReport = true;
    }
}

UINT16 SessionStreamNextSeq(const tSessionStream* pStream)
{
    return pStream->stRtp.usNextSeq;
}

UINT32 SessionStreamRtpTimeNow(const tSessionStream* pStream)
{
    return (UINT32)QBoxTicksToRate(RunClockNow(), pStream->ulClockHz);
}
