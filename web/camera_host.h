// The one place where the web container meets the control: host one control for a camera's
// configuration on the shared container floor (class factory, client site with run mode and the
// configured background, a window on an in-memory screen of the configured depth, extent and
// object rectangles), drive it through IDispatch, read its state and end reason through its
// status interface, play it again after an end no one asked for on the shared replay schedule,
// and read its window's pixels. Everything but the window reads runs on the thread that created
// it; the rest of web/ sees only this interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/com.h"
#include "platform/window.h"
#include "web/config.h"

namespace web {

// What a viewer is told about a camera.
enum class CameraState { kIdle, kConnecting, kPlaying, kEnded };
const char* to_string(CameraState state);

struct CameraStatus {
    CameraState state = CameraState::kIdle;
    std::string reason;            // why the last session (or native attempt) ended, else empty
    std::uint32_t retry_in_s = 0;  // ended: seconds until the next try (0: none planned)
};

class CameraHost {
  public:
    // Creates the control and sets it up from the configuration (the target's probe included,
    // which may take seconds for a camera that does not answer). Null with *error saying why.
    static std::unique_ptr<CameraHost> Create(const CameraConfig& config, std::string* error);
    ~CameraHost();  // stops the stream and releases the control (its last release)
    CameraHost(const CameraHost&) = delete;
    CameraHost& operator=(const CameraHost&) = delete;

    platform::IDispatch& Dispatch();

    // Play and Stop as the container wants them: a wanted session that ends by itself is played
    // again by Tick() after the backoff; Stop ends that.
    void Play();
    void Stop();
    bool Wanted() const { return wanted_; }
    // Pumps the control window's messages, reads the control's status and plays again when the
    // replay schedule says so. Call often.
    void Tick();
    // As of the last Tick (or Play/Stop).
    CameraStatus Status() const;

    // Safe from any thread (see container/window_tap.h).
    std::uint64_t ChangeCount() const;
    bool ReadPixels(platform::WindowPixels* pixels) const;
    // Frames the control has presented so far (any thread).
    std::uint32_t FramesPresented() const;
    // The camera's own JPEG when the window shows that frame unchanged (zoom 1, the window and
    // the preview of the frame's size, true colour): then it can be sent as it is instead of
    // encoding the window again. False otherwise. Any thread.
    bool ForwardableFrame(std::string* jpeg) const;

  private:
    struct Impl;
    explicit CameraHost(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
    bool wanted_ = false;
};

}  // namespace web
