// The RTSP server (RFC 2326) of the capture program: recorders and players
// pull the run's live H.264 + AAC and its MPEG-TS over RTSP.
#ifndef VOZIREV_RTSPSERVER_H
#define VOZIREV_RTSPSERVER_H

#include "captureparams.h"

// Opens the server when the run asks for it (-R): listens and prints the
// URLs it serves. 0 (also when not asked for), -1 when the run must end
// (the reason is printed).
int RtspServerOpen(const stInputParameters* pInput);
bool RtspServerActive();
// Every session ends (BYE) and every connection closes.
void RtspServerClose();

#endif
