// Progressive and multi-scan decoding into coefficient buffers (one per component, blocks in
// raster order over whole MCUs). Scans follow T.81: a one-component scan is non-interleaved over
// that component's own extent; restart intervals are honoured in every scan. A later scan that
// runs out of data ends early and the picture keeps what arrived; the first must be complete.
#include "image/jpeg_progressive.h"

#include <cstring>

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

// Block decoders, one per kind of scan; each returns false for a code longer than 16 bits.
struct SequentialUnit {
    const Decoder* d;
    bool operator()(BitCursor& bits, Component& c, std::int16_t* block) const {
        std::memset(block, 0, kBlockCoefficients * sizeof *block);
        return DecodeBlock<false>(bits, d->dc_tables[static_cast<std::size_t>(c.dc_table)],
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
                block[kNaturalOrder[static_cast<std::size_t>(k)]] = Scaled(whole >> 16, al);
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
            block[kNaturalOrder[static_cast<std::size_t>(k)]] = Scaled(value, al);
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
                    std::int16_t* coefficient = block + kNaturalOrder[static_cast<std::size_t>(k)];
                    if (*coefficient != 0) {
                        Refine(r, coefficient, p1);
                    } else if (--run < 0) {
                        break;
                    }
                }
                if (value != 0 && k <= se)
                    block[kNaturalOrder[static_cast<std::size_t>(k)]] =
                        static_cast<std::int16_t>(value);
            }
        }
        if (*eobrun > 0) {
            for (; k <= se; ++k) {
                std::int16_t* coefficient = block + kNaturalOrder[static_cast<std::size_t>(k)];
                if (*coefficient != 0) Refine(r, coefficient, p1);
            }
            --*eobrun;
        }
        return true;
    }
};

// One block through a cursor over the reader, written back before the reader is asked about the
// end of the data.
template <class Unit>
bool Run(const Unit& unit, BitReader& r, Component& c, std::int16_t* block) {
    BitCursor bits(r);
    return unit(bits, c, block);
}

template <class Unit>
ScanEnd WalkScan(Decoder& d, BitReader& r, const Unit& unit, int* eobrun) {
    Frame& f = d.frame;
    const Scan& s = d.scan;
    std::uint32_t countdown = d.restart_interval;
    auto restart = [&] {
        if (d.restart_interval == 0) return;
        if (countdown == 0) {
            r.Restart();
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
                if (!Run(unit, r, c, block)) return bad_code();
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
                        if (!Run(unit, r, c, block)) return bad_code();
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
// the target region reaches.
ImageResult Assemble(Decoder& d, ImageBuffer* target) {
    Frame& f = d.frame;
    PictureWriter writer;
    const ImageResult result = writer.Init(f, target, d.vector_kernels);
    if (result != kImageOk) return result;
    alignas(16) std::int16_t block[kBlockCoefficients];
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
                    int ac = 0;
                    for (int k = 1; k < kBlockCoefficients; ++k) ac |= coefficients[k];
                    if (ac == 0) {
                        InverseDctDcOnly(static_cast<std::int16_t>(coefficients[0] * c.quant[0]),
                                         out, stride);
                        continue;
                    }
                    for (int k = 0; k < kBlockCoefficients; ++k)
                        block[k] = static_cast<std::int16_t>(coefficients[k] *
                                                             c.quant[static_cast<std::size_t>(k)]);
                    InverseDct(block, out, stride);
                }
            }
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
