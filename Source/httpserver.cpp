// Placeholder until the service is built: the option is refused.
#include "httpserver.h"

#include <cstdio>

static bool active = false;

int HttpServerOpen(const stInputParameters* pInput)
{
    if (pInput->ulHttp_Port == SERVICE_PORT_OFF)
        return 0;
    puts("The HTTP server is not built into this program.");
    return -1;
}

bool HttpServerActive()
{
    return active;
}

void HttpServerClose()
{
    active = false;
}
