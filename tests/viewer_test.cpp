// The viewer window under a private X server (Xvfb on a free display number, Unix socket only):
// `quorlina view` against a simulated camera on 127.0.0.1 opens its window, shows the control's
// window pixels (an X screenshot against the s key's BMP), follows a resize, switches an output
// on the camera from a key press, and quits with status 0 on q. Skips where no Xvfb can start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apps/camera/camera.h"
#include "support/bmp.h"

// Xlib last: its macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFirstDisplay = 90;
constexpr int kLastDisplay = 99;
constexpr int kServerStartMs = 5000;
constexpr int kWindowOpenMs = 8000;
constexpr int kPictureMs = 5000;
constexpr int kCommandMs = 3000;
constexpr int kQuitMs = 10000;
constexpr int kPollMs = 20;
constexpr int kSnapshotAttempts = 5;
// Two frames a second: the picture holds still long enough for a screenshot to catch one.
constexpr int kCameraFps = 2;

bool WaitFor(const std::function<bool()>& done, int limit_ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (Clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return done();
}

// The current environment with the given variables replaced or (empty value) removed.
std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool changed = false;
        for (const auto& [name, value] : changes)
            if (entry.rfind(name + "=", 0) == 0) changed = true;
        if (!changed) env.push_back(entry);
    }
    for (const auto& [name, value] : changes)
        if (!value.empty()) env.push_back(name + "=" + value);
    return env;
}

// Starts a program with stdout and stderr into `output` (/dev/null when empty); -1 on failure.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string target = output.empty() ? "/dev/null" : output;
    posix_spawn_file_actions_addopen(&actions, 1, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

// The exit status once the process has ended within the limit; -1 otherwise (it is killed).
int WaitForExit(pid_t pid, int limit_ms) {
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit_ms);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Ends the process at scope exit unless it has been waited for.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard() {
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// A temporary folder, removed with everything in it at scope exit.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/quorlina-viewer-XXXXXX";
        if (::mkdtemp(name) != nullptr) path = name;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
};

class PrivateXServer {
  public:
    PrivateXServer() = default;
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;
    ~PrivateXServer() {
        if (display_ != nullptr) XCloseDisplay(display_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            WaitForExit(pid_, kServerStartMs);
        }
    }

    // The first display number of the range without a socket or lock file that Xvfb serves.
    bool Start(std::string* why) {
        for (int n = kFirstDisplay; n <= kLastDisplay; ++n) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
            if (fs::exists(socket) || fs::exists(lock)) continue;
            name_ = ":" + std::to_string(n);
            pid_ = Spawn({"Xvfb", name_, "-screen", "0", "800x600x24", "-nolisten", "tcp"},
                         EnvironmentWith({}), "");
            if (pid_ < 0) {
                *why = "Xvfb cannot be started (is the xvfb package installed?)";
                return false;
            }
            int status = 0;
            bool exited = false;
            WaitFor(
                [&] {
                    if (::waitpid(pid_, &status, WNOHANG) == pid_) exited = true;
                    if (exited || !fs::exists(socket)) return exited;
                    display_ = XOpenDisplay(name_.c_str());
                    return display_ != nullptr;
                },
                kServerStartMs);
            if (display_ != nullptr) return true;
            if (!exited) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
            pid_ = -1;
        }
        *why = "no Xvfb server came up on displays :" + std::to_string(kFirstDisplay) +
               "..:" + std::to_string(kLastDisplay);
        return false;
    }

    Display* display() const { return display_; }
    const std::string& name() const { return name_; }

  private:
    pid_t pid_ = -1;
    std::string name_;
    Display* display_ = nullptr;
};

// A mapped top-level window whose _NET_WM_PID is pid, or 0.
Window FindWindowOf(Display* d, pid_t pid) {
    const Atom pid_atom = XInternAtom(d, "_NET_WM_PID", True);
    if (pid_atom == None) return 0;
    Window root_back, parent;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root_back, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, children[i], pid_atom, 0, 1, False, XA_CARDINAL, &type, &format,
                               &items, &after, &data) == Success &&
            data != nullptr && items == 1 && format == 32) {
            XWindowAttributes attributes;
            if (static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid &&
                XGetWindowAttributes(d, children[i], &attributes) &&
                attributes.map_state == IsViewable)
                found = children[i];
        }
        if (data != nullptr) XFree(data);
    }
    if (children != nullptr) XFree(children);
    return found;
}

int ShiftOf(unsigned long mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

// The window's pixels as the X server holds them, blue-green-red, top row first.
testsupport::Picture Screenshot(Display* d, Window w) {
    testsupport::Picture picture;
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes)) return picture;
    XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr) return picture;
    picture.width = attributes.width;
    picture.height = attributes.height;
    picture.channels = 3;
    picture.pixels.reserve(static_cast<std::size_t>(picture.width * picture.height * 3));
    const int red = ShiftOf(image->red_mask);
    const int green = ShiftOf(image->green_mask);
    const int blue = ShiftOf(image->blue_mask);
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            picture.pixels.push_back(static_cast<std::uint8_t>((p & image->blue_mask) >> blue));
            picture.pixels.push_back(static_cast<std::uint8_t>((p & image->green_mask) >> green));
            picture.pixels.push_back(static_cast<std::uint8_t>((p & image->red_mask) >> red));
        }
    }
    XDestroyImage(image);
    return picture;
}

// Pixels that differ from the first one: a uniform background has none.
std::size_t PixelsUnlikeTheFirst(const testsupport::Picture& p) {
    std::size_t count = 0;
    for (std::size_t i = 3; i + 2 < p.pixels.size(); i += 3)
        if (std::memcmp(&p.pixels[i], p.pixels.data(), 3) != 0) ++count;
    return count;
}

void PressKey(Display* d, Window w, KeySym key) {
    XSetInputFocus(d, w, RevertToPointerRoot, CurrentTime);
    const KeyCode code = XKeysymToKeycode(d, key);
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    XSync(d, False);
}

std::string TitleOf(Display* d, Window w) {
    char* name = nullptr;
    std::string title;
    if (XFetchName(d, w, &name) && name != nullptr) title = name;
    if (name != nullptr) XFree(name);
    return title;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The private display has no session bus, and the viewer is told so in the variable a desktop
// session sets: otherwise libdbus (which SDL loads) tries to autolaunch a bus, spawning
// dbus-launch where it is installed and leaking its read buffer where it is not.
std::vector<std::string> ViewerEnvironment(const PrivateXServer& x) {
    return EnvironmentWith({{"DISPLAY", x.name()},
                            {"WAYLAND_DISPLAY", ""},
                            {"SDL_VIDEODRIVER", ""},
                            {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}});
}

}  // namespace

TEST(Viewer, ShowsTheControlWindowFollowsResizeSwitchesAnOutputAndQuitsOnQ) {
    PrivateXServer x;
    std::string why;
    if (!x.Start(&why)) GTEST_SKIP() << why;
    Display* d = x.display();
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(d, &event_base, &error_base, &major, &minor))
        GTEST_SKIP() << "the X server has no XTEST extension";

    camera::CameraConfig config;
    config.http_port = 0;
    config.fps = kCameraFps;
    camera::Camera cam(config);
    ASSERT_TRUE(cam.Start(&why)) << why;

    TempDir temp;
    ASSERT_FALSE(temp.path.empty());
    const std::string& dir = temp.path;
    const std::string output = dir + "/output.txt";
    const std::vector<std::string> env = ViewerEnvironment(x);
    const pid_t viewer =
        Spawn({QUORLINA_BIN_DIR "/quorlina", "view",
               "http://127.0.0.1:" + std::to_string(cam.HttpPort()), "--snapshots", dir},
              env, output);
    ASSERT_GT(viewer, 0);
    ChildGuard guard{viewer};

    Window w = 0;
    ASSERT_TRUE(WaitFor([&] { return (w = FindWindowOf(d, viewer)) != 0; }, kWindowOpenMs))
        << ReadAll(output);
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(d, w, &attributes));
    EXPECT_EQ(attributes.width, 320);  // the preview size at zoom 1
    EXPECT_EQ(attributes.height, 240);

    // A camera frame on screen: far more than a uniform background.
    EXPECT_TRUE(WaitFor([&] { return PixelsUnlikeTheFirst(Screenshot(d, w)) > 320 * 240 / 4; },
                        kPictureMs));
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::string title = TitleOf(d, w);
            return title.find(" fps ") != std::string::npos &&
                   title.find(" 20") != std::string::npos;
        },
        kPictureMs))
        << TitleOf(d, w);

    // The snapshot is the control window's pixels the viewer shows; the screen must match it.
    // A frame may land between the screenshot and the key, so the screen is read before and after
    // and only a still picture is compared.
    int snapshot = 0;
    bool compared = false;
    for (int attempt = 0; attempt < kSnapshotAttempts && !compared; ++attempt) {
        const testsupport::Picture before = Screenshot(d, w);
        PressKey(d, w, XK_s);
        const std::string path = dir + "/quorlina-snapshot-" + std::to_string(++snapshot) + ".bmp";
        ASSERT_TRUE(WaitFor([&] { return fs::exists(path); }, kCommandMs)) << ReadAll(output);
        const testsupport::Picture after = Screenshot(d, w);
        if (testsupport::MaxDifference(before, after) != 0) continue;
        testsupport::Picture written;
        ASSERT_TRUE(testsupport::ReadBmpFile(path, &written, &why)) << why;
        EXPECT_EQ(testsupport::MaxDifference(written, before), 0);
        compared = true;
    }
    EXPECT_TRUE(compared) << "the picture never held still over a snapshot";

    // A resize reaches the control's window: the next snapshot has the new size.
    XResizeWindow(d, w, 400, 300);
    XSync(d, False);
    bool resized = false;
    for (int attempt = 0; attempt < kSnapshotAttempts && !resized; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        PressKey(d, w, XK_s);
        const std::string path = dir + "/quorlina-snapshot-" + std::to_string(++snapshot) + ".bmp";
        ASSERT_TRUE(WaitFor([&] { return fs::exists(path); }, kCommandMs)) << ReadAll(output);
        testsupport::Picture written;
        ASSERT_TRUE(testsupport::ReadBmpFile(path, &written, &why)) << why;
        resized = written.width == 400 && written.height == 300;
    }
    EXPECT_TRUE(resized);

    ASSERT_FALSE(cam.State().output1);
    PressKey(d, w, XK_1);
    EXPECT_TRUE(WaitFor([&] { return cam.State().output1; }, kCommandMs));

    PressKey(d, w, XK_q);
    EXPECT_EQ(WaitForExit(viewer, kQuitMs), 0) << ReadAll(output);
    guard.pid = -1;
    const std::string printed = ReadAll(output);
    EXPECT_NE(printed.find("fps "), std::string::npos) << printed;
    EXPECT_NE(printed.find("snapshot: wrote " + dir), std::string::npos) << printed;
}

// The camera goes away and comes back on the same port: the window says why the picture stopped
// and that it will try again, then shows the camera again without a key press.
TEST(Viewer, ShowsWhyTheCameraWentAndPlaysAgainWhenItIsBack) {
    PrivateXServer x;
    std::string why;
    if (!x.Start(&why)) GTEST_SKIP() << why;
    Display* d = x.display();

    camera::CameraConfig config;
    config.http_port = 0;
    config.fps = kCameraFps;
    auto cam = std::make_unique<camera::Camera>(config);
    ASSERT_TRUE(cam->Start(&why)) << why;
    config.http_port = cam->HttpPort();

    TempDir temp;
    ASSERT_FALSE(temp.path.empty());
    const std::string output = temp.path + "/output.txt";
    const std::vector<std::string> env =
        EnvironmentWith({{"DISPLAY", x.name()},
                         {"WAYLAND_DISPLAY", ""},
                         {"SDL_VIDEODRIVER", ""},
                         {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}});
    const pid_t viewer = Spawn({QUORLINA_BIN_DIR "/quorlina", "view",
                                "http://127.0.0.1:" + std::to_string(config.http_port)},
                               env, output);
    ASSERT_GT(viewer, 0);
    ChildGuard guard{viewer};
    Window w = 0;
    ASSERT_TRUE(WaitFor([&] { return (w = FindWindowOf(d, viewer)) != 0; }, kWindowOpenMs))
        << ReadAll(output);
    const auto title_has = [&](const char* words) {
        return TitleOf(d, w).find(words) != std::string::npos;
    };
    EXPECT_TRUE(WaitFor([&] { return title_has("playing"); }, kPictureMs)) << TitleOf(d, w);

    cam.reset();  // the camera closes the stream and stops listening
    EXPECT_TRUE(WaitFor([&] { return title_has("ended: connection"); }, kPictureMs))
        << TitleOf(d, w);
    // A line drawn over the picture's bottom says so: white letters on a band whose last rows
    // are black from edge to edge.
    const testsupport::Picture ended = Screenshot(d, w);
    ASSERT_GT(ended.height, 20);
    const std::size_t row = static_cast<std::size_t>(ended.width) * 3;
    const auto bottom = ended.pixels.begin() + static_cast<std::ptrdiff_t>((ended.height - 1) * row);
    EXPECT_TRUE(std::all_of(bottom, bottom + static_cast<std::ptrdiff_t>(row),
                            [](std::uint8_t v) { return v == 0; }));
    const auto band = ended.pixels.begin() + static_cast<std::ptrdiff_t>((ended.height - 20) * row);
    EXPECT_TRUE(std::any_of(band, ended.pixels.end(), [](std::uint8_t v) { return v == 255; }));
    EXPECT_TRUE(WaitFor([&] { return ReadAll(output).find("retrying in") != std::string::npos; },
                        kPictureMs))
        << ReadAll(output);

    cam = std::make_unique<camera::Camera>(config);
    ASSERT_TRUE(cam->Start(&why)) << why;
    // The backoff is 1, 2, 4 ... s: the replay comes within a few of them.
    constexpr int kBackAgainMs = 20000;
    EXPECT_TRUE(WaitFor([&] { return title_has("playing"); }, kBackAgainMs)) << ReadAll(output);
    EXPECT_TRUE(WaitFor(
        [&] { return testsupport::MaxDifference(Screenshot(d, w), ended) != 0; }, kPictureMs));
    EXPECT_NE(ReadAll(output).find("playing again"), std::string::npos) << ReadAll(output);

    ::kill(viewer, SIGTERM);
    WaitForExit(viewer, kQuitMs);
    guard.pid = -1;
}

TEST(Viewer, DesignModeShowsTheAmbientBackgroundAndCaptionUntilPlayed) {
    PrivateXServer x;
    std::string why;
    if (!x.Start(&why)) GTEST_SKIP() << why;
    Display* d = x.display();
    int event_base, error_base, major, minor;
    if (!XTestQueryExtension(d, &event_base, &error_base, &major, &minor))
        GTEST_SKIP() << "the X server has no XTEST extension";

    camera::CameraConfig config;
    config.http_port = 0;
    config.fps = kCameraFps;
    camera::Camera cam(config);
    ASSERT_TRUE(cam.Start(&why)) << why;
    TempDir temp;
    ASSERT_FALSE(temp.path.empty());
    const std::string output = temp.path + "/output.txt";
    const pid_t viewer = Spawn(
        {QUORLINA_BIN_DIR "/quorlina", "view", "http://127.0.0.1:" + std::to_string(cam.HttpPort()),
         "--design", "--background", "2040A0"},
        ViewerEnvironment(x), output);
    ASSERT_GT(viewer, 0);
    ChildGuard guard{viewer};
    Window w = 0;
    ASSERT_TRUE(WaitFor([&] { return (w = FindWindowOf(d, viewer)) != 0; }, kWindowOpenMs))
        << ReadAll(output);

    // The background in the ambient colour (blue, green, red bytes), the caption across the
    // middle and nothing else: no frame is played in design mode.
    const std::uint8_t background[] = {0xA0, 0x40, 0x20};
    ASSERT_TRUE(WaitFor(
        [&] {
            const testsupport::Picture p = Screenshot(d, w);
            return p.width == 320 && std::memcmp(p.At(0, 0), background, 3) == 0 &&
                   std::memcmp(p.At(319, 239), background, 3) == 0;
        },
        kPictureMs))
        << ReadAll(output);
    const testsupport::Picture still = Screenshot(d, w);
    int ink = 0;
    for (int x_at = 0; x_at < still.width; ++x_at)
        ink += std::memcmp(still.At(x_at, 120), background, 3) != 0 ? 1 : 0;
    EXPECT_GT(ink, 10) << "the caption crosses the middle row";
    EXPECT_LE(PixelsUnlikeTheFirst(still), 15u * 6 * 8) << "at most the caption's cells";
    EXPECT_EQ(cam.State().frames_sent, 0u);

    // p plays all the same: camera frames replace the caption.
    PressKey(d, w, XK_p);
    EXPECT_TRUE(WaitFor([&] { return PixelsUnlikeTheFirst(Screenshot(d, w)) > 320 * 240 / 4; },
                        kPictureMs));
    PressKey(d, w, XK_q);
    EXPECT_EQ(WaitForExit(viewer, kQuitMs), 0) << ReadAll(output);
    guard.pid = -1;
    EXPECT_NE(ReadAll(output).find("design mode"), std::string::npos) << ReadAll(output);
}
