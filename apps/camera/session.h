// What a client session of the simulated camera sees: the configuration, the shared device
// state and picture source, the stop flag and the frame clock. Each session runs on its own
// thread, owns its socket descriptor and closes it before it returns.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "apps/camera/camera.h"
#include "apps/camera/device_model.h"
#include "apps/camera/picture.h"

namespace camera {

struct CameraContext {
    const CameraConfig& config;
    DeviceModel& device;
    PictureSource& picture;
    const std::atomic<bool>& stop;
    std::chrono::steady_clock::time_point epoch;  // frame numbers count from here

    // The frame number of this moment, and when the next one begins.
    std::int64_t CurrentFrame() const;
    std::chrono::steady_clock::time_point FrameStart(std::int64_t frame) const;
    // The current frame's JPEG, rendered from the state of now; counts it as sent.
    JpegBytes FrameNow(DeviceState* state_out, ClockFields* clock_out) const;
    // One line on stderr when logging is on.
    void Log(const char* format, ...) const __attribute__((format(printf, 2, 3)));
};

void ServeHttpClient(int fd, const std::string& peer, const CameraContext& context);
void ServeNativeClient(int fd, const std::string& peer, const CameraContext& context);

}  // namespace camera
