// The simulated camera's moving test picture and its JPEG encoding. The picture shows colour bars
// that shift with pan and tilt, a sweep line and a ticker that move with time, and a panel with
// the device clock, outputs, services and head position, so commands are seen taking effect.
// Encoding (TurboJPEG, 4:2:0) runs once per frame number; every client of that frame shares it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apps/camera/device_model.h"

namespace camera {

using JpegBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// Draws frame number `frame` into rgb (packed RGB, width x height).
void RenderTestPicture(std::vector<std::uint8_t>& rgb, int width, int height, std::int64_t frame,
                       const DeviceState& state, const ClockFields& clock);

class PictureSource {
  public:
    PictureSource(int width, int height, int quality);
    ~PictureSource();
    PictureSource(const PictureSource&) = delete;
    PictureSource& operator=(const PictureSource&) = delete;

    bool Init(std::string* error);

    // The JPEG of frame number `frame`. The first caller for a frame number renders it from the
    // state and clock it passes; later callers for the same number get the same bytes.
    // Null when encoding failed.
    JpegBytes Frame(std::int64_t frame, const DeviceState& state, const ClockFields& clock);

  private:
    const int width_;
    const int height_;
    const int quality_;
    std::mutex mu_;  // guards everything below; held while encoding so a frame is encoded once
    void* encoder_ = nullptr;
    std::vector<std::uint8_t> rgb_;
    std::int64_t cached_frame_ = -1;
    JpegBytes cached_;
};

}  // namespace camera
