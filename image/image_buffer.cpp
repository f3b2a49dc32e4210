// Image buffers: allocation with the size bound, the default grey colour table, the entry check
// shared by the pipeline and the overlap-safe region copy. Size arithmetic is done in 64 bits and
// checked before anything is allocated; 1-bit rows are copied bit by bit through a scratch row.
#include "image/image_buffer.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace image {
namespace {

constexpr std::uint32_t kHeaderBytes = sizeof(BitmapInfoHeader);

// Grey-ramp step by bit count 0..8: entry i of the default table is i * step modulo 256.
constexpr std::array<int, 9> kGreyStep = {255, 255, 85, 36, 17, 8, 4, 2, 1};

std::int64_t RowBytesFor(std::int64_t width, std::int64_t bits) {
    return ((width * bits + 31) >> 3) & ~std::int64_t{3};
}

std::uint32_t RegionWidth(const ImageBuffer& image) {
    return image.Right - image.Left + 1;
}
std::uint32_t RegionHeight(const ImageBuffer& image) {
    return image.Bottom - image.Top + 1;
}

bool GetBit(const std::uint8_t* row, std::uint32_t x) {
    return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

void PutBit(std::uint8_t* row, std::uint32_t x, bool on) {
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (x & 7));
    if (on)
        row[x >> 3] |= mask;
    else
        row[x >> 3] &= static_cast<std::uint8_t>(~mask);
}

}  // namespace

void ClearImageRecord(ImageBuffer* image) {
    if (image != nullptr) *image = ImageBuffer{};
}

void CopyImageRecord(const ImageBuffer& source, ImageBuffer* target) {
    if (target != nullptr) *target = source;
}

namespace {

// The sizes of a picture's block, checked before anything is allocated; kBadDepth or kBadSize
// for a request AllocImage refuses, kOutOfMemory past kMaxImageBlockBytes.
struct BlockLayout {
    int bits;
    std::int32_t colors;
    std::int64_t row_bytes;
    std::int64_t pixel_bytes;
    std::int64_t block_bytes;
};

ImageResult LayOut(std::int32_t width, std::int32_t height, std::int32_t bits_per_pixel,
                   BlockLayout* layout) {
    int bits = bits_per_pixel;
    if (bits == 4) bits = 8;
    if (bits != 1 && bits != 8 && bits != 16 && bits != 24) return kBadDepth;
    if (width <= 0 || height <= 0) return kBadSize;
    const std::int32_t colors = bits <= 8 ? (1 << bits) : 0;
    // Each factor is bounded before the product, so the arithmetic cannot overflow either.
    const std::int64_t row_bytes = RowBytesFor(width, bits);
    if (row_bytes > kMaxImageBlockBytes || std::int64_t{height} > kMaxImageBlockBytes)
        return kOutOfMemory;
    const std::int64_t pixel_bytes = row_bytes * height;
    const std::int64_t block_bytes = kHeaderBytes + 4 * std::int64_t{colors} + pixel_bytes;
    if (block_bytes > kMaxImageBlockBytes) return kOutOfMemory;
    *layout = BlockLayout{bits, colors, row_bytes, pixel_bytes, block_bytes};
    return kImageOk;
}

// Header, default colour table and a whole-picture region over a block of the given layout;
// the pixels are left as they are.
void FillRecord(ImageBuffer* image, std::uint8_t* block, std::int32_t width, std::int32_t height,
                const BlockLayout& layout) {
    ClearImageRecord(image);
    auto* header = reinterpret_cast<BitmapInfoHeader*>(block);
    *header = BitmapInfoHeader{};
    header->Size = kHeaderBytes;
    header->Width = width;
    header->Height = height;
    header->Planes = 1;
    header->BitCount = static_cast<std::uint16_t>(layout.bits);
    header->Compression = 0;
    header->SizeImage = static_cast<std::uint32_t>(layout.pixel_bytes);
    header->ClrUsed = static_cast<std::uint32_t>(layout.colors);
    header->ClrImportant = static_cast<std::uint32_t>(layout.colors);

    image->Header = header;
    image->Palette = reinterpret_cast<PaletteEntry*>(block + kHeaderBytes);
    image->ColorCount = layout.colors;
    image->RowBytes = static_cast<std::int32_t>(layout.row_bytes);
    SetDefaultPalette(image);
    image->Bits = block + kHeaderBytes + 4 * layout.colors;
    image->Left = 0;
    image->Top = 0;
    image->Right = static_cast<std::uint32_t>(width - 1);
    image->Bottom = static_cast<std::uint32_t>(height - 1);
}

}  // namespace

ImageResult AllocImage(ImageBuffer* image, std::int32_t width, std::int32_t height,
                       std::int32_t bits_per_pixel) {
    if (image == nullptr) return kBadSize;
    ClearImageRecord(image);
    BlockLayout layout{};
    const ImageResult r = LayOut(width, height, bits_per_pixel, &layout);
    if (r != kImageOk) return r;
    auto* block =
        static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(layout.block_bytes), 1));
    if (block == nullptr) return kOutOfMemory;
    FillRecord(image, block, width, height, layout);
    return kImageOk;
}

ImageResult ReuseImage(ImageBuffer* image, std::int32_t width, std::int32_t height,
                       std::int32_t bits_per_pixel) {
    if (image == nullptr) return kBadSize;
    BlockLayout layout{};
    const ImageResult r = LayOut(width, height, bits_per_pixel, &layout);
    if (r == kImageOk && image->Header != nullptr && image->Header->Width == width &&
        image->Header->Height == height && image->Header->BitCount == layout.bits) {
        FillRecord(image, reinterpret_cast<std::uint8_t*>(image->Header), width, height, layout);
        return kImageOk;
    }
    FreeImage(image);
    return r == kImageOk ? AllocImage(image, width, height, bits_per_pixel) : r;
}

void FreeImage(ImageBuffer* image) {
    if (image == nullptr || image->Header == nullptr) return;
    std::free(image->Header);
    ClearImageRecord(image);
}

ImageResult SetDefaultPalette(ImageBuffer* image) {
    if (image == nullptr || image->Header == nullptr) return kBadSize;
    const int bits = image->Header->BitCount;
    if (bits == 16) {
        image->Flags = 1;
        return kImageOk;
    }
    if (bits > 8 || image->Palette == nullptr) return kImageOk;
    // The block holds at most 2^bits entries, whatever the header's colours-used field says.
    const std::uint32_t capacity = 1u << bits;
    std::uint32_t count = image->Header->ClrUsed != 0 ? image->Header->ClrUsed : capacity;
    count = std::min(count, capacity);
    const int step = kGreyStep[static_cast<std::size_t>(bits)];
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto level = static_cast<std::uint8_t>((i * static_cast<std::uint32_t>(step)) & 0xFF);
        image->Palette[i] = PaletteEntry{level, level, level, 0};
    }
    image->ColorCount = static_cast<std::int32_t>(count);
    image->Flags |= kGreyScale;
    return kImageOk;
}

ImageResult ValidateImage(ImageBuffer* image, std::uint32_t accepted_depths) {
    if (image == nullptr || image->Bits == nullptr) return kBadPixels;
    const BitmapInfoHeader* header = image->Header;
    if (header == nullptr) return kBadSize;
    if (image->Left > image->Right) std::swap(image->Left, image->Right);
    if (image->Top > image->Bottom) std::swap(image->Top, image->Bottom);

    const int bits = header->BitCount;
    if (header->Width <= 0 || header->Height <= 0) return kBadSize;
    const std::uint32_t width = static_cast<std::uint32_t>(header->Width);
    const std::uint32_t height = static_cast<std::uint32_t>(header->Height);
    const std::uint32_t column_limit = bits == 1 ? kMaxOneBitColumn : kMaxImageCoordinate;
    if (image->Right >= width || image->Right >= column_limit) return kBadSize;
    if (image->Bottom >= kMaxImageCoordinate || image->Bottom >= height) return kBadSize;
    // Rounded up, so that the last pixel of a 1-bit row still lies inside the row.
    const std::int64_t needed = (std::int64_t{width} * bits + 7) / 8;
    if (image->RowBytes <= 0 || needed > image->RowBytes) return kBadSize;

    if (header->Compression != 0) return kCompressedPixels;
    if (bits <= 0 || bits >= 32 || (accepted_depths & DepthBit(bits)) == 0) return kBadDepth;
    return kImageOk;
}

void CopyPalette(const ImageBuffer& source, ImageBuffer* target) {
    if (target == nullptr || source.Header == nullptr || target->Header == nullptr) return;
    if (source.Palette == nullptr || target->Palette == nullptr) return;
    if (source.Header->BitCount > 8 || target->Header->BitCount > 8) return;
    if (source.ColorCount <= 0) return;
    const std::uint32_t target_capacity = 1u << target->Header->BitCount;
    std::uint32_t count =
        std::min(static_cast<std::uint32_t>(source.ColorCount),
                 target->Header->ClrUsed != 0 ? target->Header->ClrUsed : target_capacity);
    count = std::min(count, target_capacity);
    if (source.Palette != target->Palette)
        std::memmove(target->Palette, source.Palette, count * sizeof(PaletteEntry));
    target->ColorCount = static_cast<std::int32_t>(count);
    target->Flags = (target->Flags & ~kGreyScale) | (source.Flags & kGreyScale);
}

ImageResult CopyImageRegion(ImageBuffer* source, ImageBuffer* target) {
    ImageResult result = ValidateImage(source, kDepths1And8And24);
    if (result != kImageOk) return result;
    result = ValidateImage(target, kDepths1And8And24);
    if (result != kImageOk) return result;
    const int bits = source->Header->BitCount;
    if (bits != target->Header->BitCount) return kBadDepth;

    const std::uint32_t columns = std::min(RegionWidth(*source), RegionWidth(*target));
    const std::uint32_t rows = std::min(RegionHeight(*source), RegionHeight(*target));
    std::uint8_t* source_top = source->Bits + PixelOffset(*source, source->Left, source->Top);
    std::uint8_t* target_top = target->Bits + PixelOffset(*target, target->Left, target->Top);

    std::vector<std::uint8_t> scratch;
    if (bits == 1) {
        try {
            scratch.resize(columns / 8 + 4);
        } catch (...) {
            return kOutOfMemory;
        }
    }
    const std::size_t row_copy =
        static_cast<std::size_t>(columns) * static_cast<std::size_t>(bits) / 8;
    auto copy_row = [&](std::uint32_t i) {
        const std::uint8_t* from = source_top - std::ptrdiff_t{source->RowBytes} * i;
        std::uint8_t* to = target_top - std::ptrdiff_t{target->RowBytes} * i;
        if (bits != 1) {
            std::memmove(to, from, row_copy);
            return;
        }
        // The source bits go through the scratch row first, so overlapping rows stay intact.
        const std::uint32_t shift = source->Left & 7;
        std::memcpy(scratch.data(), from, (shift + columns + 7) / 8);
        for (std::uint32_t x = 0; x < columns; ++x)
            PutBit(to, (target->Left & 7) + x, GetBit(scratch.data(), shift + x));
    };
    // Rows go in the direction that is safe when both regions share one block: bottom picture
    // row first (rising addresses) when the target lies below the source in memory.
    if (target_top < source_top) {
        for (std::uint32_t i = rows; i-- > 0;) copy_row(i);
    } else {
        for (std::uint32_t i = 0; i < rows; ++i) copy_row(i);
    }
    CopyPalette(*source, target);
    return kImageOk;
}

std::ptrdiff_t PixelOffset(const ImageBuffer& image, std::uint32_t x, std::uint32_t y) {
    const std::int64_t height = image.Header->Height;
    const std::int64_t bits = image.Header->BitCount;
    return static_cast<std::ptrdiff_t>(std::int64_t{x} * bits / 8 +
                                       (height - 1 - std::int64_t{y}) * image.RowBytes);
}

std::size_t ImageBlockBytes(const ImageBuffer& image) {
    if (image.Header == nullptr || image.Bits == nullptr) return 0;
    const auto* block = reinterpret_cast<const std::uint8_t*>(image.Header);
    return static_cast<std::size_t>(image.Bits - block) + image.Header->SizeImage;
}

}  // namespace image
