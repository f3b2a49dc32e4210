// The simulated camera object: configuration checks, the two listeners, one accept thread per
// side and one thread per client, and the orderly stop that joins them all.
// The hard part is shutdown: every wait in every thread is a short poll slice that watches the
// stop flag, so Stop() returns promptly even with clients connected. Protocol work is in the
// session files, device state in device_model, the picture in picture.
#include "apps/camera/camera.h"

#include <cstdarg>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "apps/camera/net_io.h"
#include "apps/camera/picture.h"
#include "apps/camera/session.h"

namespace camera {

const char* to_string(LoginMode mode) {
    switch (mode) {
        case LoginMode::kNone:
            return "none";
        case LoginMode::kNoneShort:
            return "none-short";
        case LoginMode::kChallenge:
            return "challenge";
        case LoginMode::kSerial:
            return "serial";
    }
    return "unknown";
}

std::int64_t CameraContext::CurrentFrame() const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - epoch);
    // Unpaced, the picture may change once a millisecond.
    if (config.fps == 0) return ms.count();
    return ms.count() * config.fps / 1000;
}

std::chrono::steady_clock::time_point CameraContext::FrameStart(std::int64_t frame) const {
    // Rounded up so that the frame number at FrameStart(n) is n.
    if (config.fps == 0) return epoch + std::chrono::milliseconds(frame);
    return epoch + std::chrono::milliseconds((frame * 1000 + config.fps - 1) / config.fps);
}

JpegBytes CameraContext::FrameNow(DeviceState* state_out, ClockFields* clock_out) const {
    const DeviceState state = device.Snapshot(DeviceModel::Clock::now());
    const ClockFields clock = ReadDeviceClock();
    // A still camera keeps showing its first picture, so a frame costs no encoding.
    JpegBytes jpeg = picture.Frame(config.still ? 0 : CurrentFrame(), state, clock);
    if (jpeg) device.CountFrame();
    if (state_out) *state_out = state;
    if (clock_out) *clock_out = clock;
    return jpeg;
}

void CameraContext::Log(const char* format, ...) const {
    if (!config.log) return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "camera: %s\n", line);
}

namespace {

struct Client {
    std::thread thread;
    std::atomic<bool> done{false};
};

std::string CheckConfig(const CameraConfig& c) {
    if (c.http_port < 0 && c.native_port < 0) return "neither an HTTP nor a native port is set";
    if (c.http_port > 65535 || c.native_port > 65535) return "port out of range 0..65535";
    if (c.width < kMinPictureSide || c.width > kMaxPictureSide || c.height < kMinPictureSide ||
        c.height > kMaxPictureSide)
        return "picture size out of range " + std::to_string(kMinPictureSide) + ".." +
               std::to_string(kMaxPictureSide);
    if (c.fps < 0 || c.fps > kMaxFps) return "fps out of range 0.." + std::to_string(kMaxFps);
    if (c.quality < 1 || c.quality > 100) return "quality out of range 1..100";
    if (c.pace < 0 || c.pace > kMaxPace) return "pace out of range 0.." + std::to_string(kMaxPace);
    if (c.login == LoginMode::kSerial && c.serial.empty()) return "serial login needs a token";
    if (c.serial.size() > kMaxSerialBytes)
        return "serial token longer than " + std::to_string(kMaxSerialBytes) + " bytes";
    if (c.seconds < 0) return "seconds must not be negative";
    return "";
}

}  // namespace

struct Camera::Impl {
    explicit Impl(CameraConfig c)
        : config(std::move(c)),
          picture(config.width, config.height, config.quality),
          context{config, device, picture, stop, std::chrono::steady_clock::now()} {}

    void AcceptLoop(int listen_fd, Protocol protocol) {
        const bool timed = config.seconds > 0;
        const auto deadline = context.epoch + std::chrono::milliseconds(
                                                  static_cast<long long>(config.seconds * 1000));
        while (!stop.load()) {
            if (timed && std::chrono::steady_clock::now() >= deadline) {
                stop = true;
                break;
            }
            ReapFinishedClients();
            std::string peer;
            int fd = AcceptClient(listen_fd, kPollSliceMs, &peer);
            if (fd < 0) continue;
            auto client = std::make_unique<Client>();
            Client* raw = client.get();
            std::lock_guard lock(clients_mu);
            raw->thread = std::thread([this, fd, peer, protocol, raw] {
                if (protocol == Protocol::kHttp)
                    ServeHttpClient(fd, peer, context);
                else
                    ServeNativeClient(fd, peer, context);
                raw->done = true;
            });
            clients.push_back(std::move(client));
        }
    }

    void ReapFinishedClients() {
        std::lock_guard lock(clients_mu);
        for (auto it = clients.begin(); it != clients.end();) {
            if ((*it)->done.load()) {
                (*it)->thread.join();
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
    }

    const CameraConfig config;
    DeviceModel device;
    PictureSource picture;
    std::atomic<bool> stop{false};
    CameraContext context;
    std::mutex lifecycle_mu;  // Start and Stop
    bool started = false;
    int http_fd = -1;
    int native_fd = -1;
    std::atomic<int> http_port{-1};
    std::atomic<int> native_port{-1};
    std::thread http_accept;
    std::thread native_accept;
    std::mutex clients_mu;
    std::list<std::unique_ptr<Client>> clients;
};

Camera::Camera(CameraConfig config) : impl_(new Impl(std::move(config))) {}

Camera::~Camera() {
    Stop();
    delete impl_;
}

bool Camera::Start(std::string* error) {
    Impl& m = *impl_;
    std::lock_guard lock(m.lifecycle_mu);
    std::string problem = m.started ? "camera already started" : CheckConfig(m.config);
    int port = -1;
    if (problem.empty() && m.config.http_port >= 0) {
        m.http_fd = ListenLoopback(m.config.http_port, &port, &problem);
        m.http_port = port;
    }
    if (problem.empty() && m.config.native_port >= 0) {
        m.native_fd = ListenLoopback(m.config.native_port, &port, &problem);
        m.native_port = port;
    }
    if (problem.empty()) m.picture.Init(&problem);
    if (!problem.empty()) {
        CloseSocket(m.http_fd);
        CloseSocket(m.native_fd);
        m.http_fd = m.native_fd = -1;
        m.http_port = m.native_port = -1;
        if (error) *error = problem;
        return false;
    }
    m.started = true;
    if (m.http_fd >= 0)
        m.http_accept = std::thread([&m] { m.AcceptLoop(m.http_fd, Protocol::kHttp); });
    if (m.native_fd >= 0)
        m.native_accept = std::thread([&m] { m.AcceptLoop(m.native_fd, Protocol::kNative); });
    return true;
}

void Camera::Stop() {
    Impl& m = *impl_;
    std::lock_guard lock(m.lifecycle_mu);
    m.stop = true;
    if (m.http_accept.joinable()) m.http_accept.join();
    if (m.native_accept.joinable()) m.native_accept.join();
    CloseSocket(m.http_fd);
    CloseSocket(m.native_fd);
    m.http_fd = m.native_fd = -1;
    std::lock_guard clients_lock(m.clients_mu);
    for (auto& client : m.clients) client->thread.join();
    m.clients.clear();
}

int Camera::HttpPort() const {
    return impl_->http_port;
}
int Camera::NativePort() const {
    return impl_->native_port;
}
bool Camera::Finished() const {
    return impl_->stop.load();
}

DeviceState Camera::State() const {
    return impl_->device.Snapshot(DeviceModel::Clock::now());
}
std::vector<ReceivedCommand> Camera::Commands() const {
    return impl_->device.CommandLog();
}

}  // namespace camera
