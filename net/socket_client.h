// The TCP client every connection of the control goes through: connect with a time-out in
// seconds, one-shot and buffer-filling sends and receives with a readiness wait before each
// receive, a byte-by-byte read up to a header terminator, a drain of stale input, a liveness check.
// Operations return SocketResult codes or byte counts; nothing is thrown or logged.
// One object is used by one thread at a time; it takes no lock of its own.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace net {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// Result codes of the code-returning operations (0 is success).
enum SocketResult : std::int32_t {
    SocketOk = 0,
    SocketFailed = 1,            // platform call failed, or a wait ended without readiness
    SocketConnectTimeout = 5,    // not writable within the connect time-out
    SocketLookupFailed = 7,      // host name lookup failed
    SocketAlreadyOpen = 16,      // Connect on an object that already has a data socket
    SocketCreateFailed = 17,     // socket creation failed
    SocketConnectFailed = 19,    // connect failed with a definite error (refused, unreachable)
    SocketBufferTooShort = 35,   // output buffer cannot hold the dotted text and its terminator
    SocketHostUnresolved = 100,  // the lookup inside Connect did not succeed
};
const char* to_string(SocketResult code);

inline constexpr int kAfInet = 2;      // the address family the control always passes
inline constexpr int kSockStream = 1;  // the socket type the control always passes
inline constexpr int kDefaultSocketTimeoutMs = 30000;
inline constexpr int kMaxReceiveCalls = 150;  // transfer loops stop after this many + 1 calls
inline constexpr int kHeaderTerminatorKind = 1;  // ReceiveUntil kind: "\r\n\r\n"

// Primitives on one socket handle; they hold no state.
class SocketBase {
public:
    virtual ~SocketBase();
    virtual int OnConnected(SocketHandle socket, const char* host);
    virtual int CloseSocket(SocketHandle socket);
    virtual int ShutdownSocket(SocketHandle socket, int how);
    virtual int RecvRaw(SocketHandle socket, void* buffer, int length, int flags);
    virtual int SendRaw(SocketHandle socket, const void* buffer, int length, int flags);
    virtual int IsDataWaiting(SocketHandle socket);
    virtual int WaitReadable(SocketHandle socket, int seconds, int microseconds);
};

class SocketClient : public SocketBase {
public:
    SocketClient();
    ~SocketClient() override;
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    // Negative seconds: a plain blocking connect. 0 or more: bounded by that many seconds. A
    // connection the host refuses (or that fails for another definite cause) ends at once with
    // SocketConnectFailed; only a host that does not answer runs the time-out out.
    virtual int Connect(int port, const char* host, int seconds, int family, int type);
    virtual int CreateSocket(SocketHandle& handle, int family, int type, int protocol);
    virtual int CloseConnection();
    // One send call; 0 when it fails. A length of 0 or less sends the NUL-terminated text.
    virtual int Send(const void* data, int length);
    virtual int SendAll(const void* data, int length);
    virtual int WaitForSend(int seconds, int microseconds);
    // One receive, after a wait of `seconds` when positive: bytes, 0 on time-out or close, -1 on error.
    virtual int Receive(void* buffer, int length, int seconds);
    // Fills the buffer with up to 151 receive calls; returns the bytes received, never -1.
    virtual int ReceiveAll(void* buffer, int length, int seconds);
    // Reads one byte per call until the terminator appears in the buffer (as text); at most 151.
    virtual int ReceiveUntil(void* buffer, int max_bytes, int seconds, int kind);
    virtual int ClearReceiveBuffer();
    virtual int WaitForReceive(int seconds, int microseconds);
    virtual int OnError(int code);

    int IsConnectionAlive();
    // Forgets the data socket. On this platform there is no library to restart; a socket that is
    // still open is closed here rather than leaked.
    int ResetWinsock();
    SocketHandle GetSocket() const { return data_socket_; }
    int SetBlockingMode(int mode);  // 0 = blocking, 1 = non-blocking
    int SetReceiveTimeout(int milliseconds);
    int SetSendTimeout(int milliseconds);
    static int IsDottedAddress(const char* text);
    static int GetAddressByName(const char* text, char* output, int output_size);

    const char* AddressText() const { return address_text_; }
    // The system's error number behind the last failed Connect (ECONNREFUSED, ETIMEDOUT for a
    // time-out, ...); 0 after a connect that succeeded or failed without one (a lookup).
    int ConnectError() const { return connect_error_; }
    int ReceiveTimeoutMs() const { return receive_timeout_ms_; }
    int SendTimeoutMs() const { return send_timeout_ms_; }

private:
    char address_text_[30] = {};
    int family_ = kAfInet;
    int type_ = kSockStream;
    SocketHandle data_socket_ = kNoSocket;
    sockaddr_in remote_address_ = {};
    int send_timeout_ms_ = kDefaultSocketTimeoutMs;
    int receive_timeout_ms_ = kDefaultSocketTimeoutMs;
    int connect_error_ = 0;
};

}  // namespace net
