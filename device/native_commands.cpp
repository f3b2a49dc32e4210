// Placeholder until the native protocol lands: every exchange fails as an unreachable device's
// would.
#include "device/native_commands.h"

namespace device {

int NativeOutputCommand(control::ControlState&, int, std::int32_t) { return 1; }

void NativeGetRealTimeData(control::ControlState&, std::int32_t* value) { *value = 0; }

}  // namespace device
