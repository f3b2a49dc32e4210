// Scales the region of one ImageBuffer onto the region of another of the same depth: nearest
// neighbour through step masks (1, 8, 24 bits); smooth scaling by block averaging when shrinking
// both ways, bilinear interpolation otherwise (8, 24 bits). Hard parts: regions in one block (a
// temporary takes one's place) and fixed-point stepping. The caller allocates both buffers.
#pragma once

#include <cstdint>
#include <vector>

#include "image/image_buffer.h"

namespace image {

// Mode 0: nearest neighbour; any other value: smooth. Regions of equal size are copied. An 8-bit
// picture with a colour table other than the grey ramp is scaled smoothly in 24 bits and brought
// back to its own colour table, each pixel taking the nearest entry.
ImageResult ResizeImage(ImageBuffer* source, ImageBuffer* target, std::int32_t mode);

// Scale factors: 15 fraction bits, 32768 = 1.0, above it the picture shrinks.
inline constexpr std::uint32_t kScaleOne = 32768;
inline constexpr int kScaleBits = 15;

// The step mask of one axis from length `from` to length `to`: one bit per step of the longer
// length, most significant bit first; step i is marked when the count of marks among 0..i,
// ceiling((i + 1) * shorter / longer), grows at i.
std::vector<std::uint8_t> StepMask(std::uint32_t from, std::uint32_t to);

}  // namespace image
