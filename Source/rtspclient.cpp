// What an RTSP server sends its client, and the client's requests.
#include "rtspclient.h"

#include <cstring>

#include "byteorder.h"

namespace {

const char* const USER_AGENT = "Vozirev capture";
const UINT32 NUMBER_DIGITS_MAX = 9;

// Decimal digits only, at most ulMax.
bool SpanNumber(const tTextSpan& span, UINT32 ulMax, UINT32* pulValue)
{
    if (span.ulSize == 0 || span.ulSize > NUMBER_DIGITS_MAX)
        return false;
    UINT32 value = 0;
    for (UINT32 i = 0; i < span.ulSize; i++) {
        if (span.pc[i] < '0' || span.pc[i] > '9')
            return false;
        value = value * 10 + (UINT32)(span.pc[i] - '0');
    }
    if (value > ulMax)
        return false;
    *pulValue = value;
    return true;
}

tTextSpan TrimBlanks(tTextSpan span)
{
    while (span.ulSize > 0 && (span.pc[0] == ' ' || span.pc[0] == '\t')) {
        span.pc++;
        span.ulSize--;
    }
    while (span.ulSize > 0 && (span.pc[span.ulSize - 1] == ' ' || span.pc[span.ulSize - 1] == '\t'))
        span.ulSize--;
    return span;
}

// '$', channel, 16-bit length (RFC 2326, 10.12). A frame that will fit
// the buffer waits until it is whole; a longer one is passed over.
tRtspInputKind TakeInterleaved(const char* pcBuffer, UINT32 ulSize, tRtspInput* pInput)
{
    if (ulSize < RTSP_INTERLEAVED_HEADER_SIZE)
        return RTSP_INPUT_INCOMPLETE;
    const UINT8* bytes = reinterpret_cast<const UINT8*>(pcBuffer);
    UINT32 total = RTSP_INTERLEAVED_HEADER_SIZE + ReadBE16(bytes + 2);
    pInput->ucChannel = bytes[1];
    pInput->ulDataSize = total - RTSP_INTERLEAVED_HEADER_SIZE;
    if (total <= ulSize) {
        pInput->pucData = bytes + RTSP_INTERLEAVED_HEADER_SIZE;
        pInput->ulConsumed = total;
    } else if (total <= TEXT_BUFFER_SIZE) {
        return RTSP_INPUT_INCOMPLETE;
    } else {
        pInput->ulConsumed = ulSize;
        pInput->ulSkip = total - ulSize;
    }
    pInput->eKind = RTSP_INPUT_INTERLEAVED;
    return RTSP_INPUT_INTERLEAVED;
}

}  // namespace

tRtspInputKind RtspClientTake(const char* pcBuffer, UINT32 ulSize, tRtspInput* pInput)
{
    pInput->eKind = RTSP_INPUT_INCOMPLETE;
    pInput->ulConsumed = 0;
    pInput->pucData = nullptr;
    pInput->ulDataSize = 0;
    pInput->ulSkip = 0;
    // Empty lines between messages are passed over (RFC 9112, 2.2).
    UINT32 blank = 0;
    while (blank < ulSize && (pcBuffer[blank] == '\r' || pcBuffer[blank] == '\n'))
        blank++;
    const char* pc = pcBuffer + blank;
    UINT32 size = ulSize - blank;
    if (size == 0)
        return RTSP_INPUT_INCOMPLETE;
    if ((UINT8)pc[0] == RTSP_INTERLEAVED_MAGIC) {
        tRtspInputKind kind = TakeInterleaved(pc, size, pInput);
        pInput->ulConsumed += kind == RTSP_INPUT_INTERLEAVED ? blank : 0;
        return kind;
    }
    const UINT32 PREFIX = 5;  // "RTSP/"
    if (size < PREFIX && memcmp(pc, RTSP_VERSION, size) == 0)
        return RTSP_INPUT_INCOMPLETE;
    bool response = size >= PREFIX && memcmp(pc, RTSP_VERSION, PREFIX) == 0;
    UINT32 status = 0;
    int result = TextParse(pc, size, !response, RTSP_VERSION, TEXT_BUFFER_SIZE, &pInput->stMessage, &status);
    if (result == TEXT_INCOMPLETE)
        return RTSP_INPUT_INCOMPLETE;
    pInput->eKind = result == TEXT_COMPLETE ? (response ? RTSP_INPUT_RESPONSE : RTSP_INPUT_REQUEST) : RTSP_INPUT_REFUSED;
    if (result == TEXT_COMPLETE)
        pInput->ulConsumed = blank + pInput->stMessage.ulMessageSize;
    return pInput->eKind;
}

bool RtspAnswers(const tTextMessage* pResponse, UINT32 ulCSeq)
{
    UINT64 cseq = 0;
    return TextNumber(pResponse, "CSeq", &cseq) && cseq == ulCSeq;
}

bool RtspSessionOf(const tTextMessage* pResponse, char szId[RTSP_SESSION_ID_SIZE], UINT32* pulTimeoutS)
{
    const tTextHeader* header = TextFind(pResponse, "Session");
    if (header == nullptr)
        return false;
    const tTextSpan& value = header->stValue;
    const char* semicolon = static_cast<const char*>(memchr(value.pc, ';', value.ulSize));
    tTextSpan id = TrimBlanks({value.pc, semicolon != nullptr ? (UINT32)(semicolon - value.pc) : value.ulSize});
    if (id.ulSize == 0 || id.ulSize >= RTSP_SESSION_ID_SIZE)
        return false;
    for (UINT32 i = 0; i < id.ulSize; i++)
        if ((UINT8)id.pc[i] <= ' ' || (UINT8)id.pc[i] >= 0x7F)
            return false;
    tTextSpan timeout;
    UINT32 seconds = RTSP_DEFAULT_SESSION_TIMEOUT_S;
    if (semicolon != nullptr) {
        tTextSpan rest = {semicolon + 1, value.ulSize - (UINT32)(semicolon + 1 - value.pc)};
        if (TextParameter(rest, "timeout", &timeout) && !SpanNumber(timeout, 0xFFFFFFFFu, &seconds))
            return false;
    }
    TextCopy(id, szId, RTSP_SESSION_ID_SIZE);
    *pulTimeoutS = seconds > 0 ? seconds : RTSP_DEFAULT_SESSION_TIMEOUT_S;
    return true;
}

bool RtspTransportPair(const tTextMessage* pResponse, const char* szName, UINT32 ulMax, UINT32* pulLow,
                       UINT32* pulHigh)
{
    const tTextHeader* header = TextFind(pResponse, "Transport");
    tTextSpan value;
    if (header == nullptr || !TextParameter(header->stValue, szName, &value))
        return false;
    const char* dash = static_cast<const char*>(memchr(value.pc, '-', value.ulSize));
    tTextSpan low = {value.pc, dash != nullptr ? (UINT32)(dash - value.pc) : value.ulSize};
    if (!SpanNumber(low, ulMax, pulLow))
        return false;
    if (dash == nullptr) {
        *pulHigh = *pulLow + 1;
        return *pulHigh <= ulMax;
    }
    tTextSpan high = {dash + 1, value.ulSize - low.ulSize - 1};
    return SpanNumber(high, ulMax, pulHigh);
}

bool RtspPublicHas(const tTextMessage* pResponse, const char* szMethod)
{
    const tTextHeader* header = TextFind(pResponse, "Public");
    if (header == nullptr)
        return false;
    const char* p = header->stValue.pc;
    const char* end = p + header->stValue.ulSize;
    while (p < end) {
        const char* comma = static_cast<const char*>(memchr(p, ',', (size_t)(end - p)));
        const char* itemEnd = comma != nullptr ? comma : end;
        if (TextIs(TrimBlanks({p, (UINT32)(itemEnd - p)}), szMethod))
            return true;
        p = itemEnd + 1;
    }
    return false;
}

void RtspPutRequest(tTextOut* pOut, const char* szMethod, const char* szUri, UINT32 ulCSeq, const char* szSession)
{
    TextPut(pOut, "%s %s " RTSP_VERSION "\r\nCSeq: %u\r\nUser-Agent: %s\r\n", szMethod, szUri, (unsigned int)ulCSeq,
            USER_AGENT);
    if (szSession[0] != '\0')
        TextPut(pOut, "Session: %s\r\n", szSession);
}
