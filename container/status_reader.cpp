#include "container/status_reader.h"

namespace container {

using control::SessionState;

StatusReader::StatusReader(platform::IUnknown& control) {
    void* pointer = nullptr;
    if (platform::Succeeded(control.QueryInterface(host::kIidIQuorlinaStatus, &pointer)))
        status_ = static_cast<host::IQuorlinaStatus*>(pointer);
}

StatusReader::~StatusReader() {
    if (status_ != nullptr) status_->Release();
}

StatusReading StatusReader::Read() const {
    StatusReading reading;
    if (status_ == nullptr) return reading;
    host::QuorlinaStatus s;
    if (!platform::Succeeded(status_->GetStatus(&s))) return reading;
    platform::BSTR text = nullptr;
    platform::ULONG text_sequence = 0;
    if (platform::Succeeded(status_->GetReasonText(&text, &text_sequence))) {
        reading.reason_text = platform::AnsiFromBstr(text);
        platform::SysFreeString(text);
    }
    // Code and text are read in two calls; an end between them is taken whole on the next read.
    if (text_sequence != s.sequence) {
        host::QuorlinaStatus again;
        if (platform::Succeeded(status_->GetStatus(&again))) s = again;
    }
    reading.state = static_cast<SessionState>(s.state);
    reading.reason = static_cast<control::ReasonCode>(s.reason);
    reading.sequence = s.sequence;
    reading.session_frames = s.session_frames;
    return reading;
}

bool StatusReader::Numbers(host::QuorlinaStatus* status) const {
    return status_ != nullptr && platform::Succeeded(status_->GetStatus(status));
}

std::string StatusReader::CommandText(std::uint32_t* sequence) const {
    if (sequence != nullptr) *sequence = 0;
    if (status_ == nullptr) return {};
    platform::BSTR text = nullptr;
    platform::ULONG got = 0;
    if (!platform::Succeeded(status_->GetCommandText(&text, &got))) return {};
    std::string out = platform::AnsiFromBstr(text);
    platform::SysFreeString(text);
    if (sequence != nullptr) *sequence = got;
    return out;
}

StatusReading FromStatus(const control::SessionStatus& status) {
    StatusReading reading;
    reading.state = status.state;
    reading.reason = status.reason;
    reading.reason_text = status.reason_text;
    reading.sequence = status.sequence;
    reading.session_frames = status.session_frames;
    return reading;
}

bool EndedSince(const StatusReading& reading, std::uint32_t since) {
    return reading.sequence != since &&
           (reading.state == SessionState::Ended || reading.state == SessionState::Retrying);
}

std::string EndLine(const std::string& target, const StatusReading& reading) {
    std::string reason = reading.reason_text.empty() ? control::to_string(reading.reason)
                                                     : reading.reason_text;
    return target + ": " + reason;
}

}  // namespace container
