#include "peer_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace test_support {
namespace {

constexpr int kPollMs = 50;
constexpr int kTermGraceMs = 3000;
constexpr std::size_t kLogTailChars = 2000;
constexpr int kListenState = 0x0A;  // TCP_LISTEN in /proc/net/tcp

// True when /proc/net/tcp lists a listening socket on 127.0.0.1 or any address at port.
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const std::size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        const std::string address = local.substr(0, colon);
        const int local_port =
            static_cast<int>(std::strtol(local.c_str() + colon + 1, nullptr, 16));
        const int st = static_cast<int>(std::strtol(state.c_str(), nullptr, 16));
        if (local_port == port && st == kListenState &&
            (address == "0100007F" || address == "00000000"))
            return true;
    }
    return false;
}

}  // namespace

int FreeLoopbackPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

std::string FindProgram(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/", "/bin/"}) {
        const std::string path = folder + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

PeerProcess::PeerProcess() {
    char tmpl[] = "/tmp/quorlina-peer-XXXXXX";
    if (::mkdtemp(tmpl) != nullptr) dir_ = tmpl;
}

PeerProcess::~PeerProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        bool gone = false;
        for (int waited = 0; waited < kTermGraceMs && !gone; waited += kPollMs) {
            gone = ::waitpid(pid_, &status, WNOHANG) == pid_;
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        if (!gone) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool PeerProcess::Start(const std::vector<std::string>& argv, std::string* why) {
    if (dir_.empty()) {
        *why = "cannot make a temporary folder";
        return false;
    }
    const std::string log = dir_ + "/peer.log";
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        *why = "cannot fork";
        return false;
    }
    if (pid_ == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return true;
}

bool PeerProcess::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool PeerProcess::WaitListening(int port, int limit_ms, std::string* why) {
    for (int waited = 0; waited < limit_ms; waited += kPollMs) {
        if (Listening(port)) return true;
        if (!Running()) {
            *why = "the peer ended before it listened: " + LogTail();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    *why = "the peer did not listen on port " + std::to_string(port) + " within " +
           std::to_string(limit_ms) + " ms: " + LogTail();
    return false;
}

std::string PeerProcess::LogTail() const {
    std::ifstream in(dir_ + "/peer.log");
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > kLogTailChars ? all.substr(all.size() - kLogTailChars) : all;
}

}  // namespace test_support
