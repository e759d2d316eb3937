// QBox routing to the MP4 writer: each parsed video sample's picture, or
// the AAC frame of an audio sample, goes to the writer with the sample's
// time stamp.
#include "mp4route.h"

#include "codecs.h"
#include "mp4Writer.h"
#include "sample.h"

int SetParameters(stInputParameters input, FILE* outfile_handle)
{
    mp4file = outfile_handle;
    setMP4RecordingName(input.sOutput_Filename);
    root = new tRootAtom();
    root->AudioPresentFlag = input.ulMediaFormat != MEDIA_FORMAT_VIDEO ? 1 : 0;
    root->VideoPresentFlag = input.ulMediaFormat != MEDIA_FORMAT_AUDIO ? 1 : 0;
    root->pVideoCodec = RunVideoCodec();
    root->pAudioCodec = RunAudioCodec();
    if (createMP4Params() != 1) {
        deleteMP4Params();
        return 0;
    }
    return 1;
}

void Mp4TakeSample(const tSample* pSample)
{
    if (pSample->usStreamType == QBOX_STREAM_VIDEO) {
        VideoCodecTakeSample(RunVideoCodec(), pSample);
        writeVideoAccessUnit(pSample);
    } else if (pSample->usStreamType == QBOX_STREAM_AUDIO && pSample->ulFrameSize > 0) {
        writeAudioSample(pSample->pucFrame, pSample->ulFrameSize, pSample->ulCts);
    }
}

int QBoxToMp4(const unsigned char* inputdata, unsigned int inputdata_length, stInputParameters input)
{
    (void)input;
    tSample sample;
    if (ParseSample(inputdata, inputdata_length, &sample) == 1) {
        Mp4TakeSample(&sample);
    }
    return 0;
}
