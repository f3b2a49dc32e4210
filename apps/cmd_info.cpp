// `quorlina info FILE`: reads a frame's JPEG header with the control's own ReadJpegInfo and prints
// its fields, or the result code with its meaning and the decoder's finer cause. Reads the file
// only; decoding is `quorlina decode`.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/cli.h"
#include "apps/picture_file.h"
#include "image/jpeg_decoder.h"

namespace apps {
namespace {

const char* FrameTypeName(int type) {
    switch (type) {
        case -1:
            return "no frame header";
        case 0:
            return "baseline";
        case 1:
            return "extended sequential";
        case 2:
            return "progressive";
        case 3:
            return "lossless";
        case 9:
            return "arithmetic sequential";
        case 10:
            return "arithmetic progressive";
        case 11:
            return "arithmetic lossless";
        default:
            return "other";
    }
}

int RunInfo(int argc, char** argv) {
    CLI::App app{"Print the JPEG header of a frame as the control reads it (ReadJpegInfo).",
                 argv[0]};
    std::string path;
    app.add_option("file", path, "JPEG file, or - for standard input")->required();
    ParseOrExit(app, argc, argv);

    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!ReadInputFile(path, &bytes, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 2;
    }
    image::JpegInfo info{};
    const image::ImageResult result = image::ReadJpegInfo(bytes.data(), bytes.size(), &info);
    if (result != image::kImageOk) {
        const std::int32_t extended = image::ExtendedError();
        std::fprintf(stderr, "%s: %s: ReadJpegInfo %d (%s), ExtendedError %d (%s)\n", argv[0],
                     path.c_str(), result, image::to_string(result), extended,
                     image::ExtendedErrorText(extended));
        return 1;
    }
    std::printf("file:           %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::printf("frame type:     %d (%s)\n", info.FrameType, FrameTypeName(info.FrameType));
    std::printf("width:          %d\n", info.Width);
    std::printf("height:         %d\n", info.Height);
    std::printf("components:     %d\n", info.Components);
    std::printf("precision:      %d\n", info.Precision);
    for (int i = 0; i < 4; ++i)
        std::printf("sampling %d:     0x%02X (%dx%d)\n", i + 1,
                    static_cast<unsigned>(info.Sampling[i]), info.Sampling[i] >> 4,
                    info.Sampling[i] & 15);
    std::printf("bits per pixel: %d\n", info.BitsPerPixel);
    return 0;
}

const SubcommandRegistrar kInfo({"info", "print the JPEG header fields of a frame", RunInfo});

}  // namespace
}  // namespace apps
