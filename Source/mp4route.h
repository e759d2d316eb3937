// QBox routing to the MP4 writer.
#ifndef VOZIREV_MP4ROUTE_H
#define VOZIREV_MP4ROUTE_H

#include <cstdio>

#include "captureparams.h"

struct tSample;

// Opens the MP4 recording on outfile_handle (which passes to the writer) for
// the media of input.ulMediaFormat, described by the run's codecs
// (RunVideoCodec, RunAudioCodec). 1 ready; 0 the writer could not be set
// up: it has been released and the file closed, so recording must stop as
// if the file could not be opened.
int SetParameters(stInputParameters input, FILE* outfile_handle);
// Records one parsed sample: a video sample's parameter sets go to the
// run's video description (VideoCodecTakeSample, which takes each set
// once), its picture to the writer as one sample; an audio sample's raw
// AAC frame with its stamp. The sample's buffer is not changed.
void Mp4TakeSample(const tSample* pSample);
// Parses one whole QBox sample (header included, inputdata_length bytes
// read) with ParseSample and records it (Mp4TakeSample). The buffer is not
// changed. Returns 0.
int QBoxToMp4(const unsigned char* inputdata, unsigned int inputdata_length, stInputParameters input);

#endif
