// The QBox sample container delivered by the capture device: a 24-byte
// big-endian header followed by one AAC frame, one H.264 access unit (NAL
// units behind 4-byte length prefixes) or a block of 12-byte caption packs.
#ifndef VOZIREV_QBOX_H
#define VOZIREV_QBOX_H

#include "Types.h"
#include "byteorder.h"

const UINT32 QBOX_TYPE = FourCC("qbox");  // 0x71626F78
const UINT32 QBOX_HEADER_SIZE = 24;

// usSampleStreamType values
const UINT16 QBOX_STREAM_AUDIO = 1;    // AAC, raw frame without ADTS header
const UINT16 QBOX_STREAM_VIDEO = 2;    // H.264, length-prefixed NAL units
const UINT16 QBOX_STREAM_CAPTION = 3;  // closed-caption packs

// ulSampleFlags bit 0: set on the first box of an encoding run.
const UINT32 QBOX_SAMPLE_FLAG_SYNC = 1;

// Size of the length prefix in front of each NAL unit of a video payload;
// the same size as the Annex B start code written over it in place.
const UINT32 QBOX_NALU_PREFIX_SIZE = 4;

// The Annex B start code (ISO/IEC 14496-10, B.1) that every NAL unit handed
// between modules begins with; the NAL unit header byte follows it.
const UINT32 START_CODE_SIZE = QBOX_NALU_PREFIX_SIZE;
const UINT8 START_CODE[START_CODE_SIZE] = {0x00, 0x00, 0x00, 0x01};
const UINT32 START_CODE_VALUE = 0x00000001;  // the start code read big-endian

// H.264 NAL unit header (ISO/IEC 14496-10, 7.3.1): nal_unit_type in the low
// five bits, nal_ref_idc in the two above them.
const UINT8 NALU_TYPE_MASK = 0x1F;
const UINT8 NALU_REF_IDC_MASK = 0x60;
// nal_unit_type values (Table 7-1).
const UINT8 NALU_TYPE_SLICE = 1;
const UINT8 NALU_TYPE_IDR = 5;
const UINT8 NALU_TYPE_SEI = 6;
const UINT8 NALU_TYPE_SPS = 7;
const UINT8 NALU_TYPE_PPS = 8;

inline UINT8 NaluType(UINT8 header)
{
    return header & NALU_TYPE_MASK;
}

// QBox time stamps count a 90 kHz clock.
const UINT32 QBOX_CLOCK_HZ = 90000;

// The QBox clock unwrapped to 64 bits, one per output so that every stream
// of it is unwrapped the same way: each 32-bit stamp is placed on the
// unwrapped clock nearest the latest one so far, so the clock runs on across
// the wrap (every 13.25 hours), and a stamp of another stream a little behind
// the latest stays behind it.
struct tCtsUnwrap {
    int64_t llLatest;
    bool bStarted;
};

inline int64_t UnwrapCts(tCtsUnwrap* clock, UINT32 cts)
{
    if (!clock->bStarted) {
        clock->bStarted = true;
        clock->llLatest = cts;
    }
    int64_t unwrapped = clock->llLatest + (INT32)(cts - (UINT32)clock->llLatest);
    if (unwrapped > clock->llLatest) {
        clock->llLatest = unwrapped;
    }
    return unwrapped;
}

// A time on the (unwrapped) QBox clock as ticks of a clock of ulRateHz,
// rounded down. Integer arithmetic throughout (48 kHz is exactly 8/15 of
// 90 kHz), so converted times never drift from the stamps however long a
// run lasts.
inline int64_t QBoxTicksToRate(int64_t llTicks, UINT32 ulRateHz)
{
    int64_t scaled = llTicks * (int64_t)ulRateHz;
    int64_t quotient = scaled / QBOX_CLOCK_HZ;
    return (scaled % QBOX_CLOCK_HZ < 0) ? quotient - 1 : quotient;
}

struct QBox {
    UINT32 ulBoxSize;
    UINT32 ulBoxType;
    UINT32 ulBoxFlags;
    UINT16 usSampleStreamType;
    UINT16 usSampleStreamId;
    UINT32 ulSampleFlags;
    UINT32 ulSampleCts;
};

// Decodes the seven header fields at p (24 bytes) into *h.
inline void DecodeQBoxHeader(const UINT8* p, QBox* h)
{
    h->ulBoxSize = ReadBE32(p);
    h->ulBoxType = ReadBE32(p + 4);
    h->ulBoxFlags = ReadBE32(p + 8);
    h->usSampleStreamType = ReadBE16(p + 12);
    h->usSampleStreamId = ReadBE16(p + 14);
    h->ulSampleFlags = ReadBE32(p + 16);
    h->ulSampleCts = ReadBE32(p + 20);
}

// Encodes *h as the 24 wire bytes at p (used by tools and tests that
// produce QBox streams; the capture program itself only reads them).
inline void EncodeQBoxHeader(const QBox* h, UINT8* p)
{
    p = WriteBE32(p, h->ulBoxSize);
    p = WriteBE32(p, h->ulBoxType);
    p = WriteBE32(p, h->ulBoxFlags);
    p = WriteBE16(p, h->usSampleStreamType);
    p = WriteBE16(p, h->usSampleStreamId);
    p = WriteBE32(p, h->ulSampleFlags);
    WriteBE32(p, h->ulSampleCts);
}

// Walks the NAL units of a video payload, each behind its 4-byte
// big-endian length. A unit whose length runs past the payload ends the
// walk, so no byte outside the payload is ever touched. Each consumer keeps
// its own stopping rule through ulMinLeft: the walk goes on only while more
// than that many payload bytes are left.
struct tNaluWalk {
    UINT8* pPayload;
    UINT32 ulSize;    // payload bytes
    UINT32 ulOffset;  // offset of the next length prefix
};

inline tNaluWalk StartNaluWalk(UINT8* pPayload, UINT32 ulSize, UINT32 ulOffset = 0)
{
    tNaluWalk walk = {pPayload, ulSize, ulOffset};
    return walk;
}

// Steps over the next whole unit: *ppUnit points at its length prefix and
// *pulLength is the unit's length L (the prefix not counted). False, with
// the walk left where it was, when the walk has ended.
inline bool NextNalu(tNaluWalk* walk, UINT32 ulMinLeft, UINT8** ppUnit, UINT32* pulLength)
{
    UINT32 left = walk->ulSize - walk->ulOffset;
    if (left <= ulMinLeft || left < QBOX_NALU_PREFIX_SIZE)
        return false;
    UINT8* unit = walk->pPayload + walk->ulOffset;
    UINT32 length = ReadBE32(unit);
    if (length > left - QBOX_NALU_PREFIX_SIZE)
        return false;
    walk->ulOffset += QBOX_NALU_PREFIX_SIZE + length;
    *ppUnit = unit;
    *pulLength = length;
    return true;
}

// A header is usable when it names a "qbox" and holds a payload.
inline bool IsUsableQBox(const QBox* h)
{
    return h->ulBoxType == QBOX_TYPE && h->ulBoxSize > QBOX_HEADER_SIZE;
}

#endif
