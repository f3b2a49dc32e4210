// Third-party servers (motion, ffmpeg) run by a test as real peers on loopback: a child process
// with its output in a private temporary folder, ended (TERM, then KILL) when the object goes.
// Readiness is read from the kernel's table of listening sockets, never by connecting: some of
// these servers take a single client and would spend it on a readiness check.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

// A loopback port that was free a moment ago.
int FreeLoopbackPort();

// The absolute path of an installed program, searched in the usual binary folders; empty when
// it is not installed.
std::string FindProgram(const std::string& name);

class PeerProcess {
  public:
    PeerProcess();  // makes the private folder
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The private folder, for configuration files; removed with the object.
    const std::string& dir() const { return dir_; }

    // Starts argv[0] (an absolute path) with its output going to a log file in dir().
    bool Start(const std::vector<std::string>& argv, std::string* why);
    // Waits until something listens on 127.0.0.1:port or the process has ended.
    bool WaitListening(int port, int limit_ms, std::string* why);
    bool Running();
    // The end of the log (for a failure message).
    std::string LogTail() const;

  private:
    pid_t pid_ = -1;
    std::string dir_;
};

}  // namespace test_support
