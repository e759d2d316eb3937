// The network services' event loop: one poll() over every watched socket.
#include "netloop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

const INT64 MS_PER_S = 1000;
const INT64 NS_PER_MS = 1000000;

tNetWatch* watches[NET_MAX_WATCHES] = {};
UINT32 generations[NET_MAX_WATCHES] = {};
unsigned int watchCount = 0;
unsigned int slotsUsed = 0;  // slots below this may be in use
tNetTimer timers[NET_MAX_TIMERS] = {};
INT64 lastServeMs = 0;
INT64 lastTimersMs = 0;

// One poll() round: the device first (when given), then every watch.
struct tPollRound {
    struct pollfd fds[NET_MAX_WATCHES + 1];
    int slots[NET_MAX_WATCHES + 1];
    UINT32 generations[NET_MAX_WATCHES + 1];
    unsigned int count;
};
tPollRound round;

void RunTimers(INT64 now)
{
    if (now - lastTimersMs < NET_TIMER_INTERVAL_MS)
        return;
    lastTimersMs = now;
    for (tNetTimer timer : timers)
        if (timer != nullptr)
            timer(now);
}

void PrepareRound(int deviceFd)
{
    round.count = 0;
    if (deviceFd >= 0) {
        round.fds[0] = {deviceFd, POLLIN, 0};
        round.slots[0] = -1;
        round.count = 1;
    }
    for (unsigned int i = 0; i < slotsUsed; i++) {
        if (watches[i] == nullptr)
            continue;
        round.fds[round.count] = {watches[i]->fd, watches[i]->sEvents, 0};
        round.slots[round.count] = (int)i;
        round.generations[round.count] = generations[i];
        round.count++;
    }
}

// Every ready watch that is still the one polled (a handler may have
// unwatched it, and another taken its slot).
void Dispatch()
{
    for (unsigned int i = 0; i < round.count; i++) {
        int slot = round.slots[i];
        short revents = round.fds[i].revents;
        if (slot < 0 || revents == 0)
            continue;
        tNetWatch* watch = watches[slot];
        if (watch != nullptr && generations[slot] == round.generations[i])
            watch->pfnReady(watch, revents);
    }
}

}  // namespace

INT64 NetNowMs()
{
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (INT64)now.tv_sec * MS_PER_S + now.tv_nsec / NS_PER_MS;
}

int NetWatch(tNetWatch* pWatch)
{
    for (unsigned int i = 0; i < NET_MAX_WATCHES; i++) {
        if (watches[i] != nullptr)
            continue;
        watches[i] = pWatch;
        generations[i]++;
        pWatch->iSlot = (int)i;
        watchCount++;
        if (i >= slotsUsed)
            slotsUsed = i + 1;
        return 0;
    }
    pWatch->iSlot = -1;
    return -1;
}

void NetUnwatch(tNetWatch* pWatch)
{
    if (pWatch == nullptr || pWatch->iSlot < 0 || (unsigned int)pWatch->iSlot >= NET_MAX_WATCHES ||
        watches[pWatch->iSlot] != pWatch)
        return;
    watches[pWatch->iSlot] = nullptr;
    generations[pWatch->iSlot]++;
    pWatch->iSlot = -1;
    watchCount--;
    while (slotsUsed > 0 && watches[slotsUsed - 1] == nullptr)
        slotsUsed--;
}

void NetSetEvents(tNetWatch* pWatch, short sEvents)
{
    pWatch->sEvents = sEvents;
}

unsigned int NetWatchCount()
{
    return watchCount;
}

int NetAddTimer(tNetTimer pfnTimer)
{
    for (tNetTimer& timer : timers) {
        if (timer == pfnTimer)
            return 0;
    }
    for (tNetTimer& timer : timers) {
        if (timer == nullptr) {
            timer = pfnTimer;
            return 0;
        }
    }
    return -1;
}

void NetRemoveTimer(tNetTimer pfnTimer)
{
    for (tNetTimer& timer : timers)
        if (timer == pfnTimer)
            timer = nullptr;
}

bool NetActive()
{
    if (watchCount > 0)
        return true;
    for (tNetTimer timer : timers)
        if (timer != nullptr)
            return true;
    return false;
}

int NetWaitForDevice(int fd, int iTimeoutMs)
{
    // The timers keep their pace however long the device stays silent.
    INT64 now = NetNowMs();
    INT64 untilTimers = lastTimersMs + NET_TIMER_INTERVAL_MS - now;
    int wait = iTimeoutMs;
    if (NetActive() && untilTimers < wait)
        wait = untilTimers > 0 ? (int)untilTimers : 0;
    PrepareRound(fd);
    int ready = poll(round.fds, round.count, wait);
    if (ready < 0)
        return errno == EINTR ? -1 : 1;  // not a descriptor poll() takes: let read() tell
    lastServeMs = NetNowMs();
    bool deviceReady = fd >= 0 && round.fds[0].revents != 0;
    Dispatch();
    RunTimers(lastServeMs);
    if (deviceReady)
        return 1;
    return NetNowMs() - now >= iTimeoutMs ? 0 : -1;
}

void NetServe()
{
    if (!NetActive())
        return;
    INT64 now = NetNowMs();
    if (now - lastServeMs < NET_SERVE_INTERVAL_MS)
        return;
    lastServeMs = now;
    PrepareRound(-1);
    if (round.count > 0 && poll(round.fds, round.count, 0) > 0)
        Dispatch();
    RunTimers(now);
}

void NetCloseInChild()
{
    for (unsigned int i = 0; i < slotsUsed; i++) {
        if (watches[i] != nullptr)
            close(watches[i]->fd);
        watches[i] = nullptr;
    }
    watchCount = 0;
    slotsUsed = 0;
    for (tNetTimer& timer : timers)
        timer = nullptr;
}
