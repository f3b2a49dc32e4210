#include "apps/viewer_session.h"

#include "control/control_state.h"
#include "platform/kernel.h"

namespace apps {

namespace {

constexpr std::uint32_t kLookIntervalMs = 200;  // status interface reads at most this often

// A method without arguments and with a long result, called through IDispatch.
void CallForLong(platform::IDispatch& control, const char* name, std::int32_t* result) {
    std::u16string wide = platform::Utf16FromAnsi(name);
    platform::OLECHAR* names[] = {wide.data()};
    platform::DISPID id = platform::DISPID_UNKNOWN;
    if (!platform::Succeeded(control.GetIDsOfNames(platform::IID_NULL, names, 1,
                                                   platform::kLocaleEnglishUs, &id)))
        return;
    platform::DISPPARAMS none;
    platform::VARIANT out;
    const platform::HRESULT hr =
        control.Invoke(id, platform::IID_NULL, platform::kLocaleEnglishUs,
                       platform::DISPATCH_METHOD, &none, &out, nullptr, nullptr);
    if (platform::Succeeded(hr) && out.vt == platform::VT_I4) *result = out.lVal;
    platform::VariantClear(&out);
}

}  // namespace

ViewerSession::ViewerSession(container::DispatchCalls& calls, bool reconnect)
    : calls_(calls), status_(calls.Control()), replay_(reconnect) {
    last_ = status_.Read();
    told_sequence_ = last_.sequence;
    status_.CommandText(&command_sequence_);
}

void ViewerSession::Play() {
    replay_.UserPlayed();
    calls_.Call("Play");
    looked_ = false;
}

void ViewerSession::Stop() {
    replay_.UserStopped();
    calls_.Call("Stop");
    looked_ = false;
}

void ViewerSession::TogglePlay() {
    last_ = status_.Read();
    switch (last_.state) {
        case control::SessionState::Connecting:
        case control::SessionState::Playing:
        case control::SessionState::Retrying:
            Stop();
            break;
        case control::SessionState::Idle:
        case control::SessionState::Ended:
            Play();
            break;
    }
}

bool ViewerSession::Tick() {
    const platform::Tick now = platform::GetTickCount();
    if (!looked_ || now - last_look_ >= kLookIntervalMs) {
        looked_ = true;
        last_look_ = now;
        last_ = status_.Read();
        const bool replay = replay_.Update(last_);
        const bool ended = last_.state == control::SessionState::Ended ||
                           last_.state == control::SessionState::Retrying;
        if (ended && last_.sequence != told_sequence_ &&
            last_.reason != control::ReasonCode::StoppedByHost) {
            told_sequence_ = last_.sequence;
            // A native session retrying against a camera that stays away tells it once.
            if (replay_.Text() != told_text_) note_ = told_text_ = replay_.Text();
        }
        if (last_.state == control::SessionState::Playing) told_text_.clear();
        if (replay) {
            note_ = "playing again";
            calls_.Call("Play");
            looked_ = false;
        }
        if (!pending_command_.empty()) {
            std::uint32_t sequence = 0;
            const std::string text = status_.CommandText(&sequence);
            if (sequence != command_sequence_) {
                command_sequence_ = sequence;
                note_ = pending_command_ + ": " + text;
                pending_command_.clear();
            }
        }
    }
    const std::string text = replay_.Text();
    if (text == last_text_) return false;
    last_text_ = text;
    return true;
}

bool ViewerSession::Playing() const {
    return last_.state == control::SessionState::Playing;
}

void ViewerSession::RefreshDeviceState() {
    host::QuorlinaStatus numbers;
    if (!Playing() || !status_.Numbers(&numbers) || numbers.stream_mode != control::kStreamNative)
        return;
    std::int32_t ignored = 0;
    CallForLong(calls_.Control(), "GetRealTimeData", &ignored);
}

void ViewerSession::CommandSending(const std::string& label) {
    status_.CommandText(&command_sequence_);
    pending_command_ = label;
}

std::string ViewerSession::TakeNote() {
    std::string note;
    note.swap(note_);
    return note;
}

}  // namespace apps
