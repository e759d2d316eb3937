// The capture application.
#include "Vozirev.h"

// Set by the SIGINT/SIGTERM handler; the capture loop re-reads it each turn.
volatile sig_atomic_t stop_encoding = 0;
// Free-space checks are off unless -q turns them on.
int skip_disk_check = 1;
// 1 once a sample has been given to the MP4 writer.
int mp4write = 0;

// QBox routing to the MP4 writer
#include "QBoxParser.h"
#include "mp4Writer.h"

// Created before main runs; the header record starts zero-filled.
QBox* pqBoxHeader = new QBox();
QBoxParser* pqBoxParser = new QBoxParser();

// ulMediaFormat values
const unsigned int MEDIA_FORMAT_AUDIO_ONLY = 1;
const unsigned int MEDIA_FORMAT_VIDEO_ONLY = 2;

// The encoder's AAC output: 48 kHz, stereo, 16-bit.
const UINT32 MP4_AUDIO_FREQUENCY = 48000;
const UINT16 MP4_AUDIO_CHANNELS = 2;
const UINT16 MP4_AUDIO_BITS_PER_SAMPLE = 16;

int SetParameters(stInputParameters input, FILE* outfile_handle)
{
    mp4file = outfile_handle;
    root = new tRootAtom();
    if (input.ulMediaFormat != MEDIA_FORMAT_VIDEO_ONLY) {
        root->AudioPresentFlag = 1;
        root->audioFrequency = MP4_AUDIO_FREQUENCY;
        root->numAudioChannels = MP4_AUDIO_CHANNELS;
        root->audioBitsPerSample = MP4_AUDIO_BITS_PER_SAMPLE;
    }
    if (input.ulMediaFormat != MEDIA_FORMAT_AUDIO_ONLY) {
        root->VideoPresentFlag = 1;
    }
    if (createMP4Params() != 1) {
        deleteMP4Params();
        return 0;
    }
    return 1;
}

// Takes the picture size for the video track from a sequence parameter set
// (unit in start-code form). A unit too short to hold the size leaves it.
static void updateVideoSize(UINT8* nalu, UINT32 naluSize)
{
    if (root == nullptr || root->videoTrack == nullptr) {
        return;
    }
    unsigned int szVideo[2] = {root->videoTrack->width, root->videoTrack->height};
    DecParSet(nalu + START_CODE_SIZE, naluSize - START_CODE_SIZE, szVideo);
    root->videoTrack->width = szVideo[0];
    root->videoTrack->height = szVideo[1];
}

// Hands every NAL unit of a video payload to the writer with the sample's
// time stamp. Only a leading sequence parameter set updates the picture size.
static void routeVideoPayload(UINT8* payload, UINT32 payloadSize, UINT32 timeStamp)
{
    UINT8* nalu = nullptr;
    UINT32 naluSize = 0;
    int bIsFirstNALU = 0;

    if (pqBoxParser->GetNextVideoNALU(payload, payloadSize, &nalu, &naluSize, &bIsFirstNALU) != 1) {
        return;
    }
    if (naluSize > START_CODE_SIZE && nalu[START_CODE_SIZE] == NALU_HEADER_SPS) {
        updateVideoSize(nalu, naluSize);
    }
    writeVideoSample(nalu, naluSize, timeStamp);

    while (bIsFirstNALU == 0) {
        if (pqBoxParser->GetNextVideoNALU(nullptr, 0, &nalu, &naluSize, &bIsFirstNALU) != 1) {
            break;
        }
        if (naluSize > START_CODE_SIZE) {
            writeVideoSample(nalu, naluSize, timeStamp);
        }
    }
}

int QBoxToMp4(unsigned char* inputdata, unsigned int inputdata_length, stInputParameters input)
{
    (void)input;
    if (inputdata == nullptr || inputdata_length < QBOX_HEADER_SIZE) {
        return 0;
    }
    pqBoxParser->GetQBoxHeader(inputdata, pqBoxHeader);
    UINT8* payload = inputdata + QBOX_HEADER_SIZE;
    UINT32 readPayloadSize = inputdata_length - QBOX_HEADER_SIZE;

    if (pqBoxHeader->usSampleStreamType == QBOX_STREAM_VIDEO) {
        // The payload ends where the header says, but never past what was read.
        UINT32 payloadSize = 0;
        if (pqBoxHeader->ulBoxSize > QBOX_HEADER_SIZE) {
            payloadSize = pqBoxHeader->ulBoxSize - QBOX_HEADER_SIZE;
        }
        if (payloadSize > readPayloadSize) {
            payloadSize = readPayloadSize;
        }
        if (payloadSize > 0) {
            routeVideoPayload(payload, payloadSize, pqBoxHeader->ulSampleCts);
        }
    } else if (pqBoxHeader->usSampleStreamType == QBOX_STREAM_AUDIO) {
        if (readPayloadSize > 0) {
            writeAudioSample(payload, readPayloadSize, pqBoxHeader->ulSampleCts);
        }
    }
    return 0;
}

// QBox routing to the transport-stream writer
#include <cstring>

#include "mpgTSWriter.h"

unsigned char ucParSet[PARSET_BUFFER_SIZE];
unsigned int ulSzParSet = 0;

namespace {

const UINT8 TS_ROUTE_NALU_TYPE_MASK = 0x1F;
const UINT8 TS_ROUTE_NALU_SPS = 7;
const UINT8 TS_ROUTE_NALU_PPS = 8;
const UINT32 TS_ROUTE_START_CODE = 0x00000001;
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
    UINT8 type = unit[QBOX_NALU_PREFIX_SIZE] & TS_ROUTE_NALU_TYPE_MASK;
    if (type == TS_ROUTE_NALU_SPS) {
        if (szUnit <= PARSET_BUFFER_SIZE) {
            memcpy(ucParSet, unit, szUnit);
            ulSzParSet = szUnit;
        } else {
            ulSzParSet = 0;
        }
    } else if (type == TS_ROUTE_NALU_PPS) {
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
    UINT32 consumed = 0;
    while (szPayload - consumed > TS_ROUTE_MIN_UNIT_LEFT) {
        UINT8* unit = payload + consumed;
        UINT32 length = ReadBE32(unit);
        if (length > szPayload - consumed - QBOX_NALU_PREFIX_SIZE) {
            break;  // runs past the payload: nothing of it is sent
        }
        UINT32 szUnit = length + QBOX_NALU_PREFIX_SIZE;
        WriteBE32(unit, TS_ROUTE_START_CODE);
        if (TSRouteIsStreaming(bWriteStream) && length > 0) {
            TSRouteStreamedUnit(unit, szUnit, cts, bWriteStream);
        } else {
            writeVideoTS(unit, szUnit, cts, bWriteStream);
        }
        WriteBE32(unit, length);
        consumed += szUnit;
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

    if ((szPayload > QBOX_NALU_PREFIX_SIZE &&
         (payload[QBOX_NALU_PREFIX_SIZE] & TS_ROUTE_NALU_TYPE_MASK) == TS_ROUTE_NALU_SPS) ||
        type == QBOX_STREAM_AUDIO) {
        bWriteTS = true;
    }
    if (!bWriteTS) {
        return 1;
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
