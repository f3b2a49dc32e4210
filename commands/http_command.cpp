// The request operations on a short-lived socket client. A request that cannot be sent whole is
// given up at once: no reply can come to it, so waiting for one would only cost the time-out.
#include "commands/http_command.h"

#include <cstring>
#include <mutex>
#include <string_view>

#include "commands/command_reply.h"
#include "net/socket_client.h"

namespace commands {
namespace {

constexpr std::size_t kStatusLineChars = 60;

// The protocol and status code at the start of a reply ("HTTP/1.0 500"), the rest of the line
// cut: a refusal is read no further than its first 16 bytes.
std::string StatusCodeOf(std::string_view reply) {
    std::string_view line = reply.substr(0, reply.find_first_of("\r\n"));
    const std::size_t space = line.find(' ');
    if (space != std::string_view::npos) line = line.substr(0, space + 4);
    return std::string(line.substr(0, kStatusLineChars));
}

// Connects (directly or to the proxy; there is no fallback between the two) and sends the
// request. kReplyOk or the failure's code, with what went wrong in *why.
std::int32_t ConnectAndSend(net::SocketClient& socket, const RequestSettings& s,
                            const std::string& request, std::string* why) {
    const int connected =
        s.through_proxy
            ? socket.Connect(s.proxy_port, s.proxy_host.c_str(), s.timeout_s, net::kAfInet,
                             net::kSockStream)
            : socket.Connect(s.port, s.host.c_str(), s.timeout_s, net::kAfInet, net::kSockStream);
    if (connected != net::SocketOk) {
        *why = std::string(s.through_proxy ? "no connection to the proxy: " : "no connection: ") +
               control::ConnectFailure(connected, socket.ConnectError(), s.timeout_s).text;
        return kCommandConnectFailed;
    }
    socket.ClearReceiveBuffer();
    const int length = static_cast<int>(request.size());
    if (socket.SendAll(request.data(), length) != length) {
        *why = "the request could not be sent whole";
        return kCommandSendFailed;
    }
    return kReplyOk;
}

// What a failed reply step means, for the command's record. A refusal that says why (a server
// with no command resources) carries that reason after its status.
std::string ReplyFailure(std::int32_t code, const ReplyHead& head, int timeout_s) {
    switch (code) {
        case kCommandRefused: {
            std::string text = "camera refused the command: " + StatusCodeOf(head.received);
            const std::string reason = RefusalReason(head.received);
            if (!reason.empty()) text += ": " + reason;
            return text;
        }
        case kCommandHeadUnended:
            return "the camera's answer did not end its head";
        default:
            return "no answer within " + std::to_string(timeout_s) + " s";
    }
}

// head: the reply's first bytes, when a refusal is the failure.
int Fail(control::ControlState& c, net::SocketClient& socket, std::int32_t code,
         const std::string& why, const ReplyHead* head = nullptr) {
    if (code == kCommandRefused) socket.ClearReceiveBuffer();
    socket.CloseConnection();
    c.CommandReason.Set(code == kCommandRefused && head != nullptr ? RefusalReason(head->received)
                                                                   : std::string());
    // The record first, so that whoever sees the status can read why.
    c.Session.CommandFinished(code, why);
    c.CommandStatus = code;
    return kRequestFailed;
}

}  // namespace

int HttpPostCommand(control::ControlState& c, const CommandRequest& request) {
    const RequestSettings settings = TakeRequestSettings(c);
    net::SocketClient socket;
    std::string why;
    std::int32_t code = ConnectAndSend(
        socket, settings, BuildPostRequest(settings, request.path, request.body), &why);
    if (code != kReplyOk) return Fail(c, socket, code, why);
    SocketReplySource source(socket);
    ReplyHead head;
    code = ReadReplyHead(source, settings.timeout_s, &head);
    if (code != kReplyOk)
        return Fail(c, socket, code, ReplyFailure(code, head, settings.timeout_s), &head);
    socket.CloseConnection();
    c.CommandReason.Clear();
    c.Session.CommandFinished(kCommandPosted, "done: " + StatusCodeOf(head.received));
    c.CommandStatus = kCommandPosted;
    return kRequestDone;
}

int HttpGetCommand(control::ControlState& c, const CommandRequest& request, std::string* body) {
    body->clear();
    const RequestSettings settings = TakeRequestSettings(c);
    net::SocketClient socket;
    std::string why;
    std::int32_t code =
        ConnectAndSend(socket, settings, BuildGetRequest(settings, request.path), &why);
    if (code != kReplyOk) return Fail(c, socket, code, why);
    SocketReplySource source(socket);
    ReplyHead head;
    code = ReadReplyHead(source, settings.timeout_s, &head);
    if (code == kReplyOk) code = ReadGetBody(source, head, settings.timeout_s, body);
    if (code != kReplyOk)
        return Fail(c, socket, code, ReplyFailure(code, head, settings.timeout_s), &head);
    c.CommandReason.Clear();
    {
        std::lock_guard<std::mutex> guard(c.CommandLock);
        std::memset(c.MessageBuffer, 0, sizeof c.MessageBuffer);
        std::memcpy(c.MessageBuffer, body->data(), body->size());
    }
    socket.CloseConnection();
    c.Session.CommandFinished(kCommandPosted, "done: " + StatusCodeOf(head.received));
    return kRequestDone;
}

}  // namespace commands
