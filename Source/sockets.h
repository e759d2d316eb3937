// Send-only IPv4 sockets for the network streamers: socket creation and
// tuning (send buffer, multicast TTL), destination addresses, and single
// datagram / single buffer sends with error reporting.
#ifndef VOZIREV_SOCKETS_H
#define VOZIREV_SOCKETS_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "Types.h"

typedef int SOCKET;                    // -1 means failure
typedef struct sockaddr_in Sockaddr_in;

const SOCKET INVALID_SOCKET = -1;
const int MIN_SEND_BUFFER_SIZE = 15000;  // bytes

// Address length passed with every datagram send.
extern int slen;

// Creates a socket of type socktype (SOCK_DGRAM for the streamers), raises its
// send buffer to at least 15000 bytes and, for a class D destination, sets the
// multicast time-to-live. The socket is neither bound nor connected. Returns
// the socket, or -1 when it cannot be created.
SOCKET CreateServerConnection(int socktype, unsigned short port, char* to_addr_buf, int ttl);

void SetRemoteAddress(Sockaddr_in* addr, unsigned short Port, char* addrbuf);

// 1 when the dotted text is an IPv4 multicast address (224..239.x.x.x).
int IsClassD(char* ipaddr);

// One sendto / send call; the bytes sent or -1 (reported with perror).
// Failures are reported at most once per SEND_REPORT_INTERVAL_MS and socket,
// so that a destination that refuses every datagram does not flood the
// console: the first one as "UDP sendto(): <reason>", a later one with the
// number of failures left unreported since the last report.
int SendUDPPackageTo(SOCKET hsocket, char* buf, int pkg_size, Sockaddr_in* to_address);
int SendTCPPackage(SOCKET hsocket, char* buf, int pkg_size);

const long long SEND_REPORT_INTERVAL_MS = 1000;
// The clock that paces the reports: CLOCK_MONOTONIC in milliseconds. Only a
// test points it elsewhere.
extern long long (*pSendReportClock)();

// Datagrams to one destination sent together with one sendmmsg (the
// packets of one access unit): each is a short prefix, copied (an RTP
// header and its payload header), and a body that is not copied and must
// stay valid until the flush. A full batch is sent at once.
const unsigned int UDP_BATCH_DATAGRAMS = 32;
const unsigned int UDP_BATCH_PREFIX_MAX = 16;
struct tUdpBatch {
    SOCKET hSocket;
    Sockaddr_in stTo;
    unsigned int ulCount;
    struct mmsghdr stMessages[UDP_BATCH_DATAGRAMS];
    struct iovec stPieces[UDP_BATCH_DATAGRAMS][2];
    UINT8 ucPrefix[UDP_BATCH_DATAGRAMS][UDP_BATCH_PREFIX_MAX];
};
void UdpBatchStart(tUdpBatch* pBatch, SOCKET hSocket, const Sockaddr_in* pTo);
void UdpBatchAdd(tUdpBatch* pBatch, const UINT8* pucPrefix, unsigned int ulPrefixSize, const UINT8* pucBody,
                 unsigned int ulBodySize);
// Sends what is queued; a datagram the socket refused is reported as
// SendUDPPackageTo reports it and dropped.
void UdpBatchFlush(tUdpBatch* pBatch);

#endif
