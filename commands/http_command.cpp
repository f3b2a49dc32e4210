// The request operations on a short-lived socket client. A request that cannot be sent whole is
// given up at once: no reply can come to it, so waiting for one would only cost the time-out.
#include "commands/http_command.h"

#include <cstring>
#include <mutex>

#include "commands/command_reply.h"
#include "net/socket_client.h"

namespace commands {
namespace {

// Connects (directly or to the proxy; there is no fallback between the two) and sends the
// request. kReplyOk or the failure's code.
std::int32_t ConnectAndSend(net::SocketClient& socket, const RequestSettings& s,
                            const std::string& request) {
    const int connected =
        s.through_proxy
            ? socket.Connect(s.proxy_port, s.proxy_host.c_str(), s.timeout_s, net::kAfInet,
                             net::kSockStream)
            : socket.Connect(s.port, s.host.c_str(), s.timeout_s, net::kAfInet, net::kSockStream);
    if (connected != net::SocketOk) return kCommandConnectFailed;
    socket.ClearReceiveBuffer();
    const int length = static_cast<int>(request.size());
    if (socket.SendAll(request.data(), length) != length) return kCommandSendFailed;
    return kReplyOk;
}

// head: the reply's first bytes, when a refusal is the failure.
int Fail(control::ControlState& c, net::SocketClient& socket, std::int32_t code,
         const ReplyHead* head = nullptr) {
    if (code == kCommandRefused) socket.ClearReceiveBuffer();
    socket.CloseConnection();
    c.CommandReason.Set(code == kCommandRefused && head != nullptr ? RefusalReason(head->received)
                                                                   : std::string());
    c.CommandStatus = code;
    return kRequestFailed;
}

}  // namespace

int HttpPostCommand(control::ControlState& c, const CommandRequest& request) {
    const RequestSettings settings = TakeRequestSettings(c);
    net::SocketClient socket;
    std::int32_t code =
        ConnectAndSend(socket, settings, BuildPostRequest(settings, request.path, request.body));
    if (code != kReplyOk) return Fail(c, socket, code);
    SocketReplySource source(socket);
    ReplyHead head;
    code = ReadReplyHead(source, settings.timeout_s, &head);
    if (code != kReplyOk) return Fail(c, socket, code, &head);
    socket.CloseConnection();
    c.CommandReason.Clear();
    c.CommandStatus = kCommandPosted;
    return kRequestDone;
}

int HttpGetCommand(control::ControlState& c, const CommandRequest& request, std::string* body) {
    body->clear();
    const RequestSettings settings = TakeRequestSettings(c);
    net::SocketClient socket;
    std::int32_t code = ConnectAndSend(socket, settings, BuildGetRequest(settings, request.path));
    if (code != kReplyOk) return Fail(c, socket, code);
    SocketReplySource source(socket);
    ReplyHead head;
    code = ReadReplyHead(source, settings.timeout_s, &head);
    if (code == kReplyOk) code = ReadGetBody(source, head, settings.timeout_s, body);
    if (code != kReplyOk) return Fail(c, socket, code, &head);
    c.CommandReason.Clear();
    {
        std::lock_guard<std::mutex> guard(c.CommandLock);
        std::memset(c.MessageBuffer, 0, sizeof c.MessageBuffer);
        std::memcpy(c.MessageBuffer, body->data(), body->size());
    }
    socket.CloseConnection();
    return kRequestDone;
}

}  // namespace commands
