// QBox routing to the transport-stream writer.
#ifndef VOZIREV_TSROUTE_H
#define VOZIREV_TSROUTE_H

#include "Types.h"

struct tSample;

// A sequence parameter set and the picture parameter set that follows it,
// each behind a start code, make at most this many bytes to be sent again
// together when streaming; larger sets still go out one by one.
const unsigned int PARSET_BUFFER_SIZE = 128;

// Feeds one sample record to the transport-stream writer in output mode
// bWriteStream (1 file, 2 RTP, 3 both from one packetisation, any other
// value the writer's sinks alone; see mpgTSWriter.h). Nothing goes out
// before the first audio sample or the first video sample that starts with
// a sequence parameter set. Streaming modes send the parameter sets in
// force (codecs.h) again together, in front of the picture parameter set
// that follows a sequence parameter set, for a receiver that joins late.
// Returns 1, or 0 for a stream type other than audio or video.
unsigned int TSTakeSample(const tSample* pSample, unsigned int bWriteStream);

// QBoxToMP2TS of one whole QBox sample (inputdata_length bytes read): the
// sample parsed (ParseSample), its parameter sets taken into the run's
// codec description, then TSTakeSample. The buffer is left as it came in.
unsigned int QBoxToMP2TS(unsigned char* inputdata, unsigned int inputdata_length, unsigned int bWriteStream);

// The most one sample can add to a transport-stream recording's file
// system: whole 188-byte packets per NAL unit behind its PES and
// adaptation headers, and the tables and clock references the multiplex may
// add.
UINT64 tsBytesAtMost(const tSample* pSample);

// The transport stream starts afresh (a new run in the same process): the
// wait for the first audio sample or sequence parameter set begins again.
void TSRouteRestart();

#endif
