// The HTTP Motion-JPEG session: one connection (direct or through the proxy), one request for
// "/mjpeg.cgi" (or the target's own stream path), then the endless multipart reply, worked off
// by the parse step until Stop, a protocol error, the camera's close or silence ends it, with its
// reason recorded. Never reconnects by itself.
#pragma once

#include <string>

#include "control/control_state.h"

namespace stream {

inline constexpr int kRequestBufferBytes = 2000;
inline constexpr char kDeviceStreamPath[] = "/mjpeg.cgi";  // when the target names no path
inline constexpr std::uint32_t kFrameSilenceMs = 12000;  // no frame for this long ends it
// Longest wait for bytes between two passes of an idle session (also how soon Stop is seen).
inline constexpr std::uint32_t kIdleSleepMs = 30;
inline constexpr int kLargeReceiveBytes = 512;  // receives this big skip the pass's wait
inline constexpr int kDrainSteps = 1000;  // most parse steps run on what a closing camera sent

// The request text, byte for byte, for the control's current settings.
std::string BuildStreamRequest(control::ControlState& control);

// Runs one session; returns with PlayState = Ended and ThreadRunning = 0.
void RunHttpStream(control::ControlState& control);

}  // namespace stream
