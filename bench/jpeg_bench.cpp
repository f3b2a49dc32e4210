// Decode and resize throughput in megapixels per second. Our DecodeJpeg runs side by side with
// libjpeg-turbo's tjDecompress2 (accurate DCT, replicated upsampling, bottom-up BGR: the same
// output) on the same bytes; the pictures are made at start-up from a synthetic scene with
// TurboJPEG, so the run needs no files.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"
#include "image/resize.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// A scene with smooth gradients, soft shapes, fine texture and a few hard edges, so that the
// entropy-coded data have the mix of a camera picture rather than of flat colour or noise.
std::vector<std::uint8_t> Scene(int width, int height) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) *
                                  static_cast<std::size_t>(height) * 3);
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const double grain = static_cast<double>(noise >> 24) / 255.0 - 0.5;
            const double fx = x / static_cast<double>(width), fy = y / static_cast<double>(height);
            const double sky = 0.6 - 0.4 * fy;
            const double hill = std::sin(fx * 9.0 + std::sin(fy * 4.0)) * 0.15;
            const double dx = fx - 0.65, dy = fy - 0.45;
            const double sun = std::exp(-(dx * dx + dy * dy) * 40.0);
            const bool house = fx > 0.15 && fx < 0.35 && fy > 0.55 && fy < 0.85;
            const double bricks = house && ((y / 6 + (x / 14) % 2) % 2 == 0) ? 0.2 : 0.0;
            double r = sky * 0.5 + sun * 0.6 + hill + grain * 0.08 + (house ? 0.35 + bricks : 0);
            double g =
                sky * 0.7 + sun * 0.5 + hill * 1.5 + grain * 0.08 + (house ? 0.15 + bricks : 0);
            double b = sky * 1.0 + sun * 0.2 - hill + grain * 0.08 + (house ? 0.1 : 0);
            auto level = [](double v) {
                return static_cast<std::uint8_t>(
                    std::lround(std::fmin(std::fmax(v, 0.0), 1.0) * 255));
            };
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                    static_cast<std::size_t>(x)) *
                                   3];
            p[0] = level(r);
            p[1] = level(g);
            p[2] = level(b);
        }
    }
    return rgb;
}

struct Jpeg {
    std::vector<std::uint8_t> bytes;
};

Jpeg Compress(int subsampling, int quality, int flags) {
    static const std::vector<std::uint8_t> scene = Scene(kWidth, kHeight);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (handle == nullptr ||
        tjCompress2(handle, scene.data(), kWidth, 0, kHeight, TJPF_RGB, &out, &size, subsampling,
                    quality, flags | TJFLAG_ACCURATEDCT) != 0) {
        std::fprintf(stderr, "TurboJPEG compression failed\n");
        std::exit(1);
    }
    Jpeg jpeg{std::vector<std::uint8_t>(out, out + size)};
    tjFree(out);
    tjDestroy(handle);
    return jpeg;
}

const Jpeg& Picture(int which) {
    static const Jpeg pictures[] = {Compress(TJSAMP_420, 75, 0), Compress(TJSAMP_444, 90, 0),
                                    Compress(TJSAMP_420, 75, TJFLAG_PROGRESSIVE)};
    return pictures[which];
}

const char* const kPictureNames[] = {"420_q75", "444_q90", "progressive_420_q75"};

void SetRate(benchmark::State& state, int pixels) {
    state.counters["Mpx"] =
        benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void OurDecode(benchmark::State& state) {
    const Jpeg& jpeg = Picture(static_cast<int>(state.range(0)));
    image::ImageBuffer target{};
    if (image::AllocImage(&target, kWidth, kHeight, 24) != image::kImageOk) {
        state.SkipWithError("AllocImage failed");
        return;
    }
    for (auto _ : state) {
        if (image::DecodeJpeg(jpeg.bytes.data(), jpeg.bytes.size(), &target) != image::kImageOk) {
            state.SkipWithError("DecodeJpeg failed");
            break;
        }
        benchmark::DoNotOptimize(target.Bits[0]);
    }
    image::FreeImage(&target);
    state.SetLabel(kPictureNames[state.range(0)]);
    SetRate(state, kWidth * kHeight);
    state.counters["bits/px"] = static_cast<double>(jpeg.bytes.size()) * 8 / (kWidth * kHeight);
}

void TurboDecode(benchmark::State& state) {
    const Jpeg& jpeg = Picture(static_cast<int>(state.range(0)));
    tjhandle handle = tjInitDecompress();
    const int pitch = (kWidth * 3 + 3) & ~3;
    std::vector<unsigned char> out(static_cast<std::size_t>(pitch) * kHeight);
    for (auto _ : state) {
        if (tjDecompress2(handle, jpeg.bytes.data(), jpeg.bytes.size(), out.data(), kWidth, pitch,
                          kHeight, TJPF_BGR,
                          TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE | TJFLAG_BOTTOMUP) != 0) {
            state.SkipWithError(tjGetErrorStr2(handle));
            break;
        }
        benchmark::DoNotOptimize(out[0]);
    }
    tjDestroy(handle);
    state.SetLabel(kPictureNames[state.range(0)]);
    SetRate(state, kWidth * kHeight);
}

// Resize 320 x 240 -> 640 x 480 of a decoded picture, method 0 (nearest) or 1 (smooth:
// bilinear when enlarging); and 640 x 480 -> 320 x 240 smooth (block averaging).
void Resize(benchmark::State& state) {
    const bool shrink = state.range(1) != 0;
    const int method = static_cast<int>(state.range(0));
    const int source_width = shrink ? 640 : 320, source_height = shrink ? 480 : 240;
    const int target_width = shrink ? 320 : 640, target_height = shrink ? 240 : 480;
    const std::vector<std::uint8_t> scene = Scene(source_width, source_height);
    image::ImageBuffer source{}, target{};
    if (image::AllocImage(&source, source_width, source_height, 24) != image::kImageOk ||
        image::AllocImage(&target, target_width, target_height, 24) != image::kImageOk) {
        state.SkipWithError("AllocImage failed");
        return;
    }
    for (int y = 0; y < source_height; ++y)
        for (int x = 0; x < source_width; ++x)
            for (int c = 0; c < 3; ++c)
                source.Bits[image::PixelOffset(source, static_cast<std::uint32_t>(x),
                                               static_cast<std::uint32_t>(y)) +
                            c] =
                    scene[(static_cast<std::size_t>(y) * static_cast<std::size_t>(source_width) +
                           static_cast<std::size_t>(x)) *
                              3 +
                          static_cast<std::size_t>(2 - c)];
    for (auto _ : state) {
        if (image::ResizeImage(&source, &target, method) != image::kImageOk) {
            state.SkipWithError("ResizeImage failed");
            break;
        }
        benchmark::DoNotOptimize(target.Bits[0]);
    }
    image::FreeImage(&source);
    image::FreeImage(&target);
    state.SetLabel(method == 0 ? "nearest" : shrink ? "block average" : "bilinear");
    SetRate(state, target_width * target_height);
}

}  // namespace

BENCHMARK(OurDecode)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(TurboDecode)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(Resize)->Args({0, 0})->Args({1, 0})->Args({1, 1})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
