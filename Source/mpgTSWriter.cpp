// PES and transport-stream packetiser (ISO/IEC 13818-1, 2.4.3 and 2.4.3.6).
#include "mpgTSWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "QBox.h"
#include "Rtp.h"
#include "WriteAACHeader.h"
#include "captureparams.h"
#include "byteorder.h"
#include "crc32.h"

namespace {

// Transport packet header (2.4.3.2) and adaptation field (2.4.3.4).
const unsigned int TS_HEADER_SIZE = 4;
const unsigned int TS_PAYLOAD_SIZE = TS_PACKET_SIZE - TS_HEADER_SIZE;  // 184
const UINT8 TS_UNIT_START = 0x40;      // payload_unit_start_indicator
const UINT8 TS_PRIORITY = 0x20;        // transport_priority
const UINT8 TS_PAYLOAD_ONLY = 0x10;    // adaptation_field_control '01'
const UINT8 TS_AF_AND_PAYLOAD = 0x30;  // adaptation_field_control '11'
const UINT8 AF_RANDOM_ACCESS = 0x40;   // random_access_indicator
const UINT8 AF_PCR = 0x10;             // PCR_flag
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

// Continuity counters run 16..31; the low four bits are the
// continuity_counter, so the first packet of every PID carries 0.
const UINT8 CONTINUITY_START = 16;

// Packet buffer sizing: ceil(sam_len / 170 * K) packets, K = 3/2 for video
// and 6/5 for audio and private data; never fewer than two packets.
const unsigned int BUFFER_RULE_DIVISOR = 170;
const unsigned int BUFFER_RULE_MIN_PACKETS = 2;

// One elementary stream of the programme.
struct tTSStream {
    UINT16 usPid;
    UINT8 ucStreamId;
    bool bPcr;
    UINT8* pucContCnt;
};

}  // namespace

// ---- module state ------------------------------------------------------------

static FILE* pfmpg = nullptr;
int tsWriteError = 0;
// Where the sample being written began in the recording file: a sample
// whose packets the file does not all take is cut off from there.
static off_t sampleStart = 0;
static UINT8* pTSBuff = nullptr;
static UINT32 TSBuffSize = 0;
static UINT8 cont_cnt_vid = CONTINUITY_START;
static UINT8 cont_cnt_aud = CONTINUITY_START;
static UINT8 cont_cnt_pr = CONTINUITY_START;
static UINT8 ParSetNotFound = 1;
static UINT8 PATBuff[TS_PACKET_SIZE];
static UINT8 PMTBuff[TS_PACKET_SIZE];
// The latest time stamp so far on an unwrapped 90 kHz clock (see ExtendTimeStamp).
static int64_t latestClock = 0;
static bool clockStarted = false;

static const tTSStream VideoStream = {PID_VIDEO, PES_STREAM_ID_VIDEO, true, &cont_cnt_vid};
static const tTSStream AudioStream = {PID_AUDIO, PES_STREAM_ID_AUDIO, true, &cont_cnt_aud};
static const tTSStream PrivateStream = {PID_PRIVATE, PES_STREAM_ID_PRIVATE_1, false, &cont_cnt_pr};

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

// program_clock_reference: 33-bit base = the 90 kHz time stamp, reserved
// '111111', 9-bit extension 0.
UINT8* PutPCR(UINT8* p, UINT64 timestamp)
{
    p = WriteBE32(p, (UINT32)(timestamp >> 1));
    *p++ = (UINT8)(((timestamp & 1) << 7) | 0x7E);
    *p++ = 0x00;
    return p;
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
        p = PutPCR(p, timestamp);
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

// ---- output ------------------------------------------------------------------

bool WritesFile(unsigned int bWriteStream)
{
    return bWriteStream == TS_OUTPUT_FILE || bWriteStream == TS_OUTPUT_FILE_AND_RTP;
}

bool SendsRTP(unsigned int bWriteStream)
{
    return bWriteStream == TS_OUTPUT_RTP || bWriteStream == TS_OUTPUT_FILE_AND_RTP;
}

// Writes whole packets to the recording and pushes them to the file. When
// the file does not take them all, it is cut back to where the sample began
// and closed: the recording ends with whole samples, the error stays in
// tsWriteError, and streaming goes on.
void WriteFilePackets(const UINT8* pPackets, UINT32 count)
{
    if (pfmpg == nullptr || count == 0) {
        return;
    }
    off_t before = sampleStart;
    if (fwrite(pPackets, TS_PACKET_SIZE, count, pfmpg) == count && fflush(pfmpg) == 0) {
        return;
    }
    tsWriteError = errno != 0 ? errno : EIO;
    int fd = dup(fileno(pfmpg));
    fclose(pfmpg);
    pfmpg = nullptr;
    if (fd >= 0) {
        if (before >= 0 && ftruncate(fd, before) != 0) {
            // The file keeps a partial sample at its end; readers resync.
        }
        close(fd);
    }
}

void EmitPackets(UINT8* pPackets, UINT32 count, UINT32 timestamp, unsigned int bWriteStream, bool bTablesFirst)
{
    if (WritesFile(bWriteStream)) {
        WriteFilePackets(pPackets, count);
    }
    if (SendsRTP(bWriteStream)) {
        if (bTablesFirst) {
            RTPTransportStream(PATBuff, 1, timestamp);
            RTPTransportStream(PMTBuff, 1, timestamp);
        }
        RTPTransportStream(pPackets, count, timestamp);
    }
}

// Packet buffer for one sample: the sizing rule, and never less than the
// packets the unit can take.
UINT32 PacketBufferSize(UINT32 sam_len, UINT32 ulRuleNum, UINT32 ulRuleDen, UINT32 ulFirstCapacity)
{
    UINT32 n = sam_len / BUFFER_RULE_DIVISOR;
    UINT32 packets = (n * ulRuleNum + ulRuleDen - 1) / ulRuleDen;
    if (packets == 0) {
        packets = BUFFER_RULE_MIN_PACKETS;
    }
    UINT32 needed = PacketsForPES(ulFirstCapacity, sam_len);
    return (packets > needed ? packets : needed) * TS_PACKET_SIZE;
}

typedef unsigned int (*tPacketiser)(unsigned char*, unsigned int, unsigned char*, UINT64);

// The device's time stamps are 32-bit on the 90 kHz clock and wrap every
// 13.25 hours; PTS and PCR are 33-bit and wrap at twice that (ISO/IEC
// 13818-1, 2.4.2.2 and 2.4.3.7). Each time stamp is placed on the unwrapped
// clock nearest the latest one so far, so the clock runs on across the
// 32-bit wrap, and a stamp of the other stream a little behind stays behind.
UINT64 ExtendTimeStamp(UINT32 cts)
{
    if (!clockStarted) {
        clockStarted = true;
        latestClock = cts;
    }
    int64_t clock = latestClock + (INT32)(cts - (UINT32)latestClock);
    if (clock > latestClock) {
        latestClock = clock;
    }
    return (UINT64)clock & TS_CLOCK_MASK;
}

// Packs one sample into the module's packet buffer and emits it.
unsigned int WriteSampleTS(tPacketiser packetise, UINT32 ulBufferSize, unsigned char* samBuff, unsigned int sam_len,
                           unsigned int sam_CTS, unsigned int bWriteStream, bool bTablesFirst)
{
    TSBuffSize = ulBufferSize;
    pTSBuff = new (std::nothrow) UINT8[TSBuffSize];
    if (pTSBuff == nullptr) {
        TSBuffSize = 0;
        return 0;
    }
    UINT32 count = packetise(samBuff, sam_len, pTSBuff, ExtendTimeStamp(sam_CTS));
    EmitPackets(pTSBuff, count, sam_CTS, bWriteStream, bTablesFirst);
    delete[] pTSBuff;
    pTSBuff = nullptr;
    TSBuffSize = 0;
    return 1;
}

void EmitTable(UINT8* packet, unsigned int bWriteStream)
{
    if (WritesFile(bWriteStream)) {
        WriteFilePackets(packet, 1);
    }
    if (SendsRTP(bWriteStream)) {
        RTPTransportStream(packet, 1, 0);
    }
}

bool StartsWithNALU(const unsigned char* buf, unsigned int len, UINT8 type)
{
    return len > START_CODE_SIZE && NaluType(buf[START_CODE_SIZE]) == type;
}

}  // namespace

// ---- stream set-up -------------------------------------------------------------

unsigned int initMP2TS(unsigned char stream_type, FILE* pfOut, unsigned int bWriteStream)
{
    pfmpg = pfOut;
    tsWriteError = 0;
    sampleStart = 0;
    clockStarted = false;
    if (bWriteStream != TS_OUTPUT_RTP && pfOut == nullptr) {
        return 0;
    }

    UINT8 packet[TS_PACKET_SIZE];
    getPAT(packet);
    EmitTable(packet, bWriteStream);
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
    EmitTable(packet, bWriteStream);
    memcpy(PMTBuff, packet, TS_PACKET_SIZE);
    return WritesFile(bWriteStream) && tsWriteError != 0 ? 0 : 1;
}

UINT32 tsSyncCount = 0;

unsigned int syncTSRecording()
{
    if (pfmpg == nullptr) {
        return 0;
    }
    // Every sample is pushed to the file as it is written (WriteFilePackets).
    if (fdatasync(fileno(pfmpg)) != 0) {
        tsWriteError = errno;
        return 0;
    }
    tsSyncCount++;
    return 1;
}

void BeginTSSample()
{
    if (pfmpg != nullptr) {
        sampleStart = ftello(pfmpg);
    }
}

unsigned int deinitMP2TS()
{
    bool closed = true;
    if (pfmpg != nullptr) {
        if (fclose(pfmpg) != 0) {
            tsWriteError = errno;
            closed = false;
        }
        pfmpg = nullptr;
    }
    return closed ? 1 : 0;
}

// ---- packetisers -----------------------------------------------------------------

unsigned int getVideoTS(unsigned char* pNALU, unsigned int szNALU, unsigned char* pTSBuff, UINT64 timestamp)
{
    if (szNALU <= START_CODE_SIZE) {
        return 0;  // a start code with no NAL unit behind it
    }
    UINT8 type = NaluType(pNALU[START_CODE_SIZE]);
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

    UINT16 pesLength = szNALU <= PES_MAX_BOUNDED_VIDEO_NALU ? (UINT16)(szNALU + PES_BYTES_AFTER_LENGTH) : 0;
    UINT8 headers[PES_HEADER_SIZE];
    PutPESHeader(headers, VideoStream.ucStreamId, pesLength, timestamp);
    return PacketiseUnit(&VideoStream, headers, PES_HEADER_SIZE, pNALU, szNALU, pTSBuff, timestamp,
                         type == NALU_TYPE_IDR);
}

unsigned int getAudioTS(unsigned char* pAU, unsigned int szAU, unsigned char* pTSBuff, UINT64 timestamp)
{
    if (szAU > ADTS_MAX_RAW_FRAME_SIZE) {
        return 0;
    }
    UINT8 headers[PES_HEADER_SIZE + ADTS_HEADER_SIZE];
    UINT16 pesLength = (UINT16)(szAU + PES_BYTES_AFTER_LENGTH + ADTS_HEADER_SIZE);
    PutPESHeader(headers, AudioStream.ucStreamId, pesLength, timestamp);
    WriteADTSHeader(headers + PES_HEADER_SIZE, szAU + ADTS_HEADER_SIZE, ADTS_CHANNEL_CONFIG_STEREO,
                    ADTS_SAMPLING_INDEX_48000);
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

unsigned int writeVideoTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream)
{
    // Stream receivers can join at any sequence parameter set: the tables
    // go out again in front of each one.
    bool bTablesFirst = StartsWithNALU(samBuff, sam_len, NALU_TYPE_SPS);
    UINT32 size = PacketBufferSize(sam_len, 3, 2, TS_FIRST_PACKET_VIDEO_DATA);
    WriteSampleTS(getVideoTS, size, samBuff, sam_len, sam_CTS, bWriteStream, bTablesFirst);
    return 1;
}

unsigned int writeAudioTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream)
{
    if (sam_len > ADTS_MAX_RAW_FRAME_SIZE) {
        return 0;
    }
    UINT32 size = PacketBufferSize(sam_len, 6, 5, TS_FIRST_PACKET_AUDIO_DATA);
    return WriteSampleTS(getAudioTS, size, samBuff, sam_len, sam_CTS, bWriteStream, false);
}

unsigned int writePrvDataTS(unsigned char* samBuff, unsigned int sam_len, unsigned int sam_CTS, unsigned int bWriteStream)
{
    if (sam_len > TS_MAX_PRIVATE_BLOCK) {
        return 0;
    }
    UINT32 size = PacketBufferSize(sam_len, 6, 5, TS_FIRST_PACKET_PRIVATE_DATA);
    return WriteSampleTS(getPrvDataTS, size, samBuff, sam_len, sam_CTS, bWriteStream, false);
}
