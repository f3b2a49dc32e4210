// Shared pieces of the native protocol tests (see native_harness.h).
#include "support/native_harness.h"

#include <gtest/gtest.h>

#include <string>

#include "device/native_stream.h"
#include "platform/kernel.h"

namespace test_support {

namespace {
constexpr std::uint32_t kWorkerEndLimitMs = 10000;
constexpr int kTestTimeoutSeconds = 1;
}  // namespace

NativeControl::NativeControl(int port) : c_(new RecordingControl()) {
    c_->HostName.Set("127.0.0.1");
    c_->RemotePort = port;
    c_->StreamMode = control::kStreamNative;
    c_->Timeout = kTestTimeoutSeconds;
}

NativeControl::~NativeControl() {
    if (c_->ThreadRunning.load() != 0) Stop();
    c_->Release();
}

void NativeControl::Play() {
    c_->PlayState = control::Playing;
    c_->ThreadRunning = 1;
    ASSERT_TRUE(c_->StartWorker(&device::RunNativeStream));
}

std::uint32_t NativeControl::Stop() {
    const platform::Tick t0 = platform::GetTickCount();
    c_->PlayState = control::StopRequested;
    EXPECT_TRUE(WaitUntil([this] { return c_->ThreadRunning.load() == 0; }, kWorkerEndLimitMs));
    return platform::GetTickCount() - t0;
}

bool WaitUntil(const std::function<bool()>& done, std::uint32_t limit_ms) {
    const platform::Tick t0 = platform::GetTickCount();
    while (!done()) {
        if (platform::GetTickCount() - t0 > limit_ms) return false;
        platform::Sleep(10);
    }
    return true;
}

std::unique_ptr<camera::Camera> StartNativeCamera(camera::CameraConfig config) {
    config.http_port = -1;
    config.native_port = 0;
    config.width = 160;
    config.height = 120;
    config.fps = 25;
    auto cam = std::make_unique<camera::Camera>(config);
    std::string error;
    EXPECT_TRUE(cam->Start(&error)) << error;
    return cam;
}

}  // namespace test_support
