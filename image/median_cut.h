// The adaptive palette of 8-bit displays: a palette for a picture region by median cut over its
// 15-bit colour histogram, and the mapping of every pixel to its nearest palette colour. The
// hard part is the nearest-colour search, which walks a palette sorted along one channel outward
// from the pixel and stops early; it and the histogram use library-wide working tables, so a
// whole reduction runs under one process-wide lock. Painting the result is display.h's.
#pragma once

#include <array>
#include <cstdint>

#include "image/image_buffer.h"

namespace image {

inline constexpr int kAdaptiveColors = 256;
inline constexpr int kMinAdaptiveColors = 2;
inline constexpr std::uint16_t kHistogramCountLimit = 65534;  // counters stop here

// 15-bit colour key: the top five bits of red, green and blue.
constexpr std::uint32_t ColorKey(int red, int green, int blue) {
    return (static_cast<std::uint32_t>(red >> 3) << 10) |
           (static_cast<std::uint32_t>(green >> 3) << 5) | static_cast<std::uint32_t>(blue >> 3);
}
// A 5-bit channel value widened to 8 bits.
constexpr int Widen5(int v) {
    return v * 8 + v / 4;
}

// Builds at most `colors` (2..256, else kBadReduction) palette colours for the 24-bit source's
// region into palette[0..colors); entries past the number of boxes repeat entry 0. *boxes gets
// the number of boxes made.
ImageResult MedianCutPalette(ImageBuffer* source, int colors, PaletteEntry* palette, int* boxes);

// The mapping step alone: each pixel of the 24-bit source's region to the 8-bit target's as the
// nearest of palette[0..count) (1..256, else kBadReduction), under the colour-matching lock. The
// target's colour table is left as it is.
ImageResult MapToNearestColors(ImageBuffer* source, ImageBuffer* target,
                               const PaletteEntry* palette, int count);

// Median cut and nearest-colour mapping of the 24-bit source's region into the 8-bit target's,
// under the colour-matching lock. The target's colour table becomes the palette (ColorCount
// = colors, kGreyScale cleared).
ImageResult ReduceToAdaptivePalette(ImageBuffer* source, ImageBuffer* target, int colors);

// The mapping runs eight pixels at a time with AVX2 where the processor has it, else pixel by
// pixel; both give the same bytes. The pixel-by-pixel form can be forced, process-wide, so that
// tests and benchmarks can compare the two; each mapping reads the choice once at its start.
void ForcePortableMatching(bool portable);

}  // namespace image
