// Parsing of rtsp:// URLs.
#include "rtspurl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "textproto.h"

namespace {

const char RTSP_SCHEME[] = "rtsp://";
const unsigned long PORT_MAX = 65535;

// Bytes a URL may hold and still go into a request line unchanged.
bool IsUrlByte(unsigned char c)
{
    return c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\' && c != '^' && c != '`' &&
           c != '{' && c != '|' && c != '}';
}

// Percent-decodes [pcStart, pcEnd) into szOut (size bytes); -1 for a bad
// escape, a decoded control byte, or text that does not fit.
int Decode(const char* pcStart, const char* pcEnd, char* szOut, size_t size)
{
    size_t n = 0;
    for (const char* p = pcStart; p < pcEnd; p++) {
        int c = (unsigned char)*p;
        if (c == '%') {
            if (pcEnd - p < 3 || TextHexDigit(p[1]) < 0 || TextHexDigit(p[2]) < 0)
                return -1;
            c = TextHexDigit(p[1]) * 16 + TextHexDigit(p[2]);
            p += 2;
            if (c < 0x20 || c == 0x7F)
                return -1;
        }
        if (n + 1 >= size)
            return -1;
        szOut[n++] = (char)c;
    }
    szOut[n] = '\0';
    return 0;
}

int Copy(const char* pcStart, const char* pcEnd, char* szOut, size_t size)
{
    size_t n = (size_t)(pcEnd - pcStart);
    if (n >= size)
        return -1;
    memcpy(szOut, pcStart, n);
    szOut[n] = '\0';
    return 0;
}

// host[:port], the port 1..65535 in decimal.
int ParseAuthority(const char* pcStart, const char* pcEnd, tRtspUrl* url)
{
    const char* colon = (const char*)memchr(pcStart, ':', (size_t)(pcEnd - pcStart));
    const char* hostEnd = colon != nullptr ? colon : pcEnd;
    if (hostEnd == pcStart || Copy(pcStart, hostEnd, url->szHost, sizeof(url->szHost)) != 0)
        return -1;
    url->usPort = RTSP_DEFAULT_PORT;
    if (colon == nullptr)
        return 0;
    unsigned long port = 0;
    for (const char* p = colon + 1; p < pcEnd; p++) {
        if (*p < '0' || *p > '9' || (port = port * 10 + (unsigned long)(*p - '0')) > PORT_MAX)
            return -1;
    }
    if (colon + 1 == pcEnd || port == 0)
        return -1;
    url->usPort = (UINT16)port;
    return 0;
}

int ParseUserInfo(const char* pcStart, const char* pcEnd, tRtspUrl* url)
{
    const char* colon = (const char*)memchr(pcStart, ':', (size_t)(pcEnd - pcStart));
    url->bHasPassword = colon != nullptr;
    if (Decode(pcStart, colon != nullptr ? colon : pcEnd, url->szUser, sizeof(url->szUser)) != 0)
        return -1;
    return colon != nullptr ? Decode(colon + 1, pcEnd, url->szPassword, sizeof(url->szPassword)) : 0;
}

}  // namespace

int ParseRtspUrl(const char* szText, tRtspUrl* pUrl)
{
    tRtspUrl url;
    memset(&url, 0, sizeof(url));
    if (szText == nullptr || strncasecmp(szText, RTSP_SCHEME, sizeof(RTSP_SCHEME) - 1) != 0)
        return -1;
    for (const char* p = szText; *p != '\0'; p++) {
        if (!IsUrlByte((unsigned char)*p))
            return -1;
    }
    const char* authority = szText + sizeof(RTSP_SCHEME) - 1;
    const char* path = strchr(authority, '/');
    const char* end = path != nullptr ? path : authority + strlen(authority);
    const char* at = nullptr;
    for (const char* p = authority; p < end; p++)
        if (*p == '@')
            at = p;
    if (at != nullptr && ParseUserInfo(authority, at, &url) != 0)
        return -1;
    if (ParseAuthority(at != nullptr ? at + 1 : authority, end, &url) != 0)
        return -1;
    static const char ROOT[] = "/";
    const char* pathStart = path != nullptr ? path : ROOT;
    if (Copy(pathStart, pathStart + strlen(pathStart), url.szPath, sizeof(url.szPath)) != 0)
        return -1;
    if (pUrl != nullptr)
        *pUrl = url;
    return 0;
}

int FormatRtspUrl(const tRtspUrl* pUrl, char* pcOut, UINT32 ulSize)
{
    int n = snprintf(pcOut, ulSize, "%s%s:%u%s", RTSP_SCHEME, pUrl->szHost, (unsigned int)pUrl->usPort, pUrl->szPath);
    return n < 0 || (UINT32)n >= ulSize ? -1 : n;
}
