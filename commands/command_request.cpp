// Request bytes for the command requests. The proxy form names the device in an absolute URL and
// adds "Proxy-Connection:" and "Host:" lines; a path that already begins with "/" is not given a
// second one.
#include "commands/command_request.h"

#include <cstdio>

#include "stream/basic_credentials.h"

namespace commands {

const char* to_string(CommandStatusCode code) {
    switch (code) {
        case kCommandPending:
            return "pending";
        case kCommandPosted:
            return "posted";
        case kCommandConnectFailed:
            return "connect failed";
        case kCommandSendFailed:
            return "send failed";
        case kCommandNoReply:
            return "no reply";
        case kCommandRefused:
            return "refused";
        case kCommandHeadUnended:
            return "head not ended";
    }
    return "unknown command status";
}

RequestSettings TakeRequestSettings(control::ControlState& c) {
    RequestSettings s;
    s.through_proxy = c.ProxyState.load() == 1;
    s.proxy_host = c.ProxyHost.Get();
    s.proxy_port = c.ProxyPort.load();
    s.host = c.HostName.Get();
    s.port = c.RemotePort.load();
    s.user = stream::WireUserName(c);
    char token[stream::kCredentialBufferBytes];
    s.token = stream::BuildBasicToken(c, token);
    s.timeout_s = c.Timeout.load();
    return s;
}

CommandRequest MakeCommandRequest(std::string_view path, std::string_view body) {
    CommandRequest r;
    r.path = std::string(path.substr(0, kCommandPathBytes - 1));
    r.body = std::string(body.substr(0, kMaxCommandBodyChars));
    return r;
}

namespace {

// "<method> <target> HTTP/1.0", plus the proxy's two lines; no line end after the last line.
std::string RequestLine(const RequestSettings& s, const char* method, std::string_view path) {
    const bool rooted = !path.empty() && path.front() == '/';
    const std::string p(path);
    std::string line;
    if (s.through_proxy) {
        char url_start[512];
        std::snprintf(url_start, sizeof url_start, "%s HTTP://%s:%d%s", method, s.host.c_str(),
                      s.port, rooted ? "" : "/");
        line = url_start + p + " HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\nHost: " + s.host;
    } else {
        line = std::string(method) + (rooted ? " " : " /") + p + " HTTP/1.0";
    }
    return line;
}

}  // namespace

std::string BuildGetRequest(const RequestSettings& s, std::string_view path) {
    return RequestLine(s, "GET", path) + "\r\nUser-Agent: " + s.user + "\r\nAuthorization: Basic " +
           s.token + "\r\n\r\n";
}

std::string BuildPostRequest(const RequestSettings& s, std::string_view path,
                             std::string_view body) {
    char length[32];
    std::snprintf(length, sizeof length, "Content-Length: %zu", body.size());
    return RequestLine(s, "POST", path) + "\r\nContent-Type: text/plain\r\nUser-Agent: USER" +
           s.user + "\r\nAuthorization: Basic " + s.token + "\r\n" + length + "\r\n\r\n" +
           std::string(body);
}

}  // namespace commands
