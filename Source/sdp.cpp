// Session description of the RTP streams (RFC 4566, RFC 6184, RFC 3640,
// RFC 3605) and its atomic file write.
#include "sdp.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "QBox.h"
#include "Rtp.h"
#include "WriteAACHeader.h"
#include "byteorder.h"
#include "captureparams.h"
#include "codecs.h"
#include "rtcp.h"
#include "safefile.h"
#include "sockets.h"
#include "textproto.h"

const UINT32 SPS_PROFILE_LEVEL_OFFSET = 1;  // profile_idc follows the NAL header byte
const UINT32 PROFILE_LEVEL_ID_SIZE = 3;
// RFC 3640 AAC-hbr: 13-bit AU-size and 3-bit AU-Index(-delta) per AU header.
const unsigned int AAC_HBR_SIZE_LENGTH = 13;
const unsigned int AAC_HBR_INDEX_LENGTH = 3;
const unsigned int MPEG4_STREAM_TYPE_AUDIO = 5;  // ISO/IEC 14496-1 streamType

#define SDP_EOL "\r\n"

// ---- H.264 level and AAC configuration ------------------------------------------------

// ISO/IEC 14496-10 Table A-1: level_idc, MaxMBPS (macroblocks/s), MaxFS
// (macroblocks).
struct stH264Level {
    UINT8 ucLevelIdc;
    UINT32 ulMaxMbps;
    UINT32 ulMaxFs;
};
static const stH264Level H264_LEVELS[] = {
    {10, 1485, 99},      {11, 3000, 396},     {12, 6000, 396},     {13, 11880, 396},
    {20, 11880, 396},    {21, 19800, 792},    {22, 20250, 1620},   {30, 40500, 1620},
    {31, 108000, 3600},  {32, 216000, 5120},  {40, 245760, 8192},  {41, 245760, 8192},
    {42, 522240, 8704},  {50, 589824, 22080}, {51, 983040, 36864}, {52, 2073600, 36864},
};

UINT8 H264LevelForPicture(UINT32 ulWidth, UINT32 ulHeight, UINT32 ulFrameRate)
{
    UINT64 ullFrameSize = (UINT64)((ulWidth + H264_MACROBLOCK_SIZE - 1) / H264_MACROBLOCK_SIZE) *
                          ((ulHeight + H264_MACROBLOCK_SIZE - 1) / H264_MACROBLOCK_SIZE);
    UINT64 ullRate = ullFrameSize * ulFrameRate;
    for (const stH264Level& level : H264_LEVELS)
        if (ullFrameSize <= level.ulMaxFs && ullRate <= level.ulMaxMbps)
            return level.ucLevelIdc;
    return H264_LEVELS[sizeof(H264_LEVELS) / sizeof(H264_LEVELS[0]) - 1].ucLevelIdc;
}

// ---- the description ------------------------------------------------------------------

void SdpFromParameters(stSdpDescription* pDesc, const stInputParameters* pInput)
{
    memset(pDesc, 0, sizeof(*pDesc));
    snprintf(pDesc->szAddress, sizeof(pDesc->szAddress), "%s", pInput->IP_Addr);
    pDesc->bMulticast = IsClassD(pDesc->szAddress) != 0;
    pDesc->ulTtl = pInput->ucttl;
    pDesc->bTransportStream = pInput->ulStreaming == STREAM_RTP_TS;
    pDesc->bVideo = !pDesc->bTransportStream && SendsOnVideoPort(pInput);
    pDesc->bAudio = SendsOnAudioPort(pInput);
    pDesc->ulVideoPort = pInput->Video_Port;
    pDesc->ulAudioPort = pInput->Audio_Port;
    pDesc->ucProfileLevelId[0] = H264_PROFILE_IDC_BASELINE;
    pDesc->ucProfileLevelId[1] = H264_CONSTRAINT_SET0_SET1;
    pDesc->ucProfileLevelId[2] = H264LevelForPicture(pInput->ulVideo_Frame_Width, pInput->ulVideo_Frame_Height,
                                                     pInput->ulVideo_Frame_Rate);
    pDesc->pVideoCodec = nullptr;
    pDesc->pAudioCodec = RunAudioCodec();
}

// The parameter sets go into the description once both are known and
// small enough: a receiver finds larger ones in band.
void SdpForRtsp(stSdpDescription* pDesc, const stInputParameters* pInput, bool bTransportStream,
                const char* szServerAddress, const char* szControl)
{
    memset(pDesc, 0, sizeof(*pDesc));
    snprintf(pDesc->szAddress, sizeof(pDesc->szAddress), "%s", szServerAddress);
    snprintf(pDesc->szControl, sizeof(pDesc->szControl), "%s", szControl);
    pDesc->bTransportStream = bTransportStream;
    pDesc->bVideo = !bTransportStream && pInput->ulMediaFormat != MEDIA_FORMAT_AUDIO;
    pDesc->bAudio = !bTransportStream && pInput->ulMediaFormat != MEDIA_FORMAT_VIDEO;
    pDesc->ucProfileLevelId[0] = H264_PROFILE_IDC_BASELINE;
    pDesc->ucProfileLevelId[1] = H264_CONSTRAINT_SET0_SET1;
    pDesc->ucProfileLevelId[2] = H264LevelForPicture(pInput->ulVideo_Frame_Width, pInput->ulVideo_Frame_Height,
                                                     pInput->ulVideo_Frame_Rate);
    pDesc->pVideoCodec = RunVideoCodec();
    pDesc->pAudioCodec = RunAudioCodec();
}

static bool HasParameterSets(const stSdpDescription* pDesc)
{
    const tVideoCodec* codec = pDesc->pVideoCodec;
    return codec != nullptr && VideoCodecKnown(codec) && codec->sps.size() >= SPS_PROFILE_LEVEL_OFFSET + PROFILE_LEVEL_ID_SIZE &&
           codec->sps.size() <= SDP_PARAMETER_SET_MAX && codec->pps.size() <= SDP_PARAMETER_SET_MAX;
}

// ---- text ------------------------------------------------------------------------------

// Appends one line and its CR LF.
__attribute__((format(printf, 2, 3))) static void PutLine(tTextOut* pText, const char* szFormat, ...)
{
    va_list args;
    va_start(args, szFormat);
    TextPutV(pText, szFormat, args);
    va_end(args);
    TextPutBytes(pText, SDP_EOL, 2);
}

// v=, o=, s=, c= and t= (RFC 4566, 5): a multicast connection carries the
// TTL, and the session is unbounded.
static bool IsRtsp(const stSdpDescription* pDesc)
{
    return pDesc->szControl[0] != '\0';
}

// A description served over RTSP (RFC 2326, C.1): the connection address
// is the SETUP's business (0.0.0.0, ports 0), the aggregate control URL and
// the live range (RFC 2326, 3.6: npt=now-) are the session's.
static void PutSession(tTextOut* pText, const stSdpDescription* pDesc)
{
    PutLine(pText, "v=0");
    PutLine(pText, "o=- %u %u IN IP4 %s", pDesc->ulSessionId, pDesc->ulSessionVersion,
            IsRtsp(pDesc) ? pDesc->szAddress : "127.0.0.1");
    PutLine(pText, "s=Vozirev capture");
    if (IsRtsp(pDesc))
        PutLine(pText, "c=IN IP4 0.0.0.0");
    else if (pDesc->bMulticast)
        PutLine(pText, "c=IN IP4 %s/%u", pDesc->szAddress, pDesc->ulTtl);
    else
        PutLine(pText, "c=IN IP4 %s", pDesc->szAddress);
    PutLine(pText, "t=0 0");
    if (IsRtsp(pDesc)) {
        PutLine(pText, "a=control:%s", pDesc->szControl);
        PutLine(pText, "a=range:npt=now-");
    }
}

static UINT32 MediaPort(const stSdpDescription* pDesc, UINT32 ulPort)
{
    return IsRtsp(pDesc) ? 0 : ulPort;
}

// a=rtcp (RFC 3605) for a stream that has an RTCP port; over RTSP, the
// stream's control URL instead (absolute: nothing for a client to resolve).
static void PutStreamAttributes(tTextOut* pText, const stSdpDescription* pDesc, UINT32 ulRtpPort, UINT32 ulTrack)
{
    if (IsRtsp(pDesc)) {
        if (pDesc->bRelativeControl)
            PutLine(pText, "a=control:" SDP_TRACK_PREFIX "%u", ulTrack);
        else
            PutLine(pText, "a=control:%s/" SDP_TRACK_PREFIX "%u", pDesc->szControl, ulTrack);
        return;
    }
    int iRtcpPort = RtcpPortFor(ulRtpPort);
    if (iRtcpPort > 0)
        PutLine(pText, "a=rtcp:%d", iRtcpPort);
}

// RFC 6184: single NAL unit and FU-A packets (packetization-mode 1), the
// profile and level, and the parameter sets once known.
static void PutH264Media(tTextOut* pText, const stSdpDescription* pDesc)
{
    PutLine(pText, "m=video %u RTP/AVP %u", MediaPort(pDesc, pDesc->ulVideoPort), RTP_PT_H264);
    PutLine(pText, "a=rtpmap:%u H264/%u", RTP_PT_H264, RTP_VIDEO_CLOCK_HZ);
    const UINT8* pucPli = pDesc->ucProfileLevelId;
    if (HasParameterSets(pDesc)) {
        // RFC 6184, 8.1: profile_idc, the constraint flags byte and
        // level_idc of the SPS.
        const tVideoCodec* codec = pDesc->pVideoCodec;
        pucPli = codec->sps.data() + SPS_PROFILE_LEVEL_OFFSET;
        char szSps[(SDP_PARAMETER_SET_MAX + 2) / 3 * 4 + 1];
        char szPps[sizeof(szSps)];
        Base64Encode(codec->sps.data(), (UINT32)codec->sps.size(), szSps);
        Base64Encode(codec->pps.data(), (UINT32)codec->pps.size(), szPps);
        PutLine(pText, "a=fmtp:%u packetization-mode=1; profile-level-id=%02x%02x%02x; sprop-parameter-sets=%s,%s",
                RTP_PT_H264, pucPli[0], pucPli[1], pucPli[2], szSps, szPps);
    } else {
        PutLine(pText, "a=fmtp:%u packetization-mode=1; profile-level-id=%02x%02x%02x", RTP_PT_H264, pucPli[0],
                pucPli[1], pucPli[2]);
    }
    PutStreamAttributes(pText, pDesc, pDesc->ulVideoPort, SDP_TRACK_VIDEO);
}

// RFC 3640 AAC-hbr: one AU header of 13-bit size and 3-bit index per packet;
// the RTP clock is the sampling rate.
static void PutAacMedia(tTextOut* pText, const stSdpDescription* pDesc)
{
    const tAudioCodec* codec = pDesc->pAudioCodec;
    PutLine(pText, "m=audio %u RTP/AVP %u", MediaPort(pDesc, pDesc->ulAudioPort), RTP_PT_AAC);
    PutLine(pText, "a=rtpmap:%u mpeg4-generic/%u/%u", RTP_PT_AAC, codec->ulSampleRate, codec->ulChannels);
    PutLine(pText,
            "a=fmtp:%u streamtype=%u; profile-level-id=%u; mode=AAC-hbr; config=%02x%02x; "
            "sizelength=%u; indexlength=%u; indexdeltalength=%u",
            RTP_PT_AAC, MPEG4_STREAM_TYPE_AUDIO, AacProfileLevelId(codec->ulSampleRate, codec->ulChannels),
            codec->ucConfig[0], codec->ucConfig[1], AAC_HBR_SIZE_LENGTH, AAC_HBR_INDEX_LENGTH, AAC_HBR_INDEX_LENGTH);
    PutStreamAttributes(pText, pDesc, pDesc->ulAudioPort, SDP_TRACK_AUDIO);
}

// RFC 2250 / RFC 3551: static payload type 33.
static void PutTransportStreamMedia(tTextOut* pText, const stSdpDescription* pDesc)
{
    PutLine(pText, "m=video %u RTP/AVP %u", MediaPort(pDesc, pDesc->ulVideoPort), RTP_PT_MP2T);
    PutLine(pText, "a=rtpmap:%u MP2T/%u", RTP_PT_MP2T, RTP_VIDEO_CLOCK_HZ);
    PutStreamAttributes(pText, pDesc, pDesc->ulVideoPort, SDP_TRACK_VIDEO);
}

int SdpFormat(const stSdpDescription* pDesc, char* pcText, UINT32 ulTextSize)
{
    tTextOut text;
    TextOutStart(&text, pcText, ulTextSize);
    PutSession(&text, pDesc);
    if (pDesc->bTransportStream)
        PutTransportStreamMedia(&text, pDesc);
    if (pDesc->bVideo)
        PutH264Media(&text, pDesc);
    if (pDesc->bAudio)
        PutAacMedia(&text, pDesc);
    return text.bOverflow ? -1 : (int)text.ulUsed;
}

// ---- the file -------------------------------------------------------------------------

static bool WriteAll(int fd, const char* pcData, size_t szSize)
{
    while (szSize > 0) {
        ssize_t written = write(fd, pcData, szSize);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        pcData += written;
        szSize -= (size_t)written;
    }
    return true;
}

static int RefuseFile(const char* szPath, const char* szWhat, int iError)
{
    printf("\nCould not write the session description %s: %s%s%s\n", szPath, szWhat, iError ? ": " : "",
           iError ? strerror(iError) : "");
    return -1;
}

int SdpWriteFile(const char* szPath, const stSdpDescription* pDesc)
{
    char szText[SDP_TEXT_MAX];
    int iLength = SdpFormat(pDesc, szText, sizeof(szText));
    if (iLength < 0)
        return RefuseFile(szPath, "the description does not fit", 0);
    // Same directory, so that the rename replaces the file in one step.
    char szTemp[PATH_MAX];
    int n = snprintf(szTemp, sizeof(szTemp), "%s.%ld.tmp", szPath, (long)getpid());
    if (n < 0 || (size_t)n >= sizeof(szTemp))
        return RefuseFile(szPath, "the name is too long", 0);

    // A file of our own making, never one found under the name (a link, or
    // a file someone else owns): the program often runs as root in a
    // directory others may write to. A name left by an earlier run of the
    // same process number goes first.
    int fd = OpenRegularFile(szTemp, SAFE_OPEN_NEW);
    if (fd < 0 && errno == EEXIST && unlink(szTemp) == 0)
        fd = OpenRegularFile(szTemp, SAFE_OPEN_NEW);
    if (fd < 0)
        return RefuseFile(szPath, "cannot create a temporary file beside it", errno);
    bool bWritten = WriteAll(fd, szText, (size_t)iLength) && fsync(fd) == 0;
    int iError = errno;
    if (close(fd) != 0 && bWritten) {
        bWritten = false;
        iError = errno;
    }
    if (!bWritten) {
        unlink(szTemp);
        return RefuseFile(szPath, "cannot write it", iError);
    }
    if (rename(szTemp, szPath) != 0) {
        iError = errno;
        unlink(szTemp);
        return RefuseFile(szPath, "cannot replace it", iError);
    }
    return 1;
}

// ---- the run's file ----------------------------------------------------------------------

static stSdpDescription m_stRunDescription;
static char m_szRunFile[FILENAME_FIELD_SIZE] = "";
// The codec description's version the file was last written with.
static UINT32 m_ulWrittenVersion = 0;

int SdpStartFile(const stInputParameters* pInput)
{
    m_szRunFile[0] = '\0';
    if (pInput->sSdp_File[0] == '\0')
        return 1;
    SdpFromParameters(&m_stRunDescription, pInput);
    m_stRunDescription.pVideoCodec = m_stRunDescription.bVideo ? RunVideoCodec() : nullptr;
    m_ulWrittenVersion = RunVideoCodec()->ulVersion;
    // RFC 4566, 5.2: an NTP-like time stamp makes the session id unique.
    m_stRunDescription.ulSessionId = (UINT32)time(nullptr);
    if (SdpWriteFile(pInput->sSdp_File, &m_stRunDescription) != 1)
        return -1;
    snprintf(m_szRunFile, sizeof(m_szRunFile), "%s", pInput->sSdp_File);
    return 1;
}

void SdpTakeCodec()
{
    const tVideoCodec* codec = m_stRunDescription.pVideoCodec;
    if (m_szRunFile[0] == '\0' || codec == nullptr || codec->ulVersion == m_ulWrittenVersion || !VideoCodecKnown(codec))
        return;
    m_ulWrittenVersion = codec->ulVersion;
    ++m_stRunDescription.ulSessionVersion;
    SdpWriteFile(m_szRunFile, &m_stRunDescription);
}
