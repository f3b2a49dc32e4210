// Meanings of the image pipeline's result codes, for diagnostics and the command-line tools.
#include "image/image_result.h"

namespace image {

const char* to_string(ImageResult code) {
    switch (code) {
        case kImageOk:
            return "success";
        case kBadSize:
            return "bad size or region";
        case kNoInputSlot:
            return "JPEG input cannot be opened";
        case kBadReduction:
            return "bad colour-reduction parameter";
        case kCompressedPixels:
            return "bitmap pixels are compressed";
        case kOutOfMemory:
            return "memory exhausted";
        case kEoiBeforeScan:
            return "end of image before any scan";
        case kBadDepth:
            return "bit depth not accepted";
        case kBadPixels:
            return "pixel pointer not readable";
        case kBadJpegHeader:
            return "JPEG header not accepted";
        case kBadJpegInput:
            return "JPEG input not readable";
        case kBadJpegData:
            return "JPEG data corrupt or truncated";
        default:
            return "unknown image result";
    }
}

}  // namespace image
