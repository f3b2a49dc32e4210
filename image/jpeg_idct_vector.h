// The vector inverse DCT, written once over a vector traits type V: with 128-bit SSE2 registers
// it transforms one block, with 256-bit AVX2 registers two blocks at once (one per 128-bit lane;
// every operation used here stays inside its lane). Each output is a sum of products of input
// pairs (the factorisation multiplied out) so that a 16 x 16 -> 32-bit multiply-add forms it;
// the products are the same integers as in the portable pass and no sum of them leaves 32 bits
// for any 16-bit input, so both give the same samples for every block.
//   e: t2 = 10703 x2 + 4433 x6       t6 = 4433 x2 - 10704 x6
//   o0 = 2260 x1 - 6436 x3 + 9633 x5 - 11363 x7
//   o1 = 6437 x1 - 11362 x3 + 2261 x5 + 9633 x7
//   o2 = 9633 x1 - 2259 x3 - 11362 x5 - 6436 x7
//   o3 = 11363 x1 + 9633 x3 + 6437 x5 + 2260 x7
// Included by the translation units that define a traits type, each compiled for its own
// instruction set; the anonymous namespace keeps every copy to its unit.
#pragma once

#include <cstdint>

namespace image::jpeg {
namespace {

namespace idct_vector {

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;
constexpr int kColumnShift = kConstBits - kPass1Bits;   // 11
constexpr int kRowShift = kConstBits + kPass1Bits + 3;  // 18
constexpr int kColumnRound = 1 << (kColumnShift - 1);   // 1024
constexpr int kRowRound = 1 << (kRowShift - 1);         // 131072
constexpr int kRangeMask = 1023;
constexpr int kRangeCentre = 128;
constexpr int kRangeWrap = 640;  // masked indices from here on read 0 from the range table

constexpr int k0_541196100 = 4433;
constexpr int k0_765366865 = 6270;
constexpr int k1_847759065 = 15137;

// A pair (a, b) of 16-bit factors for the multiply-add of interleaved inputs (x, y): a x + b y.
constexpr int Pair(int a, int b) {
    return static_cast<int>((static_cast<std::uint32_t>(b) << 16) |
                            (static_cast<std::uint32_t>(a) & 0xFFFF));
}

template <class V>
struct Wide {
    typename V::T lo, hi;  // lanes 0-3 and 4-7 of each row as 32-bit sums
};

// With Left, lanes 4-7 of a and b are known to be zero, and so are those of the sums.
template <class V, bool Left = false>
[[gnu::always_inline]] inline Wide<V> MulAdd(typename V::T a, typename V::T b, int pair) {
    const typename V::T factors = V::Set32(pair);
    if constexpr (Left) return {V::Madd(V::UnpackLo16(a, b), factors), V::Zero()};
    return {V::Madd(V::UnpackLo16(a, b), factors), V::Madd(V::UnpackHi16(a, b), factors)};
}
template <class V>
[[gnu::always_inline]] inline Wide<V> Add(Wide<V> a, Wide<V> b) {
    return {V::Add32(a.lo, b.lo), V::Add32(a.hi, b.hi)};
}
template <class V>
[[gnu::always_inline]] inline Wide<V> Sub(Wide<V> a, Wide<V> b) {
    return {V::Sub32(a.lo, b.lo), V::Sub32(a.hi, b.hi)};
}

// The odd part of an output pair: p13 on x1 and x3, p57 on x5 and x7 (zero with Low).
template <class V, bool Low, bool Left>
[[gnu::always_inline]] inline Wide<V> Odd(const typename V::T* x, int p13, int p57) {
    if constexpr (Low)
        return MulAdd<V, Left>(x[1], x[3], p13);
    else
        return Add(MulAdd<V, Left>(x[1], x[3], p13), MulAdd<V, Left>(x[5], x[7], p57));
}

// The 1-D transform of x[0..7] (16-bit lanes) into out[0..7] = narrow(y[0..7]), y the 32-bit
// sums (unscaled). With Low, x[4..7] are known to be zero and their products are left out. The
// outputs are formed and narrowed in two groups (rows 0, 7, 3, 4 from the even terms of x0 and
// x2 with odd terms o3 and o0; then rows 1, 6, 2, 5), so that only a few 32-bit sums are live at
// a time: all eight in pairs of registers do not fit the sixteen vector registers, and the
// spills cost more than the arithmetic. With Left, lanes 4-7 of every x are known to be zero
// and only lanes 0-3 are worked out. The narrowing's rounding term goes into the x0 term once
// (every output holds that term once; the 32-bit sums wrap alike in either order), not into
// each output. out must not overlap x.
template <class V, bool Low, class Narrow, bool Left = false>
[[gnu::always_inline]] inline void Transform(const typename V::T* x, typename V::T* out,
                                             Narrow narrow) {
    {
        Wide<V> a, t2;
        if constexpr (Low) {
            const typename V::T zero = V::Zero();
            a = MulAdd<V, Left>(x[0], zero, Pair(1 << kConstBits, 0));
            t2 = MulAdd<V, Left>(x[2], zero, Pair(k0_541196100 + k0_765366865, 0));
        } else {
            a = MulAdd<V, Left>(x[0], x[4], Pair(1 << kConstBits, 1 << kConstBits));
            t2 = MulAdd<V, Left>(x[2], x[6], Pair(k0_541196100 + k0_765366865, k0_541196100));
        }
        a = Add(a, Wide<V>{V::Set32(Narrow::kRound), V::Set32(Narrow::kRound)});
        const Wide<V> e0 = Add(a, t2), e3 = Sub(a, t2);
        const Wide<V> o3 = Odd<V, Low, Left>(x, Pair(11363, 9633), Pair(6437, 2260));
        out[0] = narrow(Add(e0, o3));
        out[7] = narrow(Sub(e0, o3));
        const Wide<V> o0 = Odd<V, Low, Left>(x, Pair(2260, -6436), Pair(9633, -11363));
        out[3] = narrow(Add(e3, o0));
        out[4] = narrow(Sub(e3, o0));
    }
    {
        Wide<V> a, t6;
        if constexpr (Low) {
            const typename V::T zero = V::Zero();
            a = MulAdd<V, Left>(x[0], zero, Pair(1 << kConstBits, 0));
            t6 = MulAdd<V, Left>(x[2], zero, Pair(k0_541196100, 0));
        } else {
            a = MulAdd<V, Left>(x[0], x[4], Pair(1 << kConstBits, -(1 << kConstBits)));
            t6 = MulAdd<V, Left>(x[2], x[6], Pair(k0_541196100, k0_541196100 - k1_847759065));
        }
        a = Add(a, Wide<V>{V::Set32(Narrow::kRound), V::Set32(Narrow::kRound)});
        const Wide<V> e1 = Add(a, t6), e2 = Sub(a, t6);
        const Wide<V> o2 = Odd<V, Low, Left>(x, Pair(9633, -2259), Pair(-11362, -6436));
        out[1] = narrow(Add(e1, o2));
        out[6] = narrow(Sub(e1, o2));
        const Wide<V> o1 = Odd<V, Low, Left>(x, Pair(6437, -11362), Pair(2261, 9633));
        out[2] = narrow(Add(e2, o1));
        out[5] = narrow(Sub(e2, o1));
    }
}

template <class V>
[[gnu::always_inline]] inline void Transpose(typename V::T* r) {
    using T = typename V::T;
    const T a0 = V::UnpackLo16(r[0], r[1]), a1 = V::UnpackHi16(r[0], r[1]);
    const T a2 = V::UnpackLo16(r[2], r[3]), a3 = V::UnpackHi16(r[2], r[3]);
    const T a4 = V::UnpackLo16(r[4], r[5]), a5 = V::UnpackHi16(r[4], r[5]);
    const T a6 = V::UnpackLo16(r[6], r[7]), a7 = V::UnpackHi16(r[6], r[7]);
    const T b0 = V::UnpackLo32(a0, a2), b1 = V::UnpackHi32(a0, a2);
    const T b2 = V::UnpackLo32(a1, a3), b3 = V::UnpackHi32(a1, a3);
    const T b4 = V::UnpackLo32(a4, a6), b5 = V::UnpackHi32(a4, a6);
    const T b6 = V::UnpackLo32(a5, a7), b7 = V::UnpackHi32(a5, a7);
    r[0] = V::UnpackLo64(b0, b4);
    r[1] = V::UnpackHi64(b0, b4);
    r[2] = V::UnpackLo64(b1, b5);
    r[3] = V::UnpackHi64(b1, b5);
    r[4] = V::UnpackLo64(b2, b6);
    r[5] = V::UnpackHi64(b2, b6);
    r[6] = V::UnpackLo64(b3, b7);
    r[7] = V::UnpackHi64(b3, b7);
}

// (y + 1024) >> 11 kept to its low 16 bits, as the portable pass stores it: shifted left by 5,
// those bits are the upper half of the 32-bit lane. y arrives with the 1024 added (kRound).
// With Left, the outputs from lane 4 on are known to be zero.
template <class V, bool Left = false>
struct ColumnNarrow {
    static constexpr int kRound = kColumnRound;
    [[gnu::always_inline]] typename V::T operator()(Wide<V> y) const {
        constexpr int kUp = 16 - kColumnShift;
        return V::Packs32(V::Srai32(V::Slli32(y.lo, kUp), 16),
                          Left ? V::Zero() : V::Srai32(V::Slli32(y.hi, kUp), 16));
    }
};

// The range-table index ((y + 2^17) >> 18 & 1023) + 128, reduced to t = (v + 128) & 1023: the
// table gives t below 256, 255 from 256 to 639 and 0 from 640 on. A shifted sum fits 16 bits
// (|y| < 2^31), so it is packed before the mask. y arrives with 2^17 + (128 << 18) added.
template <class V>
struct RowNarrow {
    static constexpr int kRound = kRowRound + (kRangeCentre << kRowShift);
    [[gnu::always_inline]] typename V::T operator()(Wide<V> y) const {
        return V::And(V::Packs32(V::Srai32(y.lo, kRowShift), V::Srai32(y.hi, kRowShift)),
                      V::Set16(kRangeMask));
    }
};

// Both passes over the rows x[0..7] of dequantised coefficients; on return x[r] holds row r of
// the samples as 16-bit values 0..255 in lanes.
template <class V, bool Low>
[[gnu::always_inline]] inline void InverseDctRows(typename V::T* x) {
    typename V::T t[8];
    // An all-low block's rows are zero from lane 4 on.
    Transform<V, Low, ColumnNarrow<V, Low>, Low>(x, t, ColumnNarrow<V, Low>{});
    Transpose<V>(t);
    // Columns 4-7 of an all-low block stay zero through the first pass.
    Transform<V, Low>(t, x, RowNarrow<V>{});
    Transpose<V>(x);
    // Unrolled, so that the rows stay in registers rather than pass through the stack.
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) x[r] = V::AndNot(V::CmpGt16(x[r], V::Set16(kRangeWrap - 1)), x[r]);
}

// True when every coefficient outside the top-left 4 x 4 of the rows x[0..7] is zero (in all
// blocks the registers hold).
template <class V>
[[gnu::always_inline]] inline bool LowOnly(const typename V::T* x) {
    const typename V::T high_rows = V::Or(V::Or(x[4], x[5]), V::Or(x[6], x[7]));
    const typename V::T right_half = V::Srli128Bytes8(V::Or(V::Or(x[0], x[1]), V::Or(x[2], x[3])));
    return V::AllZero(V::Or(high_rows, right_half));
}

}  // namespace idct_vector

}  // namespace
}  // namespace image::jpeg
