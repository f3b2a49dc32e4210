// The container library: a control hosted through the class factory with a client site, its
// ambient properties reaching the window and the container's view, the control drawn into the
// container's device context with the window's pixels, sizing, and a teardown that leaves
// nothing behind.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "container/hosted_control.h"
#include "container/window_tap.h"
#include "control/quorlina.h"
#include "host/module.h"
#include "host/quorlina_object.h"
#include "stream/present_frame.h"
#include "support/dispatch_client.h"
#include "support/test_screen.h"

using namespace platform;
using testsupport::Rgb;

namespace {

constexpr Rgb kMidGrey{128, 128, 128};

container::HostedControl Host(const container::ControlOptions& options) {
    std::string error;
    container::HostedControl hosted = container::HostedControl::Create(options, &error);
    EXPECT_TRUE(hosted) << error;
    return hosted;
}

control::CQuorlina& RecordOf(const container::HostedControl& hosted) {
    return host::QuorlinaObject::FromUnknown(&hosted.Unknown())->Control();
}

WindowPixels PixelsOf(HWND window) {
    WindowPixels p;
    ReadWindowPixels(window, &p);
    return p;
}

bool Uniform(HWND window, Rgb colour) {
    const WindowPixels p = PixelsOf(window);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (!(testsupport::ColorOf(p, x, y) == colour)) return false;
    return p.width > 0;
}

// Dark caption pixels on the window's middle row.
int CaptionInk(HWND window) {
    const WindowPixels p = PixelsOf(window);
    int ink = 0;
    for (int x = 0; x < p.width; ++x)
        ink += testsupport::ColorOf(p, x, p.height / 2) == Rgb{0, 0, 0};
    return ink;
}

// A camera-like frame presented into the control's window, as the stream would.
void ShowFrame(const container::HostedControl& hosted, int width, int height) {
    image::ImageBuffer picture = testsupport::MakePicture24(width, height, [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(255 - y * 3),
                   static_cast<std::uint8_t>((x * y) & 0xFF)};
    });
    const std::vector<std::uint8_t> jpeg = testsupport::EncodeJpeg(picture, 90);
    image::FreeImage(&picture);
    ASSERT_EQ(test_support::PutLong(hosted.Dispatch(), "PreviewWidth", width), S_OK);
    ASSERT_EQ(test_support::PutLong(hosted.Dispatch(), "PreviewHeight", height), S_OK);
    control::CQuorlina& c = RecordOf(hosted);
    stream::StoreFrame(c, jpeg.data(), static_cast<int>(jpeg.size()));
    ASSERT_EQ(stream::PresentFrame(c, 0), 0);
}

}  // namespace

TEST(HostedControl, ComesThroughTheFactoryWithItsSiteActiveAndGoesAwayWhole) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    HWND screen = nullptr, window = nullptr;
    {
        container::ControlOptions options;
        options.user = "viewer";
        options.password = "secret";
        container::HostedControl hosted = Host(options);
        ASSERT_TRUE(hosted);
        EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
        window = hosted.Window();
        screen = hosted.Screen();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(GetParent(window), screen);
        RECT client;
        ASSERT_TRUE(GetClientRect(window, &client));
        EXPECT_EQ(client.right, 320);  // the control's preview size
        EXPECT_EQ(client.bottom, 240);

        // What the container gave, seen from the control's side.
        control::CQuorlina& c = RecordOf(hosted);
        EXPECT_TRUE(c.InPlaceActive.load());
        EXPECT_EQ(c.UserName.Get(), "viewer");
        EXPECT_EQ(c.Password.Get(), "secret");
        void* ole = nullptr;
        ASSERT_EQ(hosted.Unknown().QueryInterface(IID_IOleObject, &ole), S_OK);
        IOleClientSite* site = nullptr;
        EXPECT_EQ(static_cast<IOleObject*>(ole)->GetClientSite(&site), S_OK);
        EXPECT_NE(site, nullptr);
        if (site != nullptr) site->Release();
        SIZEL extent;
        EXPECT_EQ(static_cast<IOleObject*>(ole)->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
        EXPECT_EQ(extent.cx, container::ExtentOfPixels(320, 240).cx);
        EXPECT_EQ(extent.cy, 6350);  // 240 pixels at 96 to the inch
        static_cast<IOleObject*>(ole)->Release();

        PumpMessages();  // the first paint: run mode, the control's own background
        EXPECT_TRUE(Uniform(window, kMidGrey));
        EXPECT_EQ(test_support::GetLong(hosted.Dispatch(), "PreviewWidth"), 320);

        // Moving it hands the control over whole.
        container::HostedControl moved = std::move(hosted);
        EXPECT_FALSE(hosted);
        EXPECT_EQ(moved.Window(), window);
    }
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(IsWindow(screen));
    EXPECT_EQ(DllCanUnloadNow(), S_OK) << "every reference the container held is let go";
}

TEST(HostedControl, AmbientChangesReachTheWindowAndTheContainersView) {
    container::ControlOptions options;
    options.ambients.user_mode = false;
    options.ambients.back_color = RGB(0x20, 0x40, 0xA0);
    options.screen.width = 200;
    options.screen.height = 40;
    container::HostedControl hosted = Host(options);
    ASSERT_TRUE(hosted);
    const HWND window = hosted.Window();

    // Given before activation: the very first paint is in design mode on the ambient colour.
    PumpMessages();
    const Rgb blue{0x20, 0x40, 0xA0};
    EXPECT_EQ(testsupport::ColorOf(PixelsOf(window), 0, 0), blue);
    EXPECT_GT(CaptionInk(window), 10);

    hosted.SetUserMode(true);
    PumpMessages();
    EXPECT_TRUE(Uniform(window, blue)) << "run mode: the background only";
    EXPECT_TRUE(hosted.CurrentAmbients().user_mode);

    hosted.SetBackColor(RGB(200, 10, 10));
    PumpMessages();
    EXPECT_TRUE(Uniform(window, (Rgb{200, 10, 10})));

    // A palette index resolves through the ambient palette.
    LOGPALETTE logical{};
    logical.palVersion = kPaletteVersion;
    logical.palNumEntries = 4;
    logical.palPalEntry[3] = PALETTEENTRY{5, 150, 250, 0};
    const HPALETTE palette = CreatePalette(&logical);
    hosted.SetPalette(palette);
    hosted.SetBackColor(0x01000003);
    PumpMessages();
    EXPECT_TRUE(Uniform(window, (Rgb{5, 150, 250})));

    hosted.SetBackColor(std::nullopt);
    PumpMessages();
    EXPECT_TRUE(Uniform(window, kMidGrey)) << "no ambient colour: the control's own";

    // Out of place (no window), an ambient change is a change of the container's view.
    void* in_place = nullptr;
    ASSERT_EQ(hosted.Unknown().QueryInterface(IID_IOleInPlaceObject, &in_place), S_OK);
    ASSERT_EQ(static_cast<IOleInPlaceObject*>(in_place)->InPlaceDeactivate(), S_OK);
    static_cast<IOleInPlaceObject*>(in_place)->Release();
    EXPECT_EQ(hosted.Window(), nullptr);
    const std::uint64_t before = hosted.ViewChanges();
    hosted.SetBackColor(RGB(1, 2, 3));
    EXPECT_EQ(hosted.ViewChanges(), before + 1);
    testsupport::TestWindow target(32, 50, 20);
    const HDC dc = GetDC(target.window());
    EXPECT_EQ(hosted.DrawInto(dc, RECT{0, 0, 50, 20}), S_OK);
    ReleaseDC(target.window(), dc);
    EXPECT_EQ(target.At(25, 10), (Rgb{1, 2, 3}));
    hosted = container::HostedControl();
    DeleteObject(palette);
}

TEST(HostedControl, DrawIntoAContextGivesTheWindowsPixels) {
    struct Case {
        int depth;
        bool design;
    };
    for (const Case c : {Case{32, false}, Case{8, false}, Case{4, false}, Case{32, true}}) {
        SCOPED_TRACE(testing::Message()
                     << c.depth << "-bit screen" << (c.design ? ", design" : ""));
        container::ControlOptions options;
        options.screen = container::ScreenOptions{c.depth, 64, 48};
        options.ambients.user_mode = !c.design;
        options.ambients.back_color = RGB(30, 90, 60);
        container::HostedControl hosted = Host(options);
        ASSERT_TRUE(hosted);
        PumpMessages();
        if (!c.design) ShowFrame(hosted, 48, 40);  // the frame, and background beside it
        const WindowPixels shown = PixelsOf(hosted.Window());

        // Same size: pixel for pixel. The target is a 32-bit screen, so palette screens' colours
        // arrive exactly.
        testsupport::TestWindow target(32, 64, 48);
        HDC dc = GetDC(target.window());
        ASSERT_EQ(hosted.DrawInto(dc, RECT{0, 0, 64, 48}), S_OK);
        ReleaseDC(target.window(), dc);
        const WindowPixels drawn = target.Pixels();
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                ASSERT_EQ(drawn.ColorAt(x, y), shown.ColorAt(x, y)) << x << "," << y;

        if (c.design) continue;
        // Twice the size, placed off the origin: each window pixel becomes a 2x2 block.
        testsupport::TestWindow large(32, 140, 100);
        dc = GetDC(large.window());
        ASSERT_EQ(hosted.DrawInto(dc, RECT{10, 4, 138, 100}), S_OK);
        ReleaseDC(large.window(), dc);
        const WindowPixels big = large.Pixels();
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                ASSERT_EQ(big.ColorAt(10 + 2 * x + 1, 4 + 2 * y + 1), shown.ColorAt(x, y))
                    << x << "," << y;
        EXPECT_EQ(big.ColorAt(5, 50), 0u) << "nothing drawn outside the bounds";
        EXPECT_EQ(hosted.DrawInto(dc, RECT{0, 0, kMaxScreenSide + 1, 10}), E_INVALIDARG);
    }
}

TEST(HostedControl, ResizeMovesTheWindowAndSetsTheExtentWithinItsScreen) {
    container::ControlOptions options;
    options.screen = container::ScreenOptions{32, 100, 80, 400, 300};
    container::HostedControl hosted = Host(options);
    ASSERT_TRUE(hosted);
    ASSERT_TRUE(hosted.Resize(200, 150));
    RECT client;
    ASSERT_TRUE(GetClientRect(hosted.Window(), &client));
    EXPECT_EQ(client.right, 200);
    EXPECT_EQ(client.bottom, 150);
    void* ole = nullptr;
    ASSERT_EQ(hosted.Unknown().QueryInterface(IID_IOleObject, &ole), S_OK);
    SIZEL extent;
    EXPECT_EQ(static_cast<IOleObject*>(ole)->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
    static_cast<IOleObject*>(ole)->Release();
    EXPECT_EQ(extent.cx, 5291);  // 200 pixels at 96 to the inch, in hundredths of a millimetre
    EXPECT_EQ(extent.cy, 3968);
    EXPECT_TRUE(hosted.Resize(400, 300));
    EXPECT_FALSE(hosted.Resize(401, 300)) << "beyond its screen";
    EXPECT_FALSE(hosted.Resize(0, 10));
    ASSERT_TRUE(GetClientRect(hosted.Window(), &client));
    EXPECT_EQ(client.right, 400);
}

TEST(HostedControl, RefusedScreensSayWhy) {
    container::ControlOptions options;
    options.screen.depth = 16;
    std::string error;
    container::HostedControl hosted = container::HostedControl::Create(options, &error);
    EXPECT_FALSE(hosted);
    EXPECT_NE(error.find("16 bits"), std::string::npos) << error;
    EXPECT_EQ(DllCanUnloadNow(), S_OK) << "the half-made control is let go";
}

TEST(ClientSite, GivesTheAmbientsItHasAndCountsContentViewChanges) {
    container::Ambients ambients;
    ambients.user_mode = false;
    container::ClientSite* site = container::ClientSite::Create(ambients);
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(site->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    DISPPARAMS none;
    VARIANT value;
    ASSERT_EQ(dispatch->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                               &value, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(value.vt, VT_BOOL);
    EXPECT_EQ(value.boolVal, VARIANT_FALSE);
    for (DISPID absent : {DISPID_AMBIENT_BACKCOLOR, DISPID_AMBIENT_PALETTE, DISPID{-704}})
        EXPECT_EQ(dispatch->Invoke(absent, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value,
                                   nullptr, nullptr),
                  DISP_E_MEMBERNOTFOUND);
    ambients.back_color = 0x80000005;  // a system colour: negative as a long
    site->SetAmbients(ambients);
    ASSERT_EQ(dispatch->Invoke(DISPID_AMBIENT_BACKCOLOR, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                               &value, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(static_cast<OLE_COLOR>(value.lVal), 0x80000005u);
    EXPECT_EQ(dispatch->Invoke(DISPID_AMBIENT_BACKCOLOR, IID_NULL, 0, DISPATCH_PROPERTYPUT, &none,
                               &value, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    dispatch->Release();

    IAdviseSink* sink = nullptr;
    ASSERT_EQ(site->QueryInterface(IID_IAdviseSink, reinterpret_cast<void**>(&sink)), S_OK);
    sink->OnViewChange(DVASPECT_CONTENT, -1);
    sink->OnViewChange(2, -1);  // another aspect
    EXPECT_EQ(site->ViewChanges(), 1u);
    sink->Release();
    EXPECT_EQ(site->Release(), 0u);
}

TEST(WindowTap, ReadsTheWindowAndTheCamerasFrameFromAnotherThread) {
    container::ControlOptions options;
    options.ambients.back_color = RGB(0, 0, 255);
    container::HostedControl hosted = Host(options);
    const container::WindowTap tap(hosted);
    PumpMessages();
    WindowPixels before;
    ASSERT_TRUE(tap.ReadPixels(&before));
    EXPECT_EQ(before.width, 320);
    EXPECT_EQ(before.ColorAt(5, 5), 0x0000FFu);  // the container's background
    int width = 0, height = 0;
    ASSERT_TRUE(tap.ClientSize(&width, &height));
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    container::CameraFrame frame;
    EXPECT_FALSE(tap.ReadCameraFrame(&frame)) << "no frame before the camera sent one";
    const std::uint64_t changes = tap.Changes();
    const std::uint32_t presented = tap.FramesPresented();

    ShowFrame(hosted, 160, 120);
    VARIANT zoomed;
    ASSERT_EQ(test_support::Call(hosted.Dispatch(), test_support::DispidOf(hosted.Dispatch(), "Zoom"),
                                 {test_support::Long(2)}, &zoomed),
              S_OK);
    // What a capture thread of the container sees.
    WindowPixels after;
    bool read = false;
    std::thread reader([&] {
        read = tap.ReadPixels(&after) && tap.ReadCameraFrame(&frame);
    });
    reader.join();
    ASSERT_TRUE(read);
    EXPECT_GT(tap.Changes(), changes);
    EXPECT_EQ(tap.FramesPresented(), presented + 1);
    EXPECT_NE(after.ColorAt(5, 5), 0x0000FFu) << "the frame is in the window";
    EXPECT_EQ(frame.zoom, 2);
    EXPECT_EQ(frame.preview_width, 160);
    EXPECT_EQ(frame.preview_height, 120);
    ASSERT_GT(frame.jpeg.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(frame.jpeg[0]), 0xFF);  // the camera's JPEG, whole
    EXPECT_EQ(static_cast<unsigned char>(frame.jpeg[1]), 0xD8);
    EXPECT_EQ(static_cast<unsigned char>(frame.jpeg[frame.jpeg.size() - 2]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(frame.jpeg.back()), 0xD9);
}

TEST(WindowTap, AnEmptyHostGivesNothing) {
    const container::HostedControl none;
    const container::WindowTap tap(none);
    WindowPixels p;
    container::CameraFrame frame;
    int w = 0, h = 0;
    EXPECT_FALSE(tap.ReadPixels(&p));
    EXPECT_FALSE(tap.ClientSize(&w, &h));
    EXPECT_FALSE(tap.ReadCameraFrame(&frame));
    EXPECT_EQ(tap.Changes(), 0u);
    EXPECT_EQ(tap.FramesPresented(), 0u);
}
