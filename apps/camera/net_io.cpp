// Socket plumbing of the simulated camera (see net_io.h).
// Every wait is a poll of at most kPollSliceMs, repeated until its deadline, so that Stop()
// never waits on a peer. Sends use MSG_NOSIGNAL: a client that hung up must not raise SIGPIPE.
#include "apps/camera/net_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace camera {

namespace {
constexpr int kListenBacklog = 64;

using Clock = std::chrono::steady_clock;

// Whole milliseconds left until the deadline, rounded up: a wait cut down to whole milliseconds
// would end before the deadline, and a pause of N ms must last at least N ms.
long long MsLeft(Clock::time_point deadline) {
    const auto now = Clock::now();
    if (now >= deadline) return 0;
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
}

// The next poll slice: kPollSliceMs when there is no deadline, else at most what is left of it
// (0 once it has passed).
int SliceUntil(Clock::time_point deadline, bool has_deadline) {
    if (!has_deadline) return kPollSliceMs;
    auto left = std::chrono::milliseconds(MsLeft(deadline));
    if (left.count() <= 0) return 0;
    return left.count() < kPollSliceMs ? static_cast<int>(left.count()) : kPollSliceMs;
}

// Polls for the given events until ready, the deadline, or stop.
IoResult WaitFor(int fd, short events, const std::atomic<bool>& stop, int timeout_ms) {
    const bool has_deadline = timeout_ms >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(has_deadline ? timeout_ms : 0);
    for (;;) {
        if (stop.load()) return IoResult::kStopped;
        int slice = SliceUntil(deadline, has_deadline);
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, slice);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoResult::kError;
        }
        if (n > 0) return IoResult::kOk;  // readiness, hang-up and errors all end the wait
        if (has_deadline && slice == 0) return IoResult::kTimeout;
    }
}
}  // namespace

const char* to_string(IoResult result) {
    switch (result) {
        case IoResult::kOk:
            return "ok";
        case IoResult::kClosed:
            return "closed by peer";
        case IoResult::kTimeout:
            return "timed out";
        case IoResult::kStopped:
            return "camera stopping";
        case IoResult::kError:
            return "socket error";
    }
    return "unknown";
}

int ListenLoopback(int port, int* bound_port, std::string* error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, kListenBacklog) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *bound_port = ntohs(addr.sin_port);
    return fd;
}

int AcceptClient(int listen_fd, int timeout_ms, std::string* peer) {
    pollfd p{listen_fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return -1;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    *peer = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    return fd;
}

IoResult SendAll(int fd, const void* data, std::size_t size, const std::atomic<bool>& stop,
                 int stall_ms) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        IoResult ready = WaitFor(fd, POLLOUT, stop, stall_ms);
        if (ready != IoResult::kOk) return ready;
        ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return errno == EPIPE || errno == ECONNRESET ? IoResult::kClosed : IoResult::kError;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return IoResult::kOk;
}

IoResult SendTrickle(int fd, const void* data, std::size_t size, const std::atomic<bool>& stop,
                     int stall_ms, int gap_us) {
    const char* bytes = static_cast<const char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        IoResult r = SendAll(fd, bytes + i, 1, stop, stall_ms);
        if (r != IoResult::kOk) return r;
        std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
    }
    return IoResult::kOk;
}

IoResult RecvSome(int fd, void* data, std::size_t capacity, std::size_t* got,
                  const std::atomic<bool>& stop, int timeout_ms) {
    *got = 0;
    for (;;) {
        IoResult ready = WaitFor(fd, POLLIN, stop, timeout_ms);
        if (ready != IoResult::kOk) return ready;
        ssize_t n = ::recv(fd, data, capacity, MSG_DONTWAIT);
        if (n > 0) {
            *got = static_cast<std::size_t>(n);
            return IoResult::kOk;
        }
        if (n == 0) return IoResult::kClosed;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        return errno == ECONNRESET ? IoResult::kClosed : IoResult::kError;
    }
}

IoResult RecvExact(int fd, void* data, std::size_t size, const std::atomic<bool>& stop,
                   int timeout_ms) {
    const bool has_deadline = timeout_ms >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(has_deadline ? timeout_ms : 0);
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        int left = -1;
        if (has_deadline) {
            const long long ms = MsLeft(deadline);
            if (ms <= 0) return IoResult::kTimeout;
            left = static_cast<int>(ms);
        }
        std::size_t got = 0;
        IoResult r = RecvSome(fd, bytes, size, &got, stop, left);
        if (r != IoResult::kOk) return r;
        bytes += got;
        size -= got;
    }
    return IoResult::kOk;
}

IoResult WaitReadable(int fd, const std::atomic<bool>& stop, int timeout_ms) {
    return WaitFor(fd, POLLIN, stop, timeout_ms);
}

bool PauseUnlessStopped(int ms, const std::atomic<bool>& stop) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!stop.load()) {
        const int slice = SliceUntil(deadline, true);
        if (slice == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    }
    return false;
}

void HoldSilent(int fd, const std::atomic<bool>& stop) {
    char scratch[256];
    std::size_t got = 0;
    while (RecvSome(fd, scratch, sizeof scratch, &got, stop, -1) == IoResult::kOk) {
    }
}

void CloseSocket(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace camera
