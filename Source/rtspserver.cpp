// The RTSP server: its listening socket and connections (netserver.h), its
// requests (rtsprequest.h) and sessions (rtspsession.h), on the capture's
// one thread.
#include "rtspserver.h"

#include <cstdio>

#include "auth.h"
#include "netserver.h"
#include "rtsprequest.h"
#include "rtspsession.h"

namespace {

const UINT32 MS_PER_S = 1000;

bool active = false;
tNetServer server;
INT64 sessionTimeoutMs = 0;

void Tick(INT64 llNowMs)
{
    NetServerTick(&server, llNowMs);
    RtspSessionsTick(llNowMs, sessionTimeoutMs);
    RtspRequestsTick(&server, llNowMs);
}

// The URLs as a client types them, one line each, so that a user can copy
// them into a recorder.
void Announce(const stInputParameters* pInput)
{
    char host[NET_PEER_SIZE];
    NetAddressForClients(pInput->sListen_Addr, host);
    printf("Serving RTSP at rtsp://%s:%u" RTSP_PATH_ELEMENTARY "\n", host, pInput->ulRtsp_Port);
    printf("Serving RTSP at rtsp://%s:%u" RTSP_PATH_TRANSPORT_STREAM "\n", host, pInput->ulRtsp_Port);
    if (!AuthRequired() && NetListensBeyondLoopback(pInput->sListen_Addr))
        printf("The RTSP server lets anyone on the network watch: no credentials file (-E).\n");
}

void Configure(const stInputParameters* pInput)
{
    tRtspConfig config = {pInput, (UINT16)pInput->ulRtsp_Port, pInput->sMulticast_Group, (int)pInput->ucttl,
                          pInput->ulSession_Timeout};
    RtspRequestsConfigure(&config);
    sessionTimeoutMs = (INT64)pInput->ulSession_Timeout * MS_PER_S;
    server.szName = "RTSP";
    server.stHooks = {RtspInput, RtspClosed, nullptr};
    server.ulOutputCapacity = RTSP_CONNECTION_QUEUE_BYTES;
    server.llIdleMs = sessionTimeoutMs;
}

}  // namespace

int RtspServerOpen(const stInputParameters* pInput)
{
    if (pInput->ulRtsp_Port == SERVICE_PORT_OFF)
        return 0;
    // The credentials file is read once, by whichever service opens first.
    if (!AuthRequired() && AuthLoad(pInput->sCredentials_File) < 0)
        return -1;
    NetServerSetLimit(pInput->ulMax_Connections);
    if (RtspSessionsOpen(pInput->ulMax_Sessions) != 0) {
        puts("\nThe RTSP server has no memory for its sessions.");
        return -1;
    }
    Configure(pInput);
    if (NetServerOpen(&server, pInput->sListen_Addr, (UINT16)pInput->ulRtsp_Port) != 0) {
        RtspSessionsClose();
        return -1;
    }
    if (NetAddTimer(Tick) != 0) {
        NetServerClose(&server);
        RtspSessionsClose();
        return -1;
    }
    Announce(pInput);
    active = true;
    return 0;
}

bool RtspServerActive()
{
    return active;
}

void RtspServerClose()
{
    if (!active)
        return;
    RtspSessionsClose();
    NetServerClose(&server);
    NetRemoveTimer(Tick);
    active = false;
}

void RtspServerForEachStream(void (*pfnEach)(void* pContext, const tRtspStreamFigures* pFigures), void* pContext)
{
    if (active)
        RtspSessionsForEachStream(pfnEach, pContext);
}

UINT32 RtspServerSessionCount()
{
    return active ? RtspSessionsCount() : 0;
}

UINT64 RtspServerSessionsOpened()
{
    return RtspSessionsOpenedInAll();
}
