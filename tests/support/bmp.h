// BMP helpers of the tests: reads uncompressed 8- and 24-bit BMP files (as djpeg writes them and
// as `quorlina decode` does) into top-down packed pixels, and takes the same view of an
// ImageBuffer, so that pictures from either side compare byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_buffer.h"

namespace testsupport {

struct Picture {
    int width = 0;
    int height = 0;
    int channels = 0;                  // 1 (8-bit indices or grey) or 3 (blue, green, red)
    std::vector<std::uint8_t> pixels;  // top row first, width * channels bytes per row
    std::vector<image::PaletteEntry> palette;

    const std::uint8_t* At(int x, int y) const {
        return &pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                        static_cast<std::size_t>(x)) *
                       static_cast<std::size_t>(channels)];
    }
};

// False with a message when the bytes are not an uncompressed 8- or 24-bit BMP.
bool ParseBmp(const std::vector<std::uint8_t>& bytes, Picture* picture, std::string* error);
bool ReadBmpFile(const std::string& path, Picture* picture, std::string* error);

// The whole picture of an 8- or 24-bit buffer, top row first.
Picture PictureOf(const image::ImageBuffer& image);

// Largest per-channel difference; -1 when the sizes or channel counts differ.
int MaxDifference(const Picture& a, const Picture& b);

}  // namespace testsupport
