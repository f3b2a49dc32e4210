// The host commands' options (credentials, ambient properties, pictures), the bare control of
// the diagnostics in a headless window, and the status line.
#include "apps/host.h"

#include <algorithm>
#include <cstdio>

#include "apps/options.h"
#include "host/quorlina_object.h"
#include "platform/window.h"

namespace apps {

namespace {

// In-place activation in a new screen of the window's size; false (nothing left behind) when
// the screen or the window cannot be made.
bool ActivateInNewScreen(control::CQuorlina& c, const container::ScreenOptions& screen) {
    const int width = screen.width > 0 ? screen.width : c.PreviewWidth.load();
    const int height = screen.height > 0 ? screen.height : c.PreviewHeight.load();
    const platform::HWND root = container::CreateScreenFor(screen, width, height);
    if (root == nullptr) return false;
    if (c.CreateControlWindow(root, platform::RECT{0, 0, width, height}) == nullptr) {
        platform::DestroyWindow(root);
        return false;
    }
    return true;
}

const CLI::Validator kBackground(
    [](std::string& text) -> std::string {
        platform::OLE_COLOR ignored;
        if (ParseBackground(text, &ignored)) return {};
        return "expected a colour as six hexadecimal digits RRGGBB, got \"" + text + "\"";
    },
    "RRGGBB");

}  // namespace

void AddHostOptions(CLI::App& app, HostOptions& options) {
    app.add_option("--user", options.user,
                   "user name for the camera (at most 12 characters)")
        ->check(AtMostCharacters(kMaxUserLength, "user name"));
    app.add_option("--password", options.password,
                   "password for the camera (at most 8 characters)")
        ->check(AtMostCharacters(kMaxPasswordLength, "password"));
}

bool ParseBackground(const std::string& text, platform::OLE_COLOR* color) {
    if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    const unsigned long rgb = std::stoul(text, nullptr, 16);
    *color = platform::RGB(static_cast<std::uint8_t>(rgb >> 16),
                           static_cast<std::uint8_t>(rgb >> 8), static_cast<std::uint8_t>(rgb));
    return true;
}

void AddAmbientOptions(CLI::App& app, AmbientOptions& options, bool with_design) {
    app.add_option("--background", options.background,
                   "the container's background colour RRGGBB (ambient BackColor); default: the "
                   "control's own grey")
        ->check(kBackground);
    if (with_design)
        app.add_flag("--design", options.design,
                     "host the control in design mode (ambient UserMode off): it shows its "
                     "background and caption and does not play");
}

container::ControlOptions ControlOptionsOf(const HostOptions& host, const AmbientOptions& ambient,
                                           const container::ScreenOptions& screen) {
    container::ControlOptions options;
    options.user = host.user;
    options.password = host.password;
    options.ambients.user_mode = !ambient.design;
    platform::OLE_COLOR color;
    if (!ambient.background.empty() && ParseBackground(ambient.background, &color))
        options.ambients.back_color = color;
    options.screen = screen;
    return options;
}

control::CQuorlina& RecordOf(const container::HostedControl& hosted) {
    return host::QuorlinaObject::FromUnknown(&hosted.Unknown())->Control();
}

control::CQuorlina* CreateHostedControl(const HostOptions& options,
                                        const container::ScreenOptions& screen) {
    auto* c = new control::CQuorlina();
    c->UserName.Set(options.user);
    c->Password.Set(options.password);
    if (!ActivateInNewScreen(*c, screen)) {
        c->Destroy();
        return nullptr;
    }
    return c;
}

void DestroyHostedControl(control::CQuorlina* c) {
    const platform::HWND screen = platform::GetParent(c->Window.load());
    c->Destroy();
    platform::DestroyWindow(screen);
}

bool ParseSize(const std::string& text, int* width, int* height) {
    int used = 0;
    if (text.find_first_not_of("0123456789x") != std::string::npos) return false;
    if (std::sscanf(text.c_str(), "%dx%d%n", width, height, &used) != 2) return false;
    if (used != static_cast<int>(text.size())) return false;
    return *width >= 1 && *height >= 1 && *width <= platform::kMaxScreenSide &&
           *height <= platform::kMaxScreenSide;
}

namespace {

const CLI::Validator kSize(
    [](std::string& text) -> std::string {
        int w, h;
        if (ParseSize(text, &w, &h)) return {};
        return "expected WxH with sides 1.." + std::to_string(platform::kMaxScreenSide) +
               ", got \"" + text + "\"";
    },
    "WxH");

}  // namespace

const CLI::Validator& SizeValidator() {
    return kSize;
}

void AddRenderingOptions(CLI::App& app, int& resize, int& display, int& depth) {
    app.add_option("--resize", resize, "resize mode: 0 nearest neighbour, other smooth")
        ->default_val(resize);
    app.add_option("--display", display,
                   "display mode on palette screens: 0 adaptive palette, 2 error diffusion, "
                   "other ordered dithering")
        ->default_val(display);
    app.add_option("--depth", depth, "bits per pixel of the control's screen")
        ->check(DepthValidator())
        ->default_val(depth);
}

void AddPictureOptions(CLI::App& app, PictureOptions& o) {
    app.add_option("--preview", o.preview, "preview size WxH (the picture at zoom 1)")
        ->check(kSize)
        ->default_val(o.preview);
    app.add_option("--zoom", o.zoom, "zoom factor; the window shows the centre")
        ->check(ZoomValidator())
        ->default_val(o.zoom);
    AddRenderingOptions(app, o.resize, o.display, o.depth);
    app.add_option("--window", o.window, "window client size WxH (default: the preview size)")
        ->check(kSize);
}

control::CQuorlina* CreatePictureControl(const HostOptions& host, const PictureOptions& picture) {
    int preview_w = 0, preview_h = 0;
    ParseSize(picture.preview, &preview_w, &preview_h);
    container::ScreenOptions screen{picture.depth, preview_w, preview_h};
    if (!picture.window.empty()) ParseSize(picture.window, &screen.width, &screen.height);
    control::CQuorlina* c = CreateHostedControl(host, screen);
    if (c == nullptr) return nullptr;
    std::int32_t ignored;
    c->put_PreviewWidth(preview_w);
    c->put_PreviewHeight(preview_h);
    c->Zoom(picture.zoom, &ignored);
    c->ResizeMode(picture.resize, &ignored);
    c->DisplayMode(picture.display, &ignored);
    return c;
}

std::string StatusLine(control::CQuorlina& c, double frame_rate) {
    char line[256];
    std::snprintf(
        line, sizeof line,
        "frames %u  fps %.2f  time \"%s\"  out1 %d  out2 %d  upload %d  email %d  pan %d  tilt %d",
        c.FramesPresented.load(), frame_rate, c.TimeString.Get().c_str(), c.IOOut1.load(),
        c.IOOut2.load(), c.ImageUpload.load(), c.EmailImage.load(), c.GetHorizontalPosition.load(),
        c.GetVerticalPosition.load());
    return line;
}

}  // namespace apps
