// Progressive and multi-scan decoding into coefficient buffers (one per component, blocks in
// raster order over whole MCUs, each block's coefficients in zig-zag order, so that the bands of
// a progressive scan lie contiguous). Scans follow T.81: a one-component scan is non-interleaved
// over that component's own extent; restart intervals are honoured in every scan. A later scan
// that runs out of data ends early and the picture keeps what arrived; the first must be complete.
#include "image/jpeg_progressive.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image/jpeg_color.h"
#include "image/jpeg_huffman.h"
#include "image/jpeg_idct.h"
#include "image/jpeg_markers.h"

namespace image::jpeg {
namespace {

enum class ScanEnd { kComplete, kOverrun, kBadCode };

inline std::int16_t Scaled(int value, int al) {
    return static_cast<std::int16_t>(value * (1 << al));
}

// Correction bit of a refinement scan for a coefficient that is already non-zero (G.1.2.3).
inline void Refine(BitCursor& r, std::int16_t* coefficient, int p1) {
    r.Fill();
    if (r.Get(1) && (*coefficient & p1) == 0)
        *coefficient =
            static_cast<std::int16_t>(*coefficient >= 0 ? *coefficient + p1 : *coefficient - p1);
}

// Bit k set when coefficient k of the block is not zero.
inline std::uint64_t NonZeroMask(const std::int16_t* block) {
#if defined(__SSE2__)
    std::uint64_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i + 8));
        // Saturating packs keep zero as zero and anything else non-zero.
        const int zero =
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_packs_epi16(a, b), _mm_setzero_si128()));
        mask |= std::uint64_t{static_cast<std::uint16_t>(~zero)} << (16 * i);
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (int k = 0; k < kBlockCoefficients; ++k)
        if (block[k] != 0) mask |= std::uint64_t{1} << k;
    return mask;
#endif
}

// Bits first..last (0 <= first, last <= 63); none when first > last.
inline std::uint64_t BandMask(int first, int last) {
    if (first > last) return 0;
    const std::uint64_t up_to_last =
        last == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (last + 1)) - 1;
    return up_to_last & ~((std::uint64_t{1} << first) - 1);
}

// Block decoders, one per kind of scan; each returns false for a code longer than 16 bits.
struct SequentialUnit {
    const Decoder* d;
    bool operator()(BitCursor& bits, Component& c, std::int16_t* block) const {
        std::memset(block, 0, kBlockCoefficients * sizeof *block);
        return DecodeBlock<false, true>(bits, d->dc_tables[static_cast<std::size_t>(c.dc_table)],
                                        d->ac_tables[static_cast<std::size_t>(c.ac_table)],
                                        &c.dc_predictor, nullptr, block) >= 0;
    }
};

struct DcFirstUnit {
    const Decoder* d;
    int al;
    bool operator()(BitCursor& r, Component& c, std::int16_t* block) const {
        r.Fill();
        const int category = DecodeSymbol(r, d->dc_tables[static_cast<std::size_t>(c.dc_table)]);
        if (category < 0) return false;
        const int diff = category != 0 ? Extend(r.Get(category), category) : 0;
        c.dc_predictor = WrapAdd(c.dc_predictor, diff);
        block[0] = Scaled(static_cast<std::int16_t>(c.dc_predictor), al);
        return true;
    }
};

struct DcRefineUnit {
    int al;
    bool operator()(BitCursor& r, Component&, std::int16_t* block) const {
        r.Fill();
        if (r.Get(1)) block[0] = static_cast<std::int16_t>(block[0] | (1 << al));
        return true;
    }
};

struct AcFirstUnit {
    const HuffmanTable* table;
    int ss, se, al;
    int* eobrun;
    bool operator()(BitCursor& r, Component&, std::int16_t* block) const {
        if (*eobrun > 0) {
            --*eobrun;
            return true;
        }
        for (int k = ss; k <= se;) {
            r.Fill();
            if (const int whole = table->fast[r.Peek(kLookaheadBits)]; whole != 0) {
                r.Skip(whole & 0xFF);
                const int advance = (whole >> 8) & 0xFF;
                if ((whole >> 16) == 0) {
                    if (advance == kEndOfBlock) break;  // a run of one end of band: this block
                    k += 16;
                    continue;
                }
                k += advance;
                if (k > se) break;
                block[k] = Scaled(whole >> 16, al);
                ++k;
                continue;
            }
            const int symbol = DecodeSymbol(r, *table);
            if (symbol < 0) return false;
            const int run = symbol >> 4;
            const int size = symbol & 15;
            if (size == 0) {
                if (run == 15) {
                    k += 16;
                    continue;
                }
                // End of band, for this block and the 2^run + extra - 1 that follow.
                *eobrun = (1 << run) - 1 + (run != 0 ? static_cast<int>(r.Get(run)) : 0);
                break;
            }
            k += run;
            const int value = Extend(r.Get(size), size);
            if (k > se) break;
            block[k] = Scaled(value, al);
            ++k;
        }
        return true;
    }
};

struct AcRefineUnit {
    const HuffmanTable* table;
    int ss, se, al;
    int* eobrun;
    bool operator()(BitCursor& r, Component&, std::int16_t* block) const {
        const int p1 = 1 << al;
        int k = ss;
        if (*eobrun == 0) {
            for (; k <= se; ++k) {
                r.Fill();
                const int symbol = DecodeSymbol(r, *table);
                if (symbol < 0) return false;
                int run = symbol >> 4;
                int value = 0;
                if ((symbol & 15) != 0) {
                    // A newly non-zero coefficient is always of size 1: its sign bit follows.
                    value = r.Get(1) ? p1 : -p1;
                } else if (run != 15) {
                    *eobrun = (1 << run) + (run != 0 ? static_cast<int>(r.Get(run)) : 0);
                    break;
                }
                // Pass over non-zero coefficients (refining each) and `run` zero ones.
                for (; k <= se; ++k) {
                    std::int16_t* coefficient = block + k;
                    if (*coefficient != 0) {
                        Refine(r, coefficient, p1);
                    } else if (--run < 0) {
                        break;
                    }
                }
                if (value != 0 && k <= se) block[k] = static_cast<std::int16_t>(value);
            }
        }
        if (*eobrun > 0) {
            // Inside an end-of-band run only the non-zero coefficients of the band take a bit;
            // refining never makes a coefficient zero, so they can be found first.
            for (std::uint64_t todo = NonZeroMask(block) & BandMask(k, se); todo != 0;
                 todo &= todo - 1)
                Refine(r, block + std::countr_zero(todo), p1);
            --*eobrun;
        }
        return true;
    }
};

// The blocks of one scan in their order, through one cursor over the reader for the whole scan
// (written back to the reader when the walk returns).
template <class Unit>
ScanEnd WalkScan(Decoder& d, BitReader& reader, const Unit& unit, int* eobrun) {
    Frame& f = d.frame;
    const Scan& s = d.scan;
    BitCursor r(reader);
    std::uint32_t countdown = d.restart_interval;
    auto restart = [&] {
        if (d.restart_interval == 0) return;
        if (countdown == 0) {
            r.WithReader([](BitReader& rr) {
                rr.Restart();
                return 0;
            });
            for (auto& c : f.components) c.dc_predictor = 0;
            *eobrun = 0;
            countdown = d.restart_interval;
        }
        --countdown;
    };
    auto bad_code = [&] { return r.NearEnd() ? ScanEnd::kOverrun : ScanEnd::kBadCode; };

    if (s.count == 1) {
        Component& c = f.components[static_cast<std::size_t>(s.component[0])];
        for (int by = 0; by < c.blocks_high; ++by) {
            for (int bx = 0; bx < c.blocks_wide; ++bx) {
                restart();
                std::int16_t* block =
                    c.coefficients +
                    (std::size_t(by) * std::size_t(c.padded_wide) + std::size_t(bx)) *
                        kBlockCoefficients;
                if (!unit(r, c, block)) return bad_code();
                if (r.Overrun()) return ScanEnd::kOverrun;
            }
        }
        return ScanEnd::kComplete;
    }
    for (int my = 0; my < f.mcu_rows; ++my) {
        for (int mx = 0; mx < f.mcus_per_row; ++mx) {
            restart();
            for (int i = 0; i < s.count; ++i) {
                Component& c = f.components[static_cast<std::size_t>(
                    s.component[static_cast<std::size_t>(i)])];
                for (int by = 0; by < c.layout_v; ++by) {
                    const std::size_t block_row =
                        std::size_t(my) * std::size_t(c.layout_v) + std::size_t(by);
                    for (int bx = 0; bx < c.layout_h; ++bx) {
                        const std::size_t block_column =
                            std::size_t(mx) * std::size_t(c.layout_h) + std::size_t(bx);
                        std::int16_t* block =
                            c.coefficients +
                            (block_row * std::size_t(c.padded_wide) + block_column) *
                                kBlockCoefficients;
                        if (!unit(r, c, block)) return bad_code();
                    }
                }
            }
            if (r.Overrun()) return ScanEnd::kOverrun;
        }
    }
    return ScanEnd::kComplete;
}

// Checks the scan just read and decodes it with the matching block decoder.
ImageResult DecodeScan(Decoder& d, bool progressive, ScanEnd* end) {
    const Scan& s = d.scan;
    const bool dc_scan = s.ss == 0;
    ImageResult result = kImageOk;
    if (progressive) {
        result = CheckProgressiveScan(d);
        if (result == kImageOk) result = CheckScanTables(d, dc_scan && s.ah == 0, !dc_scan);
    } else {
        result = CheckScanTables(d, true, true);
    }
    if (result != kImageOk) return result;

    BitReader r;
    r.Start(d.data, d.size, d.pos);
    for (auto& c : d.frame.components) c.dc_predictor = 0;
    int eobrun = 0;
    const HuffmanTable* ac =
        dc_scan ? nullptr
                : &d.ac_tables[static_cast<std::size_t>(
                      d.frame.components[static_cast<std::size_t>(s.component[0])].ac_table)];
    if (!progressive)
        *end = WalkScan(d, r, SequentialUnit{&d}, &eobrun);
    else if (dc_scan && s.ah == 0)
        *end = WalkScan(d, r, DcFirstUnit{&d, s.al}, &eobrun);
    else if (dc_scan)
        *end = WalkScan(d, r, DcRefineUnit{s.al}, &eobrun);
    else if (s.ah == 0)
        *end = WalkScan(d, r, AcFirstUnit{ac, s.ss, s.se, s.al, &eobrun}, &eobrun);
    else
        *end = WalkScan(d, r, AcRefineUnit{ac, s.ss, s.se, s.al, &eobrun}, &eobrun);
    d.pos = r.Position();
    return kImageOk;
}

// Dequantises, transforms and writes the stored coefficients, MCU row by MCU row, as far down as
// the target region reaches. Only the non-zero coefficients are put into natural order; blocks
// with AC coefficients go to the transform in pairs where that is faster.
ImageResult Assemble(Decoder& d, ImageBuffer* target) {
    Frame& f = d.frame;
    PictureWriter writer;
    const ImageResult result = writer.Init(f, target, d.vector_kernels, d.sink, d.sink_context);
    if (result != kImageOk) return result;
    const PairTransform pair_kernel = d.vector_kernels ? FasterPairTransform() : nullptr;
    const bool pairs = pair_kernel != nullptr;
    alignas(16) std::int16_t blocks[2][kBlockCoefficients] = {};
    std::int16_t* pending = nullptr;
    std::uint8_t* pending_out = nullptr;
    std::ptrdiff_t pending_stride = 0;
    auto transform = [&](std::int16_t* block, std::uint8_t* out, std::ptrdiff_t stride) {
        if (d.vector_kernels)
            InverseDct(block, out, stride);
        else
            InverseDctPortable(block, out, stride);
        ClearBlock(block);
    };
    for (int my = 0; my < f.mcu_rows && writer.Visible(my); ++my) {
        for (int i = 0; i < f.count; ++i) {
            const Component& c = f.components[static_cast<std::size_t>(i)];
            std::uint8_t* plane = writer.Plane(i);
            const std::ptrdiff_t stride = writer.Stride(i);
            for (int by = 0; by < c.layout_v; ++by) {
                const std::size_t block_row =
                    std::size_t(my) * std::size_t(c.layout_v) + std::size_t(by);
                const std::int16_t* coefficients =
                    c.coefficients + block_row * std::size_t(c.padded_wide) * kBlockCoefficients;
                for (int bx = 0; bx < c.padded_wide; ++bx, coefficients += kBlockCoefficients) {
                    std::uint8_t* out = plane + by * 8 * stride + bx * 8;
                    const std::uint64_t nonzero = NonZeroMask(coefficients);
                    if ((nonzero >> 1) == 0) {
                        InverseDctDcOnly(static_cast<std::int16_t>(coefficients[0] * c.quant[0]),
                                         out, stride);
                        continue;
                    }
                    std::int16_t* block = pending == blocks[0] ? blocks[1] : blocks[0];
                    for (std::uint64_t todo = nonzero; todo != 0; todo &= todo - 1) {
                        const int k = std::countr_zero(todo);
                        const std::size_t at = kNaturalOrder[static_cast<std::size_t>(k)];
                        block[at] = static_cast<std::int16_t>(coefficients[k] * c.quant[at]);
                    }
                    if (!pairs) {
                        transform(block, out, stride);
                    } else if (pending == nullptr) {
                        pending = block;
                        pending_out = out;
                        pending_stride = stride;
                    } else {
                        pair_kernel(pending, pending_out, pending_stride, block, out, stride);
                        ClearBlock(pending);
                        ClearBlock(block);
                        pending = nullptr;
                    }
                }
            }
        }
        if (pending != nullptr) {
            transform(pending, pending_out, pending_stride);
            pending = nullptr;
        }
        writer.EmitMcuRow(my);
    }
    return kImageOk;
}

}  // namespace

ImageResult DecodeMultiScan(Decoder& d, ImageBuffer* target) {
    Frame& f = d.frame;
    std::size_t total = 0;
    for (int i = 0; i < f.count; ++i) {
        const Component& c = f.components[static_cast<std::size_t>(i)];
        total += std::size_t(c.padded_wide) * std::size_t(c.padded_high) * kBlockCoefficients;
    }
    if (total * sizeof(std::int16_t) > kMaxCoefficientBytes) return kOutOfMemory;
    ZeroedArray<std::int16_t> buffer = AllocZeroed<std::int16_t>(total);
    if (!buffer) return kOutOfMemory;
    std::int16_t* next = buffer.get();
    for (int i = 0; i < f.count; ++i) {
        Component& c = f.components[static_cast<std::size_t>(i)];
        c.coefficients = next;
        next += std::size_t(c.padded_wide) * std::size_t(c.padded_high) * kBlockCoefficients;
    }

    const bool progressive = f.type == kFrameProgressive;
    const unsigned all_components = (1u << f.count) - 1;
    unsigned covered = 0;
    int complete_scans = 0;
    for (int scans = 0; scans < kMaxScans; ++scans) {
        ScanEnd end = ScanEnd::kComplete;
        ImageResult result = DecodeScan(d, progressive, &end);
        if (result != kImageOk) return result;
        if (end == ScanEnd::kBadCode) return d.Fail(kBadJpegData, kJpegCodeTooLong);
        if (end == ScanEnd::kOverrun && complete_scans == 0)
            return d.Fail(kBadJpegData, kJpegInputEnded);
        if (end == ScanEnd::kComplete) ++complete_scans;
        for (int i = 0; i < d.scan.count; ++i)
            covered |= 1u << d.scan.component[static_cast<std::size_t>(i)];
        if (!progressive && covered == all_components) break;

        MarkerStop stop = MarkerStop::kEndOfInput;
        result = ReadMarkers(d, MarkerPass::kBetweenScans, &stop);
        if (result != kImageOk) return result;
        if (stop != MarkerStop::kScan) break;
        bool ended = false;
        result = ReadScanHeader(d, &ended);
        if (ended) {
            d.extended_error = 0;  // cut inside a scan header: a scan boundary like any other
            break;
        }
        if (result != kImageOk) return result;
    }
    return Assemble(d, target);
}

}  // namespace image::jpeg
