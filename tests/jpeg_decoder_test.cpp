// The JPEG decoder's rules on hand-built files: header refusals with their codes, table and scan
// checks, restart intervals, clipping into a region, zero quantisers; and its stages in
// isolation: Huffman tables and the bit reader, the inverse DCT shortcuts, the range and colour
// tables, MCU geometry, per-thread state.
#include "image/jpeg_decoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "image/image_buffer.h"
#include "image/jpeg_color.h"
#include "image/jpeg_huffman.h"
#include "image/jpeg_idct.h"
#include "image/jpeg_markers.h"
#include "image/jpeg_progressive.h"
#include "support/jpeg_corpus.h"

namespace image {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Entropy-coded bits, most significant first, padded with 1 bits and 0xFF-stuffed.
class BitWriter {
  public:
    void Put(std::uint32_t code, int length) {
        for (int i = length - 1; i >= 0; --i) {
            current_ = static_cast<std::uint8_t>(current_ << 1 | ((code >> i) & 1));
            if (++count_ == 8) Flush8();
        }
    }
    // DC difference with the 4-bit category codes of Builder::DcTable.
    void Dc(int diff) {
        int category = 0;
        for (int m = diff < 0 ? -diff : diff; m != 0; m >>= 1) ++category;
        Put(static_cast<std::uint32_t>(category), 4);
        if (category != 0)
            Put(static_cast<std::uint32_t>(diff >= 0 ? diff : diff + (1 << category) - 1),
                category);
    }
    void Eob() { Put(0x00, 8); }
    Bytes Finish() {
        while (count_ != 0) Put(1, 1);
        return bytes_;
    }

  private:
    void Flush8() {
        bytes_.push_back(current_);
        if (current_ == 0xFF) bytes_.push_back(0x00);
        current_ = 0;
        count_ = 0;
    }
    Bytes bytes_;
    std::uint8_t current_ = 0;
    int count_ = 0;
};

// Segments of a hand-made JPEG.
struct Builder {
    Bytes b;
    Builder& Raw(std::initializer_list<int> bytes) {
        for (int v : bytes) b.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    Builder& Append(const Bytes& bytes) {
        b.insert(b.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Builder& Segment(int marker, const Bytes& body) {
        Raw({0xFF, marker, static_cast<int>((body.size() + 2) >> 8),
             static_cast<int>((body.size() + 2) & 0xFF)});
        return Append(body);
    }
    Builder& Soi() { return Raw({0xFF, 0xD8}); }
    Builder& Eoi() { return Raw({0xFF, 0xD9}); }
    Builder& Jfif() { return Segment(0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}); }
    // Table id with every entry q (entry 0 given apart, to test a zero quantiser).
    Builder& Dqt(int id, int q, int dc_q) {
        Bytes body = {static_cast<std::uint8_t>(id)};
        body.push_back(static_cast<std::uint8_t>(dc_q));
        for (int i = 1; i < 64; ++i) body.push_back(static_cast<std::uint8_t>(q));
        return Segment(0xDB, body);
    }
    struct Comp {
        int id, sampling, table;
    };
    Builder& Sof(int marker, int width, int height, std::vector<Comp> comps, int precision = 8) {
        Bytes body = {
            static_cast<std::uint8_t>(precision), static_cast<std::uint8_t>(height >> 8),
            static_cast<std::uint8_t>(height),    static_cast<std::uint8_t>(width >> 8),
            static_cast<std::uint8_t>(width),     static_cast<std::uint8_t>(comps.size())};
        for (const Comp& c : comps)
            body.insert(body.end(),
                        {static_cast<std::uint8_t>(c.id), static_cast<std::uint8_t>(c.sampling),
                         static_cast<std::uint8_t>(c.table)});
        return Segment(marker, body);
    }
    // DC categories 0..11 as the 4-bit codes 0000..1011.
    Builder& DcTable(int id) {
        Bytes body = {
            static_cast<std::uint8_t>(id), 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        for (int s = 0; s < 12; ++s) body.push_back(static_cast<std::uint8_t>(s));
        return Segment(0xC4, body);
    }
    // AC symbols EOB, 0/1, ZRL, 1/1 as the 8-bit codes 0..3.
    Builder& AcTable(int id) {
        return Segment(0xC4, {static_cast<std::uint8_t>(0x10 | id),
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              4,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0x00,
                              0x01,
                              0xF0,
                              0x11});
    }
    Builder& Sos(std::vector<std::pair<int, int>> comps, int ss = 0, int se = 63, int ahal = 0) {
        Bytes body = {static_cast<std::uint8_t>(comps.size())};
        for (auto [id, tables] : comps)
            body.insert(body.end(),
                        {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(tables)});
        body.insert(body.end(), {static_cast<std::uint8_t>(ss), static_cast<std::uint8_t>(se),
                                 static_cast<std::uint8_t>(ahal)});
        return Segment(0xDA, body);
    }
};

// A grey picture of width x 8 whose blocks have the given DC values (quantiser dc_q) and no AC.
Bytes GreyBlocks(int width, const std::vector<int>& dc_values, int dc_q = 1) {
    BitWriter bits;
    int predictor = 0;
    for (int dc : dc_values) {
        bits.Dc(dc - predictor);
        predictor = dc;
        bits.Eob();
    }
    Builder j;
    j.Soi()
        .Jfif()
        .Dqt(0, 1, dc_q)
        .Sof(0xC0, width, 8, {{1, 0x11, 0}})
        .DcTable(0)
        .AcTable(0)
        .Sos({{1, 0x00}});
    return j.Append(bits.Finish()).Eoi().b;
}

// Sample value of a flat block with dequantised DC coefficient dc: the column pass gives dc * 4
// (stored as 16 bits), the row pass (x0 << 13 + 2^17) >> 18 through the range table.
int FlatSample(int dc) {
    const auto column = static_cast<std::int16_t>(dc * 4);
    const std::int64_t y = (std::int64_t{column} * 8192 + 131072) >> 18;
    return jpeg::SampleRange()[(y & 1023) + 128];
}

// A DHT body: class/id byte, 16 counts, the symbols.
Bytes HuffmanBody(int class_id, std::vector<int> counts, std::vector<int> symbols) {
    Bytes body = {static_cast<std::uint8_t>(class_id)};
    counts.resize(16, 0);
    for (int c : counts) body.push_back(static_cast<std::uint8_t>(c));
    for (int v : symbols) body.push_back(static_cast<std::uint8_t>(v));
    return body;
}

struct Decoded {
    ImageResult result = kImageOk;
    std::int32_t extended = 0;
    ImageBuffer buffer{};
    ~Decoded() { FreeImage(&buffer); }
};

Decoded DecodeInto(const Bytes& jpeg, int width, int height, int bits) {
    Decoded d;
    EXPECT_EQ(AllocImage(&d.buffer, width, height, bits), kImageOk);
    d.result = DecodeJpeg(jpeg.data(), jpeg.size(), &d.buffer);
    d.extended = ExtendedError();
    return d;
}

std::uint8_t GreyAt(const ImageBuffer& image, std::uint32_t x, std::uint32_t y) {
    return image.Bits[PixelOffset(image, x, y)];
}

TEST(JpegDecoder, FlatGreyBlocksDecodeToTheirLevels) {
    const Bytes jpeg = GreyBlocks(16, {576, -200});  // 576 / 8 + 128 = 200; -200 / 8 + 128 = 103
    JpegInfo info{};
    ASSERT_EQ(ReadJpegInfo(jpeg.data(), jpeg.size(), &info), kImageOk);
    EXPECT_EQ(info.FrameType, kFrameBaseline);
    EXPECT_EQ(info.Width, 16);
    EXPECT_EQ(info.Height, 8);
    EXPECT_EQ(info.Components, 1);
    EXPECT_EQ(info.Precision, 8);
    EXPECT_EQ(info.Sampling[0], 0x11);
    EXPECT_EQ(info.Sampling[1], 0);
    EXPECT_EQ(info.BitsPerPixel, 8);
    Decoded d = DecodeInto(jpeg, 16, 8, 8);
    ASSERT_EQ(d.result, kImageOk);
    EXPECT_EQ(GreyAt(d.buffer, 0, 0), 200);
    EXPECT_EQ(GreyAt(d.buffer, 7, 7), 200);
    EXPECT_EQ(GreyAt(d.buffer, 8, 0), 103);
    EXPECT_EQ(GreyAt(d.buffer, 15, 7), 103);
    EXPECT_EQ(FlatSample(576), 200);
    EXPECT_EQ(d.buffer.Flags & kGreyScale, kGreyScale);
}

TEST(JpegDecoder, ZeroQuantiserActsAsOne) {
    Decoded zero = DecodeInto(GreyBlocks(8, {320}, 0), 8, 8, 8);
    Decoded one = DecodeInto(GreyBlocks(8, {320}, 1), 8, 8, 8);
    ASSERT_EQ(zero.result, kImageOk);
    ASSERT_EQ(one.result, kImageOk);
    EXPECT_EQ(GreyAt(zero.buffer, 3, 3), GreyAt(one.buffer, 3, 3));
    EXPECT_EQ(GreyAt(zero.buffer, 3, 3), 168);
}

TEST(JpegDecoder, WritesAtTheRegionAndClipsAtItsEnd) {
    const Bytes jpeg = GreyBlocks(16, {400, -400});
    Decoded d;
    ASSERT_EQ(AllocImage(&d.buffer, 12, 6, 8), kImageOk);
    std::memset(d.buffer.Bits, 7, d.buffer.Header->SizeImage);
    d.buffer.Left = 2;
    d.buffer.Top = 1;
    d.buffer.Right = 10;
    d.buffer.Bottom = 4;
    ASSERT_EQ(DecodeJpeg(jpeg.data(), jpeg.size(), &d.buffer), kImageOk);
    EXPECT_EQ(GreyAt(d.buffer, 1, 1), 7);    // left of the region
    EXPECT_EQ(GreyAt(d.buffer, 2, 0), 7);    // above it
    EXPECT_EQ(GreyAt(d.buffer, 2, 1), 178);  // picture (0, 0)
    EXPECT_EQ(GreyAt(d.buffer, 9, 4), 178);  // picture (7, 3)
    EXPECT_EQ(GreyAt(d.buffer, 10, 4), 78);  // picture (8, 3), second block
    EXPECT_EQ(GreyAt(d.buffer, 11, 4), 7);   // right of the region
    EXPECT_EQ(GreyAt(d.buffer, 10, 5), 7);   // below it
}

TEST(JpegDecoder, RestartIntervalResetsPredictorsAndIgnoresMarkerNumbers) {
    // Four blocks, restart after every one; each block's DC is coded against 0. The marker
    // numbers are deliberately out of sequence.
    Builder j;
    j.Soi()
        .Jfif()
        .Dqt(0, 1, 1)
        .Sof(0xC0, 32, 8, {{1, 0x11, 0}})
        .DcTable(0)
        .AcTable(0)
        .Segment(0xDD, {0, 1})
        .Sos({{1, 0x00}});
    const int values[] = {80, -160, 240, 0};
    const int markers[] = {0xD0, 0xD5, 0xD2};
    for (int i = 0; i < 4; ++i) {
        BitWriter bits;
        bits.Dc(values[i]);
        bits.Eob();
        j.Append(bits.Finish());
        if (i < 3) j.Raw({0xFF, markers[i]});
    }
    j.Eoi();
    Decoded d = DecodeInto(j.b, 32, 8, 8);
    ASSERT_EQ(d.result, kImageOk);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(GreyAt(d.buffer, static_cast<std::uint32_t>(8 * i + 4), 2),
                  FlatSample(values[i]));
    }
}

TEST(JpegDecoder, InputChecks) {
    const Bytes good = GreyBlocks(8, {0});
    JpegInfo info{};
    EXPECT_EQ(ReadJpegInfo(nullptr, 100, &info), kBadJpegInput);
    EXPECT_EQ(ReadJpegInfo(good.data(), 0, &info), kBadJpegInput);
    EXPECT_EQ(ReadJpegInfo(good.data(), good.size(), nullptr), kBadJpegInput);
    ImageBuffer target{};
    ASSERT_EQ(AllocImage(&target, 8, 8, 8), kImageOk);
    EXPECT_EQ(DecodeJpeg(nullptr, 100, &target), kBadJpegInput);
    EXPECT_EQ(DecodeJpeg(good.data(), 0, &target), kBadJpegInput);
    ImageBuffer cleared{};
    EXPECT_EQ(DecodeJpeg(good.data(), good.size(), &cleared), kBadPixels);
    FreeImage(&target);

    // Short frames are parsed: a frame of a few bytes is still "not a JPEG", not unreadable.
    struct Row {
        const char* what;
        Bytes bytes;
        std::int32_t extended;
    };
    const Row rows[] = {
        {"one byte", {0xFF}, kJpegInputEnded},
        {"no marker at all", {'h', 'e', 'l', 'l', 'o'}, kJpegInputEnded},
        {"EOI first", {0xFF, 0xD9}, kJpegNoSoi},
        {"APP0 first", {0xFF, 0xE0, 0x00, 0x02}, kJpegNoSoi},
        {"SOI alone", {0xFF, 0xD8}, kJpegInputEnded},
        {"segment length 1", {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x01, 0xFF, 0xD9}, kJpegBadSegment},
        {"segment past the end", {0xFF, 0xD8, 0xFF, 0xFE, 0x01, 0x00, 0x00}, kJpegInputEnded},
        {"APP0 too short for JFIF",
         {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x03, 'J', 0xFF, 0xDA},
         kJpegNotJfif},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ReadJpegInfo(row.bytes.data(), row.bytes.size(), &info), kBadJpegHeader);
        EXPECT_EQ(ExtendedError(), row.extended);
    }
}

TEST(JpegDecoder, HeaderAcceptedAroundTheJfifRules) {
    const Bytes good = GreyBlocks(8, {64});
    struct Row {
        const char* what;
        Bytes bytes;
    };
    Bytes garbage_first = {'x', 'y', 'z'};
    garbage_first.insert(garbage_first.end(), good.begin(), good.end());
    Bytes second_app0 = {0xFF, 0xD8};
    Builder extra;
    extra.Jfif().Segment(0xE0, {'E', 'x', 'i', 'f'});
    second_app0.insert(second_app0.end(), extra.b.begin(), extra.b.end());
    second_app0.insert(second_app0.end(), good.begin() + 2, good.end());
    Bytes no_app0 = {0xFF, 0xD8};
    no_app0.insert(no_app0.end(), good.begin() + 2 + 18, good.end());
    Bytes fill_bytes = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF};
    fill_bytes.insert(fill_bytes.end(), good.begin() + 3, good.end());
    const Row rows[] = {{"bytes before SOI are skipped", garbage_first},
                        {"a later APP0 may be anything", second_app0},
                        {"no APP0 at all", no_app0},
                        {"fill bytes before a marker", fill_bytes}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Decoded d = DecodeInto(row.bytes, 8, 8, 8);
        EXPECT_EQ(d.result, kImageOk) << d.extended;
        EXPECT_EQ(GreyAt(d.buffer, 4, 4), FlatSample(64));
    }
}

TEST(JpegDecoder, FrameRefusals) {
    auto grey = [](int marker, int width, int height, std::vector<Builder::Comp> comps,
                   int precision = 8) {
        Builder j;
        j.Soi()
            .Jfif()
            .Dqt(0, 1, 1)
            .Sof(marker, width, height, comps, precision)
            .DcTable(0)
            .AcTable(0);
        j.Sos({{1, 0}});
        BitWriter bits;
        bits.Dc(0);
        bits.Eob();
        return j.Append(bits.Finish()).Eoi().b;
    };
    struct Row {
        const char* what;
        Bytes bytes;
        int target_bits;
        ImageResult result;
        std::int32_t extended;
    };
    const Row rows[] = {
        {"width 0", grey(0xC0, 0, 8, {{1, 0x11, 0}}), 8, kBadSize, 0},
        {"height 0", grey(0xC0, 8, 0, {{1, 0x11, 0}}), 8, kBadSize, 0},
        {"width 32768", grey(0xC0, 32768, 8, {{1, 0x11, 0}}), 8, kBadSize, 0},
        {"height 32768", grey(0xC0, 8, 32768, {{1, 0x11, 0}}), 8, kBadSize, 0},
        {"two components", grey(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}}), 24, kBadJpegHeader,
         kJpegComponentCount},
        {"precision 12", grey(0xC1, 8, 8, {{1, 0x11, 0}}, 12), 8, kBadJpegHeader, kJpegPrecision},
        {"lossless", grey(0xC3, 8, 8, {{1, 0x11, 0}}), 8, kBadJpegHeader, kJpegFrameType},
        {"arithmetic", grey(0xC9, 8, 8, {{1, 0x11, 0}}), 8, kBadJpegHeader, kJpegFrameType},
        {"sampling 0", grey(0xC0, 8, 8, {{1, 0x01, 0}}), 8, kBadJpegHeader, kJpegComponent},
        {"sampling 5", grey(0xC0, 8, 8, {{1, 0x51, 0}}), 8, kBadJpegHeader, kJpegComponent},
        {"quantiser table 4", grey(0xC0, 8, 8, {{1, 0x11, 4}}), 8, kBadJpegHeader, kJpegComponent},
        {"quantiser table undefined", grey(0xC0, 8, 8, {{1, 0x11, 2}}), 8, kBadJpegHeader,
         kJpegComponent},
        {"11 blocks per MCU", grey(0xC0, 8, 8, {{1, 0x33, 0}, {2, 0x11, 0}, {3, 0x11, 0}}), 24,
         kBadJpegHeader, kJpegTooManyBlocks},
        {"10 blocks per MCU", grey(0xC0, 8, 8, {{1, 0x42, 0}, {2, 0x11, 0}, {3, 0x11, 0}}), 24,
         kImageOk, 0},
        {"grey into 24 bits", grey(0xC0, 8, 8, {{1, 0x11, 0}}), 24, kBadDepth, 0},
        {"colour into 8 bits", grey(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}}), 8,
         kBadDepth, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Decoded d = DecodeInto(row.bytes, 8, 8, row.target_bits);
        EXPECT_EQ(d.result, row.result);
        EXPECT_EQ(d.extended, row.extended);
    }
}

TEST(JpegDecoder, TableAndScanRefusals) {
    auto with = [](const Bytes& tables, const Bytes& scan_header, int frame = 0xC0) {
        Builder j;
        j.Soi()
            .Jfif()
            .Dqt(0, 1, 1)
            .Sof(frame, 8, 8, {{1, 0x11, 0}})
            .Append(tables)
            .Segment(0xDA, scan_header);
        BitWriter bits;
        bits.Dc(0);
        bits.Eob();
        return j.Append(bits.Finish()).Eoi().b;
    };
    Builder tables;
    tables.DcTable(0).AcTable(0);
    const Bytes scan = {1, 1, 0x00, 0, 63, 0};
    Builder big;  // 200 codes of 9 bits and 100 of 10: 300 symbols
    big.Segment(0xC4,
                HuffmanBody(0x10, {0, 0, 0, 0, 0, 0, 0, 0, 200, 100}, std::vector<int>(300, 1)));
    Builder overfull;  // three codes of one bit
    overfull.Segment(0xC4, HuffmanBody(0x00, {3}, {0, 1, 2}));
    Builder dc_symbol;
    dc_symbol.Segment(0xC4, HuffmanBody(0x00, {1}, {16}));
    Builder dht_id;
    dht_id.Segment(0xC4, HuffmanBody(0x04, {1}, {0}));
    Builder dqt_id;
    dqt_id.Segment(0xDB, Bytes(65, 1)).b[4] = 0x05;
    struct Row {
        const char* what;
        Bytes bytes;
        ImageResult info, decode;
        std::int32_t extended;
    };
    Builder dqt_and_tables;
    dqt_and_tables.Append(dqt_id.b).Append(tables.b);
    const Row rows[] = {
        {"Huffman counts above 256", with(big.b, scan), kBadJpegHeader, kBadJpegHeader,
         kJpegBadHuffman},
        {"overfull Huffman code", with(overfull.b, scan), kBadJpegHeader, kBadJpegHeader,
         kJpegBadHuffman},
        {"DC category 16", with(dc_symbol.b, scan), kBadJpegHeader, kBadJpegHeader,
         kJpegBadHuffman},
        {"DHT id 4", with(dht_id.b, scan), kBadJpegHeader, kBadJpegHeader, kJpegTableId},
        {"DQT id 5", with(dqt_and_tables.b, scan), kBadJpegHeader, kBadJpegHeader, kJpegTableId},
        {"scan uses undefined AC table", with(tables.b, {1, 1, 0x01, 0, 63, 0}), kImageOk,
         kBadJpegData, kJpegNoHuffmanTable},
        {"scan uses table id 7", with(tables.b, {1, 1, 0x70, 0, 63, 0}), kImageOk, kBadJpegData,
         kJpegNoHuffmanTable},
        {"scan of 0 components", with(tables.b, {0, 0, 63, 0}), kImageOk, kBadJpegHeader,
         kJpegBadScan},
        {"scan of 5 components", with(tables.b, {5, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 63, 0}),
         kImageOk, kBadJpegHeader, kJpegBadScan},
        {"scan header too short", with(tables.b, {2, 1, 0, 0, 63, 0}), kImageOk, kBadJpegHeader,
         kJpegBadSegment},
        {"unknown component id uses the first", with(tables.b, {1, 9, 0x00, 0, 63, 0}), kImageOk,
         kImageOk, 0},
        {"progressive Ss 0 with Se 1", with(tables.b, {1, 1, 0x00, 0, 1, 0}, 0xC2), kImageOk,
         kBadJpegHeader, kJpegBadScan},
        {"progressive Se 64", with(tables.b, {1, 1, 0x00, 1, 64, 0}, 0xC2), kImageOk,
         kBadJpegHeader, kJpegBadScan},
        {"progressive Ah not Al + 1", with(tables.b, {1, 1, 0x00, 0, 0, 0x20}, 0xC2), kImageOk,
         kBadJpegHeader, kJpegBadScan},
        {"progressive Al 14", with(tables.b, {1, 1, 0x00, 0, 0, 0x0E}, 0xC2), kImageOk,
         kBadJpegHeader, kJpegBadScan},
        {"progressive DC scan", with(tables.b, {1, 1, 0x00, 0, 0, 0x00}, 0xC2), kImageOk, kImageOk,
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        JpegInfo info{};
        EXPECT_EQ(ReadJpegInfo(row.bytes.data(), row.bytes.size(), &info), row.info);
        Decoded d = DecodeInto(row.bytes, 8, 8, 8);
        EXPECT_EQ(d.result, row.decode);
        EXPECT_EQ(d.extended, row.extended);
    }
}

TEST(JpegDecoder, ProgressiveAcScanOfTwoComponentsIsRefused) {
    Builder j;
    j.Soi()
        .Jfif()
        .Dqt(0, 1, 1)
        .Sof(0xC2, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}})
        .DcTable(0)
        .AcTable(0);
    j.Sos({{1, 0}, {2, 0}}, 1, 5, 0).Raw({0x00, 0xFF, 0xD9});
    Decoded d = DecodeInto(j.b, 8, 8, 24);
    EXPECT_EQ(d.result, kBadJpegHeader);
    EXPECT_EQ(d.extended, kJpegBadScan);
}

TEST(JpegDecoder, UnlistedFrameKindPassesInfoWithoutAFrame) {
    Builder j;
    j.Soi()
        .Jfif()
        .Dqt(0, 1, 1)
        .Sof(0xC5, 8, 8, {{1, 0x11, 0}})
        .DcTable(0)
        .AcTable(0)
        .Sos({{1, 0}})
        .Raw({0x00, 0xFF, 0xD9});
    JpegInfo info{};
    ASSERT_EQ(ReadJpegInfo(j.b.data(), j.b.size(), &info), kImageOk);
    EXPECT_EQ(info.FrameType, -1);
    EXPECT_EQ(info.Width, 0);
    EXPECT_EQ(info.Height, 0);
    EXPECT_EQ(info.BitsPerPixel, 0);
    ImageBuffer none{};
    EXPECT_EQ(AllocImage(&none, info.Width, info.Height, info.BitsPerPixel), kBadDepth);
    Decoded d = DecodeInto(j.b, 8, 8, 8);
    EXPECT_EQ(d.result, kBadJpegHeader);
    EXPECT_EQ(d.extended, kJpegFrameType);
}

TEST(JpegDecoder, FiveComponentsAreRefusedByTheInfoPass) {
    Builder j;
    j.Soi().Sof(0xC0, 8, 8, {{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}, {5, 0x11, 0}});
    JpegInfo info{};
    EXPECT_EQ(ReadJpegInfo(j.b.data(), j.b.size(), &info), kBadJpegHeader);
    EXPECT_EQ(ExtendedError(), kJpegComponent);
}

TEST(JpegDecoder, SequentialDataCutShortIsADataFault) {
    const Bytes full = GreyBlocks(64, {8, 16, 24, 32, 40, 48, 56, 64});
    Bytes cut(full.begin(), full.end() - 5);  // EOI and the last blocks gone
    Decoded d = DecodeInto(cut, 64, 8, 8);
    EXPECT_EQ(d.result, kBadJpegData);
    EXPECT_EQ(d.extended, kJpegInputEnded);
    // A marker in the middle of the data ends it just the same.
    Bytes marker(full.begin(), full.end() - 6);  // the data up to their last four bytes
    marker.insert(marker.end(), {0xFF, 0xD9, full[full.size() - 6], full[full.size() - 5]});
    Decoded m = DecodeInto(marker, 64, 8, 8);
    EXPECT_EQ(m.result, kBadJpegData);
}

TEST(JpegDecoder, ProgressiveCutInsideTheFirstScanFailsAndAfterItShowsWhatCame) {
    const auto& corpus = testsupport::DecodableCorpus();
    const auto it = std::find_if(corpus.begin(), corpus.end(),
                                 [](const auto& c) { return c.name == "progressive 2x2"; });
    ASSERT_NE(it, corpus.end());
    const auto ranges = testsupport::EntropyRanges(it->bytes);
    ASSERT_GE(ranges.size(), 3u);
    // Tables between scans: a progressive script carries its own Huffman tables per scan.
    bool tables_between_scans = false;
    for (std::size_t at = ranges[0].second; at + 1 < ranges[1].first; ++at)
        tables_between_scans |= it->bytes[at] == 0xFF && it->bytes[at + 1] == 0xC4;
    EXPECT_TRUE(tables_between_scans);

    const std::size_t inside_first = (ranges[0].first + ranges[0].second) / 2;
    const Bytes cut_first(it->bytes.begin(),
                          it->bytes.begin() + static_cast<std::ptrdiff_t>(inside_first));
    Decoded first = DecodeInto(cut_first, 227, 149, 24);
    EXPECT_EQ(first.result, kBadJpegData);
    EXPECT_EQ(first.extended, kJpegInputEnded);

    const Bytes after_first(it->bytes.begin(),
                            it->bytes.begin() + static_cast<std::ptrdiff_t>(ranges[0].second));
    Decoded one = DecodeInto(after_first, 227, 149, 24);
    EXPECT_EQ(one.result, kImageOk);

    const std::size_t inside_third = (ranges[2].first + ranges[2].second) / 2;
    const Bytes cut_third(it->bytes.begin(),
                          it->bytes.begin() + static_cast<std::ptrdiff_t>(inside_third));
    Decoded third = DecodeInto(cut_third, 227, 149, 24);
    EXPECT_EQ(third.result, kImageOk);
}

// What a decode gives: its result, finer cause and, when it succeeded, its pixels.
struct Outcome {
    ImageResult result = kImageOk;
    std::int32_t extended = 0;
    Bytes pixels;
    bool operator==(const Outcome&) const = default;
};

Outcome DecodeWithStripes(const Bytes& jpeg, const JpegInfo& info, int stripe_rows) {
    jpeg::SetCoefficientStripes(stripe_rows);
    Decoded d = DecodeInto(jpeg, info.Width, info.Height, info.BitsPerPixel);
    jpeg::SetCoefficientStripes(0);
    Outcome outcome{d.result, d.extended, {}};
    if (d.result == kImageOk)
        outcome.pixels.assign(d.buffer.Bits,
                              d.buffer.Bits + d.buffer.RowBytes * static_cast<int>(info.Height));
    return outcome;
}

// Multi-scan pictures decoded a stripe of MCU rows at a time give what the decode of each scan in
// turn into a store of the whole picture gives, whole and damaged: cut anywhere, bytes changed
// (into other data, stuffing, markers), restart markers taken out (then where a scan ends depends
// on how far its decode gets), and more scans than are planned ahead.
TEST(JpegDecoder, StripesOfAnyHeightGiveWhatTheWholePictureGives) {
    std::vector<std::pair<std::string, Bytes>> pictures;
    for (const auto& c : testsupport::DecodableCorpus())
        if (c.multi_scan) pictures.emplace_back(c.name, c.bytes);
    ASSERT_GE(pictures.size(), 10u);
    // One band of one coefficient a scan for luma: 66 scans.
    const std::string dir = testsupport::SourceDir();
    ASSERT_FALSE(dir.empty());
    std::string script = "0,1,2: 0-0, 0, 0;\n";
    for (int k = 1; k < 64; ++k)
        script += "0: " + std::to_string(k) + "-" + std::to_string(k) + ", 0, 0;\n";
    script += "1: 1-63, 0, 0;\n2: 1-63, 0, 0;\n";
    const std::string script_path = dir + "/single_bands.scan";
    ASSERT_TRUE(testsupport::WriteFileBytes(script_path, Bytes(script.begin(), script.end())));
    const std::string many_path = dir + "/single_bands.jpg";
    ASSERT_TRUE(testsupport::RunQuiet("cjpeg -scans " + script_path + " -restart 1 -outfile " +
                                      many_path + " " + dir + "/picture.ppm"));
    pictures.emplace_back("66 scans", testsupport::ReadFileBytes(many_path));

    std::mt19937 random(7);
    int variants = 0, failures = 0;
    for (const auto& [name, bytes] : pictures) {
        JpegInfo info{};
        ASSERT_EQ(ReadJpegInfo(bytes.data(), bytes.size(), &info), kImageOk) << name;
        const auto ranges = testsupport::EntropyRanges(bytes);
        ASSERT_FALSE(ranges.empty()) << name;
        std::vector<std::pair<std::string, Bytes>> damaged{{"whole", bytes}};
        const std::size_t first = ranges.front().first, last = ranges.back().second;
        for (int i = 0; i < 12; ++i) {
            const std::size_t at = first + random() % (last - first);
            damaged.emplace_back(
                "cut at " + std::to_string(at),
                Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at)));
            for (std::uint8_t value :
                 {static_cast<std::uint8_t>(bytes[at] ^ 0x5A), std::uint8_t{0xFF}}) {
                Bytes changed = bytes;
                changed[at] = value;
                damaged.emplace_back("byte " + std::to_string(at) + " = " + std::to_string(value),
                                     changed);
            }
        }
        // Two faults: the first scan stops late on a marker in its data, the second meets codes
        // of all one bits early; the first fault in the order of the data is the one reported.
        if (ranges.size() >= 2 && ranges[1].second - ranges[1].first > 32) {
            Bytes two = bytes;
            const std::size_t late = ranges[0].first + (ranges[0].second - ranges[0].first) * 7 / 8;
            two[late] = 0xFF;
            two[late + 1] = 0x01;
            const std::size_t early = ranges[1].first + (ranges[1].second - ranges[1].first) / 8;
            for (std::size_t i = 0; i < 8; i += 2) {
                two[early + i] = 0xFF;
                two[early + i + 1] = 0x00;
            }
            damaged.emplace_back("late stop in the first scan, bad codes early in the second", two);
        }
        // Restart markers taken out: the first, one in the middle, every third.
        std::vector<std::size_t> restarts;
        for (const auto& [from, to] : ranges)
            for (std::size_t at = from; at + 1 < to; ++at)
                if (bytes[at] == 0xFF && bytes[at + 1] >= 0xD0 && bytes[at + 1] <= 0xD7)
                    restarts.push_back(at);
        auto without = [&](auto keep) {
            Bytes out;
            for (std::size_t at = 0; at < bytes.size(); ++at) {
                const auto found = std::find(restarts.begin(), restarts.end(), at);
                if (found != restarts.end() && !keep(found - restarts.begin())) {
                    ++at;
                    continue;
                }
                out.push_back(bytes[at]);
            }
            return out;
        };
        if (!restarts.empty()) {
            const auto middle = static_cast<std::ptrdiff_t>(restarts.size() / 2);
            damaged.emplace_back("first restart out",
                                 without([](std::ptrdiff_t i) { return i != 0; }));
            damaged.emplace_back("middle restart out",
                                 without([&](std::ptrdiff_t i) { return i != middle; }));
            damaged.emplace_back("every third restart out",
                                 without([](std::ptrdiff_t i) { return i % 3 != 0; }));
        }
        for (const auto& [what, jpeg] : damaged) {
            SCOPED_TRACE(name + ", " + what);
            const Outcome whole = DecodeWithStripes(jpeg, info, -1);
            ++variants;
            failures += whole.result != kImageOk;
            for (int rows : {0, 1, 3})
                EXPECT_TRUE(DecodeWithStripes(jpeg, info, rows) == whole) << rows;
        }
    }
    // The damage reaches both outcomes.
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, variants);
}

TEST(JpegDecoder, FourComponentsConvertTheirFirstThreeAsYCbCr) {
    // TurboJPEG writes CMYK as YCCK: its first three components are YCbCr of (255 - C, 255 - M,
    // 255 - Y), so our picture must be TurboJPEG's own CMYK decode turned round, within 1.
    constexpr int kWidth = 37, kHeight = 21;
    std::vector<unsigned char> cmyk(kWidth * kHeight * 4);
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const int x = i % kWidth, y = i / kWidth;
        cmyk[4 * i + 0] = static_cast<unsigned char>(x * 6);
        cmyk[4 * i + 1] = static_cast<unsigned char>(y * 11);
        cmyk[4 * i + 2] = static_cast<unsigned char>((x + y) * 4);
        cmyk[4 * i + 3] = static_cast<unsigned char>(x * y % 256);
    }
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(compressor, cmyk.data(), kWidth, 0, kHeight, TJPF_CMYK, &jpeg, &size,
                          TJSAMP_420, 90, TJFLAG_ACCURATEDCT),
              0);
    tjDestroy(compressor);
    const Bytes bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjhandle decompressor = tjInitDecompress();
    std::vector<unsigned char> expected(kWidth * kHeight * 4);
    ASSERT_EQ(tjDecompress2(decompressor, bytes.data(), bytes.size(), expected.data(), kWidth, 0,
                            kHeight, TJPF_CMYK, TJFLAG_ACCURATEDCT | TJFLAG_FASTUPSAMPLE),
              0);
    tjDestroy(decompressor);

    JpegInfo info{};
    ASSERT_EQ(ReadJpegInfo(bytes.data(), bytes.size(), &info), kImageOk);
    EXPECT_EQ(info.Components, 4);
    EXPECT_EQ(info.BitsPerPixel, 24);
    Decoded d = DecodeInto(bytes, kWidth, kHeight, 24);
    ASSERT_EQ(d.result, kImageOk);
    int worst = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t* bgr =
                d.buffer.Bits +
                PixelOffset(d.buffer, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            const unsigned char* c = &expected[static_cast<std::size_t>(4 * (y * kWidth + x))];
            worst = std::max({worst, std::abs(bgr[2] - (255 - c[0])),
                              std::abs(bgr[1] - (255 - c[1])), std::abs(bgr[0] - (255 - c[2]))});
        }
    EXPECT_LE(worst, 1);
}

TEST(JpegDecoder, ExtendedErrorIsPerThreadAndDecodesRunInParallel) {
    const Bytes jpeg = GreyBlocks(16, {100, 200});
    const Bytes bad = {0xFF, 0xD9};
    JpegInfo info{};
    ASSERT_EQ(ReadJpegInfo(bad.data(), bad.size(), &info), kBadJpegHeader);
    std::int32_t other_thread = 1;
    std::thread([&] { other_thread = ExtendedError(); }).join();
    EXPECT_EQ(other_thread, 0);
    EXPECT_EQ(ExtendedError(), kJpegNoSoi);

    std::vector<int> results(4, -1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                Decoded d = DecodeInto(jpeg, 16, 8, 8);
                if (d.result != kImageOk || GreyAt(d.buffer, 12, 3) != FlatSample(200)) return;
            }
            results[static_cast<std::size_t>(t)] = 0;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(results, std::vector<int>(4, 0));
}

TEST(JpegStages, HuffmanLookaheadAndLongCodesDecodeTheSameStream) {
    // Lengths 2, 3, 9 and 16: two codes each, decoded through the lookahead and the slow path.
    std::uint8_t counts[16] = {0, 2, 2, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 2};
    const std::uint8_t symbols[] = {10, 11, 20, 21, 30, 31, 40, 41};
    jpeg::HuffmanTable table;
    ASSERT_TRUE(jpeg::BuildHuffmanTable(counts, symbols, false, &table));
    // Canonical codes: 00 01 | 100 101 | 110000000 110000001 | 1100000100000000 ...01
    BitWriter bits;
    const std::pair<std::uint32_t, int> codes[] = {{0b00, 2},        {0b101, 3},
                                                   {0b110000001, 9}, {0b1100000100000001, 16},
                                                   {0b01, 2},        {0b1100000100000000, 16},
                                                   {0b100, 3},       {0b110000000, 9}};
    for (auto [code, length] : codes) bits.Put(code, length);
    const Bytes data = bits.Finish();
    jpeg::BitReader reader;
    reader.Start(data.data(), data.size(), 0);
    for (int expected : {10, 21, 31, 41, 11, 40, 20, 30}) {
        reader.Fill();
        EXPECT_EQ(jpeg::DecodeSymbol(reader, table), expected);
    }
    EXPECT_FALSE(reader.Overrun());
    // All ones for 16 bits is no code.
    const Bytes ones = {0xFF, 0x00, 0xFF, 0x00};
    reader.Start(ones.data(), ones.size(), 0);
    reader.Fill();
    EXPECT_EQ(jpeg::DecodeSymbol(reader, table), -1);
}

// The lookahead entry of a prefix, derived code by code: (length << 8) | symbol of the code of at
// most 10 bits it starts with, else 0.
std::uint16_t ExpectedLookahead(const std::uint8_t* counts, const std::uint8_t* symbols,
                                int prefix) {
    int code = 0, index = 0;
    for (int length = 1; length <= jpeg::kLookaheadBits; ++length, code <<= 1)
        for (int i = 0; i < counts[length - 1]; ++i, ++code, ++index)
            if (prefix >> (jpeg::kLookaheadBits - length) == code)
                return static_cast<std::uint16_t>(length << 8 | symbols[index]);
    return 0;
}

TEST(JpegStages, HuffmanTableEntriesDoNotDependOnWhatTheTableHeldBefore) {
    // Luminance code lengths with symbols that put end of block, sixteen zeros, a zero run of
    // another length and long value fields among the short codes.
    const std::uint8_t ac_counts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
    std::uint8_t ac_symbols[162] = {0x01, 0x00, 0xF0, 0x30, 0x0A, 0x12, 0x1F, 0x04, 0x21, 0x05};
    std::uint32_t noise = 7;
    for (int i = 10; i < 162; ++i) {
        noise = noise * 1664525u + 1013904223u;
        ac_symbols[i] = static_cast<std::uint8_t>(noise >> 24);
    }
    const std::uint8_t dc_counts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1};
    const std::uint8_t dc_symbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    for (const bool dc : {false, true}) {
        SCOPED_TRACE(dc ? "dc" : "ac");
        const std::uint8_t* counts = dc ? dc_counts : ac_counts;
        const std::uint8_t* symbols = dc ? dc_symbols : ac_symbols;
        for (const int garbage : {0x00, 0xA5, 0xFF}) {
            SCOPED_TRACE(garbage);
            jpeg::HuffmanTable table;
            std::memset(static_cast<void*>(&table), garbage, sizeof table);
            ASSERT_TRUE(jpeg::BuildHuffmanTable(counts, symbols, dc, &table));
            for (int prefix = 0; prefix < (1 << jpeg::kLookaheadBits); ++prefix) {
                const std::uint16_t entry = ExpectedLookahead(counts, symbols, prefix);
                ASSERT_EQ(table.lookahead[static_cast<std::size_t>(prefix)], entry) << prefix;
                const int length = entry >> 8, run = (entry >> 4) & 15, size = entry & 15;
                std::int32_t fast = 0;
                if (entry != 0 && size == 0) {
                    if (dc)
                        fast = length;
                    else if (run == 0)
                        fast = jpeg::kEndOfBlock << 8 | length;
                    else if (run == 15)
                        fast = 15 << 8 | length;
                } else if (entry != 0 && length + size <= jpeg::kLookaheadBits) {
                    const auto value = static_cast<std::uint32_t>(
                                           prefix >> (jpeg::kLookaheadBits - length - size)) &
                                       ((1u << size) - 1);
                    fast = static_cast<std::int32_t>(
                               static_cast<std::uint32_t>(jpeg::Extend(value, size)) << 16) |
                           run << 8 | (length + size);
                }
                ASSERT_EQ(table.fast[static_cast<std::size_t>(prefix)], fast) << prefix;
            }
        }
    }
}

// One sequential block decoded symbol by symbol through the reader (T.81 F.2.2), as the block
// decoder's reference: the coefficients in zig-zag order; returns the zig-zag index of the last
// coefficient the data set (at least 1 once any AC symbol came before the block's end, sixteen
// zeros included), 0 when only DC, or -1 for a bad code.
int ReferenceBlock(jpeg::BitReader& reader, const jpeg::HuffmanTable& dc,
                   const jpeg::HuffmanTable& ac, std::int32_t* predictor, std::int16_t* zigzag) {
    reader.Fill();
    const int category = jpeg::DecodeSymbol(reader, dc);
    if (category < 0) return -1;
    reader.Fill();
    const int diff = category != 0 ? jpeg::Extend(reader.Get(category), category) : 0;
    *predictor = jpeg::WrapAdd(*predictor, diff);
    zigzag[0] = static_cast<std::int16_t>(*predictor);
    int last = 0;
    for (int k = 1; k < jpeg::kBlockCoefficients; ++k) {
        reader.Fill();
        const int symbol = jpeg::DecodeSymbol(reader, ac);
        if (symbol < 0) return -1;
        const int run = symbol >> 4, size = symbol & 15;
        if (size == 0 && run != 15) break;  // end of block
        k += run;
        reader.Fill();
        const int value = size != 0 ? jpeg::Extend(reader.Get(size), size) : 0;
        if (k >= jpeg::kBlockCoefficients) break;  // a run past the block ends it
        zigzag[k] = static_cast<std::int16_t>(value);
        last = std::max(last, value != 0 ? k : 1);
    }
    return last;
}

// Canonical codes (code, length) of a table's symbols, in symbol order.
std::vector<std::pair<std::uint32_t, int>> CanonicalCodes(const std::uint8_t* counts) {
    std::vector<std::pair<std::uint32_t, int>> codes;
    std::uint32_t code = 0;
    for (int length = 1; length <= 16; ++length, code <<= 1)
        for (int i = 0; i < counts[length - 1]; ++i) codes.emplace_back(code++, length);
    return codes;
}

TEST(JpegStages, BlockDecoderMatchesTheSymbolBySymbolDecode) {
    // Code lengths of the usual luminance AC table over shuffled symbols, so that end of block,
    // sixteen zeros, long runs and large magnitudes fall on short and on long codes alike.
    const std::uint8_t ac_counts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
    const std::uint8_t dc_counts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1};  // twelve codes
    const std::uint8_t dc_symbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    const auto ac_codes = CanonicalCodes(ac_counts);
    const auto dc_codes = CanonicalCodes(dc_counts);
    std::mt19937 random(2024);
    std::array<std::uint8_t, 162> ac_symbols{};
    for (int trial = 0; trial < 400; ++trial) {
        SCOPED_TRACE(trial);
        // Distinct symbols, with end of block and sixteen zeros always among them.
        std::array<std::uint8_t, 256> all{};
        for (int i = 0; i < 256; ++i)
            all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
        std::shuffle(all.begin(), all.end(), random);
        std::copy_n(all.begin(), ac_symbols.size(), ac_symbols.begin());
        const auto place = [&](std::uint8_t symbol, std::size_t at) {
            auto found = std::find(ac_symbols.begin(), ac_symbols.end(), symbol);
            if (found != ac_symbols.end())
                std::swap(*found, ac_symbols[at]);
            else
                ac_symbols[at] = symbol;
        };
        place(0x00, static_cast<std::size_t>(random() % (trial % 2 != 0 ? 8 : 162)));
        place(0xF0, static_cast<std::size_t>(random() % (trial % 3 != 0 ? 14 : 162)));
        jpeg::HuffmanTable ac, dc;
        ASSERT_TRUE(jpeg::BuildHuffmanTable(ac_counts, ac_symbols.data(), false, &ac));
        ASSERT_TRUE(jpeg::BuildHuffmanTable(dc_counts, dc_symbols, true, &dc));

        // Blocks of valid codes with random value bits, weighted towards long runs so that
        // blocks end on position 63 and past it; then, in some trials, damage: random bytes,
        // a marker in the middle, or the data cut short.
        BitWriter bits;
        for (int block = 0; block < 12; ++block) {
            const auto dc_index = random() % dc_codes.size();
            bits.Put(dc_codes[dc_index].first, dc_codes[dc_index].second);
            const int category = dc_symbols[dc_index];
            if (category != 0) bits.Put(static_cast<std::uint32_t>(random()), category);
            const int symbols = static_cast<int>(random() % 40);
            for (int s = 0; s < symbols; ++s) {
                std::size_t index = random() % ac_codes.size();
                if (random() % 4 == 0)
                    index = static_cast<std::size_t>(
                        std::find(ac_symbols.begin(), ac_symbols.end(), 0xF0) - ac_symbols.begin());
                if (ac_symbols[index] == 0x00 && random() % 3 != 0) continue;
                bits.Put(ac_codes[index].first, ac_codes[index].second);
                const int size = ac_symbols[index] & 15;
                if (size != 0) bits.Put(static_cast<std::uint32_t>(random()), size);
            }
            bits.Eob();  // 0x00 may not be end of block here; then it is one more symbol
        }
        Bytes data = bits.Finish();
        switch (trial % 5) {
            case 1:
                for (auto& byte : data)
                    if (random() % 8 == 0) byte = static_cast<std::uint8_t>(random());
                break;
            case 2: {
                const auto at = random() % (data.size() + 1);
                data.insert(data.begin() + static_cast<std::ptrdiff_t>(at),
                            {0xFF, static_cast<std::uint8_t>(0xD0 + random() % 8)});
                break;
            }
            case 3:
                data.resize(random() % (data.size() + 1));
                break;
            default:
                break;
        }

        jpeg::BitReader reader, expected_reader;
        reader.Start(data.data(), data.size(), 0);
        expected_reader.Start(data.data(), data.size(), 0);
        std::int32_t predictor = 0, expected_predictor = 0;
        for (int block = 0; block < 16; ++block) {
            SCOPED_TRACE(block);
            std::int16_t expected[64] = {};
            const int expected_last =
                ReferenceBlock(expected_reader, dc, ac, &expected_predictor, expected);
            // Both forms of the block decoder: natural order with dequantisation, zig-zag order
            // without; the second from a copy of the reader's state.
            std::int32_t quant[64];
            for (int i = 0; i < 64; ++i) quant[i] = 1 + (i * 5) % 7 + (i == 63 ? 300 : 0);
            std::int16_t natural[64] = {}, zigzag[64] = {};
            jpeg::BitReader copy = reader;
            std::int32_t copy_predictor = predictor;
            int last = 0, zigzag_last = 0;
            {
                jpeg::BitCursor cursor(reader);
                last = jpeg::DecodeBlock<true>(cursor, dc, ac, &predictor, quant, natural);
            }
            {
                jpeg::BitCursor cursor(copy);
                zigzag_last = jpeg::DecodeBlock<false, true>(cursor, dc, ac, &copy_predictor,
                                                             nullptr, zigzag);
            }
            ASSERT_EQ(last, zigzag_last);
            if (expected_last < 0) {
                // A bad code: whether the data had run out decides the error reported.
                ASSERT_EQ(last, -1);
                ASSERT_EQ(reader.NearEnd(), expected_reader.NearEnd());
                break;
            }
            ASSERT_EQ(last == 0, expected_last == 0);
            // The last position reported covers every coefficient set; it may lie beyond the
            // last one where sixteen zeros came last.
            ASSERT_GE(last, expected_last);
            ASSERT_LT(last, 64);
            ASSERT_EQ(predictor, expected_predictor);
            ASSERT_EQ(copy_predictor, expected_predictor);
            for (int k = 0; k < 64; ++k) {
                const int at = jpeg::kNaturalOrder[static_cast<std::size_t>(k)];
                ASSERT_EQ(zigzag[k], expected[k]) << k;
                ASSERT_EQ(natural[at], static_cast<std::int16_t>(expected[k] * quant[at])) << k;
            }
            ASSERT_EQ(reader.Overrun(), expected_reader.Overrun());
            ASSERT_EQ(copy.Overrun(), expected_reader.Overrun());
            if (reader.Overrun()) break;
        }
    }
}

TEST(JpegStages, ExtendGivesTheSignedValueOfEveryMagnitude) {
    for (int size = 1; size <= jpeg::kMaxDcCategory; ++size) {
        SCOPED_TRACE(size);
        for (std::uint32_t v = 0; v < (1u << size); ++v) {
            const int half = 1 << (size - 1);
            const int expected =
                static_cast<int>(v) < half ? static_cast<int>(v) - (1 << size) + 1
                                           : static_cast<int>(v);
            ASSERT_EQ(jpeg::Extend(v, size), expected) << v;
        }
    }
}

TEST(JpegStages, HuffmanTableRefusals) {
    jpeg::HuffmanTable table;
    const std::uint8_t symbols[256] = {16};
    std::uint8_t overfull[16] = {3};
    EXPECT_FALSE(jpeg::BuildHuffmanTable(overfull, symbols, false, &table));
    std::uint8_t full[16] = {2};  // both 1-bit codes: complete, accepted
    EXPECT_TRUE(jpeg::BuildHuffmanTable(full, symbols, false, &table));
    std::uint8_t one[16] = {1};
    EXPECT_FALSE(jpeg::BuildHuffmanTable(one, symbols, true, &table));  // DC category 16
    EXPECT_TRUE(jpeg::BuildHuffmanTable(one, symbols, false, &table));  // fine as an AC symbol
}

TEST(JpegStages, BitReaderUnstuffsStopsAtMarkersAndCountsPadding) {
    const Bytes data = {0xAB, 0xFF, 0x00, 0x12, 0xFF, 0xD3, 0x77};
    jpeg::BitReader reader;
    reader.Start(data.data(), data.size(), 0);
    reader.Fill();
    EXPECT_EQ(reader.Get(8), 0xABu);
    EXPECT_EQ(reader.Get(8), 0xFFu);
    EXPECT_EQ(reader.Get(8), 0x12u);
    EXPECT_FALSE(reader.Overrun());
    reader.Fill();
    EXPECT_EQ(reader.Get(1), 0u);  // past the marker: zero bits
    EXPECT_TRUE(reader.Overrun());
    EXPECT_EQ(reader.Position(), 4u);  // left at the marker
    reader.Restart();
    EXPECT_EQ(reader.Position(), 6u);  // just past it
    reader.Fill();
    EXPECT_EQ(reader.Get(8), 0x77u);
    EXPECT_FALSE(reader.Overrun());
}

TEST(JpegStages, RangeTableClampsAndWraps) {
    const std::uint8_t* range = jpeg::SampleRange();
    EXPECT_EQ(range[-256], 0);
    EXPECT_EQ(range[-1], 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(range[i], i);
    EXPECT_EQ(range[256], 255);
    EXPECT_EQ(range[639], 255);
    EXPECT_EQ(range[640], 0);
    EXPECT_EQ(range[1023], 0);
    EXPECT_EQ(range[1024], 0);
    EXPECT_EQ(range[1151], 127);
}

TEST(JpegStages, ColourTablesRoundTowardZero) {
    const jpeg::ColourTables& t = jpeg::Colour();
    EXPECT_EQ(t.cr_to_red[0], -178);
    EXPECT_EQ(t.cr_to_red[255], 178);
    EXPECT_EQ(t.cb_to_blue[0], -226);
    EXPECT_EQ(t.cb_to_blue[255], 225);
    // Cb = Cr = 128 leaves R = G = B = Y.
    EXPECT_EQ(t.cr_to_red[128], 0);
    EXPECT_EQ(t.cb_to_blue[128], 0);
    EXPECT_EQ((t.cr_to_green[128] + t.cb_to_green[128]) >> 16, 0);
}

TEST(JpegStages, InverseDctShortcutsMatchTheFullTransform) {
    std::uint8_t shortcut[64], full[64];
    for (int dc : {-32768, -1024, -9, -1, 0, 1, 7, 8, 500, 1016, 8191, 8192, 32767}) {
        SCOPED_TRACE(dc);
        std::int16_t block[64] = {static_cast<std::int16_t>(dc)};
        jpeg::InverseDctDcOnly(static_cast<std::int16_t>(dc), shortcut, 8);
        jpeg::InverseDct(block, full, 8);
        EXPECT_EQ(std::memcmp(shortcut, full, 64), 0);
        EXPECT_EQ(full[27], FlatSample(dc));
    }
    // A single AC coefficient: the column shortcut applies to 7 columns, the row one to none.
    std::int16_t block[64] = {80, 0, 0, 0, 0, 0, 0, 0, 40};
    jpeg::InverseDct(block, full, 8);
    EXPECT_GT(full[0], full[56]);  // a vertical cosine: top brighter than bottom
    EXPECT_EQ(full[0], full[7]);
}

TEST(JpegStages, InverseDctEqualsThePortableTransformForAnyInput) {
    std::mt19937 random(99);
    // Full 16-bit range, small coefficients as in real pictures, sparse blocks, and blocks with
    // only the top-left 4 x 4 in use (a path of its own).
    for (int trial = 0; trial < 4000; ++trial) {
        std::int16_t block[64];
        for (int k = 0; k < 64; ++k) {
            const std::uint32_t r = random();
            if (trial < 1000)
                block[k] = static_cast<std::int16_t>(r);
            else if (trial < 2000)
                block[k] = static_cast<std::int16_t>(static_cast<int>(r % 2049) - 1024);
            else if (trial < 3000)
                block[k] =
                    (r % 8 == 0) ? static_cast<std::int16_t>(static_cast<int>(r % 4001) - 2000) : 0;
            else
                block[k] = (k % 8 < 4 && k < 32)
                               ? static_cast<std::int16_t>(trial < 3500 ? r : r % 601)
                               : 0;
        }
        std::uint8_t fast[64], portable[64];
        jpeg::InverseDct(block, fast, 8);
        jpeg::InverseDctPortable(block, portable, 8);
        ASSERT_EQ(std::memcmp(fast, portable, 64), 0) << "trial " << trial;
    }
}

TEST(JpegStages, GeometryOfA420PictureOf100x75) {
    jpeg::Frame f;
    f.width = 100;
    f.height = 75;
    f.count = 3;
    f.components[0].h = f.components[0].v = 2;
    f.components[1].h = f.components[1].v = 1;
    f.components[2].h = f.components[2].v = 1;
    jpeg::BuildGeometry(f);
    EXPECT_EQ(f.mcu_width, 16);
    EXPECT_EQ(f.mcu_height, 16);
    EXPECT_EQ(f.mcus_per_row, 7);
    EXPECT_EQ(f.mcu_rows, 5);
    EXPECT_EQ(f.components[0].blocks_wide, 13);  // a scan of Y alone codes 13 x 10 blocks
    EXPECT_EQ(f.components[0].blocks_high, 10);
    EXPECT_EQ(f.components[0].padded_wide, 14);
    EXPECT_EQ(f.components[1].blocks_wide, 7);
    EXPECT_EQ(f.components[1].sample_width, 50);
    // One component is laid out block by block whatever it declares.
    jpeg::Frame g;
    g.width = 17;
    g.height = 9;
    g.count = 1;
    g.components[0].h = g.components[0].v = 2;
    jpeg::BuildGeometry(g);
    EXPECT_EQ(g.mcu_width, 8);
    EXPECT_EQ(g.mcus_per_row, 3);
    EXPECT_EQ(g.mcu_rows, 2);
}

TEST(JpegDecoder, ExtendedErrorTextsExist) {
    EXPECT_STREQ(ExtendedErrorText(kJpegPrecision), "sample precision is not 8 bits");
    EXPECT_STREQ(ExtendedErrorText(0), "none");
    EXPECT_STREQ(ExtendedErrorText(-5000), "unknown");
}

}  // namespace
}  // namespace image
