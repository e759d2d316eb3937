// A cheap RTSP client for the many-client tests and the benchmark: any
// number of sessions from one process, each DESCRIBE, SETUP (every track,
// UDP or TCP interleaved), PLAY, then counting what arrives.
//
//   rtsp_client URL SECONDS UDP_CLIENTS TCP_CLIENTS [options]
//     --stall N         N more TCP clients that never read after PLAY
//     --vanish N        N more UDP clients that close everything without a
//                       TEARDOWN half-way through
//     --user U --password P [--basic]   authenticate (Digest, or Basic only)
//
// Per client it prints one line: packets per track, sequence gaps, the
// pictures (video packets with the marker), whether the video started
// where a decoder can (the parameter sets, or PAT first for MP2T), and the
// milliseconds from the PLAY answer to the end of the first picture. Then
// "complete N of M": clients that got video and audio (what the
// description offers) without a gap. Exit 0 when every reading client is
// complete. The reading clients say TEARDOWN at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "auth.h"
#include "byteorder.h"
#include "textproto.h"

namespace {

const int REPLY_TIMEOUT_MS = 5000;
const int RECEIVE_BUFFER = 4 << 20;

double NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Track {
    std::string control;
    bool video = false;
    int rtp = -1, rtcp = -1;  // UDP sockets
    UINT64 packets = 0, gaps = 0, pictures = 0;
    int lastSeq = -1;
    bool firstOk = false;
    double firstPictureMs = -1;
};

struct Client {
    int fd = -1;
    bool tcp = false, stall = false, vanish = false, gone = false;
    int cseq = 0;
    std::string session, buffer;
    std::vector<Track> tracks;
    tAuthClient auth;
    bool authTaken = false;
    double playedMs = 0;
};

struct Options {
    std::string url, host, user, password;
    int port = 554;
    bool basic = false;
};
Options opt;
// The clients whose sessions play, read while a later one is set up, so
// that what they receive is counted when it arrives.
std::vector<struct Client*> playing;
void Drain();

bool Connect(Client* c)
{
    c->fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((UINT16)opt.port);
    inet_pton(AF_INET, opt.host.c_str(), &a.sin_addr);
    return connect(c->fd, (struct sockaddr*)&a, sizeof(a)) == 0;
}

// Reads one whole response into *reply; false on time-out or close.
bool ReadReply(Client* c, std::string* reply, UINT32* status)
{
    double deadline = NowMs() + REPLY_TIMEOUT_MS;
    for (;;) {
        tTextMessage m;
        UINT32 refused = 0;
        // Interleaved frames may come before the answer: passed over.
        while (c->buffer.size() >= 4 && c->buffer[0] == '$')
            c->buffer.erase(0, 4 + ReadBE16((const UINT8*)c->buffer.data() + 2));
        if (!c->buffer.empty() &&
            TextParse(c->buffer.data(), (UINT32)c->buffer.size(), false, "RTSP/1.0", 65536, &m, &refused) ==
                TEXT_COMPLETE) {
            *status = m.ulStatus;
            reply->assign(c->buffer, 0, m.ulMessageSize);
            c->buffer.erase(0, m.ulMessageSize);
            return true;
        }
        struct pollfd p = {c->fd, POLLIN, 0};
        char chunk[16384];
        Drain();
        if (NowMs() > deadline)
            return false;
        if (poll(&p, 1, 2) <= 0)
            continue;
        ssize_t got = recv(c->fd, chunk, sizeof(chunk), 0);
        if (got <= 0)
            return false;
        c->buffer.append(chunk, (size_t)got);
    }
}

// One request and its answer, once more with credentials after a 401.
UINT32 Request(Client* c, const char* method, const std::string& url, const std::string& headers, std::string* reply)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        char auth[1024] = "";
        tTextOut out;
        TextOutStart(&out, auth, sizeof(auth));
        if (c->authTaken)
            AuthClientPut(&c->auth, &out, method, url.c_str(), opt.user.c_str(), opt.password.c_str());
        std::string text = std::string(method) + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++c->cseq) +
                           "\r\n" + auth + headers + "\r\n";
        UINT32 status = 0;
        if (send(c->fd, text.data(), text.size(), MSG_NOSIGNAL) != (ssize_t)text.size() ||
            !ReadReply(c, reply, &status))
            return 0;
        tTextMessage m;
        UINT32 refused = 0;
        if (status != 401 || opt.user.empty() ||
            TextParse(reply->data(), (UINT32)reply->size(), false, "RTSP/1.0", 65536, &m, &refused) != TEXT_COMPLETE ||
            !AuthClientTake(&c->auth, &m))
            return status;
        if (opt.basic)
            c->auth.bDigest = false;
        c->authTaken = true;
    }
    return 401;
}

std::string HeaderValue(const std::string& reply, const char* name)
{
    tTextMessage m;
    UINT32 refused = 0;
    if (TextParse(reply.data(), (UINT32)reply.size(), false, "RTSP/1.0", 65536, &m, &refused) != TEXT_COMPLETE)
        return "";
    const tTextHeader* h = TextFind(&m, name);
    return h == nullptr ? "" : std::string(h->stValue.pc, h->stValue.ulSize);
}

// The tracks of the description: each m= line and its a=control, a
// relative one resolved against Content-Base (RFC 2326, C.1.1).
void TakeTracks(Client* c, const std::string& reply)
{
    std::string base = HeaderValue(reply, "Content-Base");
    if (base.empty())
        base = opt.url;
    if (base.back() != '/')
        base += '/';
    size_t pos = reply.find("\r\n\r\n");
    std::string sdp = pos == std::string::npos ? "" : reply.substr(pos + 4);
    for (size_t at = 0; (at = sdp.find("\nm=", at)) != std::string::npos; at += 3) {
        Track t;
        t.video = sdp.compare(at, 8, "\nm=video") == 0;
        size_t control = sdp.find("a=control:", at);
        size_t end = sdp.find("\r\n", control);
        if (control != std::string::npos)
            t.control = sdp.substr(control + 10, end - control - 10);
        if (t.control.compare(0, 7, "rtsp://") != 0)
            t.control = base + t.control;
        c->tracks.push_back(t);
    }
}

bool BindPair(Track* t)
{
    for (int attempt = 0; attempt < 200; attempt++) {
        UINT16 port = (UINT16)(30000 + 2 * (rand() % 15000));
        t->rtp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        t->rtcp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        setsockopt(t->rtp, SOL_SOCKET, SO_RCVBUF, &RECEIVE_BUFFER, sizeof(RECEIVE_BUFFER));
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        bool ok = bind(t->rtp, (struct sockaddr*)&a, sizeof(a)) == 0;
        a.sin_port = htons((UINT16)(port + 1));
        if (ok && bind(t->rtcp, (struct sockaddr*)&a, sizeof(a)) == 0)
            return true;
        close(t->rtp);
        close(t->rtcp);
    }
    return false;
}

UINT16 LocalPort(int fd)
{
    struct sockaddr_in a = {};
    socklen_t size = sizeof(a);
    getsockname(fd, (struct sockaddr*)&a, &size);
    return ntohs(a.sin_port);
}

bool SetupTrack(Client* c, Track* t, size_t index)
{
    std::string transport;
    if (c->tcp) {
        transport = "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(2 * index) + "-" + std::to_string(2 * index + 1);
    } else {
        if (!BindPair(t))
            return false;
        UINT16 port = LocalPort(t->rtp);
        transport = "RTP/AVP;unicast;client_port=" + std::to_string(port) + "-" + std::to_string(port + 1);
    }
    std::string headers = "Transport: " + transport + "\r\n";
    if (!c->session.empty())
        headers += "Session: " + c->session + "\r\n";
    std::string reply;
    if (Request(c, "SETUP", t->control, headers, &reply) != 200)
        return false;
    c->session = HeaderValue(reply, "Session");
    c->session = c->session.substr(0, c->session.find(';'));
    return true;
}

bool Start(Client* c)
{
    std::string reply;
    if (!Connect(c) || Request(c, "DESCRIBE", opt.url, "Accept: application/sdp\r\n", &reply) != 200)
        return false;
    TakeTracks(c, reply);
    for (size_t i = 0; i < c->tracks.size(); i++)
        if (!SetupTrack(c, &c->tracks[i], i))
            return false;
    if (Request(c, "PLAY", opt.url, "Session: " + c->session + "\r\nRange: npt=now-\r\n", &reply) != 200)
        return false;
    c->playedMs = NowMs();
    fcntl(c->fd, F_SETFL, O_NONBLOCK);
    playing.push_back(c);
    return true;
}

// One RTP packet of a track: sequence, start and pictures.
void TakePacket(Client* c, Track* t, const UINT8* p, size_t size)
{
    if (size < 12 || (p[0] & 0xC0) != 0x80)
        return;
    int seq = ReadBE16(p + 2);
    if (t->lastSeq >= 0 && seq != ((t->lastSeq + 1) & 0xFFFF))
        t->gaps++;
    t->lastSeq = seq;
    if (t->packets++ == 0) {
        UINT8 pt = p[1] & 0x7F;
        // H.264: the sequence parameter set first; MP2T: PAT (PID 0) first.
        t->firstOk = !t->video || (pt == 33 ? size > 14 && p[12] == 0x47 && (p[13] & 0x1F) == 0 && p[14] == 0
                                            : (p[12] & 0x1F) == 7);
    }
    if (t->video && (p[1] & 0x80)) {
        if (t->pictures++ == 0)
            t->firstPictureMs = NowMs() - c->playedMs;
    }
}

void ReadUdp(Client* c, Track* t)
{
    UINT8 packet[2048];
    ssize_t got;
    while ((got = recv(t->rtp, packet, sizeof(packet), 0)) > 0)
        TakePacket(c, t, packet, (size_t)got);
    while (recv(t->rtcp, packet, sizeof(packet), 0) > 0) {
    }
}

// Interleaved frames out of the connection; RTSP answers passed over.
void ReadTcp(Client* c)
{
    char chunk[65536];
    ssize_t got;
    while ((got = recv(c->fd, chunk, sizeof(chunk), 0)) > 0)
        c->buffer.append(chunk, (size_t)got);
    size_t at = 0;
    while (c->buffer.size() - at >= 4) {
        const UINT8* p = (const UINT8*)c->buffer.data() + at;
        if (p[0] != '$') {
            size_t end = c->buffer.find("\r\n\r\n", at);
            if (end == std::string::npos)
                break;
            at = end + 4;
            continue;
        }
        size_t size = ReadBE16(p + 2);
        if (c->buffer.size() - at < 4 + size)
            break;
        if (p[1] % 2 == 0 && p[1] / 2 < c->tracks.size())
            TakePacket(c, &c->tracks[p[1] / 2], p + 4, size);
        at += 4 + size;
    }
    c->buffer.erase(0, at);
}

void ReadClient(Client* c)
{
    if (c->gone || c->stall)
        return;
    if (c->tcp)
        ReadTcp(c);
    for (Track& t : c->tracks)
        if (!c->tcp)
            ReadUdp(c, &t);
}

void Drain()
{
    for (Client* c : playing)
        ReadClient(c);
}

void Vanish(Client* c)
{
    close(c->fd);
    for (Track& t : c->tracks) {
        close(t.rtp);
        close(t.rtcp);
    }
    c->gone = true;
}

void Run(std::vector<Client>& clients, double seconds)
{
    double start = NowMs(), keepAlive = start;
    while (NowMs() - start < seconds * 1000) {
        std::vector<struct pollfd> fds;
        for (Client& c : clients) {
            if (c.vanish && !c.gone && NowMs() - start > seconds * 500)
                Vanish(&c);
            if (c.gone || c.stall)
                continue;
            if (c.tcp)
                fds.push_back({c.fd, POLLIN, 0});
            for (Track& t : c.tracks)
                if (!c.tcp)
                    fds.push_back({t.rtp, POLLIN, 0});
        }
        poll(fds.data(), fds.size(), 20);
        bool sendKeepAlive = NowMs() - keepAlive > 20000;
        for (Client& c : clients) {
            if (c.gone || c.stall)
                continue;
            if (sendKeepAlive) {
                std::string text = "GET_PARAMETER " + opt.url + " RTSP/1.0\r\nCSeq: " + std::to_string(++c.cseq) +
                                   "\r\nSession: " + c.session + "\r\n\r\n";
                send(c.fd, text.data(), text.size(), MSG_NOSIGNAL);
            }
            ReadClient(&c);
        }
        if (sendKeepAlive)
            keepAlive = NowMs();
    }
}

bool Report(size_t i, Client* c)
{
    bool complete = !c->tracks.empty();
    printf("client=%zu transport=%s%s", i, c->tcp ? "tcp" : "udp", c->stall ? " stalled" : c->vanish ? " vanished" : "");
    for (Track& t : c->tracks) {
        printf(" %s: packets=%llu gaps=%llu", t.video ? "video" : "audio", (unsigned long long)t.packets,
               (unsigned long long)t.gaps);
        if (t.video)
            printf(" pictures=%llu start_ok=%d first_picture_ms=%.0f", (unsigned long long)t.pictures, t.firstOk,
                   t.firstPictureMs);
        complete = complete && t.packets > 0 && t.gaps == 0 && t.firstOk && (!t.video || t.pictures > 0 ||
                                                                               t.control.find(".ts") != std::string::npos);
    }
    printf("\n");
    return complete;
}

bool ParseUrl(const std::string& url)
{
    opt.url = url;
    if (url.compare(0, 7, "rtsp://") != 0)
        return false;
    size_t slash = url.find('/', 7);
    std::string hostport = url.substr(7, slash - 7);
    size_t colon = hostport.find(':');
    opt.host = hostport.substr(0, colon);
    if (colon != std::string::npos)
        opt.port = atoi(hostport.c_str() + colon + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 5 || !ParseUrl(argv[1])) {
        fprintf(stderr, "usage: %s URL SECONDS UDP_CLIENTS TCP_CLIENTS [--stall N] [--vanish N] "
                        "[--user U --password P [--basic]]\n", argv[0]);
        return 2;
    }
    srand((unsigned int)getpid());
    double seconds = atof(argv[2]);
    int udp = atoi(argv[3]), tcp = atoi(argv[4]), stall = 0, vanish = 0;
    for (int i = 5; i < argc; i++) {
        std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--stall") stall = atoi(next), i++;
        else if (a == "--vanish") vanish = atoi(next), i++;
        else if (a == "--user") opt.user = next, i++;
        else if (a == "--password") opt.password = next, i++;
        else if (a == "--basic") opt.basic = true;
    }
    std::vector<Client> clients((size_t)(udp + tcp + stall + vanish));
    for (size_t i = 0; i < clients.size(); i++) {
        clients[i].tcp = (int)i >= udp && (int)i < udp + tcp + stall;
        clients[i].stall = (int)i >= udp + tcp && (int)i < udp + tcp + stall;
        clients[i].vanish = (int)i >= udp + tcp + stall;
        if (!Start(&clients[i])) {
            printf("client=%zu could not start a session\n", i);
            return 1;
        }
    }
    Run(clients, seconds);
    playing.clear();
    for (Client& c : clients) {
        std::string reply;
        if (!c.gone && !c.stall) {
            fcntl(c.fd, F_SETFL, 0);
            c.buffer.clear();
            Request(&c, "TEARDOWN", opt.url, "Session: " + c.session + "\r\n", &reply);
        }
    }
    size_t complete = 0, reading = 0;
    for (size_t i = 0; i < clients.size(); i++) {
        bool ok = Report(i, &clients[i]);
        if (!clients[i].stall && !clients[i].vanish) {
            reading++;
            complete += ok ? 1 : 0;
        }
    }
    printf("complete %zu of %zu\n", complete, reading);
    return complete == reading ? 0 : 1;
}
