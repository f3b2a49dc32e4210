// Resize: dispatch rules, nearest-neighbour column choice and step masks, block averaging and
// bilinear interpolation against a direct per-pixel computation, regions inside one shared
// block, and the colour-table path for 8-bit pictures that are not grey.
#include "image/resize.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace image {
namespace {

struct Owned {
    ImageBuffer b{};
    Owned(int width, int height, int bits) {
        EXPECT_EQ(AllocImage(&b, width, height, bits), kImageOk);
    }
    ~Owned() { FreeImage(&b); }
    std::uint8_t* At(std::uint32_t x, std::uint32_t y) const {
        return b.Bits + PixelOffset(b, x, y);
    }
};

void FillRandom(const ImageBuffer& image, std::uint32_t seed) {
    std::mt19937 random(seed);
    for (std::uint32_t i = 0; i < image.Header->SizeImage; ++i)
        image.Bits[i] = static_cast<std::uint8_t>(random());
}

std::uint32_t Width(const ImageBuffer& b) {
    return b.Right - b.Left + 1;
}
std::uint32_t Height(const ImageBuffer& b) {
    return b.Bottom - b.Top + 1;
}

// The smooth methods computed pixel by pixel with divisions, straight from their definitions.
int ReferenceSmooth(const ImageBuffer& s, const ImageBuffer& t, std::uint32_t j, std::uint32_t i,
                    int c) {
    const std::uint64_t xscale = (std::uint64_t{Width(s)} * 32768) / Width(t);
    const std::uint64_t yscale = (std::uint64_t{Height(s)} * 32768) / Height(t);
    auto sample = [&](std::uint64_t x, std::uint64_t y) {
        return int{
            s.Bits[PixelOffset(s, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)) +
                   c]};
    };
    if (xscale > 32768 && yscale > 32768) {
        auto block = [](std::uint64_t scale) {
            return (scale + (scale <= 49152 ? 32767 : 16384)) >> 15;
        };
        const std::uint64_t x0 = s.Left + j * xscale / 32768, y0 = s.Top + i * yscale / 32768;
        const std::uint64_t x1 = std::min<std::uint64_t>(x0 + block(xscale), s.Right + 1);
        const std::uint64_t y1 = std::min<std::uint64_t>(y0 + block(yscale), s.Bottom + 1);
        int sum = 0;
        for (std::uint64_t y = y0; y < y1; ++y)
            for (std::uint64_t x = x0; x < x1; ++x) sum += sample(x, y);
        return sum / static_cast<int>((x1 - x0) * (y1 - y0));
    }
    const std::uint64_t sx = j * xscale, sy = i * yscale;
    const std::uint64_t x = s.Left + sx / 32768, y = s.Top + sy / 32768;
    const int fx = static_cast<int>(sx % 32768), fy = static_cast<int>(sy % 32768);
    const std::uint64_t x2 = x == s.Right ? x : x + 1, y2 = y == s.Bottom ? y : y + 1;
    const int top = sample(x, y) * 32768 + fx * (sample(x2, y) - sample(x, y));
    const int bottom = sample(x, y2) * 32768 + fx * (sample(x2, y2) - sample(x, y2));
    const int d = (bottom - top) / 32768;
    return (top + d * fy + 16384) / 32768;
}

void ExpectSmoothMatchesReference(const ImageBuffer& s, const ImageBuffer& t) {
    const int channels = t.Header->BitCount / 8;
    for (std::uint32_t i = 0; i < Height(t); ++i)
        for (std::uint32_t j = 0; j < Width(t); ++j)
            for (int c = 0; c < channels; ++c)
                ASSERT_EQ(t.Bits[PixelOffset(t, t.Left + j, t.Top + i) + c],
                          ReferenceSmooth(s, t, j, i, c))
                    << "target pixel " << j << "," << i << " channel " << c;
}

TEST(Resize, NearestColumnChoice) {
    struct Row {
        int from, to;
        std::vector<int> columns;
    };
    const Row rows[] = {{2, 4, {0, 0, 1, 1}}, {3, 4, {0, 1, 2, 2}}, {4, 2, {0, 2}},
                        {5, 3, {0, 1, 3}},    {1, 3, {0, 0, 0}},    {3, 1, {0}},
                        {7, 3, {0, 2, 4}}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.from << " -> " << row.to);
        Owned source(row.from, 1, 8), target(row.to, 1, 8);
        for (int x = 0; x < row.from; ++x)
            *source.At(static_cast<std::uint32_t>(x), 0) = static_cast<std::uint8_t>(x);
        ASSERT_EQ(ResizeImage(&source.b, &target.b, 0), kImageOk);
        for (int x = 0; x < row.to; ++x)
            EXPECT_EQ(*target.At(static_cast<std::uint32_t>(x), 0),
                      row.columns[static_cast<std::size_t>(x)])
                << x;
    }
}

TEST(Resize, StepMaskMarksCeilingCounts) {
    const std::pair<std::uint32_t, std::uint32_t> pairs[] = {
        {2, 4}, {5, 3}, {640, 1000}, {1000, 7}, {1, 9}, {317, 318}, {32768, 1}};
    for (auto [from, to] : pairs) {
        SCOPED_TRACE(testing::Message() << from << " -> " << to);
        const std::vector<std::uint8_t> mask = StepMask(from, to);
        const std::uint64_t longer = std::max(from, to), shorter = std::min(from, to);
        std::uint64_t marks = 0;
        for (std::uint64_t i = 0; i < longer; ++i) {
            marks += (mask[i >> 3] >> (7 - (i & 7))) & 1;
            ASSERT_EQ(marks, ((i + 1) * shorter + longer - 1) / longer) << "step " << i;
        }
    }
}

TEST(Resize, NearestRowsAndRegions24Bit) {
    Owned source(6, 5, 24), target(20, 12, 24);
    FillRandom(source.b, 1);
    std::memset(target.b.Bits, 0xEE, target.b.Header->SizeImage);
    source.b.Left = 1;
    source.b.Top = 2;  // a 5 x 3 region
    target.b.Left = 3;
    target.b.Top = 1;
    target.b.Right = 12;  // a 10 x 7 region
    target.b.Bottom = 7;
    ASSERT_EQ(ResizeImage(&source.b, &target.b, 0), kImageOk);
    for (std::uint32_t i = 0; i < 7; ++i)
        for (std::uint32_t j = 0; j < 10; ++j) {
            const std::uint32_t sx = 1 + ((j + 1) * 5 + 9) / 10 - 1,
                                sy = 2 + ((i + 1) * 3 + 6) / 7 - 1;
            ASSERT_EQ(std::memcmp(target.At(3 + j, 1 + i), source.At(sx, sy), 3), 0)
                << j << "," << i;
        }
    EXPECT_EQ(*target.At(2, 1), 0xEE);
    EXPECT_EQ(*target.At(13, 1), 0xEE);
    EXPECT_EQ(*target.At(3, 8), 0xEE);
    EXPECT_EQ(*target.At(3, 0), 0xEE);
}

TEST(Resize, OneBitIsAlwaysNearest) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        Owned source(3, 2, 1), target(6, 4, 1);
        *source.At(0, 0) = 0b10100000;  // row 0: 1 0 1
        *source.At(0, 1) = 0b01000000;  // row 1: 0 1 0
        ASSERT_EQ(ResizeImage(&source.b, &target.b, mode), kImageOk);
        EXPECT_EQ(*target.At(0, 0), 0b11001100);
        EXPECT_EQ(*target.At(0, 1), 0b11001100);
        EXPECT_EQ(*target.At(0, 2), 0b00110000);
        EXPECT_EQ(*target.At(0, 3), 0b00110000);
    }
}

TEST(Resize, EqualRegionsAreCopiedWhateverTheMode) {
    for (int mode : {0, 1, 7}) {
        SCOPED_TRACE(mode);
        Owned source(9, 7, 8), target(9, 7, 8);
        FillRandom(source.b, 2);
        for (int i = 0; i < 256; ++i)
            source.b.Palette[i] = PaletteEntry{static_cast<std::uint8_t>(255 - i), 0, 0, 0};
        source.b.Flags = 0;
        ASSERT_EQ(ResizeImage(&source.b, &target.b, mode), kImageOk);
        for (std::uint32_t y = 0; y < 7; ++y)
            EXPECT_EQ(std::memcmp(source.At(0, y), target.At(0, y), 9), 0) << y;
        EXPECT_EQ(target.b.Palette[3].Blue, 252);
        EXPECT_EQ(target.b.Flags & kGreyScale, 0u);
    }
}

TEST(Resize, DoublingGreyInterpolatesHalfway) {
    Owned source(320, 240, 8), target(640, 480, 8);
    FillRandom(source.b, 3);
    *source.At(0, 0) = 0;
    *source.At(1, 0) = 100;
    ASSERT_EQ(ResizeImage(&source.b, &target.b, 1), kImageOk);
    EXPECT_EQ(*target.At(1, 0), 50);
    EXPECT_EQ(*target.At(0, 0), 0);
    EXPECT_EQ(*target.At(2, 0), 100);
    ExpectSmoothMatchesReference(source.b, target.b);
}

TEST(Resize, SmoothMethodsMatchTheirDefinitions) {
    struct Row {
        const char* what;
        int sw, sh, tw, th, bits;
    };
    const Row rows[] = {
        {"halving: 2 x 2 averages", 640, 480, 320, 240, 24},
        {"factor up to 1.5 averages blocks of 2", 480, 480, 400, 300, 24},
        {"large shrink rounds the block", 100, 90, 13, 11, 8},
        {"blocks of 3, clipped at the edges", 101, 95, 33, 31, 24},
        {"blocks of 60 x 60", 300, 300, 5, 5, 24},
        {"blocks over 4096 pixels", 640, 480, 9, 7, 8},
        {"one factor below 1: bilinear both ways", 640, 480, 700, 300, 24},
        {"odd enlargement", 37, 23, 101, 64, 8},
        {"shrink one way, grow the other", 50, 20, 30, 60, 24},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Owned source(row.sw, row.sh, row.bits), target(row.tw, row.th, row.bits);
        FillRandom(source.b, 4);
        ASSERT_EQ(ResizeImage(&source.b, &target.b, 1), kImageOk);
        ExpectSmoothMatchesReference(source.b, target.b);
    }
    // Regions inside larger pictures: the last source row of the region is not the picture's,
    // and enlargements by 3 and by 1.3 keep a source row pair over several target rows.
    for (int bits : {24, 8}) {
        for (std::uint32_t th : {33u, 14u}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, target height " << th);
            Owned source(40, 30, bits), target(60, 40, bits);
            FillRandom(source.b, 6);
            source.b.Left = 3, source.b.Top = 5, source.b.Right = 22, source.b.Bottom = 15;
            target.b.Left = 2, target.b.Top = 1, target.b.Right = 48, target.b.Bottom = th;
            ASSERT_EQ(ResizeImage(&source.b, &target.b, 1), kImageOk);
            ExpectSmoothMatchesReference(source.b, target.b);
        }
    }
}

TEST(Resize, AveragingOfAHalvedPicture) {
    Owned source(4, 2, 8), target(2, 1, 8);
    const std::uint8_t rows[2][4] = {{10, 20, 30, 41}, {50, 61, 70, 80}};
    for (std::uint32_t y = 0; y < 2; ++y)
        for (std::uint32_t x = 0; x < 4; ++x) *source.At(x, y) = rows[y][x];
    ASSERT_EQ(ResizeImage(&source.b, &target.b, 1), kImageOk);
    EXPECT_EQ(*target.At(0, 0), (10 + 20 + 50 + 61) / 4);
    EXPECT_EQ(*target.At(1, 0), (30 + 41 + 70 + 80) / 4);
}

TEST(Resize, DispatchRefusals) {
    Owned grey(8, 8, 8), colour(16, 16, 24), wide(16, 16, 16);
    EXPECT_EQ(ResizeImage(&grey.b, &colour.b, 0), kBadDepth);
    EXPECT_EQ(ResizeImage(&grey.b, &colour.b, 1), kBadDepth);
    Owned wide2(8, 8, 16);
    EXPECT_EQ(ResizeImage(&wide.b, &wide2.b, 1), kBadDepth);
    ImageBuffer empty{};
    EXPECT_EQ(ResizeImage(&empty, &colour.b, 0), kBadPixels);
    Owned other(8, 8, 24);
    ImageBuffer region = colour.b;
    region.Left = 5;
    region.Right = 4;  // an empty region
    EXPECT_EQ(ResizeImage(&other.b, &region, 1), kBadSize);
    region = colour.b;
    region.Bottom = 16;  // past the picture
    EXPECT_EQ(ResizeImage(&other.b, &region, 1), kBadSize);
}

TEST(Resize, RegionsSharingOneBlockScaleAsFromACopy) {
    struct Row {
        const char* what;
        std::uint32_t sl, st, sw, sh, tl, tt, tw, th;
        int mode;
    };
    const Row rows[] = {
        {"nearest enlarge overlapping", 2, 2, 10, 8, 4, 3, 20, 14, 0},
        {"nearest shrink overlapping", 4, 3, 20, 14, 2, 2, 9, 7, 0},
        {"smooth enlarge overlapping", 2, 2, 10, 8, 4, 3, 20, 14, 1},
        {"smooth shrink overlapping", 4, 3, 20, 14, 2, 2, 9, 7, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Owned shared(32, 24, 24), copy(32, 24, 24), expected(32, 24, 24);
        FillRandom(shared.b, 5);
        std::memcpy(copy.b.Bits, shared.b.Bits, shared.b.Header->SizeImage);
        std::memcpy(expected.b.Bits, shared.b.Bits, shared.b.Header->SizeImage);
        auto place = [](ImageBuffer b, std::uint32_t l, std::uint32_t t, std::uint32_t w,
                        std::uint32_t h) {
            b.Left = l;
            b.Top = t;
            b.Right = l + w - 1;
            b.Bottom = t + h - 1;
            return b;
        };
        ImageBuffer source = place(shared.b, row.sl, row.st, row.sw, row.sh);
        ImageBuffer target = place(shared.b, row.tl, row.tt, row.tw, row.th);
        ImageBuffer clean_source = place(copy.b, row.sl, row.st, row.sw, row.sh);
        ImageBuffer clean_target = place(expected.b, row.tl, row.tt, row.tw, row.th);
        ASSERT_EQ(ResizeImage(&source, &target, row.mode), kImageOk);
        ASSERT_EQ(ResizeImage(&clean_source, &clean_target, row.mode), kImageOk);
        EXPECT_EQ(std::memcmp(shared.b.Bits, expected.b.Bits, shared.b.Header->SizeImage), 0);
    }
}

TEST(Resize, ColourTablePicturesKeepTheirTable) {
    Owned source(4, 4, 8), target(10, 9, 8);
    const PaletteEntry colours[4] = {
        {0, 0, 255, 0}, {0, 255, 0, 0}, {255, 0, 0, 0}, {255, 255, 255, 0}};
    for (int i = 0; i < 4; ++i) source.b.Palette[i] = colours[i];
    source.b.ColorCount = 4;
    source.b.Flags = 0;
    for (std::uint32_t y = 0; y < 4; ++y)
        for (std::uint32_t x = 0; x < 4; ++x)
            *source.At(x, y) = static_cast<std::uint8_t>(x < 2 ? 0 : (y < 2 ? 2 : 3));
    for (int mode : {1, 0}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(ResizeImage(&source.b, &target.b, mode), kImageOk);
        EXPECT_EQ(target.b.ColorCount, 4);
        EXPECT_EQ(target.b.Flags & kGreyScale, 0u);
        EXPECT_EQ(target.b.Palette[2].Blue, 255);
        for (std::uint32_t y = 0; y < 9; ++y)
            for (std::uint32_t x = 0; x < 10; ++x) ASSERT_LT(*target.At(x, y), 4) << x << "," << y;
        EXPECT_EQ(*target.At(0, 0), 0);  // inside a uniform area the index stays
        EXPECT_EQ(*target.At(0, 8), 0);
        EXPECT_EQ(*target.At(9, 0), 2);
        EXPECT_EQ(*target.At(9, 8), 3);
    }
}

}  // namespace
}  // namespace image
