// The native command channel (see native_commands.h). The socket stays open between commands;
// it is closed when an exchange leaves it out of step (no reply, a short reply, an unknown
// status), so that no reply's tail is read as the next command's answer.
#include "device/native_commands.h"

namespace device {

namespace {

constexpr int kBlockingConnect = -1;  // Connect without a time-out of the control's own
constexpr int kOutputRefusedCode = 1;

}  // namespace

NativeResult OpenCommandChannel(control::ControlState& c) {
    net::SocketClient& link = c.CommandSocket;
    if (link.IsConnectionAlive()) return NativeResult::kOk;
    link.CloseConnection();
    if (link.Connect(c.RemotePort.load(), c.HostName.Get().c_str(), kBlockingConnect, net::kAfInet,
                     net::kSockStream) != net::SocketOk) {
        return NativeResult::kConnectFailed;
    }
    std::uint8_t block[kBlockBufferBytes] = {};
    const NativeResult result =
        OpenSession(link, StatusRead::kFill, LoginSettingsOf(c), c.Timeout.load(), block);
    if (result != NativeResult::kOk) link.CloseConnection();
    return result;
}

int NativeOutputCommand(control::ControlState& c, int output, std::int32_t value) {
    if (output != 1 && output != 2) return kOutputRefusedCode;
    std::lock_guard<std::mutex> guard(c.CommandSocketLock);
    if (OpenCommandChannel(c) != NativeResult::kOk) return kOutputRefusedCode;
    const NativeResult result =
        ExchangeOutputCommand(c.CommandSocket, output, value, c.Timeout.load());
    if (result == NativeResult::kOk) {
        (output == 1 ? c.IOOut1 : c.IOOut2) = value;
        return 0;
    }
    if (result != NativeResult::kOutputRefused) c.CommandSocket.CloseConnection();
    return kOutputRefusedCode;
}

void NativeGetRealTimeData(control::ControlState& c, std::int32_t* value) {
    *value = 0;
    std::lock_guard<std::mutex> guard(c.CommandSocketLock);
    if (OpenCommandChannel(c) != NativeResult::kOk) return;
    std::uint8_t reply[kRealTimeReplyBytes] = {};
    const int got = RequestRealTimeData(c.CommandSocket, c.Timeout.load(), reply);
    ApplyRealTimeReply(c, reply, got);
    if (got != kRealTimeReplyBytes) {
        c.CommandSocket.CloseConnection();
        return;
    }
    *value = -1;
}

}  // namespace device
