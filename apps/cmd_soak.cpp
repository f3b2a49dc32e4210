// `quorlina soak`: controls play simulated cameras on one container thread for a bounded time,
// with Stop/Play cycles, a command a second and now and then a fault camera set as RemoteHost;
// beside them a web lane: a `serve` server in this process whose streams a client opens and
// leaves again and whose API it calls; exit 1 on a session that does not end, no frames, a web
// request that failed, or growth of descriptors, threads or memory.
// The hard part is comparing like with like: start and end are measured in the same state.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "apps/camera/camera.h"
#include "apps/cli.h"
#include "apps/host.h"
#include "control/members.h"
#include "platform/kernel.h"
#include "web/server.h"
#include "web/service.h"

namespace apps {
namespace {

using control::MemberKind;
using control::Value;

constexpr double kDefaultMinutes = 10;
constexpr double kMaxMinutes = 24 * 60;
constexpr std::uint32_t kTickMs = 100;          // the container thread's pace
constexpr std::uint32_t kCycleMs = 4000;        // Stop and Play again this often
constexpr std::uint32_t kCommandMs = 1000;      // one command this often
constexpr std::uint32_t kFirstFaultMs = 20000;  // the first fault camera comes after this ...
constexpr std::uint32_t kFaultEveryMs = 30000;  // ... then one this often ...
constexpr std::uint32_t kFaultLastsMs =
    15000;                                 // ... played this long: past the 12 s no-frame limit
constexpr std::uint32_t kWarmUpMs = 3000;  // playing before the start and end figures
constexpr std::uint32_t kProgressMs = 60000;
constexpr std::uint32_t kStopLimitMs = 30000;    // Stop gives up on a worker after about this
constexpr std::uint32_t kTeardownWaitMs = 5000;  // workers end this soon after Destroy
constexpr int kCameraFps = 15;
constexpr int kMaxDescriptorGrowth = 4;     // a session may be between connections at either end
constexpr int kWebLaneDescriptors = 2;      // the web lane's client and server ends of a request
constexpr int kMaxThreadGrowth = 2;         // a command worker may be running at either end
constexpr long kMaxRssGrowthKb = 8 * 1024;  // a 10-minute run grows by about 2 MB

// Under a sanitizer resident memory says nothing about leaks: AddressSanitizer keeps freed blocks
// in quarantine and ThreadSanitizer grows its shadow; their own leak and race reports count there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

// Faults the lanes meet in turn; each is one camera misbehaving in one way.
constexpr std::array<const char*, 13> kFaultModes = {
    "drop-after=20", "garbage",        "stall-after=20", "oversize",    "trickle",
    "bad-length",    "capital-length", "corrupt-jpeg",   "no-boundary", "truncate-jpeg",
    "unauthorized",  "refuse-outputs", "slow-accept",
};

// Commands in turn, one a second. Members whose work this build does not have yet carry no
// accessor in the member table and are skipped.
struct Command {
    const char* name;
    MemberKind kind;
    std::array<Value, control::kMaxMemberParams> args;
};
const std::array<Command, 14> kCommands = {{
    {"GetRealTimeData", MemberKind::Method, {}},
    {"IOOut1", MemberKind::PropertyPut, {Value::Long(1)}},
    {"IOOut2", MemberKind::PropertyPut, {Value::Long(1)}},
    {"IOOut1", MemberKind::PropertyPut, {Value::Long(0)}},
    {"IOOut2", MemberKind::PropertyPut, {Value::Long(0)}},
    {"ImageUpload", MemberKind::PropertyPut, {Value::Long(1)}},
    {"EmailImage", MemberKind::PropertyPut, {Value::Long(1)}},
    {"MovePanTiltDegree", MemberKind::PropertyPut, {Value::Long(1)}},
    {"SetPosition", MemberKind::PropertyPut, {Value::Long(1)}},
    {"MovePanTiltPosition", MemberKind::PropertyPut, {Value::Long(1)}},
    {"MoveToPos", MemberKind::Method, {Value::Long(170), Value::Long(45)}},
    {"SwingMode", MemberKind::PropertyPut, {Value::Long(1)}},
    {"SwingMode", MemberKind::PropertyPut, {Value::Long(0)}},
    {"ClearPosition", MemberKind::PropertyPut, {Value::Long(1)}},
}};

int CountEntries(const char* path) {
    int count = 0;
    DIR* dir = opendir(path);
    while (dirent* entry = dir ? readdir(dir) : nullptr)
        if (entry->d_name[0] != '.') ++count;
    if (dir) closedir(dir);
    return count - (std::strcmp(path, "/proc/self/fd") == 0 ? 1 : 0);  // opendir's own
}

long ResidentKb() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(status);
    return kb;
}

struct Figures {
    int descriptors = 0;
    int threads = 0;  // of the whole process
    int workers = 0;  // the controls' worker threads
    long resident_kb = 0;
};

Figures Measure() {
    return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"),
            platform::LiveThreadCount(), ResidentKb()};
}

std::string Describe(const Figures& f) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "descriptors %d, threads %d (control workers %d), VmRSS %ld kB", f.descriptors,
                  f.threads, f.workers, f.resident_kb);
    return text;
}

std::uint32_t Since(platform::Tick t0) {
    return platform::GetTickCount() - t0;
}

// The web lane: a server with its two simulated cameras (watched: they play while the lane's
// client reads a stream), and a client thread that, in turn, opens a camera's stream, reads a
// few parts and leaves, puts an output through the API and lists the cameras.
class WebLane {
  public:
    ~WebLane() { Teardown(); }

    bool Start(std::string* error) {
        web::ServiceOptions options;
        options.simulated = true;
        options.config.token = kToken;
        service_ = std::make_unique<web::Service>(options);
        web::ServerOptions server_options;
        server_options.port = 0;
        server_ = std::make_unique<web::Server>(*service_, server_options);
        if (!server_->Start(error)) return false;
        port_ = server_->Port();
        client_ = std::thread([this] { ClientLoop(); });
        return true;
    }

    void Teardown() {
        stopping_ = true;
        if (client_.joinable()) client_.join();
        if (server_) server_->Stop();
        server_.reset();
        service_.reset();
    }

    std::uint64_t parts() const { return parts_.load(); }
    std::uint64_t failures() const { return failures_.load(); }
    std::string Progress() const {
        char text[200];
        const web::ServerCounters c =
            server_ ? server_->Counters() : web::ServerCounters{};
        std::snprintf(text, sizeof text,
                      "web: %llu streams opened, %llu parts read, %llu API calls, %llu failed; "
                      "server: %d connections, %llu frames sent, %llu replaced",
                      static_cast<unsigned long long>(streams_.load()),
                      static_cast<unsigned long long>(parts_.load()),
                      static_cast<unsigned long long>(calls_.load()),
                      static_cast<unsigned long long>(failures_.load()), c.connections,
                      static_cast<unsigned long long>(c.frames_sent),
                      static_cast<unsigned long long>(c.frames_replaced));
        return text;
    }

  private:
    static constexpr const char* kToken = "soak-web-lane-token-0123456789";
    static constexpr int kPartsPerVisit = 3;
    static constexpr int kWaitMs = 15000;  // a watched camera's first frame comes after its probe

    // Sends the request and reads until `enough` says so, the server closes, or the wait ends.
    template <typename Enough>
    std::string Exchange(const std::string& request, Enough enough) {
        std::string got;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return got;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size())) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
            char buffer[16384];
            while (!stopping_.load() && !enough(got) && std::chrono::steady_clock::now() < end) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                got.append(buffer, static_cast<std::size_t>(n));
            }
        }
        ::close(fd);
        return got;
    }

    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    }

    std::string Head(const std::string& method, const std::string& path,
                     const std::string& body = "") const {
        return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
               "\r\nAuthorization: Bearer " + kToken + "\r\nConnection: close\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    void Call(const std::string& method, const std::string& path, const std::string& body) {
        const std::string reply =
            Exchange(Head(method, path, body), [](const std::string&) { return false; });
        calls_.fetch_add(1);
        if (reply.rfind("HTTP/1.1 200", 0) != 0) failures_.fetch_add(1);
    }

    void ClientLoop() {
        for (std::uint64_t i = 0; !stopping_.load(); ++i) {
            const char* camera = i % 2 == 0 ? "http" : "native";
            const std::string stream =
                Exchange(Head("GET", std::string("/cameras/") + camera + "/stream.mjpg"),
                         [](const std::string& got) {
                             return Count(got, "Content-Type: image/jpeg") > kPartsPerVisit;
                         });
            if (stopping_.load()) break;
            streams_.fetch_add(1);
            const int parts = Count(stream, "Content-Type: image/jpeg");
            parts_.fetch_add(static_cast<std::uint64_t>(parts));
            if (parts == 0) failures_.fetch_add(1);
            Call("PUT", std::string("/api/cameras/") + camera + "/properties/IOOut1",
                 i % 4 < 2 ? "1" : "0");
            Call("GET", "/api/cameras", "");
            for (int t = 0; t < 5 && !stopping_.load(); ++t)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    std::unique_ptr<web::Service> service_;
    std::unique_ptr<web::Server> server_;
    int port_ = 0;
    std::thread client_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> streams_{0};
    std::atomic<std::uint64_t> parts_{0};
    std::atomic<std::uint64_t> calls_{0};
    std::atomic<std::uint64_t> failures_{0};
};

// One control and its cameras: the good one it normally plays, and a fault camera now and then.
class Lane {
  public:
    Lane(const char* name, camera::CameraConfig config) : name_(name), config_(config) {}
    ~Lane() {
        if (control_) DestroyHostedControl(control_);
    }
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    bool Start(std::string* error) {
        good_ = std::make_unique<camera::Camera>(config_);
        if (!good_->Start(error)) return false;
        control_ = CreateHostedControl({});
        SwitchTo(*good_);
        Play();
        return true;
    }

    // One tick of the container thread: property gets, and a session that ended by itself is
    // counted and played again.
    void Tick() {
        const platform::Tick t0 = platform::GetTickCount();
        std::string text;
        std::int32_t value = 0;
        double rate = 0;
        control_->get_TimeString(&text);
        control_->get_IOOut1(&value);
        control_->get_GetHorizontalPosition(&value);
        control_->get_FrameRate(&rate);
        longest_get_ms_ = std::max(longest_get_ms_, Since(t0));
        if (session_open_ && control_->PlayState.load() == control::Ended) {
            session_open_ = false;
            ++sessions_ended_;
            ++(faulty_ ? ends_during_faults_ : ends_on_good_camera_);
            Play();
        }
    }

    void Cycle() {
        if (faulty_) return;  // a fault plays out undisturbed
        Stop();
        Play();
    }

    void SendCommand(std::size_t index) {
        const Command& command = kCommands[index % kCommands.size()];
        const control::Member* m = control::FindMember(command.name, command.kind);
        if (m == nullptr || m->accessor == nullptr) {
            skipped_.insert(command.name);
            return;
        }
        Value result;
        const platform::Tick t0 = platform::GetTickCount();
        m->accessor(*control_, command.args.data(), &result);
        longest_command_ms_ = std::max(longest_command_ms_, Since(t0));
        ++commands_;
    }

    void InjectFault(const char* mode, platform::Tick now) {
        camera::CameraConfig config = config_;
        config.http_port = config.http_port >= 0 ? 0 : -1;
        config.native_port = config.native_port >= 0 ? 0 : -1;
        std::string error;
        if (!config.faults.Add(mode, &error)) {
            std::fprintf(stderr, "quorlina soak: %s\n", error.c_str());
            return;
        }
        auto faulty = std::make_unique<camera::Camera>(config);
        if (!faulty->Start(&error)) {
            std::fprintf(stderr, "quorlina soak: fault camera: %s\n", error.c_str());
            return;
        }
        Stop();
        faulty_ = std::move(faulty);
        fault_ = mode;
        fault_since_ = now;
        ++faults_;
        SwitchTo(*faulty_);
        Play();
    }

    bool FaultOver(platform::Tick now) const {
        return faulty_ && now - fault_since_ >= kFaultLastsMs;
    }

    void EndFault() {
        if (!faulty_) return;
        Stop();
        SwitchTo(*good_);
        faulty_->Stop();
        faulty_.reset();
        Play();
    }

    // Stops playing and lets the control and its cameras go.
    void Teardown() {
        EndFault();
        Stop();
        DestroyHostedControl(control_);
        control_ = nullptr;
        good_->Stop();
    }

    bool Faulty() const { return faulty_ != nullptr; }
    unsigned FramesPresented() const {
        return control_ ? control_->FramesPresented.load() : frames_;
    }

    std::string Progress() const {
        char line[320];
        std::snprintf(line, sizeof line,
                      "%s: frames %u, sessions %u started %u ended (%u ended by themselves: %u in "
                      "faults, %u on the good camera), faults %u (%s), commands %u",
                      name_, FramesPresented(), sessions_started_, sessions_ended_,
                      ends_during_faults_ + ends_on_good_camera_, ends_during_faults_,
                      ends_on_good_camera_, faults_, fault_.empty() ? "none yet" : fault_.c_str(),
                      commands_);
        return line;
    }

    std::string Longest() const {
        char line[200];
        std::snprintf(line, sizeof line,
                      "%s: longest Play %u ms, Stop %u ms, property get %u ms, command %u ms, "
                      "RemoteHost put %u ms",
                      name_, longest_play_ms_, longest_stop_ms_, longest_get_ms_,
                      longest_command_ms_, longest_probe_ms_);
        return line;
    }

    std::string Skipped() const {
        std::string names;
        for (const std::string& name : skipped_) names += (names.empty() ? "" : ", ") + name;
        return names;
    }

    const char* name() const { return name_; }
    unsigned sessions_started() const { return sessions_started_; }
    unsigned sessions_ended() const { return sessions_ended_; }

  private:
    void SwitchTo(const camera::Camera& cam) {
        const std::string target = cam.HttpPort() >= 0
                                       ? "http://127.0.0.1:" + std::to_string(cam.HttpPort())
                                       : "127.0.0.1:" + std::to_string(cam.NativePort());
        const platform::Tick t0 = platform::GetTickCount();
        control_->put_RemoteHost(target.c_str());
        longest_probe_ms_ = std::max(longest_probe_ms_, Since(t0));
    }

    void Play() {
        const platform::Tick t0 = platform::GetTickCount();
        control_->Play();
        longest_play_ms_ = std::max(longest_play_ms_, Since(t0));
        if (!session_open_ && control_->PlayState.load() == control::Playing) {
            session_open_ = true;
            ++sessions_started_;
        }
    }

    void Stop() {
        const platform::Tick t0 = platform::GetTickCount();
        control_->Stop();
        const std::uint32_t took = Since(t0);
        longest_stop_ms_ = std::max(longest_stop_ms_, took);
        // Stop returns early only once the worker has ended; at its limit the worker may live on.
        if (session_open_ && took < kStopLimitMs) {
            session_open_ = false;
            ++sessions_ended_;
        }
        frames_ = control_->FramesPresented.load();
    }

    const char* name_;
    const camera::CameraConfig config_;
    std::unique_ptr<camera::Camera> good_;
    std::unique_ptr<camera::Camera> faulty_;
    control::CQuorlina* control_ = nullptr;
    std::string fault_;
    platform::Tick fault_since_ = 0;
    bool session_open_ = false;
    unsigned sessions_started_ = 0;
    unsigned sessions_ended_ = 0;
    unsigned ends_during_faults_ = 0;
    unsigned ends_on_good_camera_ = 0;
    unsigned faults_ = 0;
    unsigned commands_ = 0;
    unsigned frames_ = 0;
    std::uint32_t longest_play_ms_ = 0;
    std::uint32_t longest_stop_ms_ = 0;
    std::uint32_t longest_get_ms_ = 0;
    std::uint32_t longest_command_ms_ = 0;
    std::uint32_t longest_probe_ms_ = 0;
    std::set<std::string> skipped_;
};

// Plays every lane for a while on the container thread (this one), ticking them and sending a
// command a second, so that the command connections are open as they are during the soak.
void PlayFor(std::vector<std::unique_ptr<Lane>>& lanes, std::uint32_t ms,
             std::size_t* command_index) {
    const platform::Tick t0 = platform::GetTickCount();
    platform::Tick last_command = t0 - kCommandMs;
    while (Since(t0) < ms) {
        for (auto& lane : lanes) lane->Tick();
        if (Since(last_command) >= kCommandMs) {
            last_command = platform::GetTickCount();
            for (auto& lane : lanes) lane->SendCommand(*command_index);
            ++*command_index;
        }
        platform::Sleep(kTickMs);
    }
}

bool Check(bool ok, const char* what, std::string* failures) {
    if (!ok) *failures += std::string("  ") + what + "\n";
    return ok;
}

int Soak(int argc, char** argv) {
    CLI::App app{
        "Soaks the control against simulated cameras on 127.0.0.1: Stop/Play cycles, a "
        "command every second, a fault now and then; fails on growth or a stuck session.",
        argv[0]};
    double minutes = kDefaultMinutes;
    app.add_option("--minutes", minutes, "how long to run")
        ->check(CLI::Range(0.1, kMaxMinutes))
        ->default_val(minutes);
    ParseOrExit(app, argc, argv);
    const auto run_ms = static_cast<std::uint32_t>(minutes * 60000);

    // A sanitizer runtime starts a helper thread of its own with the first thread; start one
    // first so that the figures before the soak are the process's settled baseline.
    std::thread([] {}).join();
    platform::Sleep(kTickMs);
    const Figures before = Measure();
    camera::CameraConfig http;
    http.http_port = 0;
    http.fps = kCameraFps;
    camera::CameraConfig native;
    native.native_port = 0;
    native.fps = kCameraFps;
    native.pace = kCameraFps - 1;  // the control then asks for kCameraFps frames a second
    std::vector<std::unique_ptr<Lane>> lanes;
    lanes.push_back(std::make_unique<Lane>("http", http));
    lanes.push_back(std::make_unique<Lane>("native", native));
    std::string names;
    for (auto& lane : lanes) {
        std::string error;
        if (!lane->Start(&error)) {
            std::fprintf(stderr, "quorlina soak: %s camera: %s\n", lane->name(), error.c_str());
            return 1;
        }
        names += (names.empty() ? "" : ", ") + std::string(lane->name());
    }
    WebLane web_lane;
    {
        std::string error;
        if (!web_lane.Start(&error)) {
            std::fprintf(stderr, "quorlina soak: web lane: %s\n", error.c_str());
            return 1;
        }
        names += ", web";
    }
    std::printf(
        "soak: %.1f min, lanes: %s; Stop/Play every %u s, a command every %u s, a fault "
        "camera every %u s for %u s\n",
        minutes, names.c_str(), kCycleMs / 1000, kCommandMs / 1000, kFaultEveryMs / 1000,
        kFaultLastsMs / 1000);
    std::size_t command_index = 0;
    PlayFor(lanes, kWarmUpMs, &command_index);
    const Figures start = Measure();
    std::printf("start: %s\n", Describe(start).c_str());
    std::fflush(stdout);

    const platform::Tick t0 = platform::GetTickCount();
    platform::Tick last_cycle = t0, last_command = t0, last_progress = t0;
    std::size_t fault_index = 0;
    platform::Tick next_fault = t0 + kFirstFaultMs;
    while (Since(t0) < run_ms) {
        const platform::Tick now = platform::GetTickCount();
        for (auto& lane : lanes) lane->Tick();
        if (now - last_cycle >= kCycleMs) {
            last_cycle = now;
            for (auto& lane : lanes) lane->Cycle();
        }
        if (now - last_command >= kCommandMs) {
            last_command = now;
            for (auto& lane : lanes) lane->SendCommand(command_index);
            ++command_index;
        }
        for (auto& lane : lanes)
            if (lane->FaultOver(now)) lane->EndFault();
        if (static_cast<std::int32_t>(now - next_fault) >= 0 &&
            Since(t0) + kFaultLastsMs < run_ms) {
            next_fault = now + kFaultEveryMs;
            for (auto& lane : lanes)
                lane->InjectFault(kFaultModes[fault_index % kFaultModes.size()], now);
            ++fault_index;
        }
        if (now - last_progress >= kProgressMs) {
            last_progress = now;
            std::printf("minute %u: %s\n", Since(t0) / 60000, Describe(Measure()).c_str());
            for (auto& lane : lanes) std::printf("  %s\n", lane->Progress().c_str());
            std::printf("  %s\n", web_lane.Progress().c_str());
            std::fflush(stdout);
        }
        platform::Sleep(kTickMs);
    }

    for (auto& lane : lanes) lane->EndFault();
    PlayFor(lanes, kWarmUpMs, &command_index);
    const Figures end = Measure();
    std::printf("end: %s\n", Describe(end).c_str());
    const std::string web_progress = web_lane.Progress();
    for (auto& lane : lanes) lane->Teardown();
    web_lane.Teardown();
    platform::Tick teardown = platform::GetTickCount();
    while (Measure().workers > before.workers && Since(teardown) < kTeardownWaitMs)
        platform::Sleep(kTickMs);
    const Figures after = Measure();
    std::printf("after teardown: %s (before the soak: %s)\n", Describe(after).c_str(),
                Describe(before).c_str());
    std::string failures;
    for (auto& lane : lanes) {
        std::printf("%s\n%s\n", lane->Progress().c_str(), lane->Longest().c_str());
        const std::string skipped = lane->Skipped();
        if (!skipped.empty())
            std::printf("%s: commands not in this build, skipped: %s\n", lane->name(),
                        skipped.c_str());
        Check(lane->FramesPresented() > 0, "a lane presented no frame", &failures);
        Check(lane->sessions_started() == lane->sessions_ended(), "a session did not end",
              &failures);
    }
    std::printf("%s\n", web_progress.c_str());
    Check(web_lane.parts() > 0, "the web lane read no stream part", &failures);
    Check(web_lane.failures() == 0, "a web request failed", &failures);
    Check(end.descriptors <= start.descriptors + kMaxDescriptorGrowth + kWebLaneDescriptors,
          "descriptors grew", &failures);
    Check(end.threads <= start.threads + kMaxThreadGrowth, "threads grew", &failures);
    if (kResidentMemoryMeaningful) {
        Check(end.resident_kb <= start.resident_kb + kMaxRssGrowthKb, "resident memory grew",
              &failures);
    } else {
        std::printf("VmRSS growth not checked: a sanitizer build holds freed memory\n");
    }
    Check(after.descriptors <= before.descriptors, "descriptors left open after teardown",
          &failures);
    Check(after.threads <= before.threads, "threads left running after teardown", &failures);
    Check(after.workers <= before.workers, "control workers left running after teardown",
          &failures);
    std::printf(
        "growth from start to end: descriptors %+d (bound %d), threads %+d (bound %d), "
        "VmRSS %+ld kB (bound %ld)\n",
        end.descriptors - start.descriptors, kMaxDescriptorGrowth + kWebLaneDescriptors,
        end.threads - start.threads,
        kMaxThreadGrowth, end.resident_kb - start.resident_kb, kMaxRssGrowthKb);
    if (!failures.empty()) {
        std::printf("soak FAILED:\n%s", failures.c_str());
        return 1;
    }
    std::printf("soak passed\n");
    return 0;
}

const SubcommandRegistrar kRegistrar{{"soak", "soak the control against simulated cameras", &Soak}};

}  // namespace
}  // namespace apps
