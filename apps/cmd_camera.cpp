// `quorlina camera`: runs the simulated camera until SIGINT/SIGTERM or --seconds, printing one
// line per side with the address it listens on (so scripts can find ports chosen with 0).
// Everything the camera does is in apps/camera/; this file only maps options onto its config.
#include <cctype>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "apps/camera/camera.h"
#include "apps/camera/picture.h"
#include "apps/cli.h"
#include "apps/options.h"
#include "device/native_protocol.h"
#include "platform/kernel.h"
#include "stream/http_stream_parser.h"

namespace {

constexpr int kWaitSliceMs = 50;
constexpr double kMaxRunSeconds = 366.0 * 24 * 3600;  // --seconds: up to a year
volatile std::sig_atomic_t g_signalled = 0;

void OnSignal(int) {
    g_signalled = 1;
}

// A picture whose frames are larger than the control takes is never shown: says so at the start
// rather than leaving the user before a grey window. Judged by the first frame's size.
void WarnAboutFrameSize(const camera::CameraConfig& config) {
    camera::PictureSource source(config.width, config.height, config.quality);
    std::string error;
    if (!source.Init(&error)) return;
    const camera::JpegBytes frame = source.Frame(0, camera::DeviceState{}, camera::ClockFields{});
    if (!frame) return;
    const std::size_t bytes = frame->size();
    auto warn = [&](const char* side, std::size_t limit) {
        std::fprintf(stderr,
                     "quorlina camera: warning: a %dx%d frame at quality %d is about %zu bytes, "
                     "more than the %zu a control takes %s: it will show no picture there\n",
                     config.width, config.height, config.quality, bytes, limit, side);
    };
    if (config.http_port >= 0 && bytes > static_cast<std::size_t>(stream::kMaxPartBytes))
        warn("over HTTP", static_cast<std::size_t>(stream::kMaxPartBytes));
    if (config.native_port >= 0 && bytes > device::kMaxFrameBytes)
        warn("over the native protocol", device::kMaxFrameBytes);
}

int RunCamera(int argc, char** argv) {
    camera::CameraConfig config;
    config.log = true;
    CLI::App app{"Runs the simulated camera on 127.0.0.1 (HTTP Motion-JPEG and/or native protocol)",
                 "quorlina camera"};
    std::string size = "320x240";
    std::vector<std::string> faults;
    std::vector<std::string> styles;
    bool quiet = false;
    const std::map<std::string, camera::LoginMode> logins = {
        {"none", camera::LoginMode::kNone},
        {"none-short", camera::LoginMode::kNoneShort},
        {"challenge", camera::LoginMode::kChallenge},
        {"serial", camera::LoginMode::kSerial},
    };
    app.add_option("--http", config.http_port, "HTTP port (0: any free port)")
        ->check(apps::WholeNumber(0, 65535));
    app.add_option("--native", config.native_port, "native protocol port (0: any free port)")
        ->check(apps::WholeNumber(0, 65535));
    app.add_option("--size", size, "picture size WxH")->default_val(size);
    app.add_option("--fps", config.fps, "frames per second (0: as fast as the client takes them)")
        ->check(apps::WholeNumber(0, camera::kMaxFps))
        ->default_val(config.fps);
    app.add_flag("--still", config.still,
                 "send one picture, encoded once, as every frame (for load tests)");
    app.add_option("--quality", config.quality, "JPEG quality")
        ->check(apps::WholeNumber(1, 100))
        ->default_val(config.quality);
    app.add_option("--user", config.user,
                   "user name the camera demands (the control sends at most 12 characters)")
        ->check(apps::AtMostCharacters(apps::kMaxUserLength, "user name"));
    app.add_option("--password", config.password,
                   "password the camera demands (the control sends at most 8 characters)")
        ->check(apps::AtMostCharacters(apps::kMaxPasswordLength, "password"));
    app.add_option("--login", config.login, "native login: none, none-short, challenge, serial")
        ->transform(CLI::Validator(
            [&logins](std::string& text) -> std::string {
                std::string lower = text;
                for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                const auto it = logins.find(lower);
                if (it == logins.end())
                    return "expected none, none-short, challenge or serial, got \"" + text + "\"";
                text = std::to_string(static_cast<int>(it->second));
                return {};
            },
            "none|none-short|challenge|serial"));
    app.add_option("--serial", config.serial, "token the serial-number login must carry");
    app.add_option("--pace", config.pace, "frame pacing value in the native ready block")
        ->check(apps::WholeNumber(0, camera::kMaxPace));
    app.add_flag("--refuse-outputs", config.refuse_outputs, "refuse every native output command");
    app.add_option("--fault", faults,
                   "misbehave on purpose (repeatable): drop-after=N, stall-after=N, trickle, "
                   "garbage, oversize, bad-length, capital-length, no-boundary, corrupt-jpeg, "
                   "truncate-jpeg, unauthorized, refuse-outputs, slow-accept")
        ->allow_extra_args(false);
    app.add_option("--style", styles,
                   "write the HTTP stream as other servers do (repeatable): padded-length, "
                   "quoted-boundary, late-boundary, no-length, stream-path (the stream at " +
                       std::string(camera::kStyleStreamPath) +
                       ", /mjpeg.cgi 404), no-device-pages (HOME.htm, DevInfo.CGI and the "
                       "command CGIs 404)")
        ->allow_extra_args(false);
    app.add_option("--seconds", config.seconds, "stop by itself after this many seconds")
        ->check(apps::Seconds(0, kMaxRunSeconds));
    app.add_flag("--quiet", quiet, "no line per client connection on stderr");
    apps::ParseOrExit(app, argc, argv);

    int used = 0;
    if (std::sscanf(size.c_str(), "%dx%d%n", &config.width, &config.height, &used) != 2 ||
        used != static_cast<int>(size.size()) ||
        size.find_first_not_of("0123456789x") != std::string::npos) {
        std::fprintf(stderr, "quorlina camera: --size: expected WxH, got \"%s\"\n", size.c_str());
        return 2;
    }
    if (config.width < camera::kMinPictureSide || config.width > camera::kMaxPictureSide ||
        config.height < camera::kMinPictureSide || config.height > camera::kMaxPictureSide) {
        std::fprintf(stderr, "quorlina camera: --size: each side must be %d..%d, got \"%s\"\n",
                     camera::kMinPictureSide, camera::kMaxPictureSide, size.c_str());
        return 2;
    }
    if (config.http_port < 0 && config.native_port < 0) {
        std::fprintf(stderr, "quorlina camera: give --http PORT, --native PORT or both\n");
        return 2;
    }
    if (config.login == camera::LoginMode::kSerial && config.serial.empty()) {
        std::fprintf(stderr, "quorlina camera: --serial: needed with --login serial\n");
        return 2;
    }
    for (const std::string& mode : faults) {
        std::string why;
        if (!config.faults.Add(mode, &why)) {
            std::fprintf(stderr, "quorlina camera: --fault: %s\n", why.c_str());
            return 2;
        }
    }
    for (const std::string& name : styles) {
        std::string why;
        if (!config.styles.Add(name, &why)) {
            std::fprintf(stderr, "quorlina camera: --style: %s\n", why.c_str());
            return 2;
        }
    }
    config.log = !quiet;

    WarnAboutFrameSize(config);
    camera::Camera cam(config);
    std::string error;
    if (!cam.Start(&error)) {
        std::fprintf(stderr, "quorlina camera: %s\n", error.c_str());
        return error.rfind("cannot", 0) == 0 ? 1 : 2;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (cam.HttpPort() >= 0) std::printf("camera: http 127.0.0.1:%d\n", cam.HttpPort());
    if (cam.NativePort() >= 0) std::printf("camera: native 127.0.0.1:%d\n", cam.NativePort());
    if (!config.faults.Empty())
        std::printf("camera: faults %s\n", config.faults.Describe().c_str());
    if (!config.styles.Empty()) {
        std::printf("camera: style %s\n", config.styles.Describe().c_str());
        if (config.styles.Has(camera::Style::kStreamPath) && cam.HttpPort() >= 0)
            std::printf("camera: stream http://127.0.0.1:%d%s\n", cam.HttpPort(),
                        camera::kStyleStreamPath);
    }
    std::fflush(stdout);
    while (!g_signalled && !cam.Finished()) platform::Sleep(kWaitSliceMs);
    cam.Stop();
    return 0;
}

const apps::SubcommandRegistrar kRegistrar({"camera", "run the simulated camera", RunCamera});

}  // namespace
