// Scripted loopback peers for socket tests; see loopback_peer.h. Every wait polls the connection
// together with an eventfd that the destructor signals, so no peer thread outlives its object, and
// every wait is bounded by the peer's lifetime limit.
#include "support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>

namespace test_support {
namespace {

constexpr std::size_t kReadChunkBytes = 4096;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Binds a TCP socket to 127.0.0.1 on an ephemeral port; returns the descriptor or -1.
int BindLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

PeerStep LoopbackPeer::Send(std::string bytes) {
    return {PeerStep::Kind::kSend, std::move(bytes), 0, 0};
}
PeerStep LoopbackPeer::Receive(std::size_t count) {
    return {PeerStep::Kind::kReceive, {}, count, 0};
}
PeerStep LoopbackPeer::ReceiveUntil(std::string text) {
    return {PeerStep::Kind::kReceiveUntil, std::move(text), 0, 0};
}
PeerStep LoopbackPeer::Pause(int milliseconds) {
    return {PeerStep::Kind::kPause, {}, 0, milliseconds};
}
PeerStep LoopbackPeer::Hold() {
    return {PeerStep::Kind::kHold, {}, 0, 0};
}
PeerStep LoopbackPeer::Close() {
    return {PeerStep::Kind::kClose, {}, 0, 0};
}
PeerStep LoopbackPeer::Reset() {
    return {PeerStep::Kind::kReset, {}, 0, 0};
}

LoopbackPeer::LoopbackPeer(std::vector<PeerStep> script) : script_(std::move(script)) {
    listen_fd_ = BindLoopback(port_);
    if (listen_fd_ >= 0 && ::listen(listen_fd_, 4) != 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
    std::uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
    thread_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

bool LoopbackPeer::WaitAccepted(int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return accepted_; });
}

bool LoopbackPeer::WaitDone(int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return done_; });
}

std::string LoopbackPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void LoopbackPeer::MarkAccepted() {
    std::lock_guard lock(mutex_);
    accepted_ = true;
    changed_.notify_all();
}

bool LoopbackPeer::WaitFor(int fd, short events, long long deadline_ms) {
    for (;;) {
        long long left = deadline_ms - NowMs();
        if (left <= 0) return false;
        pollfd entries[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
        int count = ::poll(entries, 2, static_cast<int>(left));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 || entries[1].revents != 0) return false;
        if (entries[0].revents != 0) return true;
    }
}

// Runs one step; false ends the script (the client went away, the peer is stopping, or a step
// could not be completed).
bool LoopbackPeer::RunStep(int connection, const PeerStep& step, long long deadline_ms) {
    char chunk[kReadChunkBytes];
    switch (step.kind) {
        case PeerStep::Kind::kSend: {
            std::size_t sent = 0;
            while (sent < step.bytes.size()) {
                if (!WaitFor(connection, POLLOUT, deadline_ms)) return false;
                ssize_t n = ::send(connection, step.bytes.data() + sent, step.bytes.size() - sent,
                                   MSG_NOSIGNAL);
                if (n <= 0) return false;
                sent += static_cast<std::size_t>(n);
            }
            return true;
        }
        case PeerStep::Kind::kReceive:
        case PeerStep::Kind::kReceiveUntil:
        case PeerStep::Kind::kHold: {
            std::string got;
            for (;;) {
                if (step.kind == PeerStep::Kind::kReceive && got.size() >= step.count) return true;
                if (step.kind == PeerStep::Kind::kReceiveUntil &&
                    got.find(step.bytes) != std::string::npos) {
                    return true;
                }
                if (!WaitFor(connection, POLLIN, deadline_ms)) return false;
                std::size_t want = sizeof chunk;
                if (step.kind == PeerStep::Kind::kReceive) {
                    want = std::min(want, step.count - got.size());
                }
                // Byte by byte up to a text, so nothing after it is taken from the next step.
                if (step.kind == PeerStep::Kind::kReceiveUntil) want = 1;
                ssize_t n = ::recv(connection, chunk, want, 0);
                if (n <= 0) return step.kind == PeerStep::Kind::kHold;
                got.append(chunk, static_cast<std::size_t>(n));
                std::lock_guard lock(mutex_);
                received_.append(chunk, static_cast<std::size_t>(n));
            }
        }
        case PeerStep::Kind::kPause: {
            long long until = std::min(deadline_ms, NowMs() + step.milliseconds);
            pollfd wake = {wake_fd_, POLLIN, 0};
            for (long long left = until - NowMs(); left > 0; left = until - NowMs()) {
                if (::poll(&wake, 1, static_cast<int>(left)) > 0) return false;
            }
            return true;
        }
        case PeerStep::Kind::kClose:
        case PeerStep::Kind::kReset:
            return true;  // handled by Run, which owns the descriptor
    }
    return false;
}

void LoopbackPeer::Run() {
    long long deadline_ms = NowMs() + kMaxPeerLifetimeMs;
    int connection = -1;
    if (listen_fd_ >= 0 && wake_fd_ >= 0 && WaitFor(listen_fd_, POLLIN, deadline_ms)) {
        connection = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (connection >= 0) {
        MarkAccepted();
        for (const PeerStep& step : script_) {
            if (step.kind == PeerStep::Kind::kReset) {
                linger abort = {1, 0};
                ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            if (step.kind == PeerStep::Kind::kClose || step.kind == PeerStep::Kind::kReset) break;
            if (!RunStep(connection, step, deadline_ms)) break;
        }
        ::close(connection);
    }
    std::lock_guard lock(mutex_);
    done_ = true;
    changed_.notify_all();
}

RefusingPort::RefusingPort() {
    fd_ = BindLoopback(port_);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

UnansweringPort::UnansweringPort() {
    listen_fd_ = BindLoopback(port_);
    // A backlog of 0 admits one finished handshake; the filler takes that place, after which
    // new handshakes are dropped.
    if (listen_fd_ < 0 || ::listen(listen_fd_, 0) != 0) return;
    filler_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    if (filler_fd_ < 0 ||
        ::connect(filler_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return;
    }
    constexpr int kQueueSettleMs = 1000;
    pollfd queued = {listen_fd_, POLLIN, 0};
    ready_ = ::poll(&queued, 1, kQueueSettleMs) == 1;
}

UnansweringPort::~UnansweringPort() {
    if (filler_fd_ >= 0) ::close(filler_fd_);
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

}  // namespace test_support
