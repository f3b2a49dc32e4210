// A device stand-in on 127.0.0.1 for protocol tests: it accepts connections (at most
// max_connections) and runs a handler for each on a thread of its own, so a client that
// reconnects, or holds two connections at once, meets the same device. Every wait is bounded by
// its time-out and by the device's lifetime; the destructor wakes every wait and joins every
// thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace test_support {

inline constexpr int kDeviceLifetimeMs = 15000;
inline constexpr int kDeviceWaitMs = 3000;

// One accepted connection, as its handler sees it.
class DeviceConnection {
  public:
    DeviceConnection(int fd, int wake_fd, int index, long long deadline_ms)
        : fd_(fd), wake_fd_(wake_fd), index_(index), deadline_ms_(deadline_ms) {}

    int index() const { return index_; }  // 0 for the device's first connection
    bool Send(std::string_view bytes);
    // Exactly n bytes, or fewer when the client closes, the device stops or timeout_ms passes.
    std::string Receive(std::size_t n, int timeout_ms = kDeviceWaitMs);
    // Waits until the client closes (true) or timeout_ms passes, discarding what it sends.
    bool WaitClosed(int timeout_ms = kDeviceWaitMs);

  private:
    bool Wait(short events, long long until_ms);

    int fd_;
    int wake_fd_;
    int index_;
    long long deadline_ms_;
};

class LoopbackDevice {
  public:
    using Handler = std::function<void(DeviceConnection&)>;

    explicit LoopbackDevice(Handler handler, int max_connections = 64);
    ~LoopbackDevice();
    LoopbackDevice(const LoopbackDevice&) = delete;
    LoopbackDevice& operator=(const LoopbackDevice&) = delete;

    std::uint16_t port() const { return port_; }
    int Connections() const;
    // Waits until at least count connections have been accepted; false after timeout_ms.
    bool WaitConnections(int count, int timeout_ms = kDeviceWaitMs);

  private:
    void Accept();

    Handler handler_;
    const int max_connections_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::uint16_t port_ = 0;
    long long deadline_ms_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int accepted_ = 0;
    std::vector<std::thread> handlers_;  // joined by the destructor
    std::thread acceptor_;
};

// Four ASCII bytes of a code followed by a block of `block_bytes` zero bytes, with the 16-bit
// little-endian value `pacing` at bytes 124-125 of the block when it is that long.
std::string StatusWithBlock(std::string_view code, std::size_t block_bytes, int pacing = 0);
// A 32-bit little-endian frame length.
std::string FrameLength(std::uint32_t length);

}  // namespace test_support
