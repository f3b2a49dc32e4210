// `quorlina snapshot URL --out FILE`: hosts a control as a container does, plays a camera in
// its headless window until N frames have been presented, stops, and writes the window's pixels
// as a picture file (BMP, PNG or JPEG by its extension), then prints the frame rate, the device clock, the output states and the pan/tilt
// position.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "apps/cli.h"
#include "apps/host.h"
#include "apps/options.h"
#include "apps/picture_file.h"
#include "apps/target.h"
#include "apps/window_bmp.h"
#include "container/dispatch_calls.h"
#include "container/status_reader.h"
#include "platform/kernel.h"

namespace apps {
namespace {

constexpr std::uint32_t kPumpIntervalMs = 10;

int Snapshot(int argc, char** argv) {
    CLI::App app{
        "Plays a camera in a headless control window until the given number of frames "
        "has been presented, then writes the window's pixels as a BMP file.",
        argv[0]};
    std::string url;
    std::string out_path;
    std::string jpeg_path;
    int frames = 1;
    double timeout_s = 10;
    PictureOptions picture;
    HostOptions host;
    AmbientOptions ambient;
    app.add_option("url", url, "the camera, e.g. http://127.0.0.1:8080 (its RemoteHost)")
        ->required();
    app.add_option("--out", out_path,
                   "picture to write: .bmp, .png or .jpg, or - for BMP on standard output")
        ->required();
    app.add_option("--jpeg", jpeg_path,
                   "also write the JPEG frame the window shows (- for standard output)");
    app.add_option("--frames", frames, "frames to present before the snapshot")
        ->check(WholeNumber(1, 1000000))
        ->default_val(frames);
    app.add_option("--timeout", timeout_s, "seconds to wait for them")
        ->check(Seconds(0.1, 3600))
        ->default_val(timeout_s);
    AddPictureOptions(app, picture);
    AddAmbientOptions(app, ambient, false);
    AddHostOptions(app, host);
    ParseOrExit(app, argc, argv);
    Target target;
    std::string error;
    PictureFormat format;
    if (!PictureFormatOf(out_path, &format, &error)) {
        std::fprintf(stderr, "quorlina snapshot: %s\n", error.c_str());
        return 2;
    }
    if (out_path == "-" && jpeg_path == "-") {
        std::fprintf(stderr, "quorlina snapshot: --out and --jpeg cannot both be standard output\n");
        return 2;
    }
    if (!ParseTarget(url, &target, &error)) {
        std::fprintf(stderr, "quorlina snapshot: %s\n", error.c_str());
        return 2;
    }
    if (target.has_credentials) host = HostOptions{target.user, target.password};
    url = target.remote_host;

    int preview_w = 0, preview_h = 0;
    ParseSize(picture.preview, &preview_w, &preview_h);
    container::ScreenOptions screen{picture.depth, preview_w, preview_h};
    if (!picture.window.empty()) ParseSize(picture.window, &screen.width, &screen.height);
    container::HostedControl hosted =
        container::HostedControl::Create(ControlOptionsOf(host, ambient, screen), &error);
    if (!hosted) {
        std::fprintf(stderr, "quorlina snapshot: %s\n", error.c_str());
        return 1;
    }
    container::DispatchCalls calls(hosted.Dispatch());
    std::int32_t ignored = 0;
    calls.PutLong("PreviewWidth", preview_w);
    calls.PutLong("PreviewHeight", preview_h);
    calls.CallLong("Zoom", picture.zoom, &ignored);
    calls.CallLong("ResizeMode", picture.resize, &ignored);
    calls.CallLong("DisplayMode", picture.display, &ignored);
    // Frames presented and the frame shown are read from the record: no member gives them.
    control::CQuorlina& record = RecordOf(hosted);
    platform::PumpMessages();
    calls.PutText("RemoteHost", url);
    const std::uint32_t start = record.FramesPresented.load();
    // Ends are read through the control's status interface, as any container reads them; the
    // interface is let go before the control is closed.
    std::optional<container::StatusReader> status_reader;
    status_reader.emplace(hosted.Unknown());
    const std::uint32_t before = status_reader->Read().sequence;
    calls.Call("Play");
    // The rate printed at the end covers the stream, not the probe.
    double fps = calls.GetDouble("FrameRate");
    const platform::Tick t0 = platform::GetTickCount();
    const auto limit_ms = static_cast<std::uint32_t>(timeout_s * 1000);
    bool enough = false;
    bool session_ended = false;
    container::StatusReading ended;  // the end that stopped the wait
    while (
        !(enough = record.FramesPresented.load() - start >= static_cast<std::uint32_t>(frames)) &&
        platform::GetTickCount() - t0 < limit_ms) {
        // A session that has ended (or a native attempt that failed) brings no more frames.
        const container::StatusReading now = status_reader->Read();
        if (container::EndedSince(now, before)) {
            ended = now;
            session_ended = true;
            break;
        }
        platform::PumpMessages();
        platform::Sleep(kPumpIntervalMs);
    }
    // Stopped first, so that the window holds the last frame whole and FrameBuffer is that
    // frame; the repaint the session asks for at its end is not pumped before the read-out.
    calls.Call("Stop");
    status_reader.reset();
    if (!enough && session_ended) {
        const std::string target =
            record.HostName.Get() + ":" + std::to_string(record.RemotePort.load());
        std::fprintf(stderr, "%s\n", container::EndLine(target, ended).c_str());
        return 1;
    }
    if (!enough) {
        std::fprintf(stderr,
                     "quorlina snapshot: %u of %d frames presented from %s within %g s; no file "
                     "written\n",
                     record.FramesPresented.load() - start, frames, url.c_str(), timeout_s);
        return 1;
    }
    platform::WindowPixels pixels;
    platform::ReadWindowPixels(hosted.Window(), &pixels);
    std::vector<std::uint8_t> jpeg;
    {
        std::lock_guard<std::mutex> guard(record.FrameLock);
        jpeg.assign(record.FrameBuffer, record.FrameBuffer + record.FrameLength);
    }
    fps = calls.GetDouble("FrameRate");
    const std::string status = StatusLine(record, fps);
    hosted = container::HostedControl();

    if (!WriteWindowPicture(out_path, pixels, &error) ||
        (!jpeg_path.empty() && !WriteOutputFile(jpeg_path, jpeg, &error))) {
        std::fprintf(stderr, "quorlina snapshot: %s\n", error.c_str());
        return 1;
    }
    // With a file on standard output, what is said goes to the error stream.
    FILE* said = out_path == "-" || jpeg_path == "-" ? stderr : stdout;
    std::fprintf(said, "%s\n", status.c_str());
    std::fprintf(said, "wrote %s (%dx%d window on a %d-bit screen)\n", out_path.c_str(), pixels.width,
                pixels.height, picture.depth);
    return 0;
}

const SubcommandRegistrar kRegistrar{
    {"snapshot", "play a camera and write the control window's picture as BMP", &Snapshot}};

}  // namespace
}  // namespace apps
