// The live view's HTTP Live Streaming (RFC 8216): a sink of the transport-
// stream multiplex (mpgTSWriter.h) that cuts its packets into MPEG-TS media
// segments in memory and describes the last few in a live media playlist.
// Nothing of it touches the card.
//
//   multiplex runs ──► current segment ──(random access point, and the
//                       (packets)          segment has its length)──► ring of
//                                          HLS_KEPT_SEGMENTS finished ones
//
// A segment starts where the multiplex marks a random access point (PAT
// and PMT in front of an access unit that starts with SPS or an IDR
// picture; any audio frame when there is no video), so each one decodes on
// its own (RFC 8216, 4.3.3.1, EXT-X-INDEPENDENT-SEGMENTS). It ends at the
// first such point at which it is long enough: about the target duration,
// which is worked out once from the I-frame interval and the frame rate
// and never changes (4.3.3.1). A stream whose next random access point
// does not come within the target (a GOP longer than HLS_MAX_TARGET_S), or
// that would outgrow HLS_MAX_SEGMENT_BYTES, is cut without one, so that no
// EXTINF passes the target; the playlist then no longer claims independent
// segments. The packets run on across every cut (continuity counters,
// time stamps): no segment needs a discontinuity.
//
// Each segment carries the wall-clock time at which its first sample left
// the device (EXT-X-PROGRAM-DATE-TIME, 4.3.2.6): a player that shows it
// tells the time from the device to the picture.
#ifndef VOZIREV_HLS_H
#define VOZIREV_HLS_H

#include "Types.h"

const UINT32 HLS_KEPT_SEGMENTS = 6;      // in memory: the playlist's and two a slow client may still fetch
const UINT32 HLS_PLAYLIST_SEGMENTS = 4;  // in the live playlist
const UINT32 HLS_MAX_TARGET_S = 10;
const UINT32 HLS_MAX_SEGMENT_BYTES = 8u << 20;
const UINT32 HLS_PLAYLIST_SIZE = 2048;

// Starts the segmenter on the multiplex: ulTargetS from the I-frame
// interval (frames) and frame rate, 1 to HLS_MAX_TARGET_S. false when the
// memory cannot be had.
bool HlsOpen(UINT32 ulIFrameInterval, UINT32 ulFrameRate);
void HlsClose();

// The live playlist, with segment URIs "live/SEQUENCE.ts" relative to its
// own. Its size, 0 before the first segment is finished.
UINT32 HlsPlaylist(char* pcOut, UINT32 ulSize);

// A finished segment still kept, by media sequence number: its bytes stay
// valid until HlsSegmentKept says otherwise.
struct tHlsSegment {
    UINT64 ullSequence;
    const UINT8* pucData;
    UINT32 ulSize;
};
bool HlsFindSegment(UINT64 ullSequence, tHlsSegment* pSegment);
bool HlsSegmentKept(UINT64 ullSequence);

// Figures: segments finished and the newest's media sequence number.
UINT64 HlsSegmentsFinished();
UINT32 HlsTargetDuration();

// "2026-12-09T03:49:12.123Z": epoch milliseconds as ISO 8601 UTC, as
// EXT-X-PROGRAM-DATE-TIME (4.3.2.6) and the status give times.
void HlsPutDateTime(char* pcOut, UINT32 ulSize, INT64 llEpochMs);

#endif
