// Decode and resize throughput in megapixels per second. Our DecodeJpeg runs side by side with
// libjpeg-turbo's tjDecompress2 (accurate DCT, fast upsampling, bottom-up BGR, or grey for a grey
// frame: the same output) on the same bytes, for the simulated camera's test picture and for a
// noisy natural-looking picture that scripts/bench.sh makes with ffmpeg before the run.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

void OurDecode(benchmark::State& state, const std::vector<std::uint8_t>& jpeg, const Encoding& e) {
    if (jpeg.empty()) {
        state.SkipWithError("no picture (run through scripts/bench.sh, which makes it)");
        return;
    }
    image::JpegInfo info{};
    image::ImageBuffer target{};
    if (image::ReadJpegInfo(jpeg.data(), jpeg.size(), &info) != image::kImageOk ||
        image::AllocImage(&target, info.Width, info.Height, info.BitsPerPixel) != image::kImageOk) {
        state.SkipWithError("header or allocation failed");
        return;
    }
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
