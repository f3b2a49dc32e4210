// The native command channel (see native_commands.h). The socket stays open between commands;
// it is closed when an exchange leaves it out of step (no reply, a short reply, an unknown
// status), so that no reply's tail is read as the next command's answer.
#include "device/native_commands.h"

#include <string>

#include "commands/command_request.h"

namespace device {

namespace {

constexpr int kBlockingConnect = -1;  // Connect without a time-out of the control's own
constexpr int kOutputRefusedCode = 1;

// The command record's code for a native outcome.
std::int32_t CommandCode(NativeResult result) {
    switch (result) {
        case NativeResult::kOk:
            return commands::kCommandPosted;
        case NativeResult::kConnectFailed:
            return commands::kCommandConnectFailed;
        case NativeResult::kLoginRefused:
        case NativeResult::kOutputRefused:
            return commands::kCommandRefused;
        case NativeResult::kUnknownGreeting:
        case NativeResult::kUnknownStatus:
            return commands::kCommandHeadUnended;
        default:
            return commands::kCommandNoReply;
    }
}

void Record(control::ControlState& c, NativeResult result, const std::string& text) {
    c.Session.CommandFinished(CommandCode(result), text);
}

}  // namespace

NativeResult OpenCommandChannel(control::ControlState& c, control::Reason* why) {
    net::SocketClient& link = c.CommandSocket;
    if (link.IsConnectionAlive()) return NativeResult::kOk;
    link.CloseConnection();
    const int connected = link.Connect(c.RemotePort.load(), c.HostName.Get().c_str(),
                                       kBlockingConnect, net::kAfInet, net::kSockStream);
    if (connected != net::SocketOk) {
        if (why != nullptr) {
            *why = control::ConnectFailure(connected, link.ConnectError(), kBlockingConnect);
            why->text = "no connection: " + why->text;
        }
        return NativeResult::kConnectFailed;
    }
    std::uint8_t block[kBlockBufferBytes] = {};
    std::string status;
    const int timeout_s = c.Timeout.load();
    const NativeResult result =
        OpenSession(link, StatusRead::kFill, LoginSettingsOf(c), timeout_s, block, &status);
    if (result != NativeResult::kOk) {
        if (why != nullptr) *why = FailureReason(result, link, timeout_s, status);
        link.CloseConnection();
    }
    return result;
}

int NativeOutputCommand(control::ControlState& c, int output, std::int32_t value) {
    if (output != 1 && output != 2) return kOutputRefusedCode;
    std::lock_guard<std::mutex> guard(c.CommandSocketLock);
    control::Reason why;
    NativeResult result = OpenCommandChannel(c, &why);
    if (result != NativeResult::kOk) {
        Record(c, result, why.text);
        return kOutputRefusedCode;
    }
    const int timeout_s = c.Timeout.load();
    std::string status;
    result = ExchangeOutputCommand(c.CommandSocket, output, value, timeout_s, &status);
    const std::string name = "output " + std::to_string(output);
    if (result == NativeResult::kOk) {
        (output == 1 ? c.IOOut1 : c.IOOut2) = value;
        Record(c, result, name + " switched to " + std::to_string(value));
        return 0;
    }
    Record(c, result, name + ": " + FailureReason(result, c.CommandSocket, timeout_s, status).text);
    if (result != NativeResult::kOutputRefused) c.CommandSocket.CloseConnection();
    return kOutputRefusedCode;
}

void NativeGetRealTimeData(control::ControlState& c, std::int32_t* value) {
    *value = 0;
    std::lock_guard<std::mutex> guard(c.CommandSocketLock);
    control::Reason why;
    const NativeResult opened = OpenCommandChannel(c, &why);
    if (opened != NativeResult::kOk) {
        Record(c, opened, why.text);
        return;
    }
    const int timeout_s = c.Timeout.load();
    std::uint8_t reply[kRealTimeReplyBytes] = {};
    const int got = RequestRealTimeData(c.CommandSocket, timeout_s, reply);
    ApplyRealTimeReply(c, reply, got);
    if (got != kRealTimeReplyBytes) {
        Record(c, NativeResult::kShortReply,
               FailureReason(NativeResult::kShortReply, c.CommandSocket, timeout_s).text);
        c.CommandSocket.CloseConnection();
        return;
    }
    Record(c, NativeResult::kOk, "real-time data read");
    *value = -1;
}

}  // namespace device
