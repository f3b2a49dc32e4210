// The inverse DCT of two blocks at once with AVX2: the vector kernel over 256-bit registers, one
// block in each 128-bit lane. Compiled for AVX2 as a whole; called only where the processor has it.
#include "image/jpeg_idct.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// Everything defined below, the shared kernel included, is compiled for AVX2.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif

#include "image/jpeg_idct_vector.h"

namespace image::jpeg {
namespace {

struct Avx2 {
    using T = __m256i;
    static T Zero() { return _mm256_setzero_si256(); }
    static T Set16(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }
    static T Set32(int v) { return _mm256_set1_epi32(v); }
    static T Madd(T a, T b) { return _mm256_madd_epi16(a, b); }
    static T Add32(T a, T b) { return _mm256_add_epi32(a, b); }
    static T Sub32(T a, T b) { return _mm256_sub_epi32(a, b); }
    static T Srai32(T a, int n) { return _mm256_srai_epi32(a, n); }
    static T Slli32(T a, int n) { return _mm256_slli_epi32(a, n); }
    static T Packs32(T a, T b) { return _mm256_packs_epi32(a, b); }
    static T UnpackLo16(T a, T b) { return _mm256_unpacklo_epi16(a, b); }
    static T UnpackHi16(T a, T b) { return _mm256_unpackhi_epi16(a, b); }
    static T UnpackLo32(T a, T b) { return _mm256_unpacklo_epi32(a, b); }
    static T UnpackHi32(T a, T b) { return _mm256_unpackhi_epi32(a, b); }
    static T UnpackLo64(T a, T b) { return _mm256_unpacklo_epi64(a, b); }
    static T UnpackHi64(T a, T b) { return _mm256_unpackhi_epi64(a, b); }
    static T And(T a, T b) { return _mm256_and_si256(a, b); }
    static T AndNot(T a, T b) { return _mm256_andnot_si256(a, b); }
    static T Or(T a, T b) { return _mm256_or_si256(a, b); }
    static T CmpGt16(T a, T b) { return _mm256_cmpgt_epi16(a, b); }
    static T Srli128Bytes8(T a) { return _mm256_srli_si256(a, 8); }
    static bool AllZero(T a) { return _mm256_testz_si256(a, a) != 0; }
};

inline void StoreRows(__m128i bytes, std::uint8_t* out, std::ptrdiff_t stride) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), _mm_srli_si128(bytes, 8));
}

// Row r of a in lane 0 and of b in lane 1.
inline __m256i LoadRows(const std::int16_t* a, const std::int16_t* b, int r) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 8 * r))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 8 * r)), 1);
}

// Transforms the rows x[0..7] (block a in lane 0, b in lane 1) and stores the samples.
[[gnu::always_inline]] inline void TransformAndStore(__m256i* x, std::uint8_t* out_a,
                                                     std::ptrdiff_t stride_a, std::uint8_t* out_b,
                                                     std::ptrdiff_t stride_b) {
    if (idct_vector::LowOnly<Avx2>(x))
        idct_vector::InverseDctRows<Avx2, true>(x);
    else
        idct_vector::InverseDctRows<Avx2, false>(x);
#pragma GCC unroll 8
    for (int r = 0; r < 8; r += 2) {
        const __m256i bytes = _mm256_packus_epi16(x[r], x[r + 1]);
        StoreRows(_mm256_castsi256_si128(bytes), out_a + r * stride_a, stride_a);
        StoreRows(_mm256_extracti128_si256(bytes, 1), out_b + r * stride_b, stride_b);
    }
}

}  // namespace

void InverseDctPairAvx2(const std::int16_t* a, std::uint8_t* out_a, std::ptrdiff_t stride_a,
                        const std::int16_t* b, std::uint8_t* out_b, std::ptrdiff_t stride_b) {
    __m256i x[8];
    // The row loops are unrolled so that x stays in registers: kept as loops (at -O2), they
    // pass the rows through the stack.
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) x[r] = LoadRows(a, b, r);
    TransformAndStore(x, out_a, stride_a, out_b, stride_b);
}

void InverseDctPairClearAvx2(std::int16_t* a, std::uint8_t* out_a, std::ptrdiff_t stride_a,
                             std::int16_t* b, std::uint8_t* out_b, std::ptrdiff_t stride_b) {
    __m256i x[8];
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) x[r] = LoadRows(a, b, r);
    const __m256i zero = _mm256_setzero_si256();
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + 16 * i), zero);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + 16 * i), zero);
    }
    TransformAndStore(x, out_a, stride_a, out_b, stride_b);
}

}  // namespace image::jpeg

#if defined(__clang__)
#pragma clang attribute pop
#endif
#endif
