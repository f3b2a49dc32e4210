// The camera's control on the container floor: HostedControl for creation, site, activation and
// teardown, StatusReader and Replay for state, reason and replays, WindowTap for the pixels and
// the camera's own JPEG, IDispatch for everything a script could also do.
#include "web/camera_host.h"

#include <optional>

#include "container/dispatch_calls.h"
#include "container/hosted_control.h"
#include "container/replay.h"
#include "container/status_reader.h"
#include "container/window_tap.h"
#include "image/jpeg_decoder.h"
#include "platform/kernel.h"

namespace web {

using namespace platform;
using control::SessionState;

const char* to_string(CameraState state) {
    switch (state) {
        case CameraState::kIdle:
            return "idle";
        case CameraState::kConnecting:
            return "connecting";
        case CameraState::kPlaying:
            return "playing";
        case CameraState::kEnded:
            return "ended";
    }
    return "?";
}

namespace {

OLE_COLOR ColorOf(std::uint32_t rgb) {
    return RGB(static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8),
               static_cast<std::uint8_t>(rgb));
}

}  // namespace

struct CameraHost::Impl {
    CameraConfig config;
    // Declared in the order they are made; they go in the reverse one, the control last.
    container::HostedControl hosted;
    std::optional<container::DispatchCalls> calls;
    std::optional<container::StatusReader> status;
    std::optional<container::WindowTap> tap;
    container::Replay replay;
    container::StatusReading reading;  // as of the last Tick

    explicit Impl(const CameraConfig& c) : config(c) {}

    void Read() {
        reading = status->Read();
        if (replay.Update(reading)) calls->Call("Play");
    }
};

CameraHost::CameraHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CameraHost::~CameraHost() = default;

std::unique_ptr<CameraHost> CameraHost::Create(const CameraConfig& config, std::string* error) {
    auto impl = std::make_unique<Impl>(config);
    container::ControlOptions options;
    options.user = config.user;
    options.password = config.password;
    options.ambients.user_mode = true;
    options.ambients.back_color = ColorOf(config.background);
    options.screen.depth = config.depth;
    options.screen.width = config.preview_width;
    options.screen.height = config.preview_height;
    impl->hosted = container::HostedControl::Create(options, error);
    if (!impl->hosted) return nullptr;
    if (!impl->hosted.Resize(config.preview_width, config.preview_height)) {
        *error = "the control refused a window of " + std::to_string(config.preview_width) + "x" +
                 std::to_string(config.preview_height);
        return nullptr;
    }
    impl->status.emplace(impl->hosted.Unknown());
    if (!impl->status->Valid()) {
        *error = "the control has no status interface";
        return nullptr;
    }
    impl->tap.emplace(impl->hosted);

    container::DispatchCalls& d = impl->calls.emplace(impl->hosted.Dispatch());
    d.PutLong("PreviewWidth", config.preview_width);
    d.PutLong("PreviewHeight", config.preview_height);
    d.CallLong("Zoom", config.zoom, nullptr);
    d.CallLong("ResizeMode", config.resize, nullptr);
    d.CallLong("DisplayMode", config.display, nullptr);
    d.PutLong("AuthType", config.auth_type);
    if (config.timeout > 0) d.PutLong("Timeout", config.timeout);
    PumpMessages();                             // the window's first paint: its background
    d.PutText("RemoteHost", config.target);  // the probe, on this thread as a container does
    impl->reading = impl->status->Read();
    return std::unique_ptr<CameraHost>(new CameraHost(std::move(impl)));
}

IDispatch& CameraHost::Dispatch() {
    return impl_->hosted.Dispatch();
}

void CameraHost::Play() {
    wanted_ = true;
    impl_->replay.UserPlayed();
    impl_->calls->Call("Play");
    impl_->Read();
}

void CameraHost::Stop() {
    wanted_ = false;
    impl_->replay.UserStopped();
    impl_->calls->Call("Stop");
    impl_->Read();
}

void CameraHost::Tick() {
    PumpMessages();
    impl_->Read();
}

CameraStatus CameraHost::Status() const {
    CameraStatus s;
    if (!wanted_) return s;  // idle: nobody asked for pictures
    const container::StatusReading& r = impl_->reading;
    switch (r.state) {
        case SessionState::Idle:
        case SessionState::Connecting:
            s.state = CameraState::kConnecting;
            break;
        case SessionState::Retrying:  // a native session trying again by itself
            s.state = CameraState::kConnecting;
            s.reason = r.reason_text;
            break;
        case SessionState::Playing:
            s.state = CameraState::kPlaying;
            break;
        case SessionState::Ended:
            s.state = CameraState::kEnded;
            s.reason = r.reason_text.empty() ? control::to_string(r.reason) : r.reason_text;
            s.retry_in_s = impl_->replay.SecondsToReplay();
            break;
    }
    return s;
}

std::uint64_t CameraHost::ChangeCount() const {
    return impl_->tap->Changes();
}

bool CameraHost::ReadPixels(WindowPixels* pixels) const {
    return impl_->tap->ReadPixels(pixels);
}

std::uint32_t CameraHost::FramesPresented() const {
    return impl_->tap->FramesPresented();
}

bool CameraHost::ForwardableFrame(std::string* jpeg) const {
    if (impl_->config.depth != 32) return false;
    container::CameraFrame frame;
    frame.jpeg = std::move(*jpeg);  // its buffer is reused
    int width = 0, height = 0;
    const bool read = impl_->tap->ClientSize(&width, &height) &&
                      impl_->tap->ReadCameraFrame(&frame);
    *jpeg = std::move(frame.jpeg);
    if (!read || frame.zoom != 1 || width != frame.preview_width ||
        height != frame.preview_height)
        return false;
    image::JpegInfo info;
    if (image::ReadJpegInfo(reinterpret_cast<const std::uint8_t*>(jpeg->data()), jpeg->size(),
                            &info) != image::kImageOk)
        return false;
    return info.Width == width && info.Height == height;
}

}  // namespace web
