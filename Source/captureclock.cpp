// The capture clock: QBox stamps unwrapped to 64 bits and carried over to
// other clocks.
#include "captureclock.h"

#include <numeric>

#include "QBox.h"

static bool m_bCaptureClockStarted = false;
static UINT32 m_ulLastStamp = 0;       // as it came, 32 bits
static INT64 m_llLastUnwrapped = 0;    // the same stamp, unwrapped

INT64 UnwrapCaptureStamp(UINT32 ulStamp)
{
    if (!m_bCaptureClockStarted) {
        m_bCaptureClockStarted = true;
        m_ulLastStamp = ulStamp;
        m_llLastUnwrapped = ulStamp;
        return m_llLastUnwrapped;
    }
    // The 32-bit difference read as signed is the step to the nearest
    // stamp, forward or back, across a wrap or not.
    INT32 lStep = (INT32)(ulStamp - m_ulLastStamp);
    m_ulLastStamp = ulStamp;
    m_llLastUnwrapped += lStep;
    return m_llLastUnwrapped;
}

void ResetCaptureClock()
{
    m_bCaptureClockStarted = false;
    m_ulLastStamp = 0;
    m_llLastUnwrapped = 0;
}

INT64 FloorDivide(INT64 llDividend, INT64 llDivisor)
{
    INT64 llQuotient = llDividend / llDivisor;
    if (llDividend % llDivisor != 0 && ((llDividend < 0) != (llDivisor < 0)))
        --llQuotient;
    return llQuotient;
}

UINT32 RtpStampFromCapture(INT64 llUnwrappedStamp, UINT32 ulRtpClockHz)
{
    // Reduced first (48000/90000 = 8/15), so that the product stays far
    // from overflow for any stamp a run can reach.
    INT64 llCommon = std::gcd((INT64)ulRtpClockHz, (INT64)QBOX_CLOCK_HZ);
    INT64 llNumerator = ulRtpClockHz / llCommon;
    INT64 llDenominator = QBOX_CLOCK_HZ / llCommon;
    // Conversion to an unsigned type is modulo 2^32, also for negatives.
    return (UINT32)FloorDivide(llUnwrappedStamp * llNumerator, llDenominator);
}
