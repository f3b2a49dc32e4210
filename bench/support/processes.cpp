#include "bench/support/processes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace benchsupport {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string BinDir() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/'));
}

bool Child::Start(const std::vector<std::string>& args, Options options, std::string* error) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (options.pipe_stdout && ::pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.pipe_stdout)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (options.discard_stderr)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int r = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (options.pipe_stdout) {
        ::close(fds[1]);
        out_ = fds[0];
    }
    if (r != 0) {
        pid_ = -1;
        *error = "cannot start " + args[0] + ": " + std::strerror(r);
        return false;
    }
    return true;
}

std::string Child::ReadLine(int timeout_ms) {
    std::string line;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out_ >= 0 && Clock::now() < end) {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        char ch;
        if (::read(out_, &ch, 1) != 1) break;
        if (ch == '\n') return line;
        line += ch;
    }
    return line;
}

double Child::CpuSeconds() const {
    clockid_t clock;
    timespec t{};
    if (pid_ <= 0 || ::clock_getcpuclockid(pid_, &clock) != 0 || ::clock_gettime(clock, &t) != 0)
        return -1;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Child::Wait() {
    int status = 0;
    rusage u{};
    if (pid_ < 0 || ::wait4(pid_, &status, 0, &u) != pid_) return -1;
    pid_ = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
}

bool CameraProcess::Start(const std::vector<std::string>& options, int lifetime_seconds,
                          std::string* error) {
    std::vector<std::string> args = {BinDir() + "/quorlina", "camera", "--http", "0", "--quiet",
                                     "--seconds", std::to_string(lifetime_seconds)};
    args.insert(args.end(), options.begin(), options.end());
    if (!child.Start(args, {}, error)) return false;
    const std::string line = child.ReadLine(5000);
    const std::size_t colon = line.rfind(':');
    if (line.rfind("camera: http ", 0) != 0 || colon == std::string::npos) {
        *error = "the camera did not say its port (got \"" + line + "\")";
        return false;
    }
    port = std::atoi(line.c_str() + colon + 1);
    return port > 0;
}

int ListenLoopback(int backlog, int* port, std::string* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        *error = std::string("listen on 127.0.0.1: ") + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

std::vector<std::string> Camera640(int fps, bool still) {
    std::vector<std::string> o = {"--size", "640x480", "--quality", "75", "--fps",
                                  std::to_string(fps)};
    if (still) o.push_back("--still");
    return o;
}

}  // namespace benchsupport
