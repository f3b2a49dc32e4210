// What the host commands (run, demo, present, snapshot, ...) share: creating a control the way a
// container would, activated in place in a headless window on a screen of a chosen depth, the
// options that set the credential fields a script cannot set, and the picture options.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "control/quorlina.h"

namespace apps {

struct HostOptions {
    std::string user;
    std::string password;
};

// Adds --user and --password to a command.
void AddHostOptions(CLI::App& app, HostOptions& options);

// The screen behind a hosted control: its depth and the control window's client size (0: the
// control's preview size when it is created). The screen is exactly the window's size.
struct ScreenOptions {
    int depth = 32;
    int width = 0;
    int height = 0;
};

// A control activated in place in a window of its own, its UserName/Password set from the
// options; null when the screen cannot be made. Release with DestroyHostedControl.
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

// Adds --preview, --zoom, --resize, --display, --depth and --window.
void AddPictureOptions(CLI::App& app, PictureOptions& options);

// A hosted control set up from the picture options (sizes already checked by the options'
// validators); null when the screen cannot be made.
control::CQuorlina* CreatePictureControl(const HostOptions& host, const PictureOptions& picture);

// "WxH" with both sides in 1..kMaxScreenSide.
bool ParseSize(const std::string& text, int* width, int* height);

// One status line: frames presented, frame rate, device clock, outputs, pan/tilt.
std::string StatusLine(control::CQuorlina& control, double frame_rate);

}  // namespace apps
