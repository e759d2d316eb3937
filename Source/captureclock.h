// The capture clock: the encoder's QBox time stamps count 90 kHz in 32 bits
// and so wrap every 13.25 hours (2^32 / 90000 s). Everything that maps a
// stamp onto another clock over a long run (the RTP clock of the AAC
// stream, the wall clock of the RTCP sender reports) works on the stamp
// unwrapped to 64 bits here, and does so through one shared unwrapper, so
// that an audio and a video sample of the same stamp land on the same
// instant whichever came first.
#ifndef VOZIREV_CAPTURECLOCK_H
#define VOZIREV_CAPTURECLOCK_H

#include "Types.h"

// Unwraps a 32-bit capture stamp of any stream against the last one
// unwrapped: the result is the 64-bit stamp nearest to the last one (within
// +/-2^31 ticks, 6.6 hours), so audio and video stamps that interleave a
// little out of order unwrap onto one line, and unwrapping the same stamp
// again gives the same value. The first stamp of a run unwraps to itself.
INT64 UnwrapCaptureStamp(UINT32 ulStamp);

// Forgets the stamps seen: the next stamp starts the line again.
void ResetCaptureClock();

// The RTP time stamp, on a clock of ulRtpClockHz, of the instant an
// unwrapped capture stamp names: floor(stamp x clock / 90000) mod 2^32.
// For the 90 kHz clocks (H.264, MP2T) this is the QBox stamp itself; for
// 48 kHz AAC it is (stamp x 8 / 15) mod 2^32, exact to one audio sample.
UINT32 RtpStampFromCapture(INT64 llUnwrappedStamp, UINT32 ulRtpClockHz);

// Floor division (rounds toward minus infinity, also for negative
// dividends), for differences of unwrapped stamps.
INT64 FloorDivide(INT64 llDividend, INT64 llDivisor);

#endif
