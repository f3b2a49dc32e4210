// The decoder's vector kernels against its portable ones: the colour rows for every luma and
// chroma value, and whole pictures (the corpus and camera-like TurboJPEG pictures of every
// sampling, full and clipped) decoded both ways must give the same bytes.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/image_buffer.h"
#include "image/jpeg_color.h"
#include "image/jpeg_color_x86.h"
#include "image/jpeg_decoder.h"
#include "image/jpeg_idct.h"
#include "image/jpeg_simd.h"
#include "support/jpeg_corpus.h"

namespace image {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Blue, green, red of one pixel through the colour tables and the sample-range table.
void TablePixel(int y, int cb, int cr, std::uint8_t* out) {
    const jpeg::ColourTables& t = jpeg::Colour();
    const std::uint8_t* range = jpeg::SampleRange();
    out[0] = range[y + t.cb_to_blue[static_cast<std::size_t>(cb)]];
    out[1] = range[y + ((t.cr_to_green[static_cast<std::size_t>(cr)] +
                         t.cb_to_green[static_cast<std::size_t>(cb)]) >>
                        16)];
    out[2] = range[y + t.cr_to_red[static_cast<std::size_t>(cr)]];
}

TEST(JpegKernels, VectorColourRowsEqualTheTablesForEveryValue) {
    if (!jpeg::x86::Available()) GTEST_SKIP() << "no vector colour routines on this processor";
    // One row per Cr value holding every (Cb, Y) pair.
    constexpr int kColumns = 256 * 256;
    Bytes y(kColumns), cb(kColumns), cr(kColumns), expected(3 * kColumns), got(3 * kColumns);
    for (int x = 0; x < kColumns; ++x) {
        y[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(x);
        cb[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(x >> 8);
    }
    for (int red = 0; red < 256; ++red) {
        SCOPED_TRACE(red);
        std::memset(cr.data(), red, cr.size());
        for (int x = 0; x < kColumns; ++x)
            TablePixel(y[static_cast<std::size_t>(x)], cb[static_cast<std::size_t>(x)], red,
                       &expected[3 * static_cast<std::size_t>(x)]);
        ASSERT_EQ(jpeg::x86::ConvertFull(y.data(), cb.data(), cr.data(), got.data(), kColumns),
                  kColumns);
        ASSERT_EQ(std::memcmp(got.data(), expected.data(), got.size()), 0);
    }
}

TEST(JpegKernels, VectorHalfWidthRowsEqualTheTables) {
    if (!jpeg::x86::Available()) GTEST_SKIP() << "no vector colour routines on this processor";
    std::mt19937 random(7);
    for (int columns : {0, 1, 15, 16, 17, 31, 32, 33, 47, 640, 703}) {
        SCOPED_TRACE(columns);
        const auto n = static_cast<std::size_t>(columns);
        Bytes y0(n + 16), y1(n + 16), cb(n / 2 + 16), cr(n / 2 + 16);
        for (auto* row : {&y0, &y1, &cb, &cr})
            for (auto& v : *row) v = static_cast<std::uint8_t>(random());
        Bytes expected0(3 * n), expected1(3 * n);
        for (std::size_t x = 0; x < n; ++x) {
            TablePixel(y0[x], cb[x / 2], cr[x / 2], &expected0[3 * x]);
            TablePixel(y1[x], cb[x / 2], cr[x / 2], &expected1[3 * x]);
        }
        // The routines convert whole runs only: the bytes past them must stay untouched.
        Bytes one(3 * n, 0xA5), two0(3 * n, 0xA5), two1(3 * n, 0xA5);
        const int done =
            jpeg::x86::ConvertHalfWidth(y0.data(), cb.data(), cr.data(), one.data(), columns);
        EXPECT_EQ(done, columns / 16 * 16);
        EXPECT_EQ(jpeg::x86::ConvertHalfWidthTwoRows(y0.data(), y1.data(), cb.data(), cr.data(),
                                                     two0.data(), two1.data(), columns),
                  done);
        const auto converted = static_cast<std::ptrdiff_t>(3 * done);
        EXPECT_TRUE(std::equal(one.begin(), one.begin() + converted, expected0.begin()));
        EXPECT_TRUE(std::equal(two0.begin(), two0.begin() + converted, expected0.begin()));
        EXPECT_TRUE(std::equal(two1.begin(), two1.begin() + converted, expected1.begin()));
        for (std::size_t i = static_cast<std::size_t>(converted); i < 3 * n; ++i) {
            ASSERT_EQ(one[i], 0xA5);
            ASSERT_EQ(two0[i], 0xA5);
            ASSERT_EQ(two1[i], 0xA5);
        }
    }
}

TEST(JpegKernels, PairTransformEqualsThePortableTransformForAnyInput) {
    std::mt19937 random(123);
    // Pairs of every mix: wild 16-bit values, picture-like values, sparse blocks, top-left 4 x 4
    // only (a path of its own, taken only when both blocks qualify), and DC only.
    auto fill = [&](std::int16_t* block, int kind) {
        for (int k = 0; k < 64; ++k) {
            const std::uint32_t r = random();
            switch (kind) {
                case 0:
                    block[k] = static_cast<std::int16_t>(r);
                    break;
                case 1:
                    block[k] = static_cast<std::int16_t>(static_cast<int>(r % 2049) - 1024);
                    break;
                case 2:
                    block[k] = r % 8 == 0
                                   ? static_cast<std::int16_t>(static_cast<int>(r % 4001) - 2000)
                                   : 0;
                    break;
                case 3:
                    block[k] = k % 8 < 4 && k < 32 ? static_cast<std::int16_t>(r) : 0;
                    break;
                default:
                    block[k] = k == 0 ? static_cast<std::int16_t>(r) : 0;
                    break;
            }
        }
    };
    constexpr std::ptrdiff_t kStrideA = 24, kStrideB = 40;
    const jpeg::ClearingPairTransform clearing = jpeg::FasterClearingPairTransform();
    for (int trial = 0; trial < 5000; ++trial) {
        alignas(16) std::int16_t a[64], b[64];
        fill(a, trial % 5);
        fill(b, (trial / 5) % 5);
        std::uint8_t out_a[8 * kStrideA] = {}, out_b[8 * kStrideB] = {};
        std::uint8_t expected_a[8 * kStrideA] = {}, expected_b[8 * kStrideB] = {};
        jpeg::InverseDctPair(a, out_a, kStrideA, b, out_b, kStrideB);
        jpeg::InverseDctPortable(a, expected_a, kStrideA);
        jpeg::InverseDctPortable(b, expected_b, kStrideB);
        ASSERT_EQ(std::memcmp(out_a, expected_a, sizeof out_a), 0) << "trial " << trial;
        ASSERT_EQ(std::memcmp(out_b, expected_b, sizeof out_b), 0) << "trial " << trial;
        // The clearing kernel gives the same samples and leaves both blocks zero.
        if (clearing != nullptr) {
            std::memset(out_a, 0, sizeof out_a);
            std::memset(out_b, 0, sizeof out_b);
            clearing(a, out_a, kStrideA, b, out_b, kStrideB);
            ASSERT_EQ(std::memcmp(out_a, expected_a, sizeof out_a), 0) << "trial " << trial;
            ASSERT_EQ(std::memcmp(out_b, expected_b, sizeof out_b), 0) << "trial " << trial;
            const std::int16_t zero[64] = {};
            ASSERT_EQ(std::memcmp(a, zero, sizeof zero), 0) << "trial " << trial;
            ASSERT_EQ(std::memcmp(b, zero, sizeof zero), 0) << "trial " << trial;
        }
    }
}

// A picture with the mix of a camera frame: gradients, edges, texture and sensor noise.
Bytes CameraLikeRgb(int width, int height, int noise_amplitude) {
    Bytes rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    std::mt19937 random(static_cast<unsigned>(width * 31 + height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                int v = (x * (3 + c) + y * (5 - c)) % 256;
                if ((x / 13 + y / 11) % 3 == 0) v = 255 - v;
                if (noise_amplitude > 0)
                    v += static_cast<int>(random() %
                                          static_cast<unsigned>(2 * noise_amplitude + 1)) -
                         noise_amplitude;
                rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                     static_cast<std::size_t>(x)) *
                        3 +
                    static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
            }
    return rgb;
}

Bytes TurboCompress(const Bytes& rgb, int width, int height, int subsampling, int quality,
                    int flags) {
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    Bytes bytes;
    if (handle != nullptr && tjCompress2(handle, rgb.data(), width, 0, height, TJPF_RGB, &out,
                                         &size, subsampling, quality, flags) == 0)
        bytes.assign(out, out + size);
    tjFree(out);
    if (handle != nullptr) tjDestroy(handle);
    return bytes;
}

struct Decoded {
    ImageResult result = kImageOk;
    Bytes pixels;
};

// Decodes into a buffer of the picture's size and into a clipped region with a border, with the
// kernels chosen by `portable`; the whole buffer memory is returned, borders included.
Decoded DecodeWith(const Bytes& jpeg, bool portable, bool clipped) {
    jpeg::ForcePortableKernels(portable);
    Decoded decoded;
    JpegInfo info{};
    decoded.result = ReadJpegInfo(jpeg.data(), jpeg.size(), &info);
    ImageBuffer image{};
    const int width = clipped ? info.Width / 2 + 3 : info.Width;
    const int height = clipped ? info.Height / 2 + 5 : info.Height;
    if (decoded.result == kImageOk)
        decoded.result = AllocImage(&image, width, height, info.BitsPerPixel);
    if (decoded.result == kImageOk) {
        const std::size_t bytes =
            static_cast<std::size_t>(image.RowBytes) * static_cast<std::size_t>(height);
        std::memset(image.Bits, 0x5A, bytes);
        if (clipped) {
            image.Left = 3;
            image.Top = 2;
            image.Right = static_cast<std::uint32_t>(width - 2);
            image.Bottom = static_cast<std::uint32_t>(height - 3);
        }
        decoded.result = DecodeJpeg(jpeg.data(), jpeg.size(), &image);
        decoded.pixels.assign(image.Bits, image.Bits + bytes);
        FreeImage(&image);
    }
    jpeg::ForcePortableKernels(false);
    return decoded;
}

void ExpectSameBothWays(const std::string& name, const Bytes& jpeg) {
    SCOPED_TRACE(name);
    for (bool clipped : {false, true}) {
        SCOPED_TRACE(clipped ? "clipped" : "full");
        const Decoded vector = DecodeWith(jpeg, false, clipped);
        const Decoded portable = DecodeWith(jpeg, true, clipped);
        ASSERT_EQ(vector.result, portable.result);
        ASSERT_EQ(vector.pixels.size(), portable.pixels.size());
        ASSERT_TRUE(vector.pixels == portable.pixels);
    }
}

TEST(JpegKernels, CorpusDecodesTheSameWithVectorAndPortableKernels) {
    const auto& corpus = testsupport::DecodableCorpus();
    ASSERT_FALSE(corpus.empty());
    for (const testsupport::CorpusImage& image : corpus)
        ExpectSameBothWays(image.name, image.bytes);
}

TEST(JpegKernels, CameraPicturesDecodeTheSameWithVectorAndPortableKernels) {
    struct Case {
        int width, height, subsampling, quality, flags, noise;
    };
    const Case cases[] = {
        {640, 480, TJSAMP_420, 75, 0, 0},
        {640, 480, TJSAMP_444, 90, 0, 12},
        {640, 480, TJSAMP_GRAY, 75, 0, 12},
        {640, 480, TJSAMP_420, 75, TJFLAG_PROGRESSIVE, 12},
        {333, 251, TJSAMP_420, 85, 0, 30},
        {333, 251, TJSAMP_422, 95, 0, 30},
        {333, 251, TJSAMP_440, 60, 0, 30},
        {333, 251, TJSAMP_411, 80, 0, 30},
        {97, 61, TJSAMP_444, 100, TJFLAG_PROGRESSIVE, 60},
        {17, 9, TJSAMP_420, 50, 0, 5},
    };
    for (const Case& c : cases) {
        const Bytes jpeg = TurboCompress(CameraLikeRgb(c.width, c.height, c.noise), c.width,
                                         c.height, c.subsampling, c.quality, c.flags);
        ASSERT_FALSE(jpeg.empty());
        ExpectSameBothWays(std::to_string(c.width) + "x" + std::to_string(c.height) + " sampling " +
                               std::to_string(c.subsampling) + " q" + std::to_string(c.quality) +
                               (c.flags != 0 ? " progressive" : ""),
                           jpeg);
    }
}

// What a band decode handed over: each call's first row and count, and the rows' bytes.
struct BandRows {
    std::vector<std::pair<int, int>> calls;
    Bytes rows;  // picture rows top first, RowBytes each
};

void KeepBandRows(void* context, const ImageBuffer& band, int first, int rows) {
    auto* kept = static_cast<BandRows*>(context);
    kept->calls.emplace_back(first, rows);
    for (int k = 0; k < rows; ++k) {
        const std::uint8_t* row = band.Bits + PixelOffset(band, 0, static_cast<std::uint32_t>(k));
        kept->rows.insert(kept->rows.end(), row, row + band.RowBytes);
    }
}

// Decoding through a band gives every row once, top down, a whole MCU row at a time, with the
// bytes of a whole-picture decode; for every sampling, sequential and progressive, both kernels.
TEST(JpegKernels, BandDecodeHandsOverEveryRowOnceWithTheWholeDecodesBytes) {
    struct Case {
        int width, height, subsampling, flags, mcu_height;
    };
    const Case cases[] = {
        {333, 251, TJSAMP_420, 0, 16}, {333, 251, TJSAMP_422, 0, 8},
        {333, 251, TJSAMP_440, 0, 16}, {333, 251, TJSAMP_444, 0, 8},
        {97, 61, TJSAMP_GRAY, 0, 8},   {97, 61, TJSAMP_420, TJFLAG_PROGRESSIVE, 16},
        {17, 9, TJSAMP_444, TJFLAG_PROGRESSIVE, 8}, {5, 3, TJSAMP_420, 0, 16},
    };
    for (const Case& c : cases) {
        const Bytes jpeg = TurboCompress(CameraLikeRgb(c.width, c.height, 20), c.width, c.height,
                                         c.subsampling, 80, c.flags);
        ASSERT_FALSE(jpeg.empty());
        for (bool portable : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " sampling "
                                            << c.subsampling << (c.flags ? " progressive" : "")
                                            << (portable ? " portable" : " vector"));
            jpeg::ForcePortableKernels(portable);
            JpegInfo info{};
            ASSERT_EQ(ReadJpegInfo(jpeg.data(), jpeg.size(), &info), kImageOk);
            ImageBuffer whole{}, band{};
            ASSERT_EQ(AllocImage(&whole, info.Width, info.Height, info.BitsPerPixel), kImageOk);
            ASSERT_EQ(DecodeJpeg(jpeg.data(), jpeg.size(), &whole), kImageOk);
            ASSERT_EQ(AllocImage(&band, info.Width, kJpegBandRows, info.BitsPerPixel), kImageOk);
            BandRows kept;
            ASSERT_EQ(DecodeJpegRows(jpeg.data(), jpeg.size(), &band, KeepBandRows, &kept),
                      kImageOk);
            int next = 0;
            for (const auto& [first, rows] : kept.calls) {
                EXPECT_EQ(first, next);
                EXPECT_EQ(rows, std::min(c.mcu_height, c.height - first));
                next = first + rows;
            }
            EXPECT_EQ(next, c.height);
            Bytes want;
            for (int y = 0; y < c.height; ++y) {
                const std::uint8_t* row =
                    whole.Bits + PixelOffset(whole, 0, static_cast<std::uint32_t>(y));
                want.insert(want.end(), row, row + whole.RowBytes);
            }
            EXPECT_TRUE(kept.rows == want);
            if (info.BitsPerPixel == 8) {
                EXPECT_NE(band.Flags & kGreyScale, 0u);
                EXPECT_EQ(std::memcmp(band.Palette, whole.Palette, 1024), 0);
            }
            FreeImage(&whole);
            FreeImage(&band);
        }
    }
    jpeg::ForcePortableKernels(false);

    // A band lower than the picture's MCU row, and a band without a sink, are refused before
    // any row is handed over; so is a broken header.
    const Bytes jpeg = TurboCompress(CameraLikeRgb(40, 40, 0), 40, 40, TJSAMP_420, 80, 0);
    ImageBuffer low{};
    ASSERT_EQ(AllocImage(&low, 40, 15, 24), kImageOk);
    BandRows kept;
    EXPECT_EQ(DecodeJpegRows(jpeg.data(), jpeg.size(), &low, KeepBandRows, &kept), kBadSize);
    EXPECT_EQ(DecodeJpegRows(jpeg.data(), jpeg.size(), &low, nullptr, nullptr), kBadSize);
    const Bytes broken(jpeg.begin(), jpeg.begin() + 30);
    EXPECT_EQ(DecodeJpegRows(broken.data(), broken.size(), &low, KeepBandRows, &kept),
              kBadJpegHeader);
    EXPECT_TRUE(kept.calls.empty());
    FreeImage(&low);
}

TEST(JpegKernels, ScanNamingAComponentTwiceDecodesTheSameBothWays) {
    // The scan header's third component (Cr) renamed to the first (Y): every MCU writes the
    // luma blocks twice, so the order in which blocks are transformed shows in the picture.
    for (int quality : {50, 95}) {
        Bytes jpeg = TurboCompress(CameraLikeRgb(160, 96, 20), 160, 96, TJSAMP_444, quality, 0);
        ASSERT_FALSE(jpeg.empty());
        const std::size_t sos = testsupport::ScanMarkerOffsets(jpeg).front();
        ASSERT_EQ(jpeg[sos + 4], 3);  // components in the scan
        jpeg[sos + 9] = jpeg[sos + 5];
        ExpectSameBothWays("luma twice q" + std::to_string(quality), jpeg);
    }
}

}  // namespace
}  // namespace image
