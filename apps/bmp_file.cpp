// BMP file writer: the file header is the only part built here; offsets come from the block's own
// layout (Bits minus Header), so whatever colour table the buffer carries is written with it.
#include "apps/bmp_file.h"

#include <array>
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

// The 14-byte file header in front of the image's block.
std::array<std::uint8_t, kBmpFileHeaderBytes> FileHeader(const image::ImageBuffer& image,
                                                         std::size_t block_bytes) {
    const auto* block = reinterpret_cast<const std::uint8_t*>(image.Header);
    const std::size_t pixel_offset = static_cast<std::size_t>(image.Bits - block);
    std::array<std::uint8_t, kBmpFileHeaderBytes> header{};
    header[0] = 'B';
    header[1] = 'M';
    PutLe32(&header[2], static_cast<std::uint32_t>(kBmpFileHeaderBytes + block_bytes));
    PutLe32(&header[10], static_cast<std::uint32_t>(kBmpFileHeaderBytes + pixel_offset));
    return header;
}

}  // namespace

std::vector<std::uint8_t> BmpFileBytes(const image::ImageBuffer& image) {
    const std::size_t block_bytes = image::ImageBlockBytes(image);
    if (block_bytes == 0) return {};
    const auto header = FileHeader(image, block_bytes);
    std::vector<std::uint8_t> file(header.begin(), header.end());
    const auto* block = reinterpret_cast<const std::uint8_t*>(image.Header);
    file.insert(file.end(), block, block + block_bytes);
    return file;
}

std::vector<std::uint8_t> BmpHeadBytes(const image::ImageBuffer& band, std::int32_t height) {
    if (band.Header == nullptr || height <= 0) return {};
    const auto* block = reinterpret_cast<const std::uint8_t*>(band.Header);
    const std::size_t head = static_cast<std::size_t>(band.Bits - block);
    const std::size_t pixels = static_cast<std::size_t>(band.RowBytes) * static_cast<std::size_t>(height);
    image::BitmapInfoHeader info = *band.Header;
    info.Height = height;
    info.SizeImage = static_cast<std::uint32_t>(pixels);
    std::vector<std::uint8_t> bytes(kBmpFileHeaderBytes + head);
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLe32(&bytes[2], static_cast<std::uint32_t>(kBmpFileHeaderBytes + head + pixels));
    PutLe32(&bytes[10], static_cast<std::uint32_t>(kBmpFileHeaderBytes + head));
    std::memcpy(&bytes[kBmpFileHeaderBytes], &info, sizeof info);
    std::memcpy(&bytes[kBmpFileHeaderBytes + sizeof info], block + sizeof info, head - sizeof info);
    return bytes;
}

// The header and then the block straight from the image, so a big picture is not copied first.
bool WriteBmpFile(const std::string& path, const image::ImageBuffer& image, std::string* error) {
    const std::size_t block_bytes = image::ImageBlockBytes(image);
    if (block_bytes == 0) {
        *error = "no picture to write";
        return false;
    }
    const auto header = FileHeader(image, block_bytes);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    // Unbuffered: both pieces go to the file with one write each.
    std::setvbuf(out, nullptr, _IONBF, 0);
    const bool written =
        std::fwrite(header.data(), 1, header.size(), out) == header.size() &&
        std::fwrite(image.Header, 1, block_bytes, out) == block_bytes;
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        *error = path + ": write failed";
        return false;
    }
    return true;
}

}  // namespace apps
