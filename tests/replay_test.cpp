// The containers' replay decision against a hand-driven clock: the backoff schedule, what resets
// it, which ends are never replayed, and the words shown to the user.
#include "container/replay.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using container::Replay;
using container::StatusReading;
using control::ReasonCode;
using control::SessionState;

// A session of the control as the container would read it, with the clock the replay sees.
struct Fixture {
    explicit Fixture(bool enabled = true) : replay(enabled, [this] { return now; }) {}
    platform::Tick now = 1000;
    std::uint32_t sequence = 0;
    Replay replay;

    bool Read(SessionState state, ReasonCode reason = ReasonCode::None, const char* text = "",
              std::uint32_t frames = 0) {
        StatusReading r;
        r.state = state;
        r.reason = reason;
        r.reason_text = text;
        r.sequence = sequence;
        r.session_frames = frames;
        return replay.Update(r);
    }
    bool End(ReasonCode reason, const char* text, std::uint32_t frames = 0) {
        ++sequence;
        return Read(SessionState::Ended, reason, text, frames);
    }
    // Advances the clock 100 ms at a time until the replay says "play"; the wait in ms.
    std::uint32_t WaitForReplay(ReasonCode reason, const char* text) {
        const platform::Tick start = now;
        for (int i = 0; i < 1000; ++i) {
            now += 100;
            if (Read(SessionState::Ended, reason, text)) return now - start;
        }
        return 0;
    }
};

TEST(Replay, DelaysDoubleUpToThirtySecondsAndResetAfterASessionWithFrames) {
    Fixture f;
    f.Read(SessionState::Connecting);
    std::vector<std::uint32_t> waits;
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(f.End(ReasonCode::ConnectRefused, "connection refused"));
        waits.push_back(f.WaitForReplay(ReasonCode::ConnectRefused, "connection refused"));
        f.Read(SessionState::Connecting);  // the container's Play
    }
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));

    // A session that received frames ends: the next replay comes after 1 s again, and the one
    // after that after 2 s.
    f.Read(SessionState::Playing, ReasonCode::None, "", 12);
    f.End(ReasonCode::ClosedByCamera, "connection closed by the camera", 12);
    EXPECT_EQ(f.WaitForReplay(ReasonCode::ClosedByCamera, "x"), 1000u);
    f.Read(SessionState::Connecting);
    f.End(ReasonCode::ConnectRefused, "connection refused");
    EXPECT_EQ(f.WaitForReplay(ReasonCode::ConnectRefused, "x"), 2000u);
}

TEST(Replay, TheHostsOwnEndsAndUserStopsAreNeverReplayed) {
    for (ReasonCode reason : {ReasonCode::StoppedByHost, ReasonCode::NoTarget}) {
        SCOPED_TRACE(static_cast<int>(reason));
        Fixture f;
        f.End(reason, "x");
        EXPECT_EQ(f.WaitForReplay(reason, "x"), 0u);
    }
    // A Stop while a replay waits cancels it; the user's Play starts the delays afresh.
    Fixture f;
    f.End(ReasonCode::ConnectRefused, "connection refused");
    f.WaitForReplay(ReasonCode::ConnectRefused, "x");
    f.End(ReasonCode::ConnectRefused, "connection refused");
    EXPECT_TRUE(f.replay.ReplayDue());
    f.replay.UserStopped();
    EXPECT_EQ(f.WaitForReplay(ReasonCode::ConnectRefused, "x"), 0u);
    f.replay.UserPlayed();
    f.Read(SessionState::Connecting);
    f.End(ReasonCode::ConnectRefused, "connection refused");
    EXPECT_EQ(f.WaitForReplay(ReasonCode::ConnectRefused, "x"), 1000u);

    Fixture off(false);
    off.End(ReasonCode::ConnectRefused, "connection refused");
    EXPECT_EQ(off.replay.Text(), "ended: connection refused");
    EXPECT_EQ(off.WaitForReplay(ReasonCode::ConnectRefused, "x"), 0u);
}

// A native session retries by itself: its failed attempts are shown, never replayed; an end it
// reaches later is replayed once, not once per attempt before it.
TEST(Replay, FailedAttemptsOfASessionThatRetriesByItselfAreNotReplayed) {
    Fixture f;
    for (int i = 0; i < 3; ++i) {
        ++f.sequence;
        EXPECT_FALSE(f.Read(SessionState::Retrying, ReasonCode::ConnectRefused,
                            "connection refused"));
        f.now += 5000;
    }
    EXPECT_EQ(f.replay.Text(), "retrying: connection refused");
    EXPECT_FALSE(f.replay.ReplayDue());
    f.End(ReasonCode::ClosedByCamera, "connection closed by the camera");
    EXPECT_EQ(f.WaitForReplay(ReasonCode::ClosedByCamera, "x"), 1000u);
    EXPECT_FALSE(f.Read(SessionState::Ended, ReasonCode::ClosedByCamera, "x"));
}

TEST(Replay, TextSaysWhereTheControlStandsAndCountsDown) {
    Fixture f;
    f.Read(SessionState::Idle);
    EXPECT_EQ(f.replay.Text(), "idle");
    f.Read(SessionState::Connecting);
    EXPECT_EQ(f.replay.Text(), "connecting");
    f.Read(SessionState::Playing, ReasonCode::None, "", 1);
    EXPECT_EQ(f.replay.Text(), "playing");
    f.End(ReasonCode::CredentialsRefused,
          "camera refused the credentials: HTTP/1.0 401 Unauthorized");
    f.WaitForReplay(ReasonCode::CredentialsRefused, "x");
    f.Read(SessionState::Connecting);
    f.End(ReasonCode::CredentialsRefused,
          "camera refused the credentials: HTTP/1.0 401 Unauthorized");
    EXPECT_EQ(f.replay.Text(),
              "ended: camera refused the credentials: HTTP/1.0 401 Unauthorized, retrying in 2 s");
    f.now += 1100;
    EXPECT_EQ(f.replay.SecondsToReplay(), 1u);
    f.End(ReasonCode::StoppedByHost, "stopped by the host");
    EXPECT_EQ(f.replay.Text(), "stopped");
    EXPECT_EQ(f.replay.SecondsToReplay(), 0u);
}

TEST(Replay, ScheduleHoldsAcrossTheTickWrap) {
    Fixture f;
    f.now = 0xFFFFFF00u;
    f.End(ReasonCode::ConnectRefused, "connection refused");
    EXPECT_FALSE(f.Read(SessionState::Ended, ReasonCode::ConnectRefused, "x"));
    EXPECT_EQ(f.WaitForReplay(ReasonCode::ConnectRefused, "x"), 1000u);
}

}  // namespace
