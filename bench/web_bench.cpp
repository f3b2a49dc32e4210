// `quorlina serve` on loopback: the server's CPU with one camera (640x480, 25 fps) watched by 1
// and by 50 WebSocket viewers, forwarding the camera's JPEG and encoding the window; the time from
// the camera's last byte of a frame to that frame's message at a viewer; and the server's CPU
// with 16 cameras (640x480, 10 fps) on one page. The server and the cameras run as `quorlina`
// processes beside this one, so the server's CPU time is its own (read from its CPU clock). CPU
// figures are medians of interleaved rounds, since other work on the machine skews single runs.
//
// Latency is taken at the viewer: a relay in this process stands between the server's control
// and the camera, and notes when the last byte of each frame's JPEG has been handed to the
// server's socket; a viewer notes when the whole message with that JPEG (the same bytes when
// the camera's JPEG is forwarded) has arrived. That is the time to the message written to the
// viewer's socket plus the viewer's own wake-up, so the figure errs high, never low.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/support/processes.h"
#include "support/web_client.h"

namespace {

using benchsupport::BinDir;
using benchsupport::Camera640;
using benchsupport::CameraProcess;
using benchsupport::Child;
using benchsupport::Clock;
using benchsupport::Seconds;
using nlohmann::json;

constexpr const char* kToken = "web-bench-token-0123456789abcdef";
constexpr int kCameraLifetimeSeconds = 240;  // every child stops by itself after this
constexpr int kRounds = 3;                   // interleaved rounds of each CPU figure
constexpr double kWarmSeconds = 1.5;         // after viewers join, before the CPU is read
constexpr double kMeasureSeconds = 5.0;
constexpr int kManyViewers = 50;
constexpr int kPageCameras = 16;

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1)));
    return v[i];
}

// A `quorlina serve` with the given cameras (name, target), each played always, on a free port.
struct ServerProcess {
    Child child;
    int port = 0;
    std::string config_path;

    bool Start(const std::vector<std::pair<std::string, std::string>>& cameras, bool forward,
               std::string* error) {
        json config = {{"token", kToken}, {"cameras", json::array()}};
        for (const auto& [name, target] : cameras)
            config["cameras"].push_back(
                {{"name", name}, {"target", target}, {"preview", "640x480"}, {"play", "always"}});
        char dir[] = "/tmp/quorlina-web-bench-XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            *error = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        config_path = std::string(dir) + "/cameras.json";
        std::ofstream(config_path) << config.dump(2);
        std::vector<std::string> args = {BinDir() + "/quorlina", "serve", "--config", config_path,
                                         "--listen", "127.0.0.1:0"};
        if (!forward) args.push_back("--no-forward");
        if (!child.Start(args, {.discard_stderr = true}, error)) return false;
        for (int i = 0; i < kPageCameras + 4; ++i) {
            const std::string line = child.ReadLine(20000);
            const std::size_t at = line.find("http://127.0.0.1:");
            if (line.rfind("open ", 0) == 0 && at != std::string::npos) {
                port = std::atoi(line.c_str() + at + std::strlen("http://127.0.0.1:"));
                return port > 0;
            }
            if (line.empty()) break;
        }
        *error = "the server did not say its address";
        return false;
    }
    ~ServerProcess() {
        if (config_path.empty()) return;
        std::remove(config_path.c_str());
        ::rmdir(config_path.substr(0, config_path.rfind('/')).c_str());
    }
    // True once every camera plays.
    bool WaitPlaying(int timeout_ms) {
        const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < end) {
            const testsupport::HttpReply r = testsupport::HttpExchange(
                port, "GET", "/api/cameras", {{"Authorization", std::string("Bearer ") + kToken}});
            const json list = json::parse(r.body, nullptr, false);
            bool all = list.is_array() && !list.empty();
            if (all)
                for (const json& c : list) all = all && c.value("state", "") == "playing";
            if (all) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
};

std::size_t HashOf(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

// Stands between the server's control and the camera: every connection is passed through both
// ways, and in the camera's direction each part's JPEG is found by its Content-length and noted
// with the time its last byte was handed to the server's socket.
class Relay {
  public:
    bool Start(int camera_port, std::string* error) {
        camera_port_ = camera_port;
        listener_ = benchsupport::ListenLoopback(16, &port_, error);
        if (listener_ < 0) return false;
        accepter_ = std::thread([this] { Accept(); });
        return true;
    }
    int Port() const { return port_; }
    // When the frame with these JPEG bytes was handed on whole; false when not seen.
    bool SentAt(std::size_t hash, Clock::time_point* at) {
        std::lock_guard<std::mutex> lock(mu_);
        const auto it = sent_.find(hash);
        if (it == sent_.end()) return false;
        *at = it->second;
        return true;
    }
    ~Relay() {
        stopping_ = true;
        if (accepter_.joinable()) accepter_.join();
        for (std::thread& t : pipes_) t.join();
        if (listener_ >= 0) ::close(listener_);
    }

  private:
    void Accept() {
        while (!stopping_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            const int server = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (server < 0) continue;
            const int camera = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(camera_port_));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(camera, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(camera);
                ::close(server);
                continue;
            }
            int one = 1;
            ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            pipes_.emplace_back([this, server, camera] { Pipe(server, camera); });
        }
    }
    static bool SendAll(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
    void Pipe(int server, int camera) {
        std::string pending;  // the camera's bytes not yet parsed into parts
        char buffer[65536];
        while (!stopping_) {
            pollfd p[2] = {{server, POLLIN, 0}, {camera, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            if (p[0].revents != 0) {
                const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                if (n <= 0 || !SendAll(camera, buffer, static_cast<std::size_t>(n))) break;
            }
            if (p[1].revents != 0) {
                const ssize_t n = ::recv(camera, buffer, sizeof buffer, 0);
                if (n <= 0 || !SendAll(server, buffer, static_cast<std::size_t>(n))) break;
                const Clock::time_point now = Clock::now();
                pending.append(buffer, static_cast<std::size_t>(n));
                Parse(&pending, now);
            }
        }
        ::close(server);
        ::close(camera);
    }
    void Parse(std::string* pending, Clock::time_point now) {
        for (;;) {
            std::string lower(pending->substr(0, std::min<std::size_t>(pending->size(), 4096)));
            for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const std::size_t field = lower.find("content-length:");
            if (field == std::string::npos) {
                if (pending->size() > 4096) pending->erase(0, pending->size() - 64);
                return;
            }
            const std::size_t body = pending->find("\r\n\r\n", field);
            if (body == std::string::npos) return;
            const long length = std::atol(pending->c_str() + field + 15);
            const std::size_t start = body + 4;
            if (length <= 0) {
                pending->erase(0, start);
                continue;
            }
            if (pending->size() < start + static_cast<std::size_t>(length)) return;
            const std::size_t hash =
                HashOf(std::string_view(*pending).substr(start, static_cast<std::size_t>(length)));
            {
                std::lock_guard<std::mutex> lock(mu_);
                sent_.emplace(hash, now);
            }
            pending->erase(0, start + static_cast<std::size_t>(length));
        }
    }

    int camera_port_ = 0;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread accepter_;
    std::vector<std::thread> pipes_;
    std::mutex mu_;
    std::map<std::size_t, Clock::time_point> sent_;
};

// WebSocket viewers of one server, each watching the given cameras. The first has a reading
// thread of its own (its arrival times are the latency figure); the others share one.
class Viewers {
  public:
    bool Open(int port, int count, const std::vector<std::string>& cameras, std::string* error) {
        for (int i = 0; i < count; ++i) {
            auto ws = std::make_unique<testsupport::WsClient>();
            int status = 0;
            const std::string origin = "http://127.0.0.1:" + std::to_string(port);
            if (!ws->Connect(port, "/ws",
                             {{"Cookie", std::string("quorlina_token=") + kToken},
                              {"Origin", origin}},
                             &status)) {
                *error = "viewer " + std::to_string(i) + " was refused: " + std::to_string(status);
                return false;
            }
            int id = 1;
            for (const std::string& camera : cameras)
                ws->SendText(json({{"id", id++}, {"op", "watch"}, {"camera", camera}}).dump());
            clients_.push_back(std::move(ws));
        }
        frames_.assign(clients_.size(), 0);
        first_ = std::thread([this] { ReadFirst(); });
        if (clients_.size() > 1) rest_ = std::thread([this] { ReadRest(); });
        return true;
    }
    // Frames received so far by each viewer.
    std::vector<std::uint64_t> Frames() {
        std::lock_guard<std::mutex> lock(mu_);
        return frames_;
    }
    // Arrival times of the first viewer's frames, with their JPEG's hash, since the last call.
    std::vector<std::pair<std::size_t, Clock::time_point>> TakeArrivals() {
        std::vector<std::pair<std::size_t, Clock::time_point>> taken;
        std::lock_guard<std::mutex> lock(mu_);
        taken.swap(arrivals_);
        return taken;
    }
    void Close() {
        stopping_ = true;
        if (first_.joinable()) first_.join();
        if (rest_.joinable()) rest_.join();
        for (auto& c : clients_) c->Close();
        clients_.clear();
    }
    ~Viewers() { Close(); }

  private:
    // The JPEG of a frame message: after the tag (a length byte, then the camera's name).
    static std::string_view JpegOf(const std::string& message) {
        if (message.empty()) return {};
        const std::size_t tag = 1 + static_cast<unsigned char>(message[0]);
        return tag <= message.size() ? std::string_view(message).substr(tag) : std::string_view();
    }
    void Got(std::size_t index, const testsupport::WsMessage& m) {
        if (!m.binary) return;
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mu_);
        ++frames_[index];
        if (index == 0) arrivals_.emplace_back(HashOf(JpegOf(m.data)), now);
    }
    void ReadFirst() {
        testsupport::WsMessage m;
        while (!stopping_) {
            pollfd p{clients_[0]->fd(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            if (!clients_[0]->Receive(&m, 2000)) return;
            Got(0, m);
        }
    }
    void ReadRest() {
        testsupport::WsMessage m;
        std::vector<pollfd> fds;
        for (std::size_t i = 1; i < clients_.size(); ++i)
            fds.push_back(pollfd{clients_[i]->fd(), POLLIN, 0});
        while (!stopping_) {
            if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (std::size_t k = 0; k < fds.size(); ++k) {
                if (fds[k].revents == 0) continue;
                if (!clients_[k + 1]->Receive(&m, 2000)) {
                    fds[k].fd = -1;  // gone: no longer polled
                    continue;
                }
                Got(k + 1, m);
            }
        }
    }

    std::vector<std::unique_ptr<testsupport::WsClient>> clients_;
    std::atomic<bool> stopping_{false};
    std::thread first_, rest_;
    std::mutex mu_;
    std::vector<std::uint64_t> frames_;
    std::vector<std::pair<std::size_t, Clock::time_point>> arrivals_;
};

struct Sample {
    double cpu_share = 0;      // of one core
    double viewer_fps = 0;     // frames per second the slowest viewer received
    std::vector<double> latency_ms;
};

// Opens `count` viewers of `cameras`, waits for them to settle, and measures the server.
bool Measure(ServerProcess& server, Relay* relay, int count,
             const std::vector<std::string>& cameras, Sample* sample, std::string* error) {
    Viewers viewers;
    if (!viewers.Open(server.port, count, cameras, error)) return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmSeconds));
    viewers.TakeArrivals();
    const std::vector<std::uint64_t> frames0 = viewers.Frames();
    const double cpu0 = server.child.CpuSeconds();
    const Clock::time_point t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kMeasureSeconds));
    const double cpu1 = server.child.CpuSeconds();
    const double wall = Seconds(Clock::now() - t0);
    const std::vector<std::uint64_t> frames1 = viewers.Frames();
    const auto arrivals = viewers.TakeArrivals();
    viewers.Close();
    if (cpu0 < 0 || cpu1 < 0) {
        *error = "cannot read the server's CPU clock";
        return false;
    }
    sample->cpu_share = (cpu1 - cpu0) / wall;
    std::uint64_t slowest = ~std::uint64_t{0};
    for (std::size_t i = 0; i < frames1.size(); ++i)
        slowest = std::min(slowest, frames1[i] - frames0[i]);
    sample->viewer_fps = static_cast<double>(slowest) / wall;
    if (relay != nullptr) {
        for (const auto& [hash, at] : arrivals) {
            Clock::time_point sent;
            if (relay->SentAt(hash, &sent))
                sample->latency_ms.push_back(std::max(0.0, Seconds(at - sent) * 1e3));
        }
    }
    if (slowest == 0) {
        *error = "a viewer received no frame";
        return false;
    }
    return true;
}

// One camera at 25 fps through the relay, watched by 1 and by 50 viewers in interleaved rounds.
void OneCamera(benchmark::State& state, bool forward) {
    for (auto _ : state) {
        std::string error;
        CameraProcess cam;
        Relay relay;
        ServerProcess server;
        if (!cam.Start(Camera640(25, false), kCameraLifetimeSeconds, &error) || !relay.Start(cam.port, &error) ||
            !server.Start({{"cam", "http://127.0.0.1:" + std::to_string(relay.Port())}}, forward,
                          &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        if (!server.WaitPlaying(20000)) {
            state.SkipWithError("the camera did not play within 20 s");
            return;
        }
        std::vector<double> cpu_one, cpu_many, ratios, fps_one, fps_many;
        std::vector<double> latency_one, latency_many;
        for (int round = 0; round < kRounds; ++round) {
            Sample one, many;
            if (!Measure(server, &relay, 1, {"cam"}, &one, &error) ||
                !Measure(server, &relay, kManyViewers, {"cam"}, &many, &error)) {
                state.SkipWithError(error.c_str());
                return;
            }
            cpu_one.push_back(one.cpu_share * 100);
            cpu_many.push_back(many.cpu_share * 100);
            ratios.push_back(one.cpu_share > 0 ? many.cpu_share / one.cpu_share : 0);
            fps_one.push_back(one.viewer_fps);
            fps_many.push_back(many.viewer_fps);
            latency_one.insert(latency_one.end(), one.latency_ms.begin(), one.latency_ms.end());
            latency_many.insert(latency_many.end(), many.latency_ms.begin(),
                                many.latency_ms.end());
        }
        state.counters["cpu_percent_1"] = Median(cpu_one);
        state.counters["cpu_percent_50"] = Median(cpu_many);
        state.counters["ratio_50_to_1"] = Median(ratios);
        state.counters["ratio_low"] = *std::min_element(ratios.begin(), ratios.end());
        state.counters["ratio_high"] = *std::max_element(ratios.begin(), ratios.end());
        state.counters["viewer_fps_1"] = Median(fps_one);
        state.counters["slowest_viewer_fps_50"] = Median(fps_many);
        state.counters["rounds"] = kRounds;
        if (forward) {
            // The camera's own bytes reach the viewers, so each message is matched to its frame.
            if (latency_one.empty() || latency_many.empty()) {
                state.SkipWithError("no viewer message matched a frame the camera sent");
                return;
            }
            state.counters["latency_frames_1"] = static_cast<double>(latency_one.size());
            state.counters["latency_median_ms_1"] = Percentile(latency_one, 0.5);
            state.counters["latency_p99_ms_1"] = Percentile(latency_one, 0.99);
            state.counters["latency_frames_50"] = static_cast<double>(latency_many.size());
            state.counters["latency_median_ms_50"] = Percentile(latency_many, 0.5);
            state.counters["latency_p99_ms_50"] = Percentile(latency_many, 0.99);
        }
    }
}
void OneCameraForwarding(benchmark::State& state) { OneCamera(state, true); }
void OneCameraEncoding(benchmark::State& state) { OneCamera(state, false); }
BENCHMARK(OneCameraForwarding)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(OneCameraEncoding)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Sixteen cameras at 10 fps on one page: one WebSocket watching them all. One still-picture
// camera process serves all sixteen streams, so the machine's other cores stay for the server.
void SixteenCameras(benchmark::State& state) {
    for (auto _ : state) {
        std::string error;
        CameraProcess cam;
        ServerProcess server;
        std::vector<std::pair<std::string, std::string>> cameras;
        std::vector<std::string> names;
        if (!cam.Start(Camera640(10, true), kCameraLifetimeSeconds, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        for (int i = 0; i < kPageCameras; ++i) {
            names.push_back("cam" + std::to_string(i));
            cameras.emplace_back(names.back(), "http://127.0.0.1:" + std::to_string(cam.port));
        }
        if (!server.Start(cameras, true, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        if (!server.WaitPlaying(30000)) {
            state.SkipWithError("the cameras did not all play within 30 s");
            return;
        }
        std::vector<double> cpu, fps;
        for (int round = 0; round < kRounds; ++round) {
            Sample page;
            if (!Measure(server, nullptr, 1, names, &page, &error)) {
                state.SkipWithError(error.c_str());
                return;
            }
            cpu.push_back(page.cpu_share * 100);
            fps.push_back(page.viewer_fps);
        }
        state.counters["cpu_percent"] = Median(cpu);
        state.counters["cpu_percent_low"] = *std::min_element(cpu.begin(), cpu.end());
        state.counters["cpu_percent_high"] = *std::max_element(cpu.begin(), cpu.end());
        state.counters["page_fps"] = Median(fps);
        state.counters["rounds"] = kRounds;
    }
}
BENCHMARK(SixteenCameras)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
