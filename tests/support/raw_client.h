// A tiny blocking TCP client for tests: connect to 127.0.0.1:port, send bytes, read a count of
// bytes, up to a marker, or until the peer closes, each with a time-out.
// Reads keep bytes that arrive past a marker for the next read; nothing here knows a protocol.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace test_support {

inline constexpr int kDefaultReadTimeoutMs = 3000;

class RawClient {
  public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connect(int port, int timeout_ms = kDefaultReadTimeoutMs);
    bool Send(std::string_view bytes);
    // Exactly n bytes, or fewer when the time-out passes or the peer closes first.
    std::string ReadN(std::size_t n, int timeout_ms = kDefaultReadTimeoutMs);
    // Everything up to and including the marker; empty when it did not arrive in time or within
    // max_bytes (the bytes read stay available to later reads).
    std::string ReadUntil(std::string_view marker, int timeout_ms = kDefaultReadTimeoutMs,
                          std::size_t max_bytes = 1 << 20);
    // Everything until the peer closes; *closed tells whether it did within the time-out.
    std::string ReadToClose(int timeout_ms = kDefaultReadTimeoutMs, bool* closed = nullptr);
    void Close();
    bool connected() const { return fd_ >= 0; }

  private:
    // Appends what arrives within timeout_ms; false on time-out or close.
    bool Fill(int timeout_ms);

    int fd_ = -1;
    bool peer_closed_ = false;
    std::string pending_;
};

}  // namespace test_support
