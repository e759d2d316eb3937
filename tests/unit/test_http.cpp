// The HTTP request reader and Range, against the rules of RFC 9112 and RFC
// 9110 (the Range examples are those of 14.1.2 for a 10000-byte
// representation); the server itself is checked end to end by
// tests/interop/http_*.sh.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "httpserver.h"

namespace {

struct tRead {
    int iResult;
    UINT32 ulStatus;
    std::string sPath;
    bool bKeepAlive;
    bool bHead;
};

tRead Read(const std::string& text)
{
    static tHttpRequest request;
    int result = HttpReadRequest(text.data(), (UINT32)text.size(), &request);
    return {result, request.ulStatus, request.szPath, request.bKeepAlive, request.bHead};
}

TEST(HttpRequest, TargetsAreReadAsTheServerActsOnThem)
{
    const struct { const char* szRequest; UINT32 ulStatus; const char* szPath; } CASES[] = {
        {"GET /recordings/a%2Db.mp4?x=/../y HTTP/1.1\r\nHost: h\r\n\r\n", 0, "/recordings/a-b.mp4"},
        {"GET http://h:80/live.m3u8 HTTP/1.1\r\nHost: h\r\n\r\n", 0, "/live.m3u8"},  // absolute form
        {"GET http://h HTTP/1.1\r\nHost: h\r\n\r\n", 0, "/"},
        {"GET /recordings/..%2Fetc HTTP/1.1\r\nHost: h\r\n\r\n", 404, ""},           // an encoded slash
        {"GET /a%5c..%5cb HTTP/1.1\r\nHost: h\r\n\r\n", 404, ""},
        {"GET /a%00b HTTP/1.1\r\nHost: h\r\n\r\n", 404, ""},
        {"GET /recordings/%2e%2e/x HTTP/1.1\r\nHost: h\r\n\r\n", 404, ""},           // a dot segment, encoded
        {"GET /recordings/. HTTP/1.1\r\nHost: h\r\n\r\n", 404, ""},
        {"GET /a..b/c. HTTP/1.1\r\nHost: h\r\n\r\n", 0, "/a..b/c."},                 // dots inside names are names
        {"GET /a%zz HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
        {"GET x HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
        {"PUT / HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nab", 405, "/"},
    };
    for (const auto& c : CASES) {
        tRead r = Read(c.szRequest);
        EXPECT_EQ(TEXT_COMPLETE, r.iResult) << c.szRequest;
        EXPECT_EQ(c.ulStatus, r.ulStatus) << c.szRequest;
        if (c.ulStatus == 0) {
            EXPECT_EQ(c.szPath, r.sPath) << c.szRequest;
        }
    }
}

TEST(HttpRequest, KeepAliveFollowsTheVersionAndConnection)
{
    EXPECT_TRUE(Read("GET / HTTP/1.1\r\nHost: h\r\n\r\n").bKeepAlive);
    EXPECT_FALSE(Read("GET / HTTP/1.1\r\nHost: h\r\nConnection: foo, Close\r\n\r\n").bKeepAlive);
    EXPECT_FALSE(Read("GET / HTTP/1.0\r\n\r\n").bKeepAlive);
    EXPECT_TRUE(Read("HEAD / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n").bKeepAlive);
    EXPECT_TRUE(Read("HEAD / HTTP/1.0\r\n\r\n").bHead);
}

TEST(HttpRequest, ListsHoldTokensWithParametersAndWeakEntityTags)
{
    static tHttpRequest request;
    std::string text = "GET / HTTP/1.1\r\nHost: h\r\nAccept: text/html, Application/JSON;q=0.9\r\n"
                       "If-None-Match: \"a\", W/\"b\"\r\n\r\n";
    ASSERT_EQ(TEXT_COMPLETE, HttpReadRequest(text.data(), (UINT32)text.size(), &request));
    EXPECT_TRUE(HttpListHas(TextFind(&request.stMessage, "Accept"), "application/json", false));
    EXPECT_FALSE(HttpListHas(TextFind(&request.stMessage, "Accept"), "application/xml", false));
    EXPECT_TRUE(HttpListHas(TextFind(&request.stMessage, "If-None-Match"), "\"b\"", true));
    EXPECT_FALSE(HttpListHas(TextFind(&request.stMessage, "If-None-Match"), "\"c\"", true));
}

TEST(HttpRequest, ARequestThatCannotBeServedIsRefusedWithItsStatus)
{
    EXPECT_EQ(TEXT_INCOMPLETE, Read("GET / HTTP/1.1\r\nHost: h\r\n").iResult);
    tRead noHost = Read("GET / HTTP/1.1\r\n\r\n");  // RFC 9112, 3.2
    EXPECT_EQ(TEXT_REFUSED, noHost.iResult);
    EXPECT_EQ(400u, noHost.ulStatus);
    EXPECT_EQ(505u, Read("GET / HTTP/2.0\r\nHost: h\r\n\r\n").ulStatus);
    EXPECT_EQ(414u, Read("GET /" + std::string(TEXT_MAX_START_LINE, 'a') + " HTTP/1.1\r\n\r\n").ulStatus);
}

// The first and last byte of a Range over 10000 bytes, or the result.
std::string Range(const char* szRange, UINT64 ullSize = 10000, const char* szIfRange = nullptr)
{
    std::string text = std::string("GET / HTTP/1.1\r\nHost: h\r\nRange: ") + szRange + "\r\n";
    if (szIfRange != nullptr)
        text += std::string("If-Range: ") + szIfRange + "\r\n";
    text += "\r\n";
    static tHttpRequest request;
    EXPECT_EQ(TEXT_COMPLETE, HttpReadRequest(text.data(), (UINT32)text.size(), &request));
    UINT64 first = 0, last = 0;
    int result = HttpRange(&request.stMessage, ullSize, "\"t1\"", &first, &last);
    return result == 1 ? std::to_string(first) + "-" + std::to_string(last) : std::to_string(result);
}

TEST(HttpRange, TheExamplesOfRfc9110)
{
    EXPECT_EQ("0-499", Range("bytes=0-499"));
    EXPECT_EQ("500-999", Range("bytes=500-999"));
    EXPECT_EQ("9500-9999", Range("bytes=-500"));
    EXPECT_EQ("9500-9999", Range("bytes=9500-"));
    EXPECT_EQ("0-9999", Range("bytes=0-99999"));   // the last byte past the end is the end
    EXPECT_EQ("0-9999", Range("bytes=-20000"));
    EXPECT_EQ("-1", Range("bytes=10000-"));         // 416
    EXPECT_EQ("-1", Range("bytes=-0"));
    EXPECT_EQ("0", Range("bytes=0-0,-1"));          // several ranges: the whole
    EXPECT_EQ("0", Range("bytes=5-4"));             // invalid: ignored
    EXPECT_EQ("0", Range("items=0-4"));
    EXPECT_EQ("0", Range("bytes=99999999999999999999-"));
    EXPECT_EQ("0-4", Range("bytes=0-4", 10000, "\"t1\""));
    EXPECT_EQ("0", Range("bytes=0-4", 10000, "\"t0\""));  // a changed file is sent whole
}

}  // namespace
