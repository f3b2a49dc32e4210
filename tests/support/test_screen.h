// Test helpers for pictures on screens: a screen with one child window that goes away with the
// helper, synthetic ImageBuffers filled from a function, and JPEG files made with TurboJPEG.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "image/image_buffer.h"
#include "platform/gdi.h"
#include "platform/window.h"

namespace testsupport {

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

// A screen of `depth` bits holding one window of the given client size at (0, 0) (the screen
// is at least that large), with the default window procedure.
class TestWindow {
  public:
    TestWindow(int depth, int width, int height, int screen_width = 0, int screen_height = 0);
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    platform::HWND screen() const { return screen_; }
    platform::HWND window() const { return window_; }
    platform::WindowPixels Pixels() const;
    Rgb At(int x, int y) const;  // one pixel's colour, read afresh
    void Fill(Rgb color) const;  // the whole client area

  private:
    platform::HWND screen_;
    platform::HWND window_;
};

Rgb ColorOf(const platform::WindowPixels& pixels, int x, int y);

// A 24-bit (or 8-bit grey) picture whose pixel (x, y), y from the top, is f(x, y). Free it
// with image::FreeImage.
image::ImageBuffer MakePicture24(int width, int height, const std::function<Rgb(int, int)>& f);
image::ImageBuffer MakeGreyPicture(int width, int height,
                                   const std::function<std::uint8_t(int, int)>& f);
Rgb PixelOf(const image::ImageBuffer& picture, int x, int y);  // through the colour table at 8 bits

// A JPEG of the picture (4:4:4 unless subsampled is set); empty on failure.
std::vector<std::uint8_t> EncodeJpeg(const image::ImageBuffer& picture, int quality,
                                     bool subsampled = false);

}  // namespace testsupport
