// The replay schedule: each end without frames doubles the next delay (1, 2, 4 ... 30 s); an end
// after a session that received frames starts again from 1 s.
#include "container/replay.h"

#include <algorithm>
#include <utility>

namespace container {

using control::ReasonCode;
using control::SessionState;

bool EndedForGood(ReasonCode reason) {
    return reason == ReasonCode::StoppedByHost || reason == ReasonCode::NoTarget;
}

Replay::Replay(bool enabled, Clock clock) : enabled_(enabled), clock_(std::move(clock)) {}

void Replay::UserPlayed() {
    user_stopped_ = false;
    scheduled_ = false;
    delay_ms_ = kFirstReplayDelayMs;
}

void Replay::UserStopped() {
    user_stopped_ = true;
    scheduled_ = false;
}

bool Replay::Update(const StatusReading& reading) {
    last_ = reading;
    const platform::Tick now = clock_();
    if (reading.state == SessionState::Ended && reading.sequence != handled_sequence_) {
        handled_sequence_ = reading.sequence;
        scheduled_ = false;
        if (enabled_ && !user_stopped_ && !EndedForGood(reading.reason)) {
            if (reading.session_frames > 0) delay_ms_ = kFirstReplayDelayMs;
            replay_at_ = now + delay_ms_;
            scheduled_ = true;
            delay_ms_ = std::min(delay_ms_ * 2, kMaxReplayDelayMs);
        }
    } else if (reading.state != SessionState::Ended) {
        // A session is under way, whoever started it; a native one retries by itself, so its
        // failed attempts are not ends to replay.
        scheduled_ = false;
        handled_sequence_ = reading.sequence;
    }
    // Ticks wrap: the difference is read as signed, so a time just past the wrap is still "due".
    if (scheduled_ && static_cast<std::int32_t>(now - replay_at_) >= 0) {
        scheduled_ = false;
        return true;
    }
    return false;
}

std::uint32_t Replay::SecondsToReplay() const {
    if (!scheduled_) return 0;
    const std::int32_t left = static_cast<std::int32_t>(replay_at_ - clock_());
    return left <= 0 ? 0 : (static_cast<std::uint32_t>(left) + 999) / 1000;
}

std::string Replay::Text() const {
    switch (last_.state) {
        case SessionState::Idle:
            return user_stopped_ ? "stopped" : "idle";
        case SessionState::Connecting:
            return "connecting";
        case SessionState::Playing:
            return "playing";
        case SessionState::Retrying:
            return "retrying: " + last_.reason_text;
        case SessionState::Ended:
            break;
    }
    if (last_.reason == ReasonCode::StoppedByHost) return "stopped";
    std::string text = "ended: " + last_.reason_text;
    if (scheduled_) text += ", retrying in " + std::to_string(SecondsToReplay()) + " s";
    return text;
}

}  // namespace container
