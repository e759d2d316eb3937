// The codec descriptions of a run, kept once and read by every output that
// describes its media: the MP4 sample entries ("avcC", "esds"), the session
// descriptions (sprop-parameter-sets, profile-level-id, config), the
// transport stream's parameter-set bundle and ADTS headers, and the live
// services.
//
//   video  the H.264 sequence and picture parameter sets in force (the
//          latest the encoder sent), and what the SPS says: profile, level,
//          picture size with its cropping
//   audio  the encoder's AAC: AAC LC, 48 kHz, two channels, 1024 samples a
//          frame, and its AudioSpecificConfig (ISO/IEC 14496-3, 1.6.2.1)
//
// The capture loop hands every video sample to VideoCodecTakeSample on the
// run's description (RunVideoCodec) before any output takes it, so that an
// output always sees the sets in force for the sample at hand.
#ifndef VOZIREV_CODECS_H
#define VOZIREV_CODECS_H

#include <vector>

#include "QBoxParser.h"
#include "Types.h"

struct tSample;

// sequenceParameterSetLength and pictureParameterSetLength of "avcC" are 16
// bits (ISO/IEC 14496-15, 5.3.3.1): a longer set is passed over, and the
// one before stays in force.
const UINT32 PARAMETER_SET_MAX_SIZE = 0xFFFF;

struct tVideoCodec {
    std::vector<UINT8> sps;  // NAL unit, header byte first; empty until known
    std::vector<UINT8> pps;
    tSpsInfo stSps;          // decoded from sps; zero until one decodes
    UINT32 ulVersion;        // one up whenever sps or pps changes
};

// audioObjectType (ISO/IEC 14496-3, 1.5.1.1).
const UINT8 AAC_OBJECT_TYPE_LC = 2;
const UINT32 AUDIO_SPECIFIC_CONFIG_SIZE = 2;

struct tAudioCodec {
    UINT8 ucObjectType;
    UINT32 ulSampleRate;      // Hz, also the RTP clock and the MP4 time scale
    UINT32 ulChannels;
    UINT32 ulSamplingIndex;   // samplingFrequencyIndex (Table 1.16)
    UINT32 ulFrameSamples;    // 1024 (frameLengthFlag 0)
    UINT16 usBitsPerSample;   // what the MP4 sample entry states: 16
    UINT8 ucConfig[AUDIO_SPECIFIC_CONFIG_SIZE];  // AudioSpecificConfig
};

// The run's descriptions. The video one starts empty; the audio one is the
// encoder's fixed output.
tVideoCodec* RunVideoCodec();
const tAudioCodec* RunAudioCodec();

// Takes a parameter set (NAL unit, header byte first) into pCodec. True
// when the description changed (a new or different set).
bool VideoCodecTakeUnit(tVideoCodec* pCodec, const UINT8* pucNal, UINT32 ulSize);
// Takes the parameter sets of a video sample, in order. True when the
// description changed.
bool VideoCodecTakeSample(tVideoCodec* pCodec, const tSample* pSample);
// Both sets are known.
bool VideoCodecKnown(const tVideoCodec* pCodec);
// Back to no sets (a new run in the same process).
void VideoCodecClear(tVideoCodec* pCodec);

// Fills *pCodec for AAC LC at a sampling rate and channel count. 1, or -1
// for a rate without a samplingFrequencyIndex or a channel count without a
// channelConfiguration (1 to 6).
int AudioCodecFor(UINT32 ulSampleRate, UINT32 ulChannels, tAudioCodec* pCodec);

// AudioSpecificConfig of AAC-LC (ISO/IEC 14496-3, 1.6.2.1, with the
// GASpecificConfig flags 0): 2 bytes into pucConfig. Returns 1, or -1 for a
// sampling rate without a sampling frequency index or a channel count
// without a channel configuration (1..6).
int AacAudioSpecificConfig(UINT32 ulSampleRate, UINT32 ulChannels, UINT8* pucConfig);

// audioProfileLevelIndication of the AAC Profile (ISO/IEC 14496-3,
// 1.5.2.4) for a sampling rate and channel count.
UINT8 AacProfileLevelId(UINT32 ulSampleRate, UINT32 ulChannels);

#endif
