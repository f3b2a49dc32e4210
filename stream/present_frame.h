// Turns the JPEG in the control's FrameBuffer into pixels in the control's window and counts it
// for FrameRate. Runs on the stream worker for every accepted frame.
#pragma once

#include <cstdint>

#include "control/control_state.h"

namespace stream {

// Counts a frame: FrameCount advances and wraps to 0 on reaching kFrameCountWrap.
void CountFrame(control::ControlState& control);

// no_count non-zero skips the count. Returns 0 or the first failing pipeline code.
int PresentFrame(control::ControlState& control, int no_count);

// Copies a received frame into FrameBuffer (cut to its size) under the frame lock.
void StoreFrame(control::ControlState& control, const std::uint8_t* data, int length);

}  // namespace stream
