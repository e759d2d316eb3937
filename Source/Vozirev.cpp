// The capture program: its entry point. The run itself is in capturerun.cpp;
// main turns every start-up failure into exit status 1.
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
#include "stopsignals.h"

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
    SetHoldStopsAtOpen(true);

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
