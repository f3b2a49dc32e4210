// Coefficient-buffer decoding for progressive frames (T.81 annex G: DC first and refinement
// scans, AC first scans with end-of-band runs, AC refinement) and for sequential frames split
// over several scans. The coefficients of a stripe of MCU rows are kept until every scan has
// decoded its part of it; then the stripe is assembled through the inverse DCT and the
// PictureWriter, and the next one begun.
#pragma once

#include "image/image_buffer.h"
#include "image/jpeg_state.h"

namespace image::jpeg {

// Scans read beyond this many are ignored: no real scan script comes near it, and it bounds the
// work a hostile file can ask for.
inline constexpr int kMaxScans = 1000;

// Decodes from the scan whose header was just read to the end of the picture, then assembles it
// into target.
ImageResult DecodeMultiScan(Decoder& d, ImageBuffer* target);

// MCU rows per stripe, process-wide, for tests and benchmarks: 0 (the default) sizes stripes to
// a fixed amount of coefficients, a positive count takes that many rows, and -1 keeps the whole
// picture's coefficients and decodes each scan to its end before looking for the next. Every
// choice gives the same bytes and results.
void SetCoefficientStripes(int rows);

}  // namespace image::jpeg
