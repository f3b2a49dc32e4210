// Placeholder session until the native protocol lands: it ends at once, as a session that
// cannot reach its device would after Stop.
#include "device/native_stream.h"

namespace device {

void RunNativeStream(control::ControlState& c) {
    while (c.PlayState.load() == control::Playing) platform::Sleep(100);
    c.RequestRepaint();
    c.PlayState = control::Ended;
    c.ThreadRunning = 0;
}

}  // namespace device
