// `quorlina demo`: the control against the built-in simulated camera on loopback. With a display
// it opens the viewer window; without one (or with --headless) it plays in a headless window for
// a few seconds with a status line and writes the window's last picture as a BMP file.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "apps/camera/camera.h"
#include "apps/cli.h"
#include "apps/host.h"
#include "apps/options.h"
#include "apps/picture_file.h"
#include "apps/viewer.h"
#include "apps/window_bmp.h"
#include "platform/window.h"

namespace apps {
namespace {

constexpr std::uint32_t kStatusStepMs = 500;

int Headless(double seconds, const std::string& out_path) {
    camera::CameraConfig config;
    config.http_port = 0;
    camera::Camera cam(config);
    std::string error;
    if (!cam.Start(&error)) {
        std::cerr << "quorlina demo: cannot start the simulated camera: " << error << "\n";
        return 1;
    }
    const std::string target = "http://127.0.0.1:" + std::to_string(cam.HttpPort());
    std::printf("simulated camera on %s\n", target.c_str());
    control::CQuorlina* c = CreateHostedControl({});
    if (c == nullptr) {
        std::cerr << "quorlina demo: cannot make the screen\n";
        return 1;
    }
    c->put_RemoteHost(target.c_str());
    std::printf("probe: stream mode %d (1 = HTTP Motion-JPEG), port %d\n", c->StreamMode.load(),
                c->RemotePort.load());
    c->Play();
    const int steps = static_cast<int>(seconds * 1000 / kStatusStepMs);
    for (int i = 0; i < steps; ++i) {
        platform::Sleep(kStatusStepMs);
        double fps = 0;
        c->get_FrameRate(&fps);
        std::printf("%s\n", StatusLine(*c, fps).c_str());
        std::fflush(stdout);
    }
    // Stopped first, so that the window holds the last frame whole.
    c->Stop();
    const unsigned frames = c->FramesPresented.load();
    platform::WindowPixels pixels;
    platform::ReadWindowPixels(c->Window.load(), &pixels);
    DestroyHostedControl(c);
    cam.Stop();
    std::printf("done: %u frames presented\n", frames);
    if (frames == 0) return 1;
    if (!WriteWindowPicture(out_path, pixels, &error)) {
        std::cerr << "quorlina demo: " << error << "\n";
        return 1;
    }
    std::printf("wrote the last picture to %s (%dx%d)\n", out_path.c_str(), pixels.width,
                pixels.height);
    return 0;
}

int Demo(int argc, char** argv) {
    CLI::App app{
        "Plays the built-in simulated camera on 127.0.0.1: in the viewer window when a "
        "display is there (DISPLAY set), otherwise headless for a few seconds with a "
        "status line, then writes the last picture as a BMP file.",
        argv[0]};
    double seconds = 5;
    bool headless = false;
    std::string out_path = "demo-snapshot.bmp";
    app.add_option("--seconds", seconds, "how long to play headless")
        ->check(Seconds(0.5, 3600))
        ->default_val(seconds);
    app.add_flag("--headless", headless, "play headless even when a display is there");
    app.add_option("--out", out_path,
                   "BMP file of the headless run's last picture; the viewer's s key writes "
                   "beside it")
        ->default_val(out_path);
    ParseOrExit(app, argc, argv);
    PictureFormat format;
    std::string error;
    if (!PictureFormatOf(out_path, &format, &error)) {
        std::fprintf(stderr, "quorlina demo: %s\n", error.c_str());
        return 2;
    }

    const char* display = std::getenv("DISPLAY");
    if (!headless && display != nullptr && *display != '\0') {
        ViewerOptions options;
        options.program = "quorlina demo";
        const std::filesystem::path folder = std::filesystem::path(out_path).parent_path();
        if (!folder.empty()) options.snapshot_dir = folder.string();
        std::unique_ptr<Viewer> viewer = Viewer::Open(options, &error);
        if (viewer != nullptr) return viewer->Run();
        std::printf("no viewer window (%s): playing headless\n", error.c_str());
    }
    return Headless(seconds, out_path);
}

const SubcommandRegistrar kRegistrar{{"demo", "play the built-in simulated camera", &Demo}};

}  // namespace
}  // namespace apps
