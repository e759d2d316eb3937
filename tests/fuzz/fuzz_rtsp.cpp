// The RTSP server's request parser and session state machine over
// arbitrary bytes: one client connection (a socket pair, the far end read
// and checked) takes the input in pieces, as a network would cut it, with
// time passing between them; the sessions it sets up are played, paused,
// torn down, expired and sent packets over TCP, UDP and multicast.
// Session ids are 64 random bits a fuzzer cannot guess: sixteen '0' in the
// input stand for the id of the latest session an answer named.
// Every answer must be a whole RTSP/1.0 status line with a known status,
// the input buffer never overflows, and at the end every session ends with
// its connection.
//
// Input: a media byte (-m: 1 + byte % 3), then records (a 2-byte big-endian
// length and that many bytes) whose first byte says what happens: low 2
// bits 0..2, the rest of the record arrives on the connection; 3, the
// timers run and one H.264 and one AAC packet go to the playing streams;
// the high 6 bits advance the clock by that many 100 ms.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "Rtp.h"
#include "captureparams.h"
#include "codecs.h"
#include "fuzz_common.h"
#include "netserver.h"
#include "rtsprequest.h"
#include "rtspsession.h"

namespace {

const UINT8 SPS[] = {0x67, 0x42, 0xc0, 0x0d, 0xda, 0x05, 0x07, 0xec, 0x04, 0x40, 0x00, 0x00,
                     0x03, 0x00, 0x40, 0x00, 0x00, 0x0f, 0x03, 0xc5, 0x0a, 0xa8};
const UINT8 PPS[] = {0x68, 0xce, 0x3c, 0x80};
const UINT32 SESSIONS = 4;
const INT64 TICK_MS = 100;

stInputParameters input;
tNetServer server;

void Setup()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    VideoCodecTakeUnit(RunVideoCodec(), SPS, sizeof(SPS));
    VideoCodecTakeUnit(RunVideoCodec(), PPS, sizeof(PPS));
    input.ulVideo_Frame_Width = 320;
    input.ulVideo_Frame_Height = 240;
    input.ulVideo_Frame_Rate = 30;
    server.szName = "RTSP";
    server.stHooks = {RtspInput, RtspClosed};
}

char latestId[RTSP_SESSION_ID_SIZE] = "0000000000000000";
const char* const ID_STAND_IN = "0000000000000000";

void TakeId(const char* pc, size_t size)
{
    const char* const HEADER = "Session: ";
    for (size_t i = 0; i + 9 + RTSP_SESSION_ID_SIZE - 1 <= size; i++)
        if (memcmp(pc + i, HEADER, 9) == 0)
            memcpy(latestId, pc + i + 9, RTSP_SESSION_ID_SIZE - 1);
}

void PutIds(char* pc, size_t size)
{
    for (size_t i = 0; i + RTSP_SESSION_ID_SIZE - 1 <= size; i++)
        if (memcmp(pc + i, ID_STAND_IN, RTSP_SESSION_ID_SIZE - 1) == 0)
            memcpy(pc + i, latestId, RTSP_SESSION_ID_SIZE - 1);
}

// The answers so far: each must open with a status line of RFC 2326.
void CheckAnswers(int fd, bool* pbAtLineStart)
{
    char buffer[65536];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
        // Interleaved packets are framed; answers start with the version.
        if (*pbAtLineStart && buffer[0] != '$') {
            FUZZ_CHECK(got >= 12 && memcmp(buffer, "RTSP/1.0 ", 9) == 0);
            FUZZ_CHECK(buffer[9] >= '2' && buffer[9] <= '5');
        }
        *pbAtLineStart = false;
        TakeId(buffer, (size_t)got);
    }
}

void Emit(INT64 llNowMs)
{
    static const UINT8 body[] = {0x65, 0x88, 0x84, 0x00};
    tRtpPayload payload = tRtpPayload();
    payload.pucBody = body;
    payload.ulBodySize = sizeof(body);
    payload.ulRtpTime = (UINT32)(llNowMs * 90);
    payload.bTimed = payload.bMarker = payload.bRandomAccess = true;
    RtpEmit(RTP_MEDIUM_H264, &payload);
    RtpFlush(RTP_MEDIUM_H264);
    payload.bRandomAccess = false;
    RtpEmit(RTP_MEDIUM_AAC, &payload);
    RtpFlush(RTP_MEDIUM_AAC);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Setup();
    FuzzCursor in(data, size);
    input.ulMediaFormat = 1 + in.Byte() % 3;
    tRtspConfig config = {&input, 8554, "239.255.0.1", 0, 60};
    RtspRequestsConfigure(&config);
    FUZZ_CHECK(RtspSessionsOpen(SESSIONS) == 0);
    int pair[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair) == 0);
    tNetConnection* c = new tNetConnection();
    c->fd = pair[0];
    c->pServer = &server;
    c->stWatch.iSlot = -1;
    strcpy(c->szPeer, "127.0.0.1");
    strcpy(c->szLocal, "127.0.0.1");
    FUZZ_CHECK(NetQueueInit(&c->stOutput, 65536));
    INT64 now = 1000;
    bool atLineStart = true;
    memcpy(latestId, ID_STAND_IN, sizeof(latestId));
    while (!in.Empty() && !c->bCloseWhenSent) {
        FuzzBytes record = in.Record();
        if (record.empty())
            continue;
        now += (record[0] >> 2) * TICK_MS;
        if ((record[0] & 3) == 3) {
            RtspSessionsTick(now, (INT64)config.ulTimeoutS * 1000);
            RtspRequestsTick(&server, now);
            Emit(now);
        } else {
            UINT32 n = (UINT32)record.size() - 1;
            if (n > sizeof(c->acInput) - c->ulInputUsed)
                n = sizeof(c->acInput) - c->ulInputUsed;
            memcpy(c->acInput + c->ulInputUsed, record.data() + 1, n);
            PutIds(c->acInput + c->ulInputUsed, n);
            c->ulInputUsed += n;
            atLineStart = true;
            FUZZ_CHECK(RtspInput(c, now) == 0);
        }
        FUZZ_CHECK(c->ulInputUsed <= sizeof(c->acInput));
        CheckAnswers(pair[1], &atLineStart);
        // A full buffer the protocol left unconsumed closes the connection.
        if (c->ulInputUsed == sizeof(c->acInput))
            break;
    }
    RtspClosed(c);
    RtspSessionsClose();
    FUZZ_CHECK(RtspSessionsCount() == 0);
    NetQueueFree(&c->stOutput);
    close(pair[0]);
    close(pair[1]);
    delete c;
    return 0;
}
