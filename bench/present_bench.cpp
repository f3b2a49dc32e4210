// Cost of presenting one 640x480 camera frame (decode, resize, paint into the window) at zoom 1
// and 2 on 32- and 8-bit screens for each display mode, and the share of one core a 25 fps
// stream of such frames takes. The frame is the simulated camera's test picture at quality 75.
#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

#include "apps/camera/picture.h"
#include "control/quorlina.h"
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
    const double cpu_per_frame = (ThreadCpuSeconds() - cpu0) / static_cast<double>(state.iterations());
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

}  // namespace

BENCHMARK_MAIN();
