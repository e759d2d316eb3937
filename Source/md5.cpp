// MD5 message digest (RFC 1321, 3.1 to 3.5).
#include "md5.h"

#include <cstdio>
#include <cstring>

namespace {

// The per-round shift amounts and the sines of RFC 1321, 3.4.
const UINT32 SHIFTS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                           5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                           4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                           6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
const UINT32 SINES[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

UINT32 RotateLeft(UINT32 x, UINT32 n)
{
    return (x << n) | (x >> (32 - n));
}

// Words are little-endian (RFC 1321, 2).
UINT32 ReadLE32(const UINT8* p)
{
    return (UINT32)p[0] | ((UINT32)p[1] << 8) | ((UINT32)p[2] << 16) | ((UINT32)p[3] << 24);
}

void Transform(UINT32 state[4], const UINT8 block[64])
{
    UINT32 x[16];
    for (int i = 0; i < 16; i++)
        x[i] = ReadLE32(block + 4 * i);
    UINT32 a = state[0], b = state[1], c = state[2], d = state[3];
    for (UINT32 i = 0; i < 64; i++) {
        UINT32 f, g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        UINT32 next = d;
        d = c;
        c = b;
        b = b + RotateLeft(a + f + SINES[i] + x[g], SHIFTS[i]);
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void Md5Start(tMd5* pMd5)
{
    pMd5->ulState[0] = 0x67452301;
    pMd5->ulState[1] = 0xefcdab89;
    pMd5->ulState[2] = 0x98badcfe;
    pMd5->ulState[3] = 0x10325476;
    pMd5->ullBytes = 0;
}

void Md5Add(tMd5* pMd5, const void* pData, UINT32 ulSize)
{
    const UINT8* p = static_cast<const UINT8*>(pData);
    while (ulSize > 0) {
        UINT32 used = (UINT32)(pMd5->ullBytes % 64);
        UINT32 take = 64 - used < ulSize ? 64 - used : ulSize;
        memcpy(pMd5->ucBlock + used, p, take);
        pMd5->ullBytes += take;
        p += take;
        ulSize -= take;
        if (used + take == 64)
            Transform(pMd5->ulState, pMd5->ucBlock);
    }
}

// Padding: a 1 bit, zeros to 56 bytes modulo 64, the bit length (3.1, 3.2).
void Md5End(tMd5* pMd5, UINT8 ucDigest[MD5_DIGEST_SIZE])
{
    UINT64 bits = pMd5->ullBytes * 8;
    const UINT8 ONE_BIT = 0x80;
    const UINT8 ZERO = 0;
    Md5Add(pMd5, &ONE_BIT, 1);
    while (pMd5->ullBytes % 64 != 56)
        Md5Add(pMd5, &ZERO, 1);
    UINT8 length[8];
    for (int i = 0; i < 8; i++)
        length[i] = (UINT8)(bits >> (8 * i));
    Md5Add(pMd5, length, sizeof(length));
    for (int i = 0; i < 16; i++)
        ucDigest[i] = (UINT8)(pMd5->ulState[i / 4] >> (8 * (i % 4)));
}

void Md5HexJoined(const char* const* pszParts, UINT32 ulCount, char szHex[MD5_HEX_SIZE])
{
    tMd5 md5;
    Md5Start(&md5);
    for (UINT32 i = 0; i < ulCount; i++) {
        if (i > 0)
            Md5Add(&md5, ":", 1);
        Md5Add(&md5, pszParts[i], (UINT32)strlen(pszParts[i]));
    }
    UINT8 digest[MD5_DIGEST_SIZE];
    Md5End(&md5, digest);
    for (UINT32 i = 0; i < MD5_DIGEST_SIZE; i++)
        snprintf(szHex + 2 * i, 3, "%02x", digest[i]);
}
