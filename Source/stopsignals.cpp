// Stop flags and signal handling of the capture run.
#include "stopsignals.h"

#include <cstdio>
#include <cstring>

volatile sig_atomic_t stop_encoding = 0;
volatile sig_atomic_t stop_requested = 0;

static bool holdStopsAtOpen = false;

void SetHoldStopsAtOpen(bool hold)
{
    holdStopsAtOpen = hold;
}

bool HoldStopsAtOpen()
{
    return holdStopsAtOpen;
}

void sig_handler(int sig)
{
    (void)sig;
    stop_encoding = 1;
    stop_requested = 1;
}

void HoldStopSignals(bool hold)
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &stopSignals, nullptr);
}

int init_sig_handler()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        puts("User interrupt Ctrl+C could not be initialized.");
        return -1;
    }
    if (sigaction(SIGTERM, &action, nullptr) != 0) {
        puts("User interrupt kill could not be initialized.");
        return -1;
    }
    // The terminal or the ssh session going away stops the run like Ctrl+C,
    // so the recording is completed.
    if (sigaction(SIGHUP, &action, nullptr) != 0) {
        puts("User interrupt hangup could not be initialized.");
        return -1;
    }
    // Standard output into a pipe that has closed (| head) must not end the
    // capture: the messages are lost, the recording is not.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}
