// Authentication of the network services: MD5 against RFC 1321's test
// suite, Base64, the credentials file, and a Digest and a Basic exchange
// between the server's checks and the client's answers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "auth.h"
#include "base64.h"
#include "md5.h"

namespace {

TEST(Md5, Rfc1321TestSuite)
{
    const char* vectors[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& v : vectors) {
        char hex[MD5_HEX_SIZE];
        Md5HexJoined(&v[0], 1, hex);
        EXPECT_STREQ(v[1], hex) << v[0];
    }
    // RFC 2617, 3.5: HA1 of Mufasa in testrealm@host.com.
    const char* a1[] = {"Mufasa", "testrealm@host.com", "Circle Of Life"};
    char ha1[MD5_HEX_SIZE];
    Md5HexJoined(a1, 3, ha1);
    EXPECT_STREQ("939e7578ed9e3c518a452acee763bce9", ha1);
}

TEST(Base64, RoundTripAndRefusals)
{
    UINT8 out[16];
    EXPECT_EQ(6, Base64Decode("Zm9vYmFy", 8, out, sizeof(out)));
    EXPECT_EQ(0, memcmp(out, "foobar", 6));
    EXPECT_EQ(4, Base64Decode("Zm9vYg==", 8, out, sizeof(out)));
    EXPECT_EQ(-1, Base64Decode("Zm9=YmFy", 8, out, sizeof(out)));  // padding inside
    EXPECT_EQ(-1, Base64Decode("Zm9vY", 5, out, sizeof(out)));
    EXPECT_EQ(-1, Base64Decode("Zm9v!mFy", 8, out, sizeof(out)));
    EXPECT_EQ(-1, Base64Decode("Zm9vYmFy", 8, out, 5));  // does not fit
}

class Credentials : public ::testing::Test {
protected:
    void TearDown() override
    {
        unlink(path_.c_str());
        AuthReset();
    }
    int Load(const std::string& text)
    {
        FILE* f = fopen(path_.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        chmod(path_.c_str(), 0600);
        return AuthLoad(path_.c_str());
    }
    // A request with an Authorization line, checked.
    tAuthResult Check(const std::string& method, const std::string& uri, const std::string& authorization)
    {
        request_ = method + " " + uri + " RTSP/1.0\r\nCSeq: 1\r\n" + authorization + "\r\n";
        tTextMessage m;
        UINT32 status = 0;
        EXPECT_EQ(TEXT_COMPLETE, TextParse(request_.data(), (UINT32)request_.size(), true, "RTSP/1.0", 0, &m, &status));
        return AuthCheck(&m);
    }
    // The client's answer to the server's own challenge.
    std::string Answer(bool digest, const std::string& method, const std::string& uri, const char* user,
                       const char* password)
    {
        char buffer[1024];
        tTextOut out;
        TextOutStart(&out, buffer, sizeof(buffer));
        TextPut(&out, "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n");
        AuthPutChallenge(&out, false);
        TextPut(&out, "\r\n");
        std::string challenge = buffer;
        if (!digest)
            challenge.erase(challenge.find("WWW-Authenticate: Digest"), challenge.find("WWW-Authenticate: Basic") -
                                                                            challenge.find("WWW-Authenticate: Digest"));
        tTextMessage m;
        UINT32 status = 0;
        EXPECT_EQ(TEXT_COMPLETE, TextParse(challenge.data(), (UINT32)challenge.size(), false, "RTSP/1.0", 0, &m, &status));
        tAuthClient client;
        EXPECT_TRUE(AuthClientTake(&client, &m));
        EXPECT_EQ(digest, client.bDigest);
        TextOutStart(&out, buffer, sizeof(buffer));
        AuthClientPut(&client, &out, method.c_str(), uri.c_str(), user, password);
        return buffer;
    }
    std::string path_ = "/tmp/vozirev_test_credentials_" + std::to_string(getpid());
    std::string request_;
};

TEST_F(Credentials, PasswordsAndHtdigestLinesAuthenticateWithDigestAndBasic)
{
    // alice by password; bob as htdigest writes him (realm cam, "s3cret").
    ASSERT_EQ(1, Load("# users\nalice:wonder:land\n\nbob:cam:" + std::string("ef1666709d8576c09ad06c3e171985d5") + "\n"));
    EXPECT_STREQ("cam", AuthRealm());
    const std::string uri = "rtsp://127.0.0.1:8554/live";
    EXPECT_EQ(AUTH_NEEDED, Check("DESCRIBE", uri, ""));
    EXPECT_EQ(AUTH_OK, Check("DESCRIBE", uri, Answer(true, "DESCRIBE", uri, "alice", "wonder:land")));
    EXPECT_EQ(AUTH_DENIED, Check("DESCRIBE", uri, Answer(true, "DESCRIBE", uri, "alice", "wonder")));
    EXPECT_EQ(AUTH_DENIED, Check("PLAY", uri, Answer(true, "DESCRIBE", uri, "alice", "wonder:land")));  // another method
    EXPECT_EQ(AUTH_DENIED, Check("DESCRIBE", uri + "x", Answer(true, "DESCRIBE", uri, "alice", "wonder:land")));
    EXPECT_EQ(AUTH_OK, Check("SETUP", uri, Answer(false, "SETUP", uri, "alice", "wonder:land")));
    EXPECT_EQ(AUTH_OK, Check("PLAY", uri, Answer(true, "PLAY", uri, "bob", "s3cret")));
    EXPECT_EQ(AUTH_OK, Check("PLAY", uri, Answer(false, "PLAY", uri, "bob", "s3cret")));
    EXPECT_EQ(AUTH_DENIED, Check("SETUP", uri, Answer(false, "SETUP", uri, "mallory", "wonder:land")));
    EXPECT_EQ(AUTH_DENIED, Check("SETUP", uri, "Authorization: Basic !!!!\r\n"));
    EXPECT_EQ(AUTH_NEEDED, Check("SETUP", uri, "Authorization: Digest username=\"alice\", realm=\"cam\", "
                                                "nonce=\"deadbeef\", uri=\"" + uri + "\", response=\"00\"\r\n"));
}

TEST_F(Credentials, FilesThatNameNoUserOrMixRealmsAreRefused)
{
    EXPECT_EQ(0, AuthLoad(""));
    EXPECT_FALSE(AuthRequired());
    EXPECT_EQ(-1, Load("# nobody\n"));
    EXPECT_EQ(-1, Load("justaname\n"));
    EXPECT_EQ(-1, Load("a:r1:0123456789abcdef0123456789abcdef\nb:r2:0123456789abcdef0123456789abcdef\n"));
    EXPECT_FALSE(AuthRequired());
    EXPECT_EQ(-1, AuthLoad("/nonexistent/credentials"));
}

}  // namespace
