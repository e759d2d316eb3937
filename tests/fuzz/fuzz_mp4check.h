// The check the MP4 fuzz targets make of a finished file: a tree of boxes
// that covers it exactly, with sample tables that agree with each other and
// point into "mdat".
#ifndef FUZZ_MP4CHECK_H
#define FUZZ_MP4CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byteorder.h"
#include "fuzz_common.h"
#include "mp4Writer.h"

namespace mp4check {

const unsigned int MP4_BOX_HEADER = 8;

// Boxes whose payload is a sequence of boxes.
inline bool IsContainer(const uint8_t* type)
{
    static const char* const containers[] = {"moov", "trak", "mdia", "minf", "stbl", "dinf"};
    for (const char* c : containers) {
        if (memcmp(type, c, 4) == 0)
            return true;
    }
    return false;
}

// The boxes in [at, end) tile it exactly: each size at least a header and
// none past the end; a container's children tile its payload in turn. At
// the top level a size of 0 (ISO/IEC 14496-12, 4.2: the box runs to the end
// of the file) is the "mdat" of a recording closed before any track could be
// written.
inline void CheckBoxes(const uint8_t* file, size_t at, size_t end, bool topLevel)
{
    while (at < end) {
        FUZZ_CHECK(end - at >= MP4_BOX_HEADER);
        UINT32 boxSize = ReadBE32(file + at);
        if (boxSize == 0 && topLevel)
            return;
        FUZZ_CHECK(boxSize >= MP4_BOX_HEADER && boxSize <= end - at);
        if (IsContainer(file + at + 4))
            CheckBoxes(file, at + MP4_BOX_HEADER, at + boxSize, false);
        at += boxSize;
    }
}

// Payload of the first child box of the given type in [at, end), or null.
inline const uint8_t* FindBox(const uint8_t* file, size_t at, size_t end, const char* type, size_t* payloadSize)
{
    while (at + MP4_BOX_HEADER <= end) {
        UINT32 boxSize = ReadBE32(file + at);
        if (boxSize < MP4_BOX_HEADER || boxSize > end - at)
            return nullptr;
        if (memcmp(file + at + 4, type, 4) == 0) {
            *payloadSize = boxSize - MP4_BOX_HEADER;
            return file + at + MP4_BOX_HEADER;
        }
        at += boxSize;
    }
    return nullptr;
}

// The sample tables of one track agree with each other and with "mdat"
// (ISO/IEC 14496-12, 8.6 and 8.7): "stts" counts as many samples as "stsz"
// sizes and "stco" places (one sample per chunk), every sample lies inside
// the "mdat" data, and "stss" names existing samples in increasing order.
inline void CheckSampleTables(const uint8_t* stbl, size_t stblSize, size_t mdatEnd)
{
    const uint8_t* base = stbl;
    size_t n = 0;
    const uint8_t* stts = FindBox(base, 0, stblSize, "stts", &n);
    FUZZ_CHECK(stts != nullptr && n >= 8);
    UINT32 sttsEntries = ReadBE32(stts + 4);
    FUZZ_CHECK(n == 8 + 8ull * sttsEntries);
    uint64_t sttsSamples = 0;
    for (UINT32 i = 0; i < sttsEntries; i++)
        sttsSamples += ReadBE32(stts + 8 + 8 * i);

    const uint8_t* stsz = FindBox(base, 0, stblSize, "stsz", &n);
    FUZZ_CHECK(stsz != nullptr && n >= 12 && ReadBE32(stsz + 4) == 0);
    UINT32 samples = ReadBE32(stsz + 8);
    FUZZ_CHECK(n == 12 + 4ull * samples);
    FUZZ_CHECK(sttsSamples == samples);

    const uint8_t* stco = FindBox(base, 0, stblSize, "stco", &n);
    FUZZ_CHECK(stco != nullptr && n >= 8);
    FUZZ_CHECK(ReadBE32(stco + 4) == samples && n == 8 + 4ull * samples);
    for (UINT32 i = 0; i < samples; i++) {
        uint64_t offset = ReadBE32(stco + 8 + 4 * i);
        uint64_t sampleSize = ReadBE32(stsz + 12 + 4 * i);
        FUZZ_CHECK(offset >= MP4_MDAT_DATA_OFFSET && offset + sampleSize <= mdatEnd);
    }

    const uint8_t* stss = FindBox(base, 0, stblSize, "stss", &n);
    if (stss != nullptr) {
        FUZZ_CHECK(n >= 8);
        UINT32 entries = ReadBE32(stss + 4);
        FUZZ_CHECK(n == 8 + 4ull * entries);
        UINT32 previous = 0;
        for (UINT32 i = 0; i < entries; i++) {
            UINT32 sample = ReadBE32(stss + 8 + 4 * i);
            FUZZ_CHECK(sample > previous && sample <= samples);
            previous = sample;
        }
    }
}

inline void CheckMp4File(const uint8_t* file, size_t size)
{
    FUZZ_CHECK(size >= MP4_MDAT_DATA_OFFSET);
    FUZZ_CHECK(memcmp(file + 4, "ftyp", 4) == 0);
    CheckBoxes(file, 0, size, true);

    size_t moovSize = 0, mdatSize = 0;
    const uint8_t* mdat = FindBox(file, 0, size, "mdat", &mdatSize);
    const uint8_t* moov = FindBox(file, 0, size, "moov", &moovSize);
    if (moov == nullptr)
        return;  // no track could be written
    FUZZ_CHECK(mdat != nullptr);
    size_t mdatEnd = (size_t)(mdat - file) + mdatSize;
    size_t at = (size_t)(moov - file);
    size_t end = at + moovSize;
    unsigned tracks = 0;
    while (at < end) {
        UINT32 boxSize = ReadBE32(file + at);
        if (memcmp(file + at + 4, "trak", 4) == 0) {
            size_t n = 0, m = 0, k = 0;
            const uint8_t* mdia = FindBox(file + at + MP4_BOX_HEADER, 0, boxSize - MP4_BOX_HEADER, "mdia", &n);
            FUZZ_CHECK(mdia != nullptr);
            const uint8_t* minf = FindBox(mdia, 0, n, "minf", &m);
            FUZZ_CHECK(minf != nullptr);
            const uint8_t* stbl = FindBox(minf, 0, m, "stbl", &k);
            FUZZ_CHECK(stbl != nullptr);
            CheckSampleTables(stbl, k, mdatEnd);
            tracks++;
        }
        at += boxSize;
    }
    FUZZ_CHECK(tracks >= 1 && tracks <= 2);
}

}  // namespace mp4check

using mp4check::CheckMp4File;

#endif
