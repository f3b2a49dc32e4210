// `quorlina present` and `quorlina snapshot` as a user runs them: the BMP files they write
// (24-, 8- and 4-bit) hold the window's picture, which matches the pipeline's own result for
// the frame, and failures leave no file behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "apps/camera/camera.h"
#include "control/quorlina.h"
#include "image/display.h"
#include "image/jpeg_decoder.h"
#include "image/resize.h"
#include "stream/present_frame.h"
#include "support/jpeg_corpus.h"
#include "support/test_screen.h"

using testsupport::Rgb;

namespace {

constexpr Rgb kMidGrey{128, 128, 128};

struct CommandResult {
    int status = -1;
    std::string output;  // stdout and stderr
};

CommandResult RunQuorlina(const std::string& arguments) {
    CommandResult r;
    const std::string command = std::string(QUORLINA_BIN_DIR "/quorlina ") + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[512];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string TempPath(const std::string& name) {
    return testsupport::CorpusDir() + "/" + std::to_string(::getpid()) + "_" + name;
}

bool Exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// A BMP as the commands write it: 24-bit, or 8-/4-bit with a colour table; colours top row first.
struct Bmp {
    int width = 0, height = 0, bits = 0, colors = 0;
    std::vector<Rgb> pixels;
    Rgb At(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

std::uint32_t Le(const std::vector<std::uint8_t>& d, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | d[at + static_cast<std::size_t>(i)];
    return v;
}

bool ReadBmp(const std::string& path, Bmp* bmp) {
    const std::vector<std::uint8_t> d = testsupport::ReadFileBytes(path);
    if (d.size() < 54 || d[0] != 'B' || d[1] != 'M' || Le(d, 2, 4) != d.size()) return false;
    const std::size_t offset = Le(d, 10, 4);
    bmp->width = static_cast<int>(Le(d, 18, 4));
    bmp->height = static_cast<int>(Le(d, 22, 4));
    bmp->bits = static_cast<int>(Le(d, 28, 2));
    bmp->colors = static_cast<int>(Le(d, 46, 4));
    const std::size_t row = (static_cast<std::size_t>(bmp->width) * bmp->bits + 31) / 32 * 4;
    if (offset != 54 + 4 * static_cast<std::size_t>(bmp->colors) ||
        d.size() != offset + row * static_cast<std::size_t>(bmp->height))
        return false;
    for (int y = 0; y < bmp->height; ++y) {
        const std::uint8_t* r = &d[offset + row * static_cast<std::size_t>(bmp->height - 1 - y)];
        for (int x = 0; x < bmp->width; ++x) {
            if (bmp->bits == 24) {
                bmp->pixels.push_back(Rgb{r[3 * x + 2], r[3 * x + 1], r[3 * x]});
                continue;
            }
            const int index = bmp->bits == 8 ? r[x] : (x % 2 == 0 ? r[x / 2] >> 4 : r[x / 2] & 15);
            if (index >= bmp->colors) return false;
            const std::size_t at = 54 + 4 * static_cast<std::size_t>(index);
            bmp->pixels.push_back(Rgb{d[at + 2], d[at + 1], d[at]});
        }
    }
    return true;
}

std::vector<std::uint8_t> TestJpeg(int w, int h) {
    image::ImageBuffer picture = testsupport::MakePicture24(w, h, [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 9),
                   static_cast<std::uint8_t>(200 - x - y)};
    });
    std::vector<std::uint8_t> jpeg = testsupport::EncodeJpeg(picture, 85, true);
    image::FreeImage(&picture);
    return jpeg;
}

// The window the control shows for the frame: a mid-grey background with the scaled frame's
// centre painted by DisplayImage, on a screen of the given depth.
std::vector<Rgb> ExpectedWindow(const std::vector<std::uint8_t>& jpeg, int depth, int preview_w,
                                int preview_h, int zoom, int resize, int display, int window_w,
                                int window_h) {
    testsupport::TestWindow w(depth, window_w, window_h);
    w.Fill(kMidGrey);
    image::JpegInfo info;
    image::ImageBuffer decoded, scaled;
    EXPECT_EQ(image::ReadJpegInfo(jpeg.data(), jpeg.size(), &info), image::kImageOk);
    image::AllocImage(&decoded, info.Width, info.Height, info.BitsPerPixel);
    EXPECT_EQ(image::DecodeJpeg(jpeg.data(), jpeg.size(), &decoded), image::kImageOk);
    const stream::FrameGeometry g = stream::ComputeFrameGeometry(preview_w, preview_h, zoom);
    image::AllocImage(&scaled, static_cast<int>(g.width), static_cast<int>(g.height),
                      info.BitsPerPixel);
    EXPECT_EQ(image::ResizeImage(&decoded, &scaled, resize), image::kImageOk);
    platform::HDC dc = platform::GetDC(w.window());
    platform::HPALETTE palette = nullptr;
    image::DisplayImage(w.window(), dc, &palette, static_cast<int>(g.x), static_cast<int>(g.y),
                        &scaled, 0, 0, display);
    platform::ReleaseDC(w.window(), dc);
    if (palette != nullptr) platform::DeleteObject(palette);
    image::FreeImage(&decoded);
    image::FreeImage(&scaled);
    const platform::WindowPixels p = w.Pixels();
    std::vector<Rgb> colours;
    for (int y = 0; y < window_h; ++y)
        for (int x = 0; x < window_w; ++x) colours.push_back(testsupport::ColorOf(p, x, y));
    return colours;
}

}  // namespace

TEST(PresentCommand, WritesTheWindowAtEachScreenDepth) {
    const std::vector<std::uint8_t> jpeg = TestJpeg(48, 36);
    const std::string frame = TempPath("present.jpg");
    ASSERT_TRUE(testsupport::WriteFileBytes(frame, jpeg));
    const struct {
        int depth, display, zoom, bits, colors;
    } cases[] = {{32, 0, 1, 24, 0}, {32, 0, 2, 24, 0}, {8, 0, 1, 8, 256},
                 {8, 2, 2, 8, 256}, {4, 1, 1, 4, 16},  {4, 2, 2, 4, 16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.depth << "-bit, display " << c.display << ", zoom " << c.zoom);
        const std::string out = TempPath("present.bmp");
        const CommandResult r = RunQuorlina(
            "present " + frame + " " + out + " --preview 32x24 --resize 1 --window 40x30 --zoom " +
            std::to_string(c.zoom) + " --depth " + std::to_string(c.depth) + " --display " +
            std::to_string(c.display));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("40x30 window"), std::string::npos) << r.output;
        Bmp bmp;
        ASSERT_TRUE(ReadBmp(out, &bmp));
        EXPECT_EQ(bmp.width, 40);
        EXPECT_EQ(bmp.height, 30);
        EXPECT_EQ(bmp.bits, c.bits);
        EXPECT_EQ(bmp.colors, c.colors);
        const std::vector<Rgb> expected =
            ExpectedWindow(jpeg, c.depth, 32, 24, c.zoom, 1, c.display, 40, 30);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x)
                ASSERT_EQ(bmp.At(x, y), expected[static_cast<std::size_t>(y * 40 + x)])
                    << x << "," << y;
        // At zoom 1 the window's part outside the preview keeps its background.
        if (c.zoom == 1) {
            EXPECT_EQ(bmp.At(39, 29), kMidGrey);
        }
        std::remove(out.c_str());
    }
    std::remove(frame.c_str());
}

TEST(PresentCommand, AFrameNotShownWritesNoFile) {
    const std::string frame = TempPath("not_a_frame.jpg");
    ASSERT_TRUE(testsupport::WriteFileBytes(frame, {'n', 'o', 'p', 'e'}));
    const std::string good = TempPath("good.jpg");
    ASSERT_TRUE(testsupport::WriteFileBytes(good, TestJpeg(16, 16)));
    const std::string out = TempPath("none.bmp");
    const struct {
        std::string arguments;
        int status;
        const char* says;
    } cases[] = {
        {"present " + frame + " " + out, 1, "frame not shown: -43"},
        {"present " + good + " " + out + " --zoom 0", 2, "--zoom: expected a whole number from 1 to 8"},
        {"present " + good + " " + out + " --zoom 100000", 2, "--zoom"},
        {"present " + TempPath("missing.jpg") + " " + out, 2, "missing.jpg: No such file or directory"},
        {"present " + good + " " + out + " --window 0x5", 2, "--window"},
        {"present " + good + " " + out + " --depth 24", 2, "--depth"},
        {"present " + good, 2, "out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const CommandResult r = RunQuorlina(c.arguments);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_FALSE(Exists(out));
    }
    std::remove(frame.c_str());
    std::remove(good.c_str());
}

TEST(SnapshotCommand, TheWindowMatchesTheCamerasFrameThroughThePipeline) {
    camera::CameraConfig config;
    config.http_port = 0;
    config.width = 96;
    config.height = 72;
    config.fps = 25;
    camera::Camera cam(config);
    std::string error;
    ASSERT_TRUE(cam.Start(&error)) << error;
    const std::string url = "http://127.0.0.1:" + std::to_string(cam.HttpPort());
    const struct {
        int depth, zoom, resize, display;
    } cases[] = {{32, 2, 0, 0}, {32, 1, 1, 0}, {8, 2, 1, 2}, {4, 3, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << "-bit, zoom " << c.zoom);
        const std::string out = TempPath("snapshot.bmp");
        const std::string shown = TempPath("snapshot.jpg");
        const CommandResult r = RunQuorlina(
            "snapshot " + url + " --out " + out + " --jpeg " + shown +
            " --frames 3 --timeout 20 --preview 64x48 --zoom " + std::to_string(c.zoom) +
            " --resize " + std::to_string(c.resize) + " --display " + std::to_string(c.display) +
            " --depth " + std::to_string(c.depth));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("fps"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("time \"20"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("pan "), std::string::npos) << r.output;
        Bmp bmp;
        ASSERT_TRUE(ReadBmp(out, &bmp));
        ASSERT_EQ(bmp.width, 64);
        ASSERT_EQ(bmp.height, 48);
        const std::vector<std::uint8_t> jpeg = testsupport::ReadFileBytes(shown);
        ASSERT_FALSE(jpeg.empty());
        const std::vector<Rgb> expected =
            ExpectedWindow(jpeg, c.depth, 64, 48, c.zoom, c.resize, c.display, 64, 48);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                ASSERT_EQ(bmp.At(x, y), expected[static_cast<std::size_t>(y * 64 + x)])
                    << x << "," << y;
        std::remove(out.c_str());
        std::remove(shown.c_str());
    }
    cam.Stop();
}

TEST(SnapshotCommand, TheAmbientBackgroundShowsBesideThePicture) {
    camera::CameraConfig config;
    config.http_port = 0;
    config.width = 64;
    config.height = 48;
    config.fps = 25;
    camera::Camera cam(config);
    std::string error;
    ASSERT_TRUE(cam.Start(&error)) << error;
    const std::string url = "http://127.0.0.1:" + std::to_string(cam.HttpPort());
    const std::string out = TempPath("background.bmp");
    const CommandResult r =
        RunQuorlina("snapshot " + url + " --out " + out +
                    " --frames 2 --timeout 20 --preview 64x48 --window 80x60 --background 2040a0");
    ASSERT_EQ(r.status, 0) << r.output;
    Bmp bmp;
    ASSERT_TRUE(ReadBmp(out, &bmp));
    ASSERT_EQ(bmp.width, 80);
    for (const auto& [x, y] : {std::pair{79, 59}, std::pair{70, 5}, std::pair{5, 55}})
        EXPECT_EQ(bmp.At(x, y), (Rgb{0x20, 0x40, 0xA0})) << x << "," << y;
    EXPECT_NE(bmp.At(32, 24), (Rgb{0x20, 0x40, 0xA0})) << "the picture itself";
    std::remove(out.c_str());

    const CommandResult bad =
        RunQuorlina("snapshot " + url + " --out " + out + " --background 20a0");
    EXPECT_EQ(bad.status, 2) << bad.output;
    EXPECT_NE(bad.output.find("RRGGBB"), std::string::npos) << bad.output;
    EXPECT_FALSE(Exists(out));
    cam.Stop();
}

TEST(SnapshotCommand, TooFewFramesInTimeWritesNoFile) {
    camera::CameraConfig config;
    config.http_port = 0;
    config.fps = 1;
    camera::Camera cam(config);
    std::string error;
    ASSERT_TRUE(cam.Start(&error)) << error;
    const std::string out = TempPath("late.bmp");
    const CommandResult r =
        RunQuorlina("snapshot http://127.0.0.1:" + std::to_string(cam.HttpPort()) + " --out " +
                    out + " --frames 50 --timeout 0.5");
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("of 50 frames presented"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("no file written"), std::string::npos) << r.output;
    EXPECT_FALSE(Exists(out));
    cam.Stop();
}
