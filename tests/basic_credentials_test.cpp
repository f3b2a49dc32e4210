// The Basic authorization token and the stream request built with it.
#include <gtest/gtest.h>

#include <cstring>

#include "control/quorlina.h"
#include "stream/basic_credentials.h"
#include "stream/http_stream.h"

using namespace stream;

namespace {
struct ControlPtr {
    control::CQuorlina* c = new control::CQuorlina();
    ~ControlPtr() { c->Destroy(); }
};
}  // namespace

TEST(BasicCredentials, EncodesAndCachesTheFirstToken) {
    struct Row {
        const char* plain;
        const char* encoded;
    };
    for (Row row : {Row{"Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="}, Row{"ab", "YWI="},
                    Row{"abc", "YWJj"}, Row{"abcd", "YWJjZA=="}}) {
        SCOPED_TRACE(row.plain);
        ControlPtr cp;
        char text[kCredentialBufferBytes] = {};
        std::strcpy(text, row.plain);
        EXPECT_STREQ(EncodeBasicCredentials(*cp.c, text, sizeof text), row.encoded);
        EXPECT_EQ(cp.c->DeviceSerialNo.Get(), row.encoded);
        // From now on the stored token comes back for any input.
        char other[kCredentialBufferBytes] = "someone:else";
        EXPECT_STREQ(EncodeBasicCredentials(*cp.c, other, sizeof other), row.encoded);
    }
}

TEST(BasicCredentials, ShortInputGivesTheStoredToken) {
    ControlPtr cp;
    char colon[kCredentialBufferBytes] = ":";
    EXPECT_STREQ(EncodeBasicCredentials(*cp.c, colon, sizeof colon), "");
    cp.c->DeviceSerialNo.Set("dG9rZW4=");
    char empty[kCredentialBufferBytes] = "";
    EXPECT_STREQ(EncodeBasicCredentials(*cp.c, empty, sizeof empty), "dG9rZW4=");
}

TEST(BasicCredentials, LongStoredTokenNeverOverrunsTheBuffer) {
    ControlPtr cp;
    cp.c->DeviceSerialNo.Set(std::string(259, 'T'));
    char buf[kCredentialBufferBytes + 8];
    std::memset(buf, 'x', sizeof buf);
    buf[0] = '\0';
    EncodeBasicCredentials(*cp.c, buf, kCredentialBufferBytes);
    EXPECT_EQ(std::strlen(buf), static_cast<std::size_t>(kCredentialBufferBytes - 1));
    EXPECT_EQ(buf[kCredentialBufferBytes], 'x');
}

TEST(StreamRequest, DirectAndProxyFormsByteForByte) {
    ControlPtr cp;
    cp.c->DeviceSerialNo.Set("c2VjcmV0");
    EXPECT_EQ(BuildStreamRequest(*cp.c),
              "GET /mjpeg.cgi HTTP/1.0\r\nUser-Agent: \r\nAuthorization: Basic c2VjcmV0\r\n\r\n");
    cp.c->ProxyState = 1;
    cp.c->HostName.Set("cam.local");
    cp.c->RemotePort = 81;
    cp.c->UserName.Set("averyverylongname");
    EXPECT_EQ(BuildStreamRequest(*cp.c),
              "GET HTTP://cam.local:81/mjpeg.cgi HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
              "Host: cam.local\r\nUser-Agent: averyverylon\r\nAuthorization: Basic c2VjcmV0\r\n\r\n");
}

TEST(StreamRequest, CredentialsAreCutToTheirWireLimits) {
    ControlPtr cp;
    cp.c->UserName.Set("abcdefghijklmnop");
    cp.c->Password.Set("0123456789");
    char token[kCredentialBufferBytes];
    BuildBasicToken(*cp.c, token);
    // base64("abcdefghijkl:01234567")
    EXPECT_STREQ(token, "YWJjZGVmZ2hpamtsOjAxMjM0NTY3");
}
