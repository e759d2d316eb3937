// The capture program: entry point, program-wide state and signal handling.
// The run itself is in capturerun.cpp; main turns every start-up failure
// into exit status 1.
#include "Vozirev.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QBoxParser.h"
#include "VozirevDll.h"
#include "captureparams.h"
#include "capturerun.h"
#include "devicereader.h"
#include "encodersettings.h"
#include "servicenotify.h"

volatile sig_atomic_t stop_encoding = 0;
volatile sig_atomic_t stop_requested = 0;
int skip_disk_check = 1;
int mp4write = 0;
bool hold_stops_at_open = false;

// Created before main runs; the header record starts zero-filled.
QBox* pqBoxHeader = new QBox();
QBoxParser* pqBoxParser = new QBoxParser();

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

// The library build of the modules (for the tests and tools) leaves main out.
#ifndef VOZIREV_NO_MAIN

static void ReleaseSharedRecords(unsigned char* inputdata)
{
    delete pqBoxParser;
    pqBoxParser = nullptr;
    delete pqBoxHeader;
    pqBoxHeader = nullptr;
    free(inputdata);
}

// Start-up, in this order: parameters, banner, stop handling, device,
// settings, outputs, start command. 0 once the encoder runs; -1 when the run
// must end with exit status 1 (the reason is printed), and then nothing more
// is sent to the device.
static int StartRun(int argc, char** argv, stInputParameters* input, int** handle)
{
    if (get_cmdline_parameters(input, argc, argv) == -1)
        return -1;

    printf("\nVozirev capture program\n");
    if (init_sig_handler() != 0)
        return -1;
    ServiceNotifyInit();
    pReaderStopRequest = &stop_requested;
    hold_stops_at_open = true;

    *handle = VLOpen((int)input->ulDevice_Number);
    if (*handle == nullptr) {
        printf("\nVozirev Device_%d not found, please check device connections.", input->ulDevice_Number);
        return -1;
    }
    if (setVL_parameters(input, *handle) == -1 && !stop_requested)
        return -1;
    if (!stop_requested && OpenOutputs(input) != 0) {
        HoldStopSignals(false);
        return -1;
    }
    // A stop before the encoder runs: it is not started, no setting is sent
    // after the stop, and no file is touched.
    if (stop_requested) {
        HoldStopSignals(false);
        AbandonOutputs();
        puts("\nStopped before the capture started.");
        return -1;
    }
    int started = VLStartRecord(*handle);
    // A stop held since the recording was opened is handled now: the
    // capture loop then ends at once and completes the recording.
    HoldStopSignals(false);
    if (started != 1) {
        printf("\nStart Encode Command failed");
        AbandonOutputs();
        return -1;
    }
    printf("\nStarted Encoding.. ");
    fflush(stdout);
    ServiceNotifyReady();
    return 0;
}

int main(int argc, char** argv)
{
    // Under a service manager standard output goes to its journal: a line
    // there as soon as it is printed, not when a buffer fills.
    if (getenv(NOTIFY_SOCKET_ENV) != nullptr)
        setvbuf(stdout, nullptr, _IOLBF, 0);
    unsigned char* inputdata = (unsigned char*)malloc(SAMPLE_BUFFER_SIZE);
    stInputParameters input;
    memset(&input, 0, sizeof input);
    int* handle = nullptr;
    int status = 1;
    if (inputdata != nullptr && StartRun(argc, argv, &input, &handle) == 0) {
        status = CaptureLoop(handle, &input, inputdata);
        ServiceNotifyStopping();
        VLStop(handle);
        VLClose(handle);
        handle = nullptr;
        if (CloseOutputs(&input) != 0)
            status = 1;
    }
    if (handle != nullptr)
        VLClose(handle);
    ServiceNotifyClose();
    ReleaseSharedRecords(inputdata);
    return status;
}
#endif
