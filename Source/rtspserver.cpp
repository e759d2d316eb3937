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
