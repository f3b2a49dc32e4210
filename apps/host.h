// What the host commands (run, demo, ...) share: creating a control the way a container would,
// with a headless window, and the options that set the credential fields a script cannot set.
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

// A control with a window, its UserName/Password set from the options. Release with Destroy().
control::CQuorlina* CreateHostedControl(const HostOptions& options);

// One status line: frames presented, frame rate, device clock, outputs, pan/tilt.
std::string StatusLine(control::CQuorlina& control, double frame_rate);

}  // namespace apps
