// What the host commands (run, demo, present, snapshot, view, ...) share: the options that set
// the credential fields no scripting member sets and the ambient properties, a bare control for
// diagnostics activated in a headless window on a screen of a chosen depth, the picture options
// and the status line. Hosting a control as a container does is the container library's.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "container/hosted_control.h"
#include "control/quorlina.h"
#include "platform/com.h"

namespace apps {

struct HostOptions {
    std::string user;
    std::string password;
};

// Adds --user and --password to a command.
void AddHostOptions(CLI::App& app, HostOptions& options);

// The ambient properties a container command gives its control: --design (design mode: the
// background and the caption) and --background RRGGBB.
struct AmbientOptions {
    bool design = false;
    std::string background;  // hexadecimal RRGGBB; empty: the control's own background
};

// Adds --background, and --design when `with_design`.
void AddAmbientOptions(CLI::App& app, AmbientOptions& options, bool with_design);

// What the container library needs to host a control with these options (the background
// already checked by the option's validator).
container::ControlOptions ControlOptionsOf(const HostOptions& host, const AmbientOptions& ambient,
                                           const container::ScreenOptions& screen = {});

// The control's record behind a hosted control, for diagnostics that read fields no member
// exposes (frames presented, the frame shown). Containers drive the control through its
// interfaces; only these diagnostics look inside.
control::CQuorlina& RecordOf(const container::HostedControl& hosted);

// A bare control activated in a window of its own on a new screen, with the options'
// credentials, for diagnostics that drive the control's record and accessors directly (demo,
// soak, present). Null when the screen cannot be made. Release with
// DestroyHostedControl.
control::CQuorlina* CreateHostedControl(const HostOptions& options,
                                        const container::ScreenOptions& screen = {});
// Destroys the control (and with it its window) and then its screen.
void DestroyHostedControl(control::CQuorlina* control);

// "RRGGBB" (hexadecimal) as a plain RGB colour.
bool ParseBackground(const std::string& text, platform::OLE_COLOR* color);

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
