// `quorlina serve`: the web container. Reads the configuration (or starts two simulated cameras),
// starts the server, prints the address with its token, and runs until SIGINT or SIGTERM, then
// stops every control and exits. The server itself is web/'s.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "apps/cli.h"
#include "web/server.h"
#include "web/service.h"

namespace apps {
namespace {

int Serve(int argc, char** argv) {
    CLI::App app{
        "Serves the cameras' controls to a browser page, an HTTP API, Motion-JPEG streams\n"
        "and a WebSocket, on 127.0.0.1:8080 unless told otherwise. Without --config it\n"
        "starts two simulated cameras (HTTP and native) on 127.0.0.1.",
        argv[0]};
    std::string config_path, listen, token;
    int connections = 0;
    bool no_forward = false;
    app.add_option("--config", config_path, "cameras.json: listen, token, cameras (see README)");
    app.add_option("--listen", listen,
                   "address:port to listen on (default 127.0.0.1:8080; port 0: any free port)");
    app.add_option("--token", token, "the access token (default: random at each start)");
    app.add_option("--connections", connections, "most connections open at once (default 64)")
        ->check(CLI::Range(1, web::kMaxConnectionsLimit));
    app.add_flag("--no-forward", no_forward,
                 "always encode the window, never forward the camera's own JPEG (for measuring)");
    ParseOrExit(app, argc, argv);

    web::ServiceOptions options;
    if (!config_path.empty()) {
        std::ifstream file(config_path);
        if (!file) {
            std::fprintf(stderr, "quorlina serve: cannot read %s\n", config_path.c_str());
            return 2;
        }
        std::stringstream text;
        text << file.rdbuf();
        std::string error;
        if (!web::ParseServeConfig(text.str(), &options.config, &error)) {
            std::fprintf(stderr, "quorlina serve: %s: %s\n", config_path.c_str(), error.c_str());
            return 2;
        }
    } else {
        options.simulated = true;
    }
    web::ServeConfig& config = options.config;
    if (!listen.empty() && !web::ParseListen(listen, &config.listen_host, &config.port)) {
        std::fprintf(stderr, "quorlina serve: --listen: expected address:port, got \"%s\"\n",
                     listen.c_str());
        return 2;
    }
    if (!token.empty()) {
        if (token.size() < web::kMinTokenBytes ||
            token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                                    "-_.~") != std::string::npos) {
            std::fprintf(stderr,
                         "quorlina serve: --token: at least %zu letters, digits or - _ . ~\n",
                         web::kMinTokenBytes);
            return 2;
        }
        config.token = token;
    }
    if (connections > 0) config.max_connections = connections;
    options.camera.forward_camera_jpeg = !no_forward;
    if (!web::IsLoopbackHost(config.listen_host))
        std::fprintf(stderr,
                     "quorlina serve: warning: listening on %s, not only on this machine; anyone "
                     "who can reach it and has the token drives the cameras\n",
                     config.listen_host.c_str());

    // SIGINT and SIGTERM are taken by sigwait below, never by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    web::Service service(options);
    web::ServerOptions server_options;
    server_options.host = config.listen_host;
    server_options.port = config.port;
    server_options.max_connections = config.max_connections;
    web::Server server(service, server_options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "quorlina serve: %s\n", error.c_str());
        return 1;
    }
    const std::string host = config.listen_host.find(':') != std::string::npos
                                 ? "[" + config.listen_host + "]"
                                 : config.listen_host;
    for (web::Camera* c : service.Cameras())
        std::printf("camera %s: %s (%s)\n", c->Config().name.c_str(),
                    web::TargetWithoutCredentials(c->Config().target).c_str(),
                    web::to_string(c->Config().play));
    std::printf("open http://%s:%d/?token=%s\n", host.c_str(), server.Port(),
                service.Token().c_str());
    std::fflush(stdout);
    int which = 0;
    sigwait(&signals, &which);
    std::printf("stopping (%s)\n", which == SIGTERM ? "SIGTERM" : "SIGINT");
    std::fflush(stdout);
    server.Stop();
    return 0;
}

const SubcommandRegistrar kRegistrar{
    {"serve", "serve the cameras to a browser page and an HTTP API", &Serve}};

}  // namespace
}  // namespace apps
