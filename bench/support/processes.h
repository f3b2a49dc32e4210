// What the benchmarks run beside themselves: a child process with its standard output on a pipe,
// and the simulated camera on a free loopback port. Both are stopped and reaped on destruction, so
// a benchmark that fails half-way leaves nothing running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace benchsupport {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d);
// The folder of the running benchmark, where `quorlina` is built beside it.
std::string BinDir();

class Child {
  public:
    struct Options {
        bool pipe_stdout = true;       // false: standard output goes to /dev/null
        bool discard_stderr = false;   // true: so does standard error (chatty children)
    };
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    bool Start(const std::vector<std::string>& args, Options options, std::string* error);
    // The next line the child writes, waiting at most timeout_ms; empty at its end or time-out.
    std::string ReadLine(int timeout_ms);
    // The child's CPU time so far in seconds, every thread it ever had; -1 when unknown.
    double CpuSeconds() const;
    // Waits for the child to end by itself; its CPU seconds, or -1 when it failed.
    double Wait();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// A `quorlina camera` on a free loopback port, stopping by itself after lifetime_seconds.
struct CameraProcess {
    Child child;
    int port = 0;

    bool Start(const std::vector<std::string>& options, int lifetime_seconds, std::string* error);
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port); }
};

// A listening TCP socket on a free 127.0.0.1 port (its number in *port); -1 with error set when
// the socket cannot be made. The caller closes it.
int ListenLoopback(int backlog, int* port, std::string* error);

// Camera options for a 640x480 stream at quality 75; `still` repeats one encoded picture, so
// many cameras on a small machine spend nothing on encoding.
std::vector<std::string> Camera640(int fps, bool still);

}  // namespace benchsupport
