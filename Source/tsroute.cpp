// QBox routing to the transport-stream writer: each NAL unit of a video
// sample, or the AAC frame of an audio sample, goes to the packetiser with
// the sample's time stamp; the sample buffer is left as it came in.
#include "tsroute.h"

#include <cstdio>
#include <cstring>

#include "QBoxParser.h"
#include "housekeeping.h"
#include "mpgTSWriter.h"

unsigned char ucParSet[PARSET_BUFFER_SIZE];
unsigned int ulSzParSet = 0;

namespace {

// The walk goes on while more than this many payload bytes are left: a
// length prefix and at least a NAL header and one more byte.
const UINT32 TS_ROUTE_MIN_UNIT_LEFT = 5;

bool TSRouteIsStreaming(unsigned int bWriteStream)
{
    return bWriteStream == TS_OUTPUT_RTP || bWriteStream == TS_OUTPUT_FILE_AND_RTP;
}

// Streaming: a receiver that joins late needs the parameter sets together,
// so the sequence set is kept and sent again with the picture set that
// follows it. A bundle that would not fit ucParSet is not made; the sets
// still go out one by one.
void TSRouteStreamedUnit(UINT8* unit, UINT32 szUnit, UINT32 cts, unsigned int bWriteStream)
{
    UINT8 type = NaluType(unit[START_CODE_SIZE]);
    if (type == NALU_TYPE_SPS) {
        if (szUnit <= PARSET_BUFFER_SIZE) {
            memcpy(ucParSet, unit, szUnit);
            ulSzParSet = szUnit;
        } else {
            ulSzParSet = 0;
        }
    } else if (type == NALU_TYPE_PPS) {
        if (ulSzParSet != 0 && szUnit <= PARSET_BUFFER_SIZE - ulSzParSet) {
            memcpy(ucParSet + ulSzParSet, unit, szUnit);
            writeVideoTS(ucParSet, ulSzParSet + szUnit, cts, bWriteStream);
        }
        ulSzParSet = 0;
    }
    writeVideoTS(unit, szUnit, cts, bWriteStream);
}

// Walks the length-prefixed NAL units of a video payload, handing each to
// the writer in start-code form and restoring its prefix afterwards.
void TSRouteVideoPayload(UINT8* payload, UINT32 szPayload, UINT32 cts, unsigned int bWriteStream)
{
    tNaluWalk walk = StartNaluWalk(payload, szPayload);
    UINT8* unit = nullptr;
    UINT32 length = 0;
    while (NextNalu(&walk, TS_ROUTE_MIN_UNIT_LEFT, &unit, &length)) {
        UINT32 szUnit = length + QBOX_NALU_PREFIX_SIZE;
        WriteBE32(unit, START_CODE_VALUE);
        if (TSRouteIsStreaming(bWriteStream) && length > 0) {
            TSRouteStreamedUnit(unit, szUnit, cts, bWriteStream);
        } else {
            writeVideoTS(unit, szUnit, cts, bWriteStream);
        }
        WriteBE32(unit, length);
    }
}

}  // namespace

unsigned int QBoxToMP2TS(unsigned char* inputdata, unsigned int inputdata_length, unsigned int bWriteStream)
{
    // Opened by the first audio sample or the first sample that starts with
    // a sequence parameter set; serves every output mode of the run.
    static bool bWriteTS = false;

    // The size comes from the header record; a box claiming more than the
    // caller read is cut to what is there.
    UINT32 boxSize = pqBoxHeader->ulBoxSize;
    if (inputdata_length < boxSize) {
        boxSize = inputdata_length;
    }
    UINT8* payload = inputdata + QBOX_HEADER_SIZE;
    UINT32 szPayload = boxSize > QBOX_HEADER_SIZE ? boxSize - QBOX_HEADER_SIZE : 0;
    UINT16 type = pqBoxHeader->usSampleStreamType;

    if ((szPayload > QBOX_NALU_PREFIX_SIZE && NaluType(payload[QBOX_NALU_PREFIX_SIZE]) == NALU_TYPE_SPS) ||
        type == QBOX_STREAM_AUDIO) {
        bWriteTS = true;
    }
    if (!bWriteTS) {
        return 1;
    }
    if (bWriteStream == TS_OUTPUT_FILE || bWriteStream == TS_OUTPUT_FILE_AND_RTP) {
        BeginTSSample();
    }

    if (type == QBOX_STREAM_AUDIO) {
        if (szPayload > 0) {
            writeAudioTS(payload, szPayload, pqBoxHeader->ulSampleCts, bWriteStream);
        }
        return 1;
    }
    if (type == QBOX_STREAM_VIDEO) {
        TSRouteVideoPayload(payload, szPayload, pqBoxHeader->ulSampleCts, bWriteStream);
        return 1;
    }
    puts("QBox Type Unknown");
    return 0;
}
