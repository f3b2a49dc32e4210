// The command accessor pattern of an HTTP device and the workers it starts. A setter records its
// request in CommandPath and MessageBuffer, hands a copy of it to a worker that performs it, and
// returns after at least kCommandMinimumMs without waiting for the worker. Each worker holds a
// reference to the control and its own request, so commands set back to back go out each exactly
// as set. The device-mode branching of each member is the control's (quorlina_commands).
#pragma once

#include <cstdint>
#include <string>

#include "commands/command_request.h"
#include "control/control_state.h"

namespace commands {

inline constexpr std::uint32_t kCommandMinimumMs = 200;  // shortest duration of a command setter

// Thread entries; each takes ownership of the CommandRequest passed as context.
void PostWorker(control::ControlState& control, void* request);
// GET of the status path, then the status fields into IOOut1, IOOut2, ImageUpload, EmailImage and
// TimeString; the split fields are published whole as the control's reply table. A failed GET
// changes none of them.
void RealTimeDataWorker(control::ControlState& control, void* request);

// Writes path and body into CommandPath and MessageBuffer (cut to their sizes).
void RecordCommand(control::ControlState& control, const CommandRequest& request);

// The setter side of one POST command: record it, start its PostWorker, CommandStatus -1, and
// keep the call at least kCommandMinimumMs long.
void PostCommand(control::ControlState& control, const char* path, const std::string& body);

// The HTTP side of GetRealTimeData: record the status path with an empty MessageBuffer, run the
// GET once on the calling thread, then start a RealTimeDataWorker that runs it again and stores
// the fields. No minimum duration.
void ReadRealTimeData(control::ControlState& control);

}  // namespace commands
