// The sample record: one parse of each QBox sample.
#include "sample.h"

#include <vector>

#include "QBoxParser.h"
#include "WriteAACHeader.h"

namespace {

// The units of the sample parsed last. It keeps its capacity, so the
// capture loop allocates only when a sample has more units than any before.
std::vector<tNalUnit> units;
tCtsUnwrap runClock = {0, false};
UINT32 serial = 0;

void TakeVideoUnits(tSample* s)
{
    units.clear();
    tNaluWalk walk = StartNaluWalk(const_cast<UINT8*>(s->pucPayload), s->ulPayloadSize);
    UINT8* prefix = nullptr;
    UINT32 length = 0;
    while (NextNalu(&walk, QBOX_NALU_PREFIX_SIZE - 1, &prefix, &length)) {
        if (length == 0)
            continue;  // no header byte: nothing to hand on
        tNalUnit unit = {prefix, prefix + QBOX_NALU_PREFIX_SIZE, length, NaluType(prefix[QBOX_NALU_PREFIX_SIZE])};
        units.push_back(unit);
    }
    s->pUnits = units.data();
    s->ulUnitCount = (UINT32)units.size();
    for (const tNalUnit& unit : units) {
        s->bPicture = s->bPicture || IsSliceType(unit.ucType);
        s->bIdr = s->bIdr || unit.ucType == NALU_TYPE_IDR;
        if (unit.ucType == NALU_TYPE_SPS)
            s->pSps = &unit;
        else if (unit.ucType == NALU_TYPE_PPS)
            s->pPps = &unit;
    }
}

// Every output adds what its format wants in front of the raw frame.
void TakeAudioFrame(tSample* s)
{
    if (!RawAacFrame(s->pucPayload, s->ulPayloadSize, &s->pucFrame, &s->ulFrameSize)) {
        s->pucFrame = nullptr;
        s->ulFrameSize = 0;
    }
}

}  // namespace

bool RawAacFrame(const UINT8* pucPayload, UINT32 ulSize, const UINT8** ppucFrame, UINT32* pulFrameSize)
{
    if (ulSize > 0 && pucPayload[0] == ADTS_SYNC_BYTE) {
        if (ulSize <= ADTS_HEADER_SIZE)
            return false;
        pucPayload += ADTS_HEADER_SIZE;
        ulSize -= ADTS_HEADER_SIZE;
    }
    *ppucFrame = pucPayload;
    *pulFrameSize = ulSize;
    return true;
}

INT64 RunClockOf(UINT32 ulCts)
{
    return UnwrapCts(&runClock, ulCts);
}

INT64 RunClockNow()
{
    return runClock.bStarted ? runClock.llLatest : 0;
}

void RestartSampleClock()
{
    runClock.bStarted = false;
}

int ParseSample(const UINT8* pucBox, UINT32 ulReadLength, tSample* pSample)
{
    tSample s = tSample();
    s.ulSerial = ++serial;
    s.pucBox = pucBox;
    s.ulReadLength = ulReadLength;
    units.clear();
    if (pucBox == nullptr || ulReadLength < QBOX_HEADER_SIZE) {
        *pSample = s;
        return 0;
    }
    s.bUsable = pqBoxParser->GetQBoxHeader(const_cast<UINT8*>(pucBox), &s.stHeader) == 1;
    *pqBoxHeader = s.stHeader;
    s.usStreamType = s.stHeader.usSampleStreamType;
    s.ulCts = s.stHeader.ulSampleCts;
    s.llClock = RunClockOf(s.ulCts);
    UINT32 boxSize = s.stHeader.ulBoxSize < ulReadLength ? s.stHeader.ulBoxSize : ulReadLength;
    s.pucPayload = pucBox + QBOX_HEADER_SIZE;
    s.ulPayloadSize = boxSize > QBOX_HEADER_SIZE ? boxSize - QBOX_HEADER_SIZE : 0;
    if (s.bUsable && s.usStreamType == QBOX_STREAM_VIDEO)
        TakeVideoUnits(&s);
    else if (s.bUsable && s.usStreamType == QBOX_STREAM_AUDIO)
        TakeAudioFrame(&s);
    *pSample = s;
    return s.bUsable ? 1 : 0;
}
