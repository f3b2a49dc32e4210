// The native stream thread: a retry loop around the protocol steps. The hard part is ending
// promptly and cleanly: the play state is tested before every connect and every frame request
// (and after the pacing pause), and the stop step closes the command socket only under its lock,
// so it never closes a descriptor a command on the container thread is using. Each failed
// attempt leaves its reason in the session record, so a container sees why it retries.
#include "device/native_stream.h"

#include <memory>
#include <string>

#include "device/native_protocol.h"
#include "platform/kernel.h"
#include "stream/present_frame.h"

namespace device {

namespace {

bool Playing(const control::ControlState& c) {
    return c.PlayState.load() == control::Playing;
}

// Requests frames until the play state changes (true) or a step fails (false, with the failed
// reply in *failed).
bool StreamFrames(control::ControlState& c, net::SocketClient& link, std::uint32_t delay_ms,
                  int timeout_s, std::uint8_t* receive_buffer, FrameReply* failed) {
    while (Playing(c)) {
        if (delay_ms > 0) {
            platform::Sleep(delay_ms);
            if (!Playing(c)) return true;
        }
        const FrameReply reply = RequestFrame(link, timeout_s, receive_buffer);
        if (reply.result == NativeResult::kNoFrame) continue;
        if (reply.result != NativeResult::kOk) {
            *failed = reply;
            return false;
        }
        stream::StoreFrame(c, receive_buffer, reply.length);
        c.LastFrameTime = static_cast<double>(platform::GetTickCount());
        stream::PresentFrame(c, 0);
    }
    return true;
}

// After a failed connect: the rest of the connect's time-out, at least kRetryPauseMs, in short
// steps so that Stop is seen. A refused connect fails at once; waiting out its time-out keeps
// the attempts as far apart as against a camera that does not answer at all.
void PauseAfterConnect(const control::ControlState& c, platform::Tick start, int timeout_s) {
    const std::uint32_t span_ms = timeout_s > 0 ? static_cast<std::uint32_t>(timeout_s) * 1000u : 0u;
    platform::Sleep(kRetryPauseMs);
    while (Playing(c) && platform::GetTickCount() - start < span_ms) platform::Sleep(kRetryPauseMs);
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
    c.Session.End(control::ReasonCode::StoppedByHost, "stopped by the host");
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
        const platform::Tick start = platform::GetTickCount();
        const int connected = link.Connect(c.RemotePort.load(), c.HostName.Get().c_str(),
                                           timeout_s, net::kAfInet, net::kSockStream);
        if (connected != net::SocketOk) {
            const control::Reason why =
                control::ConnectFailure(connected, link.ConnectError(), timeout_s);
            if (Playing(c)) c.Session.AttemptFailed(why.code, why.text);
            PauseAfterConnect(c, start, timeout_s);
            link.ResetWinsock();
            continue;
        }
        std::string status;
        const NativeResult opened =
            OpenSession(link, StatusRead::kOneReceive, LoginSettingsOf(c), timeout_s, block, &status);
        control::Reason why;
        if (opened == NativeResult::kOk) {
            const std::int32_t pacing = PacingValue(block);
            c.NativePacing = pacing;
            FrameReply failed;
            if (StreamFrames(c, link, PacingDelayMs(pacing), timeout_s, receive_buffer.get(),
                             &failed)) {
                break;
            }
            why = FailureReason(failed.result, link, timeout_s, {}, failed.declared);
        } else {
            why = FailureReason(opened, link, timeout_s, status);
        }
        if (Playing(c)) c.Session.AttemptFailed(why.code, why.text);
        link.CloseConnection();
        platform::Sleep(kRetryPauseMs);
        link.ResetWinsock();
    }
    EndSession(c);
}

}  // namespace device
