// The command members against the simulated camera over loopback: outputs, upload and e-mail read
// back through GetRealTimeData, pan/tilt seen through the stream's device line, back-to-back
// commands arriving intact, a native device left alone, and one GET and one POST through tinyproxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "apps/camera/camera.h"
#include "commands/command_request.h"
#include "control/quorlina.h"
#include "platform/kernel.h"
#include "platform/registry.h"
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

std::unique_ptr<camera::Camera> StartCamera() {
    camera::CameraConfig config;
    config.http_port = 0;
    config.fps = 25;
    auto cam = std::make_unique<camera::Camera>(config);
    std::string error;
    EXPECT_TRUE(cam->Start(&error)) << error;
    return cam;
}

// A control that has probed the camera and found it an HTTP device.
void Probe(Control& c, const camera::Camera& cam) {
    platform::RegResetForTesting(false);
    c->put_RemoteHost(("http://127.0.0.1:" + std::to_string(cam.HttpPort())).c_str());
    ASSERT_EQ(c->StreamMode.load(), control::kStreamHttp);
}

bool WaitFor(const std::function<bool()>& done, std::uint32_t limit_ms = 3000) {
    const platform::Tick t0 = platform::GetTickCount();
    while (!done()) {
        if (platform::GetTickCount() - t0 > limit_ms) return false;
        platform::Sleep(5);
    }
    return true;
}

// Waits for the last POST worker to finish; true when the camera took the command.
bool Posted(Control& c) {
    return WaitFor([&] { return c->CommandStatus.load() != commands::kCommandPending; }) &&
           c->CommandStatus.load() == commands::kCommandPosted;
}

bool Position(Control& c, int pan, int tilt) {
    return WaitFor([&] {
        return c->GetHorizontalPosition.load() == pan && c->GetVerticalPosition.load() == tilt;
    });
}

struct Status {
    int out1, out2, upload, email;
};

// GetRealTimeData, then waits until its worker has stored what the camera reports.
bool ReadBack(Control& c, Status want) {
    std::int32_t ignored = 0;
    c->GetRealTimeData(&ignored);
    return WaitFor([&] {
        return c->IOOut1.load() == want.out1 && c->IOOut2.load() == want.out2 &&
               c->ImageUpload.load() == want.upload && c->EmailImage.load() == want.email &&
               !c->TimeString.Get().empty();
    });
}

}  // namespace

TEST(CommandsCamera, OutputsUploadAndEmailSwitchTheCameraAndReadBack) {
    auto cam = StartCamera();
    Control c;
    Probe(c, *cam);

    c->put_IOOut1(1);
    ASSERT_TRUE(Posted(c));
    EXPECT_TRUE(cam->State().output1);
    EXPECT_EQ(c->IOOut1.load(), 0);  // the setter alone does not change the stored value
    ASSERT_TRUE(ReadBack(c, {1, 0, 0, 0}));
    const std::string time = c->TimeString.Get();
    EXPECT_EQ(time.size(), 19u) << time;
    EXPECT_EQ(time.substr(0, 2), "20") << time;

    // The body carries the stored state of the other output, which is now 1.
    c->put_IOOut2(1);
    ASSERT_TRUE(Posted(c));
    EXPECT_TRUE(cam->State().output1);
    EXPECT_TRUE(cam->State().output2);

    c->put_ImageUpload(1);
    ASSERT_TRUE(Posted(c));
    c->put_EmailImage(1);
    ASSERT_TRUE(Posted(c));
    // Both services are busy for a second after the command.
    EXPECT_TRUE(ReadBack(c, {1, 1, 1, 1}));

    c->put_IOOut1(0);
    ASSERT_TRUE(Posted(c));
    EXPECT_FALSE(cam->State().output1);
    EXPECT_TRUE(cam->State().output2);
}

TEST(CommandsCamera, PanTiltMembersMoveTheHeadAsTheStreamShows) {
    auto cam = StartCamera();
    Control c;
    Probe(c, *cam);
    c->Play();
    ASSERT_TRUE(Position(c, camera::kHomePanDegrees, camera::kHomeTiltDegrees));

    std::int32_t untouched = 7;
    c->MoveToPos(120, 45, &untouched);
    EXPECT_EQ(untouched, 7);
    ASSERT_TRUE(Position(c, 120, 45));

    c->put_PanSingleMoveDegree(5);
    c->put_TiltSingleMoveDegree(3);
    c->put_MovePanTiltDegree(2);  // the camera's up-right step
    ASSERT_TRUE(Position(c, 125, 48));

    // The preset takes the position the stream last reported.
    c->put_SetName("door");
    c->put_SetPosition(2);
    ASSERT_TRUE(Posted(c));
    camera::Preset preset = cam->State().presets[1];
    EXPECT_TRUE(preset.stored);
    EXPECT_EQ(preset.pan, 125);
    EXPECT_EQ(preset.tilt, 48);
    EXPECT_EQ(preset.name, "door");

    c->MoveToPos(10, 10, &untouched);
    ASSERT_TRUE(Position(c, 10, 10));
    c->put_MovePanTiltPosition(2);
    ASSERT_TRUE(Position(c, 125, 48));

    c->put_ClearPosition(2);
    ASSERT_TRUE(Posted(c));
    EXPECT_FALSE(cam->State().presets[1].stored);

    c->put_SwingMode(1);
    ASSERT_TRUE(Posted(c));
    EXPECT_TRUE(cam->State().swing);
    EXPECT_TRUE(WaitFor([&] { return c->GetHorizontalPosition.load() != 125; }));
    c->put_SwingMode(0);
    ASSERT_TRUE(Posted(c));
    EXPECT_FALSE(cam->State().swing);

    const std::vector<camera::ReceivedCommand> log = cam->Commands();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().path, "/PANTILTCONTROL.CGI");
    for (const camera::ReceivedCommand& r : log)
        EXPECT_EQ(r.status, 200) << r.path << " " << r.body;
}

TEST(CommandsCamera, BackToBackCommandsArriveIntact) {
    auto cam = StartCamera();
    Control c;
    Probe(c, *cam);
    c->put_SetName("gate");
    std::int32_t untouched = 0;
    c->put_ImageUpload(1);
    c->MoveToPos(300, 80, &untouched);
    c->put_IOOut2(1);
    c->put_SetPosition(5);
    c->put_EmailImage(1);
    ASSERT_TRUE(WaitFor([&] { return cam->Commands().size() >= 5; }));
    std::vector<std::pair<std::string, std::string>> got;
    for (const camera::ReceivedCommand& r : cam->Commands()) got.emplace_back(r.path, r.body);
    std::vector<std::pair<std::string, std::string>> want = {
        {"/iocontrol.cgi", "ImageUpload=1\r\n\r\n"},
        {"/pantiltcontrol.cgi",
         "PanTiltHorizontal=300&PanTiltVertical=80&PanTiltPositionMove=true\r\n\r\n"},
        {"/iocontrol.cgi", "Trigger1=0&Trigger2=1\r\n\r\n"},
        {"/pantiltcontrol.cgi",
         "PanTiltHorizontal=0&PanTiltVertical=0&SetName=gate&SetPosition=5\r\n\r\n"},
        {"/iocontrol.cgi", "ImageEmail=1\r\n\r\n"},
    };
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
}

TEST(CommandsCamera, NativeDeviceGetsNoPanTiltUploadOrEmail) {
    auto cam = StartCamera();
    Control c;
    c->StreamMode = control::kStreamNative;
    c->RemotePort = cam->HttpPort();
    std::int32_t untouched = 0;
    c->put_ImageUpload(1);
    c->put_EmailImage(1);
    c->put_MovePanTiltDegree(1);
    c->put_ClearPosition(1);
    c->put_SetPosition(1);
    c->put_MovePanTiltPosition(1);
    c->put_SwingMode(1);
    c->MoveToPos(1, 1, &untouched);
    platform::Sleep(100);
    EXPECT_EQ(cam->State().http_connections, 0u);
    EXPECT_TRUE(cam->Commands().empty());
}

TEST(CommandsCamera, GetAndPostGoThroughTinyproxy) {
    test_support::TinyProxy proxy;
    std::string why;
    if (!proxy.Start(&why)) GTEST_SKIP() << why;
    auto cam = StartCamera();
    Control c;
    c->StreamMode = control::kStreamHttp;
    c->RemotePort = cam->HttpPort();
    c->ProxyState = 1;
    c->ProxyHost.Set("127.0.0.1");
    c->ProxyPort = proxy.port();

    c->put_IOOut1(1);
    ASSERT_TRUE(Posted(c));
    EXPECT_TRUE(cam->State().output1);
    ASSERT_TRUE(ReadBack(c, {1, 0, 0, 0}));
    EXPECT_EQ(cam->State().http_connections, 3u);  // the POST and the status read's two GETs
}
