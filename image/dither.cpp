// Error diffusion and ordered dithering into the fixed palettes. Each channel is quantised on
// its own; what a channel value becomes (its level, and for diffusion its error and the share
// for the right) is worked out once per palette into tables, so the loop along a row only looks
// values up, adds and clamps, exactly as the step-by-step arithmetic would. What needs no chain
// from pixel to pixel runs many values at a time (in AVX2 lanes where the processor has them,
// else SSE2/SSSE3): the shares diffusion sends to the row below, and ordered dithering's whole
// runs of sixteen pixels.
#include "image/dither.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "image/display_palettes.h"
#include "image/jpeg_simd.h"

namespace image {
namespace {

constexpr int kChannels = 3;   // blue, green, red
constexpr int kHalfStep = 24;  // a remainder above this rounds up to the next cube level
constexpr int kOnThreshold = 128;
constexpr int kFull = 255;
constexpr int kMatrixValues = 51;  // the dither matrix holds 0..50
constexpr int kCodes = kCubeLevels * kCubeLevels * kCubeLevels;

// The 256-colour palette: cube levels of 51. A pixel's levels are summed with the channel
// weights into a code (blue + 6 green + 36 red) that Index turns into the palette entry.
struct Cube {
    // Diffusion: the nearer level, and what rounding to it left over.
    static int Nearest(int v, int* error) {
        const int remainder = v % kCubeStep;
        if (remainder > kHalfStep) {
            *error = remainder - kCubeStep;
            return v / kCubeStep + 1;
        }
        *error = remainder;
        return v / kCubeStep;
    }
    static int Dithered(int v, int threshold) {
        return v / kCubeStep + (threshold < v % kCubeStep ? 1 : 0);
    }
    static int Threshold(int matrix_value) { return matrix_value; }
    static constexpr int kWeights[kChannels] = {1, kCubeLevels, kCubeLevels * kCubeLevels};
    static constexpr int kCodes = kCubeLevels * kCubeLevels * kCubeLevels;
    static int Index(int code) { return kCubeLastEntry - code; }
    static const PaletteEntry* Entries() { return FixedPalette256().data(); }
    static constexpr int kCount = kFixedColors256;
};

// The 16-colour palette: each channel fully on or off; the code is the corner-colour bits.
struct Corners {
    static int Nearest(int v, int* error) {
        if (v >= kOnThreshold) {
            *error = v - kFull;
            return 1;
        }
        *error = v;
        return 0;
    }
    static int Dithered(int v, int threshold) { return threshold < v ? 1 : 0; }
    static int Threshold(int matrix_value) { return kDitherScale16 * matrix_value; }
    static constexpr int kWeights[kChannels] = {1, 2, 4};
    static constexpr int kCodes = 8;
    static int Index(int code) { return kCornerIndex[static_cast<std::size_t>(code)]; }
    static const PaletteEntry* Entries() { return FixedPalette16().data(); }
    static constexpr int kCount = kFixedColors16;
};

inline int Clamp255(int v) { return std::clamp(v, 0, kFull); }

// What diffusion does with a channel value v (always 0..255, as every sum is clamped): the share
// of its error for the pixel to the right, and apart from that its weighted level and the error
// itself (the row below's shares are worked out from it for a whole row at once), once per
// palette. The share has a table of its own: the next pixel waits on it, and a load of its own
// takes its address straight from the sum.
struct DiffusionStep {
    std::uint8_t weighted_level;
    std::int8_t error;
};

// A value plus the share from its left neighbour lies within kStepBias of 0..255.
constexpr int kStepBias = 64;
constexpr int kSums = 256 + 2 * kStepBias;

struct DiffusionTables {
    std::int8_t right[kChannels][kSums];  // by value + kStepBias, clamped
    DiffusionStep step[kChannels][kSums];
    std::uint8_t index[kCodes];
};

// Ordered dithering: the weighted level of every channel value under every matrix value.
struct DitherTables {
    std::uint8_t level[kMatrixValues][kChannels][256];
    std::uint8_t index[kCodes];
};

template <typename Palette>
void FillIndex(std::uint8_t* index) {
    for (int code = 0; code < kCodes; ++code)
        index[code] = static_cast<std::uint8_t>(code < Palette::kCodes ? Palette::Index(code) : 0);
}

template <typename Palette>
const DiffusionTables& DiffusionTablesFor() {
    static const DiffusionTables* tables = [] {
        auto* t = new DiffusionTables();
        for (int c = 0; c < kChannels; ++c)
            for (int sum = -kStepBias; sum < 256 + kStepBias; ++sum) {
                int e;
                const int level = Palette::Nearest(Clamp255(sum), &e);
                t->right[c][sum + kStepBias] = static_cast<std::int8_t>((7 * e) >> 4);
                t->step[c][sum + kStepBias] =
                    DiffusionStep{static_cast<std::uint8_t>(level * Palette::kWeights[c]),
                                  static_cast<std::int8_t>(e)};
            }
        FillIndex<Palette>(t->index);
        return t;
    }();
    return *tables;
}

template <typename Palette>
const DitherTables& DitherTablesFor() {
    static const DitherTables* tables = [] {
        auto* t = new DitherTables();
        for (int m = 0; m < kMatrixValues; ++m)
            for (int c = 0; c < kChannels; ++c)
                for (int v = 0; v < 256; ++v)
                    t->level[m][c][v] = static_cast<std::uint8_t>(
                        Palette::Dithered(v, Palette::Threshold(m)) * Palette::kWeights[c]);
        FillIndex<Palette>(t->index);
        return t;
    }();
    return *tables;
}

// Row y (counted from the picture's top) of the source's region as blue, green, red bytes: the
// source row itself for 24 bits, 8-bit pixels expanded through the colour table into scratch.
const std::uint8_t* SourceRow(const ImageBuffer& source, std::uint32_t y, std::uint32_t width,
                              std::uint8_t* scratch) {
    const std::uint8_t* p = source.Bits + PixelOffset(source, source.Left, y);
    if (source.Header->BitCount == 24) return p;
    const auto count = static_cast<std::uint32_t>(std::max(source.ColorCount, 0));
    for (std::uint32_t j = 0; j < width; ++j) {
        const PaletteEntry e = p[j] < count ? source.Palette[p[j]] : PaletteEntry{0, 0, 0, 0};
        scratch[j * kChannels] = e.Blue;
        scratch[j * kChannels + 1] = e.Green;
        scratch[j * kChannels + 2] = e.Red;
    }
    return scratch;
}

std::uint8_t* TargetRow(ImageBuffer* target, std::uint32_t i) {
    return target->Bits + PixelOffset(*target, target->Left, target->Top + i);
}

// One row of diffusion, the three channels side by side (each channel's error runs along the
// row from pixel to pixel, so three independent chains keep the processor busy). cur holds the
// row's values with everything the row above sent them (clamped after each share). The share
// to the right is added when the pixel is reached: the step table is indexed by the unclamped
// sum and does the clamp itself. Each value's error goes to errors, for BelowRow.
void DiffuseRow(const DiffusionTables& t, const std::uint8_t* cur, std::uint32_t width,
                std::int8_t* errors, std::uint8_t* out) {
    const std::int8_t* const blue_right = t.right[0] + kStepBias;
    const std::int8_t* const green_right = t.right[1] + kStepBias;
    const std::int8_t* const red_right = t.right[2] + kStepBias;
    const DiffusionStep* const blue_steps = t.step[0] + kStepBias;
    const DiffusionStep* const green_steps = t.step[1] + kStepBias;
    const DiffusionStep* const red_steps = t.step[2] + kStepBias;
    std::ptrdiff_t carry_b = 0, carry_g = 0, carry_r = 0;
    for (std::uint32_t j = 0; j < width; ++j) {
        const std::size_t at = static_cast<std::size_t>(j) * kChannels;
        const std::ptrdiff_t sum_b = cur[at] + carry_b;
        const std::ptrdiff_t sum_g = cur[at + 1] + carry_g;
        const std::ptrdiff_t sum_r = cur[at + 2] + carry_r;
        carry_b = blue_right[sum_b];
        carry_g = green_right[sum_g];
        carry_r = red_right[sum_r];
        const DiffusionStep sb = blue_steps[sum_b];
        const DiffusionStep sg = green_steps[sum_g];
        const DiffusionStep sr = red_steps[sum_r];
        out[j] = t.index[sb.weighted_level + sg.weighted_level + sr.weighted_level];
        errors[at] = sb.error;
        errors[at + 1] = sg.error;
        errors[at + 2] = sr.error;
    }
}

// The row below's value k (n values, three a pixel): its source value with the row's shares
// added in the order the pixels send them (below right of the pixel to the left, below of the
// one above, below left of the one to the right), each sum clamped. errors has one zero pixel
// before and after the row, whose shares of 0 leave a value as it is.
inline std::uint8_t BelowValue(const std::uint8_t* source_below, const std::int8_t* errors,
                               std::size_t k) {
    int v = Clamp255(source_below[k] + (errors[k - kChannels] >> 4));
    v = Clamp255(v + ((5 * errors[k]) >> 4));
    return static_cast<std::uint8_t>(Clamp255(v + ((3 * errors[k + kChannels]) >> 4)));
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] inline __m256i SixteenErrors(const std::int8_t* p) {
    return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Sixteen values at a time in AVX2 lanes, the same steps as the SSE2 loop below.
[[gnu::target("avx2")]] std::size_t BelowRowAvx2(const std::uint8_t* source_below,
                                                 const std::int8_t* errors, std::size_t n,
                                                 std::uint8_t* next) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i full = _mm256_set1_epi16(kFull);
    std::size_t k = 0;
    for (; k + 16 <= n; k += 16) {
        __m256i v = _mm256_cvtepu8_epi16(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(source_below + k)));
        const __m256i left = SixteenErrors(errors + k - kChannels);
        const __m256i above = SixteenErrors(errors + k);
        const __m256i right = SixteenErrors(errors + k + kChannels);
        v = _mm256_min_epi16(_mm256_max_epi16(_mm256_add_epi16(v, _mm256_srai_epi16(left, 4)), zero),
                             full);
        v = _mm256_add_epi16(
            v, _mm256_srai_epi16(_mm256_add_epi16(_mm256_slli_epi16(above, 2), above), 4));
        v = _mm256_min_epi16(_mm256_max_epi16(v, zero), full);
        v = _mm256_add_epi16(
            v, _mm256_srai_epi16(_mm256_add_epi16(_mm256_slli_epi16(right, 1), right), 4));
        const __m128i packed =
            _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(next + k), packed);
    }
    return k;
}
#endif

void BelowRow(const std::uint8_t* source_below, const std::int8_t* errors, std::size_t n,
              std::uint8_t* next) {
    std::size_t k = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (jpeg::CpuHasAvx2()) k = BelowRowAvx2(source_below, errors, n, next);
#endif
#if defined(__SSE2__)
    // Eight values at a time in 16-bit lanes: the error shares are arithmetic shifts of the
    // sign-extended errors, and each clamp a max and min.
    const __m128i zero = _mm_setzero_si128();
    const __m128i full = _mm_set1_epi16(kFull);
    auto errors_at = [](const std::int8_t* p) {
        const __m128i e = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        return _mm_srai_epi16(_mm_unpacklo_epi8(e, e), 8);
    };
    auto clamp = [&](__m128i v) { return _mm_min_epi16(_mm_max_epi16(v, zero), full); };
    for (; k + 8 <= n; k += 8) {
        __m128i v = _mm_unpacklo_epi8(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(source_below + k)), zero);
        const __m128i left = errors_at(errors + k - kChannels);
        const __m128i above = errors_at(errors + k);
        const __m128i right = errors_at(errors + k + kChannels);
        v = clamp(_mm_add_epi16(v, _mm_srai_epi16(left, 4)));
        v = clamp(
            _mm_add_epi16(v, _mm_srai_epi16(_mm_add_epi16(_mm_slli_epi16(above, 2), above), 4)));
        v = _mm_add_epi16(v, _mm_srai_epi16(_mm_add_epi16(_mm_slli_epi16(right, 1), right), 4));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(next + k), _mm_packus_epi16(v, v));
    }
#endif
    for (; k < n; ++k) next[k] = BelowValue(source_below, errors, k);
}

#if defined(__x86_64__) || defined(__i386__)
constexpr int kRun = 16;                   // pixels per step
constexpr std::uint16_t kDivide51 = 1286;  // (v * 1286) >> 16 == v / 51 for every v in 0..255

// pshufb masks that take channel c of 16 pixels out of 48 bytes of blue, green, red triples: mask
// 3 * part + c picks the bytes of the part's 16 that belong to the channel.
struct GatherMasks {
    alignas(16) std::array<std::array<std::uint8_t, 16>, 9> mask;
};
constexpr GatherMasks MakeGatherMasks() {
    GatherMasks m{};
    for (int part = 0; part < 3; ++part)
        for (int channel = 0; channel < kChannels; ++channel)
            for (int i = 0; i < kRun; ++i) {
                const int at = kChannels * i + channel;
                m.mask[static_cast<std::size_t>(3 * part + channel)][static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(at / 16 == part ? at % 16 : 0x80);
            }
    return m;
}
constexpr GatherMasks kGather = MakeGatherMasks();

[[gnu::target("ssse3")]] inline __m128i Channel16(__m128i p0, __m128i p1, __m128i p2, int c) {
    auto mask = [](int i) {
        return _mm_load_si128(
            reinterpret_cast<const __m128i*>(kGather.mask[static_cast<std::size_t>(i)].data()));
    };
    return _mm_or_si128(
        _mm_or_si128(_mm_shuffle_epi8(p0, mask(c)), _mm_shuffle_epi8(p1, mask(3 + c))),
        _mm_shuffle_epi8(p2, mask(6 + c)));
}

// The chain alone: for each value the share its left neighbour sent it (a row's first pixel
// gets none). The next share is looked up at the table's address moved by the value, which is
// worked out before the previous share arrives, so each step of the chain is one load.
struct RightShares {
    std::ptrdiff_t blue = 0, green = 0, red = 0;
};

// The three channels' share tables lie one after the other, so one register addresses them all.
struct ShareTables {
    const std::int8_t* blue;
};

inline ShareTables ShareTablesOf(const DiffusionTables& t) { return {t.right[0] + kStepBias}; }

// One pixel: records the shares it receives and takes the ones it sends.
[[gnu::always_inline]] inline void ChainStep(ShareTables t, const std::uint8_t* value,
                                             std::int8_t* carries, RightShares& s) {
    const std::int8_t* at_b = t.blue + value[0];
    const std::int8_t* at_g = t.blue + kSums + value[1];
    const std::int8_t* at_r = t.blue + 2 * kSums + value[2];
    // Keeps the compiler from folding the value back into the chain's addition.
    asm("" : "+r"(at_b), "+r"(at_g), "+r"(at_r));
    carries[0] = static_cast<std::int8_t>(s.blue);
    carries[1] = static_cast<std::int8_t>(s.green);
    carries[2] = static_cast<std::int8_t>(s.red);
    s.blue = at_b[s.blue];
    s.green = at_g[s.green];
    s.red = at_r[s.red];
}

// The shares are worked on in locals, so that they stay in registers.
[[gnu::always_inline]] inline void ChainRun(ShareTables t, const std::uint8_t* value,
                                            std::int8_t* carries, std::uint32_t count,
                                            RightShares& shares) {
    RightShares s = shares;
    for (std::uint32_t j = 0; j < count; ++j, value += kChannels, carries += kChannels)
        ChainStep(t, value, carries, s);
    shares = s;
}

// Two rows' chains side by side, so that each waits while the other's loads are on their way.
[[gnu::always_inline]] inline void ChainRunPair(
    ShareTables t, const std::uint8_t* upper, std::int8_t* upper_carries, std::uint32_t upper_count,
    RightShares& upper_shares, const std::uint8_t* lower, std::int8_t* lower_carries,
    std::uint32_t lower_count, RightShares& lower_shares) {
    const std::uint32_t both = std::min(upper_count, lower_count);
    RightShares u = upper_shares, l = lower_shares;
    for (std::uint32_t j = 0; j < both; ++j) {
        ChainStep(t, upper, upper_carries, u);
        ChainStep(t, lower, lower_carries, l);
        upper += kChannels, upper_carries += kChannels;
        lower += kChannels, lower_carries += kChannels;
    }
    upper_shares = u, lower_shares = l;
    ChainRun(t, upper, upper_carries, upper_count - both, upper_shares);
    ChainRun(t, lower, lower_carries, lower_count - both, lower_shares);
}

// The channel weight of each 16-bit lane of each third of a run's 48 values, and the corner
// colours as a byte shuffle table.
struct WeightLanes {
    alignas(32) std::array<std::array<std::int16_t, 16>, 3> lanes;
};
template <typename Palette>
constexpr WeightLanes MakeWeightLanes() {
    WeightLanes w{};
    for (int k = 0; k < 3 * kRun; ++k)
        w.lanes[static_cast<std::size_t>(k / 16)][static_cast<std::size_t>(k % 16)] =
            static_cast<std::int16_t>(Palette::kWeights[k % kChannels]);
    return w;
}
template <typename Palette>
constexpr WeightLanes kWeightLanes = MakeWeightLanes<Palette>();

struct CornerShuffle {
    alignas(16) std::array<std::uint8_t, 16> table;
};
constexpr CornerShuffle MakeCornerShuffle() {
    CornerShuffle c{};
    for (std::size_t code = 0; code < kCornerIndex.size(); ++code)
        c.table[code] = kCornerIndex[code];
    return c;
}
constexpr CornerShuffle kCornerShuffle = MakeCornerShuffle();

// Everything else of a row once the shares to the right are known, sixteen pixels at a time:
// each value's clamped sum, its level and error by arithmetic (the cube: the quotient by 51 as a
// multiply-high, one level up where the remainder is above 24; the corners: on from 128), the
// weighted levels gathered per pixel into the palette index. Returns the pixels done.
template <typename Palette>
[[gnu::target("avx2")]] std::uint32_t FinishRunsAvx2(const std::uint8_t* cur,
                                                     const std::int8_t* carries,
                                                     std::uint32_t width, std::int8_t* errors,
                                                     std::uint8_t* out) {
    constexpr bool kCube = Palette::kCodes == Cube::kCodes;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i full = _mm256_set1_epi16(kFull);
    const __m128i corners =
        _mm_load_si128(reinterpret_cast<const __m128i*>(kCornerShuffle.table.data()));
    std::uint32_t j = 0;
    for (; j + kRun <= width; j += kRun) {
        const std::size_t at = static_cast<std::size_t>(j) * kChannels;
        __m128i weighted[3];
        for (int part = 0; part < 3; ++part) {
            const std::size_t k = at + static_cast<std::size_t>(16 * part);
            const __m256i value =
                _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + k)));
            const __m256i carry = _mm256_cvtepi8_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(carries + k)));
            const __m256i v =
                _mm256_min_epi16(_mm256_max_epi16(_mm256_add_epi16(value, carry), zero), full);
            __m256i level, error;
            if constexpr (kCube) {
                const __m256i q = _mm256_mulhi_epu16(v, _mm256_set1_epi16(kDivide51));
                const __m256i remainder =
                    _mm256_sub_epi16(v, _mm256_mullo_epi16(q, _mm256_set1_epi16(kCubeStep)));
                const __m256i up = _mm256_cmpgt_epi16(remainder, _mm256_set1_epi16(kHalfStep));
                level = _mm256_sub_epi16(q, up);
                error = _mm256_sub_epi16(remainder,
                                         _mm256_and_si256(up, _mm256_set1_epi16(kCubeStep)));
            } else {
                const __m256i on = _mm256_cmpgt_epi16(v, _mm256_set1_epi16(kOnThreshold - 1));
                level = _mm256_sub_epi16(zero, on);
                error = _mm256_sub_epi16(v, _mm256_and_si256(on, full));
            }
            level = _mm256_mullo_epi16(level, _mm256_load_si256(reinterpret_cast<const __m256i*>(
                                                  kWeightLanes<Palette>.lanes[part].data())));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(errors + k),
                             _mm_packs_epi16(_mm256_castsi256_si128(error),
                                             _mm256_extracti128_si256(error, 1)));
            weighted[part] = _mm_packus_epi16(_mm256_castsi256_si128(level),
                                              _mm256_extracti128_si256(level, 1));
        }
        const __m128i code = _mm_add_epi8(
            Channel16(weighted[0], weighted[1], weighted[2], 0),
            _mm_add_epi8(Channel16(weighted[0], weighted[1], weighted[2], 1),
                         Channel16(weighted[0], weighted[1], weighted[2], 2)));
        const __m128i index = kCube ? _mm_sub_epi8(_mm_set1_epi8(kCubeLastEntry), code)
                                    : _mm_shuffle_epi8(corners, code);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), index);
    }
    return j;
}

// The rest of pixels [first, first + count) of a row whose shares to the right are known: the
// whole runs of sixteen in AVX2 lanes, the part run at the end from the step tables.
template <typename Palette>
[[gnu::target("avx2")]] void FinishAvx2(const DiffusionTables& t, const std::uint8_t* cur,
                                        const std::int8_t* carries, std::uint32_t first,
                                        std::uint32_t count, std::int8_t* errors,
                                        std::uint8_t* out) {
    const std::size_t offset = static_cast<std::size_t>(first) * kChannels;
    cur += offset, carries += offset, errors += offset, out += first;
    std::uint32_t j = FinishRunsAvx2<Palette>(cur, carries, count, errors, out);
    for (; j < count; ++j) {
        const std::size_t at = static_cast<std::size_t>(j) * kChannels;
        int code = 0;
        for (std::size_t c = 0; c < kChannels; ++c) {
            const DiffusionStep s = t.step[c][kStepBias + cur[at + c] + carries[at + c]];
            code += s.weighted_level;
            errors[at + c] = s.error;
        }
        out[j] = t.index[code];
    }
}

// DiffuseRow in two passes: the chain of shares to the right alone, then the rest of the row.
template <typename Palette>
[[gnu::target("avx2")]] void DiffuseRowAvx2(const DiffusionTables& t, const std::uint8_t* cur,
                                            std::uint32_t width, std::int8_t* carries,
                                            std::int8_t* errors, std::uint8_t* out) {
    RightShares shares;
    ChainRun(ShareTablesOf(t), cur, carries, width, shares);
    FinishAvx2<Palette>(t, cur, carries, 0, width, errors, out);
}

// A row and the one below it together, in runs of kRun pixels. The lower row's value at pixel j
// needs the upper row's errors at j - 1, j and j + 1, so the lower row runs a few runs behind
// the upper one; while the two chains run side by side, each waits less for its loads. A run's
// recorded shares and errors are read a step or more after they were written, when the bytes
// have left the store queue (a wide load of bytes still queued waits for all of them).
struct RowPair {
    const std::uint8_t* upper;  // values, with the row above's shares
    std::int8_t* upper_carries;
    std::int8_t* upper_errors;  // with a zero pixel on either side
    std::uint8_t* upper_out;
    const std::uint8_t* lower_source;
    std::uint8_t* lower;  // filled run by run
    std::int8_t* lower_carries;
    std::int8_t* lower_errors;
    std::uint8_t* lower_out;
};

// Runs behind the upper row's chain: its finishing, the lower row's values, chain and finishing.
constexpr std::uint32_t kUpperFinishLag = 2;
constexpr std::uint32_t kLowerValuesLag = kUpperFinishLag + 2;
constexpr std::uint32_t kLowerChainLag = kLowerValuesLag + 1;
constexpr std::uint32_t kLowerFinishLag = kLowerChainLag + 2;

template <typename Palette>
[[gnu::target("avx2")]] void DiffuseRowPairAvx2(const DiffusionTables& t, const RowPair& p,
                                                std::uint32_t width) {
    const ShareTables shares = ShareTablesOf(t);
    RightShares upper_shares, lower_shares;
    const std::uint32_t runs = (width + kRun - 1) / kRun;
    auto first = [](std::uint32_t run) { return run * kRun; };
    auto count = [&](std::uint32_t run) {
        return std::min<std::uint32_t>(kRun, width - first(run));
    };
    auto at = [](std::uint32_t pixel) { return static_cast<std::size_t>(pixel) * kChannels; };
    // Run number step - lag, when there is such a run.
    auto behind = [&](std::uint32_t step, std::uint32_t lag, std::uint32_t* run) {
        *run = step - lag;
        return step >= lag && *run < runs;
    };
    for (std::uint32_t step = 0; step < runs + kLowerFinishLag; ++step) {
        std::uint32_t u, l;
        const bool upper = behind(step, 0, &u), lower = behind(step, kLowerChainLag, &l);
        ChainRunPair(shares, p.upper + (upper ? at(first(u)) : 0),
                     p.upper_carries + (upper ? at(first(u)) : 0), upper ? count(u) : 0,
                     upper_shares, p.lower + (lower ? at(first(l)) : 0),
                     p.lower_carries + (lower ? at(first(l)) : 0), lower ? count(l) : 0,
                     lower_shares);
        std::uint32_t run;
        if (behind(step, kUpperFinishLag, &run))
            FinishAvx2<Palette>(t, p.upper, p.upper_carries, first(run), count(run),
                                p.upper_errors, p.upper_out);
        // The upper row was finished up to the next run's first pixel a step ago (the zero pixel
        // after the row stands for it at the end).
        if (behind(step, kLowerValuesLag, &run)) {
            const std::size_t k = at(first(run));
            BelowRow(p.lower_source + k, p.upper_errors + k, at(count(run)), p.lower + k);
        }
        if (behind(step, kLowerFinishLag, &run))
            FinishAvx2<Palette>(t, p.lower, p.lower_carries, first(run), count(run),
                                p.lower_errors, p.lower_out);
    }
}
#endif

std::atomic<bool>& PortableDiffusionFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

template <typename Palette>
ImageResult Diffuse(ImageBuffer* source, ImageBuffer* target) {
    std::uint32_t w, h;
    ImageResult r = CheckReduction(source, target, kDepths8And24, &w, &h);
    if (r != kImageOk) return r;
    const DiffusionTables& tables = DiffusionTablesFor<Palette>();
    const std::size_t n = static_cast<std::size_t>(w) * kChannels;
    // Three rows of values; for each of two rows the errors, with a zero pixel on either side,
    // and the shares to the right.
    const std::size_t errors_size = n + 2 * kChannels;
    std::unique_ptr<std::uint8_t[]> rows(new (std::nothrow) std::uint8_t[5 * n + 2 * errors_size]);
    if (rows == nullptr) return kOutOfMemory;
    std::uint8_t* cur = rows.get();
    std::uint8_t* next = rows.get() + n;
    std::uint8_t* scratch = rows.get() + 2 * n;
    auto* carries = reinterpret_cast<std::int8_t*>(rows.get() + 3 * n);
    auto* lower_carries = carries + n;
    auto* errors = reinterpret_cast<std::int8_t*>(rows.get() + 5 * n) + kChannels;
    auto* lower_errors = errors + errors_size;
    std::memset(errors - kChannels, 0, 2 * errors_size);
    std::memcpy(cur, SourceRow(*source, source->Top, w, scratch), n);
#if defined(__x86_64__) || defined(__i386__)
    if (jpeg::CpuHasAvx2() && !PortableDiffusionFlag().load(std::memory_order_relaxed)) {
        for (std::uint32_t i = 0; i < h;) {
            if (i + 1 == h) {
                DiffuseRowAvx2<Palette>(tables, cur, w, carries, errors, TargetRow(target, i));
                break;
            }
            const RowPair pair{cur,
                               carries,
                               errors,
                               TargetRow(target, i),
                               SourceRow(*source, source->Top + i + 1, w, scratch),
                               next,
                               lower_carries,
                               lower_errors,
                               TargetRow(target, i + 1)};
            DiffuseRowPairAvx2<Palette>(tables, pair, w);
            i += 2;
            if (i < h)
                BelowRow(SourceRow(*source, source->Top + i, w, scratch), lower_errors, n, cur);
        }
        InstallColorTable(target, Palette::Entries(), Palette::kCount);
        return kImageOk;
    }
#endif
    for (std::uint32_t i = 0; i < h; ++i) {
        DiffuseRow(tables, cur, w, errors, TargetRow(target, i));
        if (i + 1 < h) {
            BelowRow(SourceRow(*source, source->Top + i + 1, w, scratch), errors, n, next);
            std::swap(cur, next);
        }
    }
    InstallColorTable(target, Palette::Entries(), Palette::kCount);
    return kImageOk;
}

#if defined(__x86_64__) || defined(__i386__)
// Ordered dithering sixteen pixels at a time with SSSE3: the pixels' blue, green and red bytes are
// gathered by byte shuffles, and each channel's level worked out by arithmetic (cube: the
// quotient by 51 as a multiply-high, plus one where the threshold is below the remainder;
// corners: on where the value is above the threshold), which is what the level tables hold.

bool HasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}

// Cube levels of eight values (16-bit lanes) under their thresholds.
[[gnu::target("ssse3")]] inline __m128i CubeLevels(__m128i v, __m128i threshold) {
    const __m128i q = _mm_mulhi_epu16(v, _mm_set1_epi16(kDivide51));
    const __m128i remainder = _mm_sub_epi16(v, _mm_mullo_epi16(q, _mm_set1_epi16(kCubeStep)));
    return _mm_sub_epi16(q, _mm_cmpgt_epi16(remainder, threshold));
}

// The whole runs of 16 pixels of a row; returns the number of pixels done. matrix_row is the
// row's dither matrix row; a pixel's column counts the pixels left in the row, as in Dither.
template <typename Palette>
[[gnu::target("ssse3")]] std::uint32_t DitherRuns(
    const std::uint8_t* p, std::uint32_t width,
    const std::array<std::uint8_t, kDitherSize>& matrix_row, std::uint8_t* out) {
    // Runs start at multiples of 16, so pixel k of every run has the same matrix column.
    alignas(16) std::uint8_t thresholds[kRun];
    for (int k = 0; k < kRun; ++k) {
        const int column =
            ((static_cast<int>(width % kDitherSize) - 1 - k) % kDitherSize + kDitherSize) %
            kDitherSize;
        thresholds[k] = static_cast<std::uint8_t>(
            Palette::Threshold(matrix_row[static_cast<std::size_t>(column)]));
    }
    const __m128i t = _mm_load_si128(reinterpret_cast<const __m128i*>(thresholds));
    const __m128i zero = _mm_setzero_si128();
    const __m128i t_lo = _mm_unpacklo_epi8(t, zero), t_hi = _mm_unpackhi_epi8(t, zero);
    // Corners: a channel is on where value > threshold, that is max(value, threshold + 1) == value.
    const __m128i t_plus_one = _mm_add_epi8(t, _mm_set1_epi8(1));
    alignas(16) std::uint8_t corner_table[16] = {};
    for (int code = 0; code < 8; ++code)
        corner_table[code] = kCornerIndex[static_cast<std::size_t>(code)];
    const __m128i corners = _mm_load_si128(reinterpret_cast<const __m128i*>(corner_table));
    std::uint32_t j = 0;
    for (; j + kRun <= width; j += kRun, p += kChannels * kRun) {
        const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i p2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        const __m128i b = Channel16(p0, p1, p2, 0);
        const __m128i g = Channel16(p0, p1, p2, 1);
        const __m128i r = Channel16(p0, p1, p2, 2);
        __m128i index;
        if constexpr (Palette::kCodes == 8) {
            auto on = [&](__m128i v, int bit) {
                return _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, t_plus_one), v),
                                     _mm_set1_epi8(static_cast<char>(bit)));
            };
            index =
                _mm_shuffle_epi8(corners, _mm_or_si128(_mm_or_si128(on(b, 1), on(g, 2)), on(r, 4)));
        } else {
            // Eight pixels' channels widened to 16 bits. The widening is done by the caller: an
            // intrinsic passed as a function pointer has no body to call when not inlined.
            auto code = [&](__m128i wide_b, __m128i wide_g, __m128i wide_r, __m128i threshold) {
                const __m128i lb = CubeLevels(wide_b, threshold);
                const __m128i lg = CubeLevels(wide_g, threshold);
                const __m128i lr = CubeLevels(wide_r, threshold);
                const __m128i sum = _mm_add_epi16(
                    lb,
                    _mm_add_epi16(_mm_mullo_epi16(lg, _mm_set1_epi16(kCubeLevels)),
                                  _mm_mullo_epi16(lr, _mm_set1_epi16(kCubeLevels * kCubeLevels))));
                return _mm_sub_epi16(_mm_set1_epi16(kCubeLastEntry), sum);
            };
            index = _mm_packus_epi16(code(_mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(g, zero),
                                          _mm_unpacklo_epi8(r, zero), t_lo),
                                     code(_mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(g, zero),
                                          _mm_unpackhi_epi8(r, zero), t_hi));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), index);
    }
    return j;
}

// The cube's whole runs of 16 pixels with AVX2, sixteen 16-bit lanes a channel. A level is v / 51
// plus one where the threshold t is below v mod 51, which is the one quotient (v + 50 - t) / 51:
// the sum is at most 305, where the multiply-high by 1286 still divides exactly by 51.
[[gnu::target("avx2")]] std::uint32_t DitherCubeRunsAvx2(
    const std::uint8_t* p, std::uint32_t width,
    const std::array<std::uint8_t, kDitherSize>& matrix_row, std::uint8_t* out) {
    alignas(32) std::int16_t bias[kRun];
    for (int k = 0; k < kRun; ++k) {
        const int column =
            ((static_cast<int>(width % kDitherSize) - 1 - k) % kDitherSize + kDitherSize) %
            kDitherSize;
        bias[k] = static_cast<std::int16_t>(
            kCubeStep - 1 - Cube::Threshold(matrix_row[static_cast<std::size_t>(column)]));
    }
    const __m256i bias_v = _mm256_load_si256(reinterpret_cast<const __m256i*>(bias));
    const __m256i divide = _mm256_set1_epi16(static_cast<std::int16_t>(kDivide51));
    const __m256i green_weight = _mm256_set1_epi16(kCubeLevels);
    const __m256i red_weight = _mm256_set1_epi16(kCubeLevels * kCubeLevels);
    const __m256i last = _mm256_set1_epi16(kCubeLastEntry);
    std::uint32_t j = 0;
    for (; j + kRun <= width; j += kRun, p += kChannels * kRun) {
        const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const __m128i p2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        const __m256i lb = _mm256_mulhi_epu16(
            _mm256_add_epi16(_mm256_cvtepu8_epi16(Channel16(p0, p1, p2, 0)), bias_v), divide);
        const __m256i lg = _mm256_mulhi_epu16(
            _mm256_add_epi16(_mm256_cvtepu8_epi16(Channel16(p0, p1, p2, 1)), bias_v), divide);
        const __m256i lr = _mm256_mulhi_epu16(
            _mm256_add_epi16(_mm256_cvtepu8_epi16(Channel16(p0, p1, p2, 2)), bias_v), divide);
        const __m256i code = _mm256_add_epi16(
            lb, _mm256_add_epi16(_mm256_mullo_epi16(lg, green_weight),
                                 _mm256_mullo_epi16(lr, red_weight)));
        const __m256i index = _mm256_sub_epi16(last, code);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j),
                         _mm_packus_epi16(_mm256_castsi256_si128(index),
                                          _mm256_extracti128_si256(index, 1)));
    }
    return j;
}
#endif

template <typename Palette>
ImageResult Dither(ImageBuffer* source, ImageBuffer* target) {
    std::uint32_t w, h;
    ImageResult r = CheckReduction(source, target, kDepths8And24, &w, &h);
    if (r != kImageOk) return r;
    const DitherTables& tables = DitherTablesFor<Palette>();
    std::unique_ptr<std::uint8_t[]> scratch(
        new (std::nothrow) std::uint8_t[static_cast<std::size_t>(w) * kChannels]);
    if (scratch == nullptr) return kOutOfMemory;
    for (std::uint32_t i = 0; i < h; ++i) {
        const std::uint32_t y = source->Top + i;
        const std::uint8_t* p = SourceRow(*source, y, w, scratch.get());
        const auto& matrix_row = kDitherMatrix[y % kDitherSize];
        // The matrix column runs on the pixels still left in the row, this one included.
        const std::uint8_t(*level[kDitherSize])[256];
        for (int k = 0; k < kDitherSize; ++k) level[k] = tables.level[matrix_row[k]];
        std::uint8_t* out = TargetRow(target, i);
        std::uint32_t j = 0;
#if defined(__x86_64__) || defined(__i386__)
        if constexpr (Palette::kCodes == Cube::kCodes) {
            if (jpeg::CpuHasAvx2())
                j = DitherCubeRunsAvx2(p, w, matrix_row, out);
            else if (HasSsse3())
                j = DitherRuns<Palette>(p, w, matrix_row, out);
        } else if (HasSsse3()) {
            j = DitherRuns<Palette>(p, w, matrix_row, out);
        }
#endif
        for (p += static_cast<std::size_t>(j) * kChannels; j < w; ++j, p += kChannels) {
            const std::uint8_t(*t)[256] = level[(w - j - 1) % kDitherSize];
            out[j] = tables.index[t[0][p[0]] + t[1][p[1]] + t[2][p[2]]];
        }
    }
    InstallColorTable(target, Palette::Entries(), Palette::kCount);
    return kImageOk;
}

}  // namespace

ImageResult CheckReduction(ImageBuffer* source, ImageBuffer* target, std::uint32_t source_depths,
                           std::uint32_t* width, std::uint32_t* height) {
    ImageResult r = ValidateImage(source, source_depths);
    if (r != kImageOk) return r;
    r = ValidateImage(target, DepthBit(8));
    if (r != kImageOk) return r;
    if (target->Palette == nullptr || target->ColorCount <= 0) return kBadSize;
    if (source->Header->BitCount == 8 && source->Palette == nullptr) return kBadSize;
    *width = std::min(source->Right - source->Left, target->Right - target->Left) + 1;
    *height = std::min(source->Bottom - source->Top, target->Bottom - target->Top) + 1;
    return kImageOk;
}

void InstallColorTable(ImageBuffer* target, const PaletteEntry* entries, int count) {
    count = std::min(count, kFixedColors256);
    std::memcpy(target->Palette, entries, static_cast<std::size_t>(count) * sizeof(PaletteEntry));
    target->ColorCount = count;
    target->Header->ClrUsed = static_cast<std::uint32_t>(count);
    target->Header->ClrImportant = static_cast<std::uint32_t>(count);
    target->Flags &= ~kGreyScale;
}

void ForcePortableDiffusion(bool portable) {
    PortableDiffusionFlag().store(portable, std::memory_order_relaxed);
}

ImageResult DiffuseToFixedPalette(ImageBuffer* source, ImageBuffer* target, FixedPalette palette) {
    return palette == FixedPalette::k256 ? Diffuse<Cube>(source, target)
                                         : Diffuse<Corners>(source, target);
}

ImageResult DitherToFixedPalette(ImageBuffer* source, ImageBuffer* target, FixedPalette palette) {
    return palette == FixedPalette::k256 ? Dither<Cube>(source, target)
                                         : Dither<Corners>(source, target);
}

}  // namespace image
