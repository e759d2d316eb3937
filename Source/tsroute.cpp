// QBox routing to the transport-stream writer: each NAL unit of a video
// sample, or the AAC frame of an audio sample, goes to the packetiser with
// the sample's time stamp.
#include "tsroute.h"

#include <cstdio>
#include <cstring>

#include "QBox.h"
#include "codecs.h"
#include "mpgTSWriter.h"
#include "sample.h"
#include "tspacket.h"

namespace {

// Opened by the first audio sample or the first sample that starts with a
// sequence parameter set; serves every output mode of the run.
bool bWriteTS = false;
// A sequence parameter set has come and its picture parameter set not yet.
bool bSpsAwaitingPps = false;

bool TSRouteIsStreaming(unsigned int bWriteStream)
{
    return bWriteStream == TS_OUTPUT_RTP || bWriteStream == TS_OUTPUT_FILE_AND_RTP;
}

// The SPS in force and this PPS in one PES packet: SPS, start code, PPS
// (the writer puts the first start code in front). Not made when both
// with their start codes would exceed PARSET_BUFFER_SIZE.
void WriteParameterSetBundle(const tNalUnit& pps, UINT32 cts, unsigned int bWriteStream)
{
    const std::vector<UINT8>& sps = RunVideoCodec()->sps;
    UINT32 size = (UINT32)sps.size() + START_CODE_SIZE + pps.ulSize;
    if (sps.empty() || size + START_CODE_SIZE > PARSET_BUFFER_SIZE)
        return;
    UINT8 bundle[PARSET_BUFFER_SIZE];
    memcpy(bundle, sps.data(), sps.size());
    memcpy(bundle + sps.size(), START_CODE, START_CODE_SIZE);
    memcpy(bundle + sps.size() + START_CODE_SIZE, pps.pucData, pps.ulSize);
    writeVideoUnitTS(bundle, size, cts, bWriteStream);
}

// Streaming: a receiver that joins late needs the parameter sets together,
// so the sequence set goes out again with the picture set that follows it.
void TSRouteStreamedUnit(const tNalUnit& unit, UINT32 cts, unsigned int bWriteStream)
{
    if (unit.ucType == NALU_TYPE_SPS) {
        bSpsAwaitingPps = unit.ulSize + START_CODE_SIZE <= PARSET_BUFFER_SIZE;
    } else if (unit.ucType == NALU_TYPE_PPS) {
        if (bSpsAwaitingPps)
            WriteParameterSetBundle(unit, cts, bWriteStream);
        bSpsAwaitingPps = false;
    }
    writeVideoUnitTS(unit.pucData, unit.ulSize, cts, bWriteStream);
}

// The route hands on a unit only while more than five payload bytes are
// left from its length prefix on: a one-byte unit that ends the payload
// (a NAL header alone) is passed over, as recordings have always had it.
const UINT32 TS_ROUTE_MIN_UNIT_LEFT = 5;

void TSRouteVideo(const tSample* pSample, unsigned int bWriteStream)
{
    const UINT8* end = pSample->pucPayload + pSample->ulPayloadSize;
    for (UINT32 i = 0; i < pSample->ulUnitCount; i++) {
        const tNalUnit& unit = pSample->pUnits[i];
        if ((UINT32)(end - unit.pucPrefix) <= TS_ROUTE_MIN_UNIT_LEFT)
            break;
        if (TSRouteIsStreaming(bWriteStream))
            TSRouteStreamedUnit(unit, pSample->ulCts, bWriteStream);
        else
            writeVideoUnitTS(unit.pucData, unit.ulSize, pSample->ulCts, bWriteStream);
    }
}

bool StartsWithSps(const tSample* pSample)
{
    return pSample->ulUnitCount > 0 && pSample->pUnits[0].pucPrefix == pSample->pucPayload &&
           pSample->pUnits[0].ucType == NALU_TYPE_SPS;
}

}  // namespace

void TSRouteRestart()
{
    bWriteTS = false;
    bSpsAwaitingPps = false;
}

unsigned int TSTakeSample(const tSample* pSample, unsigned int bWriteStream)
{
    UINT16 type = pSample->usStreamType;
    if (StartsWithSps(pSample) || type == QBOX_STREAM_AUDIO)
        bWriteTS = true;
    if (!bWriteTS)
        return 1;
    if (bWriteStream == TS_OUTPUT_FILE || bWriteStream == TS_OUTPUT_FILE_AND_RTP)
        BeginTSSample();
    if (type == QBOX_STREAM_AUDIO) {
        if (pSample->ulFrameSize > 0)
            writeAudioTS(const_cast<UINT8*>(pSample->pucFrame), pSample->ulFrameSize, pSample->ulCts, bWriteStream);
        return 1;
    }
    if (type == QBOX_STREAM_VIDEO) {
        TSRouteVideo(pSample, bWriteStream);
        return 1;
    }
    puts("QBox Type Unknown");
    return 0;
}

unsigned int QBoxToMP2TS(unsigned char* inputdata, unsigned int inputdata_length, unsigned int bWriteStream)
{
    tSample sample;
    ParseSample(inputdata, inputdata_length, &sample);
    VideoCodecTakeSample(RunVideoCodec(), &sample);
    return TSTakeSample(&sample, bWriteStream);
}

UINT64 tsBytesAtMost(const tSample* pSample)
{
    const UINT64 TS_OVERHEAD_PER_UNIT = 2 * TS_PACKET_SIZE;
    const UINT64 TS_OVERHEAD_PER_SAMPLE = 8 * TS_PACKET_SIZE;
    UINT64 payload = pSample->ulPayloadSize;
    UINT64 units = 1 + pSample->ulUnitCount;
    return payload * TS_PACKET_SIZE / (TS_PACKET_SIZE - 4) + units * TS_OVERHEAD_PER_UNIT + TS_OVERHEAD_PER_SAMPLE;
}
