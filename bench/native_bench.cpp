// How fast the native stream goes on loopback with no pacing (N = 0), against the simulated
// camera at 320x240 and 640x480: the round trip of one "0110" exchange on its own, and the
// frames per second the stream thread takes and presents. Presentation is whatever the frame
// presenter does at the time (decoding included once the picture pipeline is in).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "apps/camera/camera.h"
#include "device/native_protocol.h"
#include "device/native_stream.h"
#include "platform/kernel.h"

namespace {

constexpr int kTimeoutSeconds = 3;
constexpr std::uint32_t kStreamRunMs = 2000;
constexpr std::uint32_t kFirstFrameMs = 5000;

std::unique_ptr<camera::Camera> StartCamera(int width, int height) {
    camera::CameraConfig config;
    config.native_port = 0;
    config.width = width;
    config.height = height;
    // Unpaced, one picture encoded once: a camera answers each request as it comes, so the
    // figures are the control's and not the camera's capture rate.
    config.fps = 0;
    config.still = true;
    config.pace = 0;
    auto cam = std::make_unique<camera::Camera>(config);
    std::string error;
    if (!cam->Start(&error)) return nullptr;
    return cam;
}

// One frame request and its reply per iteration on a connection of the benchmark's own.
void BM_NativeFrameRoundTrip(benchmark::State& state) {
    auto cam = StartCamera(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (!cam) {
        state.SkipWithError("camera did not start");
        return;
    }
    net::SocketClient link;
    std::uint8_t block[device::kBlockBufferBytes] = {};
    if (link.Connect(cam->NativePort(), "127.0.0.1", kTimeoutSeconds, net::kAfInet,
                     net::kSockStream) != net::SocketOk ||
        device::OpenSession(link, device::StatusRead::kOneReceive, device::LoginSettings{},
                            kTimeoutSeconds, block) != device::NativeResult::kOk) {
        state.SkipWithError("no native session");
        return;
    }
    std::vector<std::uint8_t> buffer(device::kReceiveBufferBytes);
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const device::FrameReply reply = device::RequestFrame(link, kTimeoutSeconds, buffer.data());
        if (reply.result != device::NativeResult::kOk) {
            state.SkipWithError(device::to_string(reply.result));
            break;
        }
        bytes += reply.length;
    }
    link.Send(device::kGoodbye, device::kStatusBytes);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
    state.counters["jpeg_bytes"] =
        state.iterations() > 0 ? static_cast<double>(bytes) / state.iterations() : 0;
}

class BenchControl : public control::ControlState {};

// The stream thread for a fixed time; frames per second as the thread presented them.
void BM_NativeStreamThread(benchmark::State& state) {
    auto cam = StartCamera(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (!cam) {
        state.SkipWithError("camera did not start");
        return;
    }
    double fps = 0;
    for (auto _ : state) {
        auto* c = new BenchControl();
        c->HostName.Set("127.0.0.1");
        c->RemotePort = cam->NativePort();
        c->StreamMode = control::kStreamNative;
        c->PlayState = control::Playing;
        c->ThreadRunning = 1;
        c->StartWorker(&device::RunNativeStream);
        // Counted from the first frame on, so connecting is not part of the figure.
        const platform::Tick start = platform::GetTickCount();
        while (c->FramesPresented.load() == 0 && platform::GetTickCount() - start < kFirstFrameMs)
            platform::Sleep(1);
        const std::uint32_t first = c->FramesPresented.load();
        const platform::Tick t0 = platform::GetTickCount();
        platform::Sleep(kStreamRunMs);
        const std::uint32_t frames = c->FramesPresented.load() - first;
        const platform::Tick elapsed = platform::GetTickCount() - t0;
        c->PlayState = control::StopRequested;
        while (c->ThreadRunning.load() != 0) platform::Sleep(10);
        c->Release();
        fps = elapsed > 0 ? frames * 1000.0 / elapsed : 0;
    }
    state.counters["fps"] = fps;
}

}  // namespace

BENCHMARK(BM_NativeFrameRoundTrip)->Args({320, 240})->Args({640, 480})->UseRealTime();
BENCHMARK(BM_NativeStreamThread)
    ->Args({320, 240})
    ->Args({640, 480})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
