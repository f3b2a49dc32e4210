// Why the last session ended, what the probe decided and how the last command went: the part of
// the control's record a container reads to tell its user what happened. Workers write it as
// they end; the container thread reads it whole. The hard part is consistency: the code, its
// text and the sequence number that announces a new end are written together under one small
// lock, so a reader never pairs one end's code with another end's text. Deciding whether to play
// again is left to the containers.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace control {

// Where the session stands, as a container shows it.
enum class SessionState : std::int32_t {
    Idle = 0,        // never played
    Connecting = 1,  // Play started a session; no frame has arrived yet
    Playing = 2,     // frames arrive
    Retrying = 3,    // a native attempt failed; the session tries again by itself
    Ended = 4,       // the session is over; the reason says why
};
const char* to_string(SessionState state);  // "idle", "connecting", ...

// Why a session (or one attempt of a native session) ended. The numbers are part of the
// component's status interface and never change.
enum class ReasonCode : std::int32_t {
    None = 0,                // nothing has ended yet
    StoppedByHost = 1,       // Stop, the window's end or the control's destruction
    NoTarget = 2,            // Play found no protocol verdict: RemoteHost was never set
    NoWorker = 3,            // no worker thread could be started
    ConnectRefused = 10,     // nothing listens on the camera's port
    ConnectTimedOut = 11,    // no answer to the connect within the time-out
    NameNotResolved = 12,    // the host name has no address
    ConnectFailed = 13,      // any other connect failure (unreachable network, no socket)
    ClosedByCamera = 14,     // the camera closed the connection
    ResetByCamera = 15,      // the camera reset the connection
    SendFailed = 16,         // the request could not be sent whole
    HttpStatus = 20,         // the stream request was answered with a status other than 200
    CredentialsRefused = 21, // ... with 401: wrong user name or password
    NotMultipart = 22,       // the answer is not a multipart stream
    BadPartLength = 23,      // a part's length is missing, below 1 or above the part limit
    BufferOverflow = 24,     // more bytes buffered than a frame may have, without a frame
    DataSilence = 25,        // no data for ProbeTimeout x 2 s
    FrameSilence = 26,       // no frame for 12 s
    BadChunk = 27,           // a chunked reply body broke its coding
    LoginRefused = 30,       // native: the status after the login was not a ready status
    UnknownGreeting = 31,    // native: the greeting is none of the protocol's statuses
    FrameLength = 32,        // native: a frame length above the limit
    NoAnswer = 33,           // native: a status, block, length or frame did not come in time
};
const char* to_string(ReasonCode code);  // a short phrase: "connection refused", ...

// A reason with its text, as the sessions, the probe and the commands work it out.
struct Reason {
    ReasonCode code = ReasonCode::None;
    std::string text;
};

// Why a connect failed, from SocketClient::Connect's result, its ConnectError() and the time-out
// it was given: "connection refused", "connect timed out after 5 s", "name not resolved", ...
Reason ConnectFailure(int result, int error, int timeout_s);

// One consistent reading of the record.
struct SessionStatus {
    SessionState state = SessionState::Idle;
    ReasonCode reason = ReasonCode::None;
    std::string reason_text;          // the phrase with its details, e.g. the status line
    std::uint32_t sequence = 0;       // changes with every end and every failed attempt
    std::uint32_t session_frames = 0; // frames received since the session began
    std::int32_t stream_mode = 99;    // the protocol verdict (1 HTTP, 0 native, 99 undecided)
    std::string probe_text;           // the probe's verdict and why; empty before any probe
    std::int32_t command_status = 0;  // outcome of the last command (20 done; 22..27 failed)
    std::string command_text;         // what that outcome means, e.g. the camera's status line
    std::uint32_t command_sequence = 0;  // changes with every finished command
    std::int32_t commands_pending = 0;   // command workers started and not finished yet
};

class SessionRecord {
public:
    // Play started a session: Connecting, no frames yet. The last end stays readable.
    void Begin();
    // A frame arrived: Playing.
    void FrameReceived();
    // The session is over (Ended), or one native attempt failed and another follows (Retrying).
    // Writes one trace line; a retry whose reason is the one before writes none, so a camera
    // that stays away does not fill the trace.
    void End(ReasonCode code, const std::string& text);
    void AttemptFailed(ReasonCode code, const std::string& text);
    void SetProbeVerdict(const std::string& text);
    void CommandFinished(std::int32_t status, const std::string& text);
    // A command worker was started, and has ended (whether or not it finished a request).
    void CommandQueued() { ++commands_pending_; }
    void CommandDequeued() { --commands_pending_; }

    SessionStatus Read() const;
    std::uint32_t Sequence() const { return sequence_.load(); }
    SessionState State() const { return state_.load(); }

private:
    void Record(SessionState state, ReasonCode code, const std::string& text);

    mutable std::mutex lock_;  // guards everything below that is not atomic
    std::atomic<SessionState> state_{SessionState::Idle};
    std::atomic<std::uint32_t> sequence_{0};
    std::atomic<std::uint32_t> session_frames_{0};
    std::atomic<std::int32_t> commands_pending_{0};
    ReasonCode reason_ = ReasonCode::None;
    std::string reason_text_;
    std::string probe_text_;
    std::int32_t command_status_ = 0;
    std::string command_text_;
    std::uint32_t command_sequence_ = 0;
};

}  // namespace control
