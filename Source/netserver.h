// The servers' connections (RTSP and HTTP alike): a listening socket, the
// connections it accepts, their bounded input buffer and output queue, and
// the rules that keep strangers from costing anything:
//
//   - every socket is non-blocking; a connection's input is at most
//     TEXT_BUFFER_SIZE bytes, its output at most its queue's capacity;
//   - at most -C connections of all servers together: a new one past the
//     limit takes the place of the oldest that has not completed a
//     request (a flood of idle connections never keeps a real client out),
//     and is refused when every connection has;
//   - a connection that completes no request within NET_FIRST_REQUEST_MS,
//     or keeps a request unfinished that long (a byte a second), is
//     closed; one idle longer than its server's idle time too.
//
// The protocol sees a connection through its hooks: Input when bytes have
// arrived (it consumes whole requests from the buffer), Closed before the
// record goes away.
#ifndef VOZIREV_NETSERVER_H
#define VOZIREV_NETSERVER_H

#include "netloop.h"
#include "netqueue.h"
#include "textproto.h"

const INT64 NET_FIRST_REQUEST_MS = 5000;
// A connection closed after its last answer is first shut for writing and
// read (and what it sends thrown away) for at most this long, so that the
// client's unread bytes never make the kernel reset the connection and
// throw the answer away with them (RFC 9112, 9.6).
const INT64 NET_LINGER_MS = 2000;
const UINT32 NET_PEER_SIZE = 16;  // dotted IPv4 and its NUL

struct tNetServer;

struct tNetConnection {
    int fd;
    tNetWatch stWatch;
    tNetServer* pServer;
    char szPeer[NET_PEER_SIZE];   // the client's address
    UINT16 usPeerPort;
    char szLocal[NET_PEER_SIZE];  // the address it reached us at
    char acInput[TEXT_BUFFER_SIZE];
    UINT32 ulInputUsed;
    tNetQueue stOutput;
    INT64 llOpenedMs;
    INT64 llActivityMs;           // the last request completed (or the open)
    INT64 llPartialSinceMs;       // bytes of an unfinished request wait since; 0 none
    bool bCompletedRequest;
    bool bCloseWhenSent;          // close once the queue is empty
    INT64 llLingerSinceMs;        // answered and shut for writing at this time; 0 not yet
    void* pProtocol;              // the protocol's record of the connection
    tNetConnection* pNext;        // the server's list
};

struct tNetServerHooks {
    // Bytes have arrived in acInput: consumes what it can
    // (NetConnectionTake) and answers. Returns 0, or -1 to close the
    // connection at once. It never closes its own connection itself
    // (NetConnectionCloseWhenSent marks it); it may close others.
    int (*pfnInput)(tNetConnection* pConnection, INT64 llNowMs);
    // The connection is about to go (its protocol record with it).
    void (*pfnClosed)(tNetConnection* pConnection);
    // Optional: bytes of the output queue have gone out. A protocol that
    // sends a body larger than the queue (a file) tops the queue up here
    // instead of holding the body in memory; it may close the connection
    // (NetConnectionClose) from here.
    void (*pfnSent)(tNetConnection* pConnection, INT64 llNowMs);
};

struct tNetServer {
    const char* szName;           // "RTSP", "HTTP" in messages
    int fd;
    tNetWatch stWatch;
    tNetServerHooks stHooks;
    UINT32 ulOutputCapacity;      // each connection's queue
    INT64 llIdleMs;               // a connection with nothing to do is closed after this
    tNetConnection* pConnections;
};

// The connection limit of all servers (-C).
void NetServerSetLimit(UINT32 ulMaxConnections);
// Listens on szAddress:usPort. 0, or -1 with a message naming the server
// and the reason (the port is taken, the address is not this host's).
int NetServerOpen(tNetServer* pServer, const char* szAddress, UINT16 usPort);
// Closes every connection (Closed hooks first) and the listening socket.
void NetServerClose(tNetServer* pServer);
// Checks the time-outs of the server's connections; the servers' timers
// call it.
void NetServerTick(tNetServer* pServer, INT64 llNowMs);

// Queues bytes to the connection and sends what the socket takes. false
// when the queue cannot take them (the connection is then closed after
// what is queued).
bool NetConnectionSend(tNetConnection* pConnection, const void* pData, UINT32 ulSize);
// Drops the first ulSize bytes of the input buffer (a request handled),
// which counts as activity.
void NetConnectionTake(tNetConnection* pConnection, UINT32 ulSize, INT64 llNowMs);
// Closes now (not from the connection's own Input hook), or once what is
// queued has gone.
void NetConnectionClose(tNetConnection* pConnection);
void NetConnectionCloseWhenSent(tNetConnection* pConnection);
// Connections open across all servers.
UINT32 NetConnectionCount();

// The address a client would type to reach a server listening on
// szListen: itself, or for 0.0.0.0 the first IPv4 address of an interface
// that is up and not the loopback (127.0.0.1 when there is none).
void NetAddressForClients(const char* szListen, char szOut[NET_PEER_SIZE]);
// Whether a listen address lets other hosts in (not 127.x.x.x).
bool NetListensBeyondLoopback(const char* szListen);

#endif
