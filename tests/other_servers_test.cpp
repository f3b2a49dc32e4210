// The control against Motion-JPEG servers that are not the device: the simulated camera writing
// other servers' header forms, a target naming its own stream path (directly and through a real
// tinyproxy), and real third-party servers on loopback (motion re-serving the simulated camera,
// ffmpeg's mpjpeg server). Tests whose server is not installed skip themselves, saying so.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apps/camera/camera.h"
#include "commands/command_reply.h"
#include "commands/command_request.h"
#include "control/quorlina.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "support/peer_process.h"
#include "support/raw_client.h"
#include "support/tinyproxy.h"

namespace {

char g_window;
constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr std::uint32_t kFramesWithinMs = 8000;
constexpr int kPeerListenMs = 15000;  // a loaded machine starts ffmpeg or motion slowly
// motion has its first picture only after its own start-up and the camera's first frames: seconds
// on an idle machine, far longer on a busy one.
constexpr int kMotionServesMs = 45000;
constexpr int kPeerRate = 10;         // frames a second the peers are asked for

struct Control {
    control::CQuorlina* c = new control::CQuorlina();
    Control() { c->AttachWindow(reinterpret_cast<platform::HWND>(&g_window)); }
    ~Control() {
        c->Stop();
        c->Destroy();
    }
    control::CQuorlina* operator->() { return c; }
};

std::unique_ptr<camera::Camera> StartCamera(const std::vector<const char*>& styles) {
    camera::CameraConfig config;
    config.http_port = 0;
    config.native_port = -1;
    for (const char* style : styles) {
        std::string error;
        EXPECT_TRUE(config.styles.Add(style, &error)) << error;
    }
    auto cam = std::make_unique<camera::Camera>(config);
    std::string error;
    EXPECT_TRUE(cam->Start(&error)) << error;
    return cam;
}

std::string Base(int port) {
    return "http://127.0.0.1:" + std::to_string(port);
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

// Width and height of a whole JPEG that decodes; {0, 0} for anything else.
std::pair<int, int> DecodedSize(const std::string& jpeg) {
    if (jpeg.size() < 4) return {0, 0};
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(jpeg.data());
    std::pair<int, int> size{0, 0};
    if (tjDecompressHeader3(tj, bytes, jpeg.size(), &w, &h, &sub, &cs) == 0) {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 3);
        if (tjDecompress2(tj, bytes, jpeg.size(), pixels.data(), w, 0, h, TJPF_RGB, 0) == 0)
            size = {w, h};
    }
    tjDestroy(tj);
    return size;
}

std::uint64_t HttpConnections(const camera::Camera& cam) {
    return cam.State().http_connections;
}

// Frames presented over a window of the given length, once the first has come.
unsigned FramesOver(control::CQuorlina& c, std::uint32_t window_ms) {
    const unsigned before = c.FramesPresented.load();
    platform::Sleep(window_ms);
    return c.FramesPresented.load() - before;
}

// Plays the target in-process: frames arrive at about the peer's rate and the held frame is a
// whole picture of the peer's size.
void ExpectPlaysAtRate(Control& c, int rate) {
    c->Play();
    ASSERT_TRUE(WaitFor([&] { return c->FramesPresented.load() >= 2; }, kFramesWithinMs))
        << "frames " << c->FramesReceived.load();
    constexpr std::uint32_t kWindowMs = 3000;
    const unsigned frames = FramesOver(*c.c, kWindowMs);
    // Loose: the peers pace themselves and a loaded machine slows them; the control must neither
    // starve nor invent frames.
    EXPECT_GE(frames, static_cast<unsigned>(rate * kWindowMs / 1000 / 4));
    EXPECT_LE(frames, static_cast<unsigned>(rate * kWindowMs / 1000 * 2 + 2));
    double shown = 0;
    c->get_FrameRate(&shown);
    EXPECT_GT(shown, 0.0);
    EXPECT_EQ(DecodedSize(FrameBytes(*c.c)), std::make_pair(kWidth, kHeight));
}

// Runs `quorlina snapshot` on the target; returns the JPEG it wrote (empty on failure).
std::string Snapshot(const std::string& target, const std::string& dir) {
    const std::string bmp = dir + "/shot.bmp";
    const std::string jpeg = dir + "/shot.jpg";
    const std::string command = std::string(QUORLINA_BIN_DIR) + "/quorlina snapshot '" + target +
                                "' --out " + bmp + " --jpeg " + jpeg +
                                " --frames 3 --timeout 20 2>&1";
    FILE* p = popen(command.c_str(), "r");
    std::string output;
    char line[512];
    while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) output += line;
    const int status = p != nullptr ? pclose(p) : -1;
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("wrote " + bmp), std::string::npos) << output;
    EXPECT_GT(std::filesystem::exists(bmp) ? std::filesystem::file_size(bmp) : 0u,
              static_cast<std::uintmax_t>(kWidth * kHeight));
    std::ifstream in(jpeg, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// motion listens before it has a picture, and until then takes connections without answering
// (which the probe would class as a native device): waits until its stream carries a part.
bool WaitServing(int port, int limit_ms) {
    const platform::Tick t0 = platform::GetTickCount();
    while (platform::GetTickCount() - t0 < static_cast<std::uint32_t>(limit_ms)) {
        test_support::RawClient raw;
        if (raw.Connect(port) && raw.Send("GET / HTTP/1.0\r\n\r\n") &&
            !raw.ReadUntil("image/jpeg", 1000, 1 << 16).empty())
            return true;
        platform::Sleep(200);
    }
    return false;
}

}  // namespace

// ---- the simulated camera in other servers' forms ----

TEST(CameraStyles, NamesAreTakenOnceAndUnknownOnesNamed) {
    camera::StyleSet set;
    std::string error;
    EXPECT_EQ(set.Describe(), "device");
    EXPECT_TRUE(set.Add("no-length", &error));
    EXPECT_TRUE(set.Add("stream-path", &error));
    EXPECT_TRUE(set.Add("no-length", &error));
    EXPECT_EQ(set.Describe(), "no-length,stream-path");
    EXPECT_FALSE(set.Add("Stream-Path", &error));
    EXPECT_NE(error.find("unknown style \"Stream-Path\""), std::string::npos) << error;
    EXPECT_NE(error.find("quoted-boundary"), std::string::npos) << "the known ones are listed";
    EXPECT_FALSE(set.Has(camera::Style::kQuotedBoundary));
}

// Capital, space-padded lengths, a boundary parameter spaced, capitalised and quoted (with
// spaces inside the boundary), and a head without a boundary: the probe finds an HTTP camera as
// before, and every part arrives whole.
TEST(OtherServerForms, HeaderFormsPlayAfterTheProbe) {
    for (const char* style : {"padded-length", "quoted-boundary", "late-boundary"}) {
        SCOPED_TRACE(style);
        auto cam = StartCamera({style});
        Control c;
        c->put_RemoteHost(Base(cam->HttpPort()).c_str());
        EXPECT_EQ(c->StreamMode.load(), control::kStreamHttp);
        c->Play();
        EXPECT_TRUE(WaitFor([&] { return c->FramesPresented.load() >= 3; }, kFramesWithinMs));
        EXPECT_EQ(DecodedSize(FrameBytes(*c.c)), std::make_pair(kWidth, kHeight));
        EXPECT_FALSE(c->TimeString.Get().empty()) << "the device line is still read";
    }
}

// A server with a stream path of its own, parts without a length and no device pages: the target
// names the path, so the control asks for nothing but the stream, on one connection, and
// presents each part by its JPEG markers. The server's 404 to a command is told as such.
TEST(StreamPathTarget, PlaysOnTheStreamConnectionAloneAndTellsA404Command) {
    platform::RegResetForTesting(false);
    auto cam = StartCamera({"stream-path", "no-length", "no-device-pages"});
    Control c;
    const std::string target =
        Base(cam->HttpPort()) + camera::kStyleStreamPath + "?resolution=320x240&fps=10";
    const int timeout_before = c->ProbeTimeout.load();
    EXPECT_EQ(c->put_RemoteHost(target.c_str()), platform::S_OK);
    EXPECT_EQ(c->StreamMode.load(), control::kStreamHttp);
    EXPECT_EQ(c->HostName.Get(), "127.0.0.1");
    EXPECT_EQ(c->RemotePort.load(), cam->HttpPort());
    EXPECT_EQ(c->ProbeTimeout.load(), timeout_before);
    std::string back;
    c->get_RemoteHost(&back);
    EXPECT_EQ(back, target);
    EXPECT_EQ(HttpConnections(*cam), 0u) << "no probe connection";

    c->Play();
    ASSERT_TRUE(WaitFor([&] { return c->FramesPresented.load() >= 3; }, kFramesWithinMs));
    EXPECT_EQ(HttpConnections(*cam), 1u);
    EXPECT_EQ(DecodedSize(FrameBytes(*c.c)), std::make_pair(kWidth, kHeight));

    const platform::Tick t0 = platform::GetTickCount();
    c->put_IOOut1(1);
    EXPECT_LT(platform::GetTickCount() - t0, 2000u);
    EXPECT_TRUE(
        WaitFor([&] { return c->CommandStatus.load() == commands::kCommandRefused; }, 5000));
    EXPECT_EQ(c->CommandReason.Get(), commands::kNoCommandResourcesReason);
    // The command's record, as containers read it, names the status and the same reason; the
    // probe's verdict says the target was taken at its word.
    const control::SessionStatus status = c->Status();
    EXPECT_EQ(status.command_status, commands::kCommandRefused);
    EXPECT_NE(status.command_text.find("404"), std::string::npos) << status.command_text;
    EXPECT_NE(status.command_text.find(commands::kNoCommandResourcesReason), std::string::npos)
        << status.command_text;
    EXPECT_NE(status.probe_text.find("not probed"), std::string::npos) << status.probe_text;
    EXPECT_EQ(c->IOOut1.load(), 0);
    EXPECT_GE(c->FramesPresented.load(), 3u);
    EXPECT_EQ(c->PlayState.load(), control::Playing) << "the stream plays on";
}

// The same path requested through the user's proxy, in the proxy's absolute form.
TEST(StreamPathTarget, PathGoesThroughTheProxy) {
    test_support::TinyProxy proxy;
    std::string why;
    if (!proxy.Start(&why)) GTEST_SKIP() << why;
    auto cam = StartCamera({"stream-path", "no-device-pages"});
    platform::RegResetForTesting(false);
    platform::RegWriteDword(platform::RegistryRoot::CurrentUser, platform::kInternetSettingsKey,
                            "ProxyEnable", 1);
    platform::RegWriteString(platform::RegistryRoot::CurrentUser, platform::kInternetSettingsKey,
                             "ProxyServer", "127.0.0.1:" + std::to_string(proxy.port()));
    {
        Control c;
        c->put_RemoteHost((Base(cam->HttpPort()) + camera::kStyleStreamPath).c_str());
        EXPECT_EQ(c->ProxyState.load(), 1);
        EXPECT_EQ(c->StreamMode.load(), control::kStreamHttp);
        c->Play();
        EXPECT_TRUE(WaitFor([&] { return c->FramesPresented.load() >= 3; }, kFramesWithinMs));
        EXPECT_EQ(c->ProxyState.load(), 1);
        EXPECT_EQ(DecodedSize(FrameBytes(*c.c)), std::make_pair(kWidth, kHeight));
    }
    platform::RegResetForTesting(false);
}

// ---- real third-party servers ----

// motion takes the simulated camera as its network camera and re-serves it on its own stream
// port (capital padded lengths, a spaced boundary parameter, a chunked body). The target has no
// path: the probe finds it HTTP as it is.
TEST(RealPeers, MotionReservesTheCamera) {
    const std::string motion = test_support::FindProgram("motion");
    if (motion.empty()) GTEST_SKIP() << "motion is not installed (Debian package motion)";
    camera::CameraConfig config;
    config.http_port = 0;
    config.native_port = -1;
    config.fps = kPeerRate;
    camera::Camera cam(config);
    std::string why;
    ASSERT_TRUE(cam.Start(&why)) << why;
    test_support::PeerProcess peer;
    const int port = test_support::FreeLoopbackPort();
    std::ofstream(peer.dir() + "/motion.conf")
        << "daemon off\nsetup_mode off\nlog_level 4\ntarget_dir " << peer.dir() << "\n"
        << "netcam_url " << Base(cam.HttpPort()) << "/mjpeg.cgi\n"
        << "width " << kWidth << "\nheight " << kHeight << "\nframerate " << kPeerRate << "\n"
        << "picture_output off\nmovie_output off\nwebcontrol_port 0\n"
        << "stream_port " << port << "\nstream_localhost on\nstream_maxrate " << kPeerRate
        << "\nstream_quality 75\n";
    ASSERT_TRUE(peer.Start({motion, "-n", "-c", peer.dir() + "/motion.conf"}, &why)) << why;
    ASSERT_TRUE(peer.WaitListening(port, kPeerListenMs, &why)) << why;
    ASSERT_TRUE(WaitServing(port, kMotionServesMs)) << peer.LogTail();
    {
        Control c;
        c->put_RemoteHost(Base(port).c_str());
        EXPECT_EQ(c->StreamMode.load(), control::kStreamHttp);
        ExpectPlaysAtRate(c, kPeerRate);
    }
    EXPECT_EQ(DecodedSize(Snapshot(Base(port), peer.dir())), std::make_pair(kWidth, kHeight));
    EXPECT_TRUE(peer.Running()) << peer.LogTail();
}

// ffmpeg's mpjpeg server takes a single client and ends with it; each run gets its own. The
// target names its path, so the stream connection is the only one it sees.
TEST(RealPeers, FfmpegServesOneClientItsStream) {
    const std::string ffmpeg = test_support::FindProgram("ffmpeg");
    if (ffmpeg.empty()) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";
    auto serve = [&](test_support::PeerProcess& peer, std::string* why) {
        const int port = test_support::FreeLoopbackPort();
        const std::string target = Base(port) + "/feed.mjpg";
        const std::string source = "testsrc=size=" + std::to_string(kWidth) + "x" +
                                   std::to_string(kHeight) + ":rate=" + std::to_string(kPeerRate);
        const bool ok =
            peer.Start(
                {ffmpeg, "-hide_banner", "-loglevel", "error", "-nostdin", "-re",   "-f",   "lavfi",
                 "-i",   source,         "-t",        "30",    "-c:v",     "mjpeg", "-q:v", "5",
                 "-f",   "mpjpeg",       "-listen",   "1",     target},
                why) &&
            peer.WaitListening(port, kPeerListenMs, why);
        return ok ? target : std::string();
    };
    std::string why;
    {
        test_support::PeerProcess peer;
        const std::string target = serve(peer, &why);
        ASSERT_FALSE(target.empty()) << why;
        Control c;
        c->put_RemoteHost(target.c_str());
        EXPECT_EQ(c->StreamMode.load(), control::kStreamHttp);
        ExpectPlaysAtRate(c, kPeerRate);
    }
    test_support::PeerProcess peer;
    const std::string target = serve(peer, &why);
    ASSERT_FALSE(target.empty()) << why;
    EXPECT_EQ(DecodedSize(Snapshot(target, peer.dir())), std::make_pair(kWidth, kHeight));
}
