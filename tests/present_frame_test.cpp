// Frame presentation: target size and centre-crop offset, the picture in the window compared
// with the pipeline's own result, counting, and the frames that are counted but not shown.
#include "stream/present_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>
#include <vector>

#include "control/quorlina.h"
#include "image/display.h"
#include "image/jpeg_decoder.h"
#include "image/resize.h"
#include "support/test_screen.h"

using testsupport::Rgb;

namespace {

constexpr Rgb kBackground{1, 2, 3};

Rgb Pattern(int x, int y) {
    return Rgb{static_cast<std::uint8_t>((x * 37) & 0xFF),
               static_cast<std::uint8_t>((y * 53) & 0xFF),
               static_cast<std::uint8_t>(((x + y) * 11) & 0xFF)};
}

std::vector<std::uint8_t> PatternJpeg(int w, int h) {
    image::ImageBuffer picture = testsupport::MakePicture24(w, h, Pattern);
    std::vector<std::uint8_t> jpeg = testsupport::EncodeJpeg(picture, 90);
    image::FreeImage(&picture);
    return jpeg;
}

// A control with a real window on a screen of the given depth, the window pre-filled.
struct Presenter {
    Presenter(int depth, int window_w, int window_h) : screen(depth, window_w, window_h) {
        c->AttachWindow(screen.window());
        screen.Fill(kBackground);
    }
    ~Presenter() {
        c->AttachWindow(nullptr);
        c->Destroy();
    }
    int Present(const std::vector<std::uint8_t>& bytes) {
        stream::StoreFrame(*c, bytes.data(), static_cast<int>(bytes.size()));
        return stream::PresentFrame(*c, 0);
    }
    void Preview(int w, int h, int zoom) {
        c->PreviewWidth = w;
        c->PreviewHeight = h;
        c->ZoomFactor = zoom;
    }
    testsupport::TestWindow screen;
    control::CQuorlina* c = new control::CQuorlina();
};

// What the pipeline makes of the JPEG at w x h: the picture the window must show a part of.
image::ImageBuffer Expected(const std::vector<std::uint8_t>& jpeg, int w, int h, int resize) {
    image::JpegInfo info;
    image::ImageBuffer decoded, scaled;
    EXPECT_EQ(image::ReadJpegInfo(jpeg.data(), jpeg.size(), &info), image::kImageOk);
    EXPECT_EQ(image::AllocImage(&decoded, info.Width, info.Height, info.BitsPerPixel),
              image::kImageOk);
    EXPECT_EQ(image::DecodeJpeg(jpeg.data(), jpeg.size(), &decoded), image::kImageOk);
    EXPECT_EQ(image::AllocImage(&scaled, w, h, info.BitsPerPixel), image::kImageOk);
    EXPECT_EQ(image::ResizeImage(&decoded, &scaled, resize), image::kImageOk);
    image::FreeImage(&decoded);
    return scaled;
}

// Target size and offset of a preview at a zoom, as plain ints for the pipeline calls.
struct FrameGeometryOf {
    int w, h, x, y;
    static FrameGeometryOf Of(int pw, int ph, int zoom) {
        const stream::FrameGeometry g = stream::ComputeFrameGeometry(pw, ph, zoom);
        return FrameGeometryOf{static_cast<int>(g.width), static_cast<int>(g.height),
                               static_cast<int>(g.x), static_cast<int>(g.y)};
    }
};

bool OnlyBackground(const testsupport::TestWindow& w) {
    const platform::WindowPixels p = w.Pixels();
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (!(testsupport::ColorOf(p, x, y) == kBackground)) return false;
    return true;
}

}  // namespace

TEST(FrameGeometry, TargetSizeAndCentreCropOffset) {
    const struct {
        int pw, ph, zoom;
        std::int64_t w, h, x, y;
    } cases[] = {
        {320, 240, 1, 320, 240, 0, 0},
        {320, 240, 2, 640, 480, 160, 120},
        {320, 240, 3, 960, 720, 320, 240},
        {321, 240, 2, 642, 480, 161, 120},
        {321, 241, 3, 963, 723, 321, 241},
        {320, 240, 0, 0, 0, -160, -120},
        {320, 240, -2, -640, -480, -480, -360},  // halves truncate toward zero
        {320, 240, INT32_MAX, 320LL * INT32_MAX, 240LL * INT32_MAX, 160LL * INT32_MAX - 160,
         120LL * INT32_MAX - 120},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pw << "x" << c.ph << " zoom " << c.zoom);
        const stream::FrameGeometry g = stream::ComputeFrameGeometry(c.pw, c.ph, c.zoom);
        EXPECT_EQ(g.width, c.w);
        EXPECT_EQ(g.height, c.h);
        EXPECT_EQ(g.x, c.x);
        EXPECT_EQ(g.y, c.y);
    }
}

TEST(PresentFrame, ZoomOnePaintsExactlyThePreviewSizeWhateverTheJpegsSize) {
    const struct {
        int jpeg_w, jpeg_h, resize;
    } cases[] = {{64, 48, 0}, {64, 48, 1}, {10, 8, 0}, {10, 8, 1}, {20, 15, 0}, {33, 7, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.jpeg_w << "x" << c.jpeg_h << " resize " << c.resize);
        Presenter p(32, 30, 20);
        p.Preview(20, 15, 1);
        p.c->ResizeMethod = c.resize;
        const std::vector<std::uint8_t> jpeg = PatternJpeg(c.jpeg_w, c.jpeg_h);
        ASSERT_EQ(p.Present(jpeg), 0);
        EXPECT_EQ(p.c->FrameCount.load(), 1);
        EXPECT_NE(p.c->PaintDC.load(), nullptr);
        image::ImageBuffer expected = Expected(jpeg, 20, 15, c.resize);
        const platform::WindowPixels shown = p.screen.Pixels();
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 30; ++x) {
                const Rgb want =
                    x < 20 && y < 15 ? testsupport::PixelOf(expected, x, y) : kBackground;
                ASSERT_EQ(testsupport::ColorOf(shown, x, y), want) << x << "," << y;
            }
        image::FreeImage(&expected);
    }
}

TEST(PresentFrame, ZoomsShowTheCentreOfTheEnlargedPicture) {
    const struct {
        int pw, ph, zoom, x, y;
    } cases[] = {{20, 16, 2, 10, 8}, {21, 15, 2, 11, 8}, {20, 16, 3, 20, 16}, {21, 15, 3, 21, 15}};
    const std::vector<std::uint8_t> jpeg = PatternJpeg(40, 30);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pw << "x" << c.ph << " zoom " << c.zoom);
        Presenter p(32, c.pw, c.ph);
        p.Preview(c.pw, c.ph, c.zoom);
        ASSERT_EQ(p.Present(jpeg), 0);
        image::ImageBuffer expected = Expected(jpeg, c.pw * c.zoom, c.ph * c.zoom, 0);
        const platform::WindowPixels shown = p.screen.Pixels();
        for (int y = 0; y < c.ph; ++y)
            for (int x = 0; x < c.pw; ++x)
                ASSERT_EQ(testsupport::ColorOf(shown, x, y),
                          testsupport::PixelOf(expected, x + c.x, y + c.y))
                    << x << "," << y;
        image::FreeImage(&expected);
    }
}

TEST(PresentFrame, ZoomsWithoutAPictureCountTheFrameAndPaintNothing) {
    const std::vector<std::uint8_t> jpeg = PatternJpeg(16, 12);
    for (int zoom : {0, -1, -3, 100000, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(zoom);
        Presenter p(32, 16, 12);
        p.Preview(16, 12, zoom);
        EXPECT_NE(p.Present(jpeg), 0);
        EXPECT_EQ(p.c->FrameCount.load(), 1);
        EXPECT_TRUE(OnlyBackground(p.screen));
    }
}

TEST(PresentFrame, CorruptJpegIsCountedButNotPainted) {
    const std::vector<std::uint8_t> good = PatternJpeg(32, 24);
    const std::vector<std::size_t> scans = [&good] {
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i + 1 < good.size(); ++i)
            if (good[i] == 0xFF && good[i + 1] == 0xDA) at.push_back(i);
        return at;
    }();
    ASSERT_EQ(scans.size(), 1u);
    // The header and scan header stay whole; the coded data is cut short.
    std::vector<std::uint8_t> cut(good.begin(),
                                  good.begin() + static_cast<std::ptrdiff_t>(scans[0] + 40));
    // The scan names Huffman tables that were never defined.
    std::vector<std::uint8_t> no_table = good;
    no_table[scans[0] + 6] = 0x33;
    for (const auto* bytes : {&cut, &no_table}) {
        SCOPED_TRACE(bytes == &cut ? "cut short" : "undefined tables");
        Presenter p(32, 32, 24);
        p.Preview(32, 24, 1);
        const int r = p.Present(*bytes);
        EXPECT_LT(r, 0);
        EXPECT_EQ(p.c->FrameCount.load(), 1);
        EXPECT_EQ(p.c->FramesPresented.load(), 1u);
        EXPECT_TRUE(OnlyBackground(p.screen));
    }
}

TEST(PresentFrame, BytesThatAreNotAJpegAreNeitherCountedNorPainted) {
    const std::vector<std::uint8_t> cases[] = {
        {'h', 'e', 'l', 'l', 'o'}, {}, {0xFF}, {0xFF, 0xD8}, {0xFF, 0xD8, 0xFF, 0xE0, 0x00}};
    for (const auto& bytes : cases) {
        SCOPED_TRACE(bytes.size());
        Presenter p(32, 8, 8);
        p.Preview(8, 8, 1);
        EXPECT_LT(p.Present(bytes), 0);
        EXPECT_EQ(p.c->FrameCount.load(), 0);
        EXPECT_TRUE(OnlyBackground(p.screen));
    }
}

TEST(PresentFrame, NoCountFlagSkipsTheCountAndTheWrapAt65530) {
    Presenter p(32, 8, 8);
    p.Preview(8, 8, 1);
    const std::vector<std::uint8_t> jpeg = PatternJpeg(8, 8);
    stream::StoreFrame(*p.c, jpeg.data(), static_cast<int>(jpeg.size()));
    EXPECT_EQ(stream::PresentFrame(*p.c, 1), 0);
    EXPECT_EQ(p.c->FrameCount.load(), 0);
    p.c->FrameCount = 65529;
    EXPECT_EQ(stream::PresentFrame(*p.c, 0), 0);
    EXPECT_EQ(p.c->FrameCount.load(), 0);
}

TEST(PresentFrame, WithoutAWindowTheFrameIsStillCounted) {
    control::CQuorlina* c = new control::CQuorlina();
    const std::vector<std::uint8_t> jpeg = PatternJpeg(8, 8);
    stream::StoreFrame(*c, jpeg.data(), static_cast<int>(jpeg.size()));
    EXPECT_EQ(stream::PresentFrame(*c, 0), 0);
    EXPECT_EQ(c->FrameCount.load(), 1);
    EXPECT_EQ(c->PaintDC.load(), nullptr);
    c->Destroy();
}

TEST(PresentFrame, PaletteScreensShowWhatDisplayImageMakesOfTheScaledFrame) {
    const std::vector<std::uint8_t> colour = PatternJpeg(24, 18);
    image::ImageBuffer grey_picture = testsupport::MakeGreyPicture(
        24, 18, [](int x, int y) { return static_cast<std::uint8_t>(x * 9 + y); });
    const std::vector<std::uint8_t> grey = testsupport::EncodeJpeg(grey_picture, 90);
    image::FreeImage(&grey_picture);
    for (int depth : {32, 8, 4}) {
        for (int mode : {0, 1, 2}) {
            for (const auto* jpeg : {&colour, &grey}) {
                SCOPED_TRACE(testing::Message() << depth << "-bit, mode " << mode
                                                << (jpeg == &grey ? ", grey" : ", colour"));
                Presenter p(depth, 12, 9);
                p.Preview(12, 9, 2);
                p.c->DisplayMethod = mode;
                ASSERT_EQ(p.Present(*jpeg), 0);
                testsupport::TestWindow reference(depth, 12, 9);
                image::ImageBuffer expected = Expected(*jpeg, 24, 18, 0);
                platform::HDC dc = platform::GetDC(reference.window());
                platform::HPALETTE palette = nullptr;
                image::DisplayImage(reference.window(), dc, &palette, 6, 5, &expected, 0, 0, mode);
                platform::ReleaseDC(reference.window(), dc);
                if (palette != nullptr) platform::DeleteObject(palette);
                image::FreeImage(&expected);
                const platform::WindowPixels a = p.screen.Pixels();
                const platform::WindowPixels b = reference.Pixels();
                for (int y = 0; y < 9; ++y)
                    for (int x = 0; x < 12; ++x)
                        ASSERT_EQ(testsupport::ColorOf(a, x, y), testsupport::ColorOf(b, x, y))
                            << x << "," << y;
            }
        }
    }
}

// One control presents a stream whose frame size, preview size, zoom and resize method change
// between frames; the window shows each frame exactly as a fresh pipeline makes it, whatever
// the frames before it left in the control's picture blocks.
TEST(PresentFrame, StreamsOfChangingFramesShowEachFrameAsAFreshPipelineDoes) {
    const struct {
        int jpeg_w, jpeg_h, pw, ph, zoom, resize;
    } steps[] = {{24, 18, 12, 9, 2, 0},  {24, 18, 12, 9, 2, 0},  {24, 18, 12, 9, 1, 1},
                 {40, 30, 12, 9, 1, 1},  {40, 30, 10, 8, 3, 0},  {16, 12, 16, 12, 1, 0},
                 {24, 18, 12, 9, 2, 1},  {16, 12, 16, 12, 1, 0}};
    for (int depth : {32, 8}) {
        for (int mode : {0, 2}) {
            Presenter p(depth, 16, 12);
            p.c->DisplayMethod = mode;
            int step = 0;
            for (const auto& s : steps) {
                SCOPED_TRACE(testing::Message() << depth << "-bit, mode " << mode << ", step "
                                                << step++);
                p.screen.Fill(kBackground);
                p.Preview(s.pw, s.ph, s.zoom);
                p.c->ResizeMethod = s.resize;
                const std::vector<std::uint8_t> jpeg = PatternJpeg(s.jpeg_w, s.jpeg_h);
                ASSERT_EQ(p.Present(jpeg), 0);
                const FrameGeometryOf g = FrameGeometryOf::Of(s.pw, s.ph, s.zoom);
                testsupport::TestWindow reference(depth, 16, 12);
                reference.Fill(kBackground);
                image::ImageBuffer expected = Expected(jpeg, g.w, g.h, s.resize);
                platform::HDC dc = platform::GetDC(reference.window());
                platform::HPALETTE palette = nullptr;
                image::DisplayImage(reference.window(), dc, &palette, g.x, g.y, &expected, 0, 0,
                                    mode);
                platform::ReleaseDC(reference.window(), dc);
                if (palette != nullptr) platform::DeleteObject(palette);
                image::FreeImage(&expected);
                const platform::WindowPixels a = p.screen.Pixels();
                const platform::WindowPixels b = reference.Pixels();
                for (int y = 0; y < 12; ++y)
                    for (int x = 0; x < 16; ++x)
                        ASSERT_EQ(testsupport::ColorOf(a, x, y), testsupport::ColorOf(b, x, y))
                            << x << "," << y;
            }
        }
    }
}

// A corrupt frame between good ones is not painted, and the good frame after it is painted
// whole (not over what the corrupt one half-decoded).
TEST(PresentFrame, ACorruptFrameInAStreamLeavesTheNextGoodFrameWhole) {
    const std::vector<std::uint8_t> first = PatternJpeg(32, 24);
    image::ImageBuffer other_picture = testsupport::MakePicture24(
        32, 24, [](int x, int y) { return Rgb{static_cast<std::uint8_t>(x * 5), 200,
                                              static_cast<std::uint8_t>(y * 9)}; });
    const std::vector<std::uint8_t> second = testsupport::EncodeJpeg(other_picture, 90);
    image::FreeImage(&other_picture);
    std::vector<std::uint8_t> cut(second.begin(), second.begin() + second.size() / 2);
    Presenter p(32, 32, 24);
    p.Preview(32, 24, 1);
    ASSERT_EQ(p.Present(first), 0);
    p.screen.Fill(kBackground);
    EXPECT_LT(p.Present(cut), 0);
    EXPECT_TRUE(OnlyBackground(p.screen));
    ASSERT_EQ(p.Present(first), 0);
    image::ImageBuffer expected = Expected(first, 32, 24, 0);
    const platform::WindowPixels shown = p.screen.Pixels();
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(testsupport::ColorOf(shown, x, y), testsupport::PixelOf(expected, x, y))
                << x << "," << y;
    image::FreeImage(&expected);
}

// The stream worker and the present-frame thread may present at once, with frames of different
// sizes (so the kept blocks change size under them): every frame goes through, and the kept
// blocks are whole afterwards.
TEST(PresentFrame, TwoPresentersAtOnceShareTheKeptPicturesSafely) {
    const std::vector<std::uint8_t> small = PatternJpeg(16, 12);
    const std::vector<std::uint8_t> large = PatternJpeg(40, 30);
    Presenter p(8, 20, 15);
    p.Preview(20, 15, 1);
    p.c->DisplayMethod = 2;
    std::atomic<int> failures{0};
    std::thread other([&] {
        for (int i = 0; i < 40; ++i) {
            stream::StoreFrame(*p.c, large.data(), static_cast<int>(large.size()));
            if (stream::PresentFrame(*p.c, 0) != 0) ++failures;
        }
    });
    for (int i = 0; i < 40; ++i) {
        stream::StoreFrame(*p.c, small.data(), static_cast<int>(small.size()));
        if (stream::PresentFrame(*p.c, 0) != 0) ++failures;
    }
    other.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(p.c->FramesPresented.load(), 80u);
    // Afterwards a frame is shown whole, as a fresh pipeline shows it.
    ASSERT_EQ(p.Present(small), 0);
    testsupport::TestWindow reference(8, 20, 15);
    image::ImageBuffer expected = Expected(small, 20, 15, 0);
    platform::HDC dc = platform::GetDC(reference.window());
    platform::HPALETTE palette = nullptr;
    image::DisplayImage(reference.window(), dc, &palette, 0, 0, &expected, 0, 0, 2);
    platform::ReleaseDC(reference.window(), dc);
    if (palette != nullptr) platform::DeleteObject(palette);
    image::FreeImage(&expected);
    const platform::WindowPixels a = p.screen.Pixels();
    const platform::WindowPixels b = reference.Pixels();
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(testsupport::ColorOf(a, x, y), testsupport::ColorOf(b, x, y)) << x << "," << y;
}
