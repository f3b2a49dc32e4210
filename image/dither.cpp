// Error diffusion and ordered dithering into the fixed palettes. Each channel is quantised on
// its own; the palette's quantiser and index map are template parameters, so the inner loops
// never branch on the palette, and the source depth is handled by a row loader chosen once.
#include "image/dither.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "image/display_palettes.h"

namespace image {
namespace {

constexpr int kChannels = 3;   // blue, green, red
constexpr int kHalfStep = 24;  // a remainder above this rounds up to the next cube level
constexpr int kOnThreshold = 128;
constexpr int kFull = 255;

void Load24(const ImageBuffer& source, std::uint32_t y, std::uint32_t width, std::int16_t* bgr) {
    const std::uint8_t* p = source.Bits + PixelOffset(source, source.Left, y);
    for (std::uint32_t k = 0; k < width * kChannels; ++k) bgr[k] = p[k];
}

void Load8(const ImageBuffer& source, std::uint32_t y, std::uint32_t width, std::int16_t* bgr) {
    const std::uint8_t* p = source.Bits + PixelOffset(source, source.Left, y);
    const auto count = static_cast<std::uint32_t>(std::max(source.ColorCount, 0));
    for (std::uint32_t j = 0; j < width; ++j) {
        const PaletteEntry e = p[j] < count ? source.Palette[p[j]] : PaletteEntry{0, 0, 0, 0};
        bgr[j * kChannels] = e.Blue;
        bgr[j * kChannels + 1] = e.Green;
        bgr[j * kChannels + 2] = e.Red;
    }
}

// The 256-colour palette: cube levels of 51.
struct Cube {
    // Diffusion: the nearer level, and what rounding to it left over.
    static int Nearest(int v, int* error) {
        const int remainder = v % kCubeStep;
        if (remainder > kHalfStep) {
            *error = remainder - kCubeStep;
            return v / kCubeStep + 1;
        }
        *error = remainder;
        return v / kCubeStep;
    }
    static int Dithered(int v, int threshold) {
        return v / kCubeStep + (threshold < v % kCubeStep ? 1 : 0);
    }
    static int Threshold(int matrix_value) { return matrix_value; }
    static std::uint8_t Index(const int* level) {
        return static_cast<std::uint8_t>(CubeIndex(level[0], level[1], level[2]));
    }
    static const PaletteEntry* Entries() { return FixedPalette256().data(); }
    static constexpr int kCount = kFixedColors256;
};

// The 16-colour palette: each channel fully on or off.
struct Corners {
    static int Nearest(int v, int* error) {
        if (v >= kOnThreshold) {
            *error = v - kFull;
            return 1;
        }
        *error = v;
        return 0;
    }
    static int Dithered(int v, int threshold) { return threshold < v ? 1 : 0; }
    static int Threshold(int matrix_value) { return kDitherScale16 * matrix_value; }
    static std::uint8_t Index(const int* level) {
        return static_cast<std::uint8_t>(CornerIndex(level[0] != 0, level[1] != 0, level[2] != 0));
    }
    static const PaletteEntry* Entries() { return FixedPalette16().data(); }
    static constexpr int kCount = kFixedColors16;
};

void AddClamped(std::int16_t* v, int share) {
    *v = static_cast<std::int16_t>(std::clamp(*v + share, 0, kFull));
}

std::uint8_t* TargetRow(ImageBuffer* target, std::uint32_t i) {
    return target->Bits + PixelOffset(*target, target->Left, target->Top + i);
}

template <typename Palette>
ImageResult Diffuse(ImageBuffer* source, ImageBuffer* target) {
    std::uint32_t w, h;
    ImageResult r = CheckReduction(source, target, kDepths8And24, &w, &h);
    if (r != kImageOk) return r;
    const RowLoader load = RowLoaderFor(*source);
    const std::size_t n = static_cast<std::size_t>(w) * kChannels;
    std::unique_ptr<std::int16_t[]> rows(new (std::nothrow) std::int16_t[2 * n]);
    if (rows == nullptr) return kOutOfMemory;
    std::int16_t* cur = rows.get();
    std::int16_t* below = rows.get() + n;
    load(*source, source->Top, w, cur);
    for (std::uint32_t i = 0; i < h; ++i) {
        const bool has_below = i + 1 < h;
        if (has_below) load(*source, source->Top + i + 1, w, below);
        std::uint8_t* out = TargetRow(target, i);
        for (std::uint32_t j = 0; j < w; ++j) {
            int level[kChannels];
            for (int c = 0; c < kChannels; ++c) {
                const std::size_t at = j * kChannels + static_cast<std::size_t>(c);
                int e;
                level[c] = Palette::Nearest(cur[at], &e);
                if (j + 1 < w) AddClamped(&cur[at + kChannels], (7 * e) >> 4);
                if (has_below) {
                    if (j > 0) AddClamped(&below[at - kChannels], (3 * e) >> 4);
                    AddClamped(&below[at], (5 * e) >> 4);
                    if (j + 1 < w) AddClamped(&below[at + kChannels], e >> 4);
                }
            }
            out[j] = Palette::Index(level);
        }
        std::swap(cur, below);
    }
    InstallColorTable(target, Palette::Entries(), Palette::kCount);
    return kImageOk;
}

template <typename Palette>
ImageResult Dither(ImageBuffer* source, ImageBuffer* target) {
    std::uint32_t w, h;
    ImageResult r = CheckReduction(source, target, kDepths8And24, &w, &h);
    if (r != kImageOk) return r;
    const RowLoader load = RowLoaderFor(*source);
    std::unique_ptr<std::int16_t[]> row(new (std::nothrow)
                                            std::int16_t[static_cast<std::size_t>(w) * kChannels]);
    if (row == nullptr) return kOutOfMemory;
    for (std::uint32_t i = 0; i < h; ++i) {
        const std::uint32_t y = source->Top + i;
        load(*source, y, w, row.get());
        const auto& matrix_row = kDitherMatrix[y % kDitherSize];
        std::uint8_t* out = TargetRow(target, i);
        for (std::uint32_t j = 0; j < w; ++j) {
            // The column runs on the pixels still left in the row, this one included.
            const int threshold = Palette::Threshold(matrix_row[(w - j - 1) % kDitherSize]);
            int level[kChannels];
            for (int c = 0; c < kChannels; ++c)
                level[c] =
                    Palette::Dithered(row[j * kChannels + static_cast<std::size_t>(c)], threshold);
            out[j] = Palette::Index(level);
        }
    }
    InstallColorTable(target, Palette::Entries(), Palette::kCount);
    return kImageOk;
}

}  // namespace

RowLoader RowLoaderFor(const ImageBuffer& source) {
    return source.Header->BitCount == 24 ? &Load24 : &Load8;
}

ImageResult CheckReduction(ImageBuffer* source, ImageBuffer* target, std::uint32_t source_depths,
                           std::uint32_t* width, std::uint32_t* height) {
    ImageResult r = ValidateImage(source, source_depths);
    if (r != kImageOk) return r;
    r = ValidateImage(target, DepthBit(8));
    if (r != kImageOk) return r;
    if (target->Palette == nullptr || target->ColorCount <= 0) return kBadSize;
    if (source->Header->BitCount == 8 && source->Palette == nullptr) return kBadSize;
    *width = std::min(source->Right - source->Left, target->Right - target->Left) + 1;
    *height = std::min(source->Bottom - source->Top, target->Bottom - target->Top) + 1;
    return kImageOk;
}

void InstallColorTable(ImageBuffer* target, const PaletteEntry* entries, int count) {
    count = std::min(count, kFixedColors256);
    std::memcpy(target->Palette, entries, static_cast<std::size_t>(count) * sizeof(PaletteEntry));
    target->ColorCount = count;
    target->Header->ClrUsed = static_cast<std::uint32_t>(count);
    target->Header->ClrImportant = static_cast<std::uint32_t>(count);
    target->Flags &= ~kGreyScale;
}

ImageResult DiffuseToFixedPalette(ImageBuffer* source, ImageBuffer* target, FixedPalette palette) {
    return palette == FixedPalette::k256 ? Diffuse<Cube>(source, target)
                                         : Diffuse<Corners>(source, target);
}

ImageResult DitherToFixedPalette(ImageBuffer* source, ImageBuffer* target, FixedPalette palette) {
    return palette == FixedPalette::k256 ? Dither<Cube>(source, target)
                                         : Dither<Corners>(source, target);
}

}  // namespace image
