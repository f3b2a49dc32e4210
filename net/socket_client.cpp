// The socket client on POSIX sockets: a connect bounded by a writability wait, single-socket
// readiness waits on poll(), receive loops capped at 151 calls and a liveness check built from a
// zero-time poll and a one-byte peek. The hard part is keeping the observable results of the
// original socket library (which errors count as dead) while telling a refused connect from a
// slow one at once. What a connection carries is left to the sessions and requests above.
#include "net/socket_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace net {
namespace {

constexpr char kHeaderTerminator[] = "\r\n\r\n";
constexpr int kHeaderTerminatorBytes = sizeof kHeaderTerminator - 1;
constexpr int kScratchBytes = 256;  // ClearReceiveBuffer's stack area
constexpr int kAddressTextBytes = 30;
constexpr int kShutdownBoth = SHUT_RDWR;
constexpr std::int64_t kMsPerSecond = 1000;
constexpr std::int64_t kUsPerMs = 1000;

using Clock = std::chrono::steady_clock;

// Time-out of a wait in whole milliseconds, rounded up so that a short positive wait does not
// become a bare poll. A negative total is refused, as the select() time-out would be.
bool WaitMilliseconds(int seconds, int microseconds, int& milliseconds) {
    std::int64_t total_us = std::int64_t{seconds} * kMsPerSecond * kUsPerMs + microseconds;
    if (total_us < 0) return false;
    std::int64_t ms = (total_us + kUsPerMs - 1) / kUsPerMs;
    milliseconds = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    return true;
}

// Waits on one socket for `events`. Returns the ready count (0 or 1), or -1 with errno set.
// An error or hang-up counts as ready, as select() reports it in the read and write sets; a handle
// that is no socket at all fails with EBADF, as select() fails on it (poll() would only flag it).
// poll() rather than select() because select() cannot take descriptors at or above FD_SETSIZE.
int PollOne(SocketHandle socket, short events, int milliseconds) {
    if (socket < 0) {
        errno = EBADF;
        return -1;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        pollfd entry = {socket, events, 0};
        int count = ::poll(&entry, 1, milliseconds);
        if (count < 0 && errno == EINTR) {
            // Rounded up, so an interrupted wait never ends before its deadline.
            const auto now = Clock::now();
            milliseconds = now < deadline ? static_cast<int>(
                                                std::chrono::ceil<std::chrono::milliseconds>(
                                                    deadline - now)
                                                    .count())
                                          : 0;
            continue;
        }
        if (count < 0) return -1;
        if (count == 0) return 0;
        if (entry.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return (entry.revents & (events | POLLERR | POLLHUP)) ? 1 : 0;
    }
}

bool IsNotASocketError(int error) {
    return error == EBADF || error == ENOTSOCK;
}

// Peek errors after which the connection counts as dead and the socket is left as it is.
bool IsDeadAtOncePeekError(int error) {
    switch (error) {
        case EINTR:
        case EFAULT:
        case EINVAL:
        case EBADF:
        case ENOTSOCK:
        case EMSGSIZE:
        case EOPNOTSUPP:
        case EISCONN:
        case ENETDOWN:
        case ENETRESET:
        case ESHUTDOWN:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

timeval ToTimeval(int milliseconds) {
    timeval value = {};
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return value;
}

}  // namespace

const char* to_string(SocketResult code) {
    switch (code) {
        case SocketOk:
            return "ok";
        case SocketFailed:
            return "failed";
        case SocketConnectTimeout:
            return "connect timed out";
        case SocketLookupFailed:
            return "name lookup failed";
        case SocketAlreadyOpen:
            return "already connected";
        case SocketCreateFailed:
            return "socket creation failed";
        case SocketConnectFailed:
            return "connect failed";
        case SocketBufferTooShort:
            return "address buffer too short";
        case SocketHostUnresolved:
            return "host unresolved";
    }
    return "unknown socket result";
}

// ---- SocketBase: primitives on one handle ----

SocketBase::~SocketBase() = default;

int SocketBase::OnConnected(SocketHandle, const char*) {
    return SocketOk;
}

int SocketBase::CloseSocket(SocketHandle socket) {
    return ::close(socket);
}

int SocketBase::ShutdownSocket(SocketHandle socket, int how) {
    return ::shutdown(socket, how);
}

int SocketBase::RecvRaw(SocketHandle socket, void* buffer, int length, int flags) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(::recv(socket, buffer, static_cast<size_t>(length), flags));
}

// MSG_NOSIGNAL on every send: a peer that has gone must end in an error, never in SIGPIPE.
int SocketBase::SendRaw(SocketHandle socket, const void* buffer, int length, int flags) {
    if (length < 0 || (buffer == nullptr && length > 0)) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(
        ::send(socket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL));
}

int SocketBase::IsDataWaiting(SocketHandle socket) {
    int waiting = 0;
    return (::ioctl(socket, FIONREAD, &waiting) == 0 && waiting != 0) ? 1 : 0;
}

int SocketBase::WaitReadable(SocketHandle socket, int seconds, int microseconds) {
    int milliseconds = 0;
    if (!WaitMilliseconds(seconds, microseconds, milliseconds)) return SocketFailed;
    return PollOne(socket, POLLIN, milliseconds) == 1 ? SocketOk : SocketFailed;
}

// ---- SocketClient ----

SocketClient::SocketClient() {
    // No socket yet: both calls fail and the remembered 30000 ms stay, to be applied on connect.
    SetReceiveTimeout(kDefaultSocketTimeoutMs);
    SetSendTimeout(kDefaultSocketTimeoutMs);
}

SocketClient::~SocketClient() {
    CloseConnection();
}

int SocketClient::Connect(int port, const char* host, int seconds, int family, int type) {
    if (data_socket_ != kNoSocket) return OnError(SocketAlreadyOpen);
    connect_error_ = 0;

    if (IsDottedAddress(host)) {
        std::strncpy(address_text_, host, kAddressTextBytes - 1);
        address_text_[kAddressTextBytes - 1] = '\0';
    } else if (GetAddressByName(host, address_text_, kAddressTextBytes) != SocketOk) {
        return OnError(SocketHostUnresolved);
    }
    family_ = family;
    type_ = type;

    remote_address_ = {};
    remote_address_.sin_family = static_cast<sa_family_t>(family);
    remote_address_.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    remote_address_.sin_addr.s_addr = ::inet_addr(address_text_);

    if (CreateSocket(data_socket_, family, type, 0) == SocketFailed) {
        connect_error_ = errno;
        return OnError(SocketCreateFailed);
    }
    const bool bounded = seconds >= 0;
    if (bounded) SetBlockingMode(1);

    if (::connect(data_socket_, reinterpret_cast<const sockaddr*>(&remote_address_),
                  sizeof remote_address_) != 0) {
        if (errno != EINPROGRESS) {
            connect_error_ = errno;
            CloseSocket(data_socket_);
            data_socket_ = kNoSocket;
            return OnError(SocketConnectFailed);
        }
        if (bounded) {
            const bool writable = WaitForSend(seconds, 0) == SocketOk;
            int error = 0;
            socklen_t error_bytes = sizeof error;
            if (writable &&
                ::getsockopt(data_socket_, SOL_SOCKET, SO_ERROR, &error, &error_bytes) != 0)
                error = errno;
            if (!writable || error != 0) {
                // Writable with an error pending is a definite answer (a refusal, an unreachable
                // host): it is reported at once for what it is, as a blocking connect reports
                // it. Only a host that never answered has run the time-out out.
                connect_error_ = writable ? error : ETIMEDOUT;
                CloseSocket(data_socket_);
                data_socket_ = kNoSocket;
                return OnError(writable ? SocketConnectFailed : SocketConnectTimeout);
            }
        }
    }
    // Blocking again whichever way the connect completed, so that the 30000 ms socket time-outs
    // govern every later receive and send.
    if (bounded) SetBlockingMode(0);
    SetReceiveTimeout(receive_timeout_ms_);
    SetSendTimeout(send_timeout_ms_);
    int result = OnConnected(data_socket_, host);
    if (result != SocketOk) {
        CloseSocket(data_socket_);
        data_socket_ = kNoSocket;
    }
    return OnError(result);
}

int SocketClient::CreateSocket(SocketHandle& handle, int family, int type, int protocol) {
    handle = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return OnError(handle == kNoSocket ? SocketFailed : SocketOk);
}

int SocketClient::CloseConnection() {
    int result = SocketOk;
    if (data_socket_ != kNoSocket) {
        if (type_ == kSockStream && ShutdownSocket(data_socket_, kShutdownBoth) == -1) {
            result = SocketFailed;
        }
        if (CloseSocket(data_socket_) == -1) result = SocketFailed;
    }
    data_socket_ = kNoSocket;
    address_text_[0] = '\0';
    return OnError(result);
}

int SocketClient::Send(const void* data, int length) {
    if (data == nullptr) return 0;
    if (length <= 0) length = static_cast<int>(std::strlen(static_cast<const char*>(data)));
    int sent = SendRaw(data_socket_, data, length, 0);
    return sent < 0 ? 0 : sent;
}

int SocketClient::SendAll(const void* data, int length) {
    int sent = 0;
    while (length > 0) {
        int n = Send(static_cast<const char*>(data) + sent, length);
        if (n == 0) break;
        sent += n;
        length -= n;
    }
    return sent;
}

int SocketClient::WaitForSend(int seconds, int microseconds) {
    int milliseconds = 0;
    if (!WaitMilliseconds(seconds, microseconds, milliseconds)) return OnError(SocketFailed);
    return OnError(PollOne(data_socket_, POLLOUT, milliseconds) == 1 ? SocketOk : SocketFailed);
}

int SocketClient::Receive(void* buffer, int length, int seconds) {
    if (seconds > 0 && WaitForReceive(seconds, 0) != SocketOk) return 0;
    return RecvRaw(data_socket_, buffer, length, 0);
}

int SocketClient::ReceiveAll(void* buffer, int length, int seconds) {
    int got = 0;
    for (int calls = 0; length - got > 0 && calls <= kMaxReceiveCalls;) {
        if (seconds > 0 && WaitForReceive(seconds, 0) != SocketOk) break;
        int n = RecvRaw(data_socket_, static_cast<char*>(buffer) + got, length - got, 0);
        ++calls;
        if (n < 0) break;
        got += n;  // an orderly close (0) only uses up a call
    }
    return got;
}

int SocketClient::ReceiveUntil(void* buffer, int max_bytes, int seconds, int kind) {
    if (kind != kHeaderTerminatorKind || buffer == nullptr) return 0;
    char* text = static_cast<char*>(buffer);
    int got = 0;
    for (int calls = 0; max_bytes - got > 0 && calls <= kMaxReceiveCalls;) {
        if (seconds > 0 && WaitForReceive(seconds, 0) != SocketOk) break;
        int n = RecvRaw(data_socket_, text + got, 1, 0);
        ++calls;
        if (n < 0) break;
        got += n;
        // The buffer is searched as text from its start (a NUL ends it), but never beyond
        // max_bytes, even when the caller's buffer holds no NUL.
        size_t text_bytes = ::strnlen(text, static_cast<size_t>(max_bytes));
        if (::memmem(text, text_bytes, kHeaderTerminator, kHeaderTerminatorBytes) != nullptr) {
            break;
        }
    }
    return got;
}

int SocketClient::ClearReceiveBuffer() {
    char scratch[kScratchBytes];
    while (IsDataWaiting(data_socket_) == 1) {
        if (Receive(scratch, kScratchBytes, 0) <= 0) break;
    }
    return OnError(SocketOk);
}

int SocketClient::WaitForReceive(int seconds, int microseconds) {
    return OnError(WaitReadable(data_socket_, seconds, microseconds));
}

int SocketClient::OnError(int code) {
    return code;
}

int SocketClient::IsConnectionAlive() {
    int ready = PollOne(data_socket_, POLLIN, 0);
    if (ready < 0) {
        if (IsNotASocketError(errno) || errno == ENETDOWN) return 0;
        ready = -1;
    }
    SetBlockingMode(1);
    char byte = 0;
    int peeked = RecvRaw(data_socket_, &byte, 1, MSG_PEEK);
    if (peeked < 0) {
        int error = errno;
        if (IsDeadAtOncePeekError(error)) return 0;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            peeked = 0;  // idle: nothing to read yet
        } else if (error == EINPROGRESS) {
            SetBlockingMode(0);
            return 1;
        } else if (error == ECONNRESET) {
            SetBlockingMode(0);
            return 0;
        }
    }
    SetBlockingMode(0);
    // Readable with nothing to read means the peer has closed.
    return (peeked == 0 && ready == 1) ? 0 : 1;
}

int SocketClient::ResetWinsock() {
    // There is no socket library to restart here; what is left is forgetting the data socket.
    // Callers may get here with the socket still open, so close it rather than leak it.
    if (data_socket_ != kNoSocket) CloseSocket(data_socket_);
    data_socket_ = kNoSocket;
    address_text_[0] = '\0';
    return OnError(SocketOk);
}

int SocketClient::SetBlockingMode(int mode) {
    int non_blocking = mode;
    return ::ioctl(data_socket_, FIONBIO, &non_blocking) == -1 ? SocketFailed : SocketOk;
}

int SocketClient::SetReceiveTimeout(int milliseconds) {
    timeval value = ToTimeval(milliseconds);
    int result = ::setsockopt(data_socket_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
    if (result == 0) receive_timeout_ms_ = milliseconds;
    return result;
}

int SocketClient::SetSendTimeout(int milliseconds) {
    timeval value = ToTimeval(milliseconds);
    int result = ::setsockopt(data_socket_, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
    if (result == 0) send_timeout_ms_ = milliseconds;
    return result;
}

int SocketClient::IsDottedAddress(const char* text) {
    if (text == nullptr) return 0;
    return ::inet_addr(text) != INADDR_NONE ? 1 : 0;
}

int SocketClient::GetAddressByName(const char* text, char* output, int output_size) {
    if (text == nullptr) return SocketLookupFailed;
    // Only what follows the last "@" is the host ("user@host"); an "@" in front stays.
    const char* name = text;
    for (size_t i = std::strlen(text); i > 1; --i) {
        if (text[i - 1] == '@') {
            name = text + i;
            break;
        }
    }
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return SocketLookupFailed;
    }
    char dotted[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    bool formatted = found->ai_family == AF_INET &&
                     ::inet_ntop(AF_INET, &address->sin_addr, dotted, sizeof dotted) != nullptr;
    ::freeaddrinfo(found);
    if (!formatted) return SocketLookupFailed;
    int length = static_cast<int>(std::strlen(dotted));
    if (output == nullptr || length + 1 > output_size) return SocketBufferTooShort;
    std::memcpy(output, dotted, static_cast<size_t>(length) + 1);
    return SocketOk;
}

}  // namespace net
