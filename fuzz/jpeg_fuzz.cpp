// libFuzzer entry point for the JPEG decoder: the frame presentation's calls (ReadJpegInfo,
// AllocImage, DecodeJpeg) on the fuzzer's bytes, then DecodeJpeg again into a small clipped
// region. Any crash, sanitizer report, leak or hang is a finding. One result is checked: a
// multi-scan picture decoded a stripe at a time must give what the decode into a store of the
// whole picture gives (result, finer cause, pixels), with stripes of one MCU row and of the
// default size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"
#include "image/jpeg_progressive.h"

namespace {

struct Outcome {
    image::ImageResult result = image::kImageOk;
    std::int32_t extended = 0;
};

Outcome DecodeWith(const std::uint8_t* data, std::size_t size, image::ImageBuffer* picture,
                   int stripe_rows) {
    image::jpeg::SetCoefficientStripes(stripe_rows);
    const image::ImageResult result = image::DecodeJpeg(data, size, picture);
    image::jpeg::SetCoefficientStripes(0);
    return {result, image::ExtendedError()};
}

void CompareStripes(const std::uint8_t* data, std::size_t size, const image::JpegInfo& info,
                    const image::ImageBuffer& striped, const Outcome& striped_outcome) {
    image::ImageBuffer whole{};
    if (image::AllocImage(&whole, info.Width, info.Height, info.BitsPerPixel) != image::kImageOk)
        return;
    const Outcome outcome = DecodeWith(data, size, &whole, -1);
    const std::size_t bytes =
        static_cast<std::size_t>(whole.RowBytes) * static_cast<std::size_t>(info.Height);
    if (outcome.result != striped_outcome.result || outcome.extended != striped_outcome.extended ||
        (outcome.result == image::kImageOk && std::memcmp(whole.Bits, striped.Bits, bytes) != 0))
        std::abort();
    image::FreeImage(&whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    image::JpegInfo info{};
    if (image::ReadJpegInfo(data, size, &info) != image::kImageOk) return 0;
    image::ImageBuffer picture{};
    if (image::AllocImage(&picture, info.Width, info.Height, info.BitsPerPixel) ==
        image::kImageOk) {
        const Outcome outcome = DecodeWith(data, size, &picture, 0);
        CompareStripes(data, size, info, picture, outcome);
        const Outcome one_row = DecodeWith(data, size, &picture, 1);
        CompareStripes(data, size, info, picture, one_row);
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
