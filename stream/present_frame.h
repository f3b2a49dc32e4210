// Turns the JPEG in the control's FrameBuffer into pixels in the control's window and counts it
// for FrameRate: decode, scale to the preview size times the zoom, paint the centre crop. Runs on
// the stream worker for every accepted frame and on a short-lived thread for the present-frame
// window message. The decoded and scaled pictures live in the control's own blocks, reused from
// frame to frame while their sizes hold.
#pragma once

#include <cstdint>

#include "control/control_state.h"

namespace stream {

// Counts a frame: FrameCount advances and wraps to 0 on reaching kFrameCountWrap.
void CountFrame(control::ControlState& control);

// Target size of the scaled picture and the offset of the part the window shows. Zoom 1: the
// preview size at (0, 0); otherwise preview x zoom with the centre crop offset
// (w / 2 - preview width / 2, h / 2 - preview height / 2), halves truncated toward zero. 64-bit,
// so that no zoom overflows; sizes outside 1..INT32_MAX are refused by the presenter.
struct FrameGeometry {
    std::int64_t width;
    std::int64_t height;
    std::int64_t x;
    std::int64_t y;
};
FrameGeometry ComputeFrameGeometry(std::int32_t preview_width, std::int32_t preview_height,
                                   std::int32_t zoom);

// no_count non-zero skips the count. Returns 0 or the first failing pipeline code; the frame is
// counted once its header reads, whether or not it can then be shown.
int PresentFrame(control::ControlState& control, int no_count);

// Copies a received frame into FrameBuffer (cut to its size) under the frame lock.
void StoreFrame(control::ControlState& control, const std::uint8_t* data, int length);

}  // namespace stream
