// What the host commands (run, demo, present, snapshot, ...) share: creating a control the way a
// container does, through the module's class factory, or bare for diagnostics, activated in a
// headless window on a screen of a chosen depth; the options that set the credential fields no
// scripting member sets; the picture options; and the status line.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "control/quorlina.h"
#include "platform/com.h"

namespace apps {

struct HostOptions {
    std::string user;
    std::string password;
};

// Adds --user and --password to a command.
void AddHostOptions(CLI::App& app, HostOptions& options);

// The screen behind a hosted control: its depth, the control window's client size (0: the
// control's preview size when it is created) and the screen's own size (0, or less than the
// window's: exactly the window's size; larger leaves the window room to grow, as a viewer whose
// window the user resizes needs).
struct ScreenOptions {
    int depth = 32;
    int width = 0;
    int height = 0;
    int screen_width = 0;
    int screen_height = 0;
};

// One control held through its IDispatch. Releasing it (destruction) is the container's last
// release: the control stops its stream and is destroyed, and its screen goes with it.
class HostedControl {
  public:
    HostedControl() = default;
    explicit HostedControl(platform::IDispatch* dispatch) : dispatch_(dispatch) {}
    ~HostedControl();
    HostedControl(HostedControl&& other) noexcept : dispatch_(other.dispatch_) {
        other.dispatch_ = nullptr;
    }
    HostedControl& operator=(HostedControl&& other) noexcept;
    HostedControl(const HostedControl&) = delete;
    HostedControl& operator=(const HostedControl&) = delete;

    explicit operator bool() const { return dispatch_ != nullptr; }
    platform::IDispatch& Dispatch() const { return *dispatch_; }
    // The control's record behind the interface, for diagnostics that read fields no member
    // exposes (frames presented).
    control::CQuorlina& Inner() const;

  private:
    void ReleaseControl();
    platform::IDispatch* dispatch_ = nullptr;
};

// Creates a control through DllGetClassObject and IClassFactory::CreateInstance, activates it
// in a window of its own on a new screen, and sets UserName/Password from the options. These
// two reach inside the control: no scripting member sets them, yet a camera with credentials
// needs them. Empty on failure, with *error saying why. For hosts that drive the control as a
// container does (run).
HostedControl CreateComponentControl(const HostOptions& options, std::string* error,
                                     const ScreenOptions& screen = {});

// A bare control activated in a window of its own on a new screen, with the options'
// credentials, for diagnostics that drive the control's record and accessors directly (demo,
// soak, present, snapshot). Null when the screen cannot be made. Release with
// DestroyHostedControl.
control::CQuorlina* CreateHostedControl(const HostOptions& options,
                                        const ScreenOptions& screen = {});
// Destroys the control (and with it its window) and then its screen.
void DestroyHostedControl(control::CQuorlina* control);

// How present and snapshot show a frame: the control's preview size, zoom, resize and display
// modes, and the screen.
struct PictureOptions {
    std::string preview = "320x240";
    std::string window;  // empty: the preview size
    int zoom = 1;
    int resize = 0;
    int display = 0;
    int depth = 32;
};

// Adds --resize, --display and --depth, with the given values as defaults.
void AddRenderingOptions(CLI::App& app, int& resize, int& display, int& depth);

// Adds --preview, --zoom, --resize, --display, --depth and --window.
void AddPictureOptions(CLI::App& app, PictureOptions& options);

// A bare hosted control set up from the picture options (sizes already checked by the options'
// validators); null when the screen cannot be made.
control::CQuorlina* CreatePictureControl(const HostOptions& host, const PictureOptions& picture);

// "WxH" with both sides in 1..kMaxScreenSide.
bool ParseSize(const std::string& text, int* width, int* height);
// The CLI11 check of a "WxH" option.
const CLI::Validator& SizeValidator();

// One status line: frames presented, frame rate, device clock, outputs, pan/tilt.
std::string StatusLine(control::CQuorlina& control, double frame_rate);

}  // namespace apps
