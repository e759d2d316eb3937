// QBox routing to the MP4 writer.
#ifndef VOZIREV_MP4ROUTE_H
#define VOZIREV_MP4ROUTE_H

#include <cstdio>

#include "captureparams.h"

// Opens the MP4 recording on outfile_handle (which passes to the writer) for
// the media of input.ulMediaFormat. 1 ready; 0 the writer could not be set
// up: it has been released and the file closed, so recording must stop as
// if the file could not be opened.
int SetParameters(stInputParameters input, FILE* outfile_handle);
// Records one whole QBox sample (header included, inputdata_length bytes
// read): each NAL unit of a video payload, or the AAC frame. Changes the
// buffer in place. Returns 0.
int QBoxToMp4(unsigned char* inputdata, unsigned int inputdata_length, stInputParameters input);

#endif
