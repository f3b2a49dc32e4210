// Every per-component sampling layout the decoder can meet: each of Y, Cb and Cr sampled 1x1,
// 2x1, 1x2, 2x2, 4x1 or 1x4 (as far as the encoder accepts the mix), grey with every declared
// factor, sequential and progressive, decoded with the portable and the vector kernels. The
// reference is libjpeg-turbo with djpeg's -dct int -nosmooth settings, run in-process so the
// few hundred pictures cost milliseconds; one case checks that setting against djpeg itself.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"
#include "image/jpeg_simd.h"
#include "support/bmp.h"
#include "support/jpeg_corpus.h"

namespace image {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::Picture;

constexpr int kWidth = 75;  // odd, and not a multiple of any MCU size: edges are clipped
constexpr int kHeight = 53;
constexpr int kQuality = 75;

// Colour that changes from each row to the next and each column to the next in both chroma
// directions, plus saturated patches with sharp edges: a chroma row or column taken from the
// wrong place shows as a large error.
Bytes RenderRgb() {
    Bytes rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3];
            p[0] = static_cast<std::uint8_t>(x * 3 + (y & 1) * 90);
            p[1] = static_cast<std::uint8_t>(128 + ((x + y) % 7) * 17);
            p[2] = static_cast<std::uint8_t>(y * 4 + (x & 1) * 70);
            if ((x / 5 + y / 3) % 4 == 0) {
                p[0] = static_cast<std::uint8_t>((y % 2) * 255);
                p[2] = static_cast<std::uint8_t>(255 - p[0]);
            }
        }
    return rgb;
}

struct Factors {
    int h, v;
};
constexpr Factors kFactors[] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}, {4, 1}, {1, 4}};

std::string Describe(const std::vector<Factors>& sampling, bool progressive) {
    std::string text;
    for (const Factors& f : sampling)
        text += (text.empty() ? "" : ",") + std::to_string(f.h) + "x" + std::to_string(f.v);
    return text + (progressive ? " progressive" : " sequential");
}

// libjpeg reports errors through a callback that must not return: it jumps back to Guarded,
// which then reports failure. The work runs behind a function pointer, so that no local of the
// jumping function is live across the jump.
struct JumpingErrors {
    jpeg_error_mgr manager{};
    std::jmp_buf back{};
};
void JumpBack(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JumpingErrors*>(info->err)->back, 1);
}
void Silent(j_common_ptr) {}
jpeg_error_mgr* Install(JumpingErrors* errors) {
    jpeg_error_mgr* manager = jpeg_std_error(&errors->manager);
    manager->error_exit = JumpBack;
    manager->output_message = Silent;
    return manager;
}
bool Guarded(JumpingErrors* errors, void (*work)(void*), void* context) {
    if (setjmp(errors->back) != 0) return false;
    work(context);
    return true;
}

struct Compression {
    jpeg_compress_struct info{};
    const std::uint8_t* input = nullptr;
    const std::vector<Factors>* sampling = nullptr;
    bool progressive = false;
    unsigned char* out = nullptr;
    unsigned long size = 0;
};

void Compress(void* context) {
    Compression& c = *static_cast<Compression*>(context);
    const bool grey = c.sampling->size() == 1;
    jpeg_create_compress(&c.info);
    jpeg_mem_dest(&c.info, &c.out, &c.size);
    c.info.image_width = kWidth;
    c.info.image_height = kHeight;
    c.info.input_components = grey ? 1 : 3;
    c.info.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c.info);
    c.info.dct_method = JDCT_ISLOW;
    jpeg_set_quality(&c.info, kQuality, TRUE);
    for (std::size_t i = 0; i < c.sampling->size(); ++i) {
        c.info.comp_info[i].h_samp_factor = (*c.sampling)[i].h;
        c.info.comp_info[i].v_samp_factor = (*c.sampling)[i].v;
    }
    if (c.progressive) jpeg_simple_progression(&c.info);
    jpeg_start_compress(&c.info, TRUE);
    const std::size_t row_bytes =
        static_cast<std::size_t>(kWidth) * static_cast<std::size_t>(c.info.input_components);
    while (c.info.next_scanline < c.info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(c.input + c.info.next_scanline * row_bytes);
        jpeg_write_scanlines(&c.info, &row, 1);
    }
    jpeg_finish_compress(&c.info);
}

// Encodes with the given factors per component (one component: grey). Empty when the encoder
// refuses the layout (more than 10 blocks per MCU).
Bytes Encode(const Bytes& rgb, const std::vector<Factors>& sampling, bool progressive) {
    Bytes grey;
    if (sampling.size() == 1)
        for (std::size_t i = 0; i < rgb.size(); i += 3)
            grey.push_back(static_cast<std::uint8_t>((rgb[i] + 2 * rgb[i + 1] + rgb[i + 2]) / 4));
    Compression c;
    c.input = sampling.size() == 1 ? grey.data() : rgb.data();
    c.sampling = &sampling;
    c.progressive = progressive;
    JumpingErrors errors;
    c.info.err = Install(&errors);
    Bytes bytes;
    if (Guarded(&errors, Compress, &c)) bytes.assign(c.out, c.out + c.size);
    jpeg_destroy_compress(&c.info);
    std::free(c.out);
    return bytes;
}

struct Decompression {
    jpeg_decompress_struct info{};
    const Bytes* jpeg = nullptr;
    Picture* picture = nullptr;
};

void Decompress(void* context) {
    Decompression& d = *static_cast<Decompression*>(context);
    jpeg_create_decompress(&d.info);
    jpeg_mem_src(&d.info, d.jpeg->data(), static_cast<unsigned long>(d.jpeg->size()));
    jpeg_read_header(&d.info, TRUE);
    d.info.dct_method = JDCT_ISLOW;
    d.info.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&d.info);
    Picture& p = *d.picture;
    p.width = static_cast<int>(d.info.output_width);
    p.height = static_cast<int>(d.info.output_height);
    p.channels = d.info.output_components;
    const std::size_t row_bytes =
        static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.channels);
    p.pixels.resize(row_bytes * static_cast<std::size_t>(p.height));
    while (d.info.output_scanline < d.info.output_height) {
        JSAMPROW row = &p.pixels[d.info.output_scanline * row_bytes];
        jpeg_read_scanlines(&d.info, &row, 1);
    }
    jpeg_finish_decompress(&d.info);
}

// The picture as djpeg -dct int -nosmooth gives it (integer inverse DCT, chroma replicated),
// as blue-green-red or grey rows, top row first.
bool Reference(const Bytes& jpeg, Picture* picture) {
    Decompression d;
    d.jpeg = &jpeg;
    d.picture = picture;
    JumpingErrors errors;
    d.info.err = Install(&errors);
    const bool ok = Guarded(&errors, Decompress, &d);
    jpeg_destroy_decompress(&d.info);
    if (ok && picture->channels == 3)
        for (std::size_t i = 0; i < picture->pixels.size(); i += 3)
            std::swap(picture->pixels[i], picture->pixels[i + 2]);
    return ok;
}

struct Decoded {
    ImageResult result = kImageOk;
    Picture picture;
};

Decoded DecodeWith(const Bytes& jpeg, bool portable) {
    jpeg::ForcePortableKernels(portable);
    Decoded decoded;
    JpegInfo info{};
    ImageBuffer buffer{};
    decoded.result = ReadJpegInfo(jpeg.data(), jpeg.size(), &info);
    if (decoded.result == kImageOk)
        decoded.result = AllocImage(&buffer, info.Width, info.Height, info.BitsPerPixel);
    if (decoded.result == kImageOk) decoded.result = DecodeJpeg(jpeg.data(), jpeg.size(), &buffer);
    if (decoded.result == kImageOk) decoded.picture = testsupport::PictureOf(buffer);
    FreeImage(&buffer);
    jpeg::ForcePortableKernels(false);
    return decoded;
}

// Both kernel paths give the same bytes, within 1 per channel of the reference (exact for grey).
void ExpectMatchesReference(const Bytes& jpeg, const Picture& reference) {
    const Decoded portable = DecodeWith(jpeg, true);
    const Decoded vector = DecodeWith(jpeg, false);
    ASSERT_EQ(portable.result, kImageOk);
    ASSERT_EQ(vector.result, kImageOk);
    EXPECT_TRUE(portable.picture.pixels == vector.picture.pixels)
        << "portable and vector kernels differ";
    for (const Decoded* ours : {&portable, &vector}) {
        const int difference = testsupport::MaxDifference(ours->picture, reference);
        ASSERT_GE(difference, 0) << "picture sizes differ";
        EXPECT_LE(difference, reference.channels == 1 ? 0 : 1)
            << (ours == &portable ? "portable" : "vector") << " kernels";
    }
}

int BlocksPerMcu(const std::vector<Factors>& sampling) {
    int blocks = 0;
    for (const Factors& f : sampling) blocks += f.h * f.v;
    return blocks;
}

TEST(JpegSampling, EveryColourLayoutMatchesTheReferenceOnBothKernels) {
    const Bytes rgb = RenderRgb();
    int decoded = 0, halves = 0;
    for (const Factors& y : kFactors)
        for (const Factors& cb : kFactors)
            for (const Factors& cr : kFactors)
                for (bool progressive : {false, true}) {
                    const std::vector<Factors> sampling = {y, cb, cr};
                    SCOPED_TRACE(Describe(sampling, progressive));
                    const Bytes jpeg = Encode(rgb, sampling, progressive);
                    // The encoder refuses exactly the layouts the format refuses.
                    ASSERT_EQ(jpeg.empty(), BlocksPerMcu(sampling) > 10);
                    if (jpeg.empty()) continue;
                    Picture reference;
                    ASSERT_TRUE(Reference(jpeg, &reference));
                    ExpectMatchesReference(jpeg, reference);
                    ++decoded;
                    halves += y.h < 4 && y.v < 4 && cb.h < 4 && cb.v < 4 && cr.h < 4 && cr.v < 4;
                }
    // All 64 mixes of factors 1 and 2 but 2x2,2x2,2x2 (12 blocks), both ways.
    EXPECT_EQ(halves, 2 * 63);
    EXPECT_EQ(decoded, 2 * 189);
}

TEST(JpegSampling, GreyWithEveryDeclaredFactorIsExact) {
    const Bytes rgb = RenderRgb();
    for (const Factors& f : kFactors)
        for (bool progressive : {false, true}) {
            SCOPED_TRACE(Describe({f}, progressive));
            const Bytes jpeg = Encode(rgb, {f}, progressive);
            ASSERT_FALSE(jpeg.empty());
            Picture reference;
            ASSERT_TRUE(Reference(jpeg, &reference));
            ASSERT_EQ(reference.channels, 1);
            ExpectMatchesReference(jpeg, reference);
        }
}

TEST(JpegSampling, ChromaWithDifferentVerticalFactorsMatchesDjpeg) {
    // Cb and Cr at different vertical factors under a 2x2 luma, made and read by the command-line
    // tools: also shows that the in-process reference above is djpeg's picture.
    const std::string dir = testsupport::CorpusDir();
    ASSERT_FALSE(dir.empty());
    const Bytes rgb = RenderRgb();
    const std::string head =
        "P6\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n255\n";
    Bytes ppm(head.begin(), head.end());
    ppm.insert(ppm.end(), rgb.begin(), rgb.end());
    const std::string source = dir + "/sampling.ppm";
    ASSERT_TRUE(testsupport::WriteFileBytes(source, ppm));
    for (const char* options : {"-sample 2x2,1x1,1x2", "-sample 2x2,1x2,1x1 -progressive"}) {
        SCOPED_TRACE(options);
        const std::string jpeg_path = dir + "/sampling.jpg", bmp_path = dir + "/sampling.bmp";
        ASSERT_TRUE(testsupport::RunQuiet("cjpeg -dct int -quality " + std::to_string(kQuality) +
                                          " " + options + " -outfile '" + jpeg_path + "' '" +
                                          source + "'"));
        ASSERT_TRUE(testsupport::RunQuiet("djpeg -dct int -nosmooth -bmp -outfile '" + bmp_path +
                                          "' '" + jpeg_path + "'"));
        const Bytes jpeg = testsupport::ReadFileBytes(jpeg_path);
        Picture djpeg, reference;
        std::string error;
        ASSERT_TRUE(testsupport::ReadBmpFile(bmp_path, &djpeg, &error)) << error;
        ASSERT_TRUE(Reference(jpeg, &reference));
        EXPECT_EQ(testsupport::MaxDifference(djpeg, reference), 0);
        ExpectMatchesReference(jpeg, djpeg);
    }
}

}  // namespace
}  // namespace image
