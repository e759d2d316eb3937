// RTCP sender reports, source descriptions and BYE (RFC 3550) for the RTP
// streams.
#include "rtcp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QBox.h"
#include "Rtp.h"
#include "byteorder.h"
#include "captureparams.h"

// One stream of the UDP pair, all zero while the stream is not in use.
struct stRtcpStream {
    bool bUsed;                 // opened: its RTP port is known
    bool bOpen;                 // has an RTCP socket
    SOCKET hSocket;
    Sockaddr_in stDestination;
    unsigned int ulRtpPort;
    int iRtcpPort;
    tRtcpSender stSender;
};

static stRtcpStream m_stStreams[RTCP_STREAM_COUNT];

// The run's wall-clock anchor: the NTP time at which the sample of capture
// clock m_llAnchorClock was sent.
static bool m_bAnchored = false;
static INT64 m_llAnchorClock = 0;
static UINT64 m_ullAnchorNtp = 0;

static char m_szCname[RTCP_CNAME_MAX + 1] = "";
static UINT32 m_ulRandom = 0;  // xorshift state, never 0 once seeded
static RtcpClockFunc m_pClock = clock_gettime;

const INT64 MS_PER_S = 1000;
const INT64 NS_PER_MS = 1000000;
const UINT64 NS_PER_S = 1000000000u;
const int NTP_FRACTION_BITS = 32;
// The interval is scaled by 500..1500 thousandths (RFC 3550, 6.3.1).
const UINT32 INTERVAL_SCALE_MIN = 500;
const UINT32 INTERVAL_SCALE_SPAN = 1001;
const UINT32 INTERVAL_SCALE_UNIT = 1000;
const size_t HOST_NAME_SIZE = 256;

// ---- clocks ----------------------------------------------------------------------

void RTCPSetClock(RtcpClockFunc pClock)
{
    m_pClock = pClock != nullptr ? pClock : clock_gettime;
}

INT64 RtcpNowMs()
{
    struct timespec now = {0, 0};
    m_pClock(CLOCK_MONOTONIC, &now);
    return (INT64)now.tv_sec * MS_PER_S + now.tv_nsec / NS_PER_MS;
}

// The wall clock as a 64-bit NTP time stamp: seconds since 1900 in the high
// 32 bits, the fraction of a second in the low 32 bits.
static UINT64 WallClockNtp()
{
    struct timespec now = {0, 0};
    m_pClock(CLOCK_REALTIME, &now);
    UINT64 ullSeconds = (UINT64)now.tv_sec + NTP_UNIX_EPOCH_OFFSET_S;
    UINT64 ullFraction = (((UINT64)now.tv_nsec << NTP_FRACTION_BITS) + NS_PER_S / 2) / NS_PER_S;
    return (ullSeconds << NTP_FRACTION_BITS) + ullFraction;
}

// A span of capture ticks as an NTP time difference, computed afresh from
// the whole span each time, so no rounding accumulates: the result is
// within half a fraction unit (0.12 ns) of the exact value. Modulo 2^64, so
// negative spans and the NTP era wrap come out right.
static UINT64 TicksToNtp(INT64 llTicks)
{
    INT64 llSeconds = QBoxTicksToRate(llTicks, 1);  // rounded down
    UINT64 ullRemainder = (UINT64)(llTicks - llSeconds * QBOX_CLOCK_HZ);  // 0..89999
    UINT64 ullFraction = ((ullRemainder << NTP_FRACTION_BITS) + QBOX_CLOCK_HZ / 2) / QBOX_CLOCK_HZ;
    return ((UINT64)llSeconds << NTP_FRACTION_BITS) + ullFraction;
}

static UINT64 NtpForCapture(INT64 llCaptureClock)
{
    return m_ullAnchorNtp + TicksToNtp(llCaptureClock - m_llAnchorClock);
}

static void SeedRandom()
{
    struct timespec now = {0, 0};
    m_pClock(CLOCK_REALTIME, &now);
    m_ulRandom ^= (UINT32)now.tv_nsec ^ ((UINT32)getpid() << 16) ^ (UINT32)now.tv_sec;
    if (m_ulRandom == 0)
        m_ulRandom = 1;
}

// Marsaglia's xorshift32: plenty for spreading report times.
static UINT32 NextRandom()
{
    m_ulRandom ^= m_ulRandom << 13;
    m_ulRandom ^= m_ulRandom >> 17;
    m_ulRandom ^= m_ulRandom << 5;
    return m_ulRandom;
}

// The time to the next report: the minimum interval times a factor drawn
// uniformly from 0.5..1.5 (RFC 3550, 6.3.1), so that senders that started
// together do not report in step.
static INT64 NextReportInterval()
{
    UINT32 ulScale = INTERVAL_SCALE_MIN + NextRandom() % INTERVAL_SCALE_SPAN;
    return RTCP_MIN_INTERVAL_MS * ulScale / INTERVAL_SCALE_UNIT;
}

static void PickCname();
static void SeedRandom();

// ---- packets -----------------------------------------------------------------------

// V 2, P 0, the count field (RC or SC), the packet type and the length in
// 32-bit words minus one, header included (RFC 3550, 6.4.1).
static UINT8* PutRtcpHeader(UINT8* p, UINT8 ucCount, UINT8 ucPacketType, UINT32 ulPacketSize)
{
    *p++ = (UINT8)((RTCP_VERSION << 6) | ucCount);
    *p++ = ucPacketType;
    return WriteBE16(p, (UINT16)(ulPacketSize / 4 - 1));
}

// SR without report blocks (RFC 3550, 6.4.1).
static UINT8* PutSenderReport(UINT8* p, const tRtcpSender* pSender)
{
    p = PutRtcpHeader(p, 0, RTCP_PT_SR, RTCP_SR_SIZE);
    p = WriteBE32(p, pSender->ulSsrc);                            // SSRC of sender
    p = WriteBE64(p, NtpForCapture(pSender->llLastCaptureClock));  // NTP timestamp
    p = WriteBE32(p, pSender->ulLastRtpStamp);                    // RTP timestamp
    p = WriteBE32(p, pSender->ulPacketCount);                     // sender's packet count
    return WriteBE32(p, pSender->ulOctetCount);                   // sender's octet count
}

// RR without report blocks: the report a compound packet starts with when
// the stream has nothing to put in an SR (RFC 3550, 6.4.2).
static UINT8* PutEmptyReceiverReport(UINT8* p, UINT32 ulSsrc)
{
    p = PutRtcpHeader(p, 0, RTCP_PT_RR, RTCP_RR_SIZE);
    return WriteBE32(p, ulSsrc);  // SSRC of packet sender
}

// SDES with one chunk holding the CNAME item (RFC 3550, 6.5, 6.5.1).
static UINT8* PutSourceDescription(UINT8* p, UINT32 ulSsrc)
{
    UINT32 ulLength = (UINT32)strlen(m_szCname);
    UINT32 ulSize = RtcpSdesSize(ulLength);
    UINT8* end = p + ulSize;
    p = PutRtcpHeader(p, 1, RTCP_PT_SDES, ulSize);
    p = WriteBE32(p, ulSsrc);  // SSRC/CSRC_1
    *p++ = RTCP_SDES_CNAME;
    *p++ = (UINT8)ulLength;
    memcpy(p, m_szCname, ulLength);
    p += ulLength;
    memset(p, RTCP_SDES_END, (size_t)(end - p));  // END item and padding to 32 bits
    return end;
}

// BYE for one SSRC, no reason (RFC 3550, 6.6).
static UINT8* PutBye(UINT8* p, UINT32 ulSsrc)
{
    p = PutRtcpHeader(p, 1, RTCP_PT_BYE, RTCP_BYE_SIZE);
    return WriteBE32(p, ulSsrc);  // SSRC/CSRC
}

// ---- one sender's reports ---------------------------------------------------------

void RtcpSenderStart(tRtcpSender* pSender, UINT32 ulSsrc)
{
    memset(pSender, 0, sizeof(*pSender));
    pSender->ulSsrc = ulSsrc;
    if (m_szCname[0] == '\0')
        PickCname();
    if (m_ulRandom == 0)
        SeedRandom();
}

void RtcpSenderCount(tRtcpSender* pSender, UINT32 ulRtpStamp, INT64 llCaptureClock, UINT32 ulPayloadBytes,
                     bool bTimed)
{
    ++pSender->ulPacketCount;
    pSender->ulOctetCount += ulPayloadBytes;
    if (!bTimed)
        return;
    if (!m_bAnchored) {
        m_bAnchored = true;
        m_llAnchorClock = llCaptureClock;
        m_ullAnchorNtp = WallClockNtp();
    }
    pSender->bHasStamp = true;
    pSender->ulLastRtpStamp = ulRtpStamp;
    pSender->llLastCaptureClock = llCaptureClock;
}

bool RtcpSenderReportDue(const tRtcpSender* pSender, INT64 llNowMs)
{
    if (!pSender->bReported)
        return pSender->bHasStamp;
    return llNowMs >= pSender->llNextReportMs;
}

bool RtcpSenderSentAnything(const tRtcpSender* pSender)
{
    return pSender->bReported || pSender->ulPacketCount > 0;
}

// A compound packet (RFC 3550, 6.1): SR when the stream has sent a sample
// since the report before the last one (6.4), else an empty RR; the SDES
// with the CNAME; a BYE last when the stream stops.
UINT32 RtcpSenderCompound(tRtcpSender* pSender, bool bBye, INT64 llNowMs, UINT8* pucOut)
{
    UINT8* p = pucOut;
    if (pSender->bHasStamp && pSender->ulPacketCount != pSender->ulPacketsAtReportBefore)
        p = PutSenderReport(p, pSender);
    else
        p = PutEmptyReceiverReport(p, pSender->ulSsrc);
    p = PutSourceDescription(p, pSender->ulSsrc);
    if (bBye)
        p = PutBye(p, pSender->ulSsrc);
    pSender->ulPacketsAtReportBefore = pSender->ulPacketsAtLastReport;
    pSender->ulPacketsAtLastReport = pSender->ulPacketCount;
    pSender->bReported = true;
    pSender->llNextReportMs = llNowMs + NextReportInterval();
    return (UINT32)(p - pucOut);
}

// ---- the UDP pair's streams ------------------------------------------------------------

// A failed send is reported as the RTP streams' are, at most once a second
// per socket; the run goes on and the report is not sent again.
static void SendCompound(stRtcpStream* pStream, bool bBye, INT64 llNowMs)
{
    UINT8 ucPacket[RTCP_COMPOUND_MAX];
    UINT32 ulSize = RtcpSenderCompound(&pStream->stSender, bBye, llNowMs, ucPacket);
    SendUDPPackageTo(pStream->hSocket, (char*)ucPacket, (int)ulSize, &pStream->stDestination);
}

// ---- opening -----------------------------------------------------------------------

int RtcpPortFor(unsigned int ulRtpPort)
{
    const unsigned int LAST_PORT = 65535;
    if (ulRtpPort >= LAST_PORT)
        return -1;
    return (int)ulRtpPort + 1;
}

// The user name of the run as the login shell or the service manager gives
// it (LOGNAME, USER), or null. The user database is not asked: on a board
// that may mean a name service that blocks or holds a descriptor.
static const char* UserName()
{
    static const char* const USER_VARIABLES[] = {"LOGNAME", "USER"};
    for (const char* szVariable : USER_VARIABLES) {
        const char* szName = getenv(szVariable);
        if (szName != nullptr && szName[0] != '\0' && strchr(szName, '@') == nullptr)
            return szName;
    }
    return nullptr;
}

// "user@host" (RFC 3550, 6.5.1), or the host alone when the user has no
// name; the same for every stream of the run, so that receivers know the
// streams come from one source and line them up. Cut to the item's 255
// bytes in the unlikely case of a longer one.
static void PickCname()
{
    char szHost[HOST_NAME_SIZE] = "";
    if (gethostname(szHost, sizeof(szHost)) != 0 || szHost[0] == '\0')
        snprintf(szHost, sizeof(szHost), "localhost");
    szHost[sizeof(szHost) - 1] = '\0';
    const char* szUser = UserName();
    int n;
    if (szUser != nullptr)
        n = snprintf(m_szCname, sizeof(m_szCname), "%s@%s", szUser, szHost);
    else
        n = snprintf(m_szCname, sizeof(m_szCname), "%s", szHost);
    if (n < 0)
        snprintf(m_szCname, sizeof(m_szCname), "localhost");
}

static bool IsStream(int iStream)
{
    return iStream >= 0 && iStream < RTCP_STREAM_COUNT;
}

// A BYE when the stream has sent anything (one that never sent must not,
// RFC 3550, 6.3.7), then its socket is closed.
static void EndStream(int iStream)
{
    stRtcpStream* pStream = &m_stStreams[iStream];
    if (pStream->bOpen && RtcpSenderSentAnything(&pStream->stSender))
        SendCompound(pStream, true, RtcpNowMs());
    if (pStream->bOpen)
        close(pStream->hSocket);
    memset(pStream, 0, sizeof(*pStream));
}

// RTCP packets must never land on a port that carries RTP: refuses the new
// stream's RTCP when its port is another stream's RTP port, and drops an
// open stream's RTCP when the new stream's RTP port is its RTCP port.
static bool RtcpPortIsFree(int iStream, unsigned int ulRtpPort, int iRtcpPort)
{
    for (int i = 0; i < RTCP_STREAM_COUNT; ++i) {
        stRtcpStream* pOther = &m_stStreams[i];
        if (i == iStream || !pOther->bUsed)
            continue;
        if (pOther->bOpen && pOther->iRtcpPort == (int)ulRtpPort) {
            printf("\nNo RTCP for RTP port %u: its RTCP port %d carries RTP.\n", pOther->ulRtpPort,
                   pOther->iRtcpPort);
            close(pOther->hSocket);
            pOther->bOpen = false;
        }
        if ((int)pOther->ulRtpPort == iRtcpPort) {
            printf("\nNo RTCP for RTP port %u: its RTCP port %d carries RTP.\n", ulRtpPort, iRtcpPort);
            return false;
        }
    }
    return true;
}

int RTCPOpen(int iStream, unsigned short usRtpPort, char* cpIP, int iTtl, UINT32 ulSsrc)
{
    if (!IsStream(iStream))
        return -1;
    stRtcpStream* pStream = &m_stStreams[iStream];
    if (pStream->bUsed)
        EndStream(iStream);
    RtcpSenderStart(&pStream->stSender, ulSsrc);
    pStream->bUsed = true;
    pStream->ulRtpPort = usRtpPort;
    pStream->iRtcpPort = RtcpPortFor(usRtpPort);
    if (pStream->iRtcpPort < 0) {
        printf("\nNo RTCP for RTP port %u: there is no port above it.\n", (unsigned int)usRtpPort);
        return -1;
    }
    if (!RtcpPortIsFree(iStream, usRtpPort, pStream->iRtcpPort))
        return -1;
    pStream->hSocket = CreateServerConnection(SOCK_DGRAM, (unsigned short)pStream->iRtcpPort, cpIP, iTtl);
    if (pStream->hSocket == INVALID_SOCKET) {
        printf("\nNo RTCP for RTP port %u: no socket.\n", (unsigned int)usRtpPort);
        return -1;
    }
    SetRemoteAddress(&pStream->stDestination, (unsigned short)pStream->iRtcpPort, cpIP);
    pStream->bOpen = true;
    return 1;
}

void RTCPOpenStreams(stInputParameters* pInput)
{
    if (SendsOnVideoPort(pInput))
        RTCPOpen(RTCP_STREAM_VIDEO, (unsigned short)pInput->Video_Port, pInput->IP_Addr, (int)pInput->ucttl, RTP_SSRC);
    if (SendsOnAudioPort(pInput))
        RTCPOpen(RTCP_STREAM_AUDIO, (unsigned short)pInput->Audio_Port, pInput->IP_Addr, (int)pInput->ucttl, RTP_SSRC);
}

// ---- hooks of the capture run ----------------------------------------------------------

static stRtcpStream* OpenStream(int iStream)
{
    return IsStream(iStream) && m_stStreams[iStream].bOpen ? &m_stStreams[iStream] : nullptr;
}

void RTCPCountRtp(int iStream, UINT32 ulRtpStamp, INT64 llCaptureClock, UINT32 ulPayloadBytes, bool bTimed)
{
    stRtcpStream* pStream = OpenStream(iStream);
    if (pStream != nullptr)
        RtcpSenderCount(&pStream->stSender, ulRtpStamp, llCaptureClock, ulPayloadBytes, bTimed);
}

void RTCPReportIfDue(int iStream)
{
    stRtcpStream* pStream = OpenStream(iStream);
    INT64 llNow = RtcpNowMs();
    if (pStream != nullptr && pStream->stSender.bHasStamp && RtcpSenderReportDue(&pStream->stSender, llNow))
        SendCompound(pStream, false, llNow);
}

void RTCPOnRtpSent(int iStream, UINT32 ulRtpStamp, INT64 llCaptureClock, UINT32 ulPayloadBytes)
{
    RTCPCountRtp(iStream, ulRtpStamp, llCaptureClock, ulPayloadBytes, true);
    RTCPReportIfDue(iStream);
}

void RTCPCountRtpSent(int iStream, UINT32 ulPayloadBytes)
{
    RTCPCountRtp(iStream, 0, 0, ulPayloadBytes, false);
}

bool RTCPStreamCounts(int iStream, UINT32* pulPackets, UINT32* pulOctets)
{
    if (iStream < 0 || iStream >= RTCP_STREAM_COUNT || !m_stStreams[iStream].bUsed)
        return false;
    *pulPackets = m_stStreams[iStream].stSender.ulPacketCount;
    *pulOctets = m_stStreams[iStream].stSender.ulOctetCount;
    return true;
}

void RTCPTick()
{
    INT64 llNow = RtcpNowMs();
    for (stRtcpStream& stream : m_stStreams) {
        if (stream.bOpen && stream.stSender.bReported && RtcpSenderReportDue(&stream.stSender, llNow))
            SendCompound(&stream, false, llNow);
    }
}

void RTCPClose()
{
    for (int i = 0; i < RTCP_STREAM_COUNT; ++i)
        EndStream(i);
    m_bAnchored = false;
    m_llAnchorClock = 0;
    m_ullAnchorNtp = 0;
}

// ---- receiver reports ----------------------------------------------------------------

int RtcpFindReportBlock(const UINT8* pucPacket, UINT32 ulSize, UINT32 ulSsrc, tRtcpReceiverReport* pReport)
{
    const UINT32 REPORT_BLOCK_SIZE = 24;
    const UINT32 SR_SENDER_INFO_SIZE = 20;
    int found = 0;
    for (UINT32 offset = 0; offset < ulSize;) {
        if (ulSize - offset < RTCP_HEADER_SIZE)
            return -1;
        const UINT8* p = pucPacket + offset;
        UINT32 length = ((UINT32)ReadBE16(p + 2) + 1) * 4;
        UINT8 type = p[1];
        bool padding = (p[0] & 0x20) != 0;
        if ((p[0] >> 6) != RTCP_VERSION || length > ulSize - offset || (offset == 0 && type != RTCP_PT_SR && type != RTCP_PT_RR) ||
            (padding && offset + length != ulSize))
            return -1;
        UINT32 blocks = p[0] & 0x1F;
        UINT32 first = RTCP_HEADER_SIZE + 4 + (type == RTCP_PT_SR ? SR_SENDER_INFO_SIZE : 0);
        if ((type == RTCP_PT_SR || type == RTCP_PT_RR) && first + blocks * REPORT_BLOCK_SIZE > length)
            return -1;
        for (UINT32 b = 0; (type == RTCP_PT_SR || type == RTCP_PT_RR) && b < blocks; b++) {
            const UINT8* block = p + first + b * REPORT_BLOCK_SIZE;
            if (ReadBE32(block) != ulSsrc)
                continue;
            UINT32 lost = ReadBE24(block + 5);
            pReport->ucFractionLost = block[4];
            pReport->lCumulativeLost = (INT32)(lost & 0x800000 ? lost | 0xFF000000u : lost);  // 24-bit signed
            pReport->ulHighestSeq = ReadBE32(block + 8);
            pReport->ulJitter = ReadBE32(block + 12);
            found = 1;
        }
        offset += length;
    }
    return found;
}
