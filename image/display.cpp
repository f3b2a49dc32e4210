// DisplayImage and its parts. The visible rows of a picture go to the device as a bottom-up
// bitmap of just those rows: the header's height is shortened for the call and restored after.
#include "image/display.h"

#include <algorithm>

#include "image/dither.h"
#include "image/median_cut.h"
#include "platform/gdi.h"

namespace image {
namespace {

constexpr int kPaletteDisplayBits = 8;  // at most this: a palette display
constexpr int kSixteenColorBits = 4;    // at most this: the 16-colour palette
constexpr std::int32_t kMaxUnreducedColors = 16;

std::int32_t ClampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

bool HasBlock(const ImageBuffer* image) {
    return image != nullptr && image->Header != nullptr && image->Bits != nullptr;
}

}  // namespace

ImageResult CreateImagePalette(ImageBuffer* image, platform::HPALETTE* palette) {
    *palette = nullptr;
    if (!HasBlock(image)) return kBadPixels;
    if (image->ColorCount == 0) SetDefaultPalette(image);
    if (image->ColorCount <= 0 || image->Palette == nullptr) return kImageOk;
    platform::LOGPALETTE logical{platform::kPaletteVersion, 0, {}};
    const int count = std::min(image->ColorCount, platform::kMaxPaletteEntries);
    logical.palNumEntries = static_cast<std::uint16_t>(count);
    for (int i = 0; i < count; ++i) {
        const PaletteEntry& e = image->Palette[i];
        logical.palPalEntry[i] = platform::PALETTEENTRY{e.Red, e.Green, e.Blue, 0};
    }
    *palette = platform::CreatePalette(&logical);
    return *palette == nullptr ? kOutOfMemory : kImageOk;
}

ImageResult PaintImage(platform::HWND window, platform::HDC dc, platform::HPALETTE* palette,
                       std::int32_t source_x, std::int32_t source_y, ImageBuffer* image,
                       std::int32_t dest_x, std::int32_t dest_y) {
    platform::HPALETTE made = nullptr;
    if (palette != nullptr) *palette = nullptr;
    if (!HasBlock(image)) return kBadPixels;
    if (source_x < 0 || source_y < 0) return kBadSize;
    const ImageResult result = CreateImagePalette(image, &made);
    platform::HPALETTE previous = nullptr;
    if (made != nullptr) {
        previous = platform::SelectPalette(dc, made, false);
        platform::RealizePalette(dc);
    }
    platform::RECT client;
    platform::GetClientRect(window, &client);
    BitmapInfoHeader* header = image->Header;
    const std::int64_t lines = std::min<std::int64_t>(std::int64_t{header->Height} - source_y,
                                                      std::int64_t{client.bottom} - dest_y);
    const std::int64_t columns = std::min<std::int64_t>(std::int64_t{header->Width} - source_x,
                                                        std::int64_t{client.right} - dest_x);
    if (lines > 0 && columns > 0) {
        const int bits = header->BitCount;
        const std::uint8_t* first =
            image->Bits + (std::int64_t{header->Height} - source_y - lines) * image->RowBytes +
            std::int64_t{source_x} * bits / 8;
        const std::int32_t saved_height = header->Height;
        const std::uint32_t saved_size = header->SizeImage;
        header->Height = static_cast<std::int32_t>(lines);
        header->SizeImage = static_cast<std::uint32_t>(lines * image->RowBytes);
        platform::SetDIBitsToDevice(dc, dest_x, dest_y, static_cast<std::uint32_t>(columns),
                                    static_cast<std::uint32_t>(lines), bits == 1 ? source_x % 8 : 0,
                                    0, 0, static_cast<std::uint32_t>(lines), first,
                                    reinterpret_cast<const platform::BITMAPINFOHEADER*>(header),
                                    platform::DIB_RGB_COLORS);
        header->Height = saved_height;
        header->SizeImage = saved_size;
    }
    if (made != nullptr) {
        platform::SelectPalette(dc, previous, false);
        if (palette != nullptr)
            *palette = made;
        else
            platform::DeleteObject(made);
    }
    return result;
}

namespace {

// ReduceForDevice into a target whose block is kept when it already has the visible part's size
// (ReuseImage); nothing visible or a failure leaves the target freed.
ImageResult ReduceInto(platform::HWND window, std::int32_t source_x, std::int32_t source_y,
                       std::int32_t dest_x, std::int32_t dest_y, std::int32_t device_bits,
                       ImageBuffer* image, ImageBuffer* target, std::int32_t mode) {
    if (!HasBlock(image)) {
        FreeImage(target);
        return kBadPixels;
    }
    platform::RECT client;
    platform::GetClientRect(window, &client);
    const std::int64_t right = std::min<std::int64_t>(
        std::int64_t{client.right} - dest_x + source_x - 1, std::int64_t{image->Header->Width} - 1);
    const std::int64_t bottom =
        std::min<std::int64_t>(std::int64_t{client.bottom} - dest_y + source_y - 1,
                               std::int64_t{image->Header->Height} - 1);
    // Nothing of the picture falls into the window: nothing to reduce.
    if (source_x < 0 || source_y < 0 || right < source_x || bottom < source_y) {
        FreeImage(target);
        return kImageOk;
    }

    ImageBuffer region;
    CopyImageRecord(*image, &region);
    region.Left = static_cast<std::uint32_t>(source_x);
    region.Top = static_cast<std::uint32_t>(source_y);
    region.Right = static_cast<std::uint32_t>(right);
    region.Bottom = static_cast<std::uint32_t>(bottom);
    ImageResult r = ReuseImage(target, static_cast<std::int32_t>(right - source_x + 1),
                               static_cast<std::int32_t>(bottom - source_y + 1), 8);
    if (r != kImageOk) return r;
    const FixedPalette fixed =
        device_bits >= kPaletteDisplayBits ? FixedPalette::k256 : FixedPalette::k16;
    if (mode == kDisplayAdaptive && device_bits == kPaletteDisplayBits)
        r = ReduceToAdaptivePalette(&region, target, kAdaptiveColors);
    else if (mode == kDisplayDiffusion)
        r = DiffuseToFixedPalette(&region, target, fixed);
    else
        r = DitherToFixedPalette(&region, target, fixed);
    if (r != kImageOk) FreeImage(target);
    return r;
}

}  // namespace

ImageResult ReduceForDevice(platform::HWND window, std::int32_t source_x, std::int32_t source_y,
                            std::int32_t dest_x, std::int32_t dest_y, std::int32_t device_bits,
                            ImageBuffer* image, ImageBuffer* target, std::int32_t mode) {
    ClearImageRecord(target);
    return ReduceInto(window, source_x, source_y, dest_x, dest_y, device_bits, image, target, mode);
}

ImageResult DisplayImage(platform::HWND window, platform::HDC dc, platform::HPALETTE* palette,
                         std::int32_t x_offset, std::int32_t y_offset, ImageBuffer* image,
                         std::int32_t dest_x, std::int32_t dest_y, std::int32_t mode) {
    ImageBuffer reduced;
    ClearImageRecord(&reduced);
    const ImageResult r = DisplayImageReusing(window, dc, palette, x_offset, y_offset, image,
                                              dest_x, dest_y, mode, &reduced);
    FreeImage(&reduced);
    return r;
}

ImageResult DisplayImageReusing(platform::HWND window, platform::HDC dc,
                                platform::HPALETTE* palette, std::int32_t x_offset,
                                std::int32_t y_offset, ImageBuffer* image, std::int32_t dest_x,
                                std::int32_t dest_y, std::int32_t mode, ImageBuffer* reduced) {
    if (palette != nullptr) *palette = nullptr;
    if (!HasBlock(image)) return kBadPixels;
    const int device_bits = platform::GetDeviceCaps(dc, platform::BITSPIXEL);
    if (device_bits == 0) return kImageOk;  // no device to paint on
    const std::int32_t source_x =
        ClampToInt32(std::max<std::int64_t>(0, std::int64_t{x_offset} - dest_x));
    const std::int32_t source_y =
        ClampToInt32(std::max<std::int64_t>(0, std::int64_t{y_offset} - dest_y));
    const std::int32_t to_x =
        ClampToInt32(std::max<std::int64_t>(0, std::int64_t{dest_x} - x_offset));
    const std::int32_t to_y =
        ClampToInt32(std::max<std::int64_t>(0, std::int64_t{dest_y} - y_offset));
    const int bits = image->Header->BitCount;
    const bool reduce = (bits == 24 && device_bits == kPaletteDisplayBits) ||
                        (device_bits <= kSixteenColorBits && bits >= 8 &&
                         (image->ColorCount < 1 || image->ColorCount > kMaxUnreducedColors));
    if (!reduce) return PaintImage(window, dc, palette, source_x, source_y, image, to_x, to_y);

    const ImageResult r =
        ReduceInto(window, source_x, source_y, to_x, to_y, device_bits, image, reduced, mode);
    if (r != kImageOk || reduced->Header == nullptr) return r;
    return PaintImage(window, dc, palette, 0, 0, reduced, to_x, to_y);
}

}  // namespace image
