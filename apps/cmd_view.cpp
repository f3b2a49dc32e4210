// `quorlina view [TARGET]`: a desktop window hosting one control on a camera (or on a simulated
// camera it starts on 127.0.0.1), with the keyboard driving the control's scripting members.
#include <cstdio>
#include <string>

#include "apps/cli.h"
#include "apps/host.h"
#include "apps/options.h"
#include "apps/target.h"
#include "apps/viewer.h"

namespace apps {
namespace {

static_assert(kViewerMinZoom == kMinZoom && kViewerMaxZoom == kMaxZoom);

int View(int argc, char** argv) {
    CLI::App app{std::string("Shows a camera in a desktop window hosting one control, created "
                             "through the class factory and driven through IDispatch.\n") +
                     kViewerKeys,
                 argv[0]};
    ViewerOptions options;
    std::string preview = "320x240";
    app.add_option("target", options.target,
                   "the camera as RemoteHost takes it (http://host:port or host:port); none: a "
                   "simulated camera on 127.0.0.1");
    AddHostOptions(app, options.host);
    app.add_option("--preview", preview, "preview size WxH (the picture at zoom 1)")
        ->check(SizeValidator())
        ->default_val(preview);
    app.add_option("--zoom", options.zoom,
                   "zoom factor; the window opens at the preview size times it")
        ->check(ZoomValidator())
        ->default_val(options.zoom);
    AddRenderingOptions(app, options.resize, options.display, options.depth);
    AddAmbientOptions(app, options.ambient, true);
    app.add_option("--snapshots", options.snapshot_dir,
                   "folder for the s key's quorlina-snapshot-N.bmp files")
        ->default_val(options.snapshot_dir);
    bool no_reconnect = false;
    app.add_flag("--no-reconnect", no_reconnect,
                 "after the camera ends the session, show why and stay ended (by default the "
                 "viewer plays again after 1, 2, 4 ... 30 s)");
    ParseOrExit(app, argc, argv);
    ParseSize(preview, &options.preview_width, &options.preview_height);
    options.reconnect = !no_reconnect;
    std::string error;
    if (!options.target.empty()) {
        Target target;
        if (!ParseTarget(options.target, &target, &error)) {
            std::fprintf(stderr, "quorlina view: %s\n", error.c_str());
            return 2;
        }
        if (target.has_credentials) options.host = HostOptions{target.user, target.password};
        options.target = target.remote_host;
    }

    std::unique_ptr<Viewer> viewer = Viewer::Open(options, &error);
    if (viewer == nullptr) {
        std::fprintf(stderr, "quorlina view: %s\n", error.c_str());
        return 1;
    }
    return viewer->Run();
}

const SubcommandRegistrar kRegistrar{
    {"view", "show a camera in a desktop window, driven from the keyboard", &View}};

}  // namespace
}  // namespace apps
