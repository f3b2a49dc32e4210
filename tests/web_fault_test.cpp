// `quorlina serve` under misbehaving viewers and at its end: a viewer that never reads neither
// grows the server's memory nor slows the others; 200 connect/disconnect cycles leave nothing
// open; stopping leaves no descriptor or thread; SIGTERM while playing exits within 2 s.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/web_server_fixture.h"

extern char** environ;

namespace {

using testsupport::WsClient;
using testsupport::WsMessage;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

template <typename F>
bool Eventually(F condition, int ms = 10000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

class WebFaults : public testsupport::WebServerTest {
  protected:
    void Watch(WsClient& ws, const char* camera) {
        int status = 0;
        ASSERT_TRUE(OpenSocket(&ws, &status)) << status;
        ASSERT_TRUE(ws.SendText(std::string(R"({"id": 1, "op": "watch", "camera": ")") + camera +
                                "\"}"));
    }
    // Frames the client receives in `ms`.
    static int FramesIn(WsClient& ws, int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        int frames = 0;
        WsMessage m;
        while (Clock::now() < end && ws.Receive(&m, 2000))
            if (m.binary) ++frames;
        return frames;
    }
};

TEST_F(WebFaults, AViewerThatNeverReadsKeepsMemoryFlatAndOthersTheirRate) {
    StartServer(/*always=*/true, 64, /*fps=*/25);
    WsClient stuck;
    int status = 0;
    ASSERT_TRUE(OpenSocket(&stuck, &status));
    int small = 4096;
    ::setsockopt(stuck.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(stuck.SendText(R"({"id": 1, "op": "watch", "camera": "front"})"));
    WsClient reader;
    Watch(reader, "front");
    // Once the stuck viewer's socket is full, its newer frames replace the unsent one. Filling
    // the loopback buffers takes about 14 s of frames at 25 fps, longer on a loaded machine.
    ASSERT_TRUE(Eventually([&] { return server_->Counters().frames_replaced > 0; }, 60000));
    const long before = ResidentKb();
    const int frames = FramesIn(reader, 3000);
    const long after = ResidentKb();
    EXPECT_GE(frames, 25 * 3 / 3) << "the reading viewer was slowed";
    if (!kSanitized) {
        EXPECT_LT(after - before, 8 * 1024) << "resident memory grew";
    }
    // The API answers all the same.
    EXPECT_EQ(Api("GET", "/api/cameras").status, 200);
}

TEST_F(WebFaults, TwoHundredConnectDisconnectCyclesLeaveNothingOpen) {
    // Both cameras play throughout, so their own connections are open before and after alike.
    StartServer(/*always=*/true);
    ASSERT_TRUE(Eventually([&] {
        for (web::Camera* c : service_->Cameras())
            if (c->Summary()["state"] != "playing") return false;
        return true;
    }));
    const int descriptors = testsupport::OpenDescriptorCount();
    for (int i = 0; i < 200; ++i) {
        WsClient ws;
        Watch(ws, i % 2 == 0 ? "front" : "back");
        std::string reply;
        if (i % 10 == 0) {
            ASSERT_TRUE(ws.ReceiveText(&reply));  // some wait for the answer
        }
    }
    EXPECT_TRUE(Eventually([&] {
        const web::ServerCounters c = server_->Counters();
        return c.connections == 0 && c.viewers == 0;
    }));
    EXPECT_TRUE(Eventually([&] { return testsupport::OpenDescriptorCount() <= descriptors + 2; }))
        << testsupport::OpenDescriptorCount() << " descriptors, " << descriptors << " before";
    for (web::Camera* c : service_->Cameras()) EXPECT_EQ(c->Watchers(), 0) << c->Config().name;
}

TEST_F(WebFaults, StoppingWhilePlayingLeavesNoDescriptorOrThread) {
    // ThreadSanitizer starts a helper thread of its own with the process's first thread and keeps
    // it: let that happen before the count is taken.
    std::thread([] {}).join();
    const int descriptors = testsupport::OpenDescriptorCount();
    const int threads = testsupport::ThreadCount();
    StartServer(/*always=*/true);
    {
        WsClient ws;
        Watch(ws, "front");
        std::string reply;
        ASSERT_TRUE(ws.ReceiveText(&reply));
        int frames = 0;
        std::string text;
        while (frames < 2 && ws.ReceiveText(&text, 3000, &frames)) {
        }
        EXPECT_GE(frames, 1);
        const auto start = Clock::now();
        server_->Stop();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(kSanitized ? 6 : 2));
    }
    TearDown();
    EXPECT_TRUE(Eventually([&] { return testsupport::ThreadCount() <= threads; }))
        << testsupport::ThreadCount() << " threads, " << threads << " before";
    EXPECT_TRUE(Eventually([&] { return testsupport::OpenDescriptorCount() <= descriptors; }))
        << testsupport::OpenDescriptorCount() << " descriptors, " << descriptors << " before";
}

TEST_F(WebFaults, SigtermWhilePlayingExitsWithinTwoSeconds) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string binary = std::string(QUORLINA_BIN_DIR) + "/quorlina";
    const char* argv[] = {binary.c_str(), "serve", "--listen", "127.0.0.1:0", "--token",
                          testsupport::kWebToken, nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string printed;
    char buffer[512];
    int port = 0;
    while (port == 0) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        printed.append(buffer, static_cast<std::size_t>(n));
        const std::size_t at = printed.find("open http://127.0.0.1:");
        if (at != std::string::npos && printed.find("/?token=", at) != std::string::npos)
            port = std::atoi(printed.c_str() + at + 22);
    }
    ASSERT_GT(port, 0) << printed;
    // Both simulated cameras play while a viewer watches each.
    WsClient a, b;
    int status = 0;
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"Authorization", std::string("Bearer ") + testsupport::kWebToken}};
    ASSERT_TRUE(a.Connect(port, "/ws", headers, &status));
    ASSERT_TRUE(b.Connect(port, "/ws", headers, &status));
    a.SendText(R"({"op": "watch", "camera": "http"})");
    b.SendText(R"({"op": "watch", "camera": "native"})");
    int frames_a = 0, frames_b = 0;
    std::string text;
    while (frames_a < 1 && a.ReceiveText(&text, 5000, &frames_a)) {
    }
    while (frames_b < 1 && b.ReceiveText(&text, 5000, &frames_b)) {
    }
    EXPECT_GE(frames_a, 1);
    EXPECT_GE(frames_b, 1);
    const auto start = Clock::now();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int wstatus = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &wstatus, WNOHANG)) == 0 &&
           Clock::now() - start < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto took = Clock::now() - start;
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &wstatus, 0);
        FAIL() << "still running 10 s after SIGTERM";
    }
    EXPECT_LT(took, std::chrono::seconds(kSanitized ? 6 : 2))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
    while (true) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        printed.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    EXPECT_NE(printed.find("stopping (SIGTERM)"), std::string::npos) << printed;
}

}  // namespace

namespace {

// A camera that goes away while it plays: the tile says it ended and why, when the next try
// comes, and the camera plays again by itself once it is back on its port.
TEST(WebCameraHost, ACameraThatGoesAwayIsShownEndedAndPlayedAgainWhenBack) {
    camera::CameraConfig sim;
    sim.http_port = 0;
    sim.fps = 10;
    auto device = std::make_unique<camera::Camera>(sim);
    std::string error;
    ASSERT_TRUE(device->Start(&error)) << error;
    const int port = device->HttpPort();

    const web::TypeLib types = web::TypeLib::ReadControl();
    web::CameraConfig config;
    config.name = "gate";
    config.target = "http://127.0.0.1:" + std::to_string(port);
    config.play = web::PlayPolicy::kAlways;
    web::Camera cam(config, types, {});
    cam.Start();
    auto state = [&] { return cam.Summary()["state"].get<std::string>(); };
    ASSERT_TRUE(Eventually([&] { return state() == "playing"; })) << cam.Summary().dump();
    EXPECT_EQ(cam.Summary()["reason"], "");

    device->Stop();
    device.reset();
    ASSERT_TRUE(Eventually([&] { return state() == "ended"; })) << cam.Summary().dump();
    nlohmann::json ended = cam.Summary();
    EXPECT_FALSE(ended["reason"].get<std::string>().empty()) << ended.dump();
    // The tries that find nothing listening say so, each further apart.
    ASSERT_TRUE(Eventually([&] {
        ended = cam.Summary();
        return ended["state"] == "ended" &&
               ended["reason"].get<std::string>().find("refused") != std::string::npos;
    })) << ended.dump();
    EXPECT_GE(ended["retry_in"].get<int>(), 1) << ended.dump();

    sim.http_port = port;
    device = std::make_unique<camera::Camera>(sim);
    ASSERT_TRUE(device->Start(&error)) << error;
    EXPECT_TRUE(Eventually([&] { return state() == "playing"; }, 20000)) << cam.Summary().dump();
    EXPECT_EQ(cam.Summary()["reason"], "");
    cam.Shutdown();
    device->Stop();
}

}  // namespace
