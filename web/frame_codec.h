// Encodes a control window's pixels for the web: JPEG through TurboJPEG (frames, snapshot.jpg)
// and PNG through libpng (snapshot.png). Palette screens go through their system palette first.
// Knows nothing of cameras or viewers; one JpegEncoder per thread (it keeps its TurboJPEG handle).
#pragma once

#include <string>
#include <vector>

#include "platform/window.h"

namespace web {

// The pixels as blue, green, red bytes, top row first.
void WindowToBgr(const platform::WindowPixels& pixels, std::vector<std::uint8_t>* bgr);

class JpegEncoder {
  public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Appends the JPEG of the window (4:2:0, the given quality 1..100) to *out. False when the
    // encoder fails (out is then as it was).
    bool Encode(const platform::WindowPixels& pixels, int quality, std::string* out);

  private:
    void* handle_;
    std::vector<std::uint8_t> bgr_;
};

// The window as a PNG file's bytes (8-bit RGB). False when libpng fails.
bool EncodePng(const platform::WindowPixels& pixels, std::string* out);

}  // namespace web
