// Inverse DCT: the integer transform with its all-zero shortcuts. The arithmetic is carried in 64
// bits: for every input that fits 32 bits the results are those of 32-bit arithmetic, and
// corrupt coefficients cannot overflow. Both shortcuts (a column, or a row, whose inputs past the
// first are zero) give exactly what the full computation gives.
#include "image/jpeg_idct.h"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace image::jpeg {
namespace {

// 13-bit fixed-point constants of the factorisation (value = round(real * 8192)).
constexpr std::int64_t k0_298631336 = 2446;
constexpr std::int64_t k0_390180644 = 3196;
constexpr std::int64_t k0_541196100 = 4433;
constexpr std::int64_t k0_765366865 = 6270;
constexpr std::int64_t k0_899976223 = 7373;
constexpr std::int64_t k1_175875602 = 9633;
constexpr std::int64_t k1_501321110 = 12299;
constexpr std::int64_t k1_847759065 = 15137;
constexpr std::int64_t k1_961570560 = 16069;
constexpr std::int64_t k2_053119869 = 16819;
constexpr std::int64_t k2_562915447 = 20995;
constexpr std::int64_t k3_072711026 = 25172;

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;
constexpr int kColumnShift = kConstBits - kPass1Bits;           // 11
constexpr int kRowShift = kConstBits + kPass1Bits + 3;          // 18
constexpr std::int64_t kColumnRound = 1 << (kColumnShift - 1);  // 1024
constexpr std::int64_t kRowRound = 1 << (kRowShift - 1);        // 131072
constexpr int kRangeMask = 1023;
constexpr int kRangeCentre = 128;

// Bytes 0-255 hold 0, 256-511 hold 0..255, 512-895 hold 255, 896-1279 hold 0, 1280-1407 hold
// 0..127: the wrap of the low 10 bits sends large negative values to 0 and large positive ones
// to 255 once offset by the centre.
constexpr std::array<std::uint8_t, 1408> MakeRangeTable() {
    std::array<std::uint8_t, 1408> table{};
    for (int i = 0; i < 256; ++i) table[256 + i] = static_cast<std::uint8_t>(i);
    for (int i = 512; i < 896; ++i) table[i] = 255;
    for (int i = 0; i < 128; ++i) table[1280 + i] = static_cast<std::uint8_t>(i);
    return table;
}
constexpr std::array<std::uint8_t, 1408> kRangeTable = MakeRangeTable();

// One 1-D pass over eight inputs x0..x7; y[i] gets the unscaled outputs.
inline void Transform(std::int64_t x0, std::int64_t x1, std::int64_t x2, std::int64_t x3,
                      std::int64_t x4, std::int64_t x5, std::int64_t x6, std::int64_t x7,
                      std::int64_t* y) {
    // Even part.
    const std::int64_t z1 = (x2 + x6) * k0_541196100;
    const std::int64_t t2 = z1 + x2 * k0_765366865;
    const std::int64_t t6 = z1 - x6 * k1_847759065;
    const std::int64_t a0 = (x0 + x4) * (1 << kConstBits);
    const std::int64_t a1 = (x0 - x4) * (1 << kConstBits);
    const std::int64_t e0 = a0 + t2;
    const std::int64_t e3 = a0 - t2;
    const std::int64_t e1 = a1 + t6;
    const std::int64_t e2 = a1 - t6;
    // Odd part.
    const std::int64_t s1 = x7 + x1;
    const std::int64_t s2 = x5 + x3;
    const std::int64_t s3 = x7 + x3;
    const std::int64_t s4 = x5 + x1;
    const std::int64_t z5 = (s3 + s4) * k1_175875602;
    const std::int64_t p0 = x7 * k0_298631336;
    const std::int64_t p1 = x5 * k2_053119869;
    const std::int64_t p2 = x3 * k3_072711026;
    const std::int64_t p3 = x1 * k1_501321110;
    const std::int64_t q1 = -s1 * k0_899976223;
    const std::int64_t q2 = -s2 * k2_562915447;
    const std::int64_t z3 = -s3 * k1_961570560 + z5;
    const std::int64_t z4 = -s4 * k0_390180644 + z5;
    const std::int64_t o0 = p0 + q1 + z3;
    const std::int64_t o1 = p1 + q2 + z4;
    const std::int64_t o2 = p2 + q2 + z3;
    const std::int64_t o3 = p3 + q1 + z4;
    y[0] = e0 + o3;
    y[7] = e0 - o3;
    y[1] = e1 + o2;
    y[6] = e1 - o2;
    y[2] = e2 + o1;
    y[5] = e2 - o1;
    y[3] = e3 + o0;
    y[4] = e3 - o0;
}

inline std::uint8_t RowOutput(const std::uint8_t* range, std::int64_t y) {
    return range[((y + kRowRound) >> kRowShift & kRangeMask) + kRangeCentre];
}

}  // namespace

const std::uint8_t* SampleRange() {
    return kRangeTable.data() + 256;
}

void InverseDctPortable(const std::int16_t* in, std::uint8_t* out, std::ptrdiff_t stride) {
    std::int16_t workspace[64];
    for (int c = 0; c < 8; ++c) {
        const std::int16_t* col = in + c;
        if ((col[8] | col[16] | col[24] | col[32] | col[40] | col[48] | col[56]) == 0) {
            const auto dc = static_cast<std::int16_t>(col[0] * (1 << kPass1Bits));
            for (int r = 0; r < 8; ++r) workspace[r * 8 + c] = dc;
            continue;
        }
        std::int64_t y[8];
        Transform(col[0], col[8], col[16], col[24], col[32], col[40], col[48], col[56], y);
        for (int r = 0; r < 8; ++r)
            workspace[r * 8 + c] = static_cast<std::int16_t>((y[r] + kColumnRound) >> kColumnShift);
    }
    const std::uint8_t* range = SampleRange();
    for (int r = 0; r < 8; ++r, out += stride) {
        const std::int16_t* row = workspace + r * 8;
        if ((row[1] | row[2] | row[3] | row[4] | row[5] | row[6] | row[7]) == 0) {
            std::memset(out, RowOutput(range, std::int64_t{row[0]} * (1 << kConstBits)), 8);
            continue;
        }
        std::int64_t y[8];
        Transform(row[0], row[1], row[2], row[3], row[4], row[5], row[6], row[7], y);
        for (int i = 0; i < 8; ++i) out[i] = RowOutput(range, y[i]);
    }
}

#if defined(__SSE2__)
namespace {

// Eight columns (or, after a transpose, eight rows) at once in SSE2. Each output is written as a
// sum of products of input pairs (the factorisation multiplied out), so that _mm_madd_epi16 can
// form it; the products are the same integers as in the portable pass, and no sum of them can
// leave 32 bits for any 16-bit input, so both give the same result for every block.
//   e: t2 = 10703 x2 + 4433 x6       t6 = 4433 x2 - 10704 x6
//   o0 = 2260 x1 - 6436 x3 + 9633 x5 - 11363 x7
//   o1 = 6437 x1 - 11362 x3 + 2261 x5 + 9633 x7
//   o2 = 9633 x1 - 2259 x3 - 11362 x5 - 6436 x7
//   o3 = 11363 x1 + 9633 x3 + 6437 x5 + 2260 x7
struct Wide {
    __m128i lo, hi;  // lanes 0-3 and 4-7 as 32-bit sums
};

inline __m128i Pair(std::int64_t a, std::int64_t b) {
    return _mm_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(b) << 16) |
                                           (static_cast<std::uint32_t>(a) & 0xFFFF)));
}

inline Wide MulAdd(__m128i a, __m128i b, __m128i pair) {
    return {_mm_madd_epi16(_mm_unpacklo_epi16(a, b), pair),
            _mm_madd_epi16(_mm_unpackhi_epi16(a, b), pair)};
}

inline Wide Add(Wide a, Wide b) {
    return {_mm_add_epi32(a.lo, b.lo), _mm_add_epi32(a.hi, b.hi)};
}
inline Wide Sub(Wide a, Wide b) {
    return {_mm_sub_epi32(a.lo, b.lo), _mm_sub_epi32(a.hi, b.hi)};
}

// The 1-D transform of x[0..7] (16-bit lanes) into y[0..7] (32-bit sums, unscaled). With Low,
// x[4..7] are known to be zero and their products are left out.
template <bool Low>
[[gnu::always_inline]] inline void TransformSse2(const __m128i* x, Wide* y) {
    Wide e0, e1, e2, e3, o0, o1, o2, o3;
    if constexpr (Low) {
        const __m128i zero = _mm_setzero_si128();
        const Wide a = MulAdd(x[0], zero, Pair(1 << kConstBits, 0));
        const Wide t2 = MulAdd(x[2], zero, Pair(k0_541196100 + k0_765366865, 0));
        const Wide t6 = MulAdd(x[2], zero, Pair(k0_541196100, 0));
        e0 = Add(a, t2);
        e3 = Sub(a, t2);
        e1 = Add(a, t6);
        e2 = Sub(a, t6);
        o0 = MulAdd(x[1], x[3], Pair(2260, -6436));
        o1 = MulAdd(x[1], x[3], Pair(6437, -11362));
        o2 = MulAdd(x[1], x[3], Pair(9633, -2259));
        o3 = MulAdd(x[1], x[3], Pair(11363, 9633));
    } else {
        const Wide a0 = MulAdd(x[0], x[4], Pair(1 << kConstBits, 1 << kConstBits));
        const Wide a1 = MulAdd(x[0], x[4], Pair(1 << kConstBits, -(1 << kConstBits)));
        const Wide t2 = MulAdd(x[2], x[6], Pair(k0_541196100 + k0_765366865, k0_541196100));
        const Wide t6 = MulAdd(x[2], x[6], Pair(k0_541196100, k0_541196100 - k1_847759065));
        e0 = Add(a0, t2);
        e3 = Sub(a0, t2);
        e1 = Add(a1, t6);
        e2 = Sub(a1, t6);
        o0 = Add(MulAdd(x[1], x[3], Pair(2260, -6436)), MulAdd(x[5], x[7], Pair(9633, -11363)));
        o1 = Add(MulAdd(x[1], x[3], Pair(6437, -11362)), MulAdd(x[5], x[7], Pair(2261, 9633)));
        o2 = Add(MulAdd(x[1], x[3], Pair(9633, -2259)), MulAdd(x[5], x[7], Pair(-11362, -6436)));
        o3 = Add(MulAdd(x[1], x[3], Pair(11363, 9633)), MulAdd(x[5], x[7], Pair(6437, 2260)));
    }
    y[0] = Add(e0, o3);
    y[7] = Sub(e0, o3);
    y[1] = Add(e1, o2);
    y[6] = Sub(e1, o2);
    y[2] = Add(e2, o1);
    y[5] = Sub(e2, o1);
    y[3] = Add(e3, o0);
    y[4] = Sub(e3, o0);
}

inline void Transpose(__m128i* r) {
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// (y + 1024) >> 11 kept to its low 16 bits, as the portable pass stores it: shifted left by 5,
// those bits are the upper half of the 32-bit lane.
inline __m128i ColumnOutput(Wide y) {
    const __m128i round = _mm_set1_epi32(static_cast<int>(kColumnRound));
    constexpr int kUp = 16 - kColumnShift;
    const __m128i lo = _mm_srai_epi32(_mm_slli_epi32(_mm_add_epi32(y.lo, round), kUp), 16);
    const __m128i hi = _mm_srai_epi32(_mm_slli_epi32(_mm_add_epi32(y.hi, round), kUp), 16);
    return _mm_packs_epi32(lo, hi);
}

// The range-table index ((y + 2^17) >> 18 & 1023) + 128, reduced to t = (v + 128) & 1023: the
// table gives t below 256, 255 from 256 to 639 and 0 from 640 on. A shifted sum fits 16 bits
// (|y| < 2^31), so it is packed before the mask; the masking of 640 and up is done by the caller
// after the transpose.
inline __m128i RowIndex(Wide y) {
    const __m128i round = _mm_set1_epi32(static_cast<int>(kRowRound) + (kRangeCentre << kRowShift));
    const __m128i lo = _mm_srai_epi32(_mm_add_epi32(y.lo, round), kRowShift);
    const __m128i hi = _mm_srai_epi32(_mm_add_epi32(y.hi, round), kRowShift);
    return _mm_and_si128(_mm_packs_epi32(lo, hi), _mm_set1_epi16(kRangeMask));
}

inline __m128i RangeLimit(__m128i t) {
    const __m128i wrapped = _mm_cmpgt_epi16(t, _mm_set1_epi16(639));
    return _mm_andnot_si128(wrapped, t);
}

template <bool Low>
void InverseDctSse2(__m128i* x, std::uint8_t* out, std::ptrdiff_t stride) {
    Wide y[8];
    TransformSse2<Low>(x, y);
    for (int r = 0; r < 8; ++r) x[r] = ColumnOutput(y[r]);
    Transpose(x);
    TransformSse2<Low>(x, y);  // columns 4-7 of an all-low block stay zero through the first pass
    for (int c = 0; c < 8; ++c) x[c] = RowIndex(y[c]);
    Transpose(x);
    for (int r = 0; r < 8; r += 2) {
        const __m128i bytes = _mm_packus_epi16(RangeLimit(x[r]), RangeLimit(x[r + 1]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride), bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (r + 1) * stride),
                         _mm_srli_si128(bytes, 8));
    }
}

}  // namespace

void InverseDct(const std::int16_t* in, std::uint8_t* out, std::ptrdiff_t stride) {
    __m128i x[8];
    for (int r = 0; r < 8; ++r)
        x[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * r));
    // Most blocks of a camera picture have their coefficients in the top-left 4 x 4.
    const __m128i high_rows = _mm_or_si128(_mm_or_si128(x[4], x[5]), _mm_or_si128(x[6], x[7]));
    const __m128i right_half =
        _mm_srli_si128(_mm_or_si128(_mm_or_si128(x[0], x[1]), _mm_or_si128(x[2], x[3])), 8);
    const __m128i rest = _mm_or_si128(high_rows, right_half);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(rest, _mm_setzero_si128())) == 0xFFFF)
        InverseDctSse2<true>(x, out, stride);
    else
        InverseDctSse2<false>(x, out, stride);
}
#else
void InverseDct(const std::int16_t* in, std::uint8_t* out, std::ptrdiff_t stride) {
    InverseDctPortable(in, out, stride);
}
#endif

void InverseDctDcOnly(std::int16_t dc, std::uint8_t* out, std::ptrdiff_t stride) {
    const auto column = static_cast<std::int16_t>(dc * (1 << kPass1Bits));
    const std::uint8_t value = RowOutput(SampleRange(), std::int64_t{column} * (1 << kConstBits));
    for (int r = 0; r < 8; ++r, out += stride) std::memset(out, value, 8);
}

}  // namespace image::jpeg
