// `quorlina decode FRAME.jpg OUT.bmp [--size WxH] [--method 0|1]`: ReadJpegInfo, AllocImage,
// DecodeJpeg and optionally ResizeImage into a WxH buffer of the same depth, as the control runs
// them, then the buffer as a BMP file. Without --size the picture is not kept whole: the decoder
// hands over its rows a band at a time and they go straight to their place in the file (same
// bytes). On a failure nothing is written: the step, its code and meaning (and the decoder's
// finer cause) are printed and the exit status is 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
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

bool WriteAt(int fd, const std::uint8_t* data, std::size_t length, off_t at) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, data, length, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

// The BMP file being filled from the bottom up as the decoder's bands arrive.
struct RowFile {
    int fd = -1;
    off_t pixels_at = 0;  // file offset of the first stored (bottom) row
    std::int32_t height = 0;
    bool failed = false;
};

// Band rows 0..rows-1 lie bottom-up at the band's end, as picture rows first+rows-1 up to first
// lie in the file: one write each.
void WriteBandRows(void* context, const image::ImageBuffer& band, int first, int rows) {
    auto* file = static_cast<RowFile*>(context);
    if (file->failed) return;
    const std::ptrdiff_t row_bytes = band.RowBytes;
    const std::uint8_t* from = band.Bits + (band.Header->Height - rows) * row_bytes;
    const off_t at = file->pixels_at + static_cast<off_t>(file->height - first - rows) * row_bytes;
    file->failed = !WriteAt(file->fd, from, static_cast<std::size_t>(rows * row_bytes), at);
}

// Decodes into the file through a band and puts it in place of output only when all went well.
int DecodeToFile(const char* program, const std::vector<std::uint8_t>& bytes,
                 const image::JpegInfo& info, const std::string& output) {
    Buffers buffers;
    image::ImageResult result = image::AllocImage(&buffers.decoded, info.Width,
                                                  image::kJpegBandRows, info.BitsPerPixel);
    // The whole picture's buffer is not made, but it is refused where AllocImage would refuse it.
    if (result == image::kImageOk && info.Height <= 0) result = image::kBadSize;
    if (result == image::kImageOk &&
        static_cast<std::uint64_t>(buffers.decoded.RowBytes) * static_cast<std::uint64_t>(info.Height) +
                static_cast<std::uint64_t>(buffers.decoded.Bits -
                                           reinterpret_cast<std::uint8_t*>(buffers.decoded.Header)) >
            image::kMaxImageBlockBytes)
        result = image::kOutOfMemory;
    if (result != image::kImageOk) return Fail(program, "AllocImage", result, false);
    std::string temp = output + ".XXXXXX";
    RowFile file;
    file.fd = ::mkstemp(temp.data());
    if (file.fd < 0) {
        std::fprintf(stderr, "%s: %s: %s\n", program, output.c_str(), std::strerror(errno));
        return 1;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(file.fd, 0666 & ~mask);  // as a file made with fopen
    file.height = info.Height;
    const std::vector<std::uint8_t> probe = apps::BmpHeadBytes(buffers.decoded, info.Height);
    file.pixels_at = static_cast<off_t>(probe.size());
    result = image::DecodeJpegRows(bytes.data(), bytes.size(), &buffers.decoded, WriteBandRows,
                                   &file);
    bool ok = result == image::kImageOk;
    if (ok) {
        // Written last: a grey picture's colour table is set when the decode has succeeded.
        const std::vector<std::uint8_t> head = apps::BmpHeadBytes(buffers.decoded, info.Height);
        ok = !file.failed && WriteAt(file.fd, head.data(), head.size(), 0);
    }
    const bool closed = ::close(file.fd) == 0;
    if (ok && closed && ::rename(temp.c_str(), output.c_str()) == 0) {
        std::printf("%s: %dx%d, %d bits per pixel\n", output.c_str(), info.Width, info.Height,
                    buffers.decoded.Header->BitCount);
        return 0;
    }
    ::unlink(temp.c_str());
    if (result != image::kImageOk) return Fail(program, "DecodeJpeg", result, true);
    std::fprintf(stderr, "%s: %s: write failed\n", program, output.c_str());
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
    // Standard output cannot be replaced whole at the end: the picture is decoded whole for it.
    if (size_text.empty() && output != "-") return DecodeToFile(argv[0], bytes, info, output);
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
