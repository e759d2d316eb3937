// The HTTP server (RFC 9110, 9112) of the capture program: the live view
// (HLS, RFC 8216), status, metrics and the recordings.
//
//   /                  the page (index.html of -W), and its other files
//                      at /NAME (a flat name, no directories)
//   /live.m3u8         the live playlist; its segments at /live/N.ts
//   /status            the run's state as JSON
//   /metrics           the run's counters and gauges, Prometheus text format
//   /recordings        the finished recordings: JSON to a client that
//                      accepts application/json, else a page of links
//   /recordings/NAME   one of them, with Range (RFC 9110, 14)
//   anything else      404
//
// It runs on the servers' core (netserver.h) on the capture's one thread,
// with its connection limit, time-outs, bounded input and output and the
// credentials of the RTSP server (auth.h; every request authenticates when
// there are any). HTTP/1.1 keeps a connection open between requests and
// answers pipelined requests in order; GET and HEAD are served, static
// files with ETag and If-None-Match, recordings also with Range and
// If-Range. A body larger than a connection's queue (a recording, a
// segment) is read into it as it drains, so a download costs its queue and
// nothing more, however large the file.
#ifndef VOZIREV_HTTPSERVER_H
#define VOZIREV_HTTPSERVER_H

#include "captureparams.h"
#include "textproto.h"

const INT64 HTTP_IDLE_MS = 15000;          // a kept-alive connection with nothing to do
const UINT32 HTTP_QUEUE_SIZE = 64 * 1024;  // each connection's output
const UINT32 HTTP_MAX_BODY = 4096;         // a request body, read and passed over

// Opens the server when the run asks for it (-H): listens, starts the live
// segmenter and prints the page's URL. 0 (also when not asked for), -1
// when the run must end (the reason is printed).
int HttpServerOpen(const stInputParameters* pInput);
bool HttpServerActive();
void HttpServerClose();
// Requests answered since the start, connections open now.
UINT64 HttpRequestsServed();
UINT32 HttpConnectionCount();

// ---- the request, as the server reads it (tests and the fuzz target) -----

struct tHttpRequest {
    tTextMessage stMessage;
    UINT32 ulStatus;        // 0, or the error to answer
    bool bHead;
    bool bKeepAlive;        // the connection stays open after the answer
    char szPath[TEXT_MAX_START_LINE];  // the target's path, percent-decoded
};

// Reads the request at the start of the buffer: TEXT_INCOMPLETE,
// TEXT_REFUSED (ulStatus says why; the connection is answered and closed)
// or TEXT_COMPLETE (ulStatus 0, or an error to answer on a connection that
// may go on, such as 405 for another method). The path is that of the
// origin form or the absolute form (RFC 9112, 3.2), the query left out; a
// path with a dot segment, an encoded '/', '\' or NUL is answered 404, a
// malformed escape 400.
int HttpReadRequest(const char* pcBuffer, UINT32 ulSize, tHttpRequest* pRequest);

// Whether a comma-separated header value (may be null) holds the item:
// a token, case-insensitive, or with bEntityTags an entity tag, compared
// weakly as If-None-Match compares them (RFC 9110, 8.8.3.2), "*" matching
// any.
bool HttpListHas(const tTextHeader* pHeader, const char* szItem, bool bEntityTags);

// The Range of a request for a representation of ullSize bytes (RFC 9110,
// 14.1.2; one range, "bytes=a-b", "a-" or "-n"): 1 with the first and last
// byte, 0 when the whole is served (no range, several, one that cannot be
// read, or If-Range that does not match szEntityTag), -1 when it cannot be
// satisfied (416).
int HttpRange(const tTextMessage* pMessage, UINT64 ullSize, const char* szEntityTag, UINT64* pullFirst,
              UINT64* pullLast);

#endif
