// The misbehaving camera: fault set, JPEG damage, faults on the wire, and the control against
// every fault: HTTP sessions end at once, end on the 12 s no-frame limit (one Slow test) or play
// on; native sessions reconnect, at once or after their receive time-out. Each control test checks
// the container thread's calls stay short and no descriptor, thread or worker is left behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "apps/camera/camera.h"
#include "apps/camera/faults.h"
#include "apps/camera/picture.h"
#include "commands/command_request.h"
#include "control/quorlina.h"
#include "platform/kernel.h"
#include "support/raw_client.h"
#include "support/test_screen.h"

using camera::Fault;
using camera::FaultSet;
using test_support::RawClient;

namespace {

constexpr int kTestFps = 25;
constexpr std::uint32_t kFrameSilenceMs = 12000;  // the session's no-frame limit
constexpr std::uint32_t kAtOnceMs = 3000;         // "at once": far inside the no-frame limit
constexpr std::uint32_t kLimitSlackMs = 1000;     // a limit is seen within one loop pass or so
constexpr std::uint32_t kStopBoundMs = 1000;      // Stop polls every 100 ms; one pass ends it
constexpr std::uint32_t kGetBoundMs = 50;         // property gets only read fields
constexpr std::int32_t kNativeTimeoutS = 1;       // Timeout for the native lanes: quick retries
// Stop on a native lane waits for one receive wait of Timeout and the retry pause at most.
constexpr std::uint32_t kNativeStopBoundMs = kNativeTimeoutS * 1000 + 500;

constexpr testsupport::Rgb kBackground{1, 2, 3};  // the lane's window before any frame
constexpr int kWindowDepth = 32;

using Bytes = std::vector<std::uint8_t>;

int CountEntries(const char* path) {
    int count = 0;
    DIR* dir = opendir(path);
    while (dirent* entry = dir ? readdir(dir) : nullptr)
        if (entry->d_name[0] != '.') ++count;
    if (dir) closedir(dir);
    return count;
}

struct Resources {
    int descriptors = 0;
    int threads = 0;  // every thread of the process
    int workers = 0;  // the control's worker threads
};

Resources Measure() {
    return {CountEntries("/proc/self/fd"), CountEntries("/proc/self/task"),
            platform::LiveThreadCount()};
}

// The process's settled baseline: a sanitizer runtime starts a helper thread with the first
// thread, so one is started first.
Resources Baseline() {
    std::thread([] {}).join();
    platform::Sleep(20);
    return Measure();
}

bool WaitFor(const std::function<bool()>& done, std::uint32_t limit_ms) {
    const platform::Tick t0 = platform::GetTickCount();
    while (!done()) {
        if (platform::GetTickCount() - t0 > limit_ms) return false;
        platform::Sleep(10);
    }
    return true;
}

// Workers end a little after the control lets go of them; everything else is gone at once.
void ExpectNothingLeft(const Resources& before) {
    WaitFor([&] { return Measure().workers <= before.workers; }, 3000);
    WaitFor([&] { return Measure().threads <= before.threads; }, 1000);
    const Resources after = Measure();
    EXPECT_EQ(after.descriptors, before.descriptors) << "descriptors left open";
    EXPECT_EQ(after.threads, before.threads) << "threads left running";
    EXPECT_EQ(after.workers, before.workers) << "control workers left running";
}

camera::CameraConfig FaultConfig(const std::string& mode, int width = 320, int height = 240) {
    camera::CameraConfig config;
    config.http_port = 0;
    config.width = width;
    config.height = height;
    config.fps = kTestFps;
    std::string error;
    if (!mode.empty()) {
        EXPECT_TRUE(config.faults.Add(mode, &error)) << error;
    }
    return config;
}

camera::CameraConfig NativeFaultConfig(const std::string& mode) {
    camera::CameraConfig config = FaultConfig(mode, 160, 120);
    config.http_port = -1;
    config.native_port = 0;
    config.pace = kTestFps - 1;  // the control asks for about kTestFps frames a second
    return config;
}

// One faulty camera and one control playing it in a window of its own, watched from the
// container thread.
struct Lane {
    explicit Lane(camera::CameraConfig config, std::int32_t timeout_s = 3)
        : cam(std::make_unique<camera::Camera>(config)),
          screen(kWindowDepth, config.width, config.height) {
        std::string error;
        EXPECT_TRUE(cam->Start(&error)) << error;
        screen.Fill(kBackground);
        c->PreviewWidth = config.width;
        c->PreviewHeight = config.height;
        c->AttachWindow(screen.window());
        c->put_Timeout(timeout_s);
        mode = config.faults.Describe();
    }
    ~Lane() {
        c->Stop();
        c->AttachWindow(nullptr);
        c->Destroy();
        cam->Stop();
    }
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    void Probe() {
        const std::string target = cam->HttpPort() >= 0
                                       ? "http://127.0.0.1:" + std::to_string(cam->HttpPort())
                                       : "127.0.0.1:" + std::to_string(cam->NativePort());
        c->put_RemoteHost(target.c_str());
        connections_before_play = Connections();
    }
    // The native camera without the probe, as a probe would have left the control.
    void AimNative() {
        c->HostName.Set("127.0.0.1");
        c->RemotePort = cam->NativePort();
        c->StreamMode = control::kStreamNative;
    }
    // Connections the camera has taken since Play (the probe's are not counted).
    std::uint64_t Connections() const {
        const camera::DeviceState state = cam->State();
        return state.http_connections + state.native_connections - connections_before_play;
    }
    void Play() {
        const platform::Tick t0 = platform::GetTickCount();
        c->Play();
        play_ms = platform::GetTickCount() - t0;
        play_tick = last_frame_tick = platform::GetTickCount();
    }
    // One look from the container thread: the property gets, timed, and the session's progress.
    void Poll() {
        const platform::Tick t0 = platform::GetTickCount();
        std::string time;
        std::int32_t value = 0;
        double rate = 0;
        c->get_TimeString(&time);
        c->get_IOOut1(&value);
        c->get_GetHorizontalPosition(&value);
        c->get_FrameRate(&rate);
        longest_get_ms = std::max(longest_get_ms, platform::GetTickCount() - t0);
        const unsigned frames = c->FramesReceived.load();
        if (frames != last_frames) {
            last_frames = frames;
            last_frame_tick = platform::GetTickCount();
        }
        if (!ended && c->PlayState.load() == control::Ended) {
            ended = true;
            ended_tick = platform::GetTickCount();
        }
        while (connection_ticks.size() < Connections())
            connection_ticks.push_back(platform::GetTickCount());
    }
    std::uint32_t StopTimed() {
        const platform::Tick t0 = platform::GetTickCount();
        c->Stop();
        return platform::GetTickCount() - t0;
    }
    Bytes Held() {
        std::lock_guard<std::mutex> guard(c->FrameLock);
        return Bytes(c->FrameBuffer, c->FrameBuffer + c->FrameLength);
    }
    // True once a decoded frame has been painted over the background.
    bool Painted() const {
        const platform::WindowPixels p = screen.Pixels();
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x)
                if (!(testsupport::ColorOf(p, x, y) == kBackground)) return true;
        return false;
    }

    std::string mode;
    std::unique_ptr<camera::Camera> cam;
    testsupport::TestWindow screen;
    control::CQuorlina* c = new control::CQuorlina();
    std::uint32_t play_ms = 0;
    platform::Tick play_tick = 0;
    platform::Tick last_frame_tick = 0;
    platform::Tick ended_tick = 0;
    unsigned last_frames = 0;
    bool ended = false;
    std::uint32_t longest_get_ms = 0;
    std::uint64_t connections_before_play = 0;
    std::vector<platform::Tick> connection_ticks;  // when each connection since Play was seen
};

// Polls every lane until each satisfies done() or limit_ms passes.
void PollLanes(std::vector<std::unique_ptr<Lane>>& lanes, const std::function<bool(Lane&)>& done,
               std::uint32_t limit_ms) {
    WaitFor(
        [&] {
            bool all = true;
            for (auto& lane : lanes) {
                lane->Poll();
                all = all && done(*lane);
            }
            return all;
        },
        limit_ms);
}

bool IsJpegStart(const Bytes& b) {
    return b.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8;
}
bool HasJpegEnd(const Bytes& b) {
    return b.size() >= 2 && b[b.size() - 2] == 0xFF && b[b.size() - 1] == 0xD9;
}

bool HeaderReads(const Bytes& jpeg, int* width = nullptr) {
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    const bool ok = tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &sub, &cs) == 0;
    tjDestroy(tj);
    if (width) *width = w;
    return ok;
}

bool DecodesCleanly(const Bytes& jpeg) {
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    bool ok = tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &sub, &cs) == 0;
    if (ok) {
        std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
        ok = tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) == 0;
    }
    tjDestroy(tj);
    return ok;
}

Bytes CameraJpeg(int width, int height) {
    camera::PictureSource source(width, height, 75);
    std::string error;
    EXPECT_TRUE(source.Init(&error)) << error;
    camera::JpegBytes jpeg = source.Frame(0, camera::DeviceState{}, camera::ReadDeviceClock());
    return jpeg ? *jpeg : Bytes{};
}

unsigned ReadLe32(const std::string& bytes) {
    unsigned v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[i]);
    return v;
}

std::unique_ptr<camera::Camera> StartNative(const std::string& mode) {
    camera::CameraConfig config = FaultConfig(mode, 160, 120);
    config.http_port = -1;
    config.native_port = 0;
    auto cam = std::make_unique<camera::Camera>(config);
    std::string error;
    EXPECT_TRUE(cam->Start(&error)) << error;
    return cam;
}

}  // namespace

// ---- the fault set ----

TEST(FaultSet, ParsesEveryModeAndNamesTheBadOnes) {
    struct Row {
        const char* mode;
        bool ok;
        const char* message;  // part of the error when not ok
    };
    const Row rows[] = {
        {"drop-after=3", true, ""},
        {"stall-after=0", true, ""},
        {"trickle", true, ""},
        {"garbage", true, ""},
        {"oversize", true, ""},
        {"bad-length", true, ""},
        {"capital-length", true, ""},
        {"no-boundary", true, ""},
        {"corrupt-jpeg", true, ""},
        {"truncate-jpeg", true, ""},
        {"unauthorized", true, ""},
        {"refuse-outputs", true, ""},
        {"slow-accept", true, ""},
        {"bogus", false, "unknown fault mode \"bogus\""},
        {"Trickle", false, "unknown fault mode \"Trickle\""},
        {"drop-after", false, "\"drop-after\" needs =N"},
        {"drop-after=", false, "needs =N"},
        {"stall-after=-1", false, "needs =N"},
        {"stall-after=2x", false, "needs =N"},
        {"drop-after=1000001", false, "needs =N"},
        {"trickle=1", false, "\"trickle\" takes no value"},
        {"", false, "unknown fault mode \"\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        FaultSet set;
        std::string error;
        EXPECT_EQ(set.Add(row.mode, &error), row.ok);
        EXPECT_NE(error.find(row.message), std::string::npos) << error;
        EXPECT_EQ(set.Empty(), !row.ok);
        if (row.ok) {
            EXPECT_EQ(set.Describe(), row.mode);
        }
    }
}

TEST(FaultSet, KeepsSeveralModesAndTheirCounts) {
    FaultSet set;
    std::string error;
    EXPECT_EQ(set.Describe(), "none");
    ASSERT_TRUE(set.Add("trickle", &error));
    ASSERT_TRUE(set.Add("stall-after=7", &error));
    ASSERT_TRUE(set.Add("drop-after=2", &error));
    EXPECT_TRUE(set.Has(Fault::kTrickle));
    EXPECT_TRUE(set.Has(Fault::kDropAfter));
    EXPECT_FALSE(set.Has(Fault::kGarbage));
    EXPECT_EQ(set.DropAfter(), 2);
    EXPECT_EQ(set.StallAfter(), 7);
    EXPECT_EQ(set.Describe(), "drop-after=2,stall-after=7,trickle");
}

TEST(FaultSet, CameraCommandRefusesAnUnknownModeByName) {
    const std::string command =
        QUORLINA_BIN_DIR "/quorlina camera --http 0 --fault trickle --fault sideways 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    EXPECT_EQ(WEXITSTATUS(pclose(p)), 2);
    EXPECT_NE(out.find("--fault: unknown fault mode \"sideways\""), std::string::npos) << out;
}

// ---- JPEG damage ----

TEST(JpegDamage, BitFlipsStayInTheEntropyDataAndKeepTheHeaderReadable) {
    const Bytes jpeg = CameraJpeg(160, 120);
    std::size_t begin = 0, end = 0;
    ASSERT_TRUE(camera::FindEntropyData(jpeg, &begin, &end));
    EXPECT_GT(begin, 100u);  // after the tables and the scan header
    EXPECT_EQ(end, jpeg.size() - 2);
    std::mt19937 random(1);
    const Bytes damaged = camera::CorruptEntropyData(jpeg, camera::kCorruptBitFlips, random);
    ASSERT_EQ(damaged.size(), jpeg.size());
    EXPECT_TRUE(std::equal(jpeg.begin(), jpeg.begin() + static_cast<long>(begin), damaged.begin()));
    EXPECT_TRUE(HasJpegEnd(damaged));
    int changed_bits = 0;
    for (std::size_t i = begin; i < end; ++i) {
        changed_bits += __builtin_popcount(jpeg[i] ^ damaged[i]);
        if (jpeg[i] != damaged[i]) {
            SCOPED_TRACE(i);
            EXPECT_NE(jpeg[i], 0xFF);
            EXPECT_NE(damaged[i], 0xFF);
            EXPECT_NE(jpeg[i - 1], 0xFF) << "a stuffed zero or marker code was changed";
        }
    }
    EXPECT_GT(changed_bits, camera::kCorruptBitFlips / 2);
    EXPECT_LE(changed_bits, camera::kCorruptBitFlips);
    int width = 0;
    EXPECT_TRUE(HeaderReads(damaged, &width));
    EXPECT_EQ(width, 160);
}

TEST(JpegDamage, CutKeepsTheHeaderAndLosesTheEnd) {
    const Bytes jpeg = CameraJpeg(160, 120);
    std::size_t begin = 0, end = 0;
    ASSERT_TRUE(camera::FindEntropyData(jpeg, &begin, &end));
    const Bytes cut = camera::TruncateJpeg(jpeg);
    EXPECT_EQ(cut.size(), begin + (end - begin) / 2);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), jpeg.begin()));
    EXPECT_TRUE(HeaderReads(cut));
    EXPECT_FALSE(HasJpegEnd(cut));
    EXPECT_FALSE(camera::FindEntropyData(cut, &begin, &end));
}

TEST(JpegDamage, MarkerWalkRejectsWhatItCannotFollow) {
    const Bytes jpeg = CameraJpeg(64, 48);
    std::size_t begin = 0, end = 0;
    struct Row {
        const char* what;
        Bytes bytes;
    };
    Bytes bad_length = jpeg;
    bad_length[4] = 0xFF;  // the first segment claims to run past the end
    Bytes no_marker = jpeg;
    no_marker[2] = 0x00;
    const Row rows[] = {
        {"empty", {}},
        {"no start of image", Bytes(jpeg.begin() + 2, jpeg.end())},
        {"segment past the end", bad_length},
        {"no marker after the start", no_marker},
        {"only a start of image", {0xFF, 0xD8, 0xFF, 0xD9}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_FALSE(camera::FindEntropyData(row.bytes, &begin, &end));
        std::mt19937 random(2);
        EXPECT_EQ(camera::CorruptEntropyData(row.bytes, 4, random), row.bytes);
    }
    EXPECT_EQ(camera::PadJpeg(jpeg, jpeg.size() + 3).size(), jpeg.size() + 3);
    EXPECT_EQ(camera::PadJpeg(jpeg, 10), jpeg);
}

// ---- faults on the wire ----

TEST(CameraFaultWire, HttpRefusesCommandsAndEveryRequest) {
    const std::string post = "POST /iocontrol.cgi HTTP/1.0\r\nContent-Length: 10\r\n\r\nTrigger1=1";
    {
        camera::Camera cam(FaultConfig("refuse-outputs", 64, 48));
        std::string error;
        ASSERT_TRUE(cam.Start(&error)) << error;
        RawClient client;
        ASSERT_TRUE(client.Connect(cam.HttpPort()));
        client.Send(post);
        EXPECT_EQ(client.ReadToClose().substr(0, 12), "HTTP/1.0 500");
        EXPECT_FALSE(cam.State().output1);
        ASSERT_EQ(cam.Commands().size(), 1u);
        EXPECT_EQ(cam.Commands()[0].status, 500);
        RawClient read;
        ASSERT_TRUE(read.Connect(cam.HttpPort()));
        read.Send("GET /iocontrol.cgi HTTP/1.0\r\n\r\n");
        EXPECT_EQ(read.ReadToClose().substr(0, 12), "HTTP/1.0 200") << "reads still answered";
    }
    camera::Camera cam(FaultConfig("unauthorized", 64, 48));
    std::string error;
    ASSERT_TRUE(cam.Start(&error)) << error;
    for (const char* path : {"/HOME.htm", "/DevInfo.CGI", "/mjpeg.cgi"}) {
        SCOPED_TRACE(path);
        RawClient client;
        ASSERT_TRUE(client.Connect(cam.HttpPort()));
        client.Send(std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
        const std::string reply = client.ReadToClose();
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.0 401");
        EXPECT_EQ(reply.find("200"), std::string::npos);
    }
}

TEST(CameraFaultWire, NativeFrameRepliesCarryTheirFault) {
    constexpr int kSecondFrameWaitMs = 400;
    struct Row {
        const char* mode;
        std::function<void(RawClient&)> check;  // after the greeting
    };
    const Row rows[] = {
        {"oversize",
         [](RawClient& client) {
             client.Send("0110");
             EXPECT_EQ(ReadLe32(client.ReadN(4)), camera::kOversizeNativeFrameBytes);
             const std::string data = client.ReadN(camera::kOversizeNativeFrameBytes);
             EXPECT_EQ(data.size(), camera::kOversizeNativeFrameBytes);
         }},
        {"bad-length",
         [](RawClient& client) {
             client.Send("0110");
             const unsigned declared = ReadLe32(client.ReadN(4));
             const std::string data = client.ReadN(declared, 500);
             EXPECT_EQ(data.size() + camera::kBadLengthExtraBytes, declared);
             EXPECT_TRUE(HasJpegEnd(Bytes(data.begin(), data.end())));
         }},
        {"truncate-jpeg",
         [](RawClient& client) {
             client.Send("0110");
             const std::string data = client.ReadN(ReadLe32(client.ReadN(4)));
             const Bytes jpeg(data.begin(), data.end());
             EXPECT_TRUE(HeaderReads(jpeg));
             EXPECT_FALSE(HasJpegEnd(jpeg));
         }},
        {"drop-after=1",
         [](RawClient& client) {
             client.Send("0110");
             EXPECT_EQ(client.ReadN(ReadLe32(client.ReadN(4))).size() > 100, true);
             client.Send("0110");
             const unsigned declared = ReadLe32(client.ReadN(4));
             bool closed = false;
             const std::string half = client.ReadToClose(1000, &closed);
             EXPECT_TRUE(closed);
             EXPECT_EQ(half.size(), declared / 2);
         }},
        {"stall-after=1",
         [&](RawClient& client) {
             client.Send("0110");
             EXPECT_GT(client.ReadN(ReadLe32(client.ReadN(4))).size(), 100u);
             client.Send("0110");
             bool closed = true;
             EXPECT_EQ(client.ReadToClose(kSecondFrameWaitMs, &closed), "");
             EXPECT_FALSE(closed) << "a stall keeps the connection open";
         }},
        {"refuse-outputs",
         [](RawClient& client) {
             client.Send(std::string("0002\x01\x01", 6));
             EXPECT_EQ(client.ReadN(4), "0502");
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        auto cam = StartNative(row.mode);
        RawClient client;
        ASSERT_TRUE(client.Connect(cam->NativePort()));
        ASSERT_EQ(client.ReadN(130).substr(0, 4), "0200");
        row.check(client);
    }
}

TEST(CameraFaultWire, NativeUnauthorizedRefusesEveryLoginAndSlowAcceptGreetsLate) {
    auto cam = StartNative("unauthorized");
    for (const std::string& login :
         {std::string("0001") + std::string(20, '\0'), std::string("0110")}) {
        RawClient client;
        ASSERT_TRUE(client.Connect(cam->NativePort()));
        EXPECT_EQ(client.ReadN(130).substr(0, 4), "0301");
        client.Send(login);
        EXPECT_EQ(client.ReadN(34).substr(0, 4), "0502");
        bool closed = false;
        client.ReadToClose(1000, &closed);
        EXPECT_TRUE(closed);
    }
    auto slow = StartNative("slow-accept");
    RawClient client;
    const platform::Tick t0 = platform::GetTickCount();
    ASSERT_TRUE(client.Connect(slow->NativePort()));
    EXPECT_EQ(client.ReadN(130, camera::kSlowAcceptMs + 1000).substr(0, 4), "0200");
    EXPECT_GE(platform::GetTickCount() - t0, static_cast<std::uint32_t>(camera::kSlowAcceptMs));
}

// ---- the control against the faults (HTTP) ----

// A part length over the limit ends the session as soon as its header is read; garbage never
// makes a part and a length beyond the data starts the boundary search inside the next part,
// where a zero byte stops it every time: both fill the buffer past its 150000-byte limit within
// a second at this frame rate. None of them presents a frame.
TEST(CameraFaultsHttp, BrokenPartsEndTheSessionAtOnce) {
    const Resources before = Baseline();
    {
        std::vector<std::unique_ptr<Lane>> lanes;
        for (const char* mode : {"oversize", "garbage", "bad-length"})
            lanes.push_back(std::make_unique<Lane>(FaultConfig(mode)));
        for (auto& lane : lanes) lane->Probe();
        for (auto& lane : lanes) lane->Play();
        PollLanes(
            lanes, [](Lane& l) { return l.ended; }, kFrameSilenceMs);
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            EXPECT_TRUE(lane->ended);
            EXPECT_LT(lane->ended_tick - lane->play_tick, kAtOnceMs);
            EXPECT_EQ(lane->c->FramesReceived.load(), 0u);
            EXPECT_EQ(lane->c->FramesPresented.load(), 0u);
            EXPECT_TRUE(WaitFor([&] { return lane->c->ThreadRunning.load() == 0; }, 500));
            EXPECT_LT(lane->play_ms, 100u);
            EXPECT_LT(lane->longest_get_ms, kGetBoundMs);
        }
    }
    ExpectNothingLeft(before);
}

// Damaged JPEGs are still frames: their headers read, so the presenter counts every one; a cut
// one fails in its entropy data and is never painted. Without a boundary the empty boundary
// matches right at the end of each part, so parts delimited by length alone still come through
// whole; a trickling camera is slow but well inside the limits; "Content-Length:" is read in any
// letter case, as HTTP reads it. Refused commands leave the stream alone.
TEST(CameraFaultsHttp, DamageThatKeepsThePartsWholePlaysOn) {
    const Resources before = Baseline();
    {
        std::vector<std::unique_ptr<Lane>> lanes;
        for (const char* mode :
             {"corrupt-jpeg", "truncate-jpeg", "no-boundary", "refuse-outputs", "capital-length"})
            lanes.push_back(std::make_unique<Lane>(FaultConfig(mode)));
        lanes.push_back(std::make_unique<Lane>(FaultConfig("trickle", 64, 48)));
        for (auto& lane : lanes) lane->Probe();
        for (auto& lane : lanes) lane->Play();
        // The trickling camera pauses after every byte; on a loaded machine each pause lasts far
        // longer than asked, so the wait is generous (it ends once every lane has its frames).
        PollLanes(
            lanes, [](Lane& l) { return l.c->FramesReceived.load() >= 3 || l.ended; }, 25000);
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            EXPECT_FALSE(lane->ended);
            EXPECT_EQ(lane->c->PlayState.load(), control::Playing);
            EXPECT_GE(lane->c->FramesReceived.load(), 3u);
            const Bytes held = lane->Held();
            EXPECT_TRUE(IsJpegStart(held));
            EXPECT_TRUE(HeaderReads(held));
            if (lane->mode == "truncate-jpeg") {
                EXPECT_FALSE(HasJpegEnd(held));
                EXPECT_LT(held.size(), 9000u);  // about half a 320x240 frame
                EXPECT_FALSE(lane->Painted());
            } else {
                EXPECT_TRUE(HasJpegEnd(held));
            }
            if (lane->mode != "truncate-jpeg" && lane->mode != "corrupt-jpeg") {
                EXPECT_TRUE(lane->Painted());
            }
            if (lane->mode == "no-boundary" || lane->mode == "trickle") {
                EXPECT_TRUE(DecodesCleanly(held));
            }
        }
        // The refused command shows only in the command status; the output keeps its state.
        Lane& refusing = *lanes[3];
        const platform::Tick t0 = platform::GetTickCount();
        refusing.c->put_IOOut1(1);
        EXPECT_LT(platform::GetTickCount() - t0, 1000u);
        EXPECT_TRUE(WaitFor(
            [&] { return refusing.c->CommandStatus.load() == commands::kCommandRefused; }, 3000));
        EXPECT_EQ(refusing.c->IOOut1.load(), 0);
        EXPECT_FALSE(refusing.cam->State().output1);
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            EXPECT_LT(lane->StopTimed(), kStopBoundMs);
            EXPECT_EQ(lane->c->FramesPresented.load(), lane->c->FramesReceived.load())
                << "every frame counted";
            EXPECT_LT(lane->play_ms, 100u);
            EXPECT_LT(lane->longest_get_ms, kGetBoundMs);
        }
    }
    ExpectNothingLeft(before);
}

// Both probe connections and the stream connection are taken up two seconds late. The probe's
// round trip grows its time-out to about 3 x 2 s + 15 = 21 s: the camera's pause starts when it
// takes the connection up, which can be a little before the probe's clock starts, so a round trip
// of just under 2 s (20 s) is as right as one just over. The stream starts late and then plays.
TEST(CameraFaultsHttp, SlowAcceptDelaysTheProbeAndTheFirstFrameOnly) {
    const Resources before = Baseline();
    {
        Lane lane(FaultConfig("slow-accept"));
        const platform::Tick t0 = platform::GetTickCount();
        lane.Probe();
        const std::uint32_t probe_ms = platform::GetTickCount() - t0;
        EXPECT_GE(probe_ms, 2u * camera::kSlowAcceptMs);
        EXPECT_LT(probe_ms, 2u * camera::kSlowAcceptMs + 5000);  // loose: loaded machines
        EXPECT_EQ(lane.c->StreamMode.load(), control::kStreamHttp);
        EXPECT_GE(lane.c->ProbeTimeout.load(), 20);
        EXPECT_LE(lane.c->ProbeTimeout.load(), 25);
        lane.Play();
        EXPECT_LT(lane.play_ms, 500u);
        std::vector<platform::Tick> frame_ticks;
        WaitFor(
            [&] {
                lane.Poll();
                while (frame_ticks.size() < lane.last_frames)
                    frame_ticks.push_back(lane.last_frame_tick);
                return frame_ticks.size() >= 3 || lane.ended;
            },
            10000);
        ASSERT_GE(frame_ticks.size(), 3u);
        EXPECT_GE(frame_ticks[0] - lane.play_tick,
                  static_cast<std::uint32_t>(camera::kSlowAcceptMs));
        EXPECT_LT(frame_ticks[0] - lane.play_tick, camera::kSlowAcceptMs + 5000u);
        EXPECT_LT(frame_ticks[2] - frame_ticks[0], 3000u) << "then it plays at its rate";
        EXPECT_LT(lane.StopTimed(), kStopBoundMs);
        EXPECT_LT(lane.longest_get_ms, kGetBoundMs);
    }
    ExpectNothingLeft(before);
}

// Modes that leave the session without frames while the connection stays up: a stalled camera
// sends nothing. Each session ends on the no-frame limit, 12 s after its last frame (or its
// start), and not before. (A closed connection and a 401 end the session at once, with their
// own reasons.)
TEST(CameraFaultsHttp, StarvedSessionsEndOnTheNoFrameLimitSlow) {
    const Resources before = Baseline();
    {
        std::vector<std::unique_ptr<Lane>> lanes;
        for (const char* mode : {"stall-after=3"})
            lanes.push_back(std::make_unique<Lane>(FaultConfig(mode)));
        for (auto& lane : lanes) lane->Probe();
        for (auto& lane : lanes) lane->Play();
        PollLanes(
            lanes, [](Lane& l) { return l.ended; }, kFrameSilenceMs + 3000);
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            ASSERT_TRUE(lane->ended);
            EXPECT_EQ(lane->c->StreamMode.load(), control::kStreamHttp);
            const bool framed = lane->mode == "stall-after=3";
            EXPECT_EQ(lane->c->FramesReceived.load(), framed ? 3u : 0u);
            EXPECT_EQ(lane->c->FramesPresented.load(), framed ? 3u : 0u);
            const std::uint32_t silent = lane->ended_tick - lane->last_frame_tick;
            EXPECT_GE(silent + 50, kFrameSilenceMs);
            EXPECT_LT(silent, kFrameSilenceMs + kLimitSlackMs);
            // The part headers carried the device line.
            EXPECT_FALSE(lane->c->TimeString.Get().empty());
            EXPECT_TRUE(WaitFor([&] { return lane->c->ThreadRunning.load() == 0; }, 500));
            EXPECT_LT(lane->longest_get_ms, kGetBoundMs);
        }
    }
    ExpectNothingLeft(before);
}

// ---- the control against the faults (native) ----

// A frame length over 65536, random bytes in place of a reply, a refused login and a connection
// closed mid-frame each make the stream thread reconnect after its 100 ms pause; the session
// never ends by itself. A camera closing after every third frame thus still delivers frames, three
// a connection. A trickling camera seldom has all four status bytes there for the one receive
// that reads them, so it is a reconnect loop unless the thread happens to wake late; whatever
// frames get through are whole. (It is aimed at without the probe: the probe drops what is
// waiting before it sends, which may be the greeting's first digit, and then classes the device
// by what is left.)
TEST(CameraFaultsNative, BrokenRepliesReconnectAtOnce) {
    const Resources before = Baseline();
    {
        std::vector<std::unique_ptr<Lane>> lanes;
        for (const char* mode : {"oversize", "garbage", "unauthorized", "drop-after=3", "trickle"})
            lanes.push_back(std::make_unique<Lane>(NativeFaultConfig(mode), kNativeTimeoutS));
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            if (lane->mode == "trickle") {
                lane->AimNative();
            } else {
                lane->Probe();
                EXPECT_EQ(lane->c->StreamMode.load(), control::kStreamNative);
            }
        }
        for (auto& lane : lanes) lane->Play();
        PollLanes(
            lanes,
            [](Lane& l) {
                return l.connection_ticks.size() >= 4 ||
                       (l.mode == "trickle" && l.c->FramesReceived.load() > 0);
            },
            4000);
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            if (lane->mode != "trickle") {
                EXPECT_GE(lane->connection_ticks.size(), 4u) << "reconnects";
            }
            EXPECT_FALSE(lane->ended);
            EXPECT_EQ(lane->c->PlayState.load(), control::Playing);
            const unsigned frames = lane->c->FramesReceived.load();
            if (lane->mode == "drop-after=3") {
                EXPECT_GE(frames, 9u);
                EXPECT_LE(frames, 3 * lane->Connections());
            } else if (lane->mode == "trickle") {
                if (frames > 0) {
                    EXPECT_TRUE(HasJpegEnd(lane->Held()));
                }
            } else {
                EXPECT_EQ(frames, 0u);
            }
            EXPECT_LT(lane->StopTimed(), kNativeStopBoundMs);
            EXPECT_NE(lane->c->PlayState.load(), control::Playing);
            EXPECT_LT(lane->longest_get_ms, kGetBoundMs);
        }
    }
    ExpectNothingLeft(before);
}

// A camera that stops answering, or declares 1000 bytes more than it sends, leaves the frame
// read waiting; the thread reconnects once a receive wait of Timeout (1 s here) has passed,
// plus its 100 ms pause.
TEST(CameraFaultsNative, SilenceReconnectsAfterTheReceiveTimeout) {
    const Resources before = Baseline();
    {
        std::vector<std::unique_ptr<Lane>> lanes;
        for (const char* mode : {"stall-after=2", "bad-length"})
            lanes.push_back(std::make_unique<Lane>(NativeFaultConfig(mode), kNativeTimeoutS));
        for (auto& lane : lanes) lane->Probe();
        for (auto& lane : lanes) lane->Play();
        PollLanes(
            lanes, [](Lane& l) { return l.connection_ticks.size() >= 3; }, 5000);
        const std::uint32_t wait_ms = kNativeTimeoutS * 1000;
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            ASSERT_GE(lane->connection_ticks.size(), 3u);
            const std::uint32_t gap = lane->connection_ticks[2] - lane->connection_ticks[1];
            EXPECT_GE(gap + 50, wait_ms);
            EXPECT_LT(gap, wait_ms + 700);
            const unsigned frames = lane->c->FramesReceived.load();
            if (lane->mode == "stall-after=2") {
                EXPECT_GE(frames, 4u);
                EXPECT_LE(frames, 2 * lane->Connections());
            } else {
                EXPECT_EQ(frames, 0u);
            }
            EXPECT_LT(lane->StopTimed(), kNativeStopBoundMs);
            EXPECT_LT(lane->longest_get_ms, kGetBoundMs);
        }
    }
    ExpectNothingLeft(before);
}

// Damaged JPEGs whose length matches are still frames (a cut one is never painted), HTTP-only
// faults change nothing, and a refused output command is the setter's result 1 with the output
// left as it was. All of them stream on their first connection.
TEST(CameraFaultsNative, DamageThatKeepsTheFramesWholePlaysOn) {
    const Resources before = Baseline();
    {
        std::vector<std::unique_ptr<Lane>> lanes;
        for (const char* mode :
             {"corrupt-jpeg", "truncate-jpeg", "capital-length", "no-boundary", "refuse-outputs"})
            lanes.push_back(std::make_unique<Lane>(NativeFaultConfig(mode), kNativeTimeoutS));
        for (auto& lane : lanes) lane->Probe();
        for (auto& lane : lanes) lane->Play();
        PollLanes(
            lanes, [](Lane& l) { return l.c->FramesReceived.load() >= 3; }, 4000);
        Lane& refusing = *lanes[4];
        const platform::Tick t0 = platform::GetTickCount();
        EXPECT_EQ(refusing.c->put_IOOut1(1), 1);
        EXPECT_LT(platform::GetTickCount() - t0, kNativeStopBoundMs);
        EXPECT_EQ(refusing.c->IOOut1.load(), 0);
        for (auto& lane : lanes) {
            SCOPED_TRACE(lane->mode);
            EXPECT_GE(lane->c->FramesReceived.load(), 3u);
            EXPECT_EQ(lane->Connections(), lane->mode == "refuse-outputs" ? 2u : 1u)
                << "the stream, and the command channel where a command was sent";
            const Bytes held = lane->Held();
            EXPECT_TRUE(IsJpegStart(held));
            EXPECT_TRUE(HeaderReads(held));
            EXPECT_EQ(HasJpegEnd(held), lane->mode != "truncate-jpeg");
            if (lane->mode != "corrupt-jpeg") {
                EXPECT_EQ(lane->Painted(), lane->mode != "truncate-jpeg");
            }
            EXPECT_LT(lane->StopTimed(), kNativeStopBoundMs);
            EXPECT_EQ(lane->c->FramesPresented.load(), lane->c->FramesReceived.load());
            EXPECT_LT(lane->longest_get_ms, kGetBoundMs);
        }
    }
    ExpectNothingLeft(before);
}

// A greeting that comes 2 s late is read when Timeout (3 s) outlasts it, and the stream then
// plays; with Timeout 1 s every greeting wait runs out first and the thread reconnects forever.
TEST(CameraFaultsNative, SlowAcceptStreamsOnlyWhenTheGreetingComesWithinTimeout) {
    const Resources before = Baseline();
    {
        std::vector<std::unique_ptr<Lane>> lanes;
        lanes.push_back(std::make_unique<Lane>(NativeFaultConfig("slow-accept"), 3));
        lanes.push_back(std::make_unique<Lane>(NativeFaultConfig("slow-accept"), kNativeTimeoutS));
        for (auto& lane : lanes) lane->AimNative();
        for (auto& lane : lanes) lane->Play();
        PollLanes(
            lanes, [](Lane& l) { return l.c->FramesReceived.load() >= 3; },
            camera::kSlowAcceptMs + 2000);
        Lane& patient = *lanes[0];
        Lane& hasty = *lanes[1];
        EXPECT_GE(patient.c->FramesReceived.load(), 3u);
        EXPECT_EQ(patient.Connections(), 1u);
        EXPECT_EQ(hasty.c->FramesReceived.load(), 0u);
        EXPECT_GE(hasty.Connections(), 3u);
        for (auto& lane : lanes) {
            EXPECT_LT(lane->StopTimed(), kNativeStopBoundMs);
            EXPECT_LT(lane->longest_get_ms, kGetBoundMs);
        }
    }
    ExpectNothingLeft(before);
}
