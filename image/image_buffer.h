// Image buffers: a device-independent bitmap in one contiguous zero-filled block (40-byte header,
// colour table, bottom-up pixel rows) plus a small record that points into it and names a region
// of interest. The hard part is the bottom-up addressing with rows padded to 4 bytes; the buffer
// knows nothing of JPEG, scaling or the screen, which build on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image_result.h"

namespace image {

// The bitmap information header at the start of every block, laid out as the graphics interface
// expects it (little-endian, no padding).
struct BitmapInfoHeader {
    std::uint32_t Size;  // 40
    std::int32_t Width;
    std::int32_t Height;   // positive: the rows are stored bottom-up
    std::uint16_t Planes;  // 1
    std::uint16_t BitCount;
    std::uint32_t Compression;  // 0: uncompressed
    std::uint32_t SizeImage;    // RowBytes * Height
    std::int32_t XPelsPerMeter;
    std::int32_t YPelsPerMeter;
    std::uint32_t ClrUsed;
    std::uint32_t ClrImportant;
};
static_assert(sizeof(BitmapInfoHeader) == 40, "the bitmap header is 40 bytes on the wire");

// One colour-table entry, in the byte order of the graphics interface.
struct PaletteEntry {
    std::uint8_t Blue;
    std::uint8_t Green;
    std::uint8_t Red;
    std::uint8_t Reserved;
};
static_assert(sizeof(PaletteEntry) == 4, "colour-table entries are 4 bytes");

// Flags bit 0: the colour table is the grey ramp, so pixel values are intensities that may be
// averaged and interpolated.
inline constexpr std::uint32_t kGreyScale = 1;

struct ImageBuffer {
    std::uint8_t* Bits;  // bottom picture row (rows are stored bottom-up)
    std::uint32_t Left;  // region of interest, inclusive; Top counts from the top picture row
    std::uint32_t Top;
    std::uint32_t Right;
    std::uint32_t Bottom;
    std::int32_t RowBytes;  // bytes per stored row, a multiple of 4
    PaletteEntry* Palette;  // ColorCount entries directly behind the header
    std::int32_t ColorCount;
    std::uint32_t Flags;
    BitmapInfoHeader* Header;  // start of the block; null in a cleared record
    void* BitmapHandle;        // reserved for a graphics bitmap owning the pixels; never set here
};

// The largest block AllocImage hands out. A script can ask for a zoom of 1000; refusing with
// kOutOfMemory keeps such a request from exhausting the process.
inline constexpr std::uint32_t kMaxImageBlockBytes = 256u * 1024 * 1024;

// Region limits: columns and rows at or beyond these are refused by ValidateImage.
inline constexpr std::uint32_t kMaxImageCoordinate = 32768;
inline constexpr std::uint32_t kMaxOneBitColumn = 65536;

// Depth sets for ValidateImage: bit n stands for n bits per pixel.
inline constexpr std::uint32_t DepthBit(int bits) {
    return 1u << bits;
}
inline constexpr std::uint32_t kDepths8And24 = DepthBit(8) | DepthBit(24);
inline constexpr std::uint32_t kDepths1And8And24 = DepthBit(1) | DepthBit(8) | DepthBit(24);
inline constexpr std::uint32_t kDepthsAny = DepthBit(1) | DepthBit(8) | DepthBit(16) | DepthBit(24);

// Allocates a zero-filled block for width x height pixels of 1, 4 (served as 8), 8, 16 or 24 bits,
// fills the header and the default colour table and sets the region to the whole picture. On
// failure the record is left cleared. kBadDepth, kBadSize (width or height not positive),
// kOutOfMemory (allocation failed, or the block would exceed kMaxImageBlockBytes).
ImageResult AllocImage(ImageBuffer* image, std::int32_t width, std::int32_t height,
                       std::int32_t bits_per_pixel);

// AllocImage for a caller that handles a stream of pictures: when the record already holds a
// block made for the same width, height and depth, that block is kept (header, default colour
// table, flags and region set again as AllocImage sets them; the pixels keep what they held).
// Otherwise the block is freed and a new one allocated. On failure the record is left cleared.
ImageResult ReuseImage(ImageBuffer* image, std::int32_t width, std::int32_t height,
                       std::int32_t bits_per_pixel);

// Releases the block and clears the record; a cleared record is left alone.
void FreeImage(ImageBuffer* image);

void ClearImageRecord(ImageBuffer* image);

// Makes target a second record pointing into the same block; only one of the two may be freed.
void CopyImageRecord(const ImageBuffer& source, ImageBuffer* target);

// 16 bits: Flags = 1. Up to 8 bits with a colour table: the grey ramp (entry i = i * step modulo
// 256, step 255 for 1 bit, 1 for 8 bits) and kGreyScale. 24 bits: unchanged.
ImageResult SetDefaultPalette(ImageBuffer* image);

// The entry check of every operation: pointers present, region inside the picture and the
// coordinate limits (Left/Right and Top/Bottom swapped in place when reversed), rows wide enough,
// pixels uncompressed, depth in accepted_depths (a DepthBit set).
ImageResult ValidateImage(ImageBuffer* image, std::uint32_t accepted_depths);

// When both have colour tables of at most 8 bits: copies as many entries as both hold, sets the
// target's ColorCount to that number and takes over the source's kGreyScale bit.
void CopyPalette(const ImageBuffer& source, ImageBuffer* target);

// Copies the common size of the two regions from source (Left, Top) to target (Left, Top); safe
// when both lie in the same block. Depths {1, 8, 24}, equal in both, else kBadDepth.
ImageResult CopyImageRegion(ImageBuffer* source, ImageBuffer* target);

// Byte offset from Bits of picture pixel (x, y), y counted from the top; for 1-bit pictures the
// byte holding the pixel.
std::ptrdiff_t PixelOffset(const ImageBuffer& image, std::uint32_t x, std::uint32_t y);

// Bytes from Header to the end of the pixels: the block as the graphics interface takes it.
std::size_t ImageBlockBytes(const ImageBuffer& image);

}  // namespace image
