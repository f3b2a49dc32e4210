// BMP file writer: the file header is the only part built here; offsets come from the block's own
// layout (Bits minus Header), so whatever colour table the buffer carries is written with it.
#include "apps/bmp_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace apps {
namespace {

void PutLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    PutLe16(p, v & 0xFFFF);
    PutLe16(p + 2, v >> 16);
}

}  // namespace

std::vector<std::uint8_t> BmpFileBytes(const image::ImageBuffer& image) {
    const std::size_t block_bytes = image::ImageBlockBytes(image);
    if (block_bytes == 0) return {};
    const auto* block = reinterpret_cast<const std::uint8_t*>(image.Header);
    const std::size_t pixel_offset = static_cast<std::size_t>(image.Bits - block);
    std::vector<std::uint8_t> file(kBmpFileHeaderBytes + block_bytes);
    file[0] = 'B';
    file[1] = 'M';
    PutLe32(&file[2], static_cast<std::uint32_t>(file.size()));
    PutLe32(&file[10], static_cast<std::uint32_t>(kBmpFileHeaderBytes + pixel_offset));
    std::memcpy(&file[kBmpFileHeaderBytes], block, block_bytes);
    return file;
}

bool WriteBmpFile(const std::string& path, const image::ImageBuffer& image, std::string* error) {
    const std::vector<std::uint8_t> file = BmpFileBytes(image);
    if (file.empty()) {
        *error = "no picture to write";
        return false;
    }
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        *error = path + ": write failed";
        return false;
    }
    return true;
}

}  // namespace apps
