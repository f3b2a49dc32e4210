// Decoder figures image by image, each measured against libjpeg-turbo in the same loop: every
// iteration decodes the same bytes once with DecodeJpeg and once with tjDecompress2 (accurate DCT,
// replicated upsampling, bottom-up BGR), so both see the same machine load and the ratio holds
// even when the absolute figures drift. Times are the thread's CPU time, so that time slices
// given to other processes on a shared machine do not count. Below those, the decoder's kernels one by one.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/camera/device_model.h"
#include "apps/camera/picture.h"
#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"
#include "image/jpeg_idct.h"
#include "image/jpeg_simd.h"

namespace {

enum class Scene { kCamera, kNoisy };

// The simulated camera's test picture: bars, panel text, ticker.
std::vector<std::uint8_t> CameraPicture(int width, int height) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    camera::DeviceState state;
    camera::ClockFields clock{2024, 5, 17, 12, 34, 56, 5};
    camera::RenderTestPicture(rgb, width, height, 100, state, clock);
    return rgb;
}

// The natural picture ffmpeg made for jpeg_bench (QUORLINA_BENCH_PICTURES/natural-WxH.rgb), so
// that both benchmarks measure the same bytes; empty when it is not there.
std::vector<std::uint8_t> NaturalPicture(int width, int height) {
    std::vector<std::uint8_t> rgb;
    const char* dir = std::getenv("QUORLINA_BENCH_PICTURES");
    if (dir == nullptr) return rgb;
    const std::string path = std::string(dir) + "/natural-" + std::to_string(width) + "x" +
                             std::to_string(height) + ".rgb";
    std::ifstream in(path, std::ios::binary);
    rgb.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3)
        rgb.clear();
    return rgb;
}

// A natural-looking picture: ffmpeg's when there is one, else a coloured Mandelbrot set with
// sensor-like noise on every sample, so that the entropy-coded data carry many coefficients per
// block.
std::vector<std::uint8_t> NoisyPicture(int width, int height) {
    if (std::vector<std::uint8_t> natural = NaturalPicture(width, height); !natural.empty())
        return natural;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t noise = 987654321u;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double cx = -2.2 + 3.0 * x / width, cy = -1.2 + 2.4 * y / height;
            double zx = 0, zy = 0;
            int n = 0;
            for (; n < 64 && zx * zx + zy * zy < 4; ++n) {
                const double t = zx * zx - zy * zy + cx;
                zy = 2 * zx * zy + cy;
                zx = t;
            }
            const double v = n / 64.0;
            const double level[3] = {128 + 120 * std::sin(6.0 * v + 0.5),
                                     128 + 120 * std::sin(9.0 * v + 2.0),
                                     128 + 120 * std::sin(4.0 * v + 4.0)};
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            for (int c = 0; c < 3; ++c) {
                noise = noise * 1664525u + 1013904223u;
                const double grain = static_cast<double>(noise >> 24) / 255.0 - 0.5;
                p[c] = static_cast<std::uint8_t>(
                    std::lround(std::fmin(std::fmax(level[c] + grain * 24, 0.0), 255.0)));
            }
        }
    }
    return rgb;
}

struct Case {
    const char* name;
    int width, height, subsampling, quality, flags;
};

constexpr Case kCases[] = {
    {"640x480_420_q75", 640, 480, TJSAMP_420, 75, 0},
    {"640x480_444_q90", 640, 480, TJSAMP_444, 90, 0},
    {"640x480_grey_q75", 640, 480, TJSAMP_GRAY, 75, 0},
    {"640x480_progressive_420_q75", 640, 480, TJSAMP_420, 75, TJFLAG_PROGRESSIVE},
    {"1280x720_420_q85", 1280, 720, TJSAMP_420, 85, 0},
};

std::vector<std::uint8_t> Compress(const Case& c, Scene scene) {
    const std::vector<std::uint8_t> rgb = scene == Scene::kCamera ? CameraPicture(c.width, c.height)
                                                                  : NoisyPicture(c.width, c.height);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (handle == nullptr ||
        tjCompress2(handle, rgb.data(), c.width, 0, c.height, TJPF_RGB, &out, &size, c.subsampling,
                    c.quality, c.flags | TJFLAG_ACCURATEDCT) != 0) {
        std::fprintf(stderr, "TurboJPEG compression failed\n");
        std::exit(1);
    }
    std::vector<std::uint8_t> bytes(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

// The calling thread's CPU time.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::nanoseconds;
    static time_point now() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    }
};

// args: case index, scene (0 camera, 1 noisy), 1 to force the portable kernels.
void DecodeSideBySide(benchmark::State& state) {
    const Case& c = kCases[state.range(0)];
    const Scene scene = state.range(1) == 0 ? Scene::kCamera : Scene::kNoisy;
    const bool portable = state.range(2) != 0;
    const std::vector<std::uint8_t> bytes = Compress(c, scene);
    const bool grey = c.subsampling == TJSAMP_GRAY;
    image::ImageBuffer target{};
    if (image::AllocImage(&target, c.width, c.height, grey ? 8 : 24) != image::kImageOk) {
        state.SkipWithError("AllocImage failed");
        return;
    }
    tjhandle handle = tjInitDecompress();
    const int pitch = (c.width * (grey ? 1 : 3) + 3) & ~3;
    std::vector<unsigned char> out(static_cast<std::size_t>(pitch) * c.height);
    image::jpeg::ForcePortableKernels(portable);
    Clock::duration ours{}, turbo{};
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        if (image::DecodeJpeg(bytes.data(), bytes.size(), &target) != image::kImageOk) {
            state.SkipWithError("DecodeJpeg failed");
            break;
        }
        const Clock::time_point t1 = Clock::now();
        if (tjDecompress2(handle, bytes.data(), bytes.size(), out.data(), c.width, pitch, c.height,
                          grey ? TJPF_GRAY : TJPF_BGR,
                          TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE | TJFLAG_BOTTOMUP) != 0) {
            state.SkipWithError(tjGetErrorStr2(handle));
            break;
        }
        const Clock::time_point t2 = Clock::now();
        ours += t1 - t0;
        turbo += t2 - t1;
        benchmark::DoNotOptimize(target.Bits[0]);
        benchmark::DoNotOptimize(out[0]);
    }
    image::jpeg::ForcePortableKernels(false);
    tjDestroy(handle);
    image::FreeImage(&target);
    const double pixels = static_cast<double>(c.width) * c.height * state.iterations();
    const double ours_s = std::chrono::duration<double>(ours).count();
    const double turbo_s = std::chrono::duration<double>(turbo).count();
    if (ours_s > 0 && turbo_s > 0) {
        state.counters["ours_Mpx/s"] = pixels / ours_s / 1e6;
        state.counters["turbo_Mpx/s"] = pixels / turbo_s / 1e6;
        state.counters["ratio"] = turbo_s / ours_s;
    }
    state.counters["KB"] = static_cast<double>(bytes.size()) / 1000;
    state.SetLabel(std::string(scene == Scene::kCamera ? "camera " : "noisy ") + c.name +
                   (portable ? " portable" : ""));
}

void AllCases(benchmark::internal::Benchmark* b) {
    for (int portable = 0; portable < 2; ++portable)
        for (int scene = 0; scene < 2; ++scene)
            for (int i = 0; i < static_cast<int>(std::size(kCases)); ++i)
                b->Args({i, scene, portable});
}

// Inverse DCT of one block with many coefficients (arg 1) or few (arg 0), fast or portable.
void InverseDctKernel(benchmark::State& state) {
    const bool dense = state.range(0) != 0;
    const bool portable = state.range(1) != 0;
    alignas(16) std::int16_t block[64] = {};
    std::uint32_t noise = 1;
    for (int k = 0; k < 64; ++k) {
        noise = noise * 1664525u + 1013904223u;
        if (dense || (k % 8 < 3 && k / 8 < 3))
            block[k] = static_cast<std::int16_t>(static_cast<int>(noise >> 24) - 128);
    }
    alignas(16) std::uint8_t out[64];
    for (auto _ : state) {
        if (portable)
            image::jpeg::InverseDctPortable(block, out, 8);
        else
            image::jpeg::InverseDct(block, out, 8);
        benchmark::DoNotOptimize(out[0]);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::string(dense ? "dense" : "3x3") + (portable ? " portable" : " fast"));
}

}  // namespace

BENCHMARK(DecodeSideBySide)->Apply(AllCases)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(InverseDctKernel)->ArgsProduct({{0, 1}, {0, 1}});

BENCHMARK_MAIN();
