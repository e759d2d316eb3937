// The text protocol core shared by RTSP 1.0 (RFC 2326) and HTTP/1.1
// (RFC 9112): messages of a start line, header fields and an optional body
// of Content-Length bytes, read from a bounded per-connection buffer.
//
//   request   METHOD SP request-target SP VERSION CRLF
//   response  VERSION SP 3DIGIT SP reason-phrase CRLF
//   then      *( field-name ":" OWS field-value OWS CRLF ) CRLF [ body ]
//
// Every length is checked before it is used: a start line, a field count,
// a header section or a body over its limit is refused with the status
// that says so, never read past. A single LF ends a line as CRLF does (RFC
// 9112, 2.2); a field line that starts with a blank (obsolete line folding)
// and bytes a field may not hold are refused.
#ifndef VOZIREV_TEXTPROTO_H
#define VOZIREV_TEXTPROTO_H

#include <cstdarg>

#include "Types.h"

const UINT32 TEXT_MAX_START_LINE = 2048;
const UINT32 TEXT_MAX_HEADERS = 32;
// A connection's input buffer, and so the largest header section and body.
const UINT32 TEXT_BUFFER_SIZE = 8192;

// Why a message is refused (the status a server answers with).
const UINT32 TEXT_STATUS_BAD_REQUEST = 400;
const UINT32 TEXT_STATUS_TOO_LARGE = 413;        // the body
const UINT32 TEXT_STATUS_URI_TOO_LONG = 414;
const UINT32 TEXT_STATUS_HEADERS_TOO_LARGE = 431;
const UINT32 TEXT_STATUS_BAD_VERSION = 505;

struct tTextSpan {
    const char* pc;
    UINT32 ulSize;
};

struct tTextHeader {
    tTextSpan stName;
    tTextSpan stValue;  // blanks around it left out
};

struct tTextMessage {
    bool bRequest;
    tTextSpan stMethod;   // request
    tTextSpan stTarget;
    tTextSpan stVersion;  // both
    UINT32 ulStatus;      // response
    tTextSpan stReason;
    tTextHeader stHeaders[TEXT_MAX_HEADERS];
    UINT32 ulHeaderCount;
    tTextSpan stBody;
    UINT32 ulMessageSize;  // bytes of the buffer the message takes
};

enum tTextResult { TEXT_INCOMPLETE = 0, TEXT_COMPLETE = 1, TEXT_REFUSED = -1 };

// Parses the message at the start of pcBuffer (ulSize bytes), a request or
// a response, whose version must start with szProtocol ("RTSP/1.0",
// "HTTP/1."). TEXT_COMPLETE with *pMessage (pointing into the buffer);
// TEXT_INCOMPLETE when more bytes are needed (and may still fit); or
// TEXT_REFUSED with the status in *pulStatus.
int TextParse(const char* pcBuffer, UINT32 ulSize, bool bRequest, const char* szProtocol, UINT32 ulMaxBody,
              tTextMessage* pMessage, UINT32* pulStatus);

// Case-insensitive comparison of a span with a text.
bool TextIs(const tTextSpan& span, const char* szText);
// The first header field of that name, or null.
const tTextHeader* TextFind(const tTextMessage* pMessage, const char* szName);
// A header's value as a decimal number; false when absent or not one.
bool TextNumber(const tTextMessage* pMessage, const char* szName, UINT64* pullValue);
// The span as a NUL-terminated copy, cut to ulSize - 1 bytes.
void TextCopy(const tTextSpan& span, char* pcOut, UINT32 ulSize);
// The value of a hexadecimal digit, -1 for any other byte (percent
// escapes, RFC 3986, 2.1).
int TextHexDigit(char ch);

// The value of a parameter "name=value" in a list separated by ';' or ','
// (Transport, WWW-Authenticate), quotes removed. False when absent.
bool TextParameter(const tTextSpan& list, const char* szName, tTextSpan* pValue);

// A message being built in a fixed buffer; overflow is sticky.
struct tTextOut {
    char* pc;
    UINT32 ulSize;
    UINT32 ulUsed;
    bool bOverflow;
};
void TextOutStart(tTextOut* pOut, char* pc, UINT32 ulSize);
__attribute__((format(printf, 2, 3))) void TextPut(tTextOut* pOut, const char* szFormat, ...);
__attribute__((format(printf, 2, 0))) void TextPutV(tTextOut* pOut, const char* szFormat, va_list args);
void TextPutBytes(tTextOut* pOut, const void* pData, UINT32 ulSize);

#endif
