// Scripted TCP peers on 127.0.0.1 for socket tests: a listener on an ephemeral port that accepts
// one connection on its own thread and plays a script (send, receive, pause, hold, close, reset),
// a port that refuses connections, and a port that never answers. Every peer stops by itself
// after kMaxPeerLifetimeMs; the destructor wakes and joins its thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

inline constexpr int kMaxPeerLifetimeMs = 10000;

struct PeerStep {
    enum class Kind { kSend, kReceive, kReceiveUntil, kPause, kHold, kClose, kReset };
    Kind kind;
    std::string bytes;      // kSend: what to send; kReceiveUntil: the text to read up to
    std::size_t count = 0;  // kReceive: how many bytes to read
    int milliseconds = 0;   // kPause
};

class LoopbackPeer {
  public:
    static PeerStep Send(std::string bytes);
    // Reads exactly `count` bytes, or fewer if the client closes first.
    static PeerStep Receive(std::size_t count);
    // Reads until `text` has arrived (or the client closes).
    static PeerStep ReceiveUntil(std::string text);
    static PeerStep Pause(int milliseconds);
    // Stays silent, reading nothing, until the client closes or the peer is destroyed.
    static PeerStep Hold();
    // Orderly close. The connection is also closed after the last step.
    static PeerStep Close();
    // Close with a reset (linger 0), so the client sees ECONNRESET.
    static PeerStep Reset();

    explicit LoopbackPeer(std::vector<PeerStep> script);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::uint16_t port() const { return port_; }
    // Waits until a client has been accepted; false after timeout_ms.
    bool WaitAccepted(int timeout_ms);
    // Waits until the script has run to its end (the connection is closed then); false on time-out.
    bool WaitDone(int timeout_ms);
    // Bytes read so far by receive steps.
    std::string Received() const;

  private:
    void Run();
    bool WaitFor(int fd, short events, long long deadline_ms);
    bool RunStep(int connection, const PeerStep& step, long long deadline_ms);
    void MarkAccepted();

    std::vector<PeerStep> script_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool accepted_ = false;
    bool done_ = false;
    std::string received_;
    std::thread thread_;
};

// A bound port on 127.0.0.1 with no listener behind it: connections to it are refused, and the
// port stays taken for the object's lifetime so nobody else can start listening on it.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A listener on 127.0.0.1 whose accept queue is full: new handshakes are never answered, so a
// connect to it neither succeeds nor is refused until the client gives up.
class UnansweringPort {
  public:
    UnansweringPort();
    ~UnansweringPort();
    UnansweringPort(const UnansweringPort&) = delete;
    UnansweringPort& operator=(const UnansweringPort&) = delete;
    std::uint16_t port() const { return port_; }
    bool ready() const { return ready_; }  // false if the queue could not be filled

  private:
    int listen_fd_ = -1;
    int filler_fd_ = -1;
    std::uint16_t port_ = 0;
    bool ready_ = false;
};

// Number of open descriptors of this process (entries of /proc/self/fd).
int OpenDescriptorCount();

}  // namespace test_support
