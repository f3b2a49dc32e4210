// Host-side control creation and the status line.
#include "apps/host.h"

#include <cstdio>

namespace apps {

namespace {
// Stands in for the control's window until the window layer gives it a real one: the control
// only needs to know that it has one.
char g_headless_window;
}  // namespace

void AddHostOptions(CLI::App& app, HostOptions& options) {
    app.add_option("--user", options.user, "user name for the camera (first 12 characters are sent)");
    app.add_option("--password", options.password, "password for the camera (first 8 characters are sent)");
}

control::CQuorlina* CreateHostedControl(const HostOptions& options) {
    auto* c = new control::CQuorlina();
    c->UserName.Set(options.user);
    c->Password.Set(options.password);
    c->AttachWindow(reinterpret_cast<platform::HWND>(&g_headless_window));
    return c;
}

std::string StatusLine(control::CQuorlina& c, double frame_rate) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "frames %u  fps %.2f  time \"%s\"  out1 %d  out2 %d  upload %d  email %d  pan %d  tilt %d",
                  c.FramesPresented.load(), frame_rate, c.TimeString.Get().c_str(), c.IOOut1.load(),
                  c.IOOut2.load(), c.ImageUpload.load(), c.EmailImage.load(),
                  c.GetHorizontalPosition.load(), c.GetVerticalPosition.load());
    return line;
}

}  // namespace apps
