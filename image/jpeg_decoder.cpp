// The decoder's entry points: input checks, the header pass, validation, then the single-scan or
// the coefficient-buffer path. Each call builds its own Decoder on the heap and frees it on
// return, which is why no lock is needed; the finer cause of a failure is kept per thread.
#include "image/jpeg_decoder.h"

#include <memory>
#include <new>

#include "image/jpeg_markers.h"
#include "image/jpeg_progressive.h"
#include "image/jpeg_sequential.h"
#include "image/jpeg_simd.h"
#include "image/jpeg_state.h"

namespace image {
namespace {

thread_local std::int32_t t_extended_error = 0;

std::unique_ptr<jpeg::Decoder> NewDecoder(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<jpeg::Decoder> d(new (std::nothrow) jpeg::Decoder);
    if (!d) return d;
    d->data = data;
    d->size = size;
    d->info.FrameType = -1;
    d->vector_kernels = !jpeg::PortableKernelsForced();
    return d;
}

ImageResult Decode(jpeg::Decoder& d, ImageBuffer* target) {
    jpeg::MarkerStop stop = jpeg::MarkerStop::kEndOfInput;
    ImageResult result = jpeg::ReadMarkers(d, jpeg::MarkerPass::kHeader, &stop);
    if (result != kImageOk) return result;
    result = jpeg::ValidateFrame(d, *target);
    if (result != kImageOk) return result;
    jpeg::BuildGeometry(d.frame);
    jpeg::TakeQuantTables(d);
    bool ended = false;
    result = jpeg::ReadScanHeader(d, &ended);
    if (result != kImageOk) return result;
    d.scans_started = true;

    const bool multi_scan = d.frame.type == kFrameProgressive || d.scan.count < d.frame.count;
    result = multi_scan ? jpeg::DecodeMultiScan(d, target) : jpeg::DecodeSingleScan(d, target);
    if (result == kImageOk && d.frame.count == 1) SetDefaultPalette(target);
    return result;
}

}  // namespace

ImageResult ReadJpegInfo(const std::uint8_t* data, std::size_t size, JpegInfo* info) {
    t_extended_error = 0;
    if (data == nullptr || size == 0 || info == nullptr) return kBadJpegInput;
    *info = JpegInfo{};
    info->FrameType = -1;
    std::unique_ptr<jpeg::Decoder> d = NewDecoder(data, size);
    if (!d) return kOutOfMemory;
    jpeg::MarkerStop stop = jpeg::MarkerStop::kEndOfInput;
    const ImageResult result = jpeg::ReadMarkers(*d, jpeg::MarkerPass::kHeader, &stop);
    *info = d->info;
    t_extended_error = d->extended_error;
    return result;
}

ImageResult DecodeJpeg(const std::uint8_t* data, std::size_t size, ImageBuffer* target) {
    t_extended_error = 0;
    if (data == nullptr || size == 0) return kBadJpegInput;
    const ImageResult valid = ValidateImage(target, kDepths8And24);
    if (valid != kImageOk) return valid;
    std::unique_ptr<jpeg::Decoder> d = NewDecoder(data, size);
    if (!d) return kOutOfMemory;
    const ImageResult result = Decode(*d, target);
    t_extended_error = result == kImageOk ? 0 : d->extended_error;
    return result;
}

ImageResult DecodeJpegRows(const std::uint8_t* data, std::size_t size, ImageBuffer* band,
                           JpegRowSink sink, void* context) {
    t_extended_error = 0;
    if (data == nullptr || size == 0) return kBadJpegInput;
    if (sink == nullptr) return kBadSize;
    const ImageResult valid = ValidateImage(band, kDepths8And24);
    if (valid != kImageOk) return valid;
    std::unique_ptr<jpeg::Decoder> d = NewDecoder(data, size);
    if (!d) return kOutOfMemory;
    d->sink = sink;
    d->sink_context = context;
    const ImageResult result = Decode(*d, band);
    t_extended_error = result == kImageOk ? 0 : d->extended_error;
    return result;
}

std::int32_t ExtendedError() {
    return t_extended_error;
}

const char* ExtendedErrorText(std::int32_t code) {
    switch (code) {
        case 0:
            return "none";
        case kJpegPrecision:
            return "sample precision is not 8 bits";
        case kJpegInputEnded:
            return "the data ended early";
        case kJpegNoSoi:
            return "the data do not begin with a start-of-image marker";
        case kJpegNotJfif:
            return "the first APP0 segment is not JFIF";
        case kJpegReadFailed:
            return "reading the input failed";
        case kJpegCodeTooLong:
            return "a Huffman code is longer than 16 bits";
        case kJpegComponent:
            return "component parameters out of range";
        case kJpegTooManyBlocks:
            return "more than 10 blocks per MCU";
        case kJpegBadHuffman:
            return "malformed Huffman table";
        case kJpegComponentCount:
            return "component count is not 1, 3 or 4";
        case kJpegFrameType:
            return "frame type is not baseline, extended or progressive";
        case kJpegTableId:
            return "table id above 3";
        case kJpegBadSegment:
            return "a segment's length does not fit its content";
        case kJpegBadScan:
            return "scan parameters out of range";
        case kJpegEoiBeforeScan:
            return "end of image before the first scan";
        case kJpegNoHuffmanTable:
            return "a scan uses an undefined Huffman table";
        default:
            return "unknown";
    }
}

}  // namespace image
