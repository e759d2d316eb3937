// Placeholder until the service is built: the option is refused.
#include "rtspserver.h"

#include <cstdio>

static bool active = false;

int RtspServerOpen(const stInputParameters* pInput)
{
    if (pInput->ulRtsp_Port == SERVICE_PORT_OFF)
        return 0;
    puts("The RTSP server is not built into this program.");
    return -1;
}

bool RtspServerActive()
{
    return active;
}

void RtspServerClose()
{
    active = false;
}

void RtspServerForEachStream(void (*pfnEach)(void* pContext, const tRtspStreamFigures* pFigures), void* pContext)
{
    (void)pfnEach;
    (void)pContext;
}

UINT32 RtspServerSessionCount()
{
    return 0;
}

UINT64 RtspServerSessionsOpened()
{
    return 0;
}
