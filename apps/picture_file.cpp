#include "apps/picture_file.h"

#include <png.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "apps/window_bmp.h"

namespace apps {

namespace {

constexpr int kJpegQuality = 90;

std::string LowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// Red, green, blue bytes, top row first.
std::vector<std::uint8_t> RgbRows(const platform::WindowPixels& pixels) {
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(pixels.width) * pixels.height * 3);
    for (int y = 0; y < pixels.height; ++y) {
        for (int x = 0; x < pixels.width; ++x) {
            const std::uint32_t c = pixels.ColorAt(x, y);
            rgb.push_back(static_cast<std::uint8_t>(c >> 16));
            rgb.push_back(static_cast<std::uint8_t>(c >> 8));
            rgb.push_back(static_cast<std::uint8_t>(c));
        }
    }
    return rgb;
}

void AppendPngBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

bool EncodePng(const platform::WindowPixels& pixels, std::vector<std::uint8_t>* file,
               std::string* error) {
    std::vector<std::uint8_t> rgb = RgbRows(pixels);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        *error = "cannot encode PNG: out of memory";
        return false;
    }
    std::vector<png_bytep> rows(static_cast<std::size_t>(pixels.height));
    for (int y = 0; y < pixels.height; ++y)
        rows[static_cast<std::size_t>(y)] = rgb.data() + static_cast<std::size_t>(y) * pixels.width * 3;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *error = "cannot encode PNG";
        return false;
    }
    png_set_write_fn(png, file, &AppendPngBytes, &FlushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(pixels.width),
                 static_cast<png_uint_32>(pixels.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool EncodeJpeg(const platform::WindowPixels& pixels, std::vector<std::uint8_t>* file,
                std::string* error) {
    const std::vector<std::uint8_t> rgb = RgbRows(pixels);
    tjhandle handle = tjInitCompress();
    if (handle == nullptr) {
        *error = "cannot encode JPEG";
        return false;
    }
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int failed = tjCompress2(handle, rgb.data(), pixels.width, 0, pixels.height, TJPF_RGB,
                                   &out, &size, TJSAMP_444, kJpegQuality, 0);
    if (failed == 0) file->assign(out, out + size);
    else *error = std::string("cannot encode JPEG: ") + tjGetErrorStr2(handle);
    tjFree(out);
    tjDestroy(handle);
    return failed == 0;
}

}  // namespace

bool PictureFormatOf(const std::string& path, PictureFormat* format, std::string* error) {
    if (path == "-") {
        *format = PictureFormat::Bmp;
        return true;
    }
    const std::string ext = LowerExtension(path);
    if (ext == ".bmp") *format = PictureFormat::Bmp;
    else if (ext == ".png") *format = PictureFormat::Png;
    else if (ext == ".jpg" || ext == ".jpeg") *format = PictureFormat::Jpeg;
    else {
        *error = path + ": the picture format follows the extension: .bmp, .png or .jpg" +
                 (ext.empty() ? std::string() : " (not " + ext + ")");
        return false;
    }
    return true;
}

bool EncodeWindowPicture(const platform::WindowPixels& pixels, PictureFormat format,
                         std::vector<std::uint8_t>* file, std::string* error) {
    file->clear();
    if (pixels.width <= 0 || pixels.height <= 0) {
        *error = "the window has no pixels";
        return false;
    }
    switch (format) {
        case PictureFormat::Bmp:
            *file = WindowBmpBytes(pixels);
            return !file->empty() || (*error = "the window has no pixels", false);
        case PictureFormat::Png:
            return EncodePng(pixels, file, error);
        case PictureFormat::Jpeg:
            return EncodeJpeg(pixels, file, error);
    }
    return false;
}

bool WriteOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes,
                     std::string* error) {
    if (path != "-") return WriteFileAtomically(path, bytes, error);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    if (!written || std::fflush(stdout) != 0) {
        *error = std::string("standard output: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool ReadInputFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error,
                   std::size_t max_bytes) {
    bytes->clear();
    const bool from_stdin = path == "-";
    const std::string name = from_stdin ? "standard input" : path;
    std::error_code ignored;
    if (!from_stdin && std::filesystem::is_directory(path, ignored)) {
        *error = path + ": is a directory";
        return false;
    }
    std::FILE* in = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    // A file's size is known: the bytes take exactly that, instead of a vector grown by doubling
    // (up to twice the file, held through a big picture's decode).
    if (!from_stdin) {
        const std::uintmax_t size = std::filesystem::file_size(path, ignored);
        if (!ignored && size <= max_bytes) bytes->reserve(static_cast<std::size_t>(size));
    }
    std::uint8_t chunk[65536];
    bool too_large = false;
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        if (bytes->size() + got > max_bytes) {
            too_large = true;
            break;
        }
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(in) != 0;
    if (!from_stdin) std::fclose(in);
    if (too_large) {
        *error = name + ": larger than " + std::to_string(max_bytes) + " bytes";
        return false;
    }
    if (failed) {
        *error = name + ": read failed";
        return false;
    }
    return true;
}

bool WriteWindowPicture(const std::string& path, const platform::WindowPixels& pixels,
                        std::string* error) {
    PictureFormat format;
    std::vector<std::uint8_t> file;
    return PictureFormatOf(path, &format, error) &&
           EncodeWindowPicture(pixels, format, &file, error) &&
           WriteOutputFile(path, file, error);
}

}  // namespace apps
