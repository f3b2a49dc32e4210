// The control's window: the paint handler in run and design mode, ambient values from a site,
// the erase-background and present-frame messages, the repaint request, focus notices, and
// destroying the window while a stream plays.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "apps/camera/camera.h"
#include "control/quorlina.h"
#include "platform/kernel.h"
#include "stream/present_frame.h"
#include "support/test_screen.h"

using testsupport::Rgb;

namespace {

constexpr Rgb kMidGrey{128, 128, 128};

struct FakeSite : control::ContainerSite {
    std::optional<bool> run_mode;
    std::optional<platform::OLE_COLOR> back;
    std::optional<platform::HPALETTE> palette;
    int ui_activations = 0;
    std::vector<bool> focus;
    std::atomic<int> view_changes{0};

    bool AmbientUserMode(bool* v) override { return run_mode && (*v = *run_mode, true); }
    bool AmbientBackColor(platform::OLE_COLOR* v) override { return back && (*v = *back, true); }
    bool AmbientPalette(platform::HPALETTE* v) override { return palette && (*v = *palette, true); }
    void UIActivate() override { ++ui_activations; }
    void OnFocus(bool gained) override { focus.push_back(gained); }
    void OnViewChange() override { ++view_changes; }
};

bool WaitFor(const std::function<bool()>& done, std::uint32_t limit_ms) {
    const platform::Tick t0 = platform::GetTickCount();
    while (!done()) {
        if (platform::GetTickCount() - t0 > limit_ms) return false;
        platform::Sleep(5);
    }
    return true;
}

// A control activated in place on a screen of the given depth.
struct Hosted {
    explicit Hosted(int depth = 32, int w = 200, int h = 40, FakeSite* site = nullptr) {
        screen = platform::CreateScreen(w, h, depth);
        c->SetContainerSite(site);
        window = c->CreateControlWindow(screen, platform::RECT{0, 0, w, h});
    }
    ~Hosted() {
        c->Stop();
        c->Destroy();
        platform::DestroyWindow(screen);
    }
    platform::WindowPixels Pixels() const {
        platform::WindowPixels p;
        platform::ReadWindowPixels(window, &p);
        return p;
    }
    bool Uniform(Rgb colour) const {
        const platform::WindowPixels p = Pixels();
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x)
                if (!(testsupport::ColorOf(p, x, y) == colour)) return false;
        return true;
    }
    void ShowFrame() const {
        image::ImageBuffer picture = testsupport::MakePicture24(64, 48, [](int x, int y) {
            return Rgb{static_cast<std::uint8_t>(x * 4), 200, static_cast<std::uint8_t>(y)};
        });
        const std::vector<std::uint8_t> jpeg = testsupport::EncodeJpeg(picture, 90);
        image::FreeImage(&picture);
        stream::StoreFrame(*c, jpeg.data(), static_cast<int>(jpeg.size()));
        c->PreviewWidth = 200;
        c->PreviewHeight = 40;
        ASSERT_EQ(stream::PresentFrame(*c, 0), 0);
    }
    control::CQuorlina* c = new control::CQuorlina();
    platform::HWND screen;
    platform::HWND window;
};

}  // namespace

TEST(ControlWindow, ActivationMakesAChildWindowThatStartsInvalid) {
    Hosted h;
    ASSERT_NE(h.window, nullptr);
    EXPECT_EQ(h.c->Window.load(), h.window);
    EXPECT_TRUE(h.c->InPlaceActive.load());
    EXPECT_EQ(platform::GetParent(h.window), h.screen);
    EXPECT_TRUE(platform::GetUpdateRect(h.window, nullptr));
    EXPECT_EQ(h.c->CreateControlWindow(h.screen, platform::RECT{0, 0, 5, 5}), h.window);
}

TEST(ControlWindow, RunModePaintAfterAFrameLeavesOnlyTheBackground) {
    for (int depth : {32, 8, 4}) {
        SCOPED_TRACE(depth);
        Hosted h(depth);
        platform::PumpMessages();
        h.ShowFrame();
        EXPECT_FALSE(h.Uniform(kMidGrey));
        platform::InvalidateRect(h.window, nullptr, true);
        platform::PumpMessages();
        EXPECT_TRUE(h.Uniform(kMidGrey));
        EXPECT_EQ(h.c->AmbientUserMode.load(), 1);
    }
}

TEST(ControlWindow, DesignModeShowsTheCaptionInTheCentre) {
    FakeSite site;
    site.run_mode = false;
    Hosted h(32, 200, 40, &site);
    platform::PumpMessages();
    EXPECT_EQ(h.c->AmbientUserMode.load(), 0);
    EXPECT_NE(h.c->PaintDC.load(), nullptr);
    // 15 characters of 6 x 8 pixels: x from (200 - 90) / 2 = 55, y from (40 - 8) / 2 = 16.
    const platform::WindowPixels p = h.Pixels();
    int ink = 0, left = 200, right = 0, top = 40, bottom = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 200; ++x) {
            const Rgb c = testsupport::ColorOf(p, x, y);
            if (c == kMidGrey) continue;
            ASSERT_TRUE(x >= 55 && x < 145 && y >= 16 && y < 24) << x << "," << y;
            if (c == Rgb{0, 0, 0}) {
                ++ink;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    EXPECT_GT(ink, 100);
    EXPECT_EQ(left, 55);                // the 'V'
    EXPECT_EQ(right, 55 + 14 * 6 + 3);  // the last glyph, an "l", ends in its fourth column
    EXPECT_EQ(top, 16);
    EXPECT_EQ(bottom, 22);
}

TEST(ControlWindow, AmbientBackColourIsTranslatedThroughTheAmbientPalette) {
    platform::LOGPALETTE logical{platform::kPaletteVersion, 2, {}};
    logical.palPalEntry[1] = {10, 200, 30, 0};
    const platform::HPALETTE palette = platform::CreatePalette(&logical);
    const struct {
        const char* name;
        platform::OLE_COLOR back;
        bool with_palette;
        Rgb shown;
    } cases[] = {
        {"plain colour", platform::RGB(200, 100, 50), false, {200, 100, 50}},
        {"system colour", 0x80000005u, false, {255, 255, 255}},
        {"ambient palette index", 0x01000001u, true, {10, 200, 30}},
        {"stock palette index", 0x01000001u, false, {128, 0, 0}},
        {"not a colour", 0x7F000000u, false, kMidGrey},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSite site;
        site.back = c.back;
        if (c.with_palette) site.palette = palette;
        Hosted h(32, 8, 8, &site);
        platform::PumpMessages();
        EXPECT_TRUE(h.Uniform(c.shown));
    }
    platform::DeleteObject(palette);
}

TEST(ControlWindow, EraseBackgroundChangesNothing) {
    Hosted h;
    platform::PumpMessages();
    h.ShowFrame();
    const platform::WindowPixels before = h.Pixels();
    platform::HDC dc = platform::GetDC(h.window);
    EXPECT_EQ(platform::SendMessage(h.window, platform::WM_ERASEBKGND,
                                    reinterpret_cast<platform::WPARAM>(dc), 0),
              1);
    platform::ReleaseDC(h.window, dc);
    const platform::WindowPixels after = h.Pixels();
    EXPECT_EQ(after.change_count, before.change_count);
    EXPECT_EQ(after.pixels, before.pixels);
}

TEST(ControlWindow, PaintWithAContextDrawsIntoThatContext) {
    Hosted h(32, 10, 6);
    platform::PumpMessages();
    testsupport::TestWindow other(32, 20, 20);
    other.Fill(Rgb{9, 9, 9});
    platform::HDC dc = platform::GetDC(other.window());
    EXPECT_EQ(platform::SendMessage(h.window, platform::WM_PAINT,
                                    reinterpret_cast<platform::WPARAM>(dc), 0),
              0);
    platform::ReleaseDC(other.window(), dc);
    EXPECT_EQ(other.At(9, 5), kMidGrey);  // inside the control's client rectangle
    EXPECT_EQ(other.At(10, 5), (Rgb{9, 9, 9}));
    EXPECT_EQ(other.At(9, 6), (Rgb{9, 9, 9}));
}

TEST(ControlWindow, PresentFrameMessageRepaintsTheFrameOnAWorker) {
    Hosted h;
    platform::PumpMessages();
    h.ShowFrame();
    const std::uint32_t counted = h.c->FramesPresented.load();
    platform::InvalidateRect(h.window, nullptr, true);
    platform::PumpMessages();
    ASSERT_TRUE(h.Uniform(kMidGrey));
    h.c->AuthType = 7;
    h.c->PresentTick = 0;
    ASSERT_TRUE(platform::PostMessage(h.window, control::kPresentFrameMessage, 0, 0));
    EXPECT_EQ(platform::PumpMessages(), 1);
    EXPECT_EQ(h.c->AuthType.load(), 0);
    EXPECT_NE(h.c->PresentTick.load(), 0u);
    ASSERT_TRUE(WaitFor([&] { return !h.Uniform(kMidGrey); }, 5000));
    EXPECT_EQ(h.c->FramesPresented.load(), counted + 1);
}

TEST(ControlWindow, RepaintRequestInvalidatesWhenActiveAndTellsTheViewOtherwise) {
    FakeSite site;
    {
        Hosted h(32, 8, 8, &site);
        platform::PumpMessages();
        h.c->RequestRepaint();
        EXPECT_TRUE(platform::GetUpdateRect(h.window, nullptr));
        EXPECT_EQ(h.c->ViewChanges.load(), 0u);
        EXPECT_EQ(site.view_changes.load(), 0);
    }
    control::CQuorlina* c = new control::CQuorlina();
    c->SetContainerSite(&site);
    c->RequestRepaint();
    EXPECT_EQ(c->ViewChanges.load(), 1u);
    EXPECT_EQ(site.view_changes.load(), 1);
    c->Destroy();
}

TEST(ControlWindow, FocusNoticesGoToTheSiteWhileActive) {
    FakeSite site;
    Hosted h(32, 20, 20, &site);
    platform::HWND inner = platform::CreateChildWindow(h.window, platform::RECT{0, 0, 4, 4},
                                                       &platform::DefWindowProc, nullptr);
    platform::HWND outside = platform::CreateChildWindow(h.screen, platform::RECT{0, 0, 4, 4},
                                                         &platform::DefWindowProc, nullptr);
    platform::SetFocus(h.window);
    EXPECT_EQ(site.ui_activations, 1);
    ASSERT_EQ(site.focus, (std::vector<bool>{true}));
    platform::SetFocus(inner);  // the focus stays within the control
    EXPECT_EQ(site.focus, (std::vector<bool>{true}));
    platform::SetFocus(h.window);
    platform::SetFocus(outside);
    EXPECT_EQ(site.focus, (std::vector<bool>{true, true, false}));
    h.c->InPlaceActive = false;
    platform::SetFocus(h.window);
    EXPECT_EQ(site.ui_activations, 2);
    platform::DestroyWindow(outside);
}

TEST(ControlWindow, DestroyingTheControlDestroysItsWindow) {
    platform::HWND screen = platform::CreateScreen(8, 8, 32);
    control::CQuorlina* c = new control::CQuorlina();
    platform::HWND window = c->CreateControlWindow(screen, platform::RECT{0, 0, 8, 8});
    c->Destroy();
    EXPECT_FALSE(platform::IsWindow(window));
    platform::DestroyWindow(screen);
}

namespace {

std::unique_ptr<camera::Camera> StartCamera() {
    camera::CameraConfig config;
    config.http_port = 0;
    config.width = 64;
    config.height = 48;
    config.fps = 25;
    auto cam = std::make_unique<camera::Camera>(config);
    std::string error;
    EXPECT_TRUE(cam->Start(&error)) << error;
    return cam;
}

void PlayCamera(Hosted& h, const camera::Camera& cam) {
    h.c->PreviewWidth = 64;
    h.c->PreviewHeight = 48;
    h.c->put_RemoteHost(("http://127.0.0.1:" + std::to_string(cam.HttpPort())).c_str());
    ASSERT_EQ(h.c->StreamMode.load(), control::kStreamHttp);
    h.c->Play();
    ASSERT_TRUE(WaitFor([&] { return h.c->FramesPresented.load() >= 2; }, 10000));
}

}  // namespace

TEST(ControlWindow, ContainerPaintsAndRepresentsWhileTheStreamPaints) {
    auto cam = StartCamera();
    for (int depth : {32, 8}) {
        SCOPED_TRACE(depth);
        Hosted h(depth, 64, 48);
        PlayCamera(h, *cam);
        for (int i = 0; i < 20; ++i) {
            platform::PostMessage(h.window, control::kPresentFrameMessage, 0, 0);
            platform::InvalidateRect(h.window, nullptr, true);
            platform::PumpMessages();
            platform::Sleep(5);
        }
        h.c->Stop();
        EXPECT_NE(h.c->PlayState.load(), control::Playing);
    }
    cam->Stop();
}

TEST(ControlWindow, DestroyingTheWindowWhileAStreamPlaysEndsTheStreamFirst) {
    auto cam = StartCamera();
    FakeSite site;
    Hosted h(32, 64, 48, &site);
    const int threads_before = platform::LiveThreadCount();
    PlayCamera(h, *cam);
    ASSERT_TRUE(platform::DestroyWindow(h.window));
    EXPECT_NE(h.c->PlayState.load(), control::Playing);
    // The worker saw the window to the end: its last repaint request invalidated the window
    // instead of going to the view sink, which it would have done after the window was gone.
    ASSERT_TRUE(WaitFor([&] { return platform::LiveThreadCount() == threads_before; }, 5000));
    EXPECT_EQ(h.c->ViewChanges.load(), 0u);
    EXPECT_EQ(site.view_changes.load(), 0);
    EXPECT_EQ(h.c->Window.load(), nullptr);
    EXPECT_FALSE(h.c->InPlaceActive.load());
    EXPECT_FALSE(platform::IsWindow(h.window));
    cam->Stop();
}
