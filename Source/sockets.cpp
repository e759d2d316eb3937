// Send-only IPv4 sockets for the network streamers.
#include "sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int slen = sizeof(Sockaddr_in);

const int HOST_NAME_BUFFER_SIZE = 100;
const int FIRST_MULTICAST_OCTET = 224;
const int LAST_MULTICAST_OCTET = 239;

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

void SetLocalAddress(Sockaddr_in* addr, unsigned short Port)
{
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(Port);
    addr->sin_addr.s_addr = htonl(INADDR_ANY);
}

void SetMCAddress(struct ip_mreq* stMreqr, char* MCaddr)
{
    stMreqr->imr_multiaddr.s_addr = inet_addr(MCaddr);
    stMreqr->imr_interface.s_addr = htonl(INADDR_ANY);
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
        perror("UDP sendto()");
    return sent;
}

int SendTCPPackage(SOCKET hsocket, char* buf, int pkg_size)
{
    int sent = (int)send(hsocket, buf, pkg_size, 0);
    if (sent == -1)
        perror("TCP send()");
    return sent;
}

char* GetLocalIP()
{
    char hostname[HOST_NAME_BUFFER_SIZE];
    if (gethostname(hostname, sizeof(hostname)) != 0) {
        perror("gethostname()  failed");
        return nullptr;
    }
    hostname[sizeof(hostname) - 1] = '\0';
    struct hostent* host = gethostbyname(hostname);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr)
        return nullptr;
    struct in_addr first;
    memcpy(&first, host->h_addr_list[0], sizeof(first));
    return inet_ntoa(first);
}
