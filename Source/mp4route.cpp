// QBox routing to the MP4 writer: each NAL unit of a video sample, or the
// AAC frame of an audio sample, goes to the writer with the sample's time
// stamp; a leading sequence parameter set gives the picture size.
#include "mp4route.h"

#include "QBoxParser.h"
#include "QBoxParser.h"
#include "housekeeping.h"
#include "mp4Writer.h"

// The encoder's AAC output: 48 kHz, stereo, 16-bit.
const UINT32 MP4_AUDIO_FREQUENCY = 48000;
const UINT16 MP4_AUDIO_CHANNELS = 2;
const UINT16 MP4_AUDIO_BITS_PER_SAMPLE = 16;

int SetParameters(stInputParameters input, FILE* outfile_handle)
{
    mp4file = outfile_handle;
    setMP4RecordingName(input.sOutput_Filename);
    root = new tRootAtom();
    if (input.ulMediaFormat != MEDIA_FORMAT_VIDEO) {
        root->AudioPresentFlag = 1;
        root->audioFrequency = MP4_AUDIO_FREQUENCY;
        root->numAudioChannels = MP4_AUDIO_CHANNELS;
        root->audioBitsPerSample = MP4_AUDIO_BITS_PER_SAMPLE;
    }
    if (input.ulMediaFormat != MEDIA_FORMAT_AUDIO) {
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
