// The session loop around the parse step: receive what is waiting (at most one chunk per pass),
// run one step, present frames, and check the silence limits. Between passes the loop waits for
// the socket to become readable for at most one idle period when nothing was waiting, so Stop is
// seen within one period, an idle session burns nothing, and a frame's first bytes are taken up
// as soon as they arrive; after a small receive the pass sleeps one period as before.
#include "stream/http_stream.h"

#include <sys/socket.h>

#include <cstdio>
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

// Waits up to kIdleSleepMs for bytes to arrive. A peer that has closed (or failed) makes the
// socket readable with nothing to read; the rest of the period is slept then, so a dead
// connection is polled at the idle cadence rather than spun on.
void WaitIdle(net::SocketClient& socket, net::SocketHandle handle) {
    const platform::Tick start = platform::GetTickCount();
    if (socket.WaitForReceive(0, static_cast<int>(kIdleSleepMs) * 1000) != net::SocketOk) return;
    if (socket.IsDataWaiting(handle)) return;
    const platform::Tick waited = platform::GetTickCount() - start;
    if (waited < kIdleSleepMs) platform::Sleep(kIdleSleepMs - waited);
}

void EndSession(control::ControlState& c, net::SocketClient& socket) {
    c.RequestRepaint();
    socket.ResetWinsock();
    c.PlayState = control::Ended;
    c.ThreadRunning = 0;
}

}  // namespace

void RunHttpStream(control::ControlState& c) {
    net::SocketClient socket;
    const int timeout_s = c.ProbeTimeout.load();
    if (c.PlayState.load() == control::Playing) {
        int r;
        if (c.ProxyState.load() == 1) {
            r = socket.Connect(c.ProxyPort.load(), c.ProxyHost.Get().c_str(), timeout_s,
                               net::kAfInet, net::kSockStream);
        } else {
            r = socket.Connect(c.RemotePort.load(), c.HostName.Get().c_str(), timeout_s,
                               net::kAfInet, net::kSockStream);
        }
        if (r != net::SocketOk) c.PlayState = control::StopRequested;
    }
    if (c.PlayState.load() != control::Playing) {
        EndSession(c, socket);
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
    EndReason reason = EndReason::None;

    while (c.PlayState.load() == control::Playing && reason == EndReason::None) {
        bool busy = false;
        bool received = false;
        if (phase == 1) {
            ::send(handle, request.data(), request.size(), MSG_NOSIGNAL);
            phase = 2;
            parser->RequestSent();
            busy = true;
            c.RequestTick = platform::GetTickCount();
        }
        if (socket.IsDataWaiting(handle)) {
            received = true;
            const int n = static_cast<int>(::recv(handle, chunk, sizeof chunk, 0));
            const platform::Tick now = platform::GetTickCount();
            if (n <= 0) {
                busy = false;
                if (now - last_data > silence_ms) reason = EndReason::PeerClosed;
            } else {
                busy = n >= kLargeReceiveBytes;
                last_data = now;
                parser->Append(chunk, n);
                if (parser->buffered() > kMaxBufferedBytes) reason = EndReason::BufferOverflow;
            }
            if (reason == EndReason::None && parser->ShouldStep()) {
                StepResult step = parser->Step();
                if (step.has_device_line)
                    ApplyDeviceLine(c, step.device_line, step.device_line_text.c_str());
                if (step.kind == StepKind::Header) busy = true;
                if (step.kind == StepKind::End) reason = step.reason;
                if (step.kind == StepKind::Frame) {
                    StoreFrame(c, parser->frame(), parser->frame_length());
                    last_frame = platform::GetTickCount();
                    PresentFrame(c, 0);
                }
            }
        }
        const platform::Tick now = platform::GetTickCount();
        if (reason == EndReason::None && now - last_data > silence_ms) reason = EndReason::Silence;
        if (reason == EndReason::None && now - last_frame > kFrameSilenceMs)
            reason = EndReason::NoFrame;
        // A pass that found nothing waits for bytes (at most one idle period); a small receive
        // sleeps the period out, so a peer that trickles its bytes is read in batches rather
        // than with a wake-up per piece.
        if (!busy && reason == EndReason::None) {
            if (received)
                platform::Sleep(kIdleSleepMs);
            else
                WaitIdle(socket, handle);
        }
    }
    if (reason != EndReason::None) {
        char trace[96];
        std::snprintf(trace, sizeof trace, "http stream ended: %s", to_string(reason));
        platform::OutputDebugStringA(trace);
    }
    socket.CloseConnection();
    EndSession(c, socket);
}

}  // namespace stream
