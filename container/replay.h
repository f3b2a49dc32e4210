// The replay decision every container shares: after a session ends by itself, when to call Play
// again, and the words that tell the user where the control stands ("connecting", "playing",
// "ended: connection refused, retrying in 4 s"). Pure logic over the status a container reads
// through the control's status interface, with an injectable clock, so its schedule is tested
// without sleeping. Reading the status and calling Play are the container's part.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "control/session_status.h"
#include "platform/kernel.h"

namespace container {

inline constexpr std::uint32_t kFirstReplayDelayMs = 1000;  // after the first end in a row
inline constexpr std::uint32_t kMaxReplayDelayMs = 30000;   // the delay doubles up to this

// What a container read from the control at one moment.
struct StatusReading {
    control::SessionState state = control::SessionState::Idle;
    control::ReasonCode reason = control::ReasonCode::None;
    std::string reason_text;
    std::uint32_t sequence = 0;        // changes with every end and every failed attempt
    std::uint32_t session_frames = 0;  // frames the current (or ended) session received
};

// True for ends that playing again cannot mend: the host's own stop, and no camera set.
bool EndedForGood(control::ReasonCode reason);

class Replay {
public:
    using Clock = std::function<platform::Tick()>;

    // enabled false: ends are shown, never replayed (a viewer's --no-reconnect).
    explicit Replay(bool enabled = true, Clock clock = &platform::GetTickCount);

    // The user's own Play: the delay starts again from its first value and any replay that was
    // due is dropped (the user's Play is the replay). The user's Stop: nothing is replayed until
    // the user plays again.
    void UserPlayed();
    void UserStopped();

    // Takes a reading. True when the container should call Play now; it is then counted as done.
    bool Update(const StatusReading& reading);

    // Where the control stands, in words, for a title, a status line or the window.
    std::string Text() const;

    bool ReplayDue() const { return scheduled_; }  // a replay is waiting for its time
    // Seconds until the waiting replay, rounded up; 0 when none waits.
    std::uint32_t SecondsToReplay() const;
    // The delay the next end without frames will get.
    std::uint32_t NextDelayMs() const { return delay_ms_; }

private:
    const bool enabled_;
    const Clock clock_;
    StatusReading last_;
    std::uint32_t handled_sequence_ = 0;  // the last end this object has decided on
    std::uint32_t delay_ms_ = kFirstReplayDelayMs;
    bool user_stopped_ = false;
    bool scheduled_ = false;
    platform::Tick replay_at_ = 0;
};

}  // namespace container
