// The desktop viewer: one control hosted as a container hosts it, its window's pixels shown in an
// SDL2 window, the keyboard driving its scripting members. Hard part: one thread serves SDL, the
// control's window messages and every scripting call, so a call that blocks (Stop, a command put)
// holds the window that long. Decoding and painting stay the control's; it only copies pixels.
#pragma once

#include <memory>
#include <string>

#include "apps/host.h"

namespace apps {

// The zoom factors the viewer offers (its +/- keys stay within them).
inline constexpr int kViewerMinZoom = 1;
inline constexpr int kViewerMaxZoom = 8;

struct ViewerOptions {
    std::string program = "quorlina view";  // the prefix of the viewer's messages
    std::string target;                     // RemoteHost text; empty: a simulated camera
    HostOptions host;
    AmbientOptions ambient;  // --design: the control in design mode, not played at the start
    int preview_width = 320;
    int preview_height = 240;
    int zoom = 1;
    int resize = 0;
    int display = 0;
    int depth = 32;
    std::string snapshot_dir = ".";  // where the s key writes its BMP files
    bool reconnect = true;           // play again by itself after an end that was not the user's
};

// The key bindings, for help texts.
extern const char* const kViewerKeys;

class Viewer {
  public:
    // Opens the display and a window of the preview size times the zoom. Null with *error
    // saying why when there is no display or no window.
    static std::unique_ptr<Viewer> Open(const ViewerOptions& options, std::string* error);
    ~Viewer();
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Hosts the control, plays the target (or a simulated camera on 127.0.0.1 it starts; in
    // design mode only when p is pressed), and runs until q or the window is closed; then stops
    // the stream and releases the control.
    // Returns the exit status: 0 after a clean quit, 1 (one line on stderr) when the camera or
    // the control cannot be had.
    int Run();

    struct Impl;

  private:
    explicit Viewer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace apps
