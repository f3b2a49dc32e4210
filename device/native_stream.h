// The native stream session: greeting, login and paced "0110" frame requests on the stream
// socket, reconnecting while the control plays.
#pragma once

#include "control/control_state.h"

namespace device {

// Runs until the play state leaves Playing; returns with PlayState = Ended, ThreadRunning = 0.
void RunNativeStream(control::ControlState& control);

}  // namespace device
