// The BMP writer: file header, 40-byte bitmap header, colour table, bottom-up rows padded to
// four bytes; 4-bit rows hold two pixels a byte, the left one in the high nibble.
#include "apps/window_bmp.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace apps {
namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;

void PutLe(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<std::uint8_t> WindowBmpBytes(const platform::WindowPixels& p) {
    const int bits = p.bits_per_pixel;
    if (p.width <= 0 || p.height <= 0 || (bits != 24 && bits != 8 && bits != 4)) return {};
    const std::size_t width = static_cast<std::size_t>(p.width);
    const std::size_t height = static_cast<std::size_t>(p.height);
    const std::size_t row_bytes = (width * static_cast<std::size_t>(bits) + 31) / 32 * 4;
    const std::size_t colors = bits == 24 ? 0 : p.palette.size();
    const std::size_t pixel_offset = kFileHeaderBytes + kInfoHeaderBytes + 4 * colors;
    std::vector<std::uint8_t> out(pixel_offset + row_bytes * height, 0);
    out[0] = 'B';
    out[1] = 'M';
    PutLe(out, 2, static_cast<std::uint32_t>(out.size()), 4);
    PutLe(out, 10, static_cast<std::uint32_t>(pixel_offset), 4);
    const std::size_t h = kFileHeaderBytes;
    PutLe(out, h, kInfoHeaderBytes, 4);
    PutLe(out, h + 4, static_cast<std::uint32_t>(p.width), 4);
    PutLe(out, h + 8, static_cast<std::uint32_t>(p.height), 4);  // positive: bottom-up
    PutLe(out, h + 12, 1, 2);
    PutLe(out, h + 14, static_cast<std::uint32_t>(bits), 2);
    PutLe(out, h + 20, static_cast<std::uint32_t>(row_bytes * height), 4);
    PutLe(out, h + 32, static_cast<std::uint32_t>(colors), 4);
    for (std::size_t i = 0; i < colors; ++i) {
        const platform::ScreenColor& c = p.palette[i];
        const std::size_t at = h + kInfoHeaderBytes + 4 * i;
        out[at] = c.blue;
        out[at + 1] = c.green;
        out[at + 2] = c.red;
    }
    const std::size_t in_row = width * (bits == 24 ? 3 : 1);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* from = &p.pixels[y * in_row];
        std::uint8_t* to = &out[pixel_offset + (height - 1 - y) * row_bytes];
        if (bits == 4) {
            for (std::size_t x = 0; x < width; ++x)
                to[x / 2] |= static_cast<std::uint8_t>((from[x] & 0x0F) << (x % 2 == 0 ? 4 : 0));
        } else {
            std::memcpy(to, from, in_row);
        }
    }
    return out;
}

bool WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         std::string* error) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        *error = path + ": " + std::strerror(errno);  // the user's path, not the temporary
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        std::remove(temporary.c_str());
        *error = path + ": write failed";
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace apps
