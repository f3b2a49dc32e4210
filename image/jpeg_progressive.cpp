// Progressive and multi-scan decoding into coefficient buffers (one per component, blocks in
// raster order over whole MCUs, each block's coefficients in zig-zag order, so that the bands of
// a progressive scan lie contiguous). Scans follow T.81: a one-component scan is non-interleaved
// over that component's own extent; restart intervals are honoured in every scan. A later scan
// that runs out of data ends early and the picture keeps what arrived; the first must be complete.
//
// The scan headers are read ahead, so that the picture can be decoded a stripe of MCU rows at a
// time (every scan takes up its data where it left them at the end of the previous stripe): the
// coefficients held at once are a stripe's, not the picture's. Where the scans cannot be planned
// ahead, they are decoded one after the other into a store of the whole picture.
#include "image/jpeg_progressive.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

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

// One scan as it is decoded: its header, the restart interval and the Huffman tables in force for
// it (by component index: a header that names one component twice leaves it the tables named
// last), and where its entropy-coded data begin.
struct ScanPlan {
    Scan scan;
    std::uint32_t restart_interval = 0;
    std::array<const HuffmanTable*, kMaxComponents> dc{}, ac{};
    std::size_t start = 0;
};

// Where the walk through one scan stands. The stripe-by-stripe decode puts it aside at the end of
// each stripe and takes it up again at the next.
struct ScanState {
    BitReader reader;
    std::array<std::int32_t, kMaxComponents> predictors{};  // by component index
    std::uint32_t countdown = 0;                            // units left before the next restart
    int eobrun = 0;
    bool stopped = false;  // ended early: the rest of the scan keeps what it has

    void Begin(const Decoder& d, const ScanPlan& plan) {
        reader.Start(d.data, d.size, plan.start);
        predictors = {};
        countdown = plan.restart_interval;
        eobrun = 0;
        stopped = false;
    }
};

// Block decoders, one per kind of scan; each returns false for a code longer than 16 bits. They
// are called with the index of the block's component.
struct SequentialUnit {
    const ScanPlan* plan;
    std::int32_t* predictors;
    bool operator()(BitCursor& bits, int c, std::int16_t* block) const {
        const auto i = static_cast<std::size_t>(c);
        std::memset(block, 0, kBlockCoefficients * sizeof *block);
        return DecodeBlock<false, true>(bits, *plan->dc[i], *plan->ac[i], predictors + i, nullptr,
                                        block) >= 0;
    }
};

struct DcFirstUnit {
    const ScanPlan* plan;
    std::int32_t* predictors;
    int al;
    bool operator()(BitCursor& r, int c, std::int16_t* block) const {
        const auto i = static_cast<std::size_t>(c);
        r.Fill();
        const int category = DecodeSymbol(r, *plan->dc[i]);
        if (category < 0) return false;
        const int diff = category != 0 ? Extend(r.Get(category), category) : 0;
        predictors[i] = WrapAdd(predictors[i], diff);
        block[0] = Scaled(static_cast<std::int16_t>(predictors[i]), al);
        return true;
    }
};

struct DcRefineUnit {
    int al;
    bool operator()(BitCursor& r, int, std::int16_t* block) const {
        r.Fill();
        if (r.Get(1)) block[0] = static_cast<std::int16_t>(block[0] | (1 << al));
        return true;
    }
};

struct AcFirstUnit {
    const HuffmanTable* table;
    int ss, se, al;
    int* eobrun;
    bool operator()(BitCursor& r, int, std::int16_t* block) const {
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
    bool operator()(BitCursor& r, int, std::int16_t* block) const {
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

// The blocks of MCU rows first_row to end_row - 1 of one scan, in the scan's order, through one
// cursor over the scan's reader (written back when the walk returns). A one-component scan covers
// that component's own block rows of those MCU rows. kComplete when those blocks are done.
template <class Unit>
ScanEnd WalkScan(Frame& f, const ScanPlan& plan, ScanState& state, const Unit& unit, int first_row,
                 int end_row) {
    const Scan& s = plan.scan;
    BitCursor r(state.reader);
    auto restart = [&] {
        if (plan.restart_interval == 0) return;
        if (state.countdown == 0) {
            r.WithReader([](BitReader& rr) {
                rr.Restart();
                return 0;
            });
            state.predictors = {};
            state.eobrun = 0;
            state.countdown = plan.restart_interval;
        }
        --state.countdown;
    };
    auto bad_code = [&] { return r.NearEnd() ? ScanEnd::kOverrun : ScanEnd::kBadCode; };

    if (s.count == 1) {
        const int index = s.component[0];
        const Component& c = f.components[static_cast<std::size_t>(index)];
        const int end = std::min(end_row * c.layout_v, c.blocks_high);
        for (int by = first_row * c.layout_v; by < end; ++by) {
            std::int16_t* block = c.coefficients + std::size_t(by - c.stored_row) *
                                                       std::size_t(c.padded_wide) *
                                                       kBlockCoefficients;
            for (int bx = 0; bx < c.blocks_wide; ++bx, block += kBlockCoefficients) {
                restart();
                if (!unit(r, index, block)) return bad_code();
                if (r.Overrun()) return ScanEnd::kOverrun;
            }
        }
        return ScanEnd::kComplete;
    }
    for (int my = first_row; my < end_row; ++my) {
        for (int mx = 0; mx < f.mcus_per_row; ++mx) {
            restart();
            for (int i = 0; i < s.count; ++i) {
                const int index = s.component[static_cast<std::size_t>(i)];
                const Component& c = f.components[static_cast<std::size_t>(index)];
                for (int by = 0; by < c.layout_v; ++by) {
                    const std::size_t block_row = std::size_t(my) * std::size_t(c.layout_v) +
                                                  std::size_t(by) - std::size_t(c.stored_row);
                    for (int bx = 0; bx < c.layout_h; ++bx) {
                        const std::size_t block_column =
                            std::size_t(mx) * std::size_t(c.layout_h) + std::size_t(bx);
                        std::int16_t* block =
                            c.coefficients +
                            (block_row * std::size_t(c.padded_wide) + block_column) *
                                kBlockCoefficients;
                        if (!unit(r, index, block)) return bad_code();
                    }
                }
            }
            if (r.Overrun()) return ScanEnd::kOverrun;
        }
    }
    return ScanEnd::kComplete;
}

// Decodes MCU rows first_row to end_row - 1 of a scan with the matching block decoder.
ScanEnd WalkScanRows(Frame& f, const ScanPlan& plan, ScanState& state, bool progressive,
                     int first_row, int end_row) {
    const Scan& s = plan.scan;
    std::int32_t* predictors = state.predictors.data();
    if (!progressive)
        return WalkScan(f, plan, state, SequentialUnit{&plan, predictors}, first_row, end_row);
    if (s.ss == 0 && s.ah == 0)
        return WalkScan(f, plan, state, DcFirstUnit{&plan, predictors, s.al}, first_row, end_row);
    if (s.ss == 0) return WalkScan(f, plan, state, DcRefineUnit{s.al}, first_row, end_row);
    const HuffmanTable* ac = plan.ac[static_cast<std::size_t>(s.component[0])];
    if (s.ah == 0)
        return WalkScan(f, plan, state, AcFirstUnit{ac, s.ss, s.se, s.al, &state.eobrun}, first_row,
                        end_row);
    return WalkScan(f, plan, state, AcRefineUnit{ac, s.ss, s.se, s.al, &state.eobrun}, first_row,
                    end_row);
}

// The scan header just read must suit the frame, and the Huffman tables it needs be defined.
ImageResult CheckScan(Decoder& d, bool progressive) {
    if (!progressive) return CheckScanTables(d, true, true);
    const Scan& s = d.scan;
    ImageResult result = CheckProgressiveScan(d);
    if (result == kImageOk) result = CheckScanTables(d, s.ss == 0 && s.ah == 0, s.ss != 0);
    return result;
}

// Which of its component's tables a checked scan reads.
bool NeedsDcTables(const Scan& s, bool progressive) {
    return !progressive || (s.ss == 0 && s.ah == 0);
}
bool NeedsAcTables(const Scan& s, bool progressive) {
    return !progressive || s.ss != 0;
}

// Fills plan for the scan whose header d has just read, each Huffman table the scan reads given
// by table(dc, slot). False when that gives none.
template <class Table>
bool PlanScan(const Decoder& d, bool progressive, ScanPlan* plan, Table table) {
    plan->scan = d.scan;
    plan->restart_interval = d.restart_interval;
    plan->start = d.pos;
    plan->dc = {};
    plan->ac = {};
    for (int i = 0; i < d.scan.count; ++i) {
        const auto index = static_cast<std::size_t>(d.scan.component[static_cast<std::size_t>(i)]);
        const Component& c = d.frame.components[index];
        if (NeedsDcTables(d.scan, progressive) &&
            (plan->dc[index] = table(true, static_cast<std::size_t>(c.dc_table))) == nullptr)
            return false;
        if (NeedsAcTables(d.scan, progressive) &&
            (plan->ac[index] = table(false, static_cast<std::size_t>(c.ac_table))) == nullptr)
            return false;
    }
    return true;
}

// Dequantises, transforms and writes the stored coefficients of MCU rows first_row to
// end_row - 1, as far down as the target region reaches. Only the non-zero coefficients are put
// into natural order; blocks with AC coefficients go to the transform in pairs where that is
// faster.
void Assemble(Decoder& d, PictureWriter& writer, int first_row, int end_row) {
    Frame& f = d.frame;
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
    for (int my = first_row; my < end_row && writer.Visible(my); ++my) {
        for (int i = 0; i < f.count; ++i) {
            const Component& c = f.components[static_cast<std::size_t>(i)];
            std::uint8_t* plane = writer.Plane(i);
            const std::ptrdiff_t stride = writer.Stride(i);
            for (int by = 0; by < c.layout_v; ++by) {
                const std::size_t block_row = std::size_t(my) * std::size_t(c.layout_v) +
                                              std::size_t(by) - std::size_t(c.stored_row);
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
}

// Coefficient blocks of `rows` MCU rows of every component.
std::size_t StoreBlocks(const Frame& f, int rows) {
    std::size_t blocks = 0;
    for (int i = 0; i < f.count; ++i) {
        const Component& c = f.components[static_cast<std::size_t>(i)];
        blocks += std::size_t(c.padded_wide) * std::size_t(rows) * std::size_t(c.layout_v);
    }
    return blocks;
}

// Points each component's coefficients into store, which holds MCU rows from first_row on.
void PlaceStore(Frame& f, std::int16_t* store, int rows, int first_row) {
    for (int i = 0; i < f.count; ++i) {
        Component& c = f.components[static_cast<std::size_t>(i)];
        c.coefficients = store;
        c.stored_row = first_row * c.layout_v;
        store += std::size_t(c.padded_wide) * std::size_t(rows) * std::size_t(c.layout_v) *
                 kBlockCoefficients;
    }
}

// The picture's coefficients kept whole: each scan is decoded to its end before the next one's
// header is looked for from where its data stopped. Used when the scans cannot be planned ahead.
ImageResult DecodeWhole(Decoder& d, ImageBuffer* target) {
    Frame& f = d.frame;
    ZeroedArray<std::int16_t> store =
        AllocZeroed<std::int16_t>(StoreBlocks(f, f.mcu_rows) * kBlockCoefficients);
    if (!store) return kOutOfMemory;
    PlaceStore(f, store.get(), f.mcu_rows, 0);

    const bool progressive = f.type == kFrameProgressive;
    const unsigned all_components = (1u << f.count) - 1;
    unsigned covered = 0;
    int complete_scans = 0;
    for (int scans = 0; scans < kMaxScans; ++scans) {
        ImageResult result = CheckScan(d, progressive);
        if (result != kImageOk) return result;
        ScanPlan plan;
        PlanScan(d, progressive, &plan, [&d](bool dc, std::size_t slot) {
            return dc ? &d.dc_tables[slot] : &d.ac_tables[slot];
        });
        ScanState state;
        state.Begin(d, plan);
        const ScanEnd end = WalkScanRows(f, plan, state, progressive, 0, f.mcu_rows);
        d.pos = state.reader.Position();
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
    PictureWriter writer;
    const ImageResult result = writer.Init(f, target, d.vector_kernels, d.sink, d.sink_context);
    if (result != kImageOk) return result;
    Assemble(d, writer, 0, f.mcu_rows);
    return kImageOk;
}

// The scans of a picture read ahead from their headers: what the stripe-by-stripe decode needs.
inline constexpr int kMaxPlannedScans = 64;
inline constexpr int kMaxTableCopies = 64;

struct ScanScript {
    std::unique_ptr<ScanPlan[]> plans;
    int count = 0;
    // Copies of the Huffman tables the scans use, each made once while it stays in force.
    std::array<std::unique_ptr<HuffmanTable>, kMaxTableCopies> tables;
    int table_count = 0;
    // What stops the picture after its last planned scan: a fault the decode reports unless
    // one of the scans fails first.
    ImageResult failure = kImageOk;
    std::int32_t failure_extended = 0;
};

// The copy of the table in one slot, and the definition it was made from.
struct TableCopy {
    const HuffmanTable* table = nullptr;
    std::uint32_t version = 0;
};

const HuffmanTable* CopyOf(ScanScript& script, const HuffmanTable& table, std::uint32_t version,
                           TableCopy& last) {
    if (last.table != nullptr && last.version == version) return last.table;
    if (script.table_count == kMaxTableCopies) return nullptr;
    std::unique_ptr<HuffmanTable> copy(new (std::nothrow) HuffmanTable(table));
    if (!copy) return nullptr;
    last.table = copy.get();
    last.version = version;
    script.tables[static_cast<std::size_t>(script.table_count++)] = std::move(copy);
    return last.table;
}

// True when the scan's restarts cannot carry its reader past the marker that ends its data. Each
// restart skips past the next marker whatever it is; so the data must hold a marker that the walk
// between scans passes over (a restart marker, or TEM or SOI) for every restart the scan makes,
// or end without another marker. Otherwise where the next scan starts depends on how far the
// decode of this one gets.
bool RestartsStayInside(const Decoder& d, const ScanPlan& plan) {
    if (plan.restart_interval == 0) return true;
    const Frame& f = d.frame;
    std::uint64_t units = 0;
    if (plan.scan.count == 1) {
        const Component& c = f.components[static_cast<std::size_t>(plan.scan.component[0])];
        units = std::uint64_t(c.blocks_wide) * std::uint64_t(c.blocks_high);
    } else {
        units = std::uint64_t(f.mcus_per_row) * std::uint64_t(f.mcu_rows);
    }
    const std::uint64_t restarts = (units - 1) / plan.restart_interval;
    std::uint64_t passed = 0;
    std::size_t pos = plan.start;
    while (passed < restarts && pos + 1 < d.size) {
        const void* mark = std::memchr(d.data + pos, 0xFF, d.size - pos - 1);
        if (mark == nullptr) break;
        pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(mark) - d.data);
        const std::uint8_t next = d.data[pos + 1];
        if (next == 0x00) {
            pos += 2;
        } else if (next == 0xFF) {
            ++pos;
        } else if ((next >= 0xD0 && next <= 0xD8) || next == 0x01) {
            ++passed;
            pos += 2;
        } else {
            return false;
        }
    }
    return true;
}

// Reads every scan header, and the segments between the scans, on a copy of the decoder, from the
// scan whose header was just read. False when the scans cannot be planned: more of them or of
// their tables than the script holds, restarts that may reach past their scan, or no memory.
bool PlanScans(const Decoder& d, ScanScript& script) {
    std::unique_ptr<Decoder> walker(new (std::nothrow) Decoder(d));
    script.plans.reset(new (std::nothrow) ScanPlan[kMaxPlannedScans]);
    if (!walker || !script.plans) return false;
    Decoder& w = *walker;
    const Frame& f = w.frame;
    const bool progressive = f.type == kFrameProgressive;
    const unsigned all_components = (1u << f.count) - 1;
    unsigned covered = 0;
    std::array<TableCopy, kTableSlots> dc_copies{}, ac_copies{};
    auto fail = [&](ImageResult result) {
        script.failure = result;
        script.failure_extended = w.extended_error;
        return true;
    };
    for (;;) {
        ImageResult result = CheckScan(w, progressive);
        if (result != kImageOk) return fail(result);
        if (script.count == kMaxPlannedScans) return false;
        ScanPlan& plan = script.plans[static_cast<std::size_t>(script.count)];
        const bool planned = PlanScan(w, progressive, &plan, [&](bool dc, std::size_t slot) {
            return dc ? CopyOf(script, w.dc_tables[slot], w.dc_versions[slot], dc_copies[slot])
                      : CopyOf(script, w.ac_tables[slot], w.ac_versions[slot], ac_copies[slot]);
        });
        if (!planned) return false;
        ++script.count;
        for (int i = 0; i < w.scan.count; ++i)
            covered |= 1u << w.scan.component[static_cast<std::size_t>(i)];
        if (!progressive && covered == all_components) return true;
        if (!RestartsStayInside(w, plan)) return false;

        // From the first byte of the scan's data the walk passes over them to the next segment,
        // as it does from wherever a decode of them stops.
        MarkerStop stop = MarkerStop::kEndOfInput;
        result = ReadMarkers(w, MarkerPass::kBetweenScans, &stop);
        if (result != kImageOk) return fail(result);
        if (stop != MarkerStop::kScan) return true;
        bool ended = false;
        result = ReadScanHeader(w, &ended);
        if (ended) return true;  // cut inside a scan header: a scan boundary like any other
        if (result != kImageOk) return fail(result);
    }
}

std::atomic<int>& StripeSetting() {
    static std::atomic<int> rows{0};
    return rows;
}

// Stripes of about this many bytes of coefficients: small beside the picture, large beside the
// cost of taking up each scan again.
inline constexpr std::size_t kStripeBytes = 256 * 1024;

// The picture decoded a stripe of MCU rows at a time: every scan in turn decodes the stripe's
// blocks, from where it stood at the end of the previous stripe, and the stripe is written out
// before the next is begun. The result is the one the scan-by-scan decode gives: the first fault
// in the order of the data, and the picture only when there is none.
ImageResult DecodeInStripes(Decoder& d, const ScanScript& script, int rows, ImageBuffer* target) {
    Frame& f = d.frame;
    if (rows <= 0) {
        const std::size_t row_bytes = StoreBlocks(f, 1) * kBlockCoefficients * sizeof(std::int16_t);
        rows = static_cast<int>(std::max<std::size_t>(1, kStripeBytes / row_bytes));
    }
    rows = std::min(rows, f.mcu_rows);
    const std::size_t store_size = StoreBlocks(f, rows) * kBlockCoefficients;
    ZeroedArray<std::int16_t> store = AllocZeroed<std::int16_t>(store_size);
    std::unique_ptr<ScanState[]> states(
        new (std::nothrow) ScanState[static_cast<std::size_t>(std::max(script.count, 1))]);
    if (!store || !states) return kOutOfMemory;
    for (int j = 0; j < script.count; ++j)
        states[static_cast<std::size_t>(j)].Begin(d, script.plans[static_cast<std::size_t>(j)]);
    PictureWriter writer;
    const ImageResult result = writer.Init(f, target, d.vector_kernels, d.sink, d.sink_context);
    if (result != kImageOk) return result;

    const bool progressive = f.type == kFrameProgressive;
    int live = script.count;  // the scans before the first one that failed
    std::int32_t extended = 0;
    for (int first = 0; first < f.mcu_rows && live > 0; first += rows) {
        const int end = std::min(first + rows, f.mcu_rows);
        if (first > 0) std::memset(store.get(), 0, store_size * sizeof(std::int16_t));
        PlaceStore(f, store.get(), rows, first);
        for (int j = 0; j < live; ++j) {
            ScanState& state = states[static_cast<std::size_t>(j)];
            if (state.stopped) continue;
            const ScanEnd scan_end = WalkScanRows(f, script.plans[static_cast<std::size_t>(j)],
                                                  state, progressive, first, end);
            if (scan_end == ScanEnd::kComplete) continue;
            state.stopped = true;
            // A bad code fails the picture, and so does the first scan cut short; a later scan
            // cut short leaves what arrived.
            if (scan_end == ScanEnd::kBadCode || j == 0) {
                extended = scan_end == ScanEnd::kBadCode ? kJpegCodeTooLong : kJpegInputEnded;
                live = j;
            }
        }
        if (live == script.count && script.failure == kImageOk) Assemble(d, writer, first, end);
    }
    if (live < script.count) return d.Fail(kBadJpegData, extended);
    if (script.failure != kImageOk) return d.Fail(script.failure, script.failure_extended);
    return kImageOk;
}

}  // namespace

void SetCoefficientStripes(int rows) {
    StripeSetting().store(rows, std::memory_order_relaxed);
}

ImageResult DecodeMultiScan(Decoder& d, ImageBuffer* target) {
    const Frame& f = d.frame;
    // The limit of the whole store holds however the coefficients are kept: it bounds the work
    // a header can ask for.
    if (StoreBlocks(f, f.mcu_rows) * kBlockCoefficients * sizeof(std::int16_t) >
        kMaxCoefficientBytes)
        return kOutOfMemory;
    const int rows = StripeSetting().load(std::memory_order_relaxed);
    if (rows >= 0) {
        ScanScript script;
        if (PlanScans(d, script)) return DecodeInStripes(d, script, rows, target);
    }
    return DecodeWhole(d, target);
}

}  // namespace image::jpeg
