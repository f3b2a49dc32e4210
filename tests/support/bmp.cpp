// BMP reading for the tests: only the layouts the tests meet (BITMAPINFOHEADER, no compression,
// 8 or 24 bits, bottom-up or top-down), checked field by field.
#include "support/bmp.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace testsupport {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}
std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

bool ParseBmp(const std::vector<std::uint8_t>& bytes, Picture* picture, std::string* error) {
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') {
        *error = "not a BMP file";
        return false;
    }
    const std::uint8_t* h = bytes.data() + 14;
    const std::uint32_t offset = Le32(bytes.data() + 10);
    const std::uint32_t header_size = Le32(h);
    const auto width = static_cast<std::int32_t>(Le32(h + 4));
    const auto height_field = static_cast<std::int32_t>(Le32(h + 8));
    const int bits = Le16(h + 14);
    const std::uint32_t compression = Le32(h + 16);
    std::uint32_t colors = Le32(h + 32);
    if (header_size < 40 || width <= 0 || height_field == 0 || compression != 0 ||
        (bits != 8 && bits != 24)) {
        *error = "unsupported BMP layout";
        return false;
    }
    const bool bottom_up = height_field > 0;
    const int height = std::abs(height_field);
    const std::size_t row_bytes =
        ((static_cast<std::size_t>(width) * static_cast<std::size_t>(bits) + 31) / 32) * 4;
    if (offset > bytes.size() ||
        row_bytes * static_cast<std::size_t>(height) > bytes.size() - offset) {
        *error = "BMP pixels run past the file";
        return false;
    }
    picture->width = width;
    picture->height = height;
    picture->channels = bits / 8;
    picture->palette.clear();
    if (bits == 8) {
        if (colors == 0) colors = 256;
        const std::size_t table = 14 + header_size;
        for (std::uint32_t i = 0; i < colors && table + 4 * (i + 1) <= offset; ++i) {
            const std::uint8_t* e = bytes.data() + table + 4 * i;
            picture->palette.push_back(image::PaletteEntry{e[0], e[1], e[2], e[3]});
        }
    }
    const std::size_t packed =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(picture->channels);
    picture->pixels.resize(packed * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const int stored = bottom_up ? height - 1 - y : y;
        const std::uint8_t* row =
            bytes.data() + offset + row_bytes * static_cast<std::size_t>(stored);
        std::copy(row, row + packed,
                  picture->pixels.begin() +
                      static_cast<std::ptrdiff_t>(packed * static_cast<std::size_t>(y)));
    }
    return true;
}

bool ReadBmpFile(const std::string& path, Picture* picture, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open";
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    return ParseBmp(bytes, picture, error);
}

Picture PictureOf(const image::ImageBuffer& image) {
    Picture picture;
    picture.width = image.Header->Width;
    picture.height = image.Header->Height;
    picture.channels = image.Header->BitCount / 8;
    const std::size_t packed =
        static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.channels);
    picture.pixels.resize(packed * static_cast<std::size_t>(picture.height));
    for (int y = 0; y < picture.height; ++y) {
        const std::uint8_t* row =
            image.Bits + image::PixelOffset(image, 0, static_cast<std::uint32_t>(y));
        std::copy(row, row + packed,
                  picture.pixels.begin() +
                      static_cast<std::ptrdiff_t>(packed * static_cast<std::size_t>(y)));
    }
    for (int i = 0; i < image.ColorCount; ++i) picture.palette.push_back(image.Palette[i]);
    return picture;
}

int MaxDifference(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height || a.channels != b.channels) return -1;
    int worst = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i)
        worst = std::max(worst, std::abs(int{a.pixels[i]} - int{b.pixels[i]}));
    return worst;
}

}  // namespace testsupport
