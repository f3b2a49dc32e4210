// Blocking-free socket plumbing of the simulated camera: a loopback listener, accept, and sends
// and receives that wait in short poll slices so a stop request is seen within one slice.
// The hard part is never blocking forever; the protocols themselves live in the session files.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace camera {

inline constexpr int kPollSliceMs = 50;  // longest single wait; bounds how late a stop is seen

enum class IoResult {
    kOk,       // the whole transfer (or the wait) completed
    kClosed,   // the peer closed the connection
    kTimeout,  // the time limit passed first
    kStopped,  // the camera is stopping
    kError,    // a socket call failed
};
const char* to_string(IoResult result);

// Binds and listens on 127.0.0.1:port (0: any free port). Returns the descriptor or -1 with a
// message in *error; *bound_port receives the port actually bound.
int ListenLoopback(int port, int* bound_port, std::string* error);

// Waits up to timeout_ms for a connection. Returns its descriptor or -1; *peer gets "a.b.c.d:port".
int AcceptClient(int listen_fd, int timeout_ms, std::string* peer);

// Sends every byte; fails with kTimeout when the peer takes nothing for stall_ms.
IoResult SendAll(int fd, const void* data, std::size_t size, const std::atomic<bool>& stop,
                 int stall_ms);

// Sends every byte, one byte per send with a pause of gap_us after each: a slow but bounded
// sender. Fails like SendAll.
IoResult SendTrickle(int fd, const void* data, std::size_t size, const std::atomic<bool>& stop,
                     int stall_ms, int gap_us);

// Receives exactly size bytes within timeout_ms (negative: no limit but the stop flag).
IoResult RecvExact(int fd, void* data, std::size_t size, const std::atomic<bool>& stop,
                   int timeout_ms);

// Receives what is there (at least one byte) within timeout_ms; *got is the count.
IoResult RecvSome(int fd, void* data, std::size_t capacity, std::size_t* got,
                  const std::atomic<bool>& stop, int timeout_ms);

// Waits until the descriptor is readable or timeout_ms passes (kTimeout then).
IoResult WaitReadable(int fd, const std::atomic<bool>& stop, int timeout_ms);

// Sleeps for ms in poll slices; false when the camera began stopping first.
bool PauseUnlessStopped(int ms, const std::atomic<bool>& stop);

// Keeps a connection open and silent: reads and drops whatever the peer sends until it closes,
// a socket call fails or the camera stops.
void HoldSilent(int fd, const std::atomic<bool>& stop);

void CloseSocket(int fd);

}  // namespace camera
