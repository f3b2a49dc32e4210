// The window through the window layer; the frame count and the camera's bytes from the record,
// the JPEG copied whole under the lock its writers hold.
#include "container/window_tap.h"

#include <mutex>

#include "control/quorlina.h"
#include "host/quorlina_object.h"

namespace container {

WindowTap::WindowTap(const HostedControl& hosted) {
    if (!hosted) return;
    window_ = hosted.Window();
    if (host::QuorlinaObject* inner = host::QuorlinaObject::FromUnknown(&hosted.Unknown()))
        record_ = &inner->Control();
}

bool WindowTap::ReadPixels(platform::WindowPixels* pixels) const {
    return window_ != nullptr && platform::ReadWindowPixels(window_, pixels);
}

std::uint64_t WindowTap::Changes() const {
    return window_ != nullptr ? platform::ScreenChangeCount(window_) : 0;
}

bool WindowTap::ClientSize(int* width, int* height) const {
    platform::RECT client;
    if (window_ == nullptr || !platform::GetClientRect(window_, &client)) return false;
    *width = client.right - client.left;
    *height = client.bottom - client.top;
    return true;
}

std::uint32_t WindowTap::FramesPresented() const {
    return record_ != nullptr ? record_->FramesPresented.load() : 0;
}

bool WindowTap::ReadCameraFrame(CameraFrame* frame) const {
    if (record_ == nullptr) return false;
    frame->zoom = record_->ZoomFactor.load();
    frame->preview_width = record_->PreviewWidth.load();
    frame->preview_height = record_->PreviewHeight.load();
    std::lock_guard<std::mutex> lock(record_->FrameLock);
    if (record_->FrameLength <= 0) return false;
    frame->jpeg.assign(reinterpret_cast<const char*>(record_->FrameBuffer),
                       static_cast<std::size_t>(record_->FrameLength));
    return true;
}

}  // namespace container
