// The native stream session on the control's stream socket: connect, greeting and login, then
// one "0110" frame request at a time, paced by the device's N, each frame handed to the frame
// presenter. Every failure reconnects after a short pause (a refused connect after the rest of
// its time-out) while the control plays, and leaves its reason in the session record; the stop
// step says goodbye on both native sockets. The wire steps live in native_protocol.h.
#pragma once

#include <cstdint>

#include "control/control_state.h"

namespace device {

inline constexpr std::uint32_t kRetryPauseMs = 100;  // between a failure and the next connect

// Runs until the play state leaves Playing; returns with PlayState = Ended, ThreadRunning = 0.
void RunNativeStream(control::ControlState& control);

}  // namespace device
