// rtsp:// URLs (RFC 2326, 3.2, with the userinfo of RFC 3986, 3.2.1) as a
// user gives them: rtsp://[user[:password]@]host[:port][/path].
#ifndef VOZIREV_RTSPURL_H
#define VOZIREV_RTSPURL_H

#include "Types.h"

const UINT16 RTSP_DEFAULT_PORT = 554;
const unsigned int RTSP_URL_PART_SIZE = 256;

struct tRtspUrl {
    char szUser[RTSP_URL_PART_SIZE];      // percent-decoded; "" when none
    char szPassword[RTSP_URL_PART_SIZE];  // percent-decoded
    bool bHasPassword;
    char szHost[RTSP_URL_PART_SIZE];      // a name or a dotted IPv4 address
    UINT16 usPort;
    char szPath[RTSP_URL_PART_SIZE];      // from its "/" on, "/" when none
};

// 0 with *pUrl filled (pUrl may be null: only checked), or -1 for text that
// is not such a URL: another scheme, no host, a port outside 1..65535, a
// bad percent escape, or a byte a request line or header cannot carry
// (controls, blanks, quotes).
int ParseRtspUrl(const char* szText, tRtspUrl* pUrl);

// The URL without its userinfo, as it goes into requests and messages.
// Returns the characters written, or -1 when it does not fit.
int FormatRtspUrl(const tRtspUrl* pUrl, char* pcOut, UINT32 ulSize);

#endif
