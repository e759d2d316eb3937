// Big-endian ("network order") field helpers shared by every reader and
// writer of the QBox, MP4, MPEG-2 TS, ADTS and RTP formats. All of them
// store multi-byte fields most significant byte first, whatever the host's
// byte order, so fields are assembled byte by byte here and nowhere else.
#ifndef VOZIREV_BYTEORDER_H
#define VOZIREV_BYTEORDER_H

#include <cstdint>

inline uint16_t ReadBE16(const uint8_t* p)
{
    return (uint16_t)((p[0] << 8) | p[1]);
}

inline uint32_t ReadBE24(const uint8_t* p)
{
    return ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
}

inline uint32_t ReadBE32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

inline uint64_t ReadBE64(const uint8_t* p)
{
    return ((uint64_t)ReadBE32(p) << 32) | ReadBE32(p + 4);
}

// Each writer returns the position just past the field, so that a header can
// be built as a chain of writes: p = WriteBE16(p, x); p = WriteBE32(p, y); ...
inline uint8_t* WriteBE16(uint8_t* p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
    return p + 2;
}

inline uint8_t* WriteBE24(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 16);
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)v;
    return p + 3;
}

inline uint8_t* WriteBE32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
    return p + 4;
}

inline uint8_t* WriteBE64(uint8_t* p, uint64_t v)
{
    p = WriteBE32(p, (uint32_t)(v >> 32));
    return WriteBE32(p, (uint32_t)v);
}

// Four-character codes ("qbox", "moov", ...) as the 32-bit number their
// bytes spell when read big-endian.
constexpr uint32_t FourCC(const char (&s)[5])
{
    return ((uint32_t)(uint8_t)s[0] << 24) | ((uint32_t)(uint8_t)s[1] << 16) |
           ((uint32_t)(uint8_t)s[2] << 8) | (uint32_t)(uint8_t)s[3];
}

#endif
