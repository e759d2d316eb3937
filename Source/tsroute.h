// QBox routing to the transport-stream writer.
#ifndef VOZIREV_TSROUTE_H
#define VOZIREV_TSROUTE_H

// Sequence parameter set waiting for its picture parameter set, then both,
// each behind a start code (streaming bundles them into one PES packet).
const unsigned int PARSET_BUFFER_SIZE = 128;
extern unsigned char ucParSet[PARSET_BUFFER_SIZE];
extern unsigned int ulSzParSet;

// Feeds one whole QBox sample to the transport-stream writer in output mode
// bWriteStream (1 file, 2 RTP, 3 both from one packetisation; see
// mpgTSWriter.h). The sample is not parsed here: its header must already
// be in *pqBoxHeader, where the per-sample accounting (write_bitrate_to_file)
// puts it. Nothing goes out before the first audio sample or the first
// sample that starts with a sequence parameter set. The buffer is left as
// it came in. Returns 1, or 0 for a stream type other than audio or video.
unsigned int QBoxToMP2TS(unsigned char* inputdata, unsigned int inputdata_length, unsigned int bWriteStream);

#endif
