// Send-only IPv4 sockets for the network streamers: socket creation and
// tuning (send buffer, multicast TTL), destination addresses, and single
// datagram / single buffer sends with error reporting.
#ifndef VOZIREV_SOCKETS_H
#define VOZIREV_SOCKETS_H

#include <netinet/in.h>

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
void SetLocalAddress(Sockaddr_in* addr, unsigned short Port);
void SetMCAddress(struct ip_mreq* stMreqr, char* MCaddr);

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

// The host's first IPv4 address as dotted text (inet_ntoa's static buffer),
// or null.
char* GetLocalIP();

#endif
