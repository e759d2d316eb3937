// Base64 encoding and decoding (RFC 4648, 4).
#include "base64.h"

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char PAD = '=';

int SextetOf(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    return c == '/' ? 63 : -1;
}

}  // namespace

UINT32 Base64Encode(const UINT8* pucData, UINT32 ulSize, char* pcOut)
{
    UINT32 ulOut = 0;
    for (UINT32 i = 0; i < ulSize; i += 3) {
        UINT32 ulLeft = ulSize - i;
        UINT32 ulGroup = (UINT32)pucData[i] << 16;
        if (ulLeft > 1)
            ulGroup |= (UINT32)pucData[i + 1] << 8;
        if (ulLeft > 2)
            ulGroup |= pucData[i + 2];
        pcOut[ulOut++] = ALPHABET[(ulGroup >> 18) & 0x3F];
        pcOut[ulOut++] = ALPHABET[(ulGroup >> 12) & 0x3F];
        pcOut[ulOut++] = ulLeft > 1 ? ALPHABET[(ulGroup >> 6) & 0x3F] : PAD;
        pcOut[ulOut++] = ulLeft > 2 ? ALPHABET[ulGroup & 0x3F] : PAD;
    }
    pcOut[ulOut] = '\0';
    return ulOut;
}

// Each group of four characters gives three bytes, fewer behind padding,
// which may only close the text.
int Base64Decode(const char* pcText, UINT32 ulSize, UINT8* pucOut, UINT32 ulOutSize)
{
    if (ulSize % 4 != 0)
        return -1;
    UINT32 n = 0;
    for (UINT32 i = 0; i < ulSize; i += 4) {
        bool last = i + 4 == ulSize;
        int pads = pcText[i + 3] == PAD ? (pcText[i + 2] == PAD ? 2 : 1) : 0;
        if (pads > 0 && !last)
            return -1;
        UINT32 group = 0;
        for (int k = 0; k < 4; k++) {
            int sextet = k >= 4 - pads ? 0 : SextetOf(pcText[i + k]);
            if (sextet < 0)
                return -1;
            group = (group << 6) | (UINT32)sextet;
        }
        UINT32 bytes = 3 - (UINT32)pads;
        if (n + bytes > ulOutSize)
            return -1;
        for (UINT32 k = 0; k < bytes; k++)
            pucOut[n++] = (UINT8)(group >> (16 - 8 * k));
    }
    return (int)n;
}
