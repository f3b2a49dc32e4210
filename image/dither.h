// Reduction of a picture region to one of the fixed palettes: Floyd-Steinberg error diffusion
// and ordered dithering with the 8x8 matrix. The hard part is doing exactly the integer steps
// the display has always done (levels of 51, arithmetic-shift error shares, clamps after every
// addition, the matrix column counted from the row's end); the routine for the source depth and
// the palette is chosen once per call. The target's colour table is set by the caller's wrapper.
#pragma once

#include <cstdint>

#include "image/image_buffer.h"

namespace image {

enum class FixedPalette {
    k256,  // 8-bit displays: colour cube, greys and static colours
    k16,   // displays of 4 bits or fewer: the sixteen static colours
};

// Both take the source's region (8 or 24 bits; 8-bit pixels go through its colour table) and
// write the target's region from its (Left, Top) on, as much as both regions hold; the target
// must be 8 bits with a colour table. On success the target's colour table is the fixed palette,
// ColorCount its size and kGreyScale cleared. kBadDepth, kBadSize, kBadPixels as ValidateImage.
ImageResult DiffuseToFixedPalette(ImageBuffer* source, ImageBuffer* target, FixedPalette palette);
ImageResult DitherToFixedPalette(ImageBuffer* source, ImageBuffer* target, FixedPalette palette);

// Diffusion takes rows in pairs with AVX2 where the processor has it, else one row after
// another; both give the same bytes. The row-by-row form can be forced, process-wide, so that
// tests can compare the two; each diffusion reads the choice once at its start.
void ForcePortableDiffusion(bool portable);

// Installs a colour table of `count` entries (at most the block's capacity) in an 8-bit target.
void InstallColorTable(ImageBuffer* target, const PaletteEntry* entries, int count);

// Checks both images for a reduction and gives the common region size.
ImageResult CheckReduction(ImageBuffer* source, ImageBuffer* target, std::uint32_t source_depths,
                           std::uint32_t* width, std::uint32_t* height);

}  // namespace image
