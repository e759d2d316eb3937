// The run's codec descriptions.
#include "codecs.h"

#include <algorithm>

#include "WriteAACHeader.h"
#include "byteorder.h"
#include "sample.h"

namespace {

// ISO/IEC 14496-3 Table 1.16: the sampling rate of each samplingFrequencyIndex.
const UINT32 AAC_SAMPLING_FREQUENCIES[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                           22050, 16000, 12000, 11025, 8000,  7350};
const UINT32 AAC_CHANNEL_CONFIG_MAX = 6;  // 1..6 channels: channelConfiguration = channels
const UINT16 ENCODER_BITS_PER_SAMPLE = 16;

tVideoCodec runVideo;

tAudioCodec EncoderAudio()
{
    tAudioCodec codec = tAudioCodec();
    AudioCodecFor(AAC_SAMPLE_RATE_HZ, ADTS_CHANNEL_CONFIG_STEREO, &codec);
    return codec;
}

int SamplingIndexOf(UINT32 ulSampleRate)
{
    const int count = (int)(sizeof(AAC_SAMPLING_FREQUENCIES) / sizeof(AAC_SAMPLING_FREQUENCIES[0]));
    for (int i = 0; i < count; i++)
        if (AAC_SAMPLING_FREQUENCIES[i] == ulSampleRate)
            return i;
    return -1;
}

bool SameSet(const std::vector<UINT8>& set, const UINT8* pucNal, UINT32 ulSize)
{
    return set.size() == ulSize && std::equal(set.begin(), set.end(), pucNal);
}

}  // namespace

tVideoCodec* RunVideoCodec()
{
    return &runVideo;
}

const tAudioCodec* RunAudioCodec()
{
    static const tAudioCodec audio = EncoderAudio();
    return &audio;
}

bool VideoCodecTakeUnit(tVideoCodec* pCodec, const UINT8* pucNal, UINT32 ulSize)
{
    if (pucNal == nullptr || ulSize == 0 || ulSize > PARAMETER_SET_MAX_SIZE)
        return false;
    UINT8 type = NaluType(pucNal[0]);
    std::vector<UINT8>* set = type == NALU_TYPE_SPS ? &pCodec->sps : type == NALU_TYPE_PPS ? &pCodec->pps : nullptr;
    if (set == nullptr || SameSet(*set, pucNal, ulSize))
        return false;
    set->assign(pucNal, pucNal + ulSize);
    if (type == NALU_TYPE_SPS) {
        // A set that does not decode leaves the picture as it was.
        tSpsInfo info;
        if (DecodeSps(pucNal, ulSize, &info) == 1)
            pCodec->stSps = info;
    }
    pCodec->ulVersion++;
    return true;
}

bool VideoCodecTakeSample(tVideoCodec* pCodec, const tSample* pSample)
{
    if (pSample->pSps == nullptr && pSample->pPps == nullptr)
        return false;
    bool changed = false;
    for (UINT32 i = 0; i < pSample->ulUnitCount; i++) {
        const tNalUnit& unit = pSample->pUnits[i];
        if (unit.ucType == NALU_TYPE_SPS || unit.ucType == NALU_TYPE_PPS)
            changed = VideoCodecTakeUnit(pCodec, unit.pucData, unit.ulSize) || changed;
    }
    return changed;
}

bool VideoCodecKnown(const tVideoCodec* pCodec)
{
    return !pCodec->sps.empty() && !pCodec->pps.empty();
}

void VideoCodecClear(tVideoCodec* pCodec)
{
    pCodec->sps.clear();
    pCodec->pps.clear();
    pCodec->stSps = tSpsInfo();
    pCodec->ulVersion++;
}

int AacAudioSpecificConfig(UINT32 ulSampleRate, UINT32 ulChannels, UINT8* pucConfig)
{
    int index = SamplingIndexOf(ulSampleRate);
    if (index < 0 || ulChannels == 0 || ulChannels > AAC_CHANNEL_CONFIG_MAX)
        return -1;
    // audioObjectType (5 bits), samplingFrequencyIndex (4), channelConfiguration
    // (4), frameLengthFlag, dependsOnCoreCoder, extensionFlag (1 each, all 0).
    UINT16 usConfig = (UINT16)((AAC_OBJECT_TYPE_LC << 11) | ((UINT32)index << 7) | (ulChannels << 3));
    WriteBE16(pucConfig, usConfig);
    return 1;
}

int AudioCodecFor(UINT32 ulSampleRate, UINT32 ulChannels, tAudioCodec* pCodec)
{
    tAudioCodec codec = tAudioCodec();
    if (AacAudioSpecificConfig(ulSampleRate, ulChannels, codec.ucConfig) != 1)
        return -1;
    codec.ucObjectType = AAC_OBJECT_TYPE_LC;
    codec.ulSampleRate = ulSampleRate;
    codec.ulChannels = ulChannels;
    codec.ulSamplingIndex = (UINT32)SamplingIndexOf(ulSampleRate);
    codec.ulFrameSamples = AAC_FRAME_SAMPLES;
    codec.usBitsPerSample = ENCODER_BITS_PER_SAMPLE;
    *pCodec = codec;
    return 1;
}

// AAC Profile levels (ISO/IEC 14496-3, 1.5.2.4 and Table 1.14): L1 two
// channels up to 24 kHz, L2 two channels up to 48 kHz, L4 5.1 channels up
// to 48 kHz, L5 5.1 channels up to 96 kHz.
UINT8 AacProfileLevelId(UINT32 ulSampleRate, UINT32 ulChannels)
{
    if (ulChannels <= 2 && ulSampleRate <= 24000)
        return 0x28;
    if (ulChannels <= 2 && ulSampleRate <= 48000)
        return 0x29;
    if (ulSampleRate <= 48000)
        return 0x2A;
    return 0x2B;
}
