// The HTTP server (RFC 9110, 9112) of the capture program: the live view
// (HLS, RFC 8216), status, metrics and the recordings.
#ifndef VOZIREV_HTTPSERVER_H
#define VOZIREV_HTTPSERVER_H

#include "captureparams.h"

// Opens the server when the run asks for it (-H). 0 (also when not asked
// for), -1 when the run must end (the reason is printed).
int HttpServerOpen(const stInputParameters* pInput);
bool HttpServerActive();
void HttpServerClose();

#endif
