// Cost of presenting one 640x480 camera frame (decode, resize, paint into the window) at zoom 1
// and 2 on 32- and 8-bit screens for each display mode, and the share of one core a 25 fps
// stream of such frames takes. The frame is the simulated camera's test picture at quality 75.
// Then the palette screens' part alone: a decoded 640x480 frame shown on an 8-bit screen in each
// display mode (and on a 32-bit screen for comparison), for the camera's picture and, when
// QUORLINA_BENCH_PICTURES holds it, the natural-looking picture of scripts/bench.sh.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/camera/picture.h"
#include "control/quorlina.h"
#include "image/display.h"
#include "image/jpeg_decoder.h"
#include "platform/gdi.h"
#include "platform/window.h"
#include "stream/present_frame.h"

namespace {

constexpr int kFrameWidth = 640;
constexpr int kFrameHeight = 480;
constexpr int kJpegQuality = 75;
constexpr double kStreamFps = 25;

double ThreadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Arguments: screen depth, zoom, display mode, resize mode.
void BM_PresentFrame(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    camera::PictureSource source(kFrameWidth, kFrameHeight, kJpegQuality);
    std::string error;
    if (!source.Init(&error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const camera::JpegBytes jpeg = source.Frame(1, camera::DeviceState{}, camera::ClockFields{});
    const platform::HWND screen = platform::CreateScreen(kFrameWidth, kFrameHeight, depth);
    auto* c = new control::CQuorlina();
    c->CreateControlWindow(screen, platform::RECT{0, 0, kFrameWidth, kFrameHeight});
    c->PreviewWidth = kFrameWidth;
    c->PreviewHeight = kFrameHeight;
    c->ZoomFactor = static_cast<std::int32_t>(state.range(1));
    c->DisplayMethod = static_cast<std::int32_t>(state.range(2));
    c->ResizeMethod = static_cast<std::int32_t>(state.range(3));
    stream::StoreFrame(*c, jpeg->data(), static_cast<int>(jpeg->size()));
    int result = 0;
    const double cpu0 = ThreadCpuSeconds();
    for (auto _ : state) result |= stream::PresentFrame(*c, 0);
    const double cpu_per_frame =
        (ThreadCpuSeconds() - cpu0) / static_cast<double>(state.iterations());
    if (result != 0) state.SkipWithError("the frame was not presented");
    state.counters["cpu_ms_per_frame"] = cpu_per_frame * 1e3;
    state.counters["core_share_at_25fps"] = cpu_per_frame * kStreamFps;
    c->Destroy();
    platform::DestroyWindow(screen);
}

void Arguments(benchmark::internal::Benchmark* b) {
    b->ArgNames({"depth", "zoom", "display", "resize"});
    for (int zoom : {1, 2}) {
        b->Args({32, zoom, 0, 0});
        for (int display : {0, 1, 2}) b->Args({8, zoom, display, 0});
    }
    b->Args({32, 2, 0, 1});
    b->Args({8, 2, 2, 1});
}

BENCHMARK(BM_PresentFrame)->Apply(Arguments)->Unit(benchmark::kMillisecond)->MinTime(0.5);

// The picture a palette screen is given: the camera's decoded test frame, or the natural picture
// as raw RGB from QUORLINA_BENCH_PICTURES. False when it is not to be had.
bool LoadPicture(bool natural, image::ImageBuffer* picture, std::string* error) {
    if (image::AllocImage(picture, kFrameWidth, kFrameHeight, 24) != image::kImageOk) {
        *error = "no memory";
        return false;
    }
    if (natural) {
        const char* dir = std::getenv("QUORLINA_BENCH_PICTURES");
        std::vector<char> rgb;
        if (dir != nullptr) {
            std::ifstream in(std::string(dir) + "/natural-640x480.rgb", std::ios::binary);
            rgb.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        if (rgb.size() != static_cast<std::size_t>(kFrameWidth) * kFrameHeight * 3) {
            *error = "no natural picture (run through scripts/bench.sh)";
            return false;
        }
        for (int y = 0; y < kFrameHeight; ++y) {
            std::uint8_t* out = picture->Bits + image::PixelOffset(*picture, 0, y);
            const char* in = rgb.data() + static_cast<std::size_t>(y) * kFrameWidth * 3;
            for (int x = 0; x < kFrameWidth; ++x) {
                out[3 * x] = static_cast<std::uint8_t>(in[3 * x + 2]);
                out[3 * x + 1] = static_cast<std::uint8_t>(in[3 * x + 1]);
                out[3 * x + 2] = static_cast<std::uint8_t>(in[3 * x]);
            }
        }
        return true;
    }
    camera::PictureSource source(kFrameWidth, kFrameHeight, kJpegQuality);
    if (!source.Init(error)) return false;
    const camera::JpegBytes jpeg = source.Frame(1, camera::DeviceState{}, camera::ClockFields{});
    if (image::DecodeJpeg(jpeg->data(), jpeg->size(), picture) != image::kImageOk) {
        *error = "the camera's frame does not decode";
        return false;
    }
    return true;
}

// Arguments: screen depth, display mode, natural picture (0 or 1).
void BM_PaletteScreen(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    const int mode = static_cast<int>(state.range(1));
    image::ImageBuffer picture{};
    std::string error;
    if (!LoadPicture(state.range(2) != 0, &picture, &error)) {
        image::FreeImage(&picture);
        state.SkipWithError(error.c_str());
        return;
    }
    // Frames alternate with a copy one level brighter, as a live stream's differ: each frame's
    // adaptive palette is then a new one, and nothing worked out for the frame before applies.
    image::ImageBuffer brighter{};
    if (image::AllocImage(&brighter, kFrameWidth, kFrameHeight, 24) != image::kImageOk) {
        image::FreeImage(&picture);
        state.SkipWithError("no memory for the second frame");
        return;
    }
    for (int y = 0; y < kFrameHeight; ++y) {
        const std::uint8_t* in = picture.Bits + image::PixelOffset(picture, 0, y);
        std::uint8_t* out = brighter.Bits + image::PixelOffset(brighter, 0, y);
        for (int x = 0; x < 3 * kFrameWidth; ++x)
            out[x] = static_cast<std::uint8_t>(in[x] == 255 ? 255 : in[x] + 1);
    }
    image::ImageBuffer* const frames[2] = {&picture, &brighter};
    const platform::HWND screen = platform::CreateScreen(kFrameWidth, kFrameHeight, depth);
    const platform::HDC dc = platform::GetDC(screen);
    image::ImageBuffer reduced{};
    int result = 0;
    std::size_t shown = 0;
    for (auto _ : state) {
        platform::HPALETTE palette = nullptr;
        result |= image::DisplayImageReusing(screen, dc, &palette, 0, 0, frames[shown++ % 2], 0, 0,
                                             mode, &reduced);
        if (palette != nullptr) platform::DeleteObject(palette);
    }
    if (result != 0) state.SkipWithError("the picture was not shown");
    image::FreeImage(&reduced);
    image::FreeImage(&brighter);
    platform::ReleaseDC(screen, dc);
    platform::DestroyWindow(screen);
    image::FreeImage(&picture);
}
BENCHMARK(BM_PaletteScreen)
    ->ArgNames({"depth", "display", "natural"})
    ->ArgsProduct({{8}, {0, 1, 2}, {0, 1}})
    ->Args({32, 0, 0})
    ->Args({32, 0, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);

}  // namespace

BENCHMARK_MAIN();
