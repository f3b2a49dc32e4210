// `quorlina decode FRAME.jpg OUT.bmp [--size WxH] [--method 0|1]`: ReadJpegInfo, AllocImage,
// DecodeJpeg and optionally ResizeImage into a WxH buffer of the same depth, as the control runs
// them, then the buffer as a BMP file. On a failure nothing is written: the step, its code and
// meaning (and the decoder's finer cause) are printed and the exit status is 1.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/bmp_file.h"
#include "apps/cli.h"
#include "apps/picture_file.h"
#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"
#include "image/resize.h"

namespace apps {
namespace {

struct Size {
    int width = 0, height = 0;
};

// "WxH" with both numbers from 1 to 32767.
bool ParseSize(const std::string& text, Size* size) {
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%dx%d%n", &size->width, &size->height, &consumed) != 2)
        return false;
    if (static_cast<std::size_t>(consumed) != text.size()) return false;
    return size->width >= 1 && size->width <= 32767 && size->height >= 1 && size->height <= 32767;
}

struct Buffers {
    image::ImageBuffer decoded{}, resized{};
    ~Buffers() {
        image::FreeImage(&decoded);
        image::FreeImage(&resized);
    }
};

int Fail(const char* program, const char* step, image::ImageResult result, bool decoder) {
    std::fprintf(stderr, "%s: %s %d (%s)", program, step, result, image::to_string(result));
    if (decoder) {
        const std::int32_t extended = image::ExtendedError();
        std::fprintf(stderr, ", ExtendedError %d (%s)", extended,
                     image::ExtendedErrorText(extended));
    }
    std::fprintf(stderr, "\n");
    return 1;
}

int RunDecode(int argc, char** argv) {
    CLI::App app{"Decode a JPEG frame with the control's pipeline and write it as a BMP file.",
                 argv[0]};
    std::string input, output, size_text;
    int method = 0;
    app.add_option("frame", input, "JPEG file, or - for standard input")->required();
    app.add_option("out", output, "BMP file to write, or - for standard output")->required();
    app.add_option("--size", size_text, "resize into a WxH buffer of the same depth")
        ->check(CLI::Validator(
            [](std::string& text) {
                Size size;
                return ParseSize(text, &size) ? std::string()
                                              : std::string("expected WxH, each 1 to 32767");
            },
            "WxH"));
    app.add_option("--method", method, "resize method: 0 nearest neighbour, 1 smooth")
        ->check(CLI::IsMember({0, 1}));
    ParseOrExit(app, argc, argv);

    PictureFormat format;
    std::string error;
    if (!PictureFormatOf(output, &format, &error) || format != PictureFormat::Bmp) {
        if (error.empty()) error = output + ": decode writes the decoded buffer as it is: a .bmp file";
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 2;
    }
    std::vector<std::uint8_t> bytes;
    if (!ReadInputFile(input, &bytes, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 2;
    }
    image::JpegInfo info{};
    image::ImageResult result = image::ReadJpegInfo(bytes.data(), bytes.size(), &info);
    if (result != image::kImageOk) return Fail(argv[0], "ReadJpegInfo", result, true);
    Buffers buffers;
    result = image::AllocImage(&buffers.decoded, info.Width, info.Height, info.BitsPerPixel);
    if (result != image::kImageOk) return Fail(argv[0], "AllocImage", result, false);
    result = image::DecodeJpeg(bytes.data(), bytes.size(), &buffers.decoded);
    if (result != image::kImageOk) return Fail(argv[0], "DecodeJpeg", result, true);

    const image::ImageBuffer* picture = &buffers.decoded;
    Size size;
    if (!size_text.empty() && ParseSize(size_text, &size)) {
        result = image::AllocImage(&buffers.resized, size.width, size.height,
                                   buffers.decoded.Header->BitCount);
        if (result != image::kImageOk) return Fail(argv[0], "AllocImage", result, false);
        result = image::ResizeImage(&buffers.decoded, &buffers.resized, method);
        if (result != image::kImageOk) return Fail(argv[0], "ResizeImage", result, false);
        picture = &buffers.resized;
    }
    if (!WriteOutputFile(output, BmpFileBytes(*picture), &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 1;
    }
    std::fprintf(output == "-" ? stderr : stdout, "%s: %dx%d, %d bits per pixel\n", output.c_str(), picture->Header->Width,
                picture->Header->Height, picture->Header->BitCount);
    return 0;
}

const SubcommandRegistrar kDecode({"decode",
                                   "decode a JPEG frame into a BMP file (optionally resized)",
                                   RunDecode});

}  // namespace
}  // namespace apps
