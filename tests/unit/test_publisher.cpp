// The publisher's side of RTSP: what a server sends on the connection, read
// item by item as the connection's buffer holds it, and the fields of the
// answers the publisher acts on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rtspclient.h"

namespace {

// Every item of a byte string, as kinds: R response, Q request, I
// interleaved (with its channel and size), S an interleaved frame passed
// over, X refused.
std::string Items(const std::string& bytes)
{
    std::string kinds;
    UINT32 offset = 0;
    for (;;) {
        tRtspInput in;
        tRtspInputKind kind = RtspClientTake(bytes.data() + offset, (UINT32)bytes.size() - offset, &in);
        if (kind == RTSP_INPUT_INCOMPLETE)
            return kinds;
        if (kind == RTSP_INPUT_REFUSED)
            return kinds + "X";
        if (kind == RTSP_INPUT_INTERLEAVED && in.pucData == nullptr)
            return kinds + "S" + std::to_string(in.ulSkip);
        kinds += kind == RTSP_INPUT_RESPONSE ? "R" : kind == RTSP_INPUT_REQUEST ? "Q" : "I";
        if (kind == RTSP_INPUT_INTERLEAVED)
            kinds += std::to_string(in.ucChannel) + ":" + std::to_string(in.ulDataSize);
        offset += in.ulConsumed;
    }
}

TEST(RtspClient, ItemsOfTheConnection)
{
    std::string rr("$\x01\x00\x08RRRRRRRR", 12);
    // A response with a body, an RTCP frame, blank lines, the server's own
    // request, and the start of the next response.
    EXPECT_EQ("RI1:8QR", Items("RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Length: 3\r\n\r\nabc" + rr +
                               "\r\n\r\nOPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nRTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\nRTS"));
    // Not complete yet: half a frame header, half a status line.
    EXPECT_EQ("", Items(std::string("$\x00", 2)));
    EXPECT_EQ("", Items("RTSP/1.0 200"));
    EXPECT_EQ("", Items("RTSP"));
    // A frame longer than the buffer is passed over as it arrives.
    std::string big("$\x00\xff\xff", 4);
    EXPECT_EQ("S" + std::to_string(0xFFFF - 100), Items(big + std::string(100, 'x')));
    // Garbage, HTTP and an oversized status line end the connection.
    EXPECT_EQ("X", Items("garbage that is no RTSP\r\n\r\n"));
    EXPECT_EQ("X", Items("HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_EQ("X", Items("RTSP/1.0 200 " + std::string(TEXT_MAX_START_LINE, 'x') + "\r\n\r\n"));
}

tTextMessage Response(const std::string& text)
{
    tRtspInput in;
    EXPECT_EQ(RTSP_INPUT_RESPONSE, RtspClientTake(text.data(), (UINT32)text.size(), &in)) << text;
    return in.stMessage;
}

TEST(RtspClient, FieldsOfTheAnswers)
{
    static std::string text;  // the message points into it
    text = "RTSP/1.0 200 OK\r\nCSeq: 7\r\nSession: 8fA3-x_9;timeout=30\r\n"
           "Transport: RTP/AVP/TCP;unicast;interleaved=4-5;mode=record\r\nPublic: OPTIONS, ANNOUNCE,GET_PARAMETER\r\n\r\n";
    tTextMessage m = Response(text);
    EXPECT_TRUE(RtspAnswers(&m, 7));
    EXPECT_FALSE(RtspAnswers(&m, 8));
    char id[RTSP_SESSION_ID_SIZE];
    UINT32 timeout = 0, low = 0, high = 0;
    ASSERT_TRUE(RtspSessionOf(&m, id, &timeout));
    EXPECT_STREQ("8fA3-x_9", id);
    EXPECT_EQ(30u, timeout);
    ASSERT_TRUE(RtspTransportPair(&m, "interleaved", 255, &low, &high));
    EXPECT_EQ(4u, low);
    EXPECT_EQ(5u, high);
    EXPECT_FALSE(RtspTransportPair(&m, "server_port", 65535, &low, &high));
    EXPECT_TRUE(RtspPublicHas(&m, "GET_PARAMETER"));
    EXPECT_FALSE(RtspPublicHas(&m, "GET"));

    // No timeout: RFC 2326's 60 s; one port: its pair; values past their
    // range, and session identifiers a header line cannot repeat, refused.
    text = "RTSP/1.0 200 OK\r\nSession: 12345678\r\nTransport: RTP/AVP;unicast;server_port=7000\r\n\r\n";
    m = Response(text);
    ASSERT_TRUE(RtspSessionOf(&m, id, &timeout));
    EXPECT_EQ(RTSP_DEFAULT_SESSION_TIMEOUT_S, timeout);
    ASSERT_TRUE(RtspTransportPair(&m, "server_port", 65535, &low, &high));
    EXPECT_EQ(7001u, high);
    for (const char* bad : {"Session: ;timeout=5\r\nTransport: x;server_port=65535", "Session: a b\r\nTransport: x;server_port=70000-70001",
                            "Session: ab;timeout=x\r\nTransport: x;interleaved=300-301"}) {
        text = std::string("RTSP/1.0 200 OK\r\n") + bad + "\r\n\r\n";
        tRtspInput in;
        if (RtspClientTake(text.data(), (UINT32)text.size(), &in) != RTSP_INPUT_RESPONSE)
            continue;  // refused whole by the parser, which is fine too
        EXPECT_FALSE(RtspSessionOf(&in.stMessage, id, &timeout)) << bad;
        EXPECT_FALSE(RtspTransportPair(&in.stMessage, "server_port", 65535, &low, &high)) << bad;
        EXPECT_FALSE(RtspTransportPair(&in.stMessage, "interleaved", 255, &low, &high)) << bad;
    }
}

}  // namespace
