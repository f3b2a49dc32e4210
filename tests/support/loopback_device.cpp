// The loopback device stand-in (see loopback_device.h). Waits poll the connection together with
// an eventfd the destructor signals, so a handler blocked in a wait returns at once on teardown.
#include "support/loopback_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace test_support {
namespace {

constexpr int kBacklog = 16;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool DeviceConnection::Wait(short events, long long until_ms) {
    until_ms = std::min(until_ms, deadline_ms_);
    for (;;) {
        const long long left = until_ms - NowMs();
        if (left <= 0) return false;
        pollfd entries[2] = {{fd_, events, 0}, {wake_fd_, POLLIN, 0}};
        const int count = ::poll(entries, 2, static_cast<int>(left));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 || entries[1].revents != 0) return false;
        if (entries[0].revents != 0) return true;
    }
}

bool DeviceConnection::Send(std::string_view bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (!Wait(POLLOUT, NowMs() + kDeviceWaitMs)) return false;
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string DeviceConnection::Receive(std::size_t n, int timeout_ms) {
    std::string got;
    const long long until = NowMs() + timeout_ms;
    char chunk[4096];
    while (got.size() < n) {
        if (!Wait(POLLIN, until)) break;
        const ssize_t r = ::recv(fd_, chunk, std::min(sizeof chunk, n - got.size()), 0);
        if (r <= 0) break;
        got.append(chunk, static_cast<std::size_t>(r));
    }
    return got;
}

bool DeviceConnection::WaitClosed(int timeout_ms) {
    const long long until = NowMs() + timeout_ms;
    char chunk[4096];
    for (;;) {
        if (!Wait(POLLIN, until)) return false;
        if (::recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
    }
}

LoopbackDevice::LoopbackDevice(Handler handler, int max_connections)
    : handler_(std::move(handler)), max_connections_(max_connections) {
    deadline_ms_ = NowMs() + kDeviceLifetimeMs;
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listen_fd_ >= 0 &&
        (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
         ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
         ::listen(listen_fd_, kBacklog) != 0)) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    port_ = listen_fd_ >= 0 ? ntohs(address.sin_port) : 0;
    acceptor_ = std::thread([this] { Accept(); });
}

LoopbackDevice::~LoopbackDevice() {
    std::uint64_t one = 1;
    if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
    acceptor_.join();
    for (std::thread& t : handlers_) t.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

int LoopbackDevice::Connections() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

bool LoopbackDevice::WaitConnections(int count, int timeout_ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return accepted_ >= count; });
}

void LoopbackDevice::Accept() {
    if (listen_fd_ < 0 || wake_fd_ < 0) return;
    for (int index = 0; index < max_connections_; ++index) {
        const long long left = deadline_ms_ - NowMs();
        if (left <= 0) return;
        pollfd entries[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int count = ::poll(entries, 2, static_cast<int>(left));
        if (count < 0 && errno == EINTR) {
            --index;
            continue;
        }
        if (count <= 0 || entries[1].revents != 0) return;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard lock(mutex_);
        ++accepted_;
        changed_.notify_all();
        handlers_.emplace_back([this, fd, index] {
            DeviceConnection connection(fd, wake_fd_, index, deadline_ms_);
            handler_(connection);
            ::close(fd);
        });
    }
}

std::string StatusWithBlock(std::string_view code, std::size_t block_bytes, int pacing) {
    std::string bytes(code);
    std::string block(block_bytes, '\0');
    constexpr std::size_t kPacingAt = 124;
    if (block_bytes >= kPacingAt + 2) {
        block[kPacingAt] = static_cast<char>(pacing & 0xFF);
        block[kPacingAt + 1] = static_cast<char>((pacing >> 8) & 0xFF);
    }
    return bytes + block;
}

std::string FrameLength(std::uint32_t length) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return bytes;
}

}  // namespace test_support
