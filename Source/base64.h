// Base64 (RFC 4648, 4): sprop-parameter-sets, Basic credentials.
#ifndef VOZIREV_BASE64_H
#define VOZIREV_BASE64_H

#include "Types.h"

// Base64 of ulSize bytes into pcOut, which takes 4 x ((ulSize + 2) / 3)
// characters and a NUL. Returns the characters written.
UINT32 Base64Encode(const UINT8* pucData, UINT32 ulSize, char* pcOut);

// Decodes ulSize characters (padded, no blanks) into pucOut (ulOutSize
// bytes). Returns the bytes decoded, or -1 for text that is not Base64 or
// does not fit.
int Base64Decode(const char* pcText, UINT32 ulSize, UINT8* pucOut, UINT32 ulOutSize);

#endif
