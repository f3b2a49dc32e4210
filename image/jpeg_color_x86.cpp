// The colour conversion of whole 16-pixel runs with SSSE3: the three chroma terms are computed in
// 32-bit lanes with exactly the integer formulas of the colour tables (toward-zero quotients for
// red and blue, an arithmetic shift for green), added to the luma and clamped by saturation, which
// is what the sample-range table does for every sum the tables can give. Pixels past the last
// whole run are left to the table-driven routines.
#include "image/jpeg_color_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <array>

namespace image::jpeg::x86 {
namespace {

constexpr int kRun = 16;  // pixels per step

// pshufb masks that spread 16 blue, green and red bytes over 48 bytes of B, G, R triples: mask
// 3 * part + channel selects the channel's bytes that land in output bytes 16 * part ... + 15.
struct InterleaveMasks {
    alignas(16) std::array<std::array<std::uint8_t, 16>, 9> mask;
};
constexpr InterleaveMasks MakeInterleaveMasks() {
    InterleaveMasks m{};
    for (int part = 0; part < 3; ++part)
        for (int channel = 0; channel < 3; ++channel)
            for (int i = 0; i < 16; ++i) {
                const int at = 16 * part + i;
                m.mask[static_cast<std::size_t>(3 * part + channel)][static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(at % 3 == channel ? at / 3 : 0x80);
            }
    return m;
}
constexpr InterleaveMasks kInterleave = MakeInterleaveMasks();

[[gnu::target("ssse3")]] inline __m128i Mask(int i) {
    return _mm_load_si128(
        reinterpret_cast<const __m128i*>(kInterleave.mask[static_cast<std::size_t>(i)].data()));
}

[[gnu::target("ssse3")]] inline void StoreBgr(std::uint8_t* out, __m128i b, __m128i g, __m128i r) {
    for (int part = 0; part < 3; ++part) {
        const __m128i bytes = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, Mask(3 * part)),
                                                        _mm_shuffle_epi8(g, Mask(3 * part + 1))),
                                           _mm_shuffle_epi8(r, Mask(3 * part + 2)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * part), bytes);
    }
}

// 32-bit lanes divided by 65536, the quotient truncated toward zero.
[[gnu::target("ssse3")]] inline __m128i DivideTowardZero(__m128i n) {
    const __m128i bias = _mm_srli_epi32(_mm_srai_epi32(n, 31), 16);  // 65535 for n < 0
    return _mm_srai_epi32(_mm_add_epi32(n, bias), 16);
}

// x (16-bit lanes) times 65536, in 32-bit lanes: x in the upper half of each lane.
[[gnu::target("ssse3")]] inline __m128i Times65536Lo(__m128i x) {
    return _mm_unpacklo_epi16(_mm_setzero_si128(), x);
}
[[gnu::target("ssse3")]] inline __m128i Times65536Hi(__m128i x) {
    return _mm_unpackhi_epi16(_mm_setzero_si128(), x);
}

inline int Pair(int low, int high) {
    return static_cast<int>((static_cast<unsigned>(high) << 16) |
                            (static_cast<unsigned>(low) & 0xFFFF));
}

struct Terms {
    __m128i blue, green, red;  // eight 16-bit terms each
};

// The terms of eight chroma samples, cb and cr already centred (value - 128, 16-bit lanes):
//   red   = (91881 x + 32768) / 65536 toward zero, 91881 = 65536 + 26345
//   blue  = (116130 x + 32768) / 65536 toward zero, 116130 = 2 * 65536 - 14942
//   green = (-46802 xr - 22554 xb + 33792) >> 16, -46802 = -65536 + 18734
[[gnu::target("ssse3")]] inline Terms ChromaTerms(__m128i cb, __m128i cr) {
    const __m128i two = _mm_set1_epi16(2);
    const __m128i red_pair = _mm_set1_epi32(Pair(26345, 16384));
    const __m128i blue_pair = _mm_set1_epi32(Pair(-14942, 16384));
    const __m128i green_pair = _mm_set1_epi32(Pair(18734, -22554));
    const __m128i green_round = _mm_set1_epi32(33792);

    const __m128i red_lo = DivideTowardZero(
        _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cr, two), red_pair), Times65536Lo(cr)));
    const __m128i red_hi = DivideTowardZero(
        _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cr, two), red_pair), Times65536Hi(cr)));
    const __m128i blue_lo =
        DivideTowardZero(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cb, two), blue_pair),
                                       _mm_slli_epi32(Times65536Lo(cb), 1)));
    const __m128i blue_hi =
        DivideTowardZero(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cb, two), blue_pair),
                                       _mm_slli_epi32(Times65536Hi(cb), 1)));
    const __m128i green_lo = _mm_srai_epi32(
        _mm_add_epi32(
            _mm_sub_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cr, cb), green_pair), Times65536Lo(cr)),
            green_round),
        16);
    const __m128i green_hi = _mm_srai_epi32(
        _mm_add_epi32(
            _mm_sub_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cr, cb), green_pair), Times65536Hi(cr)),
            green_round),
        16);
    return {_mm_packs_epi32(blue_lo, blue_hi), _mm_packs_epi32(green_lo, green_hi),
            _mm_packs_epi32(red_lo, red_hi)};
}

// Eight chroma bytes at p, centred, as 16-bit lanes.
[[gnu::target("ssse3")]] inline __m128i Centred8(const std::uint8_t* p) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm_sub_epi16(_mm_unpacklo_epi8(bytes, _mm_setzero_si128()), _mm_set1_epi16(128));
}

// 16 luma bytes plus the terms of pixels 0-7 (lo) and 8-15 (hi), clamped to bytes, stored as BGR.
[[gnu::target("ssse3")]] inline void Pixels(const std::uint8_t* y, const Terms& lo, const Terms& hi,
                                            std::uint8_t* out) {
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y));
    const __m128i y_lo = _mm_unpacklo_epi8(luma, _mm_setzero_si128());
    const __m128i y_hi = _mm_unpackhi_epi8(luma, _mm_setzero_si128());
    const __m128i b = _mm_packus_epi16(_mm_add_epi16(y_lo, lo.blue), _mm_add_epi16(y_hi, hi.blue));
    const __m128i g =
        _mm_packus_epi16(_mm_add_epi16(y_lo, lo.green), _mm_add_epi16(y_hi, hi.green));
    const __m128i r = _mm_packus_epi16(_mm_add_epi16(y_lo, lo.red), _mm_add_epi16(y_hi, hi.red));
    StoreBgr(out, b, g, r);
}

// Terms of eight samples each repeated for two pixels: pixels 0-7 and 8-15.
[[gnu::target("ssse3")]] inline void Doubled(const Terms& t, Terms* lo, Terms* hi) {
    *lo = {_mm_unpacklo_epi16(t.blue, t.blue), _mm_unpacklo_epi16(t.green, t.green),
           _mm_unpacklo_epi16(t.red, t.red)};
    *hi = {_mm_unpackhi_epi16(t.blue, t.blue), _mm_unpackhi_epi16(t.green, t.green),
           _mm_unpackhi_epi16(t.red, t.red)};
}

// The same steps over 256-bit registers: lane 0 carries pixels 0-15 of a 32-pixel run, lane 1
// pixels 16-31, and every step stays inside its lane, as the 128-bit code does for 16 pixels.
struct Terms256 {
    __m256i blue, green, red;
};

[[gnu::target("avx2")]] inline __m256i DivideTowardZero256(__m256i n) {
    return _mm256_srai_epi32(_mm256_add_epi32(n, _mm256_srli_epi32(_mm256_srai_epi32(n, 31), 16)),
                             16);
}

// One half (four samples a lane) of a term: pairs interleave the centred sample with its
// partner (2 or the other chroma sample), high is the sample times 65536.
[[gnu::target("avx2")]] inline __m256i RedHalf(__m256i pairs, __m256i high) {
    return DivideTowardZero256(
        _mm256_add_epi32(_mm256_madd_epi16(pairs, _mm256_set1_epi32(Pair(26345, 16384))), high));
}
[[gnu::target("avx2")]] inline __m256i BlueHalf(__m256i pairs, __m256i high) {
    return DivideTowardZero256(
        _mm256_add_epi32(_mm256_madd_epi16(pairs, _mm256_set1_epi32(Pair(-14942, 16384))),
                         _mm256_slli_epi32(high, 1)));
}
[[gnu::target("avx2")]] inline __m256i GreenHalf(__m256i pairs, __m256i high) {
    return _mm256_srai_epi32(
        _mm256_add_epi32(
            _mm256_sub_epi32(_mm256_madd_epi16(pairs, _mm256_set1_epi32(Pair(18734, -22554))),
                             high),
            _mm256_set1_epi32(33792)),
        16);
}

[[gnu::target("avx2")]] inline Terms256 ChromaTerms256(__m256i cb, __m256i cr) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i two = _mm256_set1_epi16(2);
    const __m256i cr_lo = _mm256_unpacklo_epi16(zero, cr), cr_hi = _mm256_unpackhi_epi16(zero, cr);
    const __m256i cb_lo = _mm256_unpacklo_epi16(zero, cb), cb_hi = _mm256_unpackhi_epi16(zero, cb);
    return {_mm256_packs_epi32(BlueHalf(_mm256_unpacklo_epi16(cb, two), cb_lo),
                               BlueHalf(_mm256_unpackhi_epi16(cb, two), cb_hi)),
            _mm256_packs_epi32(GreenHalf(_mm256_unpacklo_epi16(cr, cb), cr_lo),
                               GreenHalf(_mm256_unpackhi_epi16(cr, cb), cr_hi)),
            _mm256_packs_epi32(RedHalf(_mm256_unpacklo_epi16(cr, two), cr_lo),
                               RedHalf(_mm256_unpackhi_epi16(cr, two), cr_hi))};
}

[[gnu::target("avx2")]] inline __m256i Mask256(int i) {
    return _mm256_broadcastsi128_si256(Mask(i));
}

// Part p of the interleaved bytes: lane 0 holds output bytes 16 p ... 16 p + 15 of pixels
// 0-15, lane 1 those of pixels 16-31.
[[gnu::target("avx2")]] inline __m256i BgrPart256(__m256i b, __m256i g, __m256i r, int p) {
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, Mask256(3 * p)),
                                           _mm256_shuffle_epi8(g, Mask256(3 * p + 1))),
                           _mm256_shuffle_epi8(r, Mask256(3 * p + 2)));
}

[[gnu::target("avx2")]] inline void StoreBgr256(std::uint8_t* out, __m256i b, __m256i g,
                                                __m256i r) {
    // Written out rather than as a loop over the parts: a loop is kept as one (at -O2) with its
    // parts in memory, and the permutes then wait on stores to the stack.
    const __m256i part0 = BgrPart256(b, g, r, 0), part1 = BgrPart256(b, g, r, 1),
                  part2 = BgrPart256(b, g, r, 2);
    // Lane 0 of the parts holds output bytes 0-47, lane 1 bytes 48-95.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permute2x128_si256(part0, part1, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                        _mm256_permute2x128_si256(part2, part0, 0x30));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 64),
                        _mm256_permute2x128_si256(part1, part2, 0x31));
}

[[gnu::target("avx2")]] inline void Pixels256(const std::uint8_t* y, const Terms256& lo,
                                              const Terms256& hi, std::uint8_t* out) {
    const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y));
    const __m256i y_lo = _mm256_unpacklo_epi8(luma, _mm256_setzero_si256());
    const __m256i y_hi = _mm256_unpackhi_epi8(luma, _mm256_setzero_si256());
    StoreBgr256(
        out, _mm256_packus_epi16(_mm256_add_epi16(y_lo, lo.blue), _mm256_add_epi16(y_hi, hi.blue)),
        _mm256_packus_epi16(_mm256_add_epi16(y_lo, lo.green), _mm256_add_epi16(y_hi, hi.green)),
        _mm256_packus_epi16(_mm256_add_epi16(y_lo, lo.red), _mm256_add_epi16(y_hi, hi.red)));
}

// 16 chroma bytes, centred, as 16-bit lanes in order (lane 0 samples 0-7, lane 1 8-15).
[[gnu::target("avx2")]] inline __m256i Centred16(const std::uint8_t* p) {
    return _mm256_sub_epi16(
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm256_set1_epi16(128));
}

[[gnu::target("avx2")]] inline void Doubled256(const Terms256& t, Terms256* lo, Terms256* hi) {
    *lo = {_mm256_unpacklo_epi16(t.blue, t.blue), _mm256_unpacklo_epi16(t.green, t.green),
           _mm256_unpacklo_epi16(t.red, t.red)};
    *hi = {_mm256_unpackhi_epi16(t.blue, t.blue), _mm256_unpackhi_epi16(t.green, t.green),
           _mm256_unpackhi_epi16(t.red, t.red)};
}

constexpr int kWideRun = 32;

[[gnu::target("avx2")]] int ConvertFullAvx2(const std::uint8_t* y, const std::uint8_t* cb,
                                            const std::uint8_t* cr, std::uint8_t* out,
                                            int columns) {
    int x = 0;
    for (; x + kWideRun <= columns; x += kWideRun) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb + x));
        const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr + x));
        const __m256i zero = _mm256_setzero_si256(), centre = _mm256_set1_epi16(128);
        const Terms256 lo = ChromaTerms256(_mm256_sub_epi16(_mm256_unpacklo_epi8(b, zero), centre),
                                           _mm256_sub_epi16(_mm256_unpacklo_epi8(r, zero), centre));
        const Terms256 hi = ChromaTerms256(_mm256_sub_epi16(_mm256_unpackhi_epi8(b, zero), centre),
                                           _mm256_sub_epi16(_mm256_unpackhi_epi8(r, zero), centre));
        Pixels256(y + x, lo, hi, out + 3 * x);
    }
    return x;
}

[[gnu::target("avx2")]] int ConvertHalfWidthAvx2(const std::uint8_t* y0, const std::uint8_t* y1,
                                                 const std::uint8_t* cb, const std::uint8_t* cr,
                                                 std::uint8_t* out0, std::uint8_t* out1,
                                                 int columns) {
    int x = 0;
    for (; x + kWideRun <= columns; x += kWideRun) {
        Terms256 lo, hi;
        Doubled256(ChromaTerms256(Centred16(cb + x / 2), Centred16(cr + x / 2)), &lo, &hi);
        Pixels256(y0 + x, lo, hi, out0 + 3 * x);
        if (y1 != nullptr) Pixels256(y1 + x, lo, hi, out1 + 3 * x);
    }
    return x;
}

bool WideAvailable() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

}  // namespace

bool Available() {
    static const bool available = __builtin_cpu_supports("ssse3");
    return available;
}

[[gnu::target("ssse3")]] int ConvertFull(const std::uint8_t* y, const std::uint8_t* cb,
                                         const std::uint8_t* cr, std::uint8_t* out, int columns) {
    int x = WideAvailable() ? ConvertFullAvx2(y, cb, cr, out, columns) : 0;
    for (; x + kRun <= columns; x += kRun) {
        const Terms lo = ChromaTerms(Centred8(cb + x), Centred8(cr + x));
        const Terms hi = ChromaTerms(Centred8(cb + x + 8), Centred8(cr + x + 8));
        Pixels(y + x, lo, hi, out + 3 * x);
    }
    return x;
}

[[gnu::target("ssse3")]] int ConvertHalfWidth(const std::uint8_t* y, const std::uint8_t* cb,
                                              const std::uint8_t* cr, std::uint8_t* out,
                                              int columns) {
    int x = WideAvailable() ? ConvertHalfWidthAvx2(y, nullptr, cb, cr, out, nullptr, columns) : 0;
    for (; x + kRun <= columns; x += kRun) {
        Terms lo, hi;
        Doubled(ChromaTerms(Centred8(cb + x / 2), Centred8(cr + x / 2)), &lo, &hi);
        Pixels(y + x, lo, hi, out + 3 * x);
    }
    return x;
}

[[gnu::target("ssse3")]] int ConvertHalfWidthTwoRows(const std::uint8_t* y0, const std::uint8_t* y1,
                                                     const std::uint8_t* cb, const std::uint8_t* cr,
                                                     std::uint8_t* out0, std::uint8_t* out1,
                                                     int columns) {
    int x = WideAvailable() ? ConvertHalfWidthAvx2(y0, y1, cb, cr, out0, out1, columns) : 0;
    for (; x + kRun <= columns; x += kRun) {
        Terms lo, hi;
        Doubled(ChromaTerms(Centred8(cb + x / 2), Centred8(cr + x / 2)), &lo, &hi);
        Pixels(y0 + x, lo, hi, out0 + 3 * x);
        Pixels(y1 + x, lo, hi, out1 + 3 * x);
    }
    return x;
}

}  // namespace image::jpeg::x86

#else

namespace image::jpeg::x86 {

bool Available() {
    return false;
}
int ConvertFull(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, int) {
    return 0;
}
int ConvertHalfWidth(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                     int) {
    return 0;
}
int ConvertHalfWidthTwoRows(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*,
                            const std::uint8_t*, std::uint8_t*, std::uint8_t*, int) {
    return 0;
}

}  // namespace image::jpeg::x86

#endif
