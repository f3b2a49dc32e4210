// The simulated camera: a device stand-in that speaks the HTTP Motion-JPEG protocol (with its
// probe pages and command CGIs) and the native binary protocol, on 127.0.0.1 only.
// One Camera object owns its listening sockets, its client threads and its device state.
#pragma once

#include <cstdint>
#include <string>

namespace camera {

struct CameraConfig {
    int http_port = -1;    // -1: no HTTP side; 0: any free port
    int native_port = -1;  // -1: no native side; 0: any free port
    int width = 320;
    int height = 240;
    int fps = 10;
    int quality = 75;
    std::string user;      // credentials the camera demands (empty: none)
    std::string password;
    double seconds = 0;    // stop by itself after this long (0: run until Stop)
    bool log = false;      // one line per client connection on stderr
};

class Camera {
public:
    explicit Camera(CameraConfig config);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Binds and starts serving. False with a message in *error when a port cannot be bound.
    bool Start(std::string* error);
    void Stop();
    int HttpPort() const;
    int NativePort() const;

private:
    struct Impl;
    Impl* impl_;
};

}  // namespace camera
