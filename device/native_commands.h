// The native command channel on the control's command socket: open-and-login when the socket is
// not alive, then one exchange. Called on the container's thread by the output setters and
// GetRealTimeData of a native device. The whole operation holds the command socket's lock, which
// the stream thread's stop step takes too before it closes the socket.
#pragma once

#include <cstdint>

#include "control/control_state.h"
#include "device/native_protocol.h"

namespace device {

// Opens and logs in to the command socket unless it is alive. The caller holds
// CommandSocketLock. A connection whose greeting or login failed is closed, so the next command
// starts afresh instead of talking on a connection that never got past its greeting. On a
// failure *why (when given) says what went wrong.
NativeResult OpenCommandChannel(control::ControlState& control, control::Reason* why = nullptr);

// Switches output 1 or 2: sends the low byte of value; on acceptance stores value in IOOut1 or
// IOOut2 and returns 0; a refusal or any failure returns 1 and changes nothing. Both commands
// leave their outcome in the command record, with the HTTP commands' codes (20 done, 22 no
// connection, 25 no answer, 26 refused, 27 an answer the protocol does not have).
int NativeOutputCommand(control::ControlState& control, int output, std::int32_t value);

// "0111" exchange: stores the outputs, the clock fields and TimeString; *value = -1 on success,
// 0 on any failure. A reply that did not arrive whole still stores the fields it carried.
void NativeGetRealTimeData(control::ControlState& control, std::int32_t* value);

}  // namespace device
