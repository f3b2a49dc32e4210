// TurboJPEG and libpng, writing to memory.
#include "web/frame_codec.h"

#include <png.h>
#include <turbojpeg.h>

namespace web {

void WindowToBgr(const platform::WindowPixels& p, std::vector<std::uint8_t>* out) {
    const std::size_t count =
        static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    if (p.bits_per_pixel == 24) {
        out->assign(p.pixels.begin(), p.pixels.begin() + std::min(p.pixels.size(), count * 3));
        out->resize(count * 3, 0);
        return;
    }
    out->assign(count * 3, 0);
    for (std::size_t i = 0; i < count && i < p.pixels.size(); ++i) {
        const std::size_t index = p.pixels[i];
        if (index >= p.palette.size()) continue;  // beyond the palette: black
        const platform::ScreenColor& c = p.palette[index];
        (*out)[i * 3] = c.blue;
        (*out)[i * 3 + 1] = c.green;
        (*out)[i * 3 + 2] = c.red;
    }
}

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
    if (handle_ != nullptr) tjDestroy(static_cast<tjhandle>(handle_));
}

bool JpegEncoder::Encode(const platform::WindowPixels& pixels, int quality, std::string* out) {
    if (handle_ == nullptr || pixels.width <= 0 || pixels.height <= 0) return false;
    const std::uint8_t* source = pixels.pixels.data();
    if (pixels.bits_per_pixel != 24 ||
        pixels.pixels.size() < static_cast<std::size_t>(pixels.width) * pixels.height * 3) {
        WindowToBgr(pixels, &bgr_);
        source = bgr_.data();
    }
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int rc =
        tjCompress2(static_cast<tjhandle>(handle_), source, pixels.width, 0, pixels.height,
                    TJPF_BGR, &jpeg, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
    if (rc != 0 || jpeg == nullptr) {
        if (jpeg != nullptr) tjFree(jpeg);
        return false;
    }
    out->append(reinterpret_cast<const char*>(jpeg), size);
    tjFree(jpeg);
    return true;
}

namespace {

void AppendPng(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))
        ->append(reinterpret_cast<const char*>(data), length);
}

void NoFlush(png_structp) {}

}  // namespace

bool EncodePng(const platform::WindowPixels& pixels, std::string* out) {
    if (pixels.width <= 0 || pixels.height <= 0) return false;
    std::vector<std::uint8_t> rgb;
    WindowToBgr(pixels, &rgb);
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    std::string bytes;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
        return false;
    }
    png_set_write_fn(png, &bytes, AppendPng, NoFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(pixels.width),
                 static_cast<png_uint_32>(pixels.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < pixels.height; ++y)
        png_write_row(png, rgb.data() + static_cast<std::size_t>(y) * pixels.width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    *out = std::move(bytes);
    return true;
}

}  // namespace web
