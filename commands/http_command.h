// The two HTTP command requests, each one exchange on a socket client of its own: connect to the
// device (or the proxy), send the request whole, read the reply head, and for a GET the body.
// CommandStatus records the outcome. Building the bytes is command_request's, reading the reply
// command_reply's; these functions only join them to a socket.
#pragma once

#include <cstdint>
#include <string>

#include "commands/command_request.h"
#include "control/control_state.h"

namespace commands {

// Results of the request operations.
inline constexpr int kRequestDone = -1;
inline constexpr int kRequestFailed = 0;

// POST of request.body to request.path. kRequestDone with CommandStatus 20, or kRequestFailed
// with the failure's code in CommandStatus. The reply's body is not read.
int HttpPostCommand(control::ControlState& control, const CommandRequest& request);

// GET of request.path. kRequestDone with the reply body in *body (at most kMaxCommandBodyChars
// bytes) and in the control's MessageBuffer, CommandStatus unchanged; or kRequestFailed with the
// code in CommandStatus and *body empty.
int HttpGetCommand(control::ControlState& control, const CommandRequest& request,
                   std::string* body);

}  // namespace commands
