// A control against the simulated camera over loopback: the probe, the stream, the device line,
// Stop, credentials and the proxy path through a real tinyproxy.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "apps/camera/camera.h"
#include "control/quorlina.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "support/raw_client.h"
#include "support/tinyproxy.h"

namespace {

char g_window;

struct Control {
    control::CQuorlina* c = new control::CQuorlina();
    Control() { c->AttachWindow(reinterpret_cast<platform::HWND>(&g_window)); }
    ~Control() {
        c->Stop();
        c->Destroy();
    }
    control::CQuorlina* operator->() { return c; }
};

std::unique_ptr<camera::Camera> StartCamera(camera::CameraConfig config = {}) {
    config.http_port = 0;
    if (config.fps == 10) config.fps = 25;
    auto cam = std::make_unique<camera::Camera>(config);
    std::string error;
    EXPECT_TRUE(cam->Start(&error)) << error;
    return cam;
}

std::string Target(const camera::Camera& cam) {
    return "http://127.0.0.1:" + std::to_string(cam.HttpPort());
}

bool WaitFor(const std::function<bool()>& done, std::uint32_t limit_ms) {
    const platform::Tick t0 = platform::GetTickCount();
    while (!done()) {
        if (platform::GetTickCount() - t0 > limit_ms) return false;
        platform::Sleep(10);
    }
    return true;
}

std::string FrameBytes(control::CQuorlina& c) {
    std::lock_guard<std::mutex> guard(c.FrameLock);
    return std::string(reinterpret_cast<const char*>(c.FrameBuffer), c.FrameLength);
}

// Reads the camera's stream on a connection of the test's own and returns its JPEGs.
std::vector<std::string> CameraFrames(int port, int count) {
    test_support::RawClient raw;
    std::vector<std::string> frames;
    if (!raw.Connect(port)) return frames;
    raw.Send("GET /mjpeg.cgi HTTP/1.0\r\nUser-Agent: \r\nAuthorization: Basic \r\n\r\n");
    raw.ReadUntil("\r\n\r\n");
    while (static_cast<int>(frames.size()) < count) {
        std::string header = raw.ReadUntil("\r\n\r\n");
        if (header.empty()) break;
        std::size_t key = header.find("Content-length: ");
        if (key == std::string::npos) continue;
        std::size_t length = std::stoul(header.substr(key + 16));
        frames.push_back(raw.ReadN(length));
    }
    return frames;
}

}  // namespace

TEST(HttpStreamCamera, ProbeFindsAnHttpCameraAndFramesArriveWhole) {
    platform::RegResetForTesting(false);
    auto cam = StartCamera();
    Control c;
    c->put_RemoteHost(Target(*cam).c_str());
    EXPECT_EQ(c->StreamMode.load(), control::kStreamHttp);
    EXPECT_EQ(c->RemotePort.load(), cam->HttpPort());
    EXPECT_EQ(c->HostName.Get(), "127.0.0.1");
    EXPECT_GE(c->ProbeTimeout.load(), 15);

    c->Play();
    // A frame is counted as received before it is presented: wait for both.
    ASSERT_TRUE(WaitFor([&] { return c->FramesPresented.load() >= 3; }, 5000));
    EXPECT_GE(c->FramesReceived.load(), 3u);
    // The frame the control holds is byte for byte one the camera sent.
    std::vector<std::string> sent = CameraFrames(cam->HttpPort(), 4);
    std::string held = FrameBytes(*c.c);
    ASSERT_FALSE(sent.empty());
    bool found = false;
    for (int attempt = 0; attempt < 10 && !found; ++attempt) {
        held = FrameBytes(*c.c);
        for (const std::string& f : sent) found = found || f == held;
        if (!found) sent = CameraFrames(cam->HttpPort(), 2);
    }
    EXPECT_TRUE(found);
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(held.data()),
                                  held.size(), &w, &h, &sub, &cs),
              0);
    tjDestroy(tj);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);

    double rate = 0;
    c->get_FrameRate(&rate);
    EXPECT_GT(rate, 0.0);
}

TEST(HttpStreamCamera, DeviceLineCarriesClockOutputsAndPosition) {
    auto cam = StartCamera();
    Control c;
    c->put_RemoteHost(Target(*cam).c_str());
    test_support::RawClient raw;
    ASSERT_TRUE(raw.Connect(cam->HttpPort()));
    const std::string body = "Trigger1=1&Trigger2=0\r\n\r\n";
    raw.Send("POST /iocontrol.cgi HTTP/1.0\r\nContent-Type: text/plain\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body);
    raw.ReadToClose();
    c->Play();
    ASSERT_TRUE(WaitFor([&] { return c->IOOut1.load() == 1; }, 5000));
    camera::DeviceState s = cam->State();
    EXPECT_EQ(c->IOOut2.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return c->GetHorizontalPosition.load() == s.pan; }, 2000));
    EXPECT_EQ(c->GetVerticalPosition.load(), s.tilt);
    const std::string time = c->TimeString.Get();
    ASSERT_EQ(time.size(), 19u) << time;
    EXPECT_EQ(time[4], '-');
    EXPECT_EQ(time[13], ':');
}

TEST(HttpStreamCamera, StopEndsTheSessionWithinAPass) {
    auto cam = StartCamera();
    Control c;
    c->put_RemoteHost(Target(*cam).c_str());
    const int threads = platform::LiveThreadCount();
    c->Play();
    ASSERT_TRUE(WaitFor([&] { return c->FramesReceived.load() >= 1; }, 5000));
    const platform::Tick t0 = platform::GetTickCount();
    c->Stop();
    EXPECT_LT(platform::GetTickCount() - t0, 500u);
    EXPECT_TRUE(c->PlayState.load() == control::Ended || c->PlayState.load() == control::StopRequested);
    EXPECT_TRUE(WaitFor([&] { return platform::LiveThreadCount() < threads + 1; }, 2000));
    // And a new Play starts a new session.
    const unsigned before = c->FramesReceived.load();
    c->Play();
    EXPECT_TRUE(WaitFor([&] { return c->FramesReceived.load() > before; }, 5000));
}

TEST(HttpStreamCamera, RightCredentialsStreamAndWrongOnesEndTheSessionSlow) {
    camera::CameraConfig config;
    config.user = "viewer";
    config.password = "secret";
    auto cam = StartCamera(config);
    {
        Control c;
        c->UserName.Set("viewer");
        c->Password.Set("secret");
        c->put_RemoteHost(Target(*cam).c_str());
        c->Play();
        EXPECT_TRUE(WaitFor([&] { return c->FramesReceived.load() >= 2; }, 5000));
    }
    Control c;
    c->UserName.Set("viewer");
    c->Password.Set("wrong");
    c->put_RemoteHost(Target(*cam).c_str());
    c->Play();
    // The 401 head is not taken as a status head; with no frame the session ends on its limit.
    EXPECT_TRUE(WaitFor([&] { return c->PlayState.load() == control::Ended; }, 14000));
    EXPECT_EQ(c->FramesReceived.load(), 0u);
}

TEST(HttpStreamCamera, ProbeAndStreamGoThroughTheUsersProxy) {
    test_support::TinyProxy proxy;
    std::string why;
    if (!proxy.Start(&why)) GTEST_SKIP() << why;
    auto cam = StartCamera();
    platform::RegResetForTesting(false);
    platform::RegWriteDword(platform::RegistryRoot::CurrentUser, platform::kInternetSettingsKey,
                            "ProxyEnable", 1);
    platform::RegWriteString(platform::RegistryRoot::CurrentUser, platform::kInternetSettingsKey,
                             "ProxyServer", "127.0.0.1:" + std::to_string(proxy.port()));
    Control c;
    c->put_RemoteHost(Target(*cam).c_str());
    EXPECT_EQ(c->ProxyState.load(), 1);
    EXPECT_EQ(c->ProxyPort.load(), proxy.port());
    EXPECT_EQ(c->StreamMode.load(), control::kStreamHttp);
    c->Play();
    EXPECT_TRUE(WaitFor([&] { return c->FramesReceived.load() >= 3; }, 8000));
    EXPECT_EQ(c->ProxyState.load(), 1);
    platform::RegResetForTesting(false);
}

TEST(ScriptHost, RunsTheReadmeScriptAgainstTheCamera) {
    auto cam = StartCamera();
    const std::string script = "RemoteHost = \"" + Target(*cam) +
                               "\"\nPlay()\nwait 1500\nprint FrameRate TimeString IOOut1 IOOut2 "
                               "GetHorizontalPosition GetVerticalPosition\nStop()\n";
    const std::string command = std::string("printf '%s' '") + script + "' | " QUORLINA_BIN_DIR
                                "/quorlina run - 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    const int status = pclose(p);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("FrameRate = "), std::string::npos) << out;
    EXPECT_EQ(out.find("FrameRate = 0.00"), std::string::npos) << out;
    EXPECT_NE(out.find("TimeString = \"20"), std::string::npos) << out;
    EXPECT_NE(out.find("GetVerticalPosition = "), std::string::npos) << out;
}

TEST(ScriptHost, BadLinesStopTheScriptWithTheirNumber) {
    struct Row {
        const char* script;
        const char* message;
    };
    const Row rows[] = {
        {"PreviewWidth = 10\\nBogus = 3\\n", "line 2: unknown member \"Bogus\""},
        {"Play(\\n", "line 1: malformed call"},
        {"PreviewWidth = \"x\"\\n", "line 1: not a number"},
        {"print Play\\n", "line 1: \"Play\" is not a readable property"},
        {"Zoom(1, 2)\\n", "line 1: Zoom takes 1 argument(s), 2 given"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        const std::string command = std::string("printf '") + row.script + "' | " QUORLINA_BIN_DIR
                                    "/quorlina run - 2>&1";
        FILE* p = popen(command.c_str(), "r");
        std::string out;
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        EXPECT_EQ(WEXITSTATUS(pclose(p)), 1);
        EXPECT_NE(out.find(row.message), std::string::npos) << out;
    }
}
