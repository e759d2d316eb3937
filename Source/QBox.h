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

// QBox time stamps count a 90 kHz clock.
const UINT32 QBOX_CLOCK_HZ = 90000;

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

// A header is usable when it names a "qbox" and holds a payload.
inline bool IsUsableQBox(const QBox* h)
{
    return h->ulBoxType == QBOX_TYPE && h->ulBoxSize > QBOX_HEADER_SIZE;
}

#endif
