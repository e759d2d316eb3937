// Message parsing and building of the text protocols (RFC 2326, RFC 9112).
#include "textproto.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

// tchar (RFC 9110, 5.6.2).
bool IsTokenChar(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// field-vchar, SP and HTAB, and obs-text (RFC 9110, 5.5).
bool IsFieldChar(unsigned char c)
{
    return c == '\t' || (c >= 0x20 && c != 0x7F);
}

bool IsVisible(unsigned char c)
{
    return c > 0x20 && c != 0x7F;
}

// One line of [pc, pc + size): its end (the LF) and its text without CR.
struct tLine {
    const char* pc;
    UINT32 ulSize;
};

// The line that starts at offset; false when no LF ends it in the buffer.
bool NextLine(const char* pcBuffer, UINT32 ulSize, UINT32 ulOffset, tLine* pLine, UINT32* pulNext)
{
    const char* start = pcBuffer + ulOffset;
    const char* lf = (const char*)memchr(start, '\n', ulSize - ulOffset);
    if (lf == nullptr)
        return false;
    UINT32 length = (UINT32)(lf - start);
    if (length > 0 && start[length - 1] == '\r')
        length--;
    pLine->pc = start;
    pLine->ulSize = length;
    *pulNext = (UINT32)(lf - pcBuffer) + 1;
    return true;
}

// Splits the start line at its two single spaces.
bool SplitStartLine(const tLine& line, tTextSpan parts[3])
{
    const char* p = line.pc;
    const char* end = line.pc + line.ulSize;
    for (int i = 0; i < 2; i++) {
        const char* space = (const char*)memchr(p, ' ', (size_t)(end - p));
        if (space == nullptr || space == p)
            return false;
        parts[i] = {p, (UINT32)(space - p)};
        p = space + 1;
    }
    parts[2] = {p, (UINT32)(end - p)};
    return true;
}

bool AllChars(const tTextSpan& span, bool (*pfnTest)(unsigned char))
{
    for (UINT32 i = 0; i < span.ulSize; i++)
        if (!pfnTest((unsigned char)span.pc[i]))
            return false;
    return true;
}

bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

bool HasPrefix(const tTextSpan& span, const char* szPrefix)
{
    size_t n = strlen(szPrefix);
    return span.ulSize >= n && memcmp(span.pc, szPrefix, n) == 0;
}

UINT32 ParseStartLine(const tLine& line, bool bRequest, const char* szProtocol, tTextMessage* m)
{
    tTextSpan parts[3];
    if (!SplitStartLine(line, parts))
        return TEXT_STATUS_BAD_REQUEST;
    if (bRequest) {
        m->stMethod = parts[0];
        m->stTarget = parts[1];
        m->stVersion = parts[2];
        if (!AllChars(m->stMethod, IsTokenChar) || !AllChars(m->stTarget, IsVisible))
            return TEXT_STATUS_BAD_REQUEST;
    } else {
        m->stVersion = parts[0];
        m->stReason = parts[2];
        if (parts[1].ulSize != 3 || !AllChars(parts[1], IsDigit) || !AllChars(m->stReason, IsFieldChar))
            return TEXT_STATUS_BAD_REQUEST;
        m->ulStatus = (UINT32)(parts[1].pc[0] - '0') * 100 + (UINT32)(parts[1].pc[1] - '0') * 10 + (parts[1].pc[2] - '0');
    }
    if (!HasPrefix(m->stVersion, szProtocol) || !AllChars(m->stVersion, IsVisible))
        return TEXT_STATUS_BAD_VERSION;
    return 0;
}

tTextSpan Trim(const char* pc, UINT32 ulSize)
{
    while (ulSize > 0 && (*pc == ' ' || *pc == '\t')) {
        pc++;
        ulSize--;
    }
    while (ulSize > 0 && (pc[ulSize - 1] == ' ' || pc[ulSize - 1] == '\t'))
        ulSize--;
    return {pc, ulSize};
}

UINT32 ParseHeaderLine(const tLine& line, tTextMessage* m)
{
    if (line.pc[0] == ' ' || line.pc[0] == '\t')
        return TEXT_STATUS_BAD_REQUEST;  // obsolete line folding
    const char* colon = (const char*)memchr(line.pc, ':', line.ulSize);
    if (colon == nullptr || colon == line.pc)
        return TEXT_STATUS_BAD_REQUEST;
    tTextHeader header;
    header.stName = {line.pc, (UINT32)(colon - line.pc)};
    header.stValue = Trim(colon + 1, line.ulSize - header.stName.ulSize - 1);
    if (!AllChars(header.stName, IsTokenChar) || !AllChars(header.stValue, IsFieldChar))
        return TEXT_STATUS_BAD_REQUEST;
    if (m->ulHeaderCount == TEXT_MAX_HEADERS)
        return TEXT_STATUS_HEADERS_TOO_LARGE;
    m->stHeaders[m->ulHeaderCount++] = header;
    return 0;
}

// Content-Length: digits only, the same in every field that gives it.
UINT32 BodyLength(const tTextMessage* m, UINT32 ulMaxBody, UINT64* pullLength)
{
    *pullLength = 0;
    bool seen = false;
    for (UINT32 i = 0; i < m->ulHeaderCount; i++) {
        const tTextHeader& h = m->stHeaders[i];
        if (TextIs(h.stName, "Transfer-Encoding"))
            return TEXT_STATUS_BAD_REQUEST;  // no chunked bodies are taken
        if (!TextIs(h.stName, "Content-Length"))
            continue;
        if (h.stValue.ulSize == 0 || h.stValue.ulSize > 10 || !AllChars(h.stValue, IsDigit))
            return TEXT_STATUS_BAD_REQUEST;
        UINT64 value = 0;
        for (UINT32 c = 0; c < h.stValue.ulSize; c++)
            value = value * 10 + (UINT64)(h.stValue.pc[c] - '0');
        if (seen && value != *pullLength)
            return TEXT_STATUS_BAD_REQUEST;
        seen = true;
        *pullLength = value;
    }
    return *pullLength > ulMaxBody ? TEXT_STATUS_TOO_LARGE : 0;
}

}  // namespace

int TextParse(const char* pcBuffer, UINT32 ulSize, bool bRequest, const char* szProtocol, UINT32 ulMaxBody,
              tTextMessage* pMessage, UINT32* pulStatus)
{
    tTextMessage m;
    memset(&m, 0, sizeof(m));
    m.bRequest = bRequest;
    *pulStatus = 0;
    tLine line;
    UINT32 offset = 0;
    if (!NextLine(pcBuffer, ulSize, 0, &line, &offset)) {
        *pulStatus = ulSize > TEXT_MAX_START_LINE ? (bRequest ? TEXT_STATUS_URI_TOO_LONG : TEXT_STATUS_BAD_REQUEST) : 0;
        return *pulStatus != 0 ? TEXT_REFUSED : TEXT_INCOMPLETE;
    }
    if (line.ulSize > TEXT_MAX_START_LINE)
        *pulStatus = bRequest ? TEXT_STATUS_URI_TOO_LONG : TEXT_STATUS_BAD_REQUEST;
    else
        *pulStatus = ParseStartLine(line, bRequest, szProtocol, &m);
    while (*pulStatus == 0) {
        if (!NextLine(pcBuffer, ulSize, offset, &line, &offset)) {
            bool full = ulSize >= TEXT_BUFFER_SIZE;
            *pulStatus = full ? TEXT_STATUS_HEADERS_TOO_LARGE : 0;
            return full ? TEXT_REFUSED : TEXT_INCOMPLETE;
        }
        if (line.ulSize == 0)
            break;
        *pulStatus = ParseHeaderLine(line, &m);
    }
    if (*pulStatus != 0)
        return TEXT_REFUSED;
    UINT64 bodyLength = 0;
    if ((*pulStatus = BodyLength(&m, ulMaxBody, &bodyLength)) != 0)
        return TEXT_REFUSED;
    if (offset + bodyLength > TEXT_BUFFER_SIZE) {
        *pulStatus = TEXT_STATUS_TOO_LARGE;
        return TEXT_REFUSED;
    }
    if (offset + bodyLength > ulSize)
        return TEXT_INCOMPLETE;
    m.stBody = {pcBuffer + offset, (UINT32)bodyLength};
    m.ulMessageSize = offset + (UINT32)bodyLength;
    *pMessage = m;
    return TEXT_COMPLETE;
}

bool TextIs(const tTextSpan& span, const char* szText)
{
    size_t n = strlen(szText);
    return span.ulSize == n && strncasecmp(span.pc, szText, n) == 0;
}

const tTextHeader* TextFind(const tTextMessage* pMessage, const char* szName)
{
    for (UINT32 i = 0; i < pMessage->ulHeaderCount; i++)
        if (TextIs(pMessage->stHeaders[i].stName, szName))
            return &pMessage->stHeaders[i];
    return nullptr;
}

bool TextNumber(const tTextMessage* pMessage, const char* szName, UINT64* pullValue)
{
    const tTextHeader* header = TextFind(pMessage, szName);
    const UINT32 MAX_DIGITS = 18;
    if (header == nullptr || header->stValue.ulSize == 0 || header->stValue.ulSize > MAX_DIGITS ||
        !AllChars(header->stValue, IsDigit))
        return false;
    UINT64 value = 0;
    for (UINT32 i = 0; i < header->stValue.ulSize; i++)
        value = value * 10 + (UINT64)(header->stValue.pc[i] - '0');
    *pullValue = value;
    return true;
}

void TextCopy(const tTextSpan& span, char* pcOut, UINT32 ulSize)
{
    if (ulSize == 0)
        return;
    UINT32 n = span.ulSize < ulSize - 1 ? span.ulSize : ulSize - 1;
    memcpy(pcOut, span.pc, n);
    pcOut[n] = '\0';
}

bool TextParameter(const tTextSpan& list, const char* szName, tTextSpan* pValue)
{
    size_t nameLength = strlen(szName);
    const char* p = list.pc;
    const char* end = list.pc + list.ulSize;
    while (p < end) {
        // One item: up to the next separator outside quotes.
        const char* itemEnd = p;
        bool quoted = false;
        while (itemEnd < end && (quoted || (*itemEnd != ';' && *itemEnd != ','))) {
            quoted = *itemEnd == '"' ? !quoted : quoted;
            itemEnd++;
        }
        tTextSpan item = Trim(p, (UINT32)(itemEnd - p));
        const char* eq = (const char*)memchr(item.pc, '=', item.ulSize);
        tTextSpan name = Trim(item.pc, eq != nullptr ? (UINT32)(eq - item.pc) : item.ulSize);
        // A challenge's first item ("Digest realm=...") carries the scheme.
        const char* space = (const char*)memchr(name.pc, ' ', name.ulSize);
        if (space != nullptr)
            name = Trim(space + 1, name.ulSize - (UINT32)(space + 1 - name.pc));
        if (name.ulSize == nameLength && strncasecmp(name.pc, szName, nameLength) == 0) {
            tTextSpan value = {item.pc + item.ulSize, 0};
            if (eq != nullptr)
                value = Trim(eq + 1, item.ulSize - (UINT32)(eq + 1 - item.pc));
            if (value.ulSize >= 2 && value.pc[0] == '"' && value.pc[value.ulSize - 1] == '"')
                value = {value.pc + 1, value.ulSize - 2};
            *pValue = value;
            return true;
        }
        p = itemEnd + 1;
    }
    return false;
}

void TextOutStart(tTextOut* pOut, char* pc, UINT32 ulSize)
{
    pOut->pc = pc;
    pOut->ulSize = ulSize;
    pOut->ulUsed = 0;
    pOut->bOverflow = ulSize == 0;
    if (ulSize > 0)
        pc[0] = '\0';
}

void TextPutV(tTextOut* pOut, const char* szFormat, va_list args)
{
    if (pOut->bOverflow)
        return;
    UINT32 room = pOut->ulSize - pOut->ulUsed;
    int n = vsnprintf(pOut->pc + pOut->ulUsed, room, szFormat, args);
    if (n < 0 || (UINT32)n >= room) {
        pOut->bOverflow = true;
        return;
    }
    pOut->ulUsed += (UINT32)n;
}

void TextPut(tTextOut* pOut, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    TextPutV(pOut, szFormat, args);
    va_end(args);
}

void TextPutBytes(tTextOut* pOut, const void* pData, UINT32 ulSize)
{
    if (pOut->bOverflow || ulSize >= pOut->ulSize - pOut->ulUsed) {
        pOut->bOverflow = true;
        return;
    }
    memcpy(pOut->pc + pOut->ulUsed, pData, ulSize);
    pOut->ulUsed += ulSize;
    pOut->pc[pOut->ulUsed] = '\0';
}

int TextHexDigit(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}
