// Inverse DCT: the integer transform with its all-zero shortcuts. The arithmetic is carried in 64
// bits: for every input that fits 32 bits the results are those of 32-bit arithmetic, and
// corrupt coefficients cannot overflow. Both shortcuts (a column, or a row, whose inputs past the
// first are zero) give exactly what the full computation gives.
#include "image/jpeg_idct.h"

#include <array>
#include <cstring>

#include "image/jpeg_simd.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include "image/jpeg_idct_vector.h"
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

struct Sse2 {
    using T = __m128i;
    static T Zero() { return _mm_setzero_si128(); }
    static T Set16(int v) { return _mm_set1_epi16(static_cast<short>(v)); }
    static T Set32(int v) { return _mm_set1_epi32(v); }
    static T Madd(T a, T b) { return _mm_madd_epi16(a, b); }
    static T Add32(T a, T b) { return _mm_add_epi32(a, b); }
    static T Sub32(T a, T b) { return _mm_sub_epi32(a, b); }
    static T Srai32(T a, int n) { return _mm_srai_epi32(a, n); }
    static T Slli32(T a, int n) { return _mm_slli_epi32(a, n); }
    static T Packs32(T a, T b) { return _mm_packs_epi32(a, b); }
    static T UnpackLo16(T a, T b) { return _mm_unpacklo_epi16(a, b); }
    static T UnpackHi16(T a, T b) { return _mm_unpackhi_epi16(a, b); }
    static T UnpackLo32(T a, T b) { return _mm_unpacklo_epi32(a, b); }
    static T UnpackHi32(T a, T b) { return _mm_unpackhi_epi32(a, b); }
    static T UnpackLo64(T a, T b) { return _mm_unpacklo_epi64(a, b); }
    static T UnpackHi64(T a, T b) { return _mm_unpackhi_epi64(a, b); }
    static T And(T a, T b) { return _mm_and_si128(a, b); }
    static T AndNot(T a, T b) { return _mm_andnot_si128(a, b); }
    static T Or(T a, T b) { return _mm_or_si128(a, b); }
    static T CmpGt16(T a, T b) { return _mm_cmpgt_epi16(a, b); }
    static T Srli128Bytes8(T a) { return _mm_srli_si128(a, 8); }
    static bool AllZero(T a) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_setzero_si128())) == 0xFFFF;
    }
};

}  // namespace

void InverseDct(const std::int16_t* in, std::uint8_t* out, std::ptrdiff_t stride) {
    __m128i x[8];
    // The row loops are unrolled so that x stays in registers.
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r)
        x[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * r));
    // Most blocks of a camera picture have their coefficients in the top-left 4 x 4.
    if (idct_vector::LowOnly<Sse2>(x))
        idct_vector::InverseDctRows<Sse2, true>(x);
    else
        idct_vector::InverseDctRows<Sse2, false>(x);
#pragma GCC unroll 8
    for (int r = 0; r < 8; r += 2) {
        const __m128i bytes = _mm_packus_epi16(x[r], x[r + 1]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride), bytes);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (r + 1) * stride),
                         _mm_srli_si128(bytes, 8));
    }
}
#else
void InverseDct(const std::int16_t* in, std::uint8_t* out, std::ptrdiff_t stride) {
    InverseDctPortable(in, out, stride);
}
#endif

PairTransform FasterPairTransform() {
#if defined(__x86_64__) || defined(__i386__)
    if (CpuHasAvx2()) return &InverseDctPairAvx2;
#endif
    return nullptr;
}

ClearingPairTransform FasterClearingPairTransform() {
#if defined(__x86_64__) || defined(__i386__)
    if (CpuHasAvx2()) return &InverseDctPairClearAvx2;
#endif
    return nullptr;
}

void InverseDctPair(const std::int16_t* a, std::uint8_t* out_a, std::ptrdiff_t stride_a,
                    const std::int16_t* b, std::uint8_t* out_b, std::ptrdiff_t stride_b) {
#if defined(__x86_64__) || defined(__i386__)
    if (CpuHasAvx2()) {
        InverseDctPairAvx2(a, out_a, stride_a, b, out_b, stride_b);
        return;
    }
#endif
    InverseDct(a, out_a, stride_a);
    InverseDct(b, out_b, stride_b);
}

void InverseDctDcOnly(std::int16_t dc, std::uint8_t* out, std::ptrdiff_t stride) {
    const auto column = static_cast<std::int16_t>(dc * (1 << kPass1Bits));
    const std::uint8_t value = RowOutput(SampleRange(), std::int64_t{column} * (1 << kConstBits));
    for (int r = 0; r < 8; ++r, out += stride) std::memset(out, value, 8);
}

}  // namespace image::jpeg
