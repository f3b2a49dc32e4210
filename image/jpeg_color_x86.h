// Vector colour conversion (SSSE3) of the JPEG decoder's rows: the same bytes as the
// table-driven routines of the colour stage, 16 pixels at a time. Each routine converts the
// longest prefix of whole 16-pixel runs and returns its length; the caller converts the rest.
#pragma once

#include <cstdint>

namespace image::jpeg::x86 {

// True when the processor runs these routines (checked once).
bool Available();

// One chroma sample per pixel.
int ConvertFull(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                std::uint8_t* out, int columns);

// One chroma sample per two pixels.
int ConvertHalfWidth(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                     std::uint8_t* out, int columns);

// Two picture rows sharing one half-width chroma row.
int ConvertHalfWidthTwoRows(const std::uint8_t* y0, const std::uint8_t* y1, const std::uint8_t* cb,
                            const std::uint8_t* cr, std::uint8_t* out0, std::uint8_t* out1,
                            int columns);

}  // namespace image::jpeg::x86
