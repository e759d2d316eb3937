// The event loop of the network services (the RTSP and HTTP servers, the
// publisher). They run on the capture's one thread, so that no client can
// hold a lock the capture needs and a segment's completion can still be
// handed to a child process (see NetCloseInChild): every socket is
// non-blocking and watched here, and the loop serves them
//
//   while the capture waits for the device (NetWaitForDevice is the device
//   reader's wait: one poll() for the device and every watched socket), and
//   between samples when the device never runs dry (NetServe, at most every
//   NET_SERVE_INTERVAL_MS, a poll() that does not wait).
//
// Timers run about every NET_TIMER_INTERVAL_MS (session time-outs, RTCP
// reports, reconnects). Nothing here blocks; a handler must not either.
#ifndef VOZIREV_NETLOOP_H
#define VOZIREV_NETLOOP_H

#include "Types.h"

// Descriptors watched at most: the connection limit (-C, at most 1000) and
// the services' own sockets.
const unsigned int NET_MAX_WATCHES = 1100;
const INT64 NET_SERVE_INTERVAL_MS = 5;
const INT64 NET_TIMER_INTERVAL_MS = 100;
const unsigned int NET_MAX_TIMERS = 8;

struct tNetWatch;
// The descriptor is ready: sRevents as poll() gives them. The handler may
// unwatch (and free) this watch or any other.
typedef void (*tNetReady)(tNetWatch* pWatch, short sRevents);

struct tNetWatch {
    int fd;
    short sEvents;        // POLLIN, POLLOUT
    tNetReady pfnReady;
    void* pContext;       // the watcher's record
    int iSlot;            // the loop's; -1 while not watched
};

// Starts watching (pWatch->iSlot is set); -1 when the loop is full.
int NetWatch(tNetWatch* pWatch);
// Stops watching; nothing when it is not watched.
void NetUnwatch(tNetWatch* pWatch);
void NetSetEvents(tNetWatch* pWatch, short sEvents);
unsigned int NetWatchCount();

// A function run about every NET_TIMER_INTERVAL_MS with the monotonic time.
typedef void (*tNetTimer)(INT64 llNowMs);
int NetAddTimer(tNetTimer pfnTimer);
void NetRemoveTimer(tNetTimer pfnTimer);

// Whether any service watches a socket or runs a timer.
bool NetActive();

// The device reader's wait (tDeviceWait of devicereader.h): until fd is
// readable or iTimeoutMs passes, serving every watched socket meanwhile.
// > 0 readable (or in error), 0 timed out, < 0 interrupted.
int NetWaitForDevice(int fd, int iTimeoutMs);
// Serves what is ready without waiting, at most every NET_SERVE_INTERVAL_MS
// (the capture loop calls it between samples).
void NetServe();

// The monotonic clock in milliseconds.
INT64 NetNowMs();

// In a child process that only completes a recording: closes every watched
// descriptor (listening and client sockets) without touching the parent's
// connections, so that the child holds none of them open.
void NetCloseInChild();

#endif
