// The per-call state of the JPEG decoder, shared by its stages (markers, Huffman, inverse DCT,
// colour, progressive): frame and scan parameters, table slots, MCU geometry. One Decoder lives
// for one ReadJpegInfo or DecodeJpeg call; nothing here is process-wide.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "image/jpeg_decoder.h"
#include "image/jpeg_huffman.h"

namespace image::jpeg {

inline constexpr int kMaxComponents = 4;
inline constexpr int kTableSlots = 4;
inline constexpr int kMaxBlocksPerMcu = 10;
inline constexpr int kMaxSamplingFactor = 4;
inline constexpr int kMaxDimension = 32767;
inline constexpr int kMaxSuccessiveBit = 13;  // largest Al of a progressive scan
// Coefficient buffers of progressive and multi-scan pictures are refused beyond this (about
// 44 megapixels at 4:4:4), so that a header claiming 32767 x 32767 cannot exhaust memory.
inline constexpr std::size_t kMaxCoefficientBytes = 256u * 1024 * 1024;

struct QuantSlot {
    bool defined = false;
    std::array<std::int32_t, 64> values{};  // natural order, as the segment gave them
};

struct Component {
    int id = 0;
    int h = 0, v = 0;  // sampling factors as declared
    int quant_id = 0;
    int dc_table = 0, ac_table = 0;  // from the latest scan header
    std::int32_t dc_predictor = 0;
    std::array<std::int32_t, 64> quant{};  // taken before the first scan; zeros replaced by 1

    // Geometry (BuildGeometry). A one-component frame is laid out with factors 1 x 1.
    int layout_h = 1, layout_v = 1;
    int sample_width = 0, sample_height = 0;  // ceil(picture size * factor / max factor)
    int blocks_wide = 0, blocks_high = 0;     // blocks a non-interleaved scan codes
    int padded_wide = 0, padded_high = 0;     // blocks of whole MCUs
    std::int16_t* coefficients = nullptr;     // progressive and multi-scan pictures only
    int stored_row = 0;                       // block row held at coefficients[0]
};

struct Frame {
    bool seen = false;
    int type = -1;
    int precision = 0;
    int width = 0, height = 0;
    int count = 0;
    std::array<Component, kMaxComponents> components{};
    int hmax = 1, vmax = 1;
    int mcu_width = 8, mcu_height = 8;
    int mcus_per_row = 0, mcu_rows = 0;
};

struct Scan {
    int count = 0;
    std::array<int, kMaxComponents> component{};  // indices into Frame::components
    int ss = 0, se = 63, ah = 0, al = 0;
};

struct Decoder {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;  // marker parser position

    JpegInfo info{};
    Frame frame;
    Scan scan;
    // Not value-initialised, so that their large arrays are not cleared (see HuffmanTable).
    std::array<HuffmanTable, kTableSlots> dc_tables;
    std::array<HuffmanTable, kTableSlots> ac_tables;
    // Counts of the definitions of each table slot, so that a changed table can be told apart.
    std::array<std::uint32_t, kTableSlots> dc_versions{}, ac_versions{};
    std::array<QuantSlot, kTableSlots> quant{};
    std::uint32_t restart_interval = 0;
    bool seen_app0 = false;
    bool scans_started = false;
    bool vector_kernels = false;  // run the vector kernels (where the processor has them)
    JpegRowSink sink = nullptr;   // DecodeJpegRows: the target is a band of MCU rows
    void* sink_context = nullptr;

    std::int32_t extended_error = 0;

    // Records the finer cause and returns the result code, for `return Fail(...)`.
    ImageResult Fail(ImageResult result, std::int32_t extended) {
        extended_error = extended;
        return result;
    }
};

// Zero-filled heap arrays released with free(); null when the allocation failed.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using ZeroedArray = std::unique_ptr<T[], FreeDeleter>;
template <typename T>
ZeroedArray<T> AllocZeroed(std::size_t count) {
    return ZeroedArray<T>(static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T))));
}

}  // namespace image::jpeg
