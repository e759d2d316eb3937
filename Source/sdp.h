// The session description (RFC 4566) that lets a receiver open the
// capture program's RTP streams by itself:
//
//   -s 1  H.264 (RFC 6184, payload type 97) on the video port and AAC
//         (RFC 3640 AAC-hbr, payload type 96) on the audio port
//   -s 2  one MPEG-2 transport stream (MP2T, payload type 33) on the video port
//
// with the destination (and the TTL for a multicast group) and the RTCP
// port of each stream (RFC 3605). H.264 is described by profile-level-id
// and, once the encoder's first parameter sets are known, by
// sprop-parameter-sets; before that the profile and level follow from the
// settings, as the encoder picks them.
//
// The capture run writes the file -j names when its streams open
// (SdpStartFile) and calls SdpTakeCodec for each sample it streams, which
// writes the file again once the parameter sets in force have changed.
// vozirev-sdp prints SdpFormat's text of the same description.
#ifndef VOZIREV_SDP_H
#define VOZIREV_SDP_H

#include "Types.h"
#include "base64.h"
#include "codecs.h"

struct stInputParameters;

// The encoder's H.264 profile: Constrained Baseline (profile_idc 66 with
// constraint_set0_flag and constraint_set1_flag, ISO/IEC 14496-10, A.2.1.1).
const UINT8 H264_PROFILE_IDC_BASELINE = 66;
const UINT8 H264_CONSTRAINT_SET0_SET1 = 0xC0;
const UINT32 H264_MACROBLOCK_SIZE = 16;  // pixels

const UINT32 SDP_PARAMETER_SET_MAX = 256;  // bytes of one SPS or PPS described
const UINT32 SDP_ADDRESS_SIZE = 20;        // dotted IPv4 text and its NUL
const UINT32 SDP_TEXT_MAX = 4096;
const UINT32 SDP_CONTROL_SIZE = 256;       // an RTSP control URL and its NUL
// Over RTSP each stream's control URL is the aggregate one and
// "/trackID=N": H.264 (or the transport stream) 0, AAC 1.
#define SDP_TRACK_PREFIX "trackID="
const UINT32 SDP_TRACK_VIDEO = 0;
const UINT32 SDP_TRACK_AUDIO = 1;

struct stSdpDescription {
    UINT32 ulSessionId;        // o= sess-id
    UINT32 ulSessionVersion;   // o= sess-version, one up each time the description changes
    char szAddress[SDP_ADDRESS_SIZE];
    bool bMulticast;
    UINT32 ulTtl;              // multicast only
    bool bTransportStream;     // -s 2: only the MP2T stream
    bool bVideo;               // -s 1: the H.264 stream
    bool bAudio;               // -s 1: the AAC stream
    UINT32 ulVideoPort;        // also the MP2T port
    UINT32 ulAudioPort;
    UINT8 ucProfileLevelId[3]; // from the settings, until the SPS gives its own
    const tVideoCodec* pVideoCodec;  // the parameter sets, once known (may be null)
    const tAudioCodec* pAudioCodec;  // the AAC configuration
    char szControl[SDP_CONTROL_SIZE];  // over RTSP: the aggregate control URL; "" for a file
    // Over RTSP, each stream's control relative to the aggregate URL
    // ("trackID=N", RFC 2326, C.1.1) instead of absolute: what a publisher
    // announces, as servers that record match SETUP's URL against it.
    bool bRelativeControl;
};

// Fills the description from the run's parameters (-s, -m, -d, -t, -x, -y,
// and -w, -h, -f for the H.264 level), session id and version 0. The
// parameters must have been checked: a dotted IPv4 address, -s 1 or 2.
void SdpFromParameters(stSdpDescription* pDesc, const stInputParameters* pInput);

// The description an RTSP server serves (DESCRIBE) and a publisher
// announces (ANNOUNCE) for the run's media (-m): the elementary streams, or
// the transport stream alone; szServerAddress goes into o=, szControl is
// the aggregate URL (rtsp://host:port/path), each stream's the same with
// "/trackID=N". The parameter sets are the run's in force.
void SdpForRtsp(stSdpDescription* pDesc, const stInputParameters* pInput, bool bTransportStream,
                const char* szServerAddress, const char* szControl);

// The description as text, lines ending in CR LF. H.264 is described by
// the parameter sets of pVideoCodec once both are known (and fit
// SDP_PARAMETER_SET_MAX), by the settings' profile and level before.
// Returns its length, or -1 when it does not fit ulTextSize bytes (with the
// NUL).
int SdpFormat(const stSdpDescription* pDesc, char* pcText, UINT32 ulTextSize);

// Writes the description to szPath so that a reader sees the old file or
// the new one, never a part: a temporary file in the same directory,
// flushed to the disk, then renamed over szPath. Returns 1, or -1 with a
// message naming the file (szPath is then as it was).
int SdpWriteFile(const char* szPath, const stSdpDescription* pDesc);

// The run's description file, -j (sSdp_File; "" writes none): written
// when the streams open, from the run's parameters with a session id from
// the clock. Returns 1, or -1 when it could not be written (the reason is
// printed): the run then ends.
int SdpStartFile(const stInputParameters* pInput);

// Called for every sample the run streams, once the sample's parameter sets
// are in the run's codec description: the file is written again when the
// parameter sets in force have changed since it was last written (in
// practice once, when the encoder's first SPS and PPS arrive). A failed
// rewrite is reported and leaves the earlier file; the run goes on.
void SdpTakeCodec();

// level_idc for a picture size and rate: the lowest level of ISO/IEC
// 14496-10 Table A-1 whose MaxFS and MaxMBPS admit it (level 1b is not
// used). The bit rate is left out, as the encoder leaves it out without a
// VBV buffer.
UINT8 H264LevelForPicture(UINT32 ulWidth, UINT32 ulHeight, UINT32 ulFrameRate);

#endif
