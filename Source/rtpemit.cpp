// The emit step shared by the RTP packetisers.
#include "rtpemit.h"

#include "byteorder.h"

namespace {

const UINT8 RTP_VERSION_BITS = 2 << 6;  // V 2, P 0, X 0, CC 0
const UINT8 RTP_MARKER_BIT = 0x80;

tRtpStream* streams[RTP_MEDIUM_COUNT] = {};

bool IsMedium(int medium)
{
    return medium >= 0 && medium < RTP_MEDIUM_COUNT;
}

}  // namespace

UINT8* PutRtpHeader(UINT8* p, bool bMarker, UINT8 ucPayloadType, UINT16 usSeq, UINT32 ulTime, UINT32 ulSsrc)
{
    *p++ = RTP_VERSION_BITS;
    *p++ = (UINT8)((bMarker ? RTP_MARKER_BIT : 0) | (ucPayloadType & 0x7F));  // M, PT
    p = WriteBE16(p, usSeq);    // sequence number
    p = WriteBE32(p, ulTime);   // timestamp
    return WriteBE32(p, ulSsrc);  // SSRC
}

void RtpAttach(tRtpMedium medium, tRtpStream* pStream)
{
    if (!IsMedium(medium) || pStream == nullptr)
        return;
    for (tRtpStream* s = streams[medium]; s != nullptr; s = s->pNext)
        if (s == pStream)
            return;
    pStream->pNext = streams[medium];
    streams[medium] = pStream;
}

void RtpDetach(tRtpMedium medium, tRtpStream* pStream)
{
    if (!IsMedium(medium))
        return;
    for (tRtpStream** link = &streams[medium]; *link != nullptr; link = &(*link)->pNext) {
        if (*link == pStream) {
            *link = pStream->pNext;
            pStream->pNext = nullptr;
            return;
        }
    }
}

bool RtpHasStreams(tRtpMedium medium)
{
    return IsMedium(medium) && streams[medium] != nullptr;
}

tRtpStream* RtpFirstStream(tRtpMedium medium)
{
    return IsMedium(medium) ? streams[medium] : nullptr;
}

void RtpEmitTo(tRtpStream* pStream, const tRtpPayload* pPayload)
{
    if (pStream->bWaitForRandomAccess && pPayload->bRandomAccess)
        pStream->bWaitForRandomAccess = false;
    if (pStream->bWaitForRandomAccess)
        return;
    UINT8 header[RTP_FIXED_HEADER_SIZE];
    PutRtpHeader(header, pPayload->bMarker, pStream->ucPayloadType, pStream->usNextSeq++, pPayload->ulRtpTime,
                 pStream->ulSsrc);
    pStream->pfnDeliver(pStream, header, pPayload);
}

void RtpEmit(tRtpMedium medium, const tRtpPayload* pPayload)
{
    if (!IsMedium(medium))
        return;
    for (tRtpStream* s = streams[medium]; s != nullptr;) {
        // The transport may take its stream off while it delivers (a
        // connection that failed): the next one is known first.
        tRtpStream* next = s->pNext;
        RtpEmitTo(s, pPayload);
        s = next;
    }
}

void RtpFlush(tRtpMedium medium)
{
    if (!IsMedium(medium))
        return;
    for (tRtpStream* s = streams[medium]; s != nullptr;) {
        tRtpStream* next = s->pNext;
        if (s->pfnFlush != nullptr)
            s->pfnFlush(s);
        s = next;
    }
}
