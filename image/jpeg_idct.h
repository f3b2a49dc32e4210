// Inverse DCT stage of the JPEG decoder: the separable integer 8 x 8 transform (Loeffler,
// Ligtenberg and Moschytz factorisation, 13-bit constants), columns into a 16-bit workspace with
// 2 extra fraction bits, then rows through the sample-range table. Dequantisation is done by the
// callers as coefficients are stored; this stage only transforms and clamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace image::jpeg {

// The sample-range table, 256 bytes in: index 128 + v yields v + 128 clamped to 0..255 for v in
// -384..511; indices from -256 to 1151 are valid.
const std::uint8_t* SampleRange();

// Transforms 64 dequantised coefficients (natural order) into 8 x 8 samples at out, rows stride
// bytes apart. Eight lanes at a time where SSE2 is available; the result is that of
// InverseDctPortable for every input.
void InverseDct(const std::int16_t* coefficients, std::uint8_t* out, std::ptrdiff_t stride);

// The transform one value at a time, with the all-zero column and row shortcuts.
void InverseDctPortable(const std::int16_t* coefficients, std::uint8_t* out, std::ptrdiff_t stride);

// Two blocks at once, each as InverseDct transforms it; faster than two calls only where
// FasterPairTransform has a kernel (AVX2), otherwise the two calls.
void InverseDctPair(const std::int16_t* a, std::uint8_t* out_a, std::ptrdiff_t stride_a,
                    const std::int16_t* b, std::uint8_t* out_b, std::ptrdiff_t stride_b);

// The two-block kernel where it is faster than two InverseDct calls, else null. Decoders take it
// once per picture and call it directly, without the processor check of InverseDctPair.
using PairTransform = void (*)(const std::int16_t* a, std::uint8_t* out_a,
                               std::ptrdiff_t stride_a, const std::int16_t* b,
                               std::uint8_t* out_b, std::ptrdiff_t stride_b);
PairTransform FasterPairTransform();

// The pair transform with AVX2; only for processors that run it.
void InverseDctPairAvx2(const std::int16_t* a, std::uint8_t* out_a, std::ptrdiff_t stride_a,
                        const std::int16_t* b, std::uint8_t* out_b, std::ptrdiff_t stride_b);

// The pair transform that also leaves both blocks of coefficients zero, ready for the next
// blocks decoded into them (in wider stores than two ClearBlock calls), where the processor has
// it (AVX2), else null.
using ClearingPairTransform = void (*)(std::int16_t* a, std::uint8_t* out_a,
                                       std::ptrdiff_t stride_a, std::int16_t* b,
                                       std::uint8_t* out_b, std::ptrdiff_t stride_b);
ClearingPairTransform FasterClearingPairTransform();
void InverseDctPairClearAvx2(std::int16_t* a, std::uint8_t* out_a, std::ptrdiff_t stride_a,
                             std::int16_t* b, std::uint8_t* out_b, std::ptrdiff_t stride_b);

// The same for a block whose AC coefficients are all zero: one value fills the block.
void InverseDctDcOnly(std::int16_t dc, std::uint8_t* out, std::ptrdiff_t stride);

// Zeroes the 64 coefficients of a 16-byte aligned block (eight stores; a library memset of this
// size is slower to start than the stores take). Written out rather than as a loop, which the
// compiler turns back into a memset (a string store, slower still).
inline void ClearBlock(std::int16_t* block) {
#if defined(__SSE2__)
    auto* lanes = reinterpret_cast<__m128i*>(block);
    const __m128i zero = _mm_setzero_si128();
    _mm_store_si128(lanes + 0, zero);
    _mm_store_si128(lanes + 1, zero);
    _mm_store_si128(lanes + 2, zero);
    _mm_store_si128(lanes + 3, zero);
    _mm_store_si128(lanes + 4, zero);
    _mm_store_si128(lanes + 5, zero);
    _mm_store_si128(lanes + 6, zero);
    _mm_store_si128(lanes + 7, zero);
#else
    std::memset(block, 0, 64 * sizeof *block);
#endif
}

}  // namespace image::jpeg
