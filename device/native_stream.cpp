// The native stream thread: a retry loop around the protocol steps. The hard part is ending
// promptly and cleanly: the play state is tested before every connect and every frame request
// (and after the pacing pause), and the stop step closes the command socket only under its lock,
// so it never closes a descriptor a command on the container thread is using.
#include "device/native_stream.h"

#include <memory>

#include "device/native_protocol.h"
#include "platform/kernel.h"
#include "stream/present_frame.h"

namespace device {

namespace {

bool Playing(const control::ControlState& c) {
    return c.PlayState.load() == control::Playing;
}

// Requests frames until the play state changes (true) or a step fails (false).
bool StreamFrames(control::ControlState& c, net::SocketClient& link, std::uint32_t delay_ms,
                  int timeout_s, std::uint8_t* receive_buffer) {
    while (Playing(c)) {
        if (delay_ms > 0) {
            platform::Sleep(delay_ms);
            if (!Playing(c)) return true;
        }
        const FrameReply reply = RequestFrame(link, timeout_s, receive_buffer);
        if (reply.result == NativeResult::kNoFrame) continue;
        if (reply.result != NativeResult::kOk) return false;
        stream::StoreFrame(c, receive_buffer, reply.length);
        c.LastFrameTime = static_cast<double>(platform::GetTickCount());
        stream::PresentFrame(c, 0);
    }
    return true;
}

// Says goodbye on a socket, closes it and forgets it.
void SayGoodbye(net::SocketClient& link) {
    link.Send(kGoodbye, kStatusBytes);
    link.CloseConnection();
    link.ResetWinsock();
}

void EndSession(control::ControlState& c) {
    SayGoodbye(c.StreamSocket);
    {
        std::lock_guard<std::mutex> guard(c.CommandSocketLock);
        SayGoodbye(c.CommandSocket);
    }
    c.RequestRepaint();
    c.PlayState = control::Ended;
    c.ThreadRunning = 0;
}

}  // namespace

void RunNativeStream(control::ControlState& c) {
    // Zeroed once per thread: a 30-byte block or a login-free "0301" keeps the pacing bytes of
    // the connection before.
    std::uint8_t block[kBlockBufferBytes] = {};
    auto receive_buffer = std::make_unique<std::uint8_t[]>(kReceiveBufferBytes);
    net::SocketClient& link = c.StreamSocket;

    while (Playing(c)) {
        const int timeout_s = c.Timeout.load();
        if (link.Connect(c.RemotePort.load(), c.HostName.Get().c_str(), timeout_s, net::kAfInet,
                         net::kSockStream) != net::SocketOk) {
            platform::Sleep(kRetryPauseMs);
            link.ResetWinsock();
            continue;
        }
        if (OpenSession(link, StatusRead::kOneReceive, LoginSettingsOf(c), timeout_s, block) ==
            NativeResult::kOk) {
            const std::int32_t pacing = PacingValue(block);
            c.NativePacing = pacing;
            if (StreamFrames(c, link, PacingDelayMs(pacing), timeout_s, receive_buffer.get())) {
                break;
            }
        }
        link.CloseConnection();
        platform::Sleep(kRetryPauseMs);
        link.ResetWinsock();
    }
    EndSession(c);
}

}  // namespace device
