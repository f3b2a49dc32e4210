// Finds out which protocol the device at RemoteHost speaks, and reads the user's proxy settings.
// The probe runs synchronously on the caller's thread whenever RemoteHost, RemotePort or
// RemoteWeb is set: "GET /HOME.htm" measures the round trip (which sets ProbeTimeout), then the
// reply head to "GET /DevInfo.CGI" decides StreamMode. An unreachable device is classed native.
// The verdict and what led to it are recorded for the container ("HOME.htm answered 200 OK, ...").
// An "http://" target with a stream path of its own is HTTP by the user's word and not probed.
#pragma once

#include <cstdint>
#include <string>

#include "control/control_state.h"

namespace device {

inline constexpr int kProxyTestSeconds = 5;         // the proxy test's connect time-out from RemoteHost
inline constexpr int kProbeConnectSeconds = 5;      // first probe connection
inline constexpr std::uint32_t kHomeReplyWaitMs = 60000;
inline constexpr int kHomeReplyBytes = 56;
inline constexpr int kProbeHeadBytes = 1024;
inline constexpr int kDevInfoBodyBytes = 4096;      // DevInfo bodies are read into this, no further
inline constexpr std::uint32_t kSettleMs = 100;
inline constexpr int kHttpDefaultPort = 80;
inline constexpr std::uint32_t kUndecidedWaitLimitMs = 10000;  // bound on waits for a probe verdict
inline constexpr std::size_t kMaxVerdictLineChars = 60;  // of a status line in the verdict

// Which setter runs the probe: only RemoteHost's probe moves RemotePort to the probed port and
// looks for " 200".
enum class ProbeCaller { RemoteHost, RemotePortOrWeb };

// What the DevInfo reply head tells.
struct ProbeDecision {
    std::int32_t stream_mode = control::kStreamHttp;
    bool set_remote_port = false;  // RemotePort = ProbePort
    bool read_body = false;        // read the body by its Content-Length
};

// The decision on the received head R, a pure function of its text. When R begins with "HTTP/"
// the native status substrings are not looked for in it: every ordinary server's Date header
// carries "02" this decade, while a native device's greeting is at the very start of R.
ProbeDecision DecideProbe(const std::string& head, ProbeCaller caller);

// Reads the proxy settings while ProxyState is -1 and tests the proxy with a short-lived client of
// its own (never the stream socket, which a native stream may be using).
void LoadProxySettings(control::ControlState& control, int test_seconds);

// Longest RemoteHost text taken; a longer one is refused, never cut.
inline constexpr std::size_t kMaxRemoteHostChars = control::kRemoteHostBytes - 1;

// Why a RemoteHost text is refused (too long, or a control character anywhere or a space in a
// stream path, which would end up inside a request's lines); empty when it is taken.
std::string RemoteHostRefusal(const char* text);

// Step A: HostName, RemotePort, StreamPath and the probe port from the RemoteHost text. An
// "http://" target whose host (and port) is followed by a path or a query names the stream
// resource itself: StreamPath holds it ("/" alone is no path), and without a port the port is
// HTTP's. Returns the probe port.
int ParseRemoteHost(control::ControlState& control, const std::string& text);

void ProbeDeviceProtocol(control::ControlState& control, int probe_port, ProbeCaller caller);

// Waits (100 ms polls) while StreamMode is 99 and a probe is under way, at most
// kUndecidedWaitLimitMs. False on time-out, and at once when no probe is under way.
bool WaitForStreamMode(control::ControlState& control);

// The three setters. PutRemoteHost returns false, changing nothing, when the text is refused
// (RemoteHostRefusal); a target with a stream path is not probed.
bool PutRemoteHost(control::ControlState& control, const char* text);
void PutRemotePort(control::ControlState& control, std::int32_t port);
void PutRemoteWeb(control::ControlState& control, std::int32_t port);

}  // namespace device
