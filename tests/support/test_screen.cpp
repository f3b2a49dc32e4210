// Screens, pictures and JPEGs for the display, presentation and control-window tests.
#include "test_screen.h"

#include <turbojpeg.h>

#include <algorithm>

namespace testsupport {

TestWindow::TestWindow(int depth, int width, int height, int screen_width, int screen_height) {
    screen_ = platform::CreateScreen(std::max(width, screen_width), std::max(height, screen_height),
                                     depth);
    window_ = platform::CreateChildWindow(screen_, platform::RECT{0, 0, width, height},
                                          &platform::DefWindowProc, nullptr);
}

TestWindow::~TestWindow() {
    platform::DestroyWindow(screen_);
}

platform::WindowPixels TestWindow::Pixels() const {
    platform::WindowPixels p;
    platform::ReadWindowPixels(window_, &p);
    return p;
}

Rgb TestWindow::At(int x, int y) const {
    return ColorOf(Pixels(), x, y);
}

void TestWindow::Fill(Rgb color) const {
    platform::HDC dc = platform::GetDC(window_);
    platform::HBRUSH brush = platform::CreateSolidBrush(platform::RGB(color.r, color.g, color.b));
    platform::RECT r;
    platform::GetClientRect(window_, &r);
    platform::FillRect(dc, &r, brush);
    platform::DeleteObject(brush);
    platform::ReleaseDC(window_, dc);
}

Rgb ColorOf(const platform::WindowPixels& pixels, int x, int y) {
    const std::uint32_t c = pixels.ColorAt(x, y);
    return Rgb{static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
               static_cast<std::uint8_t>(c)};
}

image::ImageBuffer MakePicture24(int width, int height, const std::function<Rgb(int, int)>& f) {
    image::ImageBuffer picture;
    image::AllocImage(&picture, width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = picture.Bits + image::PixelOffset(picture, x, y);
            const Rgb c = f(x, y);
            p[0] = c.b;
            p[1] = c.g;
            p[2] = c.r;
        }
    return picture;
}

image::ImageBuffer MakeGreyPicture(int width, int height,
                                   const std::function<std::uint8_t(int, int)>& f) {
    image::ImageBuffer picture;
    image::AllocImage(&picture, width, height, 8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) picture.Bits[image::PixelOffset(picture, x, y)] = f(x, y);
    return picture;
}

Rgb PixelOf(const image::ImageBuffer& picture, int x, int y) {
    const std::uint8_t* p = picture.Bits + image::PixelOffset(picture, x, y);
    if (picture.Header->BitCount == 24) return Rgb{p[2], p[1], p[0]};
    const image::PaletteEntry& e = picture.Palette[*p];
    return Rgb{e.Red, e.Green, e.Blue};
}

std::vector<std::uint8_t> EncodeJpeg(const image::ImageBuffer& picture, int quality,
                                     bool subsampled) {
    const int w = picture.Header->Width;
    const int h = picture.Header->Height;
    const bool grey = picture.Header->BitCount == 8;
    std::vector<std::uint8_t> top_down(static_cast<std::size_t>(w) * h * (grey ? 1 : 3));
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = picture.Bits + image::PixelOffset(picture, 0, y);
        std::copy_n(row, static_cast<std::size_t>(w) * (grey ? 1 : 3),
                    top_down.begin() + static_cast<std::ptrdiff_t>(y) * w * (grey ? 1 : 3));
    }
    tjhandle tj = tjInitCompress();
    if (tj == nullptr) return {};
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(
        tj, top_down.data(), w, 0, h, grey ? TJPF_GRAY : TJPF_BGR, &out, &size,
        grey ? TJSAMP_GRAY : (subsampled ? TJSAMP_420 : TJSAMP_444), quality, TJFLAG_ACCURATEDCT);
    std::vector<std::uint8_t> bytes;
    if (result == 0) bytes.assign(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    return bytes;
}

}  // namespace testsupport
