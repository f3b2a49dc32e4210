// Single-scan sequential decoding: the per-MCU pipeline of a baseline or extended frame whose
// first scan holds every component (Huffman decode with dequantisation, inverse DCT into the MCU
// row, then upsampling, colour and writing through the PictureWriter), with restart intervals.
#pragma once

#include "image/image_buffer.h"
#include "image/jpeg_state.h"

namespace image::jpeg {

// Decodes the scan whose header was just read (d.pos at its entropy-coded data) into target.
ImageResult DecodeSingleScan(Decoder& d, ImageBuffer* target);

}  // namespace image::jpeg
