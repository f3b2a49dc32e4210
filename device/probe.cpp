// The probe: two short HTTP exchanges on sockets of its own, then a verdict in StreamMode.
#include "device/probe.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket_client.h"
#include "platform/registry.h"
#include "stream/basic_credentials.h"
#include "stream/device_line.h"

namespace device {

namespace {

bool Contains(const std::string& text, const char* what) {
    return text.find(what) != std::string::npos;
}

bool HasNativeStatus(const std::string& head) {
    if (head.rfind("HTTP/", 0) == 0) return false;
    return Contains(head, "02") || Contains(head, "05") || Contains(head, "03");
}

// Connects for the probe: through the proxy when one is in use (falling back to a direct connect,
// which from then on rules the proxy out), else directly. Empty when connected, else why not.
std::string ProbeConnect(control::ControlState& c, net::SocketClient& socket, int probe_port,
                         int seconds) {
    if (c.ProxyState.load() == 1) {
        if (socket.Connect(c.ProxyPort.load(), c.ProxyHost.Get().c_str(), seconds, net::kAfInet,
                           net::kSockStream) == net::SocketOk)
            return {};
        c.ProxyState = 0;
    }
    const int result = socket.Connect(probe_port, c.HostName.Get().c_str(), seconds, net::kAfInet,
                                      net::kSockStream);
    if (result == net::SocketOk) return {};
    return control::ConnectFailure(result, socket.ConnectError(), seconds).text;
}

// Counts a probe as running for as long as it lives.
class ProbeRunning {
public:
    explicit ProbeRunning(control::ControlState& c) : c_(c) { ++c_.ProbesInProgress; }
    ~ProbeRunning() { --c_.ProbesInProgress; }
    ProbeRunning(const ProbeRunning&) = delete;
    ProbeRunning& operator=(const ProbeRunning&) = delete;

private:
    control::ControlState& c_;
};

std::string RequestLine(control::ControlState& c, const char* path, int probe_port) {
    char line[512];
    const std::string host = c.HostName.Get();
    if (c.ProxyState.load() == 1) {
        std::snprintf(line, sizeof line,
                      "GET HTTP://%s:%d/%s HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nHost: %s",
                      host.c_str(), probe_port, path, host.c_str());
    } else {
        std::snprintf(line, sizeof line, "GET /%s HTTP/1.0", path);
    }
    return line;
}

// How an answer's first bytes read in the probe's verdict: "answered 200 OK" for an HTTP status
// line, else "no HTTP answer" with the first bytes the device sent (a native greeting).
std::string DescribeAnswer(std::string_view bytes) {
    if (bytes.empty()) return "no answer";
    if (bytes.rfind("HTTP/", 0) == 0) {
        std::string_view line = bytes.substr(0, bytes.find_first_of("\r\n"));
        const std::size_t space = line.find(' ');
        if (space != std::string_view::npos) line.remove_prefix(space + 1);
        return "answered " + std::string(line.substr(0, kMaxVerdictLineChars));
    }
    std::string start;
    for (char ch : bytes.substr(0, 4))
        start += (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    return "no HTTP answer (\"" + start + "\")";
}

// Reads the DevInfo body (its Content-Length, bounded by kDevInfoBodyBytes) and keeps its start.
void ReadDeviceInfo(control::ControlState& c, net::SocketClient& socket, const std::string& head) {
    std::size_t key = head.find("Content-Length:");
    std::size_t value = key + std::strlen("Content-Length:");
    std::size_t crlf = head.find("\r\n", value);
    std::string digits = head.substr(value, crlf == std::string::npos ? std::string::npos : crlf - value);
    int length = stream::DecimalValue(digits.c_str());
    if (length < 0) length = 0;
    if (length > kDevInfoBodyBytes) length = kDevInfoBodyBytes;
    std::vector<std::uint8_t> body(kDevInfoBodyBytes, 0);
    // Body bytes that came with the head count towards the length.
    std::size_t term = head.find("\r\n\r\n");
    int have = 0;
    if (term != std::string::npos) {
        have = static_cast<int>(std::min<std::size_t>(head.size() - term - 4, static_cast<std::size_t>(length)));
        std::memcpy(body.data(), head.data() + term + 4, static_cast<std::size_t>(have));
    }
    if (have < length) have += socket.ReceiveAll(body.data() + have, length - have, c.Timeout.load());
    std::memcpy(c.DeviceInfoBlock, body.data(), control::kDeviceInfoBytes);
    std::memcpy(c.DeviceIdBytes, c.DeviceInfoBlock + 204, control::kDeviceIdBytes);
}

}  // namespace

ProbeDecision DecideProbe(const std::string& r, ProbeCaller caller) {
    ProbeDecision d;
    const bool from_host = caller == ProbeCaller::RemoteHost;
    if (Contains(r, "\r\n\r\n")) {
        if (HasNativeStatus(r) || Contains(r, "404")) {
            d.stream_mode = control::kStreamNative;
        } else if (from_host && !Contains(r, " 200")) {
            d.set_remote_port = true;
        } else if (!Contains(r, "Content-Length:")) {
            d.set_remote_port = from_host;
        } else {
            d.set_remote_port = from_host;
            d.read_body = true;
        }
    } else if (HasNativeStatus(r)) {
        d.stream_mode = control::kStreamNative;
    }
    return d;
}

void LoadProxySettings(control::ControlState& c, int test_seconds) {
    if (c.ProxyState.load() != -1) return;
    std::uint32_t enable = 0;
    char server[80] = {};
    const bool have_enable = platform::RegReadDword(platform::RegistryRoot::CurrentUser,
                                                    platform::kInternetSettingsKey, "ProxyEnable", enable);
    platform::RegReadString(platform::RegistryRoot::CurrentUser, platform::kInternetSettingsKey,
                            "ProxyServer", server, sizeof server);
    if (!have_enable || enable != 1 || server[0] == '\0') return;
    c.ProxyState = 1;
    if (const char* colon = std::strchr(server, ':')) {
        c.ProxyHost.Set(server, static_cast<std::size_t>(colon - server));
        c.ProxyPort = stream::DecimalValue(colon + 1);
    }
    net::SocketClient test;
    if (test.Connect(c.ProxyPort.load(), c.ProxyHost.Get().c_str(), test_seconds, net::kAfInet,
                     net::kSockStream) != net::SocketOk)
        c.ProxyState = 0;
    test.CloseConnection();
}

namespace {

// A RemoteHost text split as step A reads it: "http://" (in either of its two spellings,
// anywhere) makes it HTTP, and the text after those 7 characters is the host, the port and, for
// an HTTP target, a path or query. "/" alone is no path: the device's stream is meant.
struct Target {
    bool http = false;
    std::string host_port;
    std::string path;
};

Target SplitTarget(const std::string& text) {
    Target t;
    t.host_port = text;
    if (!Contains(text, "HTTP://") && !Contains(text, "http://")) return t;
    t.http = true;
    t.host_port = text.size() > 7 ? text.substr(7) : std::string();
    const std::size_t path_at = t.host_port.find_first_of("/?");
    if (path_at == std::string::npos) return t;
    t.path = t.host_port.substr(path_at);
    t.host_port.resize(path_at);
    if (t.path.front() == '?') t.path.insert(0, "/");
    if (t.path == "/") t.path.clear();
    return t;
}

}  // namespace

std::string RemoteHostRefusal(const char* text) {
    if (text == nullptr) return {};
    const std::size_t length = std::strlen(text);
    if (length > kMaxRemoteHostChars)
        return "the target is " + std::to_string(length) + " characters long; at most " +
               std::to_string(kMaxRemoteHostChars) + " are taken";
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (ch < 0x20 || ch == 0x7F)
            return "the target holds a control character (code " + std::to_string(ch) + ")";
    }
    if (SplitTarget(text).path.find(' ') != std::string::npos)
        return "the stream path holds a space (write it as %20)";
    return {};
}

int ParseRemoteHost(control::ControlState& c, const std::string& text) {
    const Target target = SplitTarget(text);
    if (target.http) c.StreamMode = control::kStreamHttp;
    c.StreamPath.Set(target.path);
    const std::string& taken = target.host_port;
    std::size_t colon = taken.find(':');
    if (colon != std::string::npos) {
        int port = stream::DecimalValue(taken.c_str() + colon + 1);
        c.RemotePort = port;
        c.HostName.Set(taken.substr(0, colon));
        return port;
    }
    c.HostName.Set(taken);
    // A stream path makes the target an HTTP server by the user's word: HTTP's port.
    c.RemotePort = target.path.empty() ? control::kNativeDefaultPort : kHttpDefaultPort;
    return kHttpDefaultPort;
}

void ProbeDeviceProtocol(control::ControlState& c, int probe_port, ProbeCaller caller) {
    ProbeRunning running(c);
    std::string head;
    // The verdict and why: what each request was answered with, then the protocol.
    auto verdict = [&](std::string why) {
        why += c.StreamMode.load() == control::kStreamNative ? ": native" : ": HTTP";
        c.Session.SetProbeVerdict(why);
    };
    std::string home_answer;
    {
        net::SocketClient socket;
        if (std::string failed = ProbeConnect(c, socket, probe_port, kProbeConnectSeconds);
            !failed.empty()) {
            c.StreamMode = control::kStreamNative;
            return verdict("HOME.htm: " + failed);
        }
        const std::string home = RequestLine(c, "HOME.htm", probe_port) + "\r\n\r\n";
        const platform::Tick t0 = platform::GetTickCount();
        socket.ClearReceiveBuffer();
        socket.Send(home.c_str(), static_cast<int>(home.size()));
        // Waits for the first reply byte (or the peer's close), bounded by kHomeReplyWaitMs.
        while (platform::GetTickCount() - t0 < kHomeReplyWaitMs &&
               socket.WaitForReceive(0, 100000) != net::SocketOk) {
        }
        char scratch[kHomeReplyBytes];
        const int got = socket.ReceiveAll(scratch, kHomeReplyBytes, 5);
        home_answer = "HOME.htm " + DescribeAnswer(std::string_view(scratch, got > 0 ? got : 0));
        socket.ClearReceiveBuffer();
        socket.CloseConnection();
        const std::uint32_t round_trip_ms = platform::GetTickCount() - t0;
        c.ProbeTimeout = static_cast<std::int32_t>((3u * round_trip_ms) / 1000u + 15u);
    }
    platform::Sleep(kSettleMs);

    net::SocketClient socket;
    if (std::string failed = ProbeConnect(c, socket, probe_port, c.ProbeTimeout.load());
        !failed.empty()) {
        c.StreamMode = control::kStreamNative;
        return verdict(home_answer + ", DevInfo.CGI: " + failed);
    }
    char token[stream::kCredentialBufferBytes];
    stream::BuildBasicToken(c, token);
    const std::string request = RequestLine(c, "DevInfo.CGI", probe_port) + "\r\nUser-Agent: " +
                                stream::WireUserName(c) + "\r\nAuthorization: Basic " + token +
                                "\r\n\r\n";
    socket.ClearReceiveBuffer();
    socket.Send(request.c_str(), static_cast<int>(request.size()));
    char received[kProbeHeadBytes + 1] = {};
    const int wait_s = c.Timeout.load() * 10;
    const int got = socket.ReceiveUntil(received, kProbeHeadBytes, wait_s,
                                        net::kHeaderTerminatorKind);
    if (got <= 0) {
        socket.CloseConnection();
        c.StreamMode = control::kStreamNative;
        return verdict(home_answer + ", DevInfo.CGI: no answer within " +
                       std::to_string(wait_s) + " s");
    }
    head.assign(received, static_cast<std::size_t>(got));
    const ProbeDecision d = DecideProbe(head, caller);
    c.StreamMode = d.stream_mode;
    if (d.set_remote_port) c.RemotePort = probe_port;
    if (d.read_body) ReadDeviceInfo(c, socket, head);
    socket.CloseConnection();
    verdict(home_answer + ", DevInfo.CGI " + DescribeAnswer(head));
}

bool WaitForStreamMode(control::ControlState& c) {
    const platform::Tick t0 = platform::GetTickCount();
    while (c.StreamMode.load() == control::kStreamUndecided) {
        // Without a probe under way (on another thread) no verdict can come: no RemoteHost.
        if (c.ProbesInProgress.load() == 0) return false;
        if (platform::GetTickCount() - t0 >= kUndecidedWaitLimitMs) return false;
        platform::Sleep(100);
    }
    return true;
}

bool PutRemoteHost(control::ControlState& c, const char* text) {
    if (text == nullptr) return true;
    if (const std::string refusal = RemoteHostRefusal(text); !refusal.empty()) {
        platform::OutputDebugStringA(("RemoteHost refused: " + refusal).c_str());
        return false;
    }
    // Counted from here, so that a Play on another thread waits through the proxy test too.
    ProbeRunning running(c);
    c.RemoteHost.Set(text);
    LoadProxySettings(c, kProxyTestSeconds);
    platform::Sleep(kSettleMs);
    const int probe_port = ParseRemoteHost(c, text);
    // A target with a stream path is an HTTP Motion-JPEG source by the user's word, and its
    // server need not have the device's pages: it may answer them with 404 (the verdict for a
    // native device) or take a single client, which the probe's connections would use up.
    if (!c.StreamPath.Empty()) {
        c.Session.SetProbeVerdict("not probed: the target names its stream path: HTTP");
        return true;
    }
    ProbeDeviceProtocol(c, probe_port, ProbeCaller::RemoteHost);
    return true;
}

void PutRemotePort(control::ControlState& c, std::int32_t port) {
    LoadProxySettings(c, c.ProbeTimeout.load());
    if (!WaitForStreamMode(c)) return;
    if (c.StreamMode.load() == control::kStreamHttp || port == 0) return;
    c.RemotePort = port;
    ProbeDeviceProtocol(c, port, ProbeCaller::RemotePortOrWeb);
}

void PutRemoteWeb(control::ControlState& c, std::int32_t port) {
    LoadProxySettings(c, c.ProbeTimeout.load());
    if (!WaitForStreamMode(c)) return;
    if (port == 0) return;
    c.RemoteWeb = port;
    c.RemotePort = port;
    // A stream path's server stays what the user named it, on its new port.
    if (!c.StreamPath.Empty()) return;
    ProbeDeviceProtocol(c, port, ProbeCaller::RemotePortOrWeb);
}

}  // namespace device
