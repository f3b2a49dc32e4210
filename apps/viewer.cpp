// The viewer's loop: SDL events to scripting calls, the control's window messages pumped, the
// window's pixels copied into a texture whenever the screen's change count moves, and once a
// second the frame rate and device state read through IDispatch for the title and status line.
#include "apps/viewer.h"

#include <SDL.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "apps/camera/camera.h"
#include "apps/sdl_library.h"
#include "apps/text_overlay.h"
#include "apps/viewer_session.h"
#include "apps/window_bmp.h"
#include "container/dispatch_calls.h"
#include "platform/kernel.h"
#include "platform/window.h"

namespace apps {

const char* const kViewerKeys =
    "keys: arrows pan/tilt, 1/2 outputs, u upload, e e-mail, +/- zoom, r resize method, "
    "s snapshot, p play/stop, q quit";

namespace {

constexpr std::uint32_t kLoopWaitMs = 10;          // longest wait for an event between pumps
constexpr std::uint32_t kStatusIntervalMs = 1000;  // title, status line and frame-rate period
// Single-move direction codes of MovePanTiltDegree: 1 to 8 clockwise from up (0 is home).
constexpr std::int32_t kMoveUp = 1;
constexpr std::int32_t kMoveRight = 3;
constexpr std::int32_t kMoveDown = 5;
constexpr std::int32_t kMoveLeft = 7;
constexpr const char* kSnapshotPrefix = "quorlina-snapshot-";

// The window's pixels as blue, green, red bytes, palette screens through their system palette
// (an index beyond it shows black).
void ToBgr(const platform::WindowPixels& p, std::vector<std::uint8_t>* out) {
    if (p.bits_per_pixel == 24) {
        *out = p.pixels;
        return;
    }
    const std::size_t count =
        static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    out->assign(count * 3, 0);
    for (std::size_t i = 0; i < count && i < p.pixels.size(); ++i) {
        const std::size_t index = p.pixels[i];
        if (index >= p.palette.size()) continue;
        const platform::ScreenColor& c = p.palette[index];
        (*out)[i * 3] = c.blue;
        (*out)[i * 3 + 1] = c.green;
        (*out)[i * 3 + 2] = c.red;
    }
}

}  // namespace

struct Viewer::Impl {
    ViewerOptions options;
    const SdlLibrary* sdl = nullptr;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    int texture_width = 0;
    int texture_height = 0;
    int screen_width = 0;  // the hosted screen: the largest the control's window may grow
    int screen_height = 0;

    std::unique_ptr<camera::Camera> camera;
    container::HostedControl control;
    std::optional<container::DispatchCalls> calls;
    std::optional<ViewerSession> session;
    bool played = false;  // false while a page in design mode has not been played yet
    platform::HWND control_window = nullptr;

    platform::WindowPixels shown;  // what the window shows now
    std::vector<std::uint8_t> bgr;
    bool have_shown = false;
    int zoom = 1;
    int resize = 0;
    const bool tty = ::isatty(STDOUT_FILENO) == 1;
    bool status_on_line = false;  // a tty status line waits to be overwritten
    platform::Tick last_status = 0;

    ~Impl();
    void Say(const std::string& line);
    bool HostControl(std::string* error);
    void Resize(int width, int height);
    void ShowIfChanged();
    void Present();
    void Status();
    void Snapshot();
    bool OnKey(const SDL_KeyboardEvent& key);  // false: quit
};

Viewer::Impl::~Impl() {
    session.reset();
    calls.reset();
    control = container::HostedControl();
    if (texture != nullptr) sdl->DestroyTexture(texture);
    if (renderer != nullptr) sdl->DestroyRenderer(renderer);
    if (window != nullptr) sdl->DestroyWindow(window);
    sdl->Quit();
}

Viewer::Viewer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Viewer::~Viewer() = default;

std::unique_ptr<Viewer> Viewer::Open(const ViewerOptions& options, std::string* error) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* driver = std::getenv("SDL_VIDEODRIVER");
    if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0') &&
        driver == nullptr) {
        *error = "cannot open a display: DISPLAY is not set";
        return nullptr;
    }
    const long long width = static_cast<long long>(options.preview_width) * options.zoom;
    const long long height = static_cast<long long>(options.preview_height) * options.zoom;
    if (options.zoom < kViewerMinZoom || options.zoom > kViewerMaxZoom ||
        width > platform::kMaxScreenSide || height > platform::kMaxScreenSide) {
        *error = "the zoom must be " + std::to_string(kViewerMinZoom) + ".." +
                 std::to_string(kViewerMaxZoom) + " and the preview size times the zoom at most " +
                 std::to_string(platform::kMaxScreenSide) + " pixels a side";
        return nullptr;
    }
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    const SdlLibrary* sdl = OpenSdl(error);
    if (sdl == nullptr) return nullptr;
    // Without a choice of the user's, only a real display will do: SDL would otherwise fall back
    // to its invisible offscreen driver.
    if (driver == nullptr)
        sdl->SetHint(SDL_HINT_VIDEODRIVER,
                     wayland != nullptr && *wayland != '\0' ? "wayland,x11" : "x11");
    sdl->SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (sdl->Init(SDL_INIT_VIDEO) != 0) {
        *error = std::string("cannot open a display: ") + sdl->GetError() +
                 (display != nullptr ? std::string(" (DISPLAY=") + display + ")" : "");
        sdl->Quit();
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();  // from here on, its destructor ends SDL
    impl->sdl = sdl;
    impl->options = options;
    impl->zoom = options.zoom;
    impl->resize = options.resize;
    SDL_Rect usable;
    if (sdl->GetDisplayUsableBounds(0, &usable) != 0) usable = SDL_Rect{0, 0, w, h};
    impl->screen_width = std::clamp(usable.w, w, platform::kMaxScreenSide);
    impl->screen_height = std::clamp(usable.h, h, platform::kMaxScreenSide);
    impl->window = sdl->CreateWindow("Quorlina", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                     w, h, SDL_WINDOW_RESIZABLE);
    if (impl->window == nullptr) {
        *error = std::string("cannot open a window: ") + sdl->GetError();
        return nullptr;
    }
    sdl->SetWindowMaximumSize(impl->window, impl->screen_width, impl->screen_height);
    // The software renderer copies the picture one to one, and with framebuffer acceleration off
    // it draws through the window system alone: no graphics driver, no driver threads.
    impl->renderer = sdl->CreateRenderer(impl->window, -1, SDL_RENDERER_SOFTWARE);
    if (impl->renderer == nullptr) {
        *error = std::string("cannot draw into the window: ") + sdl->GetError();
        return nullptr;
    }
    return std::unique_ptr<Viewer>(new Viewer(std::move(impl)));
}

void Viewer::Impl::Say(const std::string& line) {
    if (status_on_line) std::fputs("\r\033[K", stdout);
    status_on_line = false;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool Viewer::Impl::HostControl(std::string* error) {
    int w = 0, h = 0;
    sdl->GetWindowSize(window, &w, &h);
    w = std::clamp(w, 1, screen_width);
    h = std::clamp(h, 1, screen_height);
    control = container::HostedControl::Create(
        ControlOptionsOf(
            options.host, options.ambient,
            container::ScreenOptions{options.depth, w, h, screen_width, screen_height}),
        error);
    if (!control) return false;
    control_window = control.Window();
    calls.emplace(control.Dispatch());
    calls->PutLong("PreviewWidth", options.preview_width);
    calls->PutLong("PreviewHeight", options.preview_height);
    std::int32_t ignored = 0;
    calls->CallLong("Zoom", zoom, &ignored);
    calls->CallLong("ResizeMode", resize, &ignored);
    calls->CallLong("DisplayMode", options.display, &ignored);
    return true;
}

void Viewer::Impl::Resize(int width, int height) {
    control.Resize(std::clamp(width, 1, screen_width), std::clamp(height, 1, screen_height));
}

void Viewer::Impl::ShowIfChanged() {
    if (have_shown && platform::ScreenChangeCount(control_window) == shown.change_count) return;
    if (!platform::ReadWindowPixels(control_window, &shown)) return;
    have_shown = true;
    if (texture == nullptr || texture_width != shown.width || texture_height != shown.height) {
        if (texture != nullptr) sdl->DestroyTexture(texture);
        texture = sdl->CreateTexture(renderer, SDL_PIXELFORMAT_BGR24, SDL_TEXTUREACCESS_STREAMING,
                                     shown.width, shown.height);
        texture_width = shown.width;
        texture_height = shown.height;
    }
    if (texture == nullptr) return;
    ToBgr(shown, &bgr);
    sdl->UpdateTexture(texture, nullptr, bgr.data(), shown.width * 3);
    Present();
}

void Viewer::Impl::Present() {
    sdl->SetRenderDrawColor(renderer, 0, 0, 0, 255);
    sdl->RenderClear(renderer);
    if (texture != nullptr) {
        const SDL_Rect to{0, 0, texture_width, texture_height};
        sdl->RenderCopy(renderer, texture, nullptr, &to);
    }
    // Until frames arrive, and after they stop, a line says where the session stands and why.
    // A page in design mode shows its background and caption alone until it is played.
    if (session && played && !session->Playing()) {
        int w = 0, h = 0;
        sdl->GetRendererOutputSize(renderer, &w, &h);
        DrawTextOverlay(*sdl, renderer, w, h, session->Text());
    }
    sdl->RenderPresent(renderer);
}

void Viewer::Impl::Status() {
    session->RefreshDeviceState();
    // FrameRate counts the frames since its previous query: read it once a period only.
    const double fps = calls->GetDouble("FrameRate");
    const std::string time = calls->GetText("TimeString");
    const std::string state = session->Text();
    char title[320];
    std::snprintf(title, sizeof title, "Quorlina  %s  %.2f fps  %s", state.c_str(), fps,
                  time.c_str());
    sdl->SetWindowTitle(window, title);
    char line[512];
    std::snprintf(line, sizeof line,
                  "fps %.2f  time \"%s\"  out1 %d  out2 %d  pan %d  tilt %d  zoom %d  resize %d  "
                  "%s%s",
                  fps, time.c_str(), calls->GetLong("IOOut1"), calls->GetLong("IOOut2"),
                  calls->GetLong("GetHorizontalPosition"), calls->GetLong("GetVerticalPosition"),
                  zoom, resize, state.c_str(), options.ambient.design ? "  (design mode)" : "");
    if (tty) {
        std::printf("\r%s\033[K", line);
        status_on_line = true;
    } else {
        std::printf("%s\n", line);
    }
    std::fflush(stdout);
}

void Viewer::Impl::Snapshot() {
    if (!have_shown) {
        Say("snapshot: nothing shown yet");
        return;
    }
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::path path;
    for (int n = 1;; ++n) {
        path = fs::path(options.snapshot_dir) / (kSnapshotPrefix + std::to_string(n) + ".bmp");
        if (!fs::exists(path, ignored)) break;
    }
    std::string error;
    if (!WriteFileAtomically(path.string(), WindowBmpBytes(shown), &error)) {
        Say("snapshot: " + error);
        return;
    }
    Say("snapshot: wrote " + path.string() + " (" + std::to_string(shown.width) + "x" +
        std::to_string(shown.height) + ")");
}

bool Viewer::Impl::OnKey(const SDL_KeyboardEvent& key) {
    if (key.repeat != 0) return true;  // each command once per press
    std::int32_t ignored = 0;
    switch (key.keysym.sym) {
        case SDLK_UP:
            calls->PutLong("MovePanTiltDegree", kMoveUp);
            break;
        case SDLK_RIGHT:
            calls->PutLong("MovePanTiltDegree", kMoveRight);
            break;
        case SDLK_DOWN:
            calls->PutLong("MovePanTiltDegree", kMoveDown);
            break;
        case SDLK_LEFT:
            calls->PutLong("MovePanTiltDegree", kMoveLeft);
            break;
        case SDLK_1:
        case SDLK_KP_1:
            session->CommandSending("output 1");
            calls->PutLong("IOOut1", calls->GetLong("IOOut1") != 0 ? 0 : 1);
            break;
        case SDLK_2:
        case SDLK_KP_2:
            session->CommandSending("output 2");
            calls->PutLong("IOOut2", calls->GetLong("IOOut2") != 0 ? 0 : 1);
            break;
        case SDLK_u:
            session->CommandSending("upload");
            Say("upload trigger sent");
            calls->PutLong("ImageUpload", 1);
            break;
        case SDLK_e:
            session->CommandSending("e-mail");
            Say("e-mail trigger sent");
            calls->PutLong("EmailImage", 1);
            break;
        case SDLK_PLUS:
        case SDLK_EQUALS:  // the unshifted "+" key
        case SDLK_KP_PLUS:
            zoom = std::min(zoom + 1, kViewerMaxZoom);
            calls->CallLong("Zoom", zoom, &ignored);
            break;
        case SDLK_MINUS:
        case SDLK_KP_MINUS:
            zoom = std::max(zoom - 1, kViewerMinZoom);
            calls->CallLong("Zoom", zoom, &ignored);
            break;
        case SDLK_r:
            resize = resize == 0 ? 1 : 0;
            calls->CallLong("ResizeMode", resize, &ignored);
            break;
        case SDLK_s:
            Snapshot();
            break;
        case SDLK_p:
            session->TogglePlay();
            played = true;
            break;
        case SDLK_q:
            return false;
        default:
            break;
    }
    return true;
}

int Viewer::Run() {
    Impl& v = *impl_;
    const std::string& program = v.options.program;
    std::string target = v.options.target;
    if (target.empty()) {
        camera::CameraConfig config;
        config.http_port = 0;
        v.camera = std::make_unique<camera::Camera>(config);
        std::string error;
        if (!v.camera->Start(&error)) {
            std::fprintf(stderr, "%s: cannot start the simulated camera: %s\n", program.c_str(),
                         error.c_str());
            return 1;
        }
        target = "http://127.0.0.1:" + std::to_string(v.camera->HttpPort());
        v.Say("simulated camera on " + target);
    }
    std::string error;
    if (!v.HostControl(&error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 1;
    }
    v.Say(kViewerKeys);
    v.sdl->SetWindowTitle(v.window, ("Quorlina  " + target).c_str());
    platform::PumpMessages();  // the window's first paint: its background
    v.ShowIfChanged();
    v.calls->PutText("RemoteHost", target);  // the probe, on this thread as a container does
    v.session.emplace(*v.calls, v.options.reconnect);
    // A page in design mode shows the control without running it.
    if (!v.options.ambient.design) {
        v.session->Play();
        v.played = true;
    } else {
        v.Say("design mode: p plays");
    }
    v.last_status = platform::GetTickCount();

    bool running = true;
    while (running) {
        SDL_Event event;
        bool have = v.sdl->WaitEventTimeout(&event, static_cast<int>(kLoopWaitMs)) == 1;
        while (have && running) {
            if (event.type == SDL_QUIT) {
                running = false;
            } else if (event.type == SDL_KEYDOWN) {
                running = v.OnKey(event.key);
            } else if (event.type == SDL_WINDOWEVENT) {
                if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)
                    v.Resize(event.window.data1, event.window.data2);
                else if (event.window.event == SDL_WINDOWEVENT_EXPOSED)
                    v.Present();
                else if (event.window.event == SDL_WINDOWEVENT_CLOSE)
                    running = false;
            }
            have = v.sdl->PollEvent(&event) == 1;
        }
        platform::PumpMessages();
        if (v.session->Tick()) {
            v.sdl->SetWindowTitle(v.window, ("Quorlina  " + v.session->Text()).c_str());
            v.Present();
        }
        const std::string note = v.session->TakeNote();
        if (!note.empty()) v.Say(note);
        v.ShowIfChanged();
        if (platform::GetTickCount() - v.last_status >= kStatusIntervalMs) {
            v.last_status = platform::GetTickCount();
            v.Status();
        }
    }
    v.calls->Call("Stop");
    if (v.status_on_line) std::fputs("\n", stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace apps
