// The native command channel on the control's command socket: open-and-login when the socket is
// not alive, then one exchange. Called on the container's thread by the output setters and
// GetRealTimeData of a native device; the command socket's lock keeps the stream thread's stop
// step from closing it mid-exchange.
#pragma once

#include <cstdint>

#include "control/control_state.h"

namespace device {

// Switches output 1 or 2: sends the low byte of value; on acceptance stores value in IOOut1 or
// IOOut2 and returns 0; a refusal or any failure returns 1 and changes nothing.
int NativeOutputCommand(control::ControlState& control, int output, std::int32_t value);

// "0111" exchange: stores the outputs, the clock fields and TimeString; *value = -1 on success,
// 0 on any failure.
void NativeGetRealTimeData(control::ControlState& control, std::int32_t* value);

}  // namespace device
