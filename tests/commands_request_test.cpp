// Command request bytes: the setters' bodies, the four request-line forms of GET and POST, the
// headers byte for byte, and the settings a request takes from the control.
#include <gtest/gtest.h>

#include <string>

#include "commands/command_bodies.h"
#include "commands/command_request.h"
#include "control/quorlina.h"

using namespace commands;

namespace {

RequestSettings Direct() {
    RequestSettings s;
    s.host = "cam.local";
    s.port = 8080;
    s.token = "dG9rZW4=";
    s.timeout_s = 3;
    return s;
}

RequestSettings Proxied() {
    RequestSettings s = Direct();
    s.through_proxy = true;
    s.proxy_host = "127.0.0.1";
    s.proxy_port = 3128;
    return s;
}

}  // namespace

TEST(CommandBodies, EachSetterFormatsItsBody) {
    struct Row {
        std::string body;
        const char* expected;
    };
    const Row rows[] = {
        {OutputsBody(0, 1), "Trigger1=0&Trigger2=1\r\n\r\n"},
        {OutputsBody(-5, 256), "Trigger1=-5&Trigger2=256\r\n\r\n"},
        {ImageUploadBody(1), "ImageUpload=1\r\n\r\n"},
        {ImageEmailBody(0), "ImageEmail=0\r\n\r\n"},
        {SingleMoveBody(5, -3, 1),
         "PanSingleMoveDegree=5&TiltSingleMoveDegree=-3&PanTiltSingleMove=1\r\n\r\n"},
        {SingleMoveBody(INT32_MIN, INT32_MIN, INT32_MIN),
         "PanSingleMoveDegree=-2147483648&TiltSingleMoveDegree=-2147483648"
         "&PanTiltSingleMove=-2147483648\r\n\r\n"},
        {ClearPositionBody(3), "ClearPosition=3\r\n\r\n"},
        {SetPositionBody(120, 45, "door", 2),
         "PanTiltHorizontal=120&PanTiltVertical=45&SetName=door&SetPosition=2\r\n\r\n"},
        // The name goes in unescaped: an "&" in it makes one more separator.
        {SetPositionBody(0, 0, "a&b=c", 1),
         "PanTiltHorizontal=0&PanTiltVertical=0&SetName=a&b=c&SetPosition=1\r\n\r\n"},
        {PresetMoveBody(4), "PanTiltPresetPositionMove=4\r\n\r\n"},
        {SwingModeBody(1), "PanTiltSwingMode=1\r\n\r\n"},
        {MoveToPositionBody(120, 45),
         "PanTiltHorizontal=120&PanTiltVertical=45&PanTiltPositionMove=true\r\n\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.expected);
        EXPECT_EQ(r.body, r.expected);
    }
}

TEST(CommandBodies, LongPresetNameIsCarriedWhole) {
    const std::string name(259, 'n');
    const std::string body = SetPositionBody(1, 2, name, 3);
    EXPECT_NE(body.find("SetName=" + name + "&SetPosition=3\r\n\r\n"), std::string::npos);
}

TEST(CommandRequest, PostCountsTheWholeBodyInContentLength) {
    struct Row {
        std::string body;
        const char* length_line;
    };
    const Row rows[] = {
        {ImageUploadBody(1), "Content-Length: 17\r\n"},  // the four line-end bytes count
        {OutputsBody(0, 1), "Content-Length: 25\r\n"},
        {"", "Content-Length: 0\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.length_line);
        const std::string request = BuildPostRequest(Direct(), kIoControlPath, r.body);
        EXPECT_NE(request.find(std::string(r.length_line) + "\r\n" + r.body), std::string::npos);
        EXPECT_EQ(request.substr(request.size() - r.body.size()), r.body);
    }
}

TEST(CommandRequest, RequestLinesDirectAndThroughTheProxy) {
    struct Row {
        bool proxy;
        const char* path;
        const char* get_line;
        const char* post_line;
    };
    const Row rows[] = {
        {false, "/iocontrol.cgi", "GET /iocontrol.cgi HTTP/1.0\r\n",
         "POST /iocontrol.cgi HTTP/1.0\r\n"},
        {false, "iocontrol.cgi", "GET /iocontrol.cgi HTTP/1.0\r\n",
         "POST /iocontrol.cgi HTTP/1.0\r\n"},
        {true, "/iocontrol.cgi",
         "GET HTTP://cam.local:8080/iocontrol.cgi HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
         "Host: cam.local\r\n",
         "POST HTTP://cam.local:8080/iocontrol.cgi HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
         "Host: cam.local\r\n"},
        {true, "iocontrol.cgi",
         "GET HTTP://cam.local:8080/iocontrol.cgi HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
         "Host: cam.local\r\n",
         "POST HTTP://cam.local:8080/iocontrol.cgi HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
         "Host: cam.local\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.proxy ? "proxy " : "direct ") + r.path);
        const RequestSettings s = r.proxy ? Proxied() : Direct();
        const std::string get = BuildGetRequest(s, r.path);
        const std::string post = BuildPostRequest(s, r.path, "x=1\r\n\r\n");
        EXPECT_EQ(get.rfind(r.get_line, 0), 0u) << get;
        EXPECT_EQ(post.rfind(r.post_line, 0), 0u) << post;
        EXPECT_EQ(get.find("//iocontrol"), std::string::npos);
        EXPECT_EQ(post.find("//iocontrol"), std::string::npos);
    }
}

TEST(CommandRequest, GetHeadersByteForByte) {
    RequestSettings s = Direct();
    EXPECT_EQ(BuildGetRequest(s, "/IOCONTROL.CGI"),
              "GET /IOCONTROL.CGI HTTP/1.0\r\n"
              "User-Agent: \r\n"
              "Authorization: Basic dG9rZW4=\r\n"
              "\r\n");
    EXPECT_EQ(BuildGetRequest(Proxied(), "/IOCONTROL.CGI"),
              "GET HTTP://cam.local:8080/IOCONTROL.CGI HTTP/1.0\r\n"
              "Proxy-Connection: Keep-Alive\r\n"
              "Host: cam.local\r\n"
              "User-Agent: \r\n"
              "Authorization: Basic dG9rZW4=\r\n"
              "\r\n");
    s.user = "viewer";
    EXPECT_NE(BuildGetRequest(s, "/x").find("\r\nUser-Agent: viewer\r\n"), std::string::npos);
}

TEST(CommandRequest, PostHeadersByteForByte) {
    RequestSettings s = Direct();
    EXPECT_EQ(BuildPostRequest(s, kIoControlPath, ImageUploadBody(1)),
              "POST /iocontrol.cgi HTTP/1.0\r\n"
              "Content-Type: text/plain\r\n"
              "User-Agent: USER\r\n"
              "Authorization: Basic dG9rZW4=\r\n"
              "Content-Length: 17\r\n"
              "\r\n"
              "ImageUpload=1\r\n\r\n");
    s.user = "viewer";
    EXPECT_NE(BuildPostRequest(s, kIoControlPath, "").find("\r\nUser-Agent: USERviewer\r\n"),
              std::string::npos);
}

TEST(CommandRequest, SettingsComeFromTheControl) {
    auto* c = new control::CQuorlina();
    c->HostName.Set("cam.local");
    c->RemotePort = 8080;
    c->ProxyHost.Set("127.0.0.1");
    c->ProxyPort = 3128;
    c->Timeout = 7;
    c->DeviceSerialNo.Set("c2VyaWFs");
    RequestSettings s = TakeRequestSettings(*c);
    EXPECT_FALSE(s.through_proxy);  // ProxyState -1: not read yet, so direct
    EXPECT_EQ(s.host, "cam.local");
    EXPECT_EQ(s.port, 8080);
    EXPECT_EQ(s.timeout_s, 7);
    EXPECT_EQ(s.user, "");
    EXPECT_EQ(s.token, "c2VyaWFs");  // the cached token is what goes to the device
    c->ProxyState = 1;
    s = TakeRequestSettings(*c);
    EXPECT_TRUE(s.through_proxy);
    EXPECT_EQ(s.proxy_host, "127.0.0.1");
    EXPECT_EQ(s.proxy_port, 3128);
    c->Destroy();
}

TEST(CommandRequest, PathAndBodyAreCutToTheControlsBuffers) {
    const std::string path(100, 'p');
    const std::string body(20000, 'b');
    const CommandRequest r = MakeCommandRequest(path, body);
    EXPECT_EQ(r.path.size(), 63u);
    EXPECT_EQ(r.body.size(), 9999u);
    const CommandRequest fits = MakeCommandRequest(kPanTiltPath, "a=1");
    EXPECT_EQ(fits.path, "/pantiltcontrol.cgi");
    EXPECT_EQ(fits.body, "a=1");
}

TEST(CommandStatus, CodesArePrintable) {
    EXPECT_STREQ(to_string(kCommandPosted), "posted");
    EXPECT_STREQ(to_string(kCommandNoReply), "no reply");
    EXPECT_STREQ(to_string(static_cast<CommandStatusCode>(99)), "unknown command status");
}
