// A receiver's reading of an RTCP compound packet (RFC 3550, 6.1 and 6.4 to
// 6.6, with the header validity checks of A.2), written from the RFC and
// independent of the sender under test. Shared by the RTCP unit tests and
// stream_check.
#ifndef VOZIREV_RTCP_READER_H
#define VOZIREV_RTCP_READER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byteorder.h"

namespace rtcp_reader {

const int PT_SR = 200;
const int PT_RR = 201;
const int PT_SDES = 202;
const int PT_BYE = 203;
const int SDES_CNAME = 1;

struct SenderReport {
    uint32_t ssrc;
    uint64_t ntp;
    uint32_t rtp;
    uint32_t packets;
    uint32_t octets;
};

struct Compound {
    std::string error;             // empty when the compound packet is valid
    std::vector<int> types;        // packet types in order
    bool has_sr = false;
    SenderReport sr = {};
    uint32_t rr_ssrc = 0;
    uint32_t sdes_ssrc = 0;
    std::string cname;
    std::vector<uint32_t> bye;
};

// One SDES chunk: SSRC, items until an END item, then zero bytes to the next
// 32-bit boundary (6.5).
inline std::string ParseSdes(const uint8_t* p, size_t size, int chunks, Compound* c)
{
    if (chunks != 1)
        return "SDES with other than one chunk";
    if (size < 8)
        return "SDES chunk too short";
    c->sdes_ssrc = ReadBE32(p);
    size_t at = 4;
    while (at < size && p[at] != 0) {
        if (at + 2 > size || at + 2 + p[at + 1] > size)
            return "SDES item runs past the packet";
        if (p[at] == SDES_CNAME)
            c->cname.assign((const char*)p + at + 2, p[at + 1]);
        at += 2 + p[at + 1];
    }
    if (at >= size)
        return "SDES chunk without END";
    size_t chunk_end = (at / 4 + 1) * 4;
    if (chunk_end != size)
        return "SDES chunk not padded to the end of the packet";
    for (; at < size; ++at)
        if (p[at] != 0)
            return "SDES padding not zero";
    return "";
}

inline std::string ParsePacket(const uint8_t* p, size_t size, Compound* c)
{
    int count = p[0] & 0x1F;
    int type = p[1];
    const uint8_t* body = p + 4;
    size_t body_size = size - 4;
    c->types.push_back(type);
    switch (type) {
    case PT_SR:  // sender info, then count report blocks of 24 bytes
        if (body_size != 24 + 24u * count)
            return "SR of the wrong length";
        c->has_sr = true;
        c->sr = {ReadBE32(body), ((uint64_t)ReadBE32(body + 4) << 32) | ReadBE32(body + 8), ReadBE32(body + 12),
                 ReadBE32(body + 16), ReadBE32(body + 20)};
        return "";
    case PT_RR:
        if (body_size != 4 + 24u * count)
            return "RR of the wrong length";
        c->rr_ssrc = ReadBE32(body);
        return "";
    case PT_SDES:
        return ParseSdes(body, body_size, count, c);
    case PT_BYE:  // count SSRCs, then an optional reason
        if (body_size < 4u * count)
            return "BYE shorter than its SSRC list";
        for (int i = 0; i < count; ++i)
            c->bye.push_back(ReadBE32(body + 4 * i));
        return "";
    default:
        return "unknown packet type " + std::to_string(type);
    }
}

// The header validity checks of A.2, then each packet's fields.
inline Compound ParseCompound(const uint8_t* d, size_t n)
{
    Compound c;
    if (n < 8 || n % 4 != 0) {
        c.error = "compound packet not a whole number of 32-bit words";
        return c;
    }
    if ((d[0] & 0xC0) != 0x80 || (d[0] & 0x20) != 0 || (d[1] != PT_SR && d[1] != PT_RR)) {
        c.error = "first packet is not an unpadded version 2 SR or RR";
        return c;
    }
    size_t at = 0;
    while (at < n && c.error.empty()) {
        if (n - at < 4 || (d[at] >> 6) != 2) {
            c.error = "packet not of version 2";
            break;
        }
        size_t size = ((size_t)ReadBE16(&d[at + 2]) + 1) * 4;
        if (size > n - at) {
            c.error = "length runs past the datagram";
            break;
        }
        c.error = ParsePacket(&d[at], size, &c);
        at += size;
    }
    return c;
}

}  // namespace rtcp_reader

#endif
