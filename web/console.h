// The page's console: one script line run as `quorlina run` runs it (the same script host), but
// against the control through a guard that applies the web's rules to every put and get the
// line makes, and that tells the container when the line plays or stops the control.
#pragma once

#include <functional>
#include <string>

#include "platform/com.h"
#include "web/config.h"
#include "web/member_calls.h"

namespace web {

struct ConsoleHooks {
    std::function<void()> play;  // the line calls Play: the container plays it (and replays)
    std::function<void()> stop;  // the line calls Stop
};

// {"output": what print wrote} or 400 "line 1: ..." (403 for a refused put). A `wait` longer
// than kMaxConsoleWaitMs is refused before anything runs.
Outcome RunConsoleLine(platform::IDispatch& control, const CameraConfig& camera,
                       const std::string& line, std::uint32_t max_wait_ms,
                       const ConsoleHooks& hooks);

}  // namespace web
