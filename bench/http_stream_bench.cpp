// How many frames per second the HTTP stream session accepts from a local sender that writes
// 30 KB parts as fast as it can, and the session's CPU time per frame. The payload is not a JPEG,
// so presentation costs nothing and the figure is the session's own (receive, parse, copy).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>

#include "control/quorlina.h"
#include "stream/http_stream.h"

namespace {

constexpr int kPartBytes = 30000;

double ThreadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Accepts one client, reads its request, then sends the reply head and parts until told to stop
// or the client goes away.
struct FastSender {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;

    FastSender() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 1);
        socklen_t len = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] { Serve(); });
    }
    ~FastSender() {
        stop = true;
        ::shutdown(listener, SHUT_RDWR);
        thread.join();
        ::close(listener);
    }
    void Serve() {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        char req[2048];
        (void)::recv(c, req, sizeof req, 0);
        std::string head =
            "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=bench\r\n"
            "Server: bench\r\n\r\n";
        std::string part = "--bench\r\nContent-length: " + std::to_string(kPartBytes) +
                           "\r\nDate: 2026-12-08 10:00:00 O_00000000 PT_010_020\r\n"
                           "Content-type: image/jpeg\r\n\r\n" +
                           std::string(kPartBytes, 'x') + "\r\n";
        ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
        while (!stop) {
            if (::send(c, part.data(), part.size(), MSG_NOSIGNAL) < 0) break;
        }
        ::close(c);
    }
};

void BM_HttpStreamSession(benchmark::State& state) {
    const unsigned frames_wanted = static_cast<unsigned>(state.range(0));
    double total_cpu = 0, total_frames = 0, total_wall = 0;
    for (auto _ : state) {
        FastSender sender;
        auto* c = new control::CQuorlina();
        c->StreamMode = control::kStreamHttp;
        c->RemotePort = sender.port;
        c->PlayState = control::Playing;
        std::thread stopper([&] {
            while (c->FramesReceived.load() < frames_wanted) std::this_thread::yield();
            c->PlayState = control::StopRequested;
        });
        const double cpu0 = ThreadCpuSeconds();
        const auto wall0 = std::chrono::steady_clock::now();
        stream::RunHttpStream(*c);
        total_wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        total_cpu += ThreadCpuSeconds() - cpu0;
        stopper.join();
        total_frames += c->FramesReceived.load();
        c->Destroy();
    }
    state.counters["frames_per_s"] = total_frames / total_wall;
    state.counters["cpu_us_per_frame"] = total_cpu / total_frames * 1e6;
}
BENCHMARK(BM_HttpStreamSession)->Arg(3000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
