// The bytes of one HTTP command request: the four request-line forms (direct or through the proxy,
// path with or without its leading "/"), the GET and POST headers and the POST body, built from a
// snapshot of the control's connection settings. Pure text work; connecting, sending and reading
// the reply are http_command's and command_reply's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/control_state.h"

namespace commands {

inline constexpr int kCommandPathBytes = 64;  // CommandPath, terminator included
inline constexpr int kMaxCommandBodyChars = control::kMessageBufferBytes - 1;

// Outcomes of a command request, as CommandStatus holds them.
enum CommandStatusCode : std::int32_t {
    kCommandPending = -1,        // a worker was started and has not finished
    kCommandPosted = 20,         // POST reply head received with "200" or "20"
    kCommandConnectFailed = 22,  // connect to the device or proxy failed
    kCommandSendFailed = 23,     // the request could not be sent whole; no reply was waited for
    kCommandNoReply = 25,        // no reply bytes in time (prefix, head or body remainder)
    kCommandRefused = 26,        // the first 16 bytes hold neither "200" nor "20"
    kCommandHeadUnended = 27,    // the head did not end with "\r\n\r\n"
};
const char* to_string(CommandStatusCode code);

// What a request needs from the control, read once when the request is made.
struct RequestSettings {
    bool through_proxy = false;  // ProxyState is 1
    std::string proxy_host;
    std::int32_t proxy_port = 0;
    std::string host;            // HostName: in the proxy form's URL and its "Host:" line
    std::int32_t port = 0;       // RemotePort
    std::string user;            // the user name as sent in "User-Agent:"
    std::string token;           // the Basic authorization token
    std::int32_t timeout_s = 0;  // Timeout, for the connect and every reply wait
};

// Reads the settings from the control; makes (and caches) the Basic token on first use.
RequestSettings TakeRequestSettings(control::ControlState& control);

// One command as a worker performs it: its own path and body, taken before the setter returned,
// so a later setter cannot change what an earlier worker sends.
struct CommandRequest {
    std::string path;  // at most kCommandPathBytes - 1 characters
    std::string body;  // POST text, at most kMaxCommandBodyChars characters; empty for a GET
};

// Cuts path and body to the sizes of CommandPath and MessageBuffer.
CommandRequest MakeCommandRequest(std::string_view path, std::string_view body);

// "GET ..." request, head only, ending in the blank line.
std::string BuildGetRequest(const RequestSettings& settings, std::string_view path);
// "POST ..." request: head with "Content-Length:" and the body after the blank line.
std::string BuildPostRequest(const RequestSettings& settings, std::string_view path,
                             std::string_view body);

}  // namespace commands
