// The text protocol core as RTSP and HTTP clients send to it: whole,
// partial and pipelined requests, the limits, and the parameters of
// Transport and WWW-Authenticate.
#include <gtest/gtest.h>

#include <string>

#include "textproto.h"

namespace {

struct Parsed {
    int result;
    UINT32 status;
    tTextMessage message;
};

// The message points into text, which the caller keeps.
Parsed Parse(const std::string& text, bool request = true, UINT32 maxBody = 4096)
{
    Parsed p = {};
    p.result = TextParse(text.data(), (UINT32)text.size(), request, request ? "RTSP/1.0" : "RTSP/1.0", maxBody,
                         &p.message, &p.status);
    return p;
}

std::string Str(const tTextSpan& span)
{
    return std::string(span.pc, span.ulSize);
}

TEST(TextParse, RequestsWholePartialAndPipelined)
{
    const std::string first = "OPTIONS rtsp://h/live RTSP/1.0\r\nCSeq: 1\r\nUser-Agent:  x y \r\n\r\n";
    const std::string second = "SET_PARAMETER rtsp://h/live RTSP/1.0\nCSeq: 2\nContent-Length: 4\n\nab\r\n";
    std::string both = first + second;
    for (size_t cut = 0; cut < first.size(); cut++)
        EXPECT_EQ(TEXT_INCOMPLETE, Parse(first.substr(0, cut)).result) << cut;
    Parsed p = Parse(both);
    ASSERT_EQ(TEXT_COMPLETE, p.result);
    EXPECT_EQ(first.size(), p.message.ulMessageSize);
    EXPECT_EQ("OPTIONS", Str(p.message.stMethod));
    EXPECT_EQ("rtsp://h/live", Str(p.message.stTarget));
    EXPECT_EQ("x y", Str(TextFind(&p.message, "user-agent")->stValue));
    UINT64 cseq = 0;
    EXPECT_TRUE(TextNumber(&p.message, "CSEQ", &cseq));
    EXPECT_EQ(1u, cseq);
    // The second, with a bare-LF header section and its body.
    std::string rest = both.substr(p.message.ulMessageSize);
    Parsed q = Parse(rest);
    ASSERT_EQ(TEXT_COMPLETE, q.result);
    EXPECT_EQ("ab\r\n", Str(q.message.stBody));
    EXPECT_EQ(TEXT_INCOMPLETE, Parse(second.substr(0, second.size() - 1)).result);

    const std::string response = "RTSP/1.0 401 Unauthorized\r\nCSeq: 3\r\n\r\n";
    Parsed r = Parse(response, false);
    ASSERT_EQ(TEXT_COMPLETE, r.result);
    EXPECT_EQ(401u, r.message.ulStatus);
    EXPECT_EQ("Unauthorized", Str(r.message.stReason));
}

TEST(TextParse, RefusesWhatItCannotTakeWithTheStatusThatSaysWhy)
{
    struct {
        std::string text;
        UINT32 status;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", TEXT_STATUS_BAD_VERSION},
        {"OPTIONS  rtsp://h RTSP/1.0\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPT\x01IONS * RTSP/1.0\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPTIONS * RTSP/1.0\r\n folded: x\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPTIONS * RTSP/1.0\r\nNo colon\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPTIONS * RTSP/1.0\r\nX: a\x7f\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPTIONS * RTSP/1.0\r\nContent-Length: 5000\r\n\r\n", TEXT_STATUS_TOO_LARGE},
        {"OPTIONS * RTSP/1.0\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPTIONS * RTSP/1.0\r\nContent-Length: -1\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPTIONS * RTSP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", TEXT_STATUS_BAD_REQUEST},
        {"OPTIONS /" + std::string(TEXT_MAX_START_LINE, 'a') + " RTSP/1.0\r\n\r\n", TEXT_STATUS_URI_TOO_LONG},
        {"OPTIONS /" + std::string(TEXT_MAX_START_LINE, 'a'), TEXT_STATUS_URI_TOO_LONG},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.text);
        EXPECT_EQ(TEXT_REFUSED, p.result) << c.text.substr(0, 60);
        EXPECT_EQ(c.status, p.status) << c.text.substr(0, 60);
    }
    std::string many = "OPTIONS * RTSP/1.0\r\n";
    for (UINT32 i = 0; i <= TEXT_MAX_HEADERS; i++)
        many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(TEXT_STATUS_HEADERS_TOO_LARGE, Parse(many + "\r\n").status);
    // A header section that never ends within the buffer.
    std::string endless = "OPTIONS * RTSP/1.0\r\nX: " + std::string(TEXT_BUFFER_SIZE, 'v');
    EXPECT_EQ(TEXT_STATUS_HEADERS_TOO_LARGE, Parse(endless).status);
}

TEST(TextParameter, TransportAndChallengeParameters)
{
    std::string transport = "RTP/AVP;unicast;client_port=5000-5001;mode=\"PLAY\"";
    tTextSpan list = {transport.data(), (UINT32)transport.size()};
    tTextSpan value;
    ASSERT_TRUE(TextParameter(list, "client_port", &value));
    EXPECT_EQ("5000-5001", Str(value));
    ASSERT_TRUE(TextParameter(list, "mode", &value));
    EXPECT_EQ("PLAY", Str(value));
    ASSERT_TRUE(TextParameter(list, "unicast", &value));
    EXPECT_EQ("", Str(value));
    EXPECT_FALSE(TextParameter(list, "interleaved", &value));

    std::string challenge = "Digest realm=\"a, b\", nonce=\"n1\", qop=\"auth,auth-int\"";
    tTextSpan c = {challenge.data(), (UINT32)challenge.size()};
    ASSERT_TRUE(TextParameter(c, "realm", &value));
    EXPECT_EQ("a, b", Str(value));
    ASSERT_TRUE(TextParameter(c, "qop", &value));
    EXPECT_EQ("auth,auth-int", Str(value));
}

}  // namespace
