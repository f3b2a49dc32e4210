// `quorlina demo`: the control against the built-in simulated camera on loopback, with a status
// line as it plays.
#include <cstdio>
#include <iostream>
#include <string>

#include "apps/camera/camera.h"
#include "apps/cli.h"
#include "apps/host.h"

namespace apps {
namespace {

int Demo(int argc, char** argv) {
    CLI::App app{"Plays the built-in simulated camera on 127.0.0.1 for a few seconds, printing a "
                 "status line as it goes.",
                 argv[0]};
    double seconds = 5;
    app.add_option("--seconds", seconds, "how long to play")->check(CLI::Range(0.5, 3600.0));
    ParseOrExit(app, argc, argv);

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
    c->put_RemoteHost(target.c_str());
    std::printf("probe: stream mode %d (1 = HTTP Motion-JPEG), port %d\n", c->StreamMode.load(),
                c->RemotePort.load());
    c->Play();
    const int steps = static_cast<int>(seconds * 2);
    for (int i = 0; i < steps; ++i) {
        platform::Sleep(500);
        double fps = 0;
        c->get_FrameRate(&fps);
        std::printf("%s\n", StatusLine(*c, fps).c_str());
        std::fflush(stdout);
    }
    c->Stop();
    const unsigned frames = c->FramesPresented.load();
    c->Destroy();
    cam.Stop();
    std::printf("done: %u frames presented\n", frames);
    return frames > 0 ? 0 : 1;
}

const SubcommandRegistrar kRegistrar{{"demo", "play the built-in simulated camera", &Demo}};

}  // namespace
}  // namespace apps
