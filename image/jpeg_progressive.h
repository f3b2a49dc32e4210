// Coefficient-buffer decoding for progressive frames (T.81 annex G: DC first and refinement
// scans, AC first scans with end-of-band runs, AC refinement) and for sequential frames split
// over several scans. Every coefficient of the picture is kept until the scans are done; then
// the picture is assembled through the inverse DCT and the PictureWriter.
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

}  // namespace image::jpeg
