// What a media server sends the publisher, through RtspClientTake and the
// field readers, the way the publisher's connection takes it: bytes arrive
// in pieces into a TEXT_BUFFER_SIZE buffer, whole items leave its front, an
// interleaved frame too long for it is passed over as its bytes arrive, and
// a refusal ends the connection (the buffer starts afresh). Each response is
// read for CSeq, Session, Transport and Public, and its challenge taken and
// answered.
//
// Input: records (fuzz_common.h), each a piece of the server's bytes as
// one recv() would return it.
#include <cstdint>
#include <cstring>

#include "auth.h"
#include "fuzz_common.h"
#include "rtspclient.h"

namespace {

bool Inside(const char* p, UINT32 n, const char* pcBuffer, UINT32 ulSize)
{
    return n == 0 || (p >= pcBuffer && p + n <= pcBuffer + ulSize);
}

void CheckMessage(const tTextMessage& m, const char* pcBuffer, UINT32 ulConsumed)
{
    FUZZ_CHECK(m.ulHeaderCount <= TEXT_MAX_HEADERS);
    for (UINT32 i = 0; i < m.ulHeaderCount; i++) {
        FUZZ_CHECK(Inside(m.stHeaders[i].stName.pc, m.stHeaders[i].stName.ulSize, pcBuffer, ulConsumed));
        FUZZ_CHECK(Inside(m.stHeaders[i].stValue.pc, m.stHeaders[i].stValue.ulSize, pcBuffer, ulConsumed));
    }
    FUZZ_CHECK(Inside(m.stBody.pc, m.stBody.ulSize, pcBuffer, ulConsumed));
}

// The readers the publisher applies to a response, and what they promise.
void ReadResponse(const tTextMessage& m)
{
    FUZZ_CHECK(m.ulStatus <= 999);
    RtspAnswers(&m, 1);
    char id[RTSP_SESSION_ID_SIZE];
    UINT32 timeout = 0;
    if (RtspSessionOf(&m, id, &timeout)) {
        size_t n = strnlen(id, sizeof(id));
        FUZZ_CHECK(n > 0 && n < sizeof(id) && timeout > 0);
        for (size_t i = 0; i < n; i++)
            FUZZ_CHECK((unsigned char)id[i] > ' ' && (unsigned char)id[i] < 0x7F);
    }
    UINT32 low = 0, high = 0;
    if (RtspTransportPair(&m, "interleaved", 255, &low, &high))
        FUZZ_CHECK(low <= 255 && high <= 255);
    if (RtspTransportPair(&m, "server_port", 65535, &low, &high))
        FUZZ_CHECK(low <= 65535 && high <= 65535);
    RtspPublicHas(&m, "GET_PARAMETER");
    tAuthClient client;
    if (AuthClientTake(&client, &m)) {
        FUZZ_CHECK(client.bDigest || client.bBasic);
        FUZZ_CHECK(strnlen(client.szNonce, AUTH_FIELD_SIZE) < AUTH_FIELD_SIZE);
        char header[1024];
        tTextOut out;
        TextOutStart(&out, header, sizeof(header));
        AuthClientPut(&client, &out, "ANNOUNCE", "rtsp://127.0.0.1:8554/live", "user", "password");
        FUZZ_CHECK(out.ulUsed < sizeof(header) && strlen(header) == out.ulUsed);
    }
}

struct tConnection {
    char acInput[TEXT_BUFFER_SIZE];
    UINT32 ulUsed;
    UINT32 ulSkip;
};

// Whole items off the front of the buffer; false when the connection ends.
bool TakeItems(tConnection* c)
{
    UINT32 offset = 0;
    for (;;) {
        const char* at = c->acInput + offset;
        UINT32 size = c->ulUsed - offset;
        tRtspInput input;
        tRtspInputKind kind = RtspClientTake(at, size, &input);
        FUZZ_CHECK(kind == input.eKind);
        if (kind == RTSP_INPUT_INCOMPLETE) {
            FUZZ_CHECK(input.ulConsumed == 0);
            break;
        }
        if (kind == RTSP_INPUT_REFUSED)
            return false;
        FUZZ_CHECK(input.ulConsumed > 0 && input.ulConsumed <= size);
        if (kind == RTSP_INPUT_INTERLEAVED) {
            if (input.pucData == nullptr)
                FUZZ_CHECK(input.ulSkip > 0 && input.ulConsumed == size &&
                           input.ulDataSize + RTSP_INTERLEAVED_HEADER_SIZE > TEXT_BUFFER_SIZE);
            else
                FUZZ_CHECK(Inside((const char*)input.pucData, input.ulDataSize, at, input.ulConsumed));
            c->ulSkip = input.ulSkip;
        } else {
            CheckMessage(input.stMessage, at, input.ulConsumed);
            if (kind == RTSP_INPUT_RESPONSE)
                ReadResponse(input.stMessage);
        }
        offset += input.ulConsumed;
    }
    memmove(c->acInput, c->acInput + offset, c->ulUsed - offset);
    c->ulUsed -= offset;
    return c->ulUsed < sizeof(c->acInput);  // a full buffer that holds no item is refused
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static tConnection c;
    c.ulUsed = c.ulSkip = 0;
    FuzzCursor cursor(data, size);
    while (!cursor.Empty()) {
        FuzzBytes piece = cursor.Record();
        size_t at = 0;
        while (at < piece.size()) {
            UINT32 room = (UINT32)(sizeof(c.acInput) - c.ulUsed);
            UINT32 n = piece.size() - at < room ? (UINT32)(piece.size() - at) : room;
            memcpy(c.acInput + c.ulUsed, piece.data() + at, n);
            c.ulUsed += n;
            at += n;
            UINT32 skip = c.ulSkip < c.ulUsed ? c.ulSkip : c.ulUsed;
            memmove(c.acInput, c.acInput + skip, c.ulUsed - skip);
            c.ulUsed -= skip;
            c.ulSkip -= skip;
            if (!TakeItems(&c))
                c.ulUsed = c.ulSkip = 0;
        }
    }
    return 0;
}
