// Marker stage of the JPEG decoder: walks the segments (frame header, Huffman and quantisation
// tables, restart interval, JFIF identifier, scan headers), then validates the frame and lays
// out its MCU geometry. Every length and table id is checked against the bytes at hand before
// anything is copied; entropy-coded data are left to the Huffman stage.
#pragma once

#include "image/image_buffer.h"
#include "image/jpeg_state.h"

namespace image::jpeg {

enum class MarkerPass {
    kHeader,  // from the start of the data: SOI first, the first APP0 must be JFIF, EOI refused
    kBetweenScans,  // after a scan: EOI and the end of the data end the picture
};

enum class MarkerStop { kScan, kEndOfImage, kEndOfInput };

// Parses segments from d.pos until a start-of-scan (d.pos left at its 0xFF), an EOI or the end of
// the data. In the header pass the end of the data and an EOI are header faults.
ImageResult ReadMarkers(Decoder& d, MarkerPass pass, MarkerStop* stop);

// Reads the scan header at d.pos and leaves d.pos at the first entropy-coded byte. *ended is set
// when the data end inside the header.
ImageResult ReadScanHeader(Decoder& d, bool* ended);

// The header tests of DecodeJpeg, in order: frame type, size, component count, precision,
// component parameters, blocks per MCU, target depth.
ImageResult ValidateFrame(Decoder& d, const ImageBuffer& target);

// MCU size and counts, and each component's sample and block extents.
void BuildGeometry(Frame& frame);

// Copies each component's quantisation table out of its slot, zeros replaced by 1.
void TakeQuantTables(Decoder& d);

// The Huffman tables the current scan needs must be defined: kBadJpegData otherwise.
ImageResult CheckScanTables(Decoder& d, bool needs_dc, bool needs_ac);

// Progressive scan parameters: Ss, Se, Ah, Al in range and one component for AC bands.
ImageResult CheckProgressiveScan(Decoder& d);

}  // namespace image::jpeg
