// Send-only IPv4 sockets for the network streamers.
#include "sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

int slen = sizeof(Sockaddr_in);

const int HOST_NAME_BUFFER_SIZE = 100;
const int FIRST_MULTICAST_OCTET = 224;
const int LAST_MULTICAST_OCTET = 239;

// The streamers send on two sockets; more failing sockets than this share
// the last entry.
const int SEND_REPORT_SOCKETS = 4;
const long long MS_PER_SECOND = 1000;
const long long NS_PER_MS = 1000000;

// Send failures of one socket: when one was last reported and how many
// went unreported since.
struct tSendFailures {
    bool bUsed;
    SOCKET hsocket;
    long long llReportedMs;
    unsigned int ulUnreported;
};
static tSendFailures m_sendFailures[SEND_REPORT_SOCKETS];

static long long MonotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * MS_PER_SECOND + now.tv_nsec / NS_PER_MS;
}

long long (*pSendReportClock)() = MonotonicMs;

// The entry of a socket; *bFirst tells whether it has just been taken.
static tSendFailures* SendFailuresOf(SOCKET hsocket, bool* bFirst)
{
    *bFirst = false;
    for (tSendFailures& entry : m_sendFailures) {
        if (entry.bUsed && entry.hsocket == hsocket)
            return &entry;
        if (!entry.bUsed) {
            entry.bUsed = true;
            entry.hsocket = hsocket;
            *bFirst = true;
            return &entry;
        }
    }
    return &m_sendFailures[SEND_REPORT_SOCKETS - 1];
}

// perror for a failed send, at most once per SEND_REPORT_INTERVAL_MS and
// socket; the failures in between are counted in the next report.
static void ReportSendFailure(SOCKET hsocket, const char* what)
{
    int error = errno;
    long long now = pSendReportClock();
    bool bFirst = false;
    tSendFailures* failures = SendFailuresOf(hsocket, &bFirst);
    if (!bFirst && now - failures->llReportedMs < SEND_REPORT_INTERVAL_MS) {
        failures->ulUnreported++;
        return;
    }
    char label[64];
    if (failures->ulUnreported == 0)
        snprintf(label, sizeof(label), "%s", what);
    else
        snprintf(label, sizeof(label), "%s (%u earlier failures not shown)", what, failures->ulUnreported);
    errno = error;
    perror(label);
    failures->llReportedMs = now;
    failures->ulUnreported = 0;
}

// Keeps the platform's send buffer when it is already large enough for a
// burst of full-size RTP packets, otherwise raises it.
static void RaiseSendBuffer(SOCKET hsocket)
{
    int size = 0;
    socklen_t optlen = sizeof(size);
    if (getsockopt(hsocket, SOL_SOCKET, SO_SNDBUF, &size, &optlen) < 0)
        perror("getsockopt return error");
    if (size < MIN_SEND_BUFFER_SIZE)
        size = MIN_SEND_BUFFER_SIZE;
    if (setsockopt(hsocket, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) < 0)
        perror("setsockopt return error");
}

SOCKET CreateServerConnection(int socktype, unsigned short port, char* to_addr_buf, int ttl)
{
    (void)port;  // the destination travels with every send, not with the socket
    SOCKET hsocket = socket(AF_INET, socktype, 0);
    if (hsocket < 0) {
        perror("socket() return error");
        return INVALID_SOCKET;
    }
    RaiseSendBuffer(hsocket);
    if (IsClassD(to_addr_buf)) {
        if (setsockopt(hsocket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) < 0)
            perror("setsockopt ttl return error");
    }
    return hsocket;
}

void SetRemoteAddress(Sockaddr_in* addr, unsigned short Port, char* addrbuf)
{
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(Port);
    addr->sin_addr.s_addr = inet_addr(addrbuf);
}

int IsClassD(char* ipaddr)
{
    int first = 0;
    if (ipaddr == nullptr || sscanf(ipaddr, "%d.", &first) != 1)
        return 0;
    return first >= FIRST_MULTICAST_OCTET && first <= LAST_MULTICAST_OCTET;
}

int SendUDPPackageTo(SOCKET hsocket, char* buf, int pkg_size, Sockaddr_in* to_address)
{
    int sent = (int)sendto(hsocket, buf, pkg_size, 0, (struct sockaddr*)to_address, (socklen_t)slen);
    if (sent == -1)
        ReportSendFailure(hsocket, "UDP sendto()");
    return sent;
}

int SendTCPPackage(SOCKET hsocket, char* buf, int pkg_size)
{
    int sent = (int)send(hsocket, buf, pkg_size, 0);
    if (sent == -1)
        ReportSendFailure(hsocket, "TCP send()");
    return sent;
}

void UdpBatchStart(tUdpBatch* pBatch, SOCKET hSocket, const Sockaddr_in* pTo)
{
    pBatch->hSocket = hSocket;
    pBatch->stTo = *pTo;
    pBatch->ulCount = 0;
}

void UdpBatchAdd(tUdpBatch* pBatch, const UINT8* pucPrefix, unsigned int ulPrefixSize, const UINT8* pucBody,
                 unsigned int ulBodySize)
{
    if (ulPrefixSize > UDP_BATCH_PREFIX_MAX)
        return;
    if (pBatch->ulCount == UDP_BATCH_DATAGRAMS)
        UdpBatchFlush(pBatch);
    unsigned int i = pBatch->ulCount++;
    memcpy(pBatch->ucPrefix[i], pucPrefix, ulPrefixSize);
    pBatch->stPieces[i][0].iov_base = pBatch->ucPrefix[i];
    pBatch->stPieces[i][0].iov_len = ulPrefixSize;
    pBatch->stPieces[i][1].iov_base = const_cast<UINT8*>(pucBody);
    pBatch->stPieces[i][1].iov_len = ulBodySize;
    struct msghdr* msg = &pBatch->stMessages[i].msg_hdr;
    memset(msg, 0, sizeof(*msg));
    msg->msg_name = &pBatch->stTo;
    msg->msg_namelen = (socklen_t)slen;
    msg->msg_iov = pBatch->stPieces[i];
    msg->msg_iovlen = ulBodySize > 0 ? 2 : 1;
}

// sendmmsg sends the datagrams in order and stops at the first that fails:
// that one is reported (and dropped, as a failed sendto's is) and the rest
// go on.
void UdpBatchFlush(tUdpBatch* pBatch)
{
    unsigned int sent = 0;
    while (sent < pBatch->ulCount) {
        int n = sendmmsg(pBatch->hSocket, pBatch->stMessages + sent, pBatch->ulCount - sent, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ReportSendFailure(pBatch->hSocket, "UDP sendto()");
            n = 1;
        }
        sent += (unsigned int)n;
    }
    pBatch->ulCount = 0;
}
