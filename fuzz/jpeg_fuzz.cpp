// libFuzzer entry point for the JPEG decoder: the frame presentation's calls (ReadJpegInfo,
// AllocImage, DecodeJpeg) on the fuzzer's bytes, then DecodeJpeg again into a small clipped
// region. Any crash, sanitizer report, leak or hang is a finding; results are not checked.
#include <cstddef>
#include <cstdint>

#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    image::JpegInfo info{};
    if (image::ReadJpegInfo(data, size, &info) != image::kImageOk) return 0;
    image::ImageBuffer picture{};
    if (image::AllocImage(&picture, info.Width, info.Height, info.BitsPerPixel) ==
        image::kImageOk) {
        image::DecodeJpeg(data, size, &picture);
        image::FreeImage(&picture);
    }
    image::ImageBuffer clipped{};
    if (image::AllocImage(&clipped, 9, 7, info.BitsPerPixel == 8 ? 8 : 24) == image::kImageOk) {
        clipped.Left = 2;
        clipped.Top = 3;
        image::DecodeJpeg(data, size, &clipped);
        image::FreeImage(&clipped);
    }
    return 0;
}
