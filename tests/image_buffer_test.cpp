// Image buffers: allocation sizes and refusals, the default colour table, the entry check and
// region copies (including overlapping copies inside one block and 1-bit rows).
#include "image/image_buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace image {
namespace {

// A buffer freed at the end of the test.
struct ScopedImage {
    ImageBuffer buffer{};
    ~ScopedImage() { FreeImage(&buffer); }
};

bool IsCleared(const ImageBuffer& image) {
    ImageBuffer zero{};
    return std::memcmp(&image, &zero, sizeof zero) == 0;
}

std::uint8_t* Pixel(const ImageBuffer& image, std::uint32_t x, std::uint32_t y) {
    return image.Bits + PixelOffset(image, x, y);
}

// Fills every byte of every row with a value derived from its picture position.
void FillPattern(const ImageBuffer& image) {
    const std::uint32_t height = static_cast<std::uint32_t>(image.Header->Height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::int32_t b = 0; b < image.RowBytes; ++b)
            Pixel(image, 0, y)[b] =
                static_cast<std::uint8_t>(y * 31 + static_cast<std::uint32_t>(b) * 7 + 1);
}

TEST(ImageBuffer, AllocTrueColourSizesTheBlock) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 640, 480, 24), kImageOk);
    const ImageBuffer& b = image.buffer;
    EXPECT_EQ(b.RowBytes, 1920);
    EXPECT_EQ(b.ColorCount, 0);
    EXPECT_EQ(ImageBlockBytes(b), 40u + 921600u);
    EXPECT_EQ(b.Left, 0u);
    EXPECT_EQ(b.Top, 0u);
    EXPECT_EQ(b.Right, 639u);
    EXPECT_EQ(b.Bottom, 479u);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(b.Header) + 40, b.Bits);
    EXPECT_EQ(b.Header->Size, 40u);
    EXPECT_EQ(b.Header->Width, 640);
    EXPECT_EQ(b.Header->Height, 480);
    EXPECT_EQ(b.Header->Planes, 1);
    EXPECT_EQ(b.Header->BitCount, 24);
    EXPECT_EQ(b.Header->SizeImage, 921600u);
    EXPECT_EQ(b.Header->ClrUsed, 0u);
    EXPECT_EQ(b.BitmapHandle, nullptr);
}

TEST(ImageBuffer, AllocEightBitGetsGreyRamp) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 3, 2, 8), kImageOk);
    const ImageBuffer& b = image.buffer;
    EXPECT_EQ(b.RowBytes, 4);
    EXPECT_EQ(b.ColorCount, 256);
    EXPECT_EQ(b.Flags & kGreyScale, kGreyScale);
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(b.Palette),
              reinterpret_cast<std::uint8_t*>(b.Header) + 40);
    EXPECT_EQ(b.Bits, reinterpret_cast<std::uint8_t*>(b.Palette) + 1024);
    for (int i = 0; i < 256; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(b.Palette[i].Blue, i);
        EXPECT_EQ(b.Palette[i].Green, i);
        EXPECT_EQ(b.Palette[i].Red, i);
        EXPECT_EQ(b.Palette[i].Reserved, 0);
    }
    EXPECT_EQ(b.Header->ClrUsed, 256u);
    EXPECT_EQ(b.Header->ClrImportant, 256u);
}

TEST(ImageBuffer, AllocDepthsAndSizes) {
    struct Row {
        int width, height, bits;
        ImageResult result;
        int stored_bits, row_bytes, colors;
    };
    const Row rows[] = {
        {9, 2, 1, kImageOk, 1, 4, 2},   {33, 1, 1, kImageOk, 1, 8, 2},
        {5, 5, 4, kImageOk, 8, 8, 256}, {5, 5, 16, kImageOk, 16, 12, 0},
        {1, 1, 24, kImageOk, 24, 4, 0}, {5, 5, 2, kBadDepth, 0, 0, 0},
        {5, 5, 32, kBadDepth, 0, 0, 0}, {5, 5, 0, kBadDepth, 0, 0, 0},
        {0, 5, 24, kBadSize, 0, 0, 0},  {5, 0, 8, kBadSize, 0, 0, 0},
        {-3, 5, 8, kBadSize, 0, 0, 0},  {0, 0, 7, kBadDepth, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.width << "x" << row.height << "x" << row.bits);
        ScopedImage image;
        ASSERT_EQ(AllocImage(&image.buffer, row.width, row.height, row.bits), row.result);
        if (row.result != kImageOk) {
            EXPECT_TRUE(IsCleared(image.buffer));
            continue;
        }
        EXPECT_EQ(image.buffer.Header->BitCount, row.stored_bits);
        EXPECT_EQ(image.buffer.RowBytes, row.row_bytes);
        EXPECT_EQ(image.buffer.ColorCount, row.colors);
    }
}

TEST(ImageBuffer, AllocOneBitIsBlackAndWhite) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 9, 2, 1), kImageOk);
    EXPECT_EQ(image.buffer.Palette[0].Red, 0);
    EXPECT_EQ(image.buffer.Palette[1].Red, 255);
    EXPECT_EQ(image.buffer.Palette[1].Blue, 255);
    EXPECT_EQ(image.buffer.Flags & kGreyScale, kGreyScale);
}

TEST(ImageBuffer, AllocSixteenBitSetsFlagsWord) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 4, 4, 16), kImageOk);
    EXPECT_EQ(image.buffer.Flags, 1u);
    EXPECT_EQ(image.buffer.ColorCount, 0);
    EXPECT_EQ(image.buffer.Bits, reinterpret_cast<std::uint8_t*>(image.buffer.Header) + 40);
}

TEST(ImageBuffer, AllocRefusesBlocksBeyondTheBound) {
    // 4096 x 21845 x 24 bits is just under 256 MiB with its header; one more row is over.
    {
        ScopedImage image;
        EXPECT_EQ(AllocImage(&image.buffer, 4096, 21845, 24), kImageOk);
        EXPECT_LE(ImageBlockBytes(image.buffer), kMaxImageBlockBytes);
    }
    const int too_big[][3] = {{4096, 21846, 24},
                              {32767, 32767, 24},
                              {0x7FFFFFFF, 0x7FFFFFFF, 24},
                              {0x7FFFFFFF, 2, 1},
                              {1, 0x7FFFFFFF, 8}};
    for (const auto& size : too_big) {
        SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << "x" << size[2]);
        ScopedImage image;
        EXPECT_EQ(AllocImage(&image.buffer, size[0], size[1], size[2]), kOutOfMemory);
        EXPECT_TRUE(IsCleared(image.buffer));
    }
}

TEST(ImageBuffer, FreeTwiceAndFreeClearedDoNothing) {
    ImageBuffer image{};
    FreeImage(&image);
    ASSERT_EQ(AllocImage(&image, 10, 10, 8), kImageOk);
    FreeImage(&image);
    EXPECT_TRUE(IsCleared(image));
    FreeImage(&image);
    EXPECT_TRUE(IsCleared(image));
    FreeImage(nullptr);
}

TEST(ImageBuffer, ReuseKeepsTheBlockOnlyForTheSameSizeAndDepth) {
    ScopedImage image;
    ASSERT_EQ(ReuseImage(&image.buffer, 10, 6, 8), kImageOk);
    ImageBuffer fresh{};
    ASSERT_EQ(AllocImage(&fresh, 10, 6, 8), kImageOk);
    BitmapInfoHeader* const block = image.buffer.Header;
    // What a caller leaves behind: a narrower region, another colour table and flags.
    image.buffer.Left = 3;
    image.buffer.Bottom = 2;
    image.buffer.Flags = 0;
    image.buffer.ColorCount = 16;
    image.buffer.Palette[7] = PaletteEntry{1, 2, 3, 4};
    image.buffer.Header->ClrUsed = 16;
    ASSERT_EQ(ReuseImage(&image.buffer, 10, 6, 8), kImageOk);
    EXPECT_EQ(image.buffer.Header, block);
    // The record and the header and colour table in the block are as AllocImage makes them.
    ImageBuffer again = image.buffer;
    ImageBuffer want = fresh;
    again.Header = nullptr, again.Palette = nullptr, again.Bits = nullptr;
    want.Header = nullptr, want.Palette = nullptr, want.Bits = nullptr;
    EXPECT_EQ(std::memcmp(&again, &want, sizeof want), 0);
    EXPECT_EQ(std::memcmp(image.buffer.Header, fresh.Header,
                          static_cast<std::size_t>(fresh.Bits -
                                                   reinterpret_cast<std::uint8_t*>(fresh.Header))),
              0);
    EXPECT_EQ(image.buffer.Bits - reinterpret_cast<std::uint8_t*>(block),
              fresh.Bits - reinterpret_cast<std::uint8_t*>(fresh.Header));
    FreeImage(&fresh);

    // Another width, height or depth gets a block of its own size.
    for (const auto& size : {std::array<int, 3>{11, 6, 8}, std::array<int, 3>{10, 7, 8},
                             std::array<int, 3>{10, 6, 24}, std::array<int, 3>{6, 10, 8}}) {
        SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1] << "x" << size[2]);
        ASSERT_EQ(ReuseImage(&image.buffer, size[0], size[1], size[2]), kImageOk);
        EXPECT_EQ(image.buffer.Header->Width, size[0]);
        EXPECT_EQ(image.buffer.Header->Height, size[1]);
        EXPECT_EQ(image.buffer.Header->BitCount, size[2]);
        EXPECT_EQ(ImageBlockBytes(image.buffer),
                  40u + (size[2] == 8 ? 1024u : 0u) +
                      static_cast<std::size_t>(image.buffer.RowBytes * size[1]));
        EXPECT_EQ(image.buffer.RowBytes, (size[0] * size[2] + 31) / 32 * 4);
        EXPECT_EQ(image.buffer.Right, static_cast<std::uint32_t>(size[0] - 1));
        EXPECT_EQ(image.buffer.Bottom, static_cast<std::uint32_t>(size[1] - 1));
    }
    // 4 bits is served as 8, so an 8-bit block of that size is kept.
    ASSERT_EQ(ReuseImage(&image.buffer, 6, 10, 8), kImageOk);
    BitmapInfoHeader* const eight = image.buffer.Header;
    ASSERT_EQ(ReuseImage(&image.buffer, 6, 10, 4), kImageOk);
    EXPECT_EQ(image.buffer.Header, eight);
    EXPECT_EQ(image.buffer.Header->BitCount, 8);
}

TEST(ImageBuffer, ReuseRefusalsFreeTheBlockAndClearTheRecord) {
    const struct {
        int w, h, bits;
        ImageResult r;
    } cases[] = {{0, 5, 8, kBadSize}, {5, -1, 24, kBadSize}, {5, 5, 32, kBadDepth},
                 {5, 5, 2, kBadDepth}, {32767, 32767, 24, kOutOfMemory}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << c.bits);
        ImageBuffer image{};
        ASSERT_EQ(ReuseImage(&image, 5, 5, 24), kImageOk);
        EXPECT_EQ(ReuseImage(&image, c.w, c.h, c.bits), c.r);
        EXPECT_TRUE(IsCleared(image));
        FreeImage(&image);  // nothing left to free; must not touch freed memory
    }
    EXPECT_EQ(ReuseImage(nullptr, 5, 5, 24), kBadSize);
}

TEST(ImageBuffer, CopyRecordSharesTheBlock) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 10, 10, 8), kImageOk);
    ImageBuffer copy{};
    CopyImageRecord(image.buffer, &copy);
    EXPECT_EQ(copy.Bits, image.buffer.Bits);
    EXPECT_EQ(copy.Header, image.buffer.Header);
    ClearImageRecord(&copy);
    EXPECT_TRUE(IsCleared(copy));
}

TEST(ImageBuffer, PixelZeroZeroIsTheLastStoredRow) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 7, 5, 24), kImageOk);
    EXPECT_EQ(PixelOffset(image.buffer, 0, 0), 4 * image.buffer.RowBytes);
    EXPECT_EQ(PixelOffset(image.buffer, 2, 4), 6);
    EXPECT_EQ(PixelOffset(image.buffer, 6, 1), 18 + 3 * image.buffer.RowBytes);
    ScopedImage mono;
    ASSERT_EQ(AllocImage(&mono.buffer, 20, 3, 1), kImageOk);
    EXPECT_EQ(PixelOffset(mono.buffer, 17, 0), 2 + 2 * mono.buffer.RowBytes);
}

TEST(ImageBuffer, ValidateClearedRecordIsUnreadable) {
    ImageBuffer image{};
    EXPECT_EQ(ValidateImage(&image, kDepthsAny), kBadPixels);
}

TEST(ImageBuffer, ValidateSwapsReversedRegion) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 10, 8, 24), kImageOk);
    image.buffer.Left = 7;
    image.buffer.Right = 2;
    image.buffer.Top = 6;
    image.buffer.Bottom = 1;
    EXPECT_EQ(ValidateImage(&image.buffer, kDepths8And24), kImageOk);
    EXPECT_EQ(image.buffer.Left, 2u);
    EXPECT_EQ(image.buffer.Right, 7u);
    EXPECT_EQ(image.buffer.Top, 1u);
    EXPECT_EQ(image.buffer.Bottom, 6u);
}

TEST(ImageBuffer, ValidateRefusals) {
    struct Row {
        const char* what;
        int width, height, bits;
        void (*change)(ImageBuffer*);
        std::uint32_t depths;
        ImageResult result;
    };
    const Row rows[] = {
        {"whole picture", 10, 8, 24, [](ImageBuffer*) {}, kDepths8And24, kImageOk},
        {"right at width", 10, 8, 24, [](ImageBuffer* b) { b->Right = 10; }, kDepths8And24,
         kBadSize},
        {"bottom at height", 10, 8, 8, [](ImageBuffer* b) { b->Bottom = 8; }, kDepths8And24,
         kBadSize},
        {"no header", 10, 8, 8, [](ImageBuffer* b) { b->Header = nullptr; }, kDepths8And24,
         kBadSize},
        {"no pixels", 10, 8, 8, [](ImageBuffer* b) { b->Bits = nullptr; }, kDepths8And24,
         kBadPixels},
        {"rows too short", 10, 8, 24, [](ImageBuffer* b) { b->RowBytes = 29; }, kDepths8And24,
         kBadSize},
        {"rows just wide enough", 10, 8, 24, [](ImageBuffer* b) { b->RowBytes = 30; },
         kDepths8And24, kImageOk},
        {"negative row bytes", 10, 8, 8, [](ImageBuffer* b) { b->RowBytes = -12; }, kDepths8And24,
         kBadSize},
        // A 9-pixel 1-bit row needs 2 bytes: one is not enough for its last pixel.
        {"1-bit rows rounded up", 9, 2, 1, [](ImageBuffer* b) { b->RowBytes = 1; },
         kDepths1And8And24, kBadSize},
        {"compressed", 10, 8, 24, [](ImageBuffer* b) { b->Header->Compression = 1; }, kDepths8And24,
         kCompressedPixels},
        {"depth not accepted", 10, 8, 16, [](ImageBuffer*) {}, kDepths8And24, kBadDepth},
        {"1 bit not smooth", 10, 8, 1, [](ImageBuffer*) {}, kDepths8And24, kBadDepth},
        {"column limit", 32769, 1, 8, [](ImageBuffer*) {}, kDepthsAny, kBadSize},
        {"last column under limit", 32768, 1, 8, [](ImageBuffer* b) { b->Right = 32767; },
         kDepthsAny, kImageOk},
        {"1-bit column limit is wider", 40000, 1, 1, [](ImageBuffer*) {}, kDepthsAny, kImageOk},
        {"row limit", 1, 32769, 8, [](ImageBuffer*) {}, kDepthsAny, kBadSize},
        {"header height negative", 4, 4, 8, [](ImageBuffer* b) { b->Header->Height = -4; },
         kDepthsAny, kBadSize},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedImage image;
        ASSERT_EQ(AllocImage(&image.buffer, row.width, row.height, row.bits), kImageOk);
        ImageBuffer probe = image.buffer;
        row.change(&probe);
        EXPECT_EQ(ValidateImage(&probe, row.depths), row.result);
    }
}

TEST(ImageBuffer, DefaultPaletteKeepsInsideTheTable) {
    ScopedImage image;
    ASSERT_EQ(AllocImage(&image.buffer, 4, 4, 1), kImageOk);
    image.buffer.Header->ClrUsed = 300;  // more than a 1-bit table can hold
    std::memset(image.buffer.Bits, 0xAB, 4);
    ASSERT_EQ(SetDefaultPalette(&image.buffer), kImageOk);
    EXPECT_EQ(image.buffer.ColorCount, 2);
    EXPECT_EQ(image.buffer.Bits[0], 0xAB);
}

TEST(ImageBuffer, CopyPaletteTakesCommonCountAndGreyFlag) {
    ScopedImage source, target;
    ASSERT_EQ(AllocImage(&source.buffer, 2, 2, 8), kImageOk);
    ASSERT_EQ(AllocImage(&target.buffer, 2, 2, 8), kImageOk);
    for (int i = 0; i < 256; ++i)
        source.buffer.Palette[i] = PaletteEntry{1, 2, static_cast<std::uint8_t>(i), 0};
    source.buffer.ColorCount = 16;
    source.buffer.Flags = 0;
    CopyPalette(source.buffer, &target.buffer);
    EXPECT_EQ(target.buffer.ColorCount, 16);
    EXPECT_EQ(target.buffer.Flags & kGreyScale, 0u);
    EXPECT_EQ(target.buffer.Palette[15].Red, 15);
    EXPECT_EQ(target.buffer.Palette[15].Blue, 1);
    EXPECT_EQ(target.buffer.Palette[16].Blue, 16);  // beyond the count: untouched grey ramp

    ScopedImage colour;
    ASSERT_EQ(AllocImage(&colour.buffer, 2, 2, 24), kImageOk);
    CopyPalette(source.buffer, &colour.buffer);  // no colour table: nothing to do
    EXPECT_EQ(colour.buffer.ColorCount, 0);
}

// Expected result of a region copy, computed pixel by pixel from a snapshot of the source.
void CheckRegionCopy(const std::vector<std::uint8_t>& source_rows, const ImageBuffer& source,
                     const ImageBuffer& target, int bytes_per_pixel) {
    const std::uint32_t columns =
        std::min(source.Right - source.Left, target.Right - target.Left) + 1;
    const std::uint32_t rows = std::min(source.Bottom - source.Top, target.Bottom - target.Top) + 1;
    for (std::uint32_t y = 0; y < rows; ++y)
        for (std::uint32_t x = 0; x < columns; ++x)
            for (int c = 0; c < bytes_per_pixel; ++c) {
                const std::ptrdiff_t from =
                    PixelOffset(source, source.Left + x, source.Top + y) + c;
                const std::uint8_t expected = source_rows[static_cast<std::size_t>(from)];
                ASSERT_EQ(Pixel(target, target.Left + x, target.Top + y)[c], expected)
                    << "pixel " << x << "," << y << " channel " << c;
            }
}

TEST(ImageBuffer, CopyRegionBetweenBuffers) {
    for (int bits : {8, 24}) {
        SCOPED_TRACE(bits);
        ScopedImage source, target;
        ASSERT_EQ(AllocImage(&source.buffer, 13, 9, bits), kImageOk);
        ASSERT_EQ(AllocImage(&target.buffer, 8, 11, bits), kImageOk);
        FillPattern(source.buffer);
        std::vector<std::uint8_t> snapshot(source.buffer.Bits,
                                           source.buffer.Bits + source.buffer.Header->SizeImage);
        source.buffer.Left = 3;
        source.buffer.Top = 2;
        target.buffer.Left = 1;
        target.buffer.Top = 4;
        ASSERT_EQ(CopyImageRegion(&source.buffer, &target.buffer), kImageOk);
        CheckRegionCopy(snapshot, source.buffer, target.buffer, bits / 8);
        // Outside the copied rectangle the target stays zero.
        EXPECT_EQ(Pixel(target.buffer, 0, 0)[0], 0);
        EXPECT_EQ(Pixel(target.buffer, 0, 10)[0], 0);
    }
}

TEST(ImageBuffer, CopyRegionInsideOneBlockBothDirections) {
    // Source and target regions overlap in the same block; shifting down and up must both
    // produce the snapshot's pixels.
    for (int shift : {-2, 2}) {
        SCOPED_TRACE(shift);
        ScopedImage image;
        ASSERT_EQ(AllocImage(&image.buffer, 16, 12, 24), kImageOk);
        FillPattern(image.buffer);
        std::vector<std::uint8_t> snapshot(image.buffer.Bits,
                                           image.buffer.Bits + image.buffer.Header->SizeImage);
        ImageBuffer source = image.buffer, target = image.buffer;
        source.Left = 2;
        source.Top = 3;
        source.Right = 11;
        source.Bottom = 8;
        target.Left = static_cast<std::uint32_t>(2 + shift);
        target.Top = static_cast<std::uint32_t>(3 + shift);
        target.Right = target.Left + 9;
        target.Bottom = target.Top + 5;
        ASSERT_EQ(CopyImageRegion(&source, &target), kImageOk);
        CheckRegionCopy(snapshot, source, target, 3);
    }
}

TEST(ImageBuffer, CopyRegionOneBitShiftsBits) {
    ScopedImage source, target;
    ASSERT_EQ(AllocImage(&source.buffer, 37, 3, 1), kImageOk);
    ASSERT_EQ(AllocImage(&target.buffer, 40, 3, 1), kImageOk);
    auto bit = [](std::uint32_t x, std::uint32_t y) { return ((x * 7 + y * 3) % 5) < 2; };
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 37; ++x)
            if (bit(x, y))
                Pixel(source.buffer, x, y)[0] |= static_cast<std::uint8_t>(0x80u >> (x & 7));
    std::memset(target.buffer.Bits, 0xFF, target.buffer.Header->SizeImage);
    source.buffer.Left = 5;
    target.buffer.Left = 11;
    ASSERT_EQ(CopyImageRegion(&source.buffer, &target.buffer), kImageOk);
    for (std::uint32_t y = 0; y < 3; ++y) {
        for (std::uint32_t x = 0; x < 40; ++x) {
            const std::uint8_t byte = Pixel(target.buffer, x, y)[0];
            const bool got = (byte >> (7 - (x & 7))) & 1;
            const bool want = (x < 11) ? true : bit(x - 11 + 5, y);
            ASSERT_EQ(got, want) << x << "," << y;
        }
    }
}

TEST(ImageBuffer, CopyRegionDepthsMustMatch) {
    ScopedImage a, b;
    ASSERT_EQ(AllocImage(&a.buffer, 4, 4, 8), kImageOk);
    ASSERT_EQ(AllocImage(&b.buffer, 4, 4, 24), kImageOk);
    EXPECT_EQ(CopyImageRegion(&a.buffer, &b.buffer), kBadDepth);
    ScopedImage c;
    ASSERT_EQ(AllocImage(&c.buffer, 4, 4, 16), kImageOk);
    EXPECT_EQ(CopyImageRegion(&c.buffer, &c.buffer), kBadDepth);
}

TEST(ImageResult, CodesHaveMeanings) {
    EXPECT_STREQ(to_string(kImageOk), "success");
    EXPECT_STREQ(to_string(kBadJpegData), "JPEG data corrupt or truncated");
    EXPECT_STREQ(to_string(-999), "unknown image result");
}

}  // namespace
}  // namespace image
