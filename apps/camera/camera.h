// The simulated camera: a device stand-in that speaks the HTTP Motion-JPEG protocol (with its
// probe pages and command CGIs) and the native binary protocol, on 127.0.0.1 only.
// One Camera object owns its listening sockets, its client threads and its device state; both
// protocols share that state. Stop() (or the destructor) ends and joins every thread it started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "apps/camera/device_model.h"
#include "apps/camera/faults.h"
#include "apps/camera/styles.h"

namespace camera {

// How the native side greets a connection.
enum class LoginMode {
    kNone,       // "0200" and the ready block
    kNoneShort,  // "0501" and a 30-byte block
    kChallenge,  // "0301" with a random challenge; wants the "0001" response to the credentials
    kSerial,     // "0301"; wants the "0003" serial-number login carrying `serial`
};
const char* to_string(LoginMode mode);

struct CameraConfig {
    int http_port = -1;    // -1: no HTTP side; 0: any free port
    int native_port = -1;  // -1: no native side; 0: any free port
    int width = 320;
    int height = 240;
    int fps = 10;        // 0: unpaced, a frame as soon as the client has taken the last one
    bool still = false;  // one picture, rendered once and sent as every frame (load tests)
    int quality = 75;
    std::string user;  // credentials the camera demands (both empty: none)
    std::string password;
    LoginMode login = LoginMode::kNone;
    std::string serial;           // the token a serial-number login must carry
    int pace = 0;                 // frame pacing value in the ready block (bytes 124-125)
    bool refuse_outputs = false;  // answer every native output command with a refusal
    FaultSet faults;              // deliberate misbehaviour (none by default)
    StyleSet styles;              // other servers' HTTP forms (none: the device's own)
    double seconds = 0;           // stop by itself after this long (0: run until Stop)
    bool log = false;             // one line per client connection on stderr
};

// Limits Start() checks the configuration against.
inline constexpr int kMinPictureSide = 16;
inline constexpr int kMaxPictureSide = 4096;
inline constexpr int kMaxFps = 1000;
inline constexpr int kMaxPace = 65535;
inline constexpr std::size_t kMaxSerialBytes =
    259;  // the serial login carries 260 bytes, NUL-ended

class Camera {
  public:
    explicit Camera(CameraConfig config);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Binds and starts serving. False with a message in *error when the configuration is out of
    // range or a port cannot be bound; nothing is left running then.
    bool Start(std::string* error);
    // Ends every connection and joins every thread; returns within a few poll slices.
    void Stop();
    int HttpPort() const;  // the bound port, -1 when that side is off or not started
    int NativePort() const;
    // True once the camera has stopped serving: Stop() was called or `seconds` ran out.
    bool Finished() const;

    DeviceState State() const;                      // a consistent copy, thread-safe
    std::vector<ReceivedCommand> Commands() const;  // command requests in the order received

  private:
    struct Impl;
    Impl* impl_;
};

}  // namespace camera
