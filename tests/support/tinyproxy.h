// A real HTTP proxy (Debian's tinyproxy) started on a free loopback port for a test, and stopped
// when the object goes. Tests skip themselves when the binary is not installed.
#pragma once

#include <sys/types.h>

#include <string>

namespace test_support {

class TinyProxy {
public:
    TinyProxy() = default;
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    // Starts the proxy and waits until it accepts connections. False with the reason otherwise.
    bool Start(std::string* why);
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string dir_;
};

}  // namespace test_support
