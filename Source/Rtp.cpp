// RTP packetisers of the encoder's samples, H.264 (RFC 6184), AAC (RFC 3640)
// and MPEG-2 transport-stream packets (RFC 2250), and the UDP pair of the
// -s streams.
#include "Rtp.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "QBox.h"
#include "WriteAACHeader.h"
#include "byteorder.h"
#include "captureparams.h"
#include "codecs.h"
#include "rtcp.h"
#include "sample.h"
#include "tspacket.h"

static_assert(sizeof(rtp_header_t) == RTP_HEADER_SIZE, "RTP fixed header must be 12 bytes");
static_assert(offsetof(rtp_package_t, payload) == RTP_HEADER_SIZE, "payload must follow the header");
static_assert(RTP_FIXED_HEADER_SIZE + RTP_PAYLOAD_HEAD_MAX <= UDP_BATCH_PREFIX_MAX, "a batch prefix holds both headers");

namespace {

// NAL unit types a packet may carry (RFC 6184, 5.2): H.264 (Table 7-1)
// leaves 0 and 24..31 unspecified, and RFC 6184 gives 24..31 to its own
// payload structures (STAP, MTAP, FU), so a unit of such a type in a single
// NAL unit packet would be read by the receiver as one of those.
const unsigned char NALU_TYPE_FIRST_SENT = 1;
const unsigned char NALU_TYPE_LAST_SENT = 23;
const unsigned int AAC_MIN_FRAME_SIZE = 4;  // shorter payloads are not sent
const unsigned short AU_HEADERS_LENGTH_BITS = 16;
const int AU_INDEX_BITS = 3;
const UINT32 FU_HEADERS_SIZE = 2;  // FU indicator and FU header
const UINT8 NALU_F_AND_NRI_MASK = 0xE0;
const int SOCKET_OPEN_RETRIES = 5;
const useconds_t SOCKET_OPEN_RETRY_PAUSE_US = 100000;

// Where a packetiser's packets go: every stream of a medium, or one alone.
struct tEmitTarget {
    tRtpMedium eMedium;
    tRtpStream* pOnly;
};

void Emit(const tEmitTarget* pTarget, const tRtpPayload* pPayload)
{
    if (pTarget->pOnly != nullptr)
        RtpEmitTo(pTarget->pOnly, pPayload);
    else
        RtpEmit(pTarget->eMedium, pPayload);
}

tRtpPayload TimedPayload(UINT32 ulRtpTime, INT64 llClock)
{
    tRtpPayload payload = tRtpPayload();
    payload.ulRtpTime = ulRtpTime;
    payload.llCaptureClock = llClock;
    payload.bTimed = true;
    return payload;
}

// ---- H.264 -------------------------------------------------------------------

// Whether a unit (header byte first) is one the streamer sends.
bool IsSentNalu(const unsigned char* nalu, unsigned int size)
{
    if (size == 0)
        return false;
    unsigned char type = nalu[0] & NALU_TYPE_MASK;
    return type >= NALU_TYPE_FIRST_SENT && type <= NALU_TYPE_LAST_SENT;
}

// A unit that does not fit one packet goes as FU-A fragments (RFC 6184,
// 5.8). The FU indicator carries the F bit and NRI of the unit's own header
// (a receiver rebuilds the header from it and the FU header's type, so a
// reference slice keeps its nal_ref_idc), and the fragments carry the bytes
// after the header. A first fragment never also ends the unit (RFC 6184
// forbids S and E together): when the rest would fit one fragment, its last
// byte goes into a second one.
void PacketiseFragments(const tEmitTarget* pTarget, tRtpPayload payload, const UINT8* pucNal, UINT32 ulSize,
                        bool bEndOfAu)
{
    const UINT8* next = pucNal + 1;
    UINT32 remaining = ulSize - 1;
    bool start = true;
    payload.ulHeadSize = FU_HEADERS_SIZE;
    while (remaining > 0) {
        UINT32 fragment = remaining;
        if (fragment > RTP_FU_FRAGMENT_SIZE)
            fragment = RTP_FU_FRAGMENT_SIZE;
        else if (start)
            fragment = remaining - 1;
        bool end = fragment == remaining;
        payload.ucHead[0] = (UINT8)((pucNal[0] & NALU_F_AND_NRI_MASK) | RTP_NALU_TYPE_FU_A);  // FU indicator
        payload.ucHead[1] = (UINT8)((start << 7) | (end << 6) | (pucNal[0] & NALU_TYPE_MASK));  // S, E, R 0, type
        payload.pucBody = next;
        payload.ulBodySize = fragment;
        payload.bMarker = end && bEndOfAu;
        Emit(pTarget, &payload);
        payload.bRandomAccess = false;
        start = false;
        next += fragment;
        remaining -= fragment;
    }
}

// One NAL unit: whole in a single NAL unit packet, or in fragments.
void PacketiseNalUnit(const tEmitTarget* pTarget, const UINT8* pucNal, UINT32 ulSize, tRtpPayload payload,
                      bool bEndOfAu)
{
    if (ulSize > RTP_MAX_SINGLE_NALU_SIZE) {
        PacketiseFragments(pTarget, payload, pucNal, ulSize, bEndOfAu);
        return;
    }
    payload.pucBody = pucNal;
    payload.ulBodySize = ulSize;
    payload.bMarker = bEndOfAu;
    Emit(pTarget, &payload);
}

// A stream that waits for a random access point and would get an IDR
// picture without parameter sets in front of it gets those in force first.
void PrimeJoiningStreams(const tSample* pSample, UINT32 ulRtpTime)
{
    if (!pSample->bIdr || (pSample->pSps != nullptr && pSample->pPps != nullptr) || !VideoCodecKnown(RunVideoCodec()))
        return;
    for (tRtpStream* s = RtpFirstStream(RTP_MEDIUM_H264); s != nullptr; s = s->pNext)
        if (s->bWaitForRandomAccess)
            RtpSendParameterSetsTo(s, ulRtpTime, pSample->llClock);
}

// The sample's units in order, each whole one that may be sent. The marker
// ends an access unit (RFC 6184, 5.1): it goes on the last unit sent of a
// sample that holds a picture (the parameter sets that open a run, with the
// stamp of the picture that follows, leave it clear).
void TakeVideoSample(const tSample* pSample)
{
    UINT32 rtpTime = (UINT32)pSample->llClock;
    PrimeJoiningStreams(pSample, rtpTime);
    int last = -1;
    for (UINT32 i = 0; i < pSample->ulUnitCount; i++)
        if (IsSentNalu(pSample->pUnits[i].pucData, pSample->pUnits[i].ulSize))
            last = (int)i;
    tEmitTarget target = {RTP_MEDIUM_H264, nullptr};
    tRtpPayload payload = TimedPayload(rtpTime, pSample->llClock);
    payload.bRandomAccess = pSample->bIdr;
    for (int i = 0; i <= last; i++) {
        const tNalUnit& unit = pSample->pUnits[i];
        if (!IsSentNalu(unit.pucData, unit.ulSize))
            continue;
        PacketiseNalUnit(&target, unit.pucData, unit.ulSize, payload, i == last && pSample->bPicture);
        payload.bRandomAccess = false;
    }
    RtpFlush(RTP_MEDIUM_H264);
}

// ---- AAC ---------------------------------------------------------------------

// The RTP time stamp follows the frame's QBox stamp (RFC 3640, 3.2.1: the
// sampling instant of the frame's first sample), so a lost frame leaves a
// gap in time, as it does in the stream. Every frame is a random access
// point: audio starts at once.
unsigned PacketiseAacFrame(const UINT8* pucFrame, UINT32 ulSize, INT64 llClock)
{
    if (!RtpHasStreams(RTP_MEDIUM_AAC))
        return 0;
    if (ulSize > RTP_AAC_MAX_FRAME_SIZE) {
        printf("\nAAC frame of %u bytes does not fit an RTP packet, not sent\n", ulSize);
        return 0;
    }
    tRtpPayload payload = TimedPayload(AacRtpTimestamp(llClock), llClock);
    UINT8* p = WriteBE16(payload.ucHead, AU_HEADERS_LENGTH_BITS);
    WriteBE16(p, (UINT16)(ulSize << AU_INDEX_BITS));  // AU-size, AU-Index 0
    payload.ulHeadSize = RTP_AAC_AU_HEADERS_SIZE;
    payload.pucBody = pucFrame;
    payload.ulBodySize = ulSize;
    payload.bMarker = true;
    payload.bRandomAccess = true;
    RtpEmit(RTP_MEDIUM_AAC, &payload);
    RtpFlush(RTP_MEDIUM_AAC);
    return 1;
}

}  // namespace

// ---- the header records of the wire layout -------------------------------------------

void RtpHeaderBuilder(rtp_header* rtp_header, int marker, unsigned char payloadtype, unsigned short seqno,
                      unsigned int timestamp, unsigned int ssrc)
{
    PutRtpHeader(reinterpret_cast<UINT8*>(rtp_header), (marker & 1) != 0, payloadtype, seqno, timestamp, ssrc);
}

int RtpPackageBuilder(rtp* rtp_package, unsigned char* buf, int rtp_payload_size, int padding, int marker,
                      int payloadtype, unsigned short seqno, unsigned int timestamp, unsigned int ssrc)
{
    (void)padding;  // packets are never padded
    RtpHeaderBuilder(&rtp_package->common_header, marker, (unsigned char)payloadtype, seqno, timestamp, ssrc);
    memcpy(rtp_package->payload, buf, rtp_payload_size);
    return rtp_payload_size + RTP_HEADER_SIZE;
}

int RtpFragmentPayloadBuilder(rtp* rtp_package, rtp_payload_first_byte* rtppayload_hd, FU_header* FUhd,
                              unsigned char* buf, int nalu_size)
{
    memcpy(&rtp_package->payload[0], rtppayload_hd, 1);
    memcpy(&rtp_package->payload[1], FUhd, 1);
    memcpy(&rtp_package->payload[FU_HEADERS_SIZE], buf, nalu_size);
    return nalu_size + (int)FU_HEADERS_SIZE;
}

// ---- the packetisers' entry points -------------------------------------------------------

int64_t RtpCaptureClock(unsigned int cts)
{
    return RunClockOf(cts);
}

unsigned int AacRtpTimestamp(int64_t llCaptureClock)
{
    return (unsigned int)QBoxTicksToRate(llCaptureClock, RTP_AAC_CLOCK_HZ);
}

void RtpTakeSample(const tSample* pSample)
{
    if (pSample->usStreamType == QBOX_STREAM_VIDEO && RtpHasStreams(RTP_MEDIUM_H264))
        TakeVideoSample(pSample);
    else if (pSample->usStreamType == QBOX_STREAM_AUDIO && pSample->ulPayloadSize >= AAC_MIN_FRAME_SIZE &&
             pSample->pucFrame != nullptr)
        PacketiseAacFrame(pSample->pucFrame, pSample->ulFrameSize, pSample->llClock);
}

void RtpSendParameterSetsTo(tRtpStream* pStream, UINT32 ulRtpTime, INT64 llCaptureClock)
{
    const tVideoCodec* codec = RunVideoCodec();
    tEmitTarget target = {RTP_MEDIUM_H264, pStream};
    tRtpPayload payload = TimedPayload(ulRtpTime, llCaptureClock);
    payload.bRandomAccess = true;
    PacketiseNalUnit(&target, codec->sps.data(), (UINT32)codec->sps.size(), payload, false);
    payload.bRandomAccess = false;
    PacketiseNalUnit(&target, codec->pps.data(), (UINT32)codec->pps.size(), payload, false);
    if (pStream->pfnFlush != nullptr)
        pStream->pfnFlush(pStream);
}

int QBox2Streaming(unsigned char* inputdata, int inputdata_length)
{
    if (inputdata == nullptr || inputdata_length < (int)QBOX_HEADER_SIZE)
        return 1;
    tSample sample;
    ParseSample(inputdata, (UINT32)inputdata_length, &sample);
    if (sample.usStreamType == QBOX_STREAM_AUDIO || sample.usStreamType == QBOX_STREAM_VIDEO) {
        RtpTakeSample(&sample);
    } else {
        printf("sample_stream_type = %d Unknown Format\n", sample.usStreamType);
        puts("sample_stream_id = Unknown Format");
    }
    return 1;
}

unsigned RTPH264Stream(unsigned char* pbData, unsigned int lDataLength, unsigned int naluTS, int bEndOfAccessUnit)
{
    if (!RtpHasStreams(RTP_MEDIUM_H264))
        return 0;
    if (!IsSentNalu(pbData, lDataLength))
        return 1;  // empty unit or unspecified type: nothing to send
    tEmitTarget target = {RTP_MEDIUM_H264, nullptr};
    PacketiseNalUnit(&target, pbData, lDataLength, TimedPayload(naluTS, RtpCaptureClock(naluTS)), bEndOfAccessUnit != 0);
    RtpFlush(RTP_MEDIUM_H264);
    return 1;
}

unsigned RTPAACStream(unsigned char* pbData, unsigned int lDataLength, unsigned int timestamp)
{
    const UINT8* frame = nullptr;
    UINT32 size = 0;
    if (lDataLength < AAC_MIN_FRAME_SIZE || !RawAacFrame(pbData, lDataLength, &frame, &size))
        return 0;
    return PacketiseAacFrame(frame, size, RtpCaptureClock(timestamp));
}

void RtpTransportPackets(const UINT8* pTSData, UINT32 nTSPackets, UINT32 esTS, bool bTimed, bool bRandomAccess)
{
    if (pTSData == nullptr || nTSPackets == 0 || !RtpHasStreams(RTP_MEDIUM_MP2T))
        return;
    tRtpPayload payload = TimedPayload(bTimed ? esTS : 0, bTimed ? RtpCaptureClock(esTS) : 0);
    payload.bTimed = bTimed;  // marker 0
    payload.bRandomAccess = bRandomAccess;
    for (UINT32 taken = 0; taken < nTSPackets; taken += RTP_TS_PACKETS_PER_DATAGRAM) {
        UINT32 count = nTSPackets - taken < RTP_TS_PACKETS_PER_DATAGRAM ? nTSPackets - taken : RTP_TS_PACKETS_PER_DATAGRAM;
        payload.pucBody = pTSData + taken * TS_PACKET_SIZE;
        payload.ulBodySize = count * TS_PACKET_SIZE;
        RtpEmit(RTP_MEDIUM_MP2T, &payload);
        payload.bRandomAccess = false;
    }
    RtpFlush(RTP_MEDIUM_MP2T);
}

unsigned RTPTransportStream(unsigned char* pTSData, unsigned int nTSPackets, unsigned int esTS)
{
    RtpTransportPackets(pTSData, nTSPackets, esTS, true, false);
    return 1;
}

unsigned RTPTransportStreamTables(unsigned char* pTSData, unsigned int nTSPackets)
{
    RtpTransportPackets(pTSData, nTSPackets, 0, false, false);
    return 1;
}

// ---- one unit onto one socket -------------------------------------------------------------

namespace {

struct tSocketTarget {
    SOCKET hSocket;
    Sockaddr_in* pTo;
    int iSockType;
};

void DeliverToSocket(tRtpStream* pStream, const UINT8* pucHeader, const tRtpPayload* pPayload)
{
    const tSocketTarget* target = static_cast<const tSocketTarget*>(pStream->pContext);
    rtp package;
    UINT8* p = reinterpret_cast<UINT8*>(&package);
    memcpy(p, pucHeader, RTP_HEADER_SIZE);
    memcpy(package.payload, pPayload->ucHead, pPayload->ulHeadSize);
    memcpy(package.payload + pPayload->ulHeadSize, pPayload->pucBody, pPayload->ulBodySize);
    int size = RTP_HEADER_SIZE + (int)(pPayload->ulHeadSize + pPayload->ulBodySize);
    if (target->iSockType == SOCK_DGRAM)
        SendUDPPackageTo(target->hSocket, (char*)&package, size, target->pTo);
    else
        SendTCPPackage(target->hSocket, (char*)&package, size);
}

}  // namespace

int SendRtpPackage(SOCKET hsocket, Sockaddr_in* to_address, int payloadtype, unsigned short* seqno,
                   unsigned int* timestamp, unsigned char* buf, int nalu_size, const unsigned int ssrc,
                   int socktype, int bEndOfAccessUnit)
{
    if (nalu_size <= 0)
        return 0;
    tSocketTarget socketTarget = {hsocket, to_address, socktype};
    tRtpStream stream = tRtpStream();
    stream.ucPayloadType = (UINT8)payloadtype;
    stream.ulSsrc = ssrc;
    stream.usNextSeq = *seqno;
    stream.pfnDeliver = DeliverToSocket;
    stream.pContext = &socketTarget;
    tEmitTarget target = {RTP_MEDIUM_H264, &stream};
    PacketiseNalUnit(&target, buf, (UINT32)nalu_size, TimedPayload(*timestamp, 0), bEndOfAccessUnit != 0);
    *seqno = stream.usNextSeq;
    return 1;
}

// ---- the UDP pair ---------------------------------------------------------------------------

namespace {

// One stream of the pair: its RTP state, its batch of datagrams, and the
// RTCP stream of its port pair.
struct tPairStream {
    tRtpMedium eMedium;
    UINT8 ucPayloadType;
    int iRtcpStream;
    bool bVideoPort;
    tRtpStream stStream;
    tUdpBatch stBatch;
};

tPairStream pairStreams[] = {
    {RTP_MEDIUM_H264, RTP_PT_H264, RTCP_STREAM_VIDEO, true, {}, {}},
    {RTP_MEDIUM_AAC, RTP_PT_AAC, RTCP_STREAM_AUDIO, false, {}, {}},
    {RTP_MEDIUM_MP2T, RTP_PT_MP2T, RTCP_STREAM_VIDEO, true, {}, {}},
};

SOCKET m_fdaudio = 0;
SOCKET m_fdvideo = 0;
Sockaddr_in m_TxAudioSockAddr;
Sockaddr_in m_TxVideoSockAddr;

void DeliverToPair(tRtpStream* pStream, const UINT8* pucHeader, const tRtpPayload* pPayload)
{
    tPairStream* pair = static_cast<tPairStream*>(pStream->pContext);
    UINT8 prefix[UDP_BATCH_PREFIX_MAX];
    memcpy(prefix, pucHeader, RTP_HEADER_SIZE);
    memcpy(prefix + RTP_HEADER_SIZE, pPayload->ucHead, pPayload->ulHeadSize);
    UdpBatchAdd(&pair->stBatch, prefix, RTP_HEADER_SIZE + pPayload->ulHeadSize, pPayload->pucBody, pPayload->ulBodySize);
    RTCPCountRtp(pair->iRtcpStream, pPayload->ulRtpTime, pPayload->llCaptureClock,
                 pPayload->ulHeadSize + pPayload->ulBodySize, pPayload->bTimed);
}

// The batch goes out, then the sender report that counts it, if due.
void FlushPair(tRtpStream* pStream)
{
    tPairStream* pair = static_cast<tPairStream*>(pStream->pContext);
    UdpBatchFlush(&pair->stBatch);
    RTCPReportIfDue(pair->iRtcpStream);
}

void StartPairStream(tPairStream* pair)
{
    tRtpStream& s = pair->stStream;
    s = tRtpStream();
    s.ucPayloadType = pair->ucPayloadType;
    s.ulSsrc = RTP_SSRC;
    s.pfnDeliver = DeliverToPair;
    s.pfnFlush = FlushPair;
    s.pContext = pair;
    if (pair->bVideoPort)
        UdpBatchStart(&pair->stBatch, m_fdvideo, &m_TxVideoSockAddr);
    else
        UdpBatchStart(&pair->stBatch, m_fdaudio, &m_TxAudioSockAddr);
    RtpAttach(pair->eMedium, &s);
}

// A sending socket must be positive to count as open; one that came out as
// descriptor 0 (standard input closed) is moved to a higher descriptor. It
// never blocks the capture: a datagram the kernel cannot queue is dropped.
SOCKET KeepPositive(SOCKET hsocket)
{
    if (hsocket == 0) {
        SOCKET moved = fcntl(hsocket, F_DUPFD_CLOEXEC, 1);
        close(hsocket);
        hsocket = moved;
    }
    if (hsocket > 0)
        fcntl(hsocket, F_SETFL, fcntl(hsocket, F_GETFL) | O_NONBLOCK);
    return hsocket;
}

SOCKET OpenSendingSocket(unsigned short port, char* cpIP, int cpttl)
{
    for (int attempt = 0; attempt <= SOCKET_OPEN_RETRIES; ++attempt) {
        if (attempt > 0)
            usleep(SOCKET_OPEN_RETRY_PAUSE_US);
        SOCKET hsocket = KeepPositive(CreateServerConnection(SOCK_DGRAM, port, cpIP, cpttl));
        if (hsocket > 0)
            return hsocket;
    }
    return INVALID_SOCKET;
}

}  // namespace

unsigned RTPOpen(unsigned short laudioport, unsigned short lvideoport, char* cpIP, int cpttl)
{
    bool audio_opened_here = false;
    if (m_fdaudio <= 0) {
        m_fdaudio = OpenSendingSocket(laudioport, cpIP, cpttl);
        if (m_fdaudio <= 0) {
            m_fdaudio = 0;
            return 0;
        }
        audio_opened_here = true;
    }
    SetRemoteAddress(&m_TxAudioSockAddr, laudioport, cpIP);

    if (m_fdvideo <= 0) {
        m_fdvideo = OpenSendingSocket(lvideoport, cpIP, cpttl);
        if (m_fdvideo <= 0) {
            m_fdvideo = 0;
            if (audio_opened_here) {
                close(m_fdaudio);
                m_fdaudio = 0;
            }
            return 0;
        }
    }
    SetRemoteAddress(&m_TxVideoSockAddr, lvideoport, cpIP);
    for (tPairStream& pair : pairStreams)
        StartPairStream(&pair);
    return 1;
}

void RTPUseStreams(const stInputParameters* pInput)
{
    bool transportStream = pInput->ulStreaming == STREAM_RTP_TS;
    for (tPairStream& pair : pairStreams) {
        bool used = pair.eMedium == RTP_MEDIUM_MP2T ? transportStream
                    : pair.bVideoPort                ? !transportStream && SendsOnVideoPort(pInput)
                                                     : SendsOnAudioPort(pInput);
        if (!used)
            RtpDetach(pair.eMedium, &pair.stStream);
    }
}

void CloseSockets()
{
    for (tPairStream& pair : pairStreams) {
        if (pair.stStream.pfnDeliver != nullptr)
            UdpBatchFlush(&pair.stBatch);
        RtpDetach(pair.eMedium, &pair.stStream);
        pair.stStream = tRtpStream();
    }
    RTCPClose();
    if (m_fdaudio > 0) {
        close(m_fdaudio);
        m_fdaudio = 0;
    }
    if (m_fdvideo > 0) {
        close(m_fdvideo);
        m_fdvideo = 0;
    }
}
