// PES and transport-stream packetiser (ISO/IEC 13818-1, 2.4.3 and 2.4.3.6)
// and the multiplex timing of mpgTSWriter.h.
#include "mpgTSWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "QBox.h"
#include "Rtp.h"
#include "WriteAACHeader.h"
#include "byteorder.h"
#include "captureparams.h"
#include "codecs.h"
#include "crc32.h"
#include "safefile.h"

namespace {

// Transport packet header (2.4.3.2) and adaptation field (2.4.3.4).
const unsigned int TS_HEADER_SIZE = 4;
const unsigned int TS_PAYLOAD_SIZE = TS_PACKET_SIZE - TS_HEADER_SIZE;  // 184
const UINT8 TS_UNIT_START = 0x40;      // payload_unit_start_indicator
const UINT8 TS_PRIORITY = 0x20;        // transport_priority
const UINT8 TS_PAYLOAD_ONLY = 0x10;    // adaptation_field_control '01'
const UINT8 TS_AF_AND_PAYLOAD = 0x30;  // adaptation_field_control '11'
const UINT8 TS_AF_ONLY = 0x20;         // adaptation_field_control '10'
const UINT8 AF_RANDOM_ACCESS = 0x40;   // random_access_indicator
const UINT8 AF_PCR = 0x10;             // PCR_flag
const UINT8 PCR_RESERVED_BITS = 0x7E;  // the six reserved bits between base and extension
const int64_t PCR_EXTENSION_MODULUS = 300;  // 27 MHz cycles per 90 kHz tick
const unsigned int AF_LENGTH_AND_FLAGS = 2;
const unsigned int PCR_SIZE = 6;
const UINT8 STUFFING_BYTE = 0xFF;

// PES packet header with a PTS and nothing else (2.4.3.7).
const unsigned int PES_HEADER_SIZE = 14;
const UINT8 PES_STREAM_ID_VIDEO = 0xE0;
const UINT8 PES_STREAM_ID_AUDIO = 0xC0;
const UINT8 PES_STREAM_ID_PRIVATE_1 = 0xBD;
const UINT8 PES_FLAGS_ORIGINAL = 0x81;  // '10', original_or_copy 1
const UINT8 PES_FLAGS_PTS_ONLY = 0x80;  // PTS_DTS_flags '10'
const UINT8 PES_PTS_DATA_LENGTH = 5;
const UINT64 TS_CLOCK_MASK = (1ull << 33) - 1;  // PTS and PCR base are 33-bit
// PES_packet_length counts the 3 flag/length bytes and the PTS too.
const UINT32 PES_BYTES_AFTER_LENGTH = 8;
// Above this a video PES packet is sent with PES_packet_length 0 (unbounded).
const UINT32 PES_MAX_BOUNDED_VIDEO_NALU = 64999;

// Access unit delimiter (ISO/IEC 14496-10, 7.3.2.4) behind a 4-byte start
// code: nal_unit_type 9, primary_pic_type 7 (any slice type: a unit is
// packetised before the rest of its access unit is seen), stop bit.
const UINT8 ACCESS_UNIT_DELIMITER[] = {0x00, 0x00, 0x00, 0x01, 0x09, 0xF0};
const UINT32 AUD_SIZE = sizeof(ACCESS_UNIT_DELIMITER);

// Continuity counters run 16..31; the low four bits are the
// continuity_counter, so the first packet of every PID carries 0.
const UINT8 CONTINUITY_START = 16;

// Packet buffer sizing: ceil(sam_len / 170 * K) packets, K = 3/2 for video
// and 6/5 for audio and private data; never fewer than two packets. On top
// of them, room for the packets the multiplex adds: the two tables owed at
// a random access point, and PCR-only packets and tables every 40 and 400 ms
// of the time the sample's packets span, or of an idle gap before them (up
// to about a second; a longer gap is a break in the stream).
const unsigned int BUFFER_RULE_DIVISOR = 170;
const unsigned int BUFFER_RULE_MIN_PACKETS = 2;
const UINT32 MUX_SPARE_PACKETS = 40;
const UINT32 MUX_SPARE_PER_PACKETS = 256;
// What may wait in the recording file's stream buffer (256 KiB) before a
// sample starts.
const UINT64 TS_PUSH_SIZE = 128 * 1024;

// The multiplex model on the 27 MHz system clock (mpgTSWriter.h).
const int64_t PCR_DELAY_27MHZ = (int64_t)TS_PCR_DELAY_TICKS * PCR_EXTENSION_MODULUS;
const int64_t PCR_INTERVAL_27MHZ = (int64_t)TS_PCR_INTERVAL_MS * 27000;
const int64_t PSI_INTERVAL_27MHZ = (int64_t)TS_PSI_INTERVAL_MS * 27000;
const int64_t PACKET_TIME_27MHZ = TS_PACKET_TIME_27MHZ;

// One elementary stream of the programme.
struct tTSStream {
    UINT16 usPid;
    UINT8 ucStreamId;
    bool bPcr;
    UINT8* pucContCnt;   // counter of the next packet packetised
    UINT8* pucPlacedCc;  // continuity_counter of the last packet placed in the multiplex
};

}  // namespace

// ---- module state ------------------------------------------------------------

static FILE* pfmpg = nullptr;
int tsWriteError = 0;
// The recording file's packets go through the stream's buffer and are
// pushed out at the start of a sample once TS_PUSH_SIZE bytes wait, and at
// every sync: one write for many packets. Bytes handed to the stream for
// this file, and its length at the last push that reached the disk, which
// always falls between two samples: a write the disk refuses cuts the file
// back there, so that it ends with whole samples.
static char streamBuffer[RECORDING_BUFFER_SIZE];
static UINT64 ullFileBytes = 0;
static UINT64 ullPushedBytes = 0;
static UINT8* pTSBuff = nullptr;
static UINT32 TSBuffSize = 0;
static UINT8 cont_cnt_vid = CONTINUITY_START;
static UINT8 cont_cnt_aud = CONTINUITY_START;
static UINT8 cont_cnt_pr = CONTINUITY_START;
// Before the first packet of a PID, the count before 0.
static UINT8 placed_cc_vid = 0x0F;
static UINT8 placed_cc_aud = 0x0F;
static UINT8 placed_cc_pr = 0x0F;
static UINT8 cont_cnt_pat = CONTINUITY_START;
static UINT8 cont_cnt_pmt = CONTINUITY_START;
static UINT8 ParSetNotFound = 1;
static UINT8 PATBuff[TS_PACKET_SIZE];
static UINT8 PMTBuff[TS_PACKET_SIZE];
// The stamps on an unwrapped 90 kHz clock (see ExtendTimeStamp).
static tCtsUnwrap streamClock = {0, false};
// The programme's PCR PID: video when the programme has video.
static UINT16 pcrPid = PID_VIDEO;

// The multiplex schedule (27 MHz), restarted by initMP2TS.
struct tMuxClock {
    bool bStarted;       // a packet has been placed since the stream was opened
    int64_t llLast;      // arrival time of the last packet
    bool bPcrSeen;       // a PCR has gone out on the PCR PID
    int64_t llLastPcr;   // arrival time of that PCR
    int64_t llLastPsi;   // arrival time of the last PAT and PMT
    bool bPsiJustSent;   // the tables were the last thing to go out
};
static tMuxClock mux = {};

// The video access unit being written: its stamp, and whether the tables
// went out in front of it.
static bool bVideoAuOpen = false;
static UINT32 ulVideoAuStamp = 0;
static bool bVideoAuTablesSent = false;

static const tTSStream VideoStream = {PID_VIDEO, PES_STREAM_ID_VIDEO, true, &cont_cnt_vid, &placed_cc_vid};
static const tTSStream AudioStream = {PID_AUDIO, PES_STREAM_ID_AUDIO, true, &cont_cnt_aud, &placed_cc_aud};
static const tTSStream PrivateStream = {PID_PRIVATE, PES_STREAM_ID_PRIVATE_1, false, &cont_cnt_pr, &placed_cc_pr};

// ---- packet pieces -----------------------------------------------------------

namespace {

// Takes the PID's current continuity_counter and advances the counter.
UINT8 NextContinuity(UINT8* pucContCnt)
{
    UINT8 cc = *pucContCnt & 0x0F;
    *pucContCnt = (UINT8)(CONTINUITY_START | ((cc + 1) & 0x0F));
    return cc;
}

// sync_byte, indicators and PID, adaptation_field_control and counter.
UINT8* PutTSHeader(UINT8* p, const tTSStream* stream, UINT8 ucIndicators, UINT8 ucFieldControl)
{
    *p++ = TS_SYNC_BYTE;
    p = WriteBE16(p, (UINT16)((ucIndicators << 8) | (stream->usPid & 0x1FFF)));
    *p++ = (UINT8)(ucFieldControl | NextContinuity(stream->pucContCnt));
    return p;
}

// program_clock_reference (2.4.3.5) of a time on the 27 MHz system clock:
// 33-bit base = time / 300 (modulo 2^33), reserved '111111', 9-bit
// extension = time modulo 300.
UINT8* PutPCR(UINT8* p, int64_t llTime27)
{
    int64_t base = llTime27 / PCR_EXTENSION_MODULUS;
    int64_t extension = llTime27 % PCR_EXTENSION_MODULUS;
    if (extension < 0) {
        extension += PCR_EXTENSION_MODULUS;
        base -= 1;
    }
    UINT64 base33 = (UINT64)base & TS_CLOCK_MASK;
    p = WriteBE32(p, (UINT32)(base33 >> 1));
    *p++ = (UINT8)(((base33 & 1) << 7) | PCR_RESERVED_BITS | (extension >> 8));
    *p++ = (UINT8)extension;
    return p;
}

// Where a PES packet with this PTS starts in the multiplex when nothing is
// ahead of it: TS_PCR_DELAY_TICKS before its time stamp.
int64_t NominalStart27(UINT64 pts)
{
    return (int64_t)pts * PCR_EXTENSION_MODULUS - PCR_DELAY_27MHZ;
}

// PTS in its 5-byte form: '0010', bits 32..30, marker; bits 29..15, marker;
// bits 14..0, marker.
UINT8* PutPTS(UINT8* p, UINT64 pts)
{
    *p++ = (UINT8)(0x20 | ((pts >> 29) & 0x0E) | 0x01);
    p = WriteBE16(p, (UINT16)((((pts >> 15) & 0x7FFF) << 1) | 0x01));
    p = WriteBE16(p, (UINT16)(((pts & 0x7FFF) << 1) | 0x01));
    return p;
}

UINT8* PutPESHeader(UINT8* p, UINT8 ucStreamId, UINT16 usPesLength, UINT64 pts)
{
    p = WriteBE24(p, 0x000001);  // packet_start_code_prefix
    *p++ = ucStreamId;
    p = WriteBE16(p, usPesLength);
    *p++ = PES_FLAGS_ORIGINAL;
    *p++ = PES_FLAGS_PTS_ONLY;
    *p++ = PES_PTS_DATA_LENGTH;
    return PutPTS(p, pts);
}

// Data bytes that fit the first packet behind the adaptation field (with or
// without a PCR) and the headers (PES header, and for audio the ADTS header).
constexpr UINT32 FirstPacketCapacity(bool bPcr, UINT32 szHeaders)
{
    return TS_PAYLOAD_SIZE - AF_LENGTH_AND_FLAGS - (bPcr ? PCR_SIZE : 0) - szHeaders;
}
static_assert(FirstPacketCapacity(true, PES_HEADER_SIZE) == TS_FIRST_PACKET_VIDEO_DATA, "video first packet");
static_assert(FirstPacketCapacity(true, PES_HEADER_SIZE + ADTS_HEADER_SIZE) == TS_FIRST_PACKET_AUDIO_DATA,
              "audio first packet");
static_assert(FirstPacketCapacity(false, PES_HEADER_SIZE) == TS_FIRST_PACKET_PRIVATE_DATA, "private first packet");

UINT32 PacketsForPES(UINT32 ulFirstCapacity, UINT32 szData)
{
    if (szData <= ulFirstCapacity) {
        return 1;
    }
    return 1 + (szData - ulFirstCapacity + TS_PAYLOAD_SIZE - 1) / TS_PAYLOAD_SIZE;
}

// First packet: headers, adaptation field with the PCR and the stuffing
// that makes a short PES packet end exactly at the packet's end.
void PutFirstPacket(const tTSStream* stream, const UINT8* pucHeaders, UINT32 szHeaders, BuffManager* pIn,
                    UINT64 timestamp, bool bRandomAccess, UINT8* pPacket)
{
    UINT32 capacity = FirstPacketCapacity(stream->bPcr, szHeaders);
    UINT32 remaining = pIn->Size - pIn->CurrPos;
    UINT32 take = remaining < capacity ? remaining : capacity;
    UINT32 stuffing = capacity - take;

    UINT8 indicators = TS_UNIT_START | (bRandomAccess ? TS_PRIORITY : 0);
    UINT8 flags = (stream->bPcr ? AF_PCR : 0) | (bRandomAccess ? AF_RANDOM_ACCESS : 0);

    UINT8* p = PutTSHeader(pPacket, stream, indicators, TS_AF_AND_PAYLOAD);
    *p++ = (UINT8)(AF_LENGTH_AND_FLAGS - 1 + (stream->bPcr ? PCR_SIZE : 0) + stuffing);
    *p++ = flags;
    if (stream->bPcr) {
        p = PutPCR(p, NominalStart27(timestamp));  // the multiplex sets the arrival time
    }
    memset(p, STUFFING_BYTE, stuffing);
    p += stuffing;
    memcpy(p, pucHeaders, szHeaders);
    p += szHeaders;
    if (take > 0) {
        memcpy(p, pIn->pBuff + pIn->CurrPos, take);
        pIn->CurrPos += take;
    }
}

// Continuation packet: 184 data bytes, or the last 183 behind an empty
// adaptation field, or fewer behind stuffing.
void PutContinuationPacket(const tTSStream* stream, BuffManager* pIn, UINT8* pPacket)
{
    UINT32 remaining = pIn->Size - pIn->CurrPos;
    UINT8* p;
    UINT32 take;
    if (remaining >= TS_PAYLOAD_SIZE) {
        p = PutTSHeader(pPacket, stream, 0, TS_PAYLOAD_ONLY);
        take = TS_PAYLOAD_SIZE;
    } else if (remaining == TS_PAYLOAD_SIZE - 1) {
        p = PutTSHeader(pPacket, stream, 0, TS_AF_AND_PAYLOAD);
        *p++ = 0;  // adaptation_field_length 0: the field is this byte alone
        take = remaining;
    } else {
        UINT32 stuffing = TS_PAYLOAD_SIZE - AF_LENGTH_AND_FLAGS - remaining;
        p = PutTSHeader(pPacket, stream, 0, TS_AF_AND_PAYLOAD);
        *p++ = (UINT8)(1 + stuffing);
        *p++ = 0x00;
        memset(p, STUFFING_BYTE, stuffing);
        p += stuffing;
        take = remaining;
    }
    memcpy(p, pIn->pBuff + pIn->CurrPos, take);
    pIn->CurrPos += take;
}

// Cuts one PES packet (headers, then the data under pIn) into transport
// packets appended to pOut; returns the number of packets.
UINT32 CutPESIntoPackets(const tTSStream* stream, const UINT8* pucHeaders, UINT32 szHeaders, BuffManager* pIn,
                         UINT64 timestamp, bool bRandomAccess, BuffManager* pOut)
{
    UINT32 count = 0;
    if (pOut->Size - pOut->CurrPos < TS_PACKET_SIZE) {
        return 0;
    }
    PutFirstPacket(stream, pucHeaders, szHeaders, pIn, timestamp, bRandomAccess, pOut->pBuff + pOut->CurrPos);
    pOut->CurrPos += TS_PACKET_SIZE;
    count++;
    while (pIn->CurrPos < pIn->Size && pOut->Size - pOut->CurrPos >= TS_PACKET_SIZE) {
        PutContinuationPacket(stream, pIn, pOut->pBuff + pOut->CurrPos);
        pOut->CurrPos += TS_PACKET_SIZE;
        count++;
    }
    return count;
}

UINT32 PacketiseUnit(const tTSStream* stream, const UINT8* pucHeaders, UINT32 szHeaders, UINT8* pData,
                     UINT32 szData, UINT8* pOutBuff, UINT64 timestamp, bool bRandomAccess)
{
    BuffManager in = {pData, szData, 0};
    UINT32 packets = PacketsForPES(FirstPacketCapacity(stream->bPcr, szHeaders), szData);
    BuffManager out = {pOutBuff, packets * TS_PACKET_SIZE, 0};
    return CutPESIntoPackets(stream, pucHeaders, szHeaders, &in, timestamp, bRandomAccess, &out);
}

// ---- multiplex -------------------------------------------------------------------

int64_t Later(int64_t a, int64_t b)
{
    return a > b ? a : b;
}

UINT16 PidOf(const UINT8* packet)
{
    return (UINT16)(ReadBE16(packet + 1) & 0x1FFF);
}

// Whether a packet's adaptation field holds a PCR.
bool CarriesPcr(const UINT8* packet)
{
    return (packet[3] & TS_AF_ONLY) != 0 && packet[4] > 0 && (packet[5] & AF_PCR) != 0;
}

const tTSStream* StreamOfPid(UINT16 pid)
{
    if (pid == PID_VIDEO) {
        return &VideoStream;
    }
    if (pid == PID_AUDIO) {
        return &AudioStream;
    }
    return pid == PID_PRIVATE ? &PrivateStream : nullptr;
}

// Room for one more packet ahead of the `reserved` packets still to come.
bool HasRoom(const BuffManager* out, UINT32 reserved)
{
    return out->CurrPos + (1 + reserved) * TS_PACKET_SIZE <= out->Size;
}

// Moves a packet to the output cursor at its arrival time: a PCR it holds
// becomes that time.
void PlacePacket(BuffManager* out, const UINT8* packet, int64_t llArrival)
{
    UINT8* p = out->pBuff + out->CurrPos;
    memmove(p, packet, TS_PACKET_SIZE);
    const tTSStream* stream = StreamOfPid(PidOf(p));
    if (stream != nullptr && (p[3] & TS_PAYLOAD_ONLY) != 0) {
        *stream->pucPlacedCc = p[3] & 0x0F;
    }
    if (CarriesPcr(p)) {
        PutPCR(p + TS_HEADER_SIZE + AF_LENGTH_AND_FLAGS, llArrival);
        if (PidOf(p) == pcrPid) {
            mux.bPcrSeen = true;
            mux.llLastPcr = llArrival;
        }
    }
    out->CurrPos += TS_PACKET_SIZE;
    mux.llLast = llArrival;
    mux.bPsiJustSent = false;
}

// A packet of the PCR PID with an adaptation field alone (2.4.3.4): its PCR
// and stuffing, no payload, so it repeats the continuity_counter of the
// PID's packet before it (2.4.3.3).
void PutPcrOnlyPacket(BuffManager* out, int64_t llArrival)
{
    UINT8 packet[TS_PACKET_SIZE];
    const tTSStream* stream = StreamOfPid(pcrPid);
    UINT8* p = packet;
    *p++ = TS_SYNC_BYTE;
    p = WriteBE16(p, (UINT16)(stream->usPid & 0x1FFF));
    *p++ = (UINT8)(TS_AF_ONLY | *stream->pucPlacedCc);
    *p++ = (UINT8)(TS_PAYLOAD_SIZE - 1);  // adaptation_field_length: the rest of the packet
    *p++ = AF_PCR;
    p = PutPCR(p, llArrival);
    memset(p, STUFFING_BYTE, (size_t)(packet + TS_PACKET_SIZE - p));
    PlacePacket(out, packet, llArrival);
}

// The PAT and the PMT, each with the next count of its PID.
void PutTablePackets(BuffManager* out, int64_t llArrival)
{
    UINT8 packet[TS_PACKET_SIZE];
    memcpy(packet, PATBuff, TS_PACKET_SIZE);
    packet[3] = (UINT8)(TS_AF_AND_PAYLOAD | NextContinuity(&cont_cnt_pat));
    PlacePacket(out, packet, llArrival);
    memcpy(packet, PMTBuff, TS_PACKET_SIZE);
    packet[3] = (UINT8)(TS_AF_AND_PAYLOAD | NextContinuity(&cont_cnt_pmt));
    PlacePacket(out, packet, llArrival + PACKET_TIME_27MHZ);
    mux.llLastPsi = llArrival;
    mux.bPsiJustSent = true;
}

// Before a packet that would arrive at llArrival: the tables when owed (a
// random access point) or due (every TS_PSI_INTERVAL_MS), and PCR-only
// packets wherever the PCR would lapse for more than TS_PCR_INTERVAL_MS,
// each at its due time or right after the last packet, in time order.
// Returns the packet's arrival time behind them.
int64_t PutDuePackets(BuffManager* out, int64_t llArrival, bool bTablesOwed, bool bHasPcr, UINT32 reserved)
{
    bool owed = bTablesOwed && !mux.bPsiJustSent;
    for (;;) {
        int64_t next = mux.llLast + PACKET_TIME_27MHZ;
        int64_t psiDue = mux.llLastPsi + PSI_INTERVAL_27MHZ;
        if (owed && llArrival - 2 * PACKET_TIME_27MHZ < psiDue) {
            psiDue = llArrival - 2 * PACKET_TIME_27MHZ;  // right in front of the packet
        }
        // Before the first PCR: at once, unless this packet brings it.
        int64_t pcrDue = mux.bPcrSeen ? mux.llLastPcr + PCR_INTERVAL_27MHZ : next;
        bool psi = owed || llArrival > psiDue;
        bool pcr = mux.bPcrSeen ? llArrival > pcrDue : !bHasPcr;
        if (psi && (!pcr || psiDue <= pcrDue) && HasRoom(out, reserved + 1)) {
            PutTablePackets(out, Later(next, psiDue));
            owed = false;
        } else if (pcr && HasRoom(out, reserved)) {
            PutPcrOnlyPacket(out, Later(next, pcrDue));
        } else {
            break;
        }
    }
    return Later(llArrival, mux.llLast + PACKET_TIME_27MHZ);
}

// The schedule starts with the first packet after the tables that opened
// the stream.
void StartMuxClock(int64_t llFirstArrival)
{
    mux.bStarted = true;
    mux.llLast = llFirstArrival - PACKET_TIME_27MHZ;
    mux.llLastPsi = mux.llLast;
    mux.bPcrSeen = false;
}

// Places the count packets of one PES packet (at pPes, anywhere behind the
// output cursor) into the multiplex: back to back from TS_PCR_DELAY_TICKS
// before their time stamp, or right behind the packets already placed,
// with the tables and PCR-only packets that fall due in between.
void MultiplexPES(const UINT8* pPes, UINT32 count, int64_t llClock90, bool bTablesOwed, BuffManager* out)
{
    int64_t start = llClock90 * PCR_EXTENSION_MODULUS - PCR_DELAY_27MHZ;
    if (!mux.bStarted) {
        StartMuxClock(start);
    }
    for (UINT32 i = 0; i < count; i++) {
        const UINT8* packet = pPes + i * TS_PACKET_SIZE;
        bool hasPcr = CarriesPcr(packet) && PidOf(packet) == pcrPid;
        int64_t arrival = Later(start, mux.llLast + PACKET_TIME_27MHZ);
        arrival = PutDuePackets(out, arrival, bTablesOwed && i == 0, hasPcr, count - i);
        PlacePacket(out, packet, arrival);
    }
}

// ---- output ------------------------------------------------------------------

bool WritesFile(unsigned int bWriteStream)
{
    return bWriteStream == TS_OUTPUT_FILE || bWriteStream == TS_OUTPUT_FILE_AND_RTP;
}

bool SendsRTP(unsigned int bWriteStream)
{
    return bWriteStream == TS_OUTPUT_RTP || bWriteStream == TS_OUTPUT_FILE_AND_RTP;
}

// The recording file stops taking packets: it is cut back to the last
// push that reached the disk (whole samples) and closed; the error stays
// in tsWriteError, and streaming goes on.
void FailFile()
{
    tsWriteError = errno != 0 ? errno : EIO;
    int fd = dup(fileno(pfmpg));
    fclose(pfmpg);
    pfmpg = nullptr;
    if (fd >= 0) {
        if (ftruncate(fd, (off_t)ullPushedBytes) != 0) {
            // The file keeps a partial sample at its end; readers resync.
        }
        close(fd);
    }
}

// Pushes what the stream holds; false when the disk refused it.
bool PushFile()
{
    if (pfmpg == nullptr) {
        return false;
    }
    if (fflush(pfmpg) != 0) {
        FailFile();
        return false;
    }
    ullPushedBytes = ullFileBytes;
    return true;
}

void WriteFilePackets(const UINT8* pPackets, UINT32 count)
{
    if (pfmpg == nullptr || count == 0) {
        return;
    }
    if (fwrite(pPackets, TS_PACKET_SIZE, count, pfmpg) != count) {
        FailFile();
        return;
    }
    ullFileBytes += (UINT64)count * TS_PACKET_SIZE;
}

// A new file: its stream buffer, nothing written yet.
void StartFile(FILE* pfOut)
{
    pfmpg = pfOut;
    tsWriteError = 0;
    ullFileBytes = ullPushedBytes = 0;
    UseRecordingBuffer(pfOut, streamBuffer);
}

tTSSink* sinks = nullptr;

// The emit step of the multiplex: the file, the RTP packetiser and every
// other sink take the same packets.
void EmitPackets(UINT8* pPackets, UINT32 count, UINT32 timestamp, unsigned int bWriteStream, bool bRandomAccess)
{
    if (count == 0) {
        return;
    }
    if (WritesFile(bWriteStream)) {
        WriteFilePackets(pPackets, count);
    }
    if (SendsRTP(bWriteStream)) {
        RtpTransportPackets(pPackets, count, timestamp, true, bRandomAccess);
    }
    for (tTSSink* sink = sinks; sink != nullptr; sink = sink->pNext) {
        sink->pfnTake(sink->pContext, pPackets, count, timestamp, bRandomAccess);
    }
}

// PES packets for one sample: the sizing rule, and never less than the
// packets the unit can take.
UINT32 PesPacketsFor(UINT32 sam_len, UINT32 ulRuleNum, UINT32 ulRuleDen, UINT32 ulFirstCapacity)
{
    UINT32 n = sam_len / BUFFER_RULE_DIVISOR;
    UINT32 packets = (n * ulRuleNum + ulRuleDen - 1) / ulRuleDen;
    if (packets == 0) {
        packets = BUFFER_RULE_MIN_PACKETS;
    }
    UINT32 needed = PacketsForPES(ulFirstCapacity, sam_len);
    return packets > needed ? packets : needed;
}

UINT32 MuxSparePackets(UINT32 pesPackets)
{
    return MUX_SPARE_PACKETS + pesPackets / MUX_SPARE_PER_PACKETS;
}

// The device's time stamps are 32-bit on the 90 kHz clock and wrap every
// 13.25 hours; PTS and PCR are 33-bit and wrap at twice that (ISO/IEC
// 13818-1, 2.4.2.2 and 2.4.3.7). The stamps are placed on one unwrapped
// clock for every stream (UnwrapCts), so the clock runs on across the
// 32-bit wrap, and a stamp of the other stream a little behind stays behind.
int64_t ExtendTimeStamp(UINT32 cts)
{
    return UnwrapCts(&streamClock, cts);
}

UINT64 PtsOf(int64_t llClock90)
{
    return (UINT64)llClock90 & TS_CLOCK_MASK;
}

// One sample: how to packetise it, and what the multiplex owes in front.
struct tSampleJob;
typedef unsigned int (*tPacketiser)(const tSampleJob&, unsigned char*, unsigned int, unsigned char*, UINT64);
struct tSampleJob {
    tPacketiser packetise;
    UINT32 ulPesPackets;     // room for its PES packets
    bool bAccessUnitStart;   // video: an access unit delimiter goes first
    bool bTablesOwed;        // PAT and PMT go first: a random access point
    const UINT8* pucStartCode;  // video: the 4 bytes in front of the NAL unit
};

unsigned int PacketiseVideoUnit(const UINT8* pucStartCode, const UINT8* pucNal, UINT32 szNal, UINT8* pTSBuff,
                                UINT64 timestamp, bool bAccessUnitStart);

// Packs one sample into the module's packet buffer, the PES packets behind
// the room for what the multiplex adds, places them in the multiplex in
// place and emits the result. Returns the PES packets written.
UINT32 WriteSampleTS(const tSampleJob& job, unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS,
                     unsigned int bWriteStream)
{
    UINT32 spare = MuxSparePackets(job.ulPesPackets);
    TSBuffSize = (spare + job.ulPesPackets) * TS_PACKET_SIZE;
    pTSBuff = new (std::nothrow) UINT8[TSBuffSize];
    if (pTSBuff == nullptr) {
        TSBuffSize = 0;
        return 0;
    }
    int64_t clock = ExtendTimeStamp(sam_CTS);
    UINT8* pes = pTSBuff + spare * TS_PACKET_SIZE;
    UINT32 count = job.packetise(job, samBuff, sam_len, pes, PtsOf(clock));
    // The output ends where the PES packets do, so that what the multiplex
    // adds in front of a packet never reaches a packet not yet placed.
    BuffManager out = {pTSBuff, (spare + count) * TS_PACKET_SIZE, 0};
    if (count > 0) {
        MultiplexPES(pes, count, clock, job.bTablesOwed, &out);
    }
    // A receiver can start at packets that open with the tables in front of
    // an access unit it can decode from (or of any audio frame, when the
    // programme has no video).
    bool startsWithTables = out.CurrPos > 0 && PidOf(pTSBuff) == PID_PAT;
    bool randomAccess = startsWithTables && (job.bTablesOwed || pcrPid == PID_AUDIO);
    EmitPackets(pTSBuff, out.CurrPos / TS_PACKET_SIZE, sam_CTS, bWriteStream, randomAccess);
    delete[] pTSBuff;
    pTSBuff = nullptr;
    TSBuffSize = 0;
    return count;
}

unsigned int PacketiseVideo(const tSampleJob& job, unsigned char* data, unsigned int size, unsigned char* out,
                            UINT64 pts)
{
    return PacketiseVideoUnit(job.pucStartCode, data, size, out, pts, job.bAccessUnitStart);
}

unsigned int PacketiseAudio(const tSampleJob&, unsigned char* data, unsigned int size, unsigned char* out, UINT64 pts)
{
    return getAudioTS(data, size, out, pts);
}

unsigned int PacketisePrivate(const tSampleJob&, unsigned char* data, unsigned int size, unsigned char* out,
                              UINT64 pts)
{
    return getPrvDataTS(data, size, out, pts);
}

// The tables that open a stream, each with the first count of its PID.
void EmitTable(UINT8* packet, UINT8* pucContCnt, unsigned int bWriteStream)
{
    *pucContCnt = CONTINUITY_START;
    packet[3] = (UINT8)(TS_AF_AND_PAYLOAD | NextContinuity(pucContCnt));
    if (WritesFile(bWriteStream)) {
        WriteFilePackets(packet, 1);
    }
    if (SendsRTP(bWriteStream)) {
        RTPTransportStreamTables(packet, 1);
    }
}

// Units of one time stamp make up one access unit: a new stamp starts the
// next one.
bool StartsAccessUnit(unsigned int sam_CTS)
{
    return !bVideoAuOpen || sam_CTS != ulVideoAuStamp;
}

// A new stream: its clock, its schedule and its access units start afresh.
void RestartStream(UINT16 usPcrPid)
{
    streamClock.bStarted = false;
    mux = tMuxClock();
    mux.bPsiJustSent = true;
    bVideoAuOpen = false;
    pcrPid = usPcrPid;
}

}  // namespace

// ---- sinks -------------------------------------------------------------------------

void TSAttachSink(tTSSink* pSink)
{
    for (tTSSink* sink = sinks; sink != nullptr; sink = sink->pNext) {
        if (sink == pSink) {
            return;
        }
    }
    pSink->pNext = sinks;
    sinks = pSink;
}

void TSDetachSink(tTSSink* pSink)
{
    for (tTSSink** link = &sinks; *link != nullptr; link = &(*link)->pNext) {
        if (*link == pSink) {
            *link = pSink->pNext;
            pSink->pNext = nullptr;
            return;
        }
    }
}

// ---- stream set-up -------------------------------------------------------------

unsigned int initMP2TS(unsigned char stream_type, FILE* pfOut, unsigned int bWriteStream)
{
    StartFile(pfOut);
    if (WritesFile(bWriteStream) && pfOut == nullptr) {
        return 0;
    }
    RestartStream(stream_type == MEDIA_FORMAT_AUDIO ? PID_AUDIO : PID_VIDEO);

    UINT8 packet[TS_PACKET_SIZE];
    getPAT(packet);
    EmitTable(packet, &cont_cnt_pat, bWriteStream);
    memcpy(PATBuff, packet, TS_PACKET_SIZE);

    unsigned char video = STREAM_TYPE_H264, audio = STREAM_TYPE_AAC_ADTS, priv = 1;
    if (stream_type == MEDIA_FORMAT_AUDIO) {
        video = 0;
        priv = 0;
    } else if (stream_type == MEDIA_FORMAT_VIDEO) {
        audio = 0;
        priv = 0;
    } else if (stream_type != MEDIA_FORMAT_AUDIO_VIDEO) {
        printf("MP2TS initMP2TS: Unknown stream type. Defaulting to Audio/Video");
    }
    getPMT(packet, video, audio, priv);
    EmitTable(packet, &cont_cnt_pmt, bWriteStream);
    memcpy(PMTBuff, packet, TS_PACKET_SIZE);
    if (WritesFile(bWriteStream) && pfmpg != nullptr) {
        PushFile();
    }
    return WritesFile(bWriteStream) && tsWriteError != 0 ? 0 : 1;
}

UINT32 tsSyncCount = 0;

unsigned int syncTSRecording()
{
    if (!PushFile()) {
        return 0;
    }
    if (fdatasync(fileno(pfmpg)) != 0) {
        tsWriteError = errno;
        return 0;
    }
    tsSyncCount++;
    return 1;
}

// The tables open the new file with the counts they last went out with, so
// that the next ones the multiplex puts in it follow on without a gap,
// while a stream fed from the same packets sees no change.
void continueMP2TSInFile(FILE* pfNext)
{
    StartFile(pfNext);
    UINT8 packets[2 * TS_PACKET_SIZE];
    memcpy(packets, PATBuff, TS_PACKET_SIZE);
    memcpy(packets + TS_PACKET_SIZE, PMTBuff, TS_PACKET_SIZE);
    packets[3] = (UINT8)(TS_AF_AND_PAYLOAD | ((cont_cnt_pat - 1) & 0x0F));
    packets[TS_PACKET_SIZE + 3] = (UINT8)(TS_AF_AND_PAYLOAD | ((cont_cnt_pmt - 1) & 0x0F));
    WriteFilePackets(packets, 2);
    if (pfmpg != nullptr) {
        PushFile();
    }
}

void BeginTSSample()
{
    if (pfmpg != nullptr && ullFileBytes - ullPushedBytes >= TS_PUSH_SIZE) {
        PushFile();
    }
}

unsigned int deinitMP2TS()
{
    bool closed = true;
    if (pfmpg != nullptr && !PushFile()) {
        closed = false;
    } else if (pfmpg != nullptr) {
        if (fclose(pfmpg) != 0) {
            tsWriteError = errno;
            closed = false;
        }
        pfmpg = nullptr;
    }
    return closed ? 1 : 0;
}

// ---- packetisers -----------------------------------------------------------------

unsigned int getVideoTS(unsigned char* pNALU, unsigned int szNALU, unsigned char* pTSBuff, UINT64 timestamp,
                        bool bAccessUnitStart)
{
    if (szNALU <= START_CODE_SIZE) {
        return 0;  // a start code with no NAL unit behind it
    }
    return PacketiseVideoUnit(pNALU, pNALU + START_CODE_SIZE, szNALU - START_CODE_SIZE, pTSBuff, timestamp,
                              bAccessUnitStart);
}

namespace {

// One NAL unit behind the 4 start-code bytes at pucStartCode (not
// necessarily in front of it in memory: a unit of a sample lies behind its
// length prefix, which stays as it is).
unsigned int PacketiseVideoUnit(const UINT8* pucStartCode, const UINT8* pucNal, UINT32 szNal, UINT8* pTSBuff,
                                UINT64 timestamp, bool bAccessUnitStart)
{
    if (szNal == 0) {
        return 0;
    }
    UINT8 type = NaluType(pucNal[0]);
    if (ParSetNotFound) {
        // The stream begins with a sequence parameter set: a decoder can
        // start on nothing before it.
        if (type != NALU_TYPE_SPS) {
            return 0;
        }
        ParSetNotFound = 0;
    }
    if (type == NALU_TYPE_SEI) {
        return 0;
    }

    // The access unit delimiter travels behind the PES header, in front of
    // the unit, as the first NAL unit of its access unit.
    UINT32 szAud = bAccessUnitStart ? AUD_SIZE : 0;
    UINT32 szUnit = szNal + START_CODE_SIZE;
    UINT32 szEs = szUnit + szAud;
    UINT16 pesLength = szUnit <= PES_MAX_BOUNDED_VIDEO_NALU ? (UINT16)(szEs + PES_BYTES_AFTER_LENGTH) : 0;
    UINT8 headers[PES_HEADER_SIZE + AUD_SIZE + START_CODE_SIZE];
    PutPESHeader(headers, VideoStream.ucStreamId, pesLength, timestamp);
    memcpy(headers + PES_HEADER_SIZE, ACCESS_UNIT_DELIMITER, szAud);
    memcpy(headers + PES_HEADER_SIZE + szAud, pucStartCode, START_CODE_SIZE);
    return PacketiseUnit(&VideoStream, headers, PES_HEADER_SIZE + szAud + START_CODE_SIZE, const_cast<UINT8*>(pucNal),
                         szNal, pTSBuff, timestamp, type == NALU_TYPE_IDR);
}

}  // namespace

unsigned int getAudioTS(unsigned char* pAU, unsigned int szAU, unsigned char* pTSBuff, UINT64 timestamp)
{
    if (szAU > ADTS_MAX_RAW_FRAME_SIZE) {
        return 0;
    }
    UINT8 headers[PES_HEADER_SIZE + ADTS_HEADER_SIZE];
    UINT16 pesLength = (UINT16)(szAU + PES_BYTES_AFTER_LENGTH + ADTS_HEADER_SIZE);
    PutPESHeader(headers, AudioStream.ucStreamId, pesLength, timestamp);
    const tAudioCodec* codec = RunAudioCodec();
    WriteADTSHeader(headers + PES_HEADER_SIZE, szAU + ADTS_HEADER_SIZE, codec->ulChannels, codec->ulSamplingIndex);
    return PacketiseUnit(&AudioStream, headers, sizeof(headers), pAU, szAU, pTSBuff, timestamp, false);
}

unsigned int getPrvDataTS(unsigned char* pData, unsigned int szData, unsigned char* pTSBuff, UINT64 timestamp)
{
    if (szData > TS_MAX_PRIVATE_BLOCK) {
        return 0;
    }
    UINT8 headers[PES_HEADER_SIZE];
    PutPESHeader(headers, PrivateStream.ucStreamId, (UINT16)(szData + PES_BYTES_AFTER_LENGTH), timestamp);
    return PacketiseUnit(&PrivateStream, headers, PES_HEADER_SIZE, pData, szData, pTSBuff, timestamp, false);
}

// ---- write entry points ------------------------------------------------------------

namespace {

// A receiver that joins late, or a reader that starts in the middle of the
// file, can start at a sequence parameter set or an IDR picture: the tables
// go out in front of the access unit that brings one.
void WriteVideoUnit(const UINT8* pucStartCode, const UINT8* pucNal, UINT32 szNal, UINT32 sam_CTS,
                    unsigned int bWriteStream)
{
    UINT8 type = szNal > 0 ? NaluType(pucNal[0]) : 0;
    bool randomAccess = type == NALU_TYPE_SPS || type == NALU_TYPE_IDR;
    bool auStart = StartsAccessUnit(sam_CTS);
    UINT32 pesPackets = PesPacketsFor(szNal + START_CODE_SIZE, 3, 2, TS_FIRST_PACKET_VIDEO_DATA - AUD_SIZE);
    tSampleJob job = {PacketiseVideo, pesPackets, auStart, randomAccess && (auStart || !bVideoAuTablesSent),
                      pucStartCode};
    if (WriteSampleTS(job, const_cast<UINT8*>(pucNal), szNal, sam_CTS, bWriteStream) > 0) {
        if (job.bAccessUnitStart) {
            bVideoAuOpen = true;
            ulVideoAuStamp = sam_CTS;
            bVideoAuTablesSent = false;
        }
        bVideoAuTablesSent = bVideoAuTablesSent || job.bTablesOwed;
    }
}

}  // namespace

unsigned int writeVideoTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream)
{
    if (sam_len > START_CODE_SIZE) {
        WriteVideoUnit(samBuff, samBuff + START_CODE_SIZE, sam_len - START_CODE_SIZE, sam_CTS, bWriteStream);
    }
    return 1;
}

unsigned int writeVideoUnitTS(const UINT8* pucNal, UINT32 szNal, UINT32 sam_CTS, unsigned int bWriteStream)
{
    WriteVideoUnit(START_CODE, pucNal, szNal, sam_CTS, bWriteStream);
    return 1;
}

unsigned int writeAudioTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream)
{
    if (sam_len > ADTS_MAX_RAW_FRAME_SIZE) {
        return 0;
    }
    tSampleJob job = {PacketiseAudio, PesPacketsFor(sam_len, 6, 5, TS_FIRST_PACKET_AUDIO_DATA), false, false, nullptr};
    WriteSampleTS(job, samBuff, sam_len, sam_CTS, bWriteStream);
    return 1;
}

unsigned int writePrvDataTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream)
{
    if (sam_len > TS_MAX_PRIVATE_BLOCK) {
        return 0;
    }
    tSampleJob job = {PacketisePrivate, PesPacketsFor(sam_len, 6, 5, TS_FIRST_PACKET_PRIVATE_DATA), false, false,
                      nullptr};
    WriteSampleTS(job, samBuff, sam_len, sam_CTS, bWriteStream);
    return 1;
}
