// The capture run: opening the outputs a run asks for (with every fallback
// when one cannot be opened), the loop that reads, accounts, streams and
// records one sample per turn, and the orderly close of the outputs.
//
// main calls, in this order:
//
//     OpenOutputs(&input)                  -1: exit status 1
//     VLStartRecord(...)                   refused, or a stop came first:
//                                          AbandonOutputs(), exit 1
//     status = CaptureLoop(handle, &input, inputdata)
//     VLStop, VLClose, CloseOutputs(&input)  -1: exit status 1
//
// Test drivers and benchmarks feed samples of their own through the same
// path: OpenOutputs, then ProcessSample for each whole QBox sample in the
// buffer, then CloseOutputs.
#ifndef VOZIREV_CAPTURERUN_H
#define VOZIREV_CAPTURERUN_H

#include "captureparams.h"

// The run's output switches. ulstreaming and ulsaving only ever go from 1 to
// 0; the type fields are copies of ulStreaming and ulSaving.
struct stInternalConfig {
    unsigned int ulstreaming;
    unsigned int ulsaving;
    unsigned int ulstreaming_type;
    unsigned int ulsaving_type;
};
extern stInternalConfig internal_config;

// Works out the active outputs, prints what the run will do with the
// samples, and opens the streams, then the recording. sOutput_Filename
// becomes the recording's path. 0 when the run goes on (with what could be
// opened), -1 when it must end with exit status 1 (the reason is printed).
int OpenOutputs(stInputParameters* input);

// One turn of the loop once a whole QBox sample (length bytes) is in the
// buffer: the per-sample accounting, then streaming, then recording (the
// MP4 route rewrites the buffer in place, so it comes last).
void ProcessSample(stInputParameters* input, unsigned char* inputdata, int length);

// Reads one sample per turn until a stop, a device read failure or no
// output left. Returns the run's exit status: 0, or 1 after a read failure.
int CaptureLoop(int* handle, stInputParameters* input, unsigned char* inputdata);

// End of a run: completes the recording and closes the sockets still open.
// 0, or -1 when a recording of the run could not be completed (reported
// when it happened): the run then ends with exit status 1.
int CloseOutputs(const stInputParameters* input);

// The encoder did not start: the outputs are closed, an MP4 recording is
// released without an index and its spool lock given up.
void AbandonOutputs();

#endif
