// The publisher: the run's H.264 + AAC pushed to an RTSP server that takes
// publishers (ANNOUNCE, SETUP mode=record, RECORD: RFC 2326, 10.11, 12.39).
#ifndef VOZIREV_PUBLISHER_H
#define VOZIREV_PUBLISHER_H

#include "captureparams.h"

// Starts publishing when the run asks for it (-P). 0 (also when not asked
// for), -1 when the run must end (the reason is printed).
int PublisherOpen(const stInputParameters* pInput);
bool PublisherActive();
void PublisherClose();

#endif
