// Single-scan sequential decoding. Each MCU row is decoded in full before it is converted, so the
// colour stage sees whole rows; MCU rows below the target region are decoded (their data must
// still be checked) but not transformed.
#include "image/jpeg_sequential.h"

#include <array>
#include <cstring>

#include "image/jpeg_color.h"
#include "image/jpeg_huffman.h"
#include "image/jpeg_idct.h"
#include "image/jpeg_markers.h"

namespace image::jpeg {

ImageResult DecodeSingleScan(Decoder& d, ImageBuffer* target) {
    ImageResult result = CheckScanTables(d, true, true);
    if (result != kImageOk) return result;
    Frame& f = d.frame;
    PictureWriter writer;
    result = writer.Init(f, target, d.vector_kernels, d.sink, d.sink_context);
    if (result != kImageOk) return result;

    BitReader reader;
    reader.Start(d.data, d.size, d.pos);
    for (auto& c : f.components) c.dc_predictor = 0;
    std::uint32_t countdown = d.restart_interval;
    // Where the two-block transform is faster, decoded blocks wait in batches and are transformed
    // when a batch is full and before each MCU row is converted, so that the decode loop runs
    // without the transforms in between: blocks with AC coefficients two at a time (a block left
    // over alone), blocks of DC only with their one value. A scan that names a component twice
    // writes some samples twice, and then the blocks go one by one, so that the later block is
    // still the one that stays.
    bool distinct = true;
    for (int i = 0; i < d.scan.count; ++i)
        for (int j = 0; j < i; ++j)
            if (d.scan.component[static_cast<std::size_t>(i)] ==
                d.scan.component[static_cast<std::size_t>(j)])
                distinct = false;
    const ClearingPairTransform pair_kernel =
        d.vector_kernels ? FasterClearingPairTransform() : nullptr;
    const bool pairs = distinct && pair_kernel != nullptr;
    constexpr int kBatch = 32;
    alignas(32) std::int16_t blocks[kBatch][kBlockCoefficients] = {};
    std::uint8_t* batch_out[kBatch] = {};
    std::ptrdiff_t batch_stride[kBatch] = {};
    int waiting = 0;
    // The blocks of a batch go in two lists: those whose last coefficient lies in the top-left
    // 4 x 4 (zig-zag positions up to 9 all do), and the others. A pair of the first kind takes
    // the kernel's shorter path, which it takes only when both of its blocks qualify; paired in
    // decoding order, a low block would often sit next to a full one.
    constexpr int kLastLow = 9;
    std::uint8_t low[kBatch] = {}, full[kBatch] = {};
    int low_count = 0, full_count = 0;
    std::int16_t flat_dc[kBatch] = {};
    std::uint8_t* flat_out[kBatch] = {};
    std::ptrdiff_t flat_stride[kBatch] = {};
    int flat = 0;
    auto transform_flat = [&] {
        for (int i = 0; i < flat; ++i) InverseDctDcOnly(flat_dc[i], flat_out[i], flat_stride[i]);
        flat = 0;
    };
    std::int16_t* block = blocks[0];
    auto transform = [&](const std::int16_t* coefficients, std::uint8_t* out,
                         std::ptrdiff_t stride) {
        if (d.vector_kernels)
            InverseDct(coefficients, out, stride);
        else
            InverseDctPortable(coefficients, out, stride);
    };
    auto transform_pair = [&](int i, int j) {
        pair_kernel(blocks[i], batch_out[i], batch_stride[i], blocks[j], batch_out[j],
                    batch_stride[j]);
    };
    auto transform_batch = [&] {
        int i = 0, j = 0;
        for (; i + 1 < low_count; i += 2) transform_pair(low[i], low[i + 1]);
        for (; j + 1 < full_count; j += 2) transform_pair(full[j], full[j + 1]);
        if (i < low_count && j < full_count) {
            transform_pair(low[i], full[j]);
        } else if (i < low_count || j < full_count) {
            const int k = i < low_count ? low[i] : full[j];
            transform(blocks[k], batch_out[k], batch_stride[k]);
            ClearBlock(blocks[k]);
        }
        waiting = 0;
        low_count = 0;
        full_count = 0;
        block = blocks[0];
    };

    // The blocks of one MCU in coding order, with what each needs worked out once for the scan,
    // so that the MCU loop is one flat loop over them. A component the scan names twice has its
    // blocks twice (sharing its predictor), so the bound is every name at the largest factors.
    struct BlockSlot {
        const HuffmanTable* dc;
        const HuffmanTable* ac;
        const std::int32_t* quant;
        std::int32_t* predictor;
        std::uint8_t* base;      // the block's samples in the MCU row's first MCU
        std::ptrdiff_t stride;   // of the component's plane
        std::ptrdiff_t advance;  // bytes from one MCU's block to the next's: 8 * layout_h
        int component;
        std::ptrdiff_t offset;  // of base from the plane's start
    };
    constexpr int kMaxSlots = kMaxComponents * kMaxSamplingFactor * kMaxSamplingFactor;
    std::array<BlockSlot, kMaxSlots> slots{};
    int slot_count = 0;
    for (int s = 0; s < d.scan.count; ++s) {
        const int index = d.scan.component[static_cast<std::size_t>(s)];
        Component& c = f.components[static_cast<std::size_t>(index)];
        const std::ptrdiff_t stride = writer.Stride(index);
        for (int by = 0; by < c.layout_v; ++by)
            for (int bx = 0; bx < c.layout_h; ++bx)
                slots[static_cast<std::size_t>(slot_count++)] = {
                    &d.dc_tables[static_cast<std::size_t>(c.dc_table)],
                    &d.ac_tables[static_cast<std::size_t>(c.ac_table)],
                    c.quant.data(),
                    &c.dc_predictor,
                    nullptr,
                    stride,
                    8 * c.layout_h,
                    index,
                    by * 8 * stride + bx * 8};
    }

    // The bit buffer stays in the cursor (in registers) for the whole scan.
    BitCursor bits(reader);
    for (int row = 0; row < f.mcu_rows; ++row) {
        const bool visible = writer.Visible(row);
        for (int i = 0; i < slot_count; ++i) {
            BlockSlot& slot = slots[static_cast<std::size_t>(i)];
            slot.base = writer.Plane(slot.component) + slot.offset;
        }
        for (int column = 0; column < f.mcus_per_row; ++column) {
            if (d.restart_interval != 0) {
                if (countdown == 0) {
                    bits.WithReader([](BitReader& r) {
                        r.Restart();
                        return 0;
                    });
                    for (auto& c : f.components) c.dc_predictor = 0;
                    countdown = d.restart_interval;
                }
                --countdown;
            }
            for (int i = 0; i < slot_count; ++i) {
                const BlockSlot& slot = slots[static_cast<std::size_t>(i)];
                const int last =
                    DecodeBlock<true>(bits, *slot.dc, *slot.ac, slot.predictor, slot.quant, block);
                if (last < 0)
                    return d.Fail(kBadJpegData,
                                  bits.NearEnd() ? kJpegInputEnded : kJpegCodeTooLong);
                std::uint8_t* out = slot.base + column * slot.advance;
                const std::ptrdiff_t stride = slot.stride;
                if (last == 0) {
                    if (visible && pairs) {
                        flat_dc[flat] = block[0];
                        flat_out[flat] = out;
                        flat_stride[flat] = stride;
                        if (++flat == kBatch) transform_flat();
                    } else if (visible) {
                        InverseDctDcOnly(block[0], out, stride);
                    }
                    block[0] = 0;
                } else if (!visible) {
                    ClearBlock(block);
                } else if (!pairs) {
                    transform(block, out, stride);
                    ClearBlock(block);
                } else {
                    batch_out[waiting] = out;
                    batch_stride[waiting] = stride;
                    // Without a branch: which list a block joins follows no pattern. Each
                    // list's next place takes the index, and only the chosen list grows.
                    const int is_low = last <= kLastLow ? 1 : 0;
                    low[low_count] = static_cast<std::uint8_t>(waiting);
                    full[full_count] = static_cast<std::uint8_t>(waiting);
                    low_count += is_low;
                    full_count += 1 - is_low;
                    if (++waiting == kBatch)
                        transform_batch();
                    else
                        block = blocks[waiting];
                }
            }
            if (bits.Overrun()) return d.Fail(kBadJpegData, kJpegInputEnded);
        }
        if (waiting != 0) transform_batch();
        transform_flat();
        if (visible) writer.EmitMcuRow(row);
    }
    return kImageOk;
}

}  // namespace image::jpeg
