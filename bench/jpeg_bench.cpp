// Decode and resize throughput in megapixels per second. Our DecodeJpeg runs side by side with
// libjpeg-turbo's tjDecompress2 (accurate DCT, fast upsampling, bottom-up BGR, or grey for a grey
// frame: the same output) on the same bytes, for the simulated camera's test picture and for a
// noisy natural-looking picture that scripts/bench.sh makes with ffmpeg before the run. The
// decode margin against libjpeg-turbo is measured decode by decode in one loop (see DecodeMargin),
// because the two separate Decode figures drift apart on a machine shared with other work.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
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
#include "image/resize.h"

namespace {

// The largest part the HTTP stream takes; a frame above it is never shown.
constexpr std::size_t kPartLimitBytes = 140000;

struct Encoding {
    const char* name;
    int width;
    int height;
    int subsampling;
    int quality;
    int flags;
};

const Encoding kEncodings[] = {
    {"640x480_420_q75", 640, 480, TJSAMP_420, 75, 0},
    {"640x480_444_q90", 640, 480, TJSAMP_444, 90, 0},
    {"640x480_grey_q75", 640, 480, TJSAMP_GRAY, 75, 0},
    {"640x480_progressive_420_q75", 640, 480, TJSAMP_420, 75, TJFLAG_PROGRESSIVE},
    {"1280x720_420_q85", 1280, 720, TJSAMP_420, 85, 0},
};

// Packed RGB of a picture kind at a size; empty when the natural picture was not made.
std::vector<std::uint8_t> PictureRgb(const std::string& kind, int width, int height) {
    std::vector<std::uint8_t> rgb;
    if (kind == "camera") {
        camera::DeviceState state;
        state.pan = 40;
        state.tilt = 20;
        camera::RenderTestPicture(rgb, width, height, 123, state, camera::ClockFields{});
        return rgb;
    }
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

std::vector<std::uint8_t> Compress(const std::vector<std::uint8_t>& rgb, const Encoding& e) {
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    std::vector<std::uint8_t> jpeg;
    if (handle != nullptr &&
        tjCompress2(handle, rgb.data(), e.width, 0, e.height, TJPF_RGB, &out, &size, e.subsampling,
                    e.quality, e.flags | TJFLAG_ACCURATEDCT) == 0)
        jpeg.assign(out, out + size);
    tjFree(out);
    if (handle != nullptr) tjDestroy(handle);
    return jpeg;
}

void SetCounters(benchmark::State& state, const Encoding& e, std::size_t bytes) {
    state.counters["Mpx_per_s"] = benchmark::Counter(
        e.width * e.height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["bits_per_px"] = static_cast<double>(bytes) * 8 / (e.width * e.height);
    state.counters["fits_part_limit"] = bytes <= kPartLimitBytes ? 1 : 0;
}

// The picture block our decoder writes into, sized from the picture's header; false (with the
// benchmark skipped and why) when there is no picture or it cannot be read or held.
bool AllocTarget(benchmark::State& state, const std::vector<std::uint8_t>& jpeg,
                 image::ImageBuffer* target) {
    if (jpeg.empty()) {
        state.SkipWithError("no picture (run through scripts/bench.sh, which makes it)");
        return false;
    }
    image::JpegInfo info{};
    if (image::ReadJpegInfo(jpeg.data(), jpeg.size(), &info) != image::kImageOk ||
        image::AllocImage(target, info.Width, info.Height, info.BitsPerPixel) != image::kImageOk) {
        state.SkipWithError("header or allocation failed");
        return false;
    }
    return true;
}

void OurDecode(benchmark::State& state, const std::vector<std::uint8_t>& jpeg, const Encoding& e) {
    image::ImageBuffer target{};
    if (!AllocTarget(state, jpeg, &target)) return;
    for (auto _ : state) {
        if (image::DecodeJpeg(jpeg.data(), jpeg.size(), &target) != image::kImageOk) {
            state.SkipWithError("DecodeJpeg failed");
            break;
        }
        benchmark::DoNotOptimize(target.Bits[0]);
    }
    image::FreeImage(&target);
    SetCounters(state, e, jpeg.size());
}

void TurboDecode(benchmark::State& state, const std::vector<std::uint8_t>& jpeg,
                 const Encoding& e) {
    if (jpeg.empty()) {
        state.SkipWithError("no picture (run through scripts/bench.sh, which makes it)");
        return;
    }
    const bool grey = e.subsampling == TJSAMP_GRAY;
    const int channels = grey ? 1 : 3;
    const int pitch = (e.width * channels + 3) & ~3;
    std::vector<unsigned char> out(static_cast<std::size_t>(pitch) * e.height);
    tjhandle handle = tjInitDecompress();
    for (auto _ : state) {
        if (tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), e.width, pitch, e.height,
                          grey ? TJPF_GRAY : TJPF_BGR,
                          TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE | TJFLAG_BOTTOMUP) != 0) {
            state.SkipWithError(tjGetErrorStr2(handle));
            break;
        }
        benchmark::DoNotOptimize(out[0]);
    }
    tjDestroy(handle);
    SetCounters(state, e, jpeg.size());
}

// The calling thread's CPU time: time slices given to other processes do not count.
double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The value at fraction p of the way through sorted figures (nearest rank below).
double Quantile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))];
}

constexpr int kMarginWarmUpPairs = 50;
constexpr int kMarginPairs = 1000;

// One iteration is one pair: a DecodeJpeg and a tjDecompress2 of the same bytes, each timed with
// the thread's CPU clock, ours first in even pairs and TurboJPEG first in odd ones, so that
// neither always finds the caches as the other left them. Both see the same machine load within
// a pair, so the per-pair ratio (TurboJPEG's time over ours: how many times faster ours is) holds
// where the two separate Decode figures drift; its median and quartiles are the figures.
void DecodeMargin(benchmark::State& state, const std::vector<std::uint8_t>& jpeg,
                  const Encoding& e) {
    image::ImageBuffer target{};
    if (!AllocTarget(state, jpeg, &target)) return;
    const int pitch = (e.width * 3 + 3) & ~3;
    std::vector<unsigned char> out(static_cast<std::size_t>(pitch) * e.height);
    tjhandle handle = tjInitDecompress();
    // Seconds of CPU for one decode, or a negative value when it failed.
    auto ours = [&] {
        const double t0 = ThreadCpuSeconds();
        if (image::DecodeJpeg(jpeg.data(), jpeg.size(), &target) != image::kImageOk) return -1.0;
        benchmark::DoNotOptimize(target.Bits[0]);
        return ThreadCpuSeconds() - t0;
    };
    auto turbo = [&] {
        const double t0 = ThreadCpuSeconds();
        if (tjDecompress2(handle, jpeg.data(), jpeg.size(), out.data(), e.width, pitch, e.height,
                          TJPF_BGR,
                          TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE | TJFLAG_BOTTOMUP) != 0)
            return -1.0;
        benchmark::DoNotOptimize(out[0]);
        return ThreadCpuSeconds() - t0;
    };
    // The message of the decode that failed, or nullptr.
    auto failure = [&](double our_time, double turbo_time) -> const char* {
        if (our_time < 0) return "DecodeJpeg failed";
        if (turbo_time < 0) return tjGetErrorStr2(handle);
        return nullptr;
    };
    const char* failed = nullptr;
    for (int i = 0; i < kMarginWarmUpPairs && failed == nullptr; ++i)
        failed = failure(ours(), turbo());
    std::vector<double> our_s, turbo_s, ratio;
    std::size_t pair = 0;
    for (auto _ : state) {
        if (failed != nullptr) break;
        double a = 0, b = 0;
        if (pair++ % 2 == 0) {
            a = ours();
            b = turbo();
        } else {
            b = turbo();
            a = ours();
        }
        failed = failure(a, b);
        if (failed != nullptr) break;
        our_s.push_back(a);
        turbo_s.push_back(b);
        if (a > 0) ratio.push_back(b / a);
    }
    if (failed != nullptr) state.SkipWithError(failed);
    tjDestroy(handle);
    image::FreeImage(&target);
    if (failed != nullptr || ratio.empty()) return;
    std::sort(our_s.begin(), our_s.end());
    std::sort(turbo_s.begin(), turbo_s.end());
    std::sort(ratio.begin(), ratio.end());
    state.counters["ratio"] = Quantile(ratio, 0.5);
    state.counters["ratio_q1"] = Quantile(ratio, 0.25);
    state.counters["ratio_q3"] = Quantile(ratio, 0.75);
    state.counters["ours_cpu_ms"] = Quantile(our_s, 0.5) * 1e3;
    state.counters["turbo_cpu_ms"] = Quantile(turbo_s, 0.5) * 1e3;
    state.counters["pairs"] = static_cast<double>(ratio.size());
}

struct ResizeCase {
    int from_width, from_height, to_width, to_height;
};
const ResizeCase kResizes[] = {{320, 240, 640, 480}, {640, 480, 320, 240}, {640, 480, 700, 300}};

void Resize(benchmark::State& state, const ResizeCase& r, int method) {
    std::vector<std::uint8_t> rgb = PictureRgb("camera", r.from_width, r.from_height);
    image::ImageBuffer source{}, target{};
    if (image::AllocImage(&source, r.from_width, r.from_height, 24) != image::kImageOk ||
        image::AllocImage(&target, r.to_width, r.to_height, 24) != image::kImageOk) {
        state.SkipWithError("AllocImage failed");
        return;
    }
    for (int y = 0; y < r.from_height; ++y)
        for (int x = 0; x < r.from_width; ++x)
            for (int c = 0; c < 3; ++c)
                source.Bits[image::PixelOffset(source, static_cast<std::uint32_t>(x),
                                               static_cast<std::uint32_t>(y)) +
                            static_cast<std::uint32_t>(c)] =
                    rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(r.from_width) +
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
    state.counters["Mpx_per_s"] = benchmark::Counter(
        r.to_width * r.to_height / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void RegisterAll() {
    for (const char* kind : {"camera", "natural"}) {
        for (const Encoding& e : kEncodings) {
            const std::vector<std::uint8_t> rgb = PictureRgb(kind, e.width, e.height);
            const std::vector<std::uint8_t> jpeg = rgb.empty() ? rgb : Compress(rgb, e);
            const std::string suffix = std::string(kind) + "/" + e.name;
            benchmark::RegisterBenchmark(("Decode/ours/" + suffix).c_str(), OurDecode, jpeg, e)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.5);
            benchmark::RegisterBenchmark(("Decode/turbo/" + suffix).c_str(), TurboDecode, jpeg, e)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.5);
        }
    }
    {
        // The picture of the decoder's speed goal: natural, 640x480, 4:2:0, quality 75.
        const Encoding& e = kEncodings[0];
        const std::vector<std::uint8_t> rgb = PictureRgb("natural", e.width, e.height);
        const std::vector<std::uint8_t> jpeg = rgb.empty() ? rgb : Compress(rgb, e);
        benchmark::RegisterBenchmark("DecodeMargin/natural/640x480_420", DecodeMargin, jpeg, e)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(kMarginPairs);
    }
    for (const ResizeCase& r : kResizes) {
        for (int method : {0, 1}) {
            char name[96];
            std::snprintf(name, sizeof name, "Resize/%dx%d_to_%dx%d/%s", r.from_width,
                          r.from_height, r.to_width, r.to_height,
                          method == 0 ? "nearest" : "smooth");
            benchmark::RegisterBenchmark(name, Resize, r, method)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.3);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
