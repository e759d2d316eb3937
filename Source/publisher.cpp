// Placeholder until the service is built: the option is refused.
#include "publisher.h"

#include <cstdio>

static bool active = false;

int PublisherOpen(const stInputParameters* pInput)
{
    if (pInput->sPublish_Url[0] == '\0')
        return 0;
    puts("Publishing is not built into this program.");
    return -1;
}

bool PublisherActive()
{
    return active;
}

void PublisherClose()
{
    active = false;
}
