// What the host commands (run, demo, ...) share: creating a control the way a container does,
// through the module's class factory, or bare for diagnostics, with a headless window; the
// options that set the credential fields no scripting member sets; and the status line.
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

// One control held through its IDispatch. Releasing it (destruction) is the container's last
// release: the control stops its stream and is destroyed.
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
    platform::IDispatch* dispatch_ = nullptr;
};

// Creates a control through DllGetClassObject and IClassFactory::CreateInstance, gives it a
// window, and sets UserName/Password from the options. These two reach inside the control: no
// scripting member sets them, yet a camera with credentials needs them. Empty on failure, with
// *error saying why. For hosts that drive the control as a container does (run).
HostedControl CreateComponentControl(const HostOptions& options, std::string* error);

// A bare control with a window and the options' credentials, for diagnostics that drive the
// control's record and accessors directly (demo, soak). Release with Destroy().
control::CQuorlina* CreateHostedControl(const HostOptions& options);

// One status line: frames presented, frame rate, device clock, outputs, pan/tilt.
std::string StatusLine(control::CQuorlina& control, double frame_rate);

}  // namespace apps
