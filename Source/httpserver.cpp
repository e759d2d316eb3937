// The HTTP server: connections, requests, routes and bodies.
#include "httpserver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "runstats.h"
#include "auth.h"
#include "hls.h"
#include "httprecordings.h"
#include "httpstatus.h"
#include "netserver.h"
#include "segments.h"

namespace {

const UINT32 HEAD_SIZE = 2048;            // a response's header section
const UINT32 BODY_CHUNK = 16 * 1024;      // what a body puts into the queue at a time
const UINT32 WWW_PATH_SIZE = 512;
const char* const INDEX_FILE = "index.html";
const char* const RECORDINGS_PATH = "/recordings";
const char* const SEGMENT_PREFIX = "/live/";

enum tBodyKind { BODY_NONE, BODY_TEXT, BODY_FILE, BODY_SEGMENT };

// A connection's answer in progress.
struct tHttpConnection {
    tBodyKind eBody;
    std::string sText;      // BODY_TEXT
    int fd;                 // BODY_FILE
    UINT64 ullSequence;     // BODY_SEGMENT
    UINT64 ullOffset;       // next byte of the body
    UINT64 ullLeft;
    bool bCloseAfter;       // once the body is queued
};

struct tHttpService {
    bool bActive;
    tNetServer stServer;
    const stInputParameters* pInput;
    UINT64 ullRequests;
};
tHttpService http;

// ---- responses ------------------------------------------------------------------

const char* Reason(UINT32 ulStatus)
{
    switch (ulStatus) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

// Date in the IMF-fixdate form (RFC 9110, 5.6.7).
void PutDate(tTextOut* pOut)
{
    char date[40];
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", &utc);
    TextPut(pOut, "Date: %s\r\n", date);
}

// The status line and header fields; szExtra holds further complete lines.
void SendHead(tNetConnection* c, tHttpConnection* h, UINT32 ulStatus, const char* szType, UINT64 ullLength,
              const char* szExtra)
{
    char buffer[HEAD_SIZE];
    tTextOut out;
    TextOutStart(&out, buffer, sizeof(buffer));
    TextPut(&out, "HTTP/1.1 %u %s\r\nServer: vozirev\r\n", ulStatus, Reason(ulStatus));
    PutDate(&out);
    if (szType != nullptr)
        TextPut(&out, "Content-Type: %s\r\n", szType);
    if (ulStatus != 304)
        TextPut(&out, "Content-Length: %" PRIu64 "\r\n", ullLength);
    TextPut(&out, "%s%s\r\n", szExtra != nullptr ? szExtra : "", h->bCloseAfter ? "Connection: close\r\n" : "");
    if (!out.bOverflow)
        NetConnectionSend(c, buffer, out.ulUsed);
    else
        NetConnectionCloseWhenSent(c);
}

void EndBody(tNetConnection* c, tHttpConnection* h)
{
    if (h->fd >= 0)
        close(h->fd);
    h->fd = -1;
    h->sText.clear();
    h->eBody = BODY_NONE;
    if (h->bCloseAfter)
        NetConnectionCloseWhenSent(c);
}

// The next bytes of the body, at most ulMax; 0 when they cannot be had (a
// segment that has left memory, a read that failed).
UINT32 BodyBytes(tHttpConnection* h, UINT8* pucScratch, UINT32 ulMax, const UINT8** ppucBytes)
{
    UINT32 n = h->ullLeft < ulMax ? (UINT32)h->ullLeft : ulMax;
    if (h->eBody == BODY_TEXT) {
        *ppucBytes = reinterpret_cast<const UINT8*>(h->sText.data()) + h->ullOffset;
        return n;
    }
    if (h->eBody == BODY_SEGMENT) {
        tHlsSegment segment;
        if (!HlsFindSegment(h->ullSequence, &segment) || h->ullOffset + n > segment.ulSize)
            return 0;
        *ppucBytes = segment.pucData + h->ullOffset;
        return n;
    }
    ssize_t got = pread(h->fd, pucScratch, n, (off_t)h->ullOffset);
    *ppucBytes = pucScratch;
    return got > 0 ? (UINT32)got : 0;
}

// Tops the queue up with the body while it has room; a body that cannot
// go on ends the connection (the client sees it cut short).
void Refill(tNetConnection* c, tHttpConnection* h)
{
    static UINT8 scratch[BODY_CHUNK];
    while (h->eBody != BODY_NONE && h->ullLeft > 0 && !c->bCloseWhenSent) {
        UINT32 room = NetQueueRoom(&c->stOutput);
        if (room < BODY_CHUNK && room < h->ullLeft)
            return;
        const UINT8* bytes = nullptr;
        UINT32 n = BodyBytes(h, scratch, room < BODY_CHUNK ? room : BODY_CHUNK, &bytes);
        if (n == 0) {
            h->bCloseAfter = true;
            break;
        }
        NetConnectionSend(c, bytes, n);
        h->ullOffset += n;
        h->ullLeft -= n;
    }
    if (h->eBody != BODY_NONE)
        EndBody(c, h);
}

void StartBody(tNetConnection* c, tHttpConnection* h, tBodyKind eKind, UINT64 ullOffset, UINT64 ullLength)
{
    h->eBody = eKind;
    h->ullOffset = ullOffset;
    h->ullLeft = ullLength;
    Refill(c, h);
}

void SendText(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r, UINT32 ulStatus, const char* szType,
              const std::string& body, const char* szExtra)
{
    SendHead(c, h, ulStatus, szType, body.size(), szExtra);
    if (r->bHead || body.empty())
        return EndBody(c, h);
    h->sText = body;
    StartBody(c, h, BODY_TEXT, 0, body.size());
}

void SendError(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r, UINT32 ulStatus, const char* szExtra)
{
    char body[96];
    snprintf(body, sizeof(body), "%u %s\n", ulStatus, Reason(ulStatus));
    SendText(c, h, r, ulStatus, "text/plain; charset=utf-8", body, szExtra);
}

// ---- files -----------------------------------------------------------------------

const char* TypeOfFile(const char* szName)
{
    const char* dot = strrchr(szName, '.');
    static const struct { const char* szExtension; const char* szType; } TYPES[] = {
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"}, {".mp4", "video/mp4"}, {".mpg", "video/mp2t"},
    };
    for (const auto& t : TYPES)
        if (dot != nullptr && strcmp(dot, t.szExtension) == 0)
            return t.szType;
    return "text/plain; charset=utf-8";
}

// A file of the page: a flat name of letters, digits, '-', '_' and '.',
// not starting with '.', opened without following a link.
int OpenPageFile(const char* szName, struct stat* pSt)
{
    if (szName[0] == '\0' || szName[0] == '.' ||
        strspn(szName, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") != strlen(szName))
        return -1;
    char path[WWW_PATH_SIZE];
    int n = snprintf(path, sizeof(path), "%s/%s", http.pInput->sWww_Dir, szName);
    if (n < 0 || (size_t)n >= sizeof(path))
        return -1;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && (fstat(fd, pSt) != 0 || !S_ISREG(pSt->st_mode))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// A file body from ullFirst to ullLast, or the head alone.
void SendFile(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r, int fd, UINT32 ulStatus,
              const char* szType, UINT64 ullFirst, UINT64 ullLength, const char* szExtra)
{
    SendHead(c, h, ulStatus, szType, ullLength, szExtra);
    h->fd = fd;
    if (r->bHead || ullLength == 0)
        return EndBody(c, h);
    StartBody(c, h, BODY_FILE, ullFirst, ullLength);
}

void ServePageFile(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r, const char* szName)
{
    struct stat st;
    int fd = OpenPageFile(szName, &st);
    if (fd < 0)
        return SendError(c, h, r, 404, nullptr);
    char tag[64], extra[160];
    FileEntityTag((UINT64)st.st_size, (INT64)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec, tag, sizeof(tag));
    snprintf(extra, sizeof(extra), "ETag: %s\r\nCache-Control: no-cache\r\n", tag);
    if (HttpListHas(TextFind(&r->stMessage, "If-None-Match"), tag, true)) {
        close(fd);
        SendHead(c, h, 304, nullptr, 0, extra);
        return EndBody(c, h);
    }
    SendFile(c, h, r, fd, 200, TypeOfFile(szName), 0, (UINT64)st.st_size, extra);
}

void ServeRecording(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r, const char* szName)
{
    tRecordingFile file;
    if (!RecordingOpen(szName, SegmentBaseName(), &file))
        return SendError(c, h, r, 404, nullptr);
    char tag[64], extra[256];
    FileEntityTag(file.ullSize, file.llModifiedNs, tag, sizeof(tag));
    UINT64 first = 0, last = file.ullSize ? file.ullSize - 1 : 0;
    int range = HttpRange(&r->stMessage, file.ullSize, tag, &first, &last);
    int n = snprintf(extra, sizeof(extra), "ETag: %s\r\nAccept-Ranges: bytes\r\n", tag);
    if (range < 0) {
        close(file.fd);
        snprintf(extra + n, sizeof(extra) - n, "Content-Range: bytes */%" PRIu64 "\r\n", file.ullSize);
        return SendError(c, h, r, 416, extra);
    }
    if (range > 0)
        snprintf(extra + n, sizeof(extra) - n, "Content-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64 "\r\n", first,
                 last, file.ullSize);
    UINT64 length = file.ullSize == 0 ? 0 : last - first + 1;
    SendFile(c, h, r, file.fd, range > 0 ? 206 : 200, TypeOfFile(szName), first, length, extra);
}

// ---- the live view -------------------------------------------------------------

void ServePlaylist(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r)
{
    char playlist[HLS_PLAYLIST_SIZE];
    UINT32 size = HlsPlaylist(playlist, sizeof(playlist));
    if (size == 0)
        return SendError(c, h, r, 503, "Retry-After: 1\r\nCache-Control: no-cache\r\n");
    SendText(c, h, r, 200, "application/vnd.apple.mpegurl", std::string(playlist, size), "Cache-Control: no-cache\r\n");
}

void ServeSegment(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r, const char* szName)
{
    char* end = nullptr;
    unsigned long long sequence = strtoull(szName, &end, 10);
    tHlsSegment segment;
    if (end == szName || szName[0] < '0' || szName[0] > '9' || strcmp(end, ".ts") != 0 ||
        !HlsFindSegment(sequence, &segment))
        return SendError(c, h, r, 404, nullptr);
    SendHead(c, h, 200, "video/mp2t", segment.ulSize, "Cache-Control: max-age=60\r\n");
    if (r->bHead)
        return EndBody(c, h);
    h->ullSequence = sequence;
    StartBody(c, h, BODY_SEGMENT, 0, segment.ulSize);
}

// ---- routes ------------------------------------------------------------------------

bool AcceptsJson(const tHttpRequest* r)
{
    const tTextHeader* accept = TextFind(&r->stMessage, "Accept");
    return accept != nullptr && HttpListHas(accept, "application/json", false);
}

void Route(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r)
{
    const char* path = r->szPath;
    size_t recordings = strlen(RECORDINGS_PATH);
    std::string body;
    if (strcmp(path, "/") == 0)
        return ServePageFile(c, h, r, INDEX_FILE);
    if (strcmp(path, "/live.m3u8") == 0)
        return ServePlaylist(c, h, r);
    if (strncmp(path, SEGMENT_PREFIX, strlen(SEGMENT_PREFIX)) == 0)
        return ServeSegment(c, h, r, path + strlen(SEGMENT_PREFIX));
    if (strcmp(path, "/status") == 0) {
        HttpStatusJson(http.pInput, &body);
        return SendText(c, h, r, 200, "application/json", body, "Cache-Control: no-cache\r\n");
    }
    if (strcmp(path, "/metrics") == 0) {
        HttpMetrics(http.pInput, &body);
        return SendText(c, h, r, 200, "text/plain; version=0.0.4; charset=utf-8", body, nullptr);
    }
    if (strcmp(path, RECORDINGS_PATH) == 0 || strcmp(path, "/recordings/") == 0) {
        bool json = AcceptsJson(r);
        RecordingsList(SegmentBaseName(), json, &body);
        return SendText(c, h, r, 200, json ? "application/json" : "text/html; charset=utf-8", body,
                        "Cache-Control: no-cache\r\nVary: Accept\r\n");
    }
    if (strncmp(path, RECORDINGS_PATH, recordings) == 0 && path[recordings] == '/')
        return ServeRecording(c, h, r, path + recordings + 1);
    if (strchr(path + 1, '/') == nullptr)
        return ServePageFile(c, h, r, path + 1);
    SendError(c, h, r, 404, nullptr);
}

void Answer(tNetConnection* c, tHttpConnection* h, const tHttpRequest* r)
{
    http.ullRequests++;
    h->bCloseAfter = !r->bKeepAlive;
    if (r->ulStatus == 405)
        return SendError(c, h, r, 405, "Allow: GET, HEAD\r\n");
    if (r->ulStatus != 0)
        return SendError(c, h, r, r->ulStatus, nullptr);
    tAuthResult auth = AuthCheck(&r->stMessage);
    if (auth != AUTH_OK) {
        char challenge[HEAD_SIZE / 2];
        tTextOut out;
        TextOutStart(&out, challenge, sizeof(challenge));
        AuthPutChallenge(&out, auth == AUTH_STALE);
        return SendError(c, h, r, 401, out.bOverflow ? nullptr : challenge);
    }
    Route(c, h, r);
}

// ---- the connection's hooks ----------------------------------------------------------

tHttpConnection* ProtocolOf(tNetConnection* c)
{
    if (c->pProtocol == nullptr) {
        tHttpConnection* h = new (std::nothrow) tHttpConnection;
        if (h == nullptr)
            return nullptr;
        h->eBody = BODY_NONE;
        h->fd = -1;
        h->ullSequence = h->ullOffset = h->ullLeft = 0;
        h->bCloseAfter = false;
        c->pProtocol = h;
    }
    return static_cast<tHttpConnection*>(c->pProtocol);
}

// Answers the whole requests in the buffer, in order; the next waits while
// a body is being sent.
int Input(tNetConnection* c, INT64 llNowMs)
{
    tHttpConnection* h = ProtocolOf(c);
    if (h == nullptr)
        return -1;
    static tHttpRequest request;
    while (h->eBody == BODY_NONE && !c->bCloseWhenSent && c->ulInputUsed > 0) {
        int result = HttpReadRequest(c->acInput, c->ulInputUsed, &request);
        if (result == TEXT_INCOMPLETE)
            return 0;
        if (result == TEXT_REFUSED) {
            request.bHead = false;
            request.bKeepAlive = false;
            Answer(c, h, &request);
            NetConnectionTake(c, c->ulInputUsed, llNowMs);
            return 0;
        }
        Answer(c, h, &request);
        NetConnectionTake(c, request.stMessage.ulMessageSize, llNowMs);
    }
    return 0;
}

// A body going out keeps the connection active; once it is done, the
// requests that wait behind it are answered.
void Sent(tNetConnection* c, INT64 llNowMs)
{
    tHttpConnection* h = ProtocolOf(c);
    if (h == nullptr || h->eBody == BODY_NONE)
        return;
    c->llActivityMs = llNowMs;
    Refill(c, h);
    if (h->eBody == BODY_NONE && c->ulInputUsed > 0)
        Input(c, llNowMs);
}

void Closed(tNetConnection* c)
{
    tHttpConnection* h = static_cast<tHttpConnection*>(c->pProtocol);
    if (h != nullptr && h->fd >= 0)
        close(h->fd);
    delete h;
    c->pProtocol = nullptr;
}

void Tick(INT64 llNowMs)
{
    NetServerTick(&http.stServer, llNowMs);
}

}  // namespace

int HttpServerOpen(const stInputParameters* pInput)
{
    if (pInput->ulHttp_Port == SERVICE_PORT_OFF)
        return 0;
    if (AuthLoad(pInput->sCredentials_File) < 0)
        return -1;
    NetServerSetLimit(pInput->ulMax_Connections);
    http.pInput = pInput;
    http.ullRequests = 0;
    http.stServer.szName = "HTTP";
    http.stServer.stHooks = {Input, Closed, Sent};
    http.stServer.ulOutputCapacity = HTTP_QUEUE_SIZE;
    http.stServer.llIdleMs = HTTP_IDLE_MS;
    if (NetServerOpen(&http.stServer, pInput->sListen_Addr, (UINT16)pInput->ulHttp_Port) != 0)
        return -1;
    bool video = pInput->ulMediaFormat != MEDIA_FORMAT_AUDIO;
    if (!HlsOpen(video ? pInput->ulI_Frame_Interval : 0, pInput->ulVideo_Frame_Rate) || NetAddTimer(Tick) != 0) {
        NetServerClose(&http.stServer);
        puts("The HTTP server cannot start: out of memory.");
        return -1;
    }
    http.bActive = true;
    RunStatsMeasureCpu(true);
    char host[NET_PEER_SIZE];
    NetAddressForClients(pInput->sListen_Addr, host);
    printf("Live view, status and recordings at http://%s:%u/\n", host, pInput->ulHttp_Port);
    struct stat st;
    int index = OpenPageFile(INDEX_FILE, &st);
    if (index >= 0)
        close(index);
    else
        printf("The web page is not in %s (-W): / answers 404.\n", pInput->sWww_Dir);
    return 0;
}

bool HttpServerActive()
{
    return http.bActive;
}

void HttpServerClose()
{
    if (!http.bActive)
        return;
    NetRemoveTimer(Tick);
    NetServerClose(&http.stServer);
    HlsClose();
    http.bActive = false;
}

UINT64 HttpRequestsServed()
{
    return http.ullRequests;
}

UINT32 HttpConnectionCount()
{
    UINT32 count = 0;
    for (const tNetConnection* c = http.bActive ? http.stServer.pConnections : nullptr; c != nullptr; c = c->pNext)
        count++;
    return count;
}
