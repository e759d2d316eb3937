// The stop of a capture run: the flags the signal handler sets and the
// handling of SIGINT, SIGTERM and SIGHUP.
#ifndef VOZIREV_STOPSIGNALS_H
#define VOZIREV_STOPSIGNALS_H

#include <csignal>

// Set to 1 to end the capture loop: by the signal handler, or by the loop
// itself when no output is left. Re-read on every turn.
extern volatile sig_atomic_t stop_encoding;
// Set by the signal handler only: a stop the user asked for. The device
// reader looks at it while it waits for the next box.
extern volatile sig_atomic_t stop_requested;

// Installs sig_handler for SIGINT, SIGTERM and SIGHUP (SA_RESTART) and
// ignores SIGPIPE. 0, or -1 with the reason printed.
int init_sig_handler();
// Sets stop_encoding and stop_requested, whatever the signal.
void sig_handler(int sig);
// Holds (true) or lets through (false) SIGINT, SIGTERM and SIGHUP in the
// calling thread; one that comes while they are held is handled as they
// are let through. The start holds them from the last look at a stop
// request before an existing recording of the same name is overwritten
// until the encoder has started, so that a stop either leaves that file
// untouched or ends the run as a stop right after the start does.
void HoldStopSignals(bool hold);
// Whether opening the recording holds the stop signals: the program's own
// start sets it (and lets them through once the encoder runs); test drivers
// and benchmarks leave it off.
void SetHoldStopsAtOpen(bool hold);
bool HoldStopsAtOpen();

#endif
