// Reading an HTTP/1.1 request (RFC 9112) and its Range (RFC 9110, 14).
#include <cstring>

#include "httpserver.h"

namespace {

const char* const HTTP_PROTOCOL = "HTTP/1.";

// The path of an origin-form or absolute-form target (RFC 9112, 3.2.1 and
// 3.2.2), the query left out.
bool TargetPath(const tTextSpan& target, tTextSpan* pPath)
{
    const char* p = target.pc;
    const char* end = p + target.ulSize;
    const char* scheme = "http://";
    size_t schemeSize = strlen(scheme);
    if (target.ulSize > schemeSize && strncasecmp(p, scheme, schemeSize) == 0) {
        p = static_cast<const char*>(memchr(p + schemeSize, '/', (size_t)(end - p - schemeSize)));
        if (p == nullptr)
            p = end;  // "http://host": the path "/"
    }
    const char* query = static_cast<const char*>(memchr(p, '?', (size_t)(end - p)));
    *pPath = {p, (UINT32)((query != nullptr ? query : end) - p)};
    return p == end || *p == '/';
}

// Percent-decodes the path (RFC 3986, 2.1) into pcOut: 0, 400 for a
// malformed escape, 404 for what could reach another place than it says
// (an encoded '/' or '\', NUL, a "." or ".." segment).
UINT32 DecodePath(const tTextSpan& path, char* pcOut, UINT32 ulSize)
{
    UINT32 used = 0;
    if (path.ulSize == 0)
        pcOut[used++] = '/';
    for (UINT32 i = 0; i < path.ulSize && used + 1 < ulSize; i++) {
        char ch = path.pc[i];
        if (ch == '%') {
            int high = i + 2 < path.ulSize ? TextHexDigit(path.pc[i + 1]) : -1;
            int low = high >= 0 ? TextHexDigit(path.pc[i + 2]) : -1;
            if (low < 0)
                return 400;
            ch = (char)(high * 16 + low);
            i += 2;
            if (ch == '/' || ch == '\\' || ch == '\0')
                return 404;
        } else if (ch == '\\') {
            return 404;
        }
        pcOut[used++] = ch;
    }
    pcOut[used] = '\0';
    for (const char* segment = pcOut; segment != nullptr; segment = strchr(segment + 1, '/')) {
        if (strncmp(segment, "/.", 2) == 0 && (segment[2] == '\0' || segment[2] == '/' ||
                                              (segment[2] == '.' && (segment[3] == '\0' || segment[3] == '/'))))
            return 404;
    }
    return 0;
}

bool HasToken(const tTextMessage* pMessage, const char* szName, const char* szToken)
{
    return HttpListHas(TextFind(pMessage, szName), szToken, false);
}

// A decimal number of at most 18 digits at *pp; false when there is none.
bool Number(const char** pp, const char* end, UINT64* pullValue)
{
    const char* p = *pp;
    UINT64 value = 0;
    while (p < end && *p >= '0' && *p <= '9' && p - *pp < 18)
        value = value * 10 + (UINT64)(*p++ - '0');
    if (p == *pp || (p < end && *p >= '0' && *p <= '9'))
        return false;
    *pp = p;
    *pullValue = value;
    return true;
}

}  // namespace

bool HttpListHas(const tTextHeader* pHeader, const char* szItem, bool bEntityTags)
{
    if (pHeader == nullptr)
        return false;
    const char* p = pHeader->stValue.pc;
    const char* end = p + pHeader->stValue.ulSize;
    size_t itemSize = strlen(szItem);
    while (p < end) {
        while (p < end && (*p == ',' || *p == ' ' || *p == '\t'))
            p++;
        const char* start = p;
        while (p < end && *p != ',' && *p != ' ' && *p != '\t')
            p++;
        tTextSpan item = {start, (UINT32)(p - start)};
        if (bEntityTags && item.ulSize > 2 && start[0] == 'W' && start[1] == '/')
            item = {start + 2, item.ulSize - 2};
        const char* parameters = static_cast<const char*>(memchr(start, ';', item.ulSize));
        if (!bEntityTags && parameters != nullptr)  // "application/json;q=0.9"
            item.ulSize = (UINT32)(parameters - start);
        if (bEntityTags ? ((item.ulSize == itemSize && memcmp(item.pc, szItem, itemSize) == 0) ||
                           (item.ulSize == 1 && item.pc[0] == '*'))
                        : TextIs(item, szItem))
            return true;
    }
    return false;
}

int HttpReadRequest(const char* pcBuffer, UINT32 ulSize, tHttpRequest* pRequest)
{
    tTextMessage* m = &pRequest->stMessage;
    pRequest->ulStatus = 0;
    pRequest->bHead = false;
    pRequest->bKeepAlive = false;
    strcpy(pRequest->szPath, "/");
    int result = TextParse(pcBuffer, ulSize, true, HTTP_PROTOCOL, HTTP_MAX_BODY, m, &pRequest->ulStatus);
    if (result != TEXT_COMPLETE)
        return result;
    bool http10 = TextIs(m->stVersion, "HTTP/1.0");
    if (!http10 && TextFind(m, "Host") == nullptr) {
        pRequest->ulStatus = TEXT_STATUS_BAD_REQUEST;  // RFC 9112, 3.2
        return TEXT_REFUSED;
    }
    pRequest->bKeepAlive = http10 ? HasToken(m, "Connection", "keep-alive") : !HasToken(m, "Connection", "close");
    pRequest->bHead = TextIs(m->stMethod, "HEAD");
    tTextSpan path;
    if (!TargetPath(m->stTarget, &path))
        pRequest->ulStatus = TEXT_STATUS_BAD_REQUEST;
    else
        pRequest->ulStatus = DecodePath(path, pRequest->szPath, sizeof(pRequest->szPath));
    if (!pRequest->bHead && !TextIs(m->stMethod, "GET"))
        pRequest->ulStatus = 405;
    return TEXT_COMPLETE;
}

int HttpRange(const tTextMessage* pMessage, UINT64 ullSize, const char* szEntityTag, UINT64* pullFirst,
              UINT64* pullLast)
{
    const tTextHeader* range = TextFind(pMessage, "Range");
    const tTextHeader* ifRange = TextFind(pMessage, "If-Range");
    if (range == nullptr || (ifRange != nullptr && !TextIs(ifRange->stValue, szEntityTag)))
        return 0;
    const char* p = range->stValue.pc;
    const char* end = p + range->stValue.ulSize;
    if (range->stValue.ulSize < 6 || strncasecmp(p, "bytes=", 6) != 0 || memchr(p, ',', (size_t)(end - p)))
        return 0;
    p += 6;
    UINT64 first = 0, last = 0;
    bool hasFirst = Number(&p, end, &first);
    if (p == end || *p++ != '-')
        return 0;
    bool hasLast = Number(&p, end, &last);
    if (p != end || (!hasFirst && !hasLast) || (hasFirst && hasLast && last < first))
        return 0;
    if (!hasFirst) {  // the last bytes
        if (last == 0 || ullSize == 0)
            return -1;
        first = last >= ullSize ? 0 : ullSize - last;
        last = ullSize - 1;
    } else if (first >= ullSize) {
        return -1;
    } else if (!hasLast || last >= ullSize) {
        last = ullSize - 1;
    }
    *pullFirst = first;
    *pullLast = last;
    return 1;
}
