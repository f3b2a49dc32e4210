// Result codes of the image pipeline: buffers, JPEG decoder, resize and display all return one of
// these signed 32-bit values, 0 for success. The decoder's finer cause of a -43 or -62 is kept
// apart (see ExtendedError in image/jpeg_decoder.h).
#pragma once

#include <cstdint>

namespace image {

using ImageResult = std::int32_t;

inline constexpr ImageResult kImageOk = 0;
// Zero width or height, a region outside the picture or beyond the coordinate limit, row bytes
// too small, a JPEG whose width is 0 or above 32767 or whose height is 0 or above 32767, an
// 8-bit target without a colour table.
inline constexpr ImageResult kBadSize = -1;
// The JPEG input could not be opened. Each decode keeps its own input state, so no call returns
// it; the number stays reserved so that callers and messages keep their meaning.
inline constexpr ImageResult kNoInputSlot = -4;
// A colour-reduction parameter out of range (colour count outside 2..256, dither outside 0..3).
inline constexpr ImageResult kBadReduction = -5;
// The bitmap header says the pixels are compressed.
inline constexpr ImageResult kCompressedPixels = -12;
// Memory exhausted, a block beyond the size bound, or a memory device context that failed.
inline constexpr ImageResult kOutOfMemory = -14;
// The end-of-image marker came before any start-of-scan marker while decoding.
inline constexpr ImageResult kEoiBeforeScan = -15;
// Bit depth not accepted, source and target depths differ, or the target depth does not fit
// the JPEG (8 bits for one component, 24 bits otherwise).
inline constexpr ImageResult kBadDepth = -26;
// The pixel pointer is missing.
inline constexpr ImageResult kBadPixels = -42;
// The JPEG header is not accepted.
inline constexpr ImageResult kBadJpegHeader = -43;
// The JPEG input is missing (null pointer or no bytes).
inline constexpr ImageResult kBadJpegInput = -52;
// The entropy-coded data are corrupt or end early.
inline constexpr ImageResult kBadJpegData = -62;

// A short English meaning of the code ("unknown image result" for numbers not listed above).
const char* to_string(ImageResult code);

}  // namespace image
