// The session record: names of its codes, and the writes that keep code, text and sequence
// number together.
#include "control/session_status.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "net/socket_client.h"
#include "platform/kernel.h"

namespace control {

const char* to_string(SessionState state) {
    switch (state) {
        case SessionState::Idle: return "idle";
        case SessionState::Connecting: return "connecting";
        case SessionState::Playing: return "playing";
        case SessionState::Retrying: return "retrying";
        case SessionState::Ended: return "ended";
    }
    return "unknown";
}

const char* to_string(ReasonCode code) {
    switch (code) {
        case ReasonCode::None: return "none";
        case ReasonCode::StoppedByHost: return "stopped by the host";
        case ReasonCode::NoTarget: return "no camera: RemoteHost has not been set";
        case ReasonCode::NoWorker: return "no worker thread could be started";
        case ReasonCode::ConnectRefused: return "connection refused";
        case ReasonCode::ConnectTimedOut: return "connect timed out";
        case ReasonCode::NameNotResolved: return "name not resolved";
        case ReasonCode::ConnectFailed: return "connect failed";
        case ReasonCode::ClosedByCamera: return "connection closed by the camera";
        case ReasonCode::ResetByCamera: return "connection reset by the camera";
        case ReasonCode::SendFailed: return "request could not be sent";
        case ReasonCode::HttpStatus: return "camera answered with an error status";
        case ReasonCode::CredentialsRefused: return "camera refused the credentials";
        case ReasonCode::NotMultipart: return "not a multipart stream";
        case ReasonCode::BadPartLength: return "part length missing or out of range";
        case ReasonCode::BufferOverflow: return "too many bytes without a frame";
        case ReasonCode::DataSilence: return "no data from the camera";
        case ReasonCode::FrameSilence: return "no frame from the camera";
        case ReasonCode::BadChunk: return "chunked reply body is malformed";
        case ReasonCode::LoginRefused: return "camera refused the login";
        case ReasonCode::UnknownGreeting: return "unknown greeting";
        case ReasonCode::FrameLength: return "frame length out of range";
        case ReasonCode::NoAnswer: return "no answer from the camera";
    }
    return "unknown reason";
}

Reason ConnectFailure(int result, int error, int timeout_s) {
    switch (result) {
        case net::SocketHostUnresolved:
        case net::SocketLookupFailed:
            return {ReasonCode::NameNotResolved, "name not resolved"};
        case net::SocketConnectTimeout:
            return {ReasonCode::ConnectTimedOut,
                    "connect timed out after " + std::to_string(timeout_s < 0 ? 0 : timeout_s) +
                        " s"};
        default:
            break;
    }
    if (error == ECONNREFUSED) return {ReasonCode::ConnectRefused, "connection refused"};
    if (error == 0) return {ReasonCode::ConnectFailed, "connect failed"};
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    if (result == net::SocketCreateFailed) text = "no socket: " + text;
    return {ReasonCode::ConnectFailed, text};
}

void SessionRecord::Begin() {
    std::lock_guard<std::mutex> guard(lock_);
    session_frames_ = 0;
    state_ = SessionState::Connecting;
}

void SessionRecord::FrameReceived() {
    ++session_frames_;
    // Only a session still starting turns to Playing; an end written meanwhile stays.
    for (SessionState s : {SessionState::Connecting, SessionState::Retrying})
        if (state_.compare_exchange_strong(s, SessionState::Playing)) break;
}

void SessionRecord::Record(SessionState state, ReasonCode code, const std::string& text) {
    bool repeated;
    {
        std::lock_guard<std::mutex> guard(lock_);
        repeated = state == SessionState::Retrying && state_.load() == SessionState::Retrying &&
                   reason_ == code && reason_text_ == text;
        reason_ = code;
        reason_text_ = text;
        state_ = state;
        ++sequence_;
    }
    if (repeated) return;
    const std::string line = (state == SessionState::Retrying ? "session attempt failed, retrying: "
                                                              : "session ended: ") +
                             text;
    platform::OutputDebugStringA(line.c_str());
}

void SessionRecord::End(ReasonCode code, const std::string& text) {
    Record(SessionState::Ended, code, text);
}

void SessionRecord::AttemptFailed(ReasonCode code, const std::string& text) {
    Record(SessionState::Retrying, code, text);
}

void SessionRecord::SetProbeVerdict(const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        probe_text_ = text;
    }
    platform::OutputDebugStringA(("probe: " + text).c_str());
}

void SessionRecord::CommandFinished(std::int32_t status, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    command_status_ = status;
    command_text_ = text;
    ++command_sequence_;
}

SessionStatus SessionRecord::Read() const {
    std::lock_guard<std::mutex> guard(lock_);
    SessionStatus s;
    s.state = state_.load();
    s.reason = reason_;
    s.reason_text = reason_text_;
    s.sequence = sequence_.load();
    s.session_frames = session_frames_.load();
    s.probe_text = probe_text_;
    s.command_status = command_status_;
    s.command_text = command_text_;
    s.command_sequence = command_sequence_;
    s.commands_pending = commands_pending_.load();
    return s;
}

}  // namespace control
