// The tests' raw TCP client (see raw_client.h). Each read waits with poll against one deadline
// for the whole call, so a silent peer costs at most the time-out.
#include "support/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace test_support {

namespace {
using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
}  // namespace

RawClient::~RawClient() {
    Close();
}

bool RawClient::Connect(int port, int timeout_ms) {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        pollfd p{fd_, POLLOUT, 0};
        int error = 0;
        socklen_t len = sizeof error;
        if (errno != EINPROGRESS || ::poll(&p, 1, timeout_ms) != 1 ||
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            Close();
            return false;
        }
    }
    return true;
}

bool RawClient::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, kDefaultReadTimeoutMs) != 1) return false;
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool RawClient::Fill(int timeout_ms) {
    if (fd_ < 0 || peer_closed_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return false;
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        peer_closed_ = true;
        return false;
    }
    pending_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::string RawClient::ReadN(std::size_t n, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pending_.size() < n && Fill(MsLeft(deadline))) {
    }
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

std::string RawClient::ReadUntil(std::string_view marker, int timeout_ms, std::size_t max_bytes) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::size_t at = pending_.find(marker);
        if (at != std::string::npos && at + marker.size() <= max_bytes) {
            std::string out = pending_.substr(0, at + marker.size());
            pending_.erase(0, out.size());
            return out;
        }
        if (pending_.size() >= max_bytes || !Fill(MsLeft(deadline))) return "";
    }
}

std::string RawClient::ReadToClose(int timeout_ms, bool* closed) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Fill(MsLeft(deadline))) {
    }
    if (closed) *closed = peer_closed_;
    std::string out;
    out.swap(pending_);
    return out;
}

void RawClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    peer_closed_ = false;
    pending_.clear();
}

}  // namespace test_support
