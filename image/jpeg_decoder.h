// JPEG decoder for camera frames: Huffman-coded baseline, extended sequential and progressive
// frames, 8-bit samples, 1, 3 or 4 components, into an ImageBuffer. Every call keeps its state in
// a record of its own, so no lock is taken and threads decode at once; input past the byte count
// is the end of the data, so no input is read out of bounds and every call ends.
#pragma once

// Refused: arithmetic coding, lossless and hierarchical frames, 12-bit samples (kBadJpegHeader),
// heights left to a DNL marker (kBadSize). Colour spaces other than YCbCr are not converted (a
// fourth component is decoded and ignored). Typical use, as the frame presentation does it:
//   JpegInfo info;
//   if (ReadJpegInfo(data, size, &info) == kImageOk &&
//       AllocImage(&picture, info.Width, info.Height, info.BitsPerPixel) == kImageOk)
//       result = DecodeJpeg(data, size, &picture);

#include <cstddef>
#include <cstdint>

#include "image/image_buffer.h"
#include "image/image_result.h"

namespace image {

struct JpegInfo {
    std::int32_t FrameType;  // low four bits of the frame marker; -1 when no frame header was met
    std::int32_t Width;
    std::int32_t Height;
    std::int32_t Components;
    std::int32_t Precision;
    std::int32_t Sampling[4];   // raw sampling byte (H high nibble, V low) of components 1 to 4
    std::int32_t BitsPerPixel;  // 8 for one component, 24 otherwise: the depth DecodeJpeg takes
};
static_assert(sizeof(JpegInfo) == 40, "ten 32-bit fields");

// Frame types of JpegInfo::FrameType that DecodeJpeg accepts.
inline constexpr std::int32_t kFrameBaseline = 0;
inline constexpr std::int32_t kFrameExtended = 1;
inline constexpr std::int32_t kFrameProgressive = 2;

// Reads the markers up to the first start-of-scan and fills info. The bytes must begin with SOI
// and the first APP0 segment, if any, must be a JFIF one. kBadJpegInput when data is null, size
// is 0 or info is null (a frame of a single byte is parsed and refused with kBadJpegHeader);
// kBadJpegHeader for a refused or cut-short header, with the cause in ExtendedError().
ImageResult ReadJpegInfo(const std::uint8_t* data, std::size_t size, JpegInfo* info);

// Decodes the picture into target, top-left pixel at the target's (Left, Top), clipped at its
// (Right, Bottom). The target must be 8 bits for one component and 24 bits otherwise.
// Progressive and multi-scan input that ends at a scan boundary after at least one complete scan
// is shown at the quality received so far. On failure the target holds whatever rows were
// written and the caller discards it.
ImageResult DecodeJpeg(const std::uint8_t* data, std::size_t size, ImageBuffer* target);

// Rows of a picture that DecodeJpegRows has finished: picture rows first_row to first_row +
// rows - 1, top row first, in band rows 0 to rows - 1 (band row k at PixelOffset(band, 0, k)).
using JpegRowSink = void (*)(void* context, const ImageBuffer& band, int first_row, int rows);

// Band height that takes an MCU row of any picture DecodeJpeg accepts (8 x the largest factor).
inline constexpr int kJpegBandRows = 32;

// DecodeJpeg for a caller that writes the picture out as it goes instead of keeping it whole:
// band is a buffer of the picture's width and depth and at least kJpegBandRows rows (fewer are
// refused with kBadSize when an MCU row is higher); each MCU row is written into the band from
// its top and handed to sink, from the top of the picture down. The bytes of every row are those
// DecodeJpeg writes. On success a grey picture's band carries the grey ramp as its colour table.
ImageResult DecodeJpegRows(const std::uint8_t* data, std::size_t size, ImageBuffer* band,
                           JpegRowSink sink, void* context);

// The finer cause of the last ReadJpegInfo or DecodeJpeg failure on the calling thread (0 when
// that call succeeded or failed for a reason with no finer cause).
std::int32_t ExtendedError();

// Values of ExtendedError().
inline constexpr std::int32_t kJpegPrecision = -100;      // sample precision not 8
inline constexpr std::int32_t kJpegInputEnded = -101;     // data ended (or hit a marker) early
inline constexpr std::int32_t kJpegNoSoi = -102;          // first marker is not SOI
inline constexpr std::int32_t kJpegNotJfif = -103;        // first APP0 is not a JFIF segment
inline constexpr std::int32_t kJpegReadFailed = -104;     // reserved: memory input cannot fail
inline constexpr std::int32_t kJpegCodeTooLong = -105;    // Huffman code longer than 16 bits
inline constexpr std::int32_t kJpegComponent = -106;      // component parameters, > 4 components
inline constexpr std::int32_t kJpegTooManyBlocks = -107;  // more than 10 blocks per MCU
inline constexpr std::int32_t kJpegBadHuffman =
    -108;  // counts above 256, overfull code, DC symbol > 15
inline constexpr std::int32_t kJpegComponentCount = -109;  // component count not 1, 3 or 4
inline constexpr std::int32_t kJpegFrameType = -110;       // frame type other than 0, 1, 2
inline constexpr std::int32_t kJpegTableId = -111;         // DQT or DHT table id above 3
inline constexpr std::int32_t kJpegBadSegment = -112;     // segment length does not fit its content
inline constexpr std::int32_t kJpegBadScan = -113;        // scan parameters out of range
inline constexpr std::int32_t kJpegEoiBeforeScan = -114;  // EOI before the first SOS
inline constexpr std::int32_t kJpegNoHuffmanTable = -115;  // scan names an undefined Huffman table

// A short English meaning of an ExtendedError() value.
const char* ExtendedErrorText(std::int32_t code);

}  // namespace image
