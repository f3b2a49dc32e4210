// Hostile input for the decoder: every corpus file cut at many offsets, bits flipped in its
// entropy-coded data, bytes changed in its header. Every call must return one of the codes the
// decoder documents and end; run under AddressSanitizer and UBSan (build with
// -DQUORLINA_SANITIZE=address) this also shows that nothing is read or written out of bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "image/image_buffer.h"
#include "image/jpeg_decoder.h"
#include "support/jpeg_corpus.h"

namespace image {
namespace {

constexpr int kSpreadCuts = 40;  // cuts spread over the entropy-coded part of each file
constexpr int kFlipsPerFile = 40;
constexpr int kHeaderEditsPerFile = 40;

const std::set<ImageResult> kDataCodes = {kImageOk, kEoiBeforeScan, kBadJpegHeader, kBadJpegData};
// Header edits may also change the size, the depth or the memory a picture needs.
const std::set<ImageResult> kHeaderCodes = {kImageOk,  kBadSize,       kOutOfMemory, kEoiBeforeScan,
                                            kBadDepth, kBadJpegHeader, kBadJpegData};

struct Outcome {
    ImageResult info = kImageOk;
    ImageResult decode = kImageOk;
    bool decoded = false;
};

// ReadJpegInfo, then DecodeJpeg into a buffer of the size it reports; also into a small buffer
// whose region clips the picture, so that writes past a short target would show.
Outcome Attempt(const std::vector<std::uint8_t>& bytes) {
    Outcome outcome;
    JpegInfo info{};
    outcome.info = ReadJpegInfo(bytes.data(), bytes.size(), &info);
    if (outcome.info != kImageOk) return outcome;
    ImageBuffer full{};
    if (AllocImage(&full, info.Width, info.Height, info.BitsPerPixel) == kImageOk) {
        outcome.decode = DecodeJpeg(bytes.data(), bytes.size(), &full);
        outcome.decoded = true;
        FreeImage(&full);
    }
    ImageBuffer small{};
    if (AllocImage(&small, 11, 5, info.BitsPerPixel == 8 ? 8 : 24) == kImageOk) {
        small.Left = 3;
        small.Top = 1;
        const ImageResult clipped = DecodeJpeg(bytes.data(), bytes.size(), &small);
        if (!outcome.decoded) outcome.decode = clipped;
        outcome.decoded = true;
        FreeImage(&small);
    }
    return outcome;
}

std::size_t FirstScanData(const std::vector<std::uint8_t>& bytes) {
    const auto ranges = testsupport::EntropyRanges(bytes);
    return ranges.empty() ? bytes.size() : ranges.front().first;
}

TEST(JpegHostile, TruncatedFilesEndWithADocumentedCode) {
    std::size_t calls = 0;
    for (const testsupport::CorpusImage& image : testsupport::DecodableCorpus()) {
        SCOPED_TRACE(image.name);
        const std::vector<std::uint8_t>& bytes = image.bytes;
        // Every cut inside the header, then cuts spread over the rest.
        std::set<std::size_t> cuts;
        const std::size_t header = std::min(bytes.size(), FirstScanData(bytes) + 8);
        for (std::size_t cut = 1; cut < header; ++cut) cuts.insert(cut);
        for (int i = 1; i <= kSpreadCuts; ++i)
            cuts.insert(header +
                        (bytes.size() - header) * static_cast<std::size_t>(i) / (kSpreadCuts + 1));
        const std::size_t sos = testsupport::ScanMarkerOffsets(bytes).front();
        int sequential_cuts = 0, sequential_refusals = 0;
        for (std::size_t cut : cuts) {
            if (cut >= bytes.size()) continue;
            const std::vector<std::uint8_t> part(bytes.begin(),
                                                 bytes.begin() + static_cast<std::ptrdiff_t>(cut));
            const Outcome outcome = Attempt(part);
            ++calls;
            ASSERT_TRUE(kDataCodes.count(outcome.info))
                << "cut " << cut << " info " << outcome.info;
            ASSERT_TRUE(kDataCodes.count(outcome.decode))
                << "cut " << cut << " decode " << outcome.decode;
            if (cut < sos + 2) {
                EXPECT_EQ(outcome.info, kBadJpegHeader) << "cut " << cut;
            }
            // A sequential picture cut well inside its entropy-coded data cannot be complete.
            if (!image.multi_scan && cut > header && cut + 16 < bytes.size()) {
                ++sequential_cuts;
                sequential_refusals += outcome.decode == kBadJpegData ? 1 : 0;
            }
        }
        EXPECT_EQ(sequential_refusals, sequential_cuts)
            << "sequential pictures cut short must give kBadJpegData";
    }
    std::printf("[ hostile  ] %zu truncated inputs\n", calls);
}

TEST(JpegHostile, FlippedEntropyBitsEndWithADocumentedCode) {
    std::mt19937 random(20240611);
    std::size_t calls = 0;
    for (const testsupport::CorpusImage& image : testsupport::DecodableCorpus()) {
        SCOPED_TRACE(image.name);
        const auto ranges = testsupport::EntropyRanges(image.bytes);
        ASSERT_FALSE(ranges.empty());
        for (int i = 0; i < kFlipsPerFile; ++i) {
            std::vector<std::uint8_t> bytes = image.bytes;
            // One to four bits in one scan's data.
            const auto& range = ranges[random() % ranges.size()];
            if (range.second <= range.first) continue;
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int f = 0; f < flips; ++f) {
                const std::size_t at = range.first + random() % (range.second - range.first);
                bytes[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            }
            const Outcome outcome = Attempt(bytes);
            ++calls;
            ASSERT_TRUE(kDataCodes.count(outcome.info)) << "flip " << i << " info " << outcome.info;
            ASSERT_TRUE(kDataCodes.count(outcome.decode))
                << "flip " << i << " decode " << outcome.decode;
        }
    }
    std::printf("[ hostile  ] %zu inputs with flipped entropy bits\n", calls);
}

TEST(JpegHostile, EditedHeaderBytesEndWithADocumentedCode) {
    std::mt19937 random(77);
    std::vector<std::vector<std::uint8_t>> sources;
    for (const auto& image : testsupport::DecodableCorpus()) sources.push_back(image.bytes);
    for (const auto& image : testsupport::RejectedCorpus()) sources.push_back(image.bytes);
    std::size_t calls = 0;
    for (const auto& source : sources) {
        const std::size_t header = std::min(source.size(), FirstScanData(source));
        if (header < 4) continue;
        for (int i = 0; i < kHeaderEditsPerFile; ++i) {
            std::vector<std::uint8_t> bytes = source;
            const int edits = 1 + static_cast<int>(random() % 3);
            for (int e = 0; e < edits; ++e) {
                const std::size_t at = 2 + random() % (header - 2);
                // Extreme values find the limits faster than random ones.
                const std::uint8_t values[] = {0x00,
                                               0x01,
                                               0x04,
                                               0x05,
                                               0x0F,
                                               0x10,
                                               0x11,
                                               0x44,
                                               0x7F,
                                               0x80,
                                               0xFE,
                                               0xFF,
                                               static_cast<std::uint8_t>(random())};
                bytes[at] = values[random() % std::size(values)];
            }
            const Outcome outcome = Attempt(bytes);
            ++calls;
            ASSERT_TRUE(kHeaderCodes.count(outcome.info))
                << "edit " << i << " info " << outcome.info;
            ASSERT_TRUE(kHeaderCodes.count(outcome.decode))
                << "edit " << i << " decode " << outcome.decode;
        }
    }
    std::printf("[ hostile  ] %zu inputs with edited headers\n", calls);
}

}  // namespace
}  // namespace image
