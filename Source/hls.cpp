// HLS media segments in memory and the live playlist (RFC 8216).
#include "hls.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "QBox.h"
#include "mpgTSWriter.h"
#include "sample.h"
#include "tspacket.h"

namespace {

const INT64 TICKS_PER_S = QBOX_CLOCK_HZ;
// EXTINF rounded to the nearest second must not pass the target (4.3.3.1).
const INT64 ROUNDING_ALLOWANCE_TICKS = TICKS_PER_S * 49 / 100;
const UINT32 RING_SLOTS = HLS_KEPT_SEGMENTS + 1;  // the kept ones and the one being filled

struct tSegmentSlot {
    std::vector<UINT8> bytes;
    UINT64 ullSequence;
    INT64 llStartClock;   // 90 kHz, the run's clock
    INT64 llEndClock;     // the next segment's start
    INT64 llWallMs;       // when its first sample came from the device
    bool bIndependent;    // starts at a random access point
};

struct tSegmenter {
    bool bOpen;
    tTSSink stSink;
    tSegmentSlot slots[RING_SLOTS];
    UINT64 ullFilling;    // the sequence number of the segment being filled
    bool bFilling;
    UINT32 ulTargetS;
    INT64 llCutTicks;     // a random access point this far in ends the segment
};
tSegmenter seg;

INT64 WallNowMs()
{
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_REALTIME, &now);
    return (INT64)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

tSegmentSlot& SlotOf(UINT64 ullSequence)
{
    return seg.slots[ullSequence % RING_SLOTS];
}

void StartSegment(INT64 llClock, bool bRandomAccess)
{
    tSegmentSlot& slot = SlotOf(seg.ullFilling);
    slot.bytes.clear();
    slot.ullSequence = seg.ullFilling;
    slot.llStartClock = slot.llEndClock = llClock;
    slot.llWallMs = WallNowMs();
    slot.bIndependent = bRandomAccess;
    seg.bFilling = true;
}

// Whether the packets about to come end the segment being filled.
bool CutDue(const tSegmentSlot& slot, INT64 llClock, UINT32 ulBytes, bool bRandomAccess)
{
    INT64 elapsed = llClock - slot.llStartClock;
    if (bRandomAccess && elapsed >= seg.llCutTicks)
        return true;
    return elapsed >= (INT64)seg.ulTargetS * TICKS_PER_S + ROUNDING_ALLOWANCE_TICKS ||
           slot.bytes.size() + ulBytes > HLS_MAX_SEGMENT_BYTES;
}

void TakePackets(void*, const UINT8* pucPackets, UINT32 ulCount, UINT32 ulCts, bool bRandomAccess)
{
    INT64 clock = RunClockOf(ulCts);
    UINT32 bytes = ulCount * TS_PACKET_SIZE;
    if (!seg.bFilling) {
        if (!bRandomAccess)
            return;  // the first segment starts where a player can
        StartSegment(clock, true);
    } else if (CutDue(SlotOf(seg.ullFilling), clock, bytes, bRandomAccess)) {
        SlotOf(seg.ullFilling).llEndClock = clock;
        seg.ullFilling++;
        StartSegment(clock, bRandomAccess);
    }
    tSegmentSlot& slot = SlotOf(seg.ullFilling);
    if (slot.bytes.size() + bytes <= HLS_MAX_SEGMENT_BYTES)
        slot.bytes.insert(slot.bytes.end(), pucPackets, pucPackets + bytes);
}

// The finished segments the playlist lists: [first, end).
void Listed(UINT64* pullFirst, UINT64* pullEnd)
{
    *pullEnd = seg.bFilling ? seg.ullFilling : 0;
    *pullFirst = *pullEnd > HLS_PLAYLIST_SEGMENTS ? *pullEnd - HLS_PLAYLIST_SEGMENTS : 0;
}

}  // namespace

bool HlsOpen(UINT32 ulIFrameInterval, UINT32 ulFrameRate)
{
    HlsClose();
    INT64 gopTicks = ulFrameRate > 0 ? (INT64)ulIFrameInterval * TICKS_PER_S / ulFrameRate : 0;
    INT64 target = (gopTicks + TICKS_PER_S - 1) / TICKS_PER_S;
    seg.ulTargetS = target < 1 ? 1 : target > HLS_MAX_TARGET_S ? HLS_MAX_TARGET_S : (UINT32)target;
    // Cut at the random access point nearest the target.
    seg.llCutTicks = (INT64)seg.ulTargetS * TICKS_PER_S - gopTicks / 2;
    for (tSegmentSlot& slot : seg.slots) {
        slot.bytes.clear();
        slot.bytes.reserve(HLS_MAX_SEGMENT_BYTES / 16);
    }
    seg.ullFilling = 0;
    seg.bFilling = false;
    seg.stSink = {TakePackets, nullptr, nullptr};
    TSAttachSink(&seg.stSink);
    seg.bOpen = true;
    return true;
}

void HlsClose()
{
    if (!seg.bOpen)
        return;
    TSDetachSink(&seg.stSink);
    for (tSegmentSlot& slot : seg.slots)
        std::vector<UINT8>().swap(slot.bytes);
    seg.bOpen = false;
    seg.bFilling = false;
}

UINT32 HlsPlaylist(char* pcOut, UINT32 ulSize)
{
    UINT64 first, end;
    Listed(&first, &end);
    if (end == first || ulSize == 0)
        return 0;
    bool independent = true;
    for (UINT64 s = first; s < end; s++)
        independent = independent && SlotOf(s).bIndependent;
    int used = snprintf(pcOut, ulSize, "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:%u\n"
                        "#EXT-X-MEDIA-SEQUENCE:%llu\n%s", seg.ulTargetS, (unsigned long long)first,
                        independent ? "#EXT-X-INDEPENDENT-SEGMENTS\n" : "");
    for (UINT64 s = first; s < end && used > 0 && (UINT32)used < ulSize; s++) {
        const tSegmentSlot& slot = SlotOf(s);
        char when[32];
        HlsPutDateTime(when, sizeof(when), slot.llWallMs);
        double seconds = (double)(slot.llEndClock - slot.llStartClock) / TICKS_PER_S;
        used += snprintf(pcOut + used, ulSize - (UINT32)used, "#EXT-X-PROGRAM-DATE-TIME:%s\n#EXTINF:%.3f,\nlive/%llu.ts\n",
                         when, seconds > 0 ? seconds : 0.0, (unsigned long long)s);
    }
    return used > 0 && (UINT32)used < ulSize ? (UINT32)used : 0;
}

bool HlsSegmentKept(UINT64 ullSequence)
{
    return seg.bFilling && ullSequence < seg.ullFilling && seg.ullFilling - ullSequence <= HLS_KEPT_SEGMENTS;
}

bool HlsFindSegment(UINT64 ullSequence, tHlsSegment* pSegment)
{
    if (!HlsSegmentKept(ullSequence))
        return false;
    const tSegmentSlot& slot = SlotOf(ullSequence);
    *pSegment = {ullSequence, slot.bytes.data(), (UINT32)slot.bytes.size()};
    return true;
}

UINT64 HlsSegmentsFinished()
{
    return seg.bFilling ? seg.ullFilling : 0;
}

UINT32 HlsTargetDuration()
{
    return seg.ulTargetS;
}

void HlsPutDateTime(char* pcOut, UINT32 ulSize, INT64 llEpochMs)
{
    time_t seconds = (time_t)(llEpochMs / 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    snprintf(pcOut, ulSize, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec, (int)(llEpochMs % 1000));
}
