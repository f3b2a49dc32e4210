// Runs tinyproxy in the foreground (-d) with a configuration that listens and allows 127.0.0.1
// only, and has no upstream: it connects to the camera itself.
#include "tinyproxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/peer_process.h"

namespace test_support {
namespace {

bool Accepts(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

std::string FindTinyproxy() {
    for (const char* p : {"/usr/bin/tinyproxy", "/usr/sbin/tinyproxy"})
        if (::access(p, X_OK) == 0) return p;
    return {};
}

}  // namespace

bool TinyProxy::Start(std::string* why) {
    const std::string binary = FindTinyproxy();
    if (binary.empty()) {
        *why = "tinyproxy is not installed";
        return false;
    }
    char tmpl[] = "/tmp/quorlina-tinyproxy-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
        *why = "cannot make a temporary folder";
        return false;
    }
    dir_ = tmpl;
    port_ = FreeLoopbackPort();
    const std::string conf = dir_ + "/tinyproxy.conf";
    std::ofstream(conf) << "Port " << port_ << "\nListen 127.0.0.1\nBind 127.0.0.1\nTimeout 30\n"
                        << "Allow 127.0.0.1\nMaxClients 16\nLogLevel Critical\n"
                        << "ConnectPort " << 443 << "\n";
    pid_ = ::fork();
    if (pid_ == 0) {
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        ::execl(binary.c_str(), binary.c_str(), "-d", "-c", conf.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100; ++i) {
        if (Accepts(port_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    *why = "tinyproxy did not start listening";
    return false;
}

TinyProxy::~TinyProxy() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

}  // namespace test_support
