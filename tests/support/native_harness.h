// Shared pieces of the native protocol tests: a bare control record that counts its repaints and
// is aimed at a loopback port, starting and stopping the native stream thread on it the way Play
// and Stop do, a bounded wait, and a simulated camera with only its native side.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "apps/camera/camera.h"
#include "control/control_state.h"

namespace test_support {

class RecordingControl : public control::ControlState {
  public:
    void RequestRepaint() override { ++repaints; }
    std::atomic<int> repaints{0};

  protected:
    ~RecordingControl() override = default;
};

// Owns one reference to a RecordingControl aimed at 127.0.0.1:port with a 1-second Timeout;
// stops a stream still running before it lets go.
class NativeControl {
  public:
    explicit NativeControl(int port);
    ~NativeControl();
    NativeControl(const NativeControl&) = delete;
    NativeControl& operator=(const NativeControl&) = delete;

    RecordingControl& operator*() { return *c_; }
    RecordingControl* operator->() { return c_; }

    // Play's steps for a native device: Playing, ThreadRunning = 1, the stream worker.
    void Play();
    // Stop's steps: StopRequested, then wait for the worker's end. Returns the wait in ms.
    std::uint32_t Stop();

  private:
    RecordingControl* c_;
};

// Polls done() every 10 ms; false when it has not come true within limit_ms.
bool WaitUntil(const std::function<bool()>& done, std::uint32_t limit_ms = 3000);

// A started simulated camera (native side only, small and quick pictures).
std::unique_ptr<camera::Camera> StartNativeCamera(camera::CameraConfig config = {});

}  // namespace test_support
