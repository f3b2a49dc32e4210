// IQuorlinaStatus, what a container asks the control beyond its scripting members: where the
// session stands, why it last ended (or why the last native attempt failed), what the probe
// decided and how the last command went. QueryInterface answers it after the scripting and
// embedding interfaces; it is not in the type library, so no script reaches it, and the
// scripting interface stays as it is. Codes are control::SessionState and control::ReasonCode.
#pragma once

#include "control/session_status.h"
#include "platform/com.h"

namespace host {

inline constexpr platform::IID kIidIQuorlinaStatus = {
    0x1786B6A9, 0xD843, 0x4414, {0x93, 0x0E, 0xDD, 0x96, 0x8A, 0x56, 0x53, 0x29}};

// The numbers of the status, read at one moment.
struct QuorlinaStatus {
    platform::LONG state = 0;              // control::SessionState
    platform::LONG reason = 0;             // control::ReasonCode of the last end or failed attempt
    platform::ULONG sequence = 0;          // changes with every end and every failed attempt
    platform::ULONG session_frames = 0;    // frames received since the session began
    platform::LONG stream_mode = 0;        // 1 HTTP, 0 native, 99 not decided yet
    platform::LONG command_status = 0;     // last finished command: 20 done, 22..27 failed
    platform::ULONG command_sequence = 0;  // changes with every finished command
    platform::LONG commands_pending = 0;   // HTTP commands sent off and not finished yet
};

class IQuorlinaStatus : public platform::IUnknown {
  public:
    virtual platform::HRESULT GetStatus(QuorlinaStatus* status) = 0;
    // The last end's text ("connection refused", "camera refused the credentials: HTTP/1.0 401
    // Unauthorized") and the sequence number it belongs to (either pointer may be null).
    virtual platform::HRESULT GetReasonText(platform::BSTR* text, platform::ULONG* sequence) = 0;
    // The probe's verdict and why ("HOME.htm answered 200 OK, DevInfo.CGI answered 200 OK:
    // HTTP"); empty before the first probe.
    virtual platform::HRESULT GetProbeVerdict(platform::BSTR* text) = 0;
    // The last finished command's outcome ("camera refused the command: HTTP/1.0 500") and its
    // sequence number (either pointer may be null).
    virtual platform::HRESULT GetCommandText(platform::BSTR* text, platform::ULONG* sequence) = 0;

  protected:
    ~IQuorlinaStatus() = default;
};

}  // namespace host
