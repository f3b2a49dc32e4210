// The session loop around the parse step: receive what is waiting (at most one chunk per pass),
// run one step, present frames, and check the silence limits. Between passes the loop waits for
// the socket to become readable for at most one idle period when nothing was waiting, so Stop is
// seen within one period, an idle session burns nothing, and a frame's first bytes are taken up
// as soon as they arrive; after a small receive the pass sleeps one period as before. A camera
// that closes or resets the connection ends the session at once, after what it sent is parsed.
// Every end leaves its reason in the control's session record.
#include "stream/http_stream.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/socket_client.h"
#include "stream/basic_credentials.h"
#include "stream/http_stream_parser.h"
#include "stream/present_frame.h"

namespace stream {

std::string BuildStreamRequest(control::ControlState& c) {
    char token[kCredentialBufferBytes];
    BuildBasicToken(c, token);
    const std::string host = c.HostName.Get();
    const std::string user = WireUserName(c);
    std::string path = c.StreamPath.Get();
    if (path.empty()) path = kDeviceStreamPath;
    char request[kRequestBufferBytes];
    if (c.ProxyState.load() == 1) {
        std::snprintf(request, sizeof request,
                      "GET HTTP://%s:%d%s HTTP/1.0\r\n"
                      "Proxy-Connection: Keep-Alive\r\n"
                      "Host: %s\r\n"
                      "User-Agent: %s\r\n"
                      "Authorization: Basic %s\r\n\r\n",
                      host.c_str(), c.RemotePort.load(), path.c_str(), host.c_str(), user.c_str(),
                      token);
    } else {
        std::snprintf(request, sizeof request,
                      "GET %s HTTP/1.0\r\n"
                      "User-Agent: %s\r\n"
                      "Authorization: Basic %s\r\n\r\n",
                      path.c_str(), user.c_str(), token);
    }
    return request;
}

namespace {

// What a pass's wait for bytes found.
enum class Wait { Nothing, Data, Closed, Reset };

// Waits up to kIdleSleepMs for bytes to arrive. A peer that has closed (or failed) makes the
// socket readable with nothing to read: a peek tells which, and the session ends on it.
Wait WaitIdle(net::SocketClient& socket, net::SocketHandle handle, int* error) {
    const platform::Tick start = platform::GetTickCount();
    if (socket.WaitForReceive(0, static_cast<int>(kIdleSleepMs) * 1000) != net::SocketOk)
        return Wait::Nothing;
    if (socket.IsDataWaiting(handle)) return Wait::Data;
    char byte;
    const ssize_t peeked = ::recv(handle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0) return Wait::Closed;
    if (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        *error = errno;
        return Wait::Reset;
    }
    const platform::Tick waited = platform::GetTickCount() - start;
    if (waited < kIdleSleepMs) platform::Sleep(kIdleSleepMs - waited);
    return Wait::Nothing;
}

// The reason for an end the parse step decided.
control::Reason ParserEnd(const StepResult& step, int part_length) {
    using control::ReasonCode;
    switch (step.reason) {
        case EndReason::StatusNotOk:
            if (step.detail.find(" 401") != std::string::npos)
                return {ReasonCode::CredentialsRefused,
                        "camera refused the credentials: " + step.detail};
            return {ReasonCode::HttpStatus, "camera answered " + step.detail};
        case EndReason::NotMultipart:
            return {ReasonCode::NotMultipart, "not a multipart stream: " + step.detail};
        case EndReason::BadPartLength:
            if (part_length == -1) return {ReasonCode::BadPartLength, "part length missing"};
            return {ReasonCode::BadPartLength,
                    "part length " + std::to_string(part_length) +
                        (part_length < 1 ? " too small" : " above " + std::to_string(kMaxPartBytes))};
        case EndReason::BadChunk:
            return {ReasonCode::BadChunk, "chunked reply body is malformed"};
        default:  // the parse step decides no other end
            return {ReasonCode::HttpStatus, to_string(step.reason)};
    }
}

control::Reason ResetReason(int error) {
    if (error == ECONNRESET)
        return {control::ReasonCode::ResetByCamera, "connection reset by the camera"};
    return {control::ReasonCode::ResetByCamera, std::string("connection failed: ") + std::strerror(error)};
}

void EndSession(control::ControlState& c, net::SocketClient& socket, control::Reason reason) {
    if (reason.code == control::ReasonCode::None)
        reason = {control::ReasonCode::StoppedByHost, "stopped by the host"};
    c.RequestRepaint();
    socket.ResetWinsock();
    // The reason is there before the state says Ended, so whoever sees Ended can read why.
    c.Session.End(reason.code, reason.text);
    c.PlayState = control::Ended;
    c.ThreadRunning = 0;
}

}  // namespace

void RunHttpStream(control::ControlState& c) {
    using control::ReasonCode;
    net::SocketClient socket;
    const int timeout_s = c.ProbeTimeout.load();
    control::Reason reason;
    if (c.PlayState.load() == control::Playing) {
        int r;
        std::string proxy;
        if (c.ProxyState.load() == 1) {
            proxy = c.ProxyHost.Get();
            r = socket.Connect(c.ProxyPort.load(), proxy.c_str(), timeout_s, net::kAfInet,
                               net::kSockStream);
            proxy = "proxy " + proxy + ":" + std::to_string(c.ProxyPort.load()) + ": ";
        } else {
            r = socket.Connect(c.RemotePort.load(), c.HostName.Get().c_str(), timeout_s,
                               net::kAfInet, net::kSockStream);
        }
        if (r != net::SocketOk) {
            c.PlayState = control::StopRequested;
            reason = control::ConnectFailure(r, socket.ConnectError(), timeout_s);
            reason.text = proxy + reason.text;
        }
    }
    if (c.PlayState.load() != control::Playing) {
        EndSession(c, socket, reason);
        return;
    }

    // A server named by its stream path may frame parts by their boundaries alone.
    auto parser = std::make_unique<HttpStreamParser>(c.StreamPath.Empty()
                                                         ? LengthlessParts::Skipped
                                                         : LengthlessParts::PresentedByMarkers);
    platform::Tick last_data = platform::GetTickCount();
    platform::Tick last_frame = last_data;
    const net::SocketHandle handle = socket.GetSocket();
    const std::uint32_t silence_ms = static_cast<std::uint32_t>(timeout_s) * 2000u;
    int phase = 1;
    socket.ClearReceiveBuffer();
    const std::string request = BuildStreamRequest(c);
    std::uint8_t chunk[kReceiveChunkBytes];

    // One parse step and what follows from it; false when it took nothing.
    bool busy = false;
    auto step_once = [&]() {
        StepResult step = parser->Step();
        if (step.has_device_line)
            ApplyDeviceLine(c, step.device_line, step.device_line_text.c_str());
        if (step.kind == StepKind::Header) busy = true;
        if (step.kind == StepKind::End) reason = ParserEnd(step, parser->part_length());
        if (step.kind == StepKind::Frame) {
            StoreFrame(c, parser->frame(), parser->frame_length());
            last_frame = platform::GetTickCount();
            PresentFrame(c, 0);
        }
        return step.kind != StepKind::Nothing;
    };

    while (c.PlayState.load() == control::Playing && reason.code == ReasonCode::None) {
        busy = false;
        bool received = false;
        if (phase == 1) {
            if (::send(handle, request.data(), request.size(), MSG_NOSIGNAL) < 0)
                reason = {ReasonCode::SendFailed, std::string("request not sent: ") +
                                                      std::strerror(errno)};
            phase = 2;
            parser->RequestSent();
            busy = true;
            c.RequestTick = platform::GetTickCount();
        }
        if (reason.code == ReasonCode::None && socket.IsDataWaiting(handle)) {
            received = true;
            const int n = static_cast<int>(::recv(handle, chunk, sizeof chunk, 0));
            const platform::Tick now = platform::GetTickCount();
            if (n <= 0) {
                busy = false;
                if (now - last_data > silence_ms)
                    reason = {ReasonCode::DataSilence,
                              "no data for " + std::to_string(silence_ms / 1000) + " s"};
            } else {
                busy = n >= kLargeReceiveBytes;
                last_data = now;
                parser->Append(chunk, n);
                if (parser->buffered() > kMaxBufferedBytes)
                    reason = {ReasonCode::BufferOverflow,
                              "more than " + std::to_string(kMaxBufferedBytes) +
                                  " bytes without a frame"};
            }
            if (reason.code == ReasonCode::None && parser->ShouldStep()) step_once();
        }
        const platform::Tick now = platform::GetTickCount();
        if (reason.code == ReasonCode::None && now - last_data > silence_ms)
            reason = {ReasonCode::DataSilence,
                      "no data for " + std::to_string(silence_ms / 1000) + " s"};
        if (reason.code == ReasonCode::None && now - last_frame > kFrameSilenceMs)
            reason = {ReasonCode::FrameSilence,
                      "no frame for " + std::to_string(kFrameSilenceMs / 1000) + " s"};
        // A pass that found nothing waits for bytes (at most one idle period); a small receive
        // sleeps the period out, so a peer that trickles its bytes is read in batches rather
        // than with a wake-up per piece.
        if (!busy && reason.code == ReasonCode::None) {
            int error = 0;
            Wait wait = Wait::Nothing;
            if (received)
                platform::Sleep(kIdleSleepMs);
            else
                wait = WaitIdle(socket, handle, &error);
            if (wait == Wait::Closed || wait == Wait::Reset) {
                // What came before the end is still taken: parts already received are shown
                // and an end they carry (a refusal's status line) is the one reported.
                for (int i = 0; i < kDrainSteps && reason.code == ReasonCode::None &&
                                parser->ShouldStep() && step_once();
                     ++i) {
                }
                if (reason.code == ReasonCode::None)
                    reason = wait == Wait::Closed
                                 ? control::Reason{ReasonCode::ClosedByCamera,
                                                   "connection closed by the camera"}
                                 : ResetReason(error);
            }
        }
    }
    socket.CloseConnection();
    EndSession(c, socket, reason);
}

}  // namespace stream
