// What an in-process container reads while the control plays, from a thread other than the
// control's: the pixels its window shows and a count that rises whenever they may have changed
// (through the window layer, which locks itself), the frames the control has presented so far,
// and the camera's own JPEG of the frame last stored, with the zoom and preview size it is shown
// at. No interface of the control gives the camera's bytes or its frame count, so those are read
// from the control's record, the one place besides the credentials that HostedControl sets where
// the container library reaches behind the interfaces; nothing else does.
// Lifetime: made on the control's thread from a HostedControl, and let go before that control is
// torn down; between those, every call is safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "container/hosted_control.h"
#include "platform/window.h"

namespace control {
class CQuorlina;
}

namespace container {

// The camera's frame as the control keeps it, and how the window shows it.
struct CameraFrame {
    std::string jpeg;        // the bytes as the camera sent them
    int zoom = 1;            // the control's zoom factor
    int preview_width = 0;   // the preview the frame is drawn into
    int preview_height = 0;
};

class WindowTap {
  public:
    // On the control's thread; the control's window is the one it has now.
    explicit WindowTap(const HostedControl& hosted);
    WindowTap(const WindowTap&) = delete;
    WindowTap& operator=(const WindowTap&) = delete;

    // A copy of the window's client pixels; false when the window is gone.
    bool ReadPixels(platform::WindowPixels* pixels) const;
    // Rises whenever a pixel of the window's screen may have changed.
    std::uint64_t Changes() const;
    // The window's client size; false when the window is gone.
    bool ClientSize(int* width, int* height) const;
    // Frames the control has presented since it was made (never reset).
    std::uint32_t FramesPresented() const;
    // The last frame the camera sent, whole; false before the first one.
    bool ReadCameraFrame(CameraFrame* frame) const;

  private:
    platform::HWND window_ = nullptr;
    control::CQuorlina* record_ = nullptr;
};

}  // namespace container
