// MD5 (RFC 1321), for HTTP Digest authentication (RFC 7616, RFC 2617),
// whose MD5 algorithm every RTSP client and server speaks. It hashes the
// credentials of a challenge; it is not used for anything that needs
// collision resistance.
#ifndef VOZIREV_MD5_H
#define VOZIREV_MD5_H

#include "Types.h"

const UINT32 MD5_DIGEST_SIZE = 16;
const UINT32 MD5_HEX_SIZE = 2 * MD5_DIGEST_SIZE + 1;  // with the NUL

struct tMd5 {
    UINT32 ulState[4];
    UINT64 ullBytes;
    UINT8 ucBlock[64];
};

void Md5Start(tMd5* pMd5);
void Md5Add(tMd5* pMd5, const void* pData, UINT32 ulSize);
void Md5End(tMd5* pMd5, UINT8 ucDigest[MD5_DIGEST_SIZE]);
// The digest of the parts joined by ':' (Digest's H(a:b:c)), in lower-case
// hex.
void Md5HexJoined(const char* const* pszParts, UINT32 ulCount, char szHex[MD5_HEX_SIZE]);

#endif
