// Listening sockets and the connections of the servers.
#include "netserver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

const int LISTEN_BACKLOG = 64;
// A connection whose queue has stayed full this long has stopped reading.
const INT64 NET_STALLED_MS = 10000;
const unsigned int MAX_SERVERS = 4;

UINT32 maxConnections = 64;
UINT32 connectionCount = 0;
tNetServer* servers[MAX_SERVERS] = {};

void Register(tNetServer* pServer)
{
    for (tNetServer*& slot : servers) {
        if (slot == nullptr || slot == pServer) {
            slot = pServer;
            return;
        }
    }
}

void Unregister(tNetServer* pServer)
{
    for (tNetServer*& slot : servers)
        if (slot == pServer)
            slot = nullptr;
}

void UpdateEvents(tNetConnection* c)
{
    NetSetEvents(&c->stWatch, (short)(POLLIN | (NetQueueEmpty(&c->stOutput) ? 0 : POLLOUT)));
}

void Forget(tNetConnection* c)
{
    for (tNetConnection** link = &c->pServer->pConnections; *link != nullptr; link = &(*link)->pNext) {
        if (*link == c) {
            *link = c->pNext;
            return;
        }
    }
}

// Whether a hook left the connection open.
bool StillOpen(const tNetServer* pServer, const tNetConnection* pConnection)
{
    for (const tNetConnection* c = pServer->pConnections; c != nullptr; c = c->pNext)
        if (c == pConnection)
            return true;
    return false;
}

bool Lingering(const tNetConnection* c)
{
    return c->llLingerSinceMs != 0;
}

// The oldest connection of any server that has not completed a request.
tNetConnection* OldestIdle()
{
    tNetConnection* oldest = nullptr;
    for (tNetServer* server : servers) {
        for (tNetConnection* c = server != nullptr ? server->pConnections : nullptr; c != nullptr; c = c->pNext) {
            if (Lingering(c))
                return c;  // done already: it goes first
            if (!c->bCompletedRequest && (oldest == nullptr || c->llOpenedMs < oldest->llOpenedMs))
                oldest = c;
        }
    }
    return oldest;
}

// The answer is out: the protocol is done with the connection, which now
// only waits for the client to close its side.
void Linger(tNetConnection* c, INT64 now)
{
    if (Lingering(c))
        return;
    if (c->pServer->stHooks.pfnClosed != nullptr)
        c->pServer->stHooks.pfnClosed(c);
    c->pProtocol = nullptr;
    c->ulInputUsed = 0;
    c->llLingerSinceMs = now > 0 ? now : 1;
    shutdown(c->fd, SHUT_WR);
    NetSetEvents(&c->stWatch, POLLIN);
}

// Bytes after the last answer are thrown away; the client's close ends it.
void Drain(tNetConnection* c)
{
    char scratch[TEXT_BUFFER_SIZE];
    ssize_t got = recv(c->fd, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0)
        NetConnectionClose(c);
}

bool AnsweredAll(const tNetConnection* c)
{
    return c->bCloseWhenSent && NetQueueEmpty(&c->stOutput);
}

// A protocol that leaves a full buffer unconsumed has refused the bytes in
// it: the connection goes rather than spin on them.
void Receive(tNetConnection* c, INT64 now)
{
    if (Lingering(c)) {
        Drain(c);
        return;
    }
    UINT32 room = sizeof(c->acInput) - c->ulInputUsed;
    ssize_t got = room > 0 ? recv(c->fd, c->acInput + c->ulInputUsed, room, MSG_DONTWAIT) : 0;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0 && room > 0) {
        NetConnectionClose(c);  // the peer closed, or the connection failed
        return;
    }
    if (c->ulInputUsed == 0 && got > 0)
        c->llPartialSinceMs = now;
    c->ulInputUsed += (UINT32)got;
    // After its last answer a connection takes no request: what comes is
    // thrown away while the answer goes out.
    if (c->bCloseWhenSent) {
        c->ulInputUsed = 0;
        if (NetQueueEmpty(&c->stOutput))
            Linger(c, now);
        return;
    }
    if (c->pServer->stHooks.pfnInput(c, now) != 0)
        NetConnectionClose(c);
    else if (AnsweredAll(c))
        Linger(c, now);
    else if (c->ulInputUsed == sizeof(c->acInput) && !c->bCloseWhenSent)
        NetConnectionClose(c);
}

void ConnectionReady(tNetWatch* pWatch, short sRevents)
{
    tNetConnection* c = static_cast<tNetConnection*>(pWatch->pContext);
    INT64 now = NetNowMs();
    if (sRevents & POLLOUT) {
        UINT64 sentBefore = c->stOutput.ullSentBytes;
        if (NetQueueSend(&c->stOutput, c->fd) != 0) {
            NetConnectionClose(c);
            return;
        }
        if (AnsweredAll(c)) {
            Linger(c, now);
            return;
        }
        if (c->pServer->stHooks.pfnSent != nullptr && c->stOutput.ullSentBytes != sentBefore) {
            tNetServer* server = c->pServer;
            server->stHooks.pfnSent(c, now);
            if (!StillOpen(server, c))
                return;
        }
        UpdateEvents(c);
    }
    if (sRevents & (POLLIN | POLLHUP | POLLERR))
        Receive(c, now);
}

void AddressText(const struct sockaddr_in* pAddr, char* szOut, UINT16* pusPort)
{
    inet_ntop(AF_INET, &pAddr->sin_addr, szOut, NET_PEER_SIZE);
    if (pusPort != nullptr)
        *pusPort = ntohs(pAddr->sin_port);
}

// Past the limit the oldest connection without a request makes room.
bool MakeRoom()
{
    if (connectionCount < maxConnections)
        return true;
    tNetConnection* idle = OldestIdle();
    if (idle == nullptr)
        return false;
    NetConnectionClose(idle);
    return true;
}

void Admit(tNetServer* pServer, int fd, const struct sockaddr_in* pPeer)
{
    tNetConnection* c = new (std::nothrow) tNetConnection;
    if (c == nullptr || !NetQueueInit(&c->stOutput, pServer->ulOutputCapacity)) {
        delete c;
        close(fd);
        return;
    }
    c->fd = fd;
    c->pServer = pServer;
    AddressText(pPeer, c->szPeer, &c->usPeerPort);
    struct sockaddr_in local;
    socklen_t localSize = sizeof(local);
    memset(&local, 0, sizeof(local));
    getsockname(fd, (struct sockaddr*)&local, &localSize);
    AddressText(&local, c->szLocal, nullptr);
    c->ulInputUsed = 0;
    c->llOpenedMs = c->llActivityMs = NetNowMs();
    c->llPartialSinceMs = 0;
    c->bCompletedRequest = c->bCloseWhenSent = false;
    c->llLingerSinceMs = 0;
    c->pProtocol = nullptr;
    c->stWatch = {fd, POLLIN, ConnectionReady, c, -1};
    if (NetWatch(&c->stWatch) != 0) {
        NetQueueFree(&c->stOutput);
        delete c;
        close(fd);
        return;
    }
    c->pNext = pServer->pConnections;
    pServer->pConnections = c;
    connectionCount++;
}

void Accept(tNetWatch* pWatch, short sRevents)
{
    (void)sRevents;
    tNetServer* server = static_cast<tNetServer*>(pWatch->pContext);
    for (;;) {
        struct sockaddr_in peer;
        socklen_t peerSize = sizeof(peer);
        int fd = accept4(server->fd, (struct sockaddr*)&peer, &peerSize, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (!MakeRoom()) {
            close(fd);
            continue;
        }
        Admit(server, fd, &peer);
    }
}

}  // namespace

void NetServerSetLimit(UINT32 ulMaxConnections)
{
    maxConnections = ulMaxConnections;
}

UINT32 NetConnectionCount()
{
    return connectionCount;
}

int NetServerOpen(tNetServer* pServer, const char* szAddress, UINT16 usPort)
{
    pServer->pConnections = nullptr;
    pServer->stWatch.iSlot = -1;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(usPort);
    int one = 1;
    pServer->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (pServer->fd < 0 || inet_pton(AF_INET, szAddress, &addr.sin_addr) != 1 ||
        setsockopt(pServer->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(pServer->fd, (struct sockaddr*)&addr, sizeof(addr)) != 0 || listen(pServer->fd, LISTEN_BACKLOG) != 0) {
        printf("\nThe %s server cannot listen on %s:%u: %s\n", pServer->szName, szAddress, (unsigned int)usPort,
               strerror(errno));
        if (pServer->fd >= 0)
            close(pServer->fd);
        pServer->fd = -1;
        return -1;
    }
    pServer->stWatch = {pServer->fd, POLLIN, Accept, pServer, -1};
    if (NetWatch(&pServer->stWatch) != 0) {
        close(pServer->fd);
        pServer->fd = -1;
        return -1;
    }
    Register(pServer);
    return 0;
}

void NetServerClose(tNetServer* pServer)
{
    while (pServer->pConnections != nullptr)
        NetConnectionClose(pServer->pConnections);
    NetUnwatch(&pServer->stWatch);
    if (pServer->fd >= 0)
        close(pServer->fd);
    pServer->fd = -1;
    Unregister(pServer);
}

void NetServerTick(tNetServer* pServer, INT64 llNowMs)
{
    for (tNetConnection* c = pServer->pConnections; c != nullptr;) {
        tNetConnection* next = c->pNext;
        if (Lingering(c)) {
            if (llNowMs - c->llLingerSinceMs > NET_LINGER_MS)
                NetConnectionClose(c);
            c = next;
            continue;
        }
        bool slowRequest = c->llPartialSinceMs != 0 && llNowMs - c->llPartialSinceMs > NET_FIRST_REQUEST_MS;
        bool noRequest = !c->bCompletedRequest && llNowMs - c->llOpenedMs > NET_FIRST_REQUEST_MS;
        bool idle = llNowMs - c->llActivityMs > pServer->llIdleMs;
        bool stalled = c->stOutput.llFullSinceMs != 0 && llNowMs - c->stOutput.llFullSinceMs > NET_STALLED_MS;
        if (AnsweredAll(c))
            Linger(c, llNowMs);
        else if (slowRequest || noRequest || idle || stalled)
            NetConnectionClose(c);
        c = next;
    }
}

bool NetConnectionSend(tNetConnection* pConnection, const void* pData, UINT32 ulSize)
{
    struct iovec piece = {const_cast<void*>(pData), ulSize};
    bool queued = NetQueueAppend(&pConnection->stOutput, &piece, 1, NetNowMs());
    if (!queued)
        pConnection->bCloseWhenSent = true;
    if (NetQueueSend(&pConnection->stOutput, pConnection->fd) != 0)
        pConnection->bCloseWhenSent = true;
    UpdateEvents(pConnection);
    return queued;
}

void NetConnectionTake(tNetConnection* pConnection, UINT32 ulSize, INT64 llNowMs)
{
    if (ulSize > pConnection->ulInputUsed)
        ulSize = pConnection->ulInputUsed;
    memmove(pConnection->acInput, pConnection->acInput + ulSize, pConnection->ulInputUsed - ulSize);
    pConnection->ulInputUsed -= ulSize;
    pConnection->bCompletedRequest = true;
    pConnection->llActivityMs = llNowMs;
    pConnection->llPartialSinceMs = pConnection->ulInputUsed > 0 ? llNowMs : 0;
}

void NetConnectionClose(tNetConnection* pConnection)
{
    if (!Lingering(pConnection) && pConnection->pServer->stHooks.pfnClosed != nullptr)
        pConnection->pServer->stHooks.pfnClosed(pConnection);
    NetUnwatch(&pConnection->stWatch);
    close(pConnection->fd);
    Forget(pConnection);
    NetQueueFree(&pConnection->stOutput);
    connectionCount--;
    delete pConnection;
}

void NetConnectionCloseWhenSent(tNetConnection* pConnection)
{
    pConnection->bCloseWhenSent = true;
    UpdateEvents(pConnection);
}

void NetAddressForClients(const char* szListen, char szOut[NET_PEER_SIZE])
{
    snprintf(szOut, NET_PEER_SIZE, "%s", strcmp(szListen, "0.0.0.0") == 0 ? "127.0.0.1" : szListen);
    struct ifaddrs* list = nullptr;
    if (strcmp(szListen, "0.0.0.0") != 0 || getifaddrs(&list) != 0)
        return;
    for (struct ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || (a->ifa_flags & IFF_LOOPBACK) ||
            !(a->ifa_flags & IFF_UP))
            continue;
        AddressText((const struct sockaddr_in*)a->ifa_addr, szOut, nullptr);
        break;
    }
    freeifaddrs(list);
}

bool NetListensBeyondLoopback(const char* szListen)
{
    return strncmp(szListen, "127.", 4) != 0;
}
