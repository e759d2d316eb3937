// RTP streaming of QBox samples: H.264 (RFC 6184), AAC (RFC 3640) and MPEG-2
// transport-stream packets (RFC 2250).
#include "Rtp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "QBox.h"
#include "WriteAACHeader.h"
#include "byteorder.h"
#include "rtcp.h"
#include "tspacket.h"

static_assert(sizeof(rtp_header_t) == RTP_HEADER_SIZE, "RTP fixed header must be 12 bytes");
static_assert(offsetof(rtp_package_t, payload) == RTP_HEADER_SIZE, "payload must follow the header");
static_assert(sizeof(QBoxHeader) == QBOX_HEADER_SIZE, "QBox header must be 24 bytes");

SOCKET m_fdaudio = 0;
SOCKET m_fdvideo = 0;
Sockaddr_in m_TxAudioSockAddr;
Sockaddr_in m_TxVideoSockAddr;
int rtpheaderlen = RTP_HEADER_SIZE;

// NRI for each NAL unit type 0..31 (SetRtpPayloadHeader). The FU indicator
// takes the fragmented unit's own NRI instead (RFC 6184, 5.8).
int NUT2NRI[32] = {0, 2, 2, 1, 1, 3, 0, 3, 3, 0, 0, 0, 0, 3, 0, 0,
                   0, 0, 0, 2, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0};

// NAL unit types a packet may carry (RFC 6184, 5.2): H.264 (Table 7-1)
// leaves 0 and 24..31 unspecified, and RFC 6184 gives 24..31 to its own
// payload structures (STAP, MTAP, FU), so a unit of such a type in a single
// NAL unit packet would be read by the receiver as one of those.
const unsigned char NALU_TYPE_FIRST_SENT = 1;
const unsigned char NALU_TYPE_LAST_SENT = 23;
const unsigned int AAC_MIN_FRAME_SIZE = 4;  // shorter frames are not sent
const unsigned short AU_HEADERS_LENGTH_BITS = 16;
const int AU_INDEX_BITS = 3;
const int FU_HEADERS_SIZE = 2;  // FU indicator and FU header
const int NALU_REF_IDC_SHIFT = 5;
// The last slice type of a picture (ISO/IEC 14496-10, Table 7-1): 1 to 5
// are the coded slice NAL units, the units that make up a picture.
const unsigned char NALU_TYPE_LAST_SLICE = NALU_TYPE_IDR;
const int SOCKET_OPEN_RETRIES = 5;
const useconds_t SOCKET_OPEN_RETRY_PAUSE_US = 100000;

// ---- byte order and RTP header ----------------------------------------------

unsigned int reverse_byte_order_dword(unsigned int value)
{
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}

unsigned short reverse_byte_order_word(unsigned short value)
{
    return (unsigned short)((value >> 8) | (value << 8));
}

void RtpHeaderBuilder(rtp_header* rtp_header, int marker, unsigned char payloadtype, unsigned short seqno,
                      unsigned int timestamp, unsigned int ssrc)
{
    rtp_header->V = RTP_VERSION;
    rtp_header->P = 0;
    rtp_header->X = 0;
    rtp_header->CC = 0;
    rtp_header->M = marker & 1;
    rtp_header->PT = payloadtype & 0x7F;
    rtp_header->SN = htons(seqno);
    rtp_header->TS = htonl(timestamp);
    rtp_header->SSRC = htonl(ssrc);
}

int RtpPackageBuilder(rtp* rtp_package, unsigned char* buf, int rtp_payload_size, int padding, int marker,
                      int payloadtype, unsigned short seqno, unsigned int timestamp, unsigned int ssrc)
{
    (void)padding;  // packets are never padded
    RtpHeaderBuilder(&rtp_package->common_header, marker, (unsigned char)payloadtype, seqno, timestamp, ssrc);
    memcpy(rtp_package->payload, buf, rtp_payload_size);
    return rtp_payload_size + rtpheaderlen;
}

// ---- H.264 -------------------------------------------------------------------

// Whether a unit (header byte first) is one the streamer sends.
static bool IsSentNalu(const unsigned char* nalu, unsigned int size)
{
    if (size == 0)
        return false;
    unsigned char type = nalu[0] & NALU_TYPE_MASK;
    return type >= NALU_TYPE_FIRST_SENT && type <= NALU_TYPE_LAST_SENT;
}

// FU indicator (RFC 6184, 5.8): the F bit and NRI of the fragmented unit's
// own header, type 28. A receiver rebuilds the unit's header from it and the
// FU header's type, so a reference slice keeps its nal_ref_idc.
static void SetFuIndicator(rtp_payload_first_byte* indicator, unsigned char naluHeader)
{
    indicator->F = naluHeader >> 7;
    indicator->NRI = (naluHeader & NALU_REF_IDC_MASK) >> NALU_REF_IDC_SHIFT;
    indicator->TYPE = RTP_NALU_TYPE_FU_A;
}

void SetRtpPayloadHeader(rtp_payload_first_byte* rtppayload_header, unsigned char type)
{
    rtppayload_header->F = 0;
    rtppayload_header->NRI = NUT2NRI[type & NALU_TYPE_MASK] & 3;
    rtppayload_header->TYPE = type & NALU_TYPE_MASK;
}

int RtpFragmentPayloadBuilder(rtp* rtp_package, rtp_payload_first_byte* rtppayload_hd, FU_header* FUhd,
                              unsigned char* buf, int nalu_size)
{
    memcpy(&rtp_package->payload[0], rtppayload_hd, 1);
    memcpy(&rtp_package->payload[1], FUhd, 1);
    memcpy(&rtp_package->payload[FU_HEADERS_SIZE], buf, nalu_size);
    return nalu_size + FU_HEADERS_SIZE;
}

// Sends one packet; one of the H.264 stream is counted by its RTCP, with
// its RTP time stamp, which is the QBox stamp of its sample.
static int SendPacket(SOCKET hsocket, Sockaddr_in* to_address, rtp* rtp_package, int packet_size, int socktype)
{
    int sent;
    if (socktype == SOCK_DGRAM)
        sent = SendUDPPackageTo(hsocket, (char*)rtp_package, packet_size, to_address);
    else
        sent = SendTCPPackage(hsocket, (char*)rtp_package, packet_size);
    if (hsocket > 0 && hsocket == m_fdvideo) {
        unsigned int stamp = ntohl(rtp_package->common_header.TS);
        RTCPOnRtpSent(RTCP_STREAM_VIDEO, stamp, RtpCaptureClock(stamp), (UINT32)(packet_size - rtpheaderlen));
    }
    return sent;
}

// Cuts a NAL unit that does not fit one packet into FU-A fragments. The NAL
// header byte travels in the FU header (its type) and the FU indicator, so
// the fragments carry the remaining bytes. A first fragment never also ends
// the unit (RFC 6184 forbids S and E together): when the rest would fit one
// fragment, its last byte goes into a second one.
static void SendFragments(SOCKET hsocket, Sockaddr_in* to_address, int payloadtype, unsigned short* seqno,
                          unsigned int timestamp, unsigned char* buf, int nalu_size, unsigned int ssrc,
                          int socktype, int bEndOfAccessUnit)
{
    rtp package;
    rtp_payload_first_byte indicator;
    SetFuIndicator(&indicator, buf[0]);
    FU_header fu;
    fu.TYPE = buf[0] & NALU_TYPE_MASK;
    fu.R = 0;
    fu.E = 0;
    fu.S = 1;

    unsigned char* next = buf + 1;
    int remaining = nalu_size - 1;
    while (remaining > 0) {
        int fragment = remaining;
        if (fragment > (int)RTP_FU_FRAGMENT_SIZE)
            fragment = RTP_FU_FRAGMENT_SIZE;
        else if (fu.S)
            fragment = remaining - 1;
        fu.E = (fragment == remaining);
        int payload_size = RtpFragmentPayloadBuilder(&package, &indicator, &fu, next, fragment);
        RtpHeaderBuilder(&package.common_header, fu.E && bEndOfAccessUnit, (unsigned char)payloadtype,
                         *seqno, timestamp, ssrc);
        SendPacket(hsocket, to_address, &package, payload_size + rtpheaderlen, socktype);
        ++*seqno;
        fu.S = 0;
        next += fragment;
        remaining -= fragment;
    }
}

int SendRtpPackage(SOCKET hsocket, Sockaddr_in* to_address, int payloadtype, unsigned short* seqno,
                   unsigned int* timestamp, unsigned char* buf, int nalu_size, const unsigned int ssrc,
                   int socktype, int bEndOfAccessUnit)
{
    if (nalu_size <= 0)
        return 0;
    if (nalu_size <= (int)RTP_MAX_SINGLE_NALU_SIZE) {
        rtp package;
        int packet_size = RtpPackageBuilder(&package, buf, nalu_size, 0, bEndOfAccessUnit, payloadtype, *seqno,
                                            *timestamp, ssrc);
        SendPacket(hsocket, to_address, &package, packet_size, socktype);
        ++*seqno;
        return 1;
    }
    SendFragments(hsocket, to_address, payloadtype, seqno, *timestamp, buf, nalu_size, ssrc, socktype,
                  bEndOfAccessUnit);
    return 1;
}

unsigned RTPH264Stream(unsigned char* pbData, unsigned int lDataLength, unsigned int naluTS,
                       int bEndOfAccessUnit)
{
    static unsigned short lpacketsend = 0;

    if (m_fdvideo <= 0)
        return 0;
    if (!IsSentNalu(pbData, lDataLength))
        return 1;  // empty unit or unspecified type: nothing to send
    unsigned int timestamp = naluTS;
    SendRtpPackage(m_fdvideo, &m_TxVideoSockAddr, RTP_PT_H264, &lpacketsend, &timestamp, pbData,
                   (int)lDataLength, RTP_SSRC, SOCK_DGRAM, bEndOfAccessUnit);
    return 1;
}

// ---- capture clock -------------------------------------------------------------

static tCtsUnwrap rtpCaptureClock = {0, false};

int64_t RtpCaptureClock(unsigned int cts)
{
    return UnwrapCts(&rtpCaptureClock, cts);
}

unsigned int AacRtpTimestamp(int64_t llCaptureClock)
{
    return (unsigned int)QBoxTicksToRate(llCaptureClock, RTP_AAC_CLOCK_HZ);
}

// ---- AAC ---------------------------------------------------------------------

// The RTP time stamp follows the frame's QBox stamp (RFC 3640, 3.2.1: the
// sampling instant of the frame's first sample), so a lost frame leaves a gap
// in time, as it does in the stream.
unsigned RTPAACStream(unsigned char* pbData, unsigned int lDataLength, unsigned int timestamp)
{
    static unsigned short lAACpacketsend = 0;
    static rtp aacpkt;

    if (lDataLength < AAC_MIN_FRAME_SIZE)
        return 0;
    unsigned char* frame = pbData;
    unsigned int frame_size = lDataLength;
    if (pbData[0] == ADTS_SYNC_BYTE) {
        if (lDataLength <= ADTS_HEADER_SIZE)
            return 0;  // an ADTS header with no frame behind it
        frame += ADTS_HEADER_SIZE;
        frame_size -= ADTS_HEADER_SIZE;
    }
    if (m_fdaudio <= 0)
        return 0;
    if (frame_size > (unsigned int)(RTP_PAYLOAD_BUFFER_SIZE - RTP_AAC_AU_HEADERS_SIZE)) {
        printf("\nAAC frame of %u bytes does not fit an RTP packet, not sent\n", frame_size);
        return 0;
    }

    int64_t clock = RtpCaptureClock(timestamp);
    unsigned int rtpTime = AacRtpTimestamp(clock);
    RtpHeaderBuilder(&aacpkt.common_header, 1, RTP_PT_AAC, lAACpacketsend, rtpTime, RTP_SSRC);
    unsigned char* p = aacpkt.payload;
    p = WriteBE16(p, AU_HEADERS_LENGTH_BITS);
    p = WriteBE16(p, (unsigned short)(frame_size << AU_INDEX_BITS));  // AU-size, AU-Index 0
    memcpy(p, frame, frame_size);
    unsigned int payload_size = RTP_AAC_AU_HEADERS_SIZE + frame_size;
    SendUDPPackageTo(m_fdaudio, (char*)&aacpkt, rtpheaderlen + (int)payload_size, &m_TxAudioSockAddr);
    RTCPOnRtpSent(RTCP_STREAM_AUDIO, rtpTime, clock, payload_size);
    ++lAACpacketsend;
    return 1;
}

// ---- QBox samples ------------------------------------------------------------

// A coded slice: the units that make up a picture.
static bool IsSliceNalu(const unsigned char* nalu)
{
    unsigned char type = nalu[0] & NALU_TYPE_MASK;
    return type >= NALU_TYPE_SLICE && type <= NALU_TYPE_LAST_SLICE;
}

// Walks the length-prefixed NAL units of a video payload and sends each whole
// one. A unit is held back until the next one is found, so that the marker
// goes on the last unit actually sent. The marker ends an access unit
// (RFC 6184, 5.1): a sample without a picture (the parameter sets that open
// a run, with the stamp of the picture that follows) leaves it clear.
static void StreamVideoPayload(unsigned char* payload, unsigned int payload_size, unsigned int cts)
{
    unsigned char* pending = nullptr;
    unsigned int pending_size = 0;
    bool picture = false;
    tNaluWalk walk = StartNaluWalk(payload, payload_size);
    unsigned char* unit = nullptr;
    unsigned int nalu_size = 0;
    while (NextNalu(&walk, QBOX_NALU_PREFIX_SIZE, &unit, &nalu_size)) {
        unsigned char* nalu = unit + QBOX_NALU_PREFIX_SIZE;
        if (!IsSentNalu(nalu, nalu_size))
            continue;
        if (pending != nullptr)
            RTPH264Stream(pending, pending_size, cts, 0);
        pending = nalu;
        pending_size = nalu_size;
        picture = picture || IsSliceNalu(nalu);
    }
    if (pending != nullptr)
        RTPH264Stream(pending, pending_size, cts, picture ? 1 : 0);
}

int QBox2Streaming(unsigned char* inputdata, int inputdata_length)
{
    if (inputdata == nullptr || inputdata_length < (int)QBOX_HEADER_SIZE)
        return 1;
    QBoxHeader header;
    memcpy(&header, inputdata, sizeof(header));
    unsigned int cts = ntohl(header.sample_cts);
    unsigned short stream_type = ntohs(header.sample_stream_type);
    unsigned char* payload = inputdata + QBOX_HEADER_SIZE;
    unsigned int payload_size = (unsigned int)inputdata_length - QBOX_HEADER_SIZE;

    if (stream_type == QBOX_STREAM_AUDIO) {
        RTPAACStream(payload, payload_size, cts);
    } else if (stream_type == QBOX_STREAM_VIDEO) {
        RtpCaptureClock(cts);  // both streams advance the one capture clock
        StreamVideoPayload(payload, payload_size, cts);
    } else {
        printf("sample_stream_type = %d Unknown Format\n", stream_type);
        puts("sample_stream_id = Unknown Format");
    }
    return 1;
}

// ---- MPEG-2 transport stream ---------------------------------------------------

// bSample: the packets belong to the sample stamped esTS, whose capture
// clock the sender reports map; the tables that open the stream are only
// counted.
static unsigned SendTransportPackets(unsigned char* pTSData, unsigned int nTSPackets, unsigned int esTS,
                                     bool bSample)
{
    static unsigned short SN = 0;
    unsigned char RTPBuffer[RTP_TS_BUFFER_SIZE];

    if (pTSData == nullptr || m_fdvideo <= 0)
        return 1;
    unsigned char* p = RTPBuffer;
    *p++ = RTP_VERSION << 6;
    *p++ = RTP_PT_MP2T;  // marker 0
    p += 2;              // sequence number, per datagram
    p = WriteBE32(p, esTS);
    WriteBE32(p, RTP_SSRC);

    unsigned int taken = 0;
    while (taken < nTSPackets) {
        WriteBE16(RTPBuffer + 2, SN);
        ++SN;
        unsigned int remaining = nTSPackets - taken;
        unsigned int count = remaining > RTP_TS_PACKETS_PER_DATAGRAM - 1 ? RTP_TS_PACKETS_PER_DATAGRAM : remaining;
        unsigned int payload_size = count * TS_PACKET_SIZE;
        memcpy(RTPBuffer + RTP_HEADER_SIZE, pTSData + taken * TS_PACKET_SIZE, payload_size);
        int datagram_size = RTP_HEADER_SIZE + (int)payload_size;
        int sent = SendUDPPackageTo(m_fdvideo, (char*)RTPBuffer, datagram_size, &m_TxVideoSockAddr);
        if (bSample)
            RTCPOnRtpSent(RTCP_STREAM_VIDEO, esTS, RtpCaptureClock(esTS), payload_size);
        else
            RTCPCountRtpSent(RTCP_STREAM_VIDEO, payload_size);
        if (sent != -1 && sent < datagram_size) {
            puts("Failed to send complete RTP Packet....");
            getchar();
        }
        taken += RTP_TS_PACKETS_PER_DATAGRAM;
    }
    return 1;
}

unsigned RTPTransportStream(unsigned char* pTSData, unsigned int nTSPackets, unsigned int esTS)
{
    return SendTransportPackets(pTSData, nTSPackets, esTS, true);
}

unsigned RTPTransportStreamTables(unsigned char* pTSData, unsigned int nTSPackets)
{
    return SendTransportPackets(pTSData, nTSPackets, 0, false);
}

// ---- sockets -----------------------------------------------------------------

// A sending socket must be positive to count as open; one that came out as
// descriptor 0 (standard input closed) is moved to a higher descriptor.
static SOCKET KeepPositive(SOCKET hsocket)
{
    if (hsocket != 0)
        return hsocket;
    SOCKET moved = fcntl(hsocket, F_DUPFD_CLOEXEC, 1);
    close(hsocket);
    return moved;
}

static SOCKET OpenSendingSocket(unsigned short port, char* cpIP, int cpttl)
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
    return 1;
}

void CloseSockets()
{
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
