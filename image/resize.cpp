// Resize: dispatch, nearest neighbour through step masks, block averaging and bilinear
// interpolation in 15-bit fixed point stepped by addition. Per-depth kernels are templates chosen
// once per call. Pixels are addressed through PixelOffset: rows counted from the top, stored
// bottom-up.
#include "image/resize.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace image {
namespace {

constexpr std::uint32_t kFractionMask = kScaleOne - 1;
constexpr std::uint32_t kHalf = kScaleOne / 2;
// A shrink factor in (1, 1.5] averages blocks of 2; larger ones round to the nearest whole size.
constexpr std::uint32_t kSmallShrinkLimit = kScaleOne + kScaleOne / 2;

struct Region {
    std::uint32_t left, top, width, height;
};

Region RegionOf(const ImageBuffer& image) {
    return {image.Left, image.Top, image.Right - image.Left + 1, image.Bottom - image.Top + 1};
}

std::uint8_t* Row(const ImageBuffer& image, std::uint32_t y) {
    return image.Bits + PixelOffset(image, 0, y);
}

bool Marked(const std::vector<std::uint8_t>& mask, std::uint32_t step) {
    return (mask[step >> 3] >> (7 - (step & 7))) & 1;
}

bool GetBit(const std::uint8_t* row, std::uint32_t x) {
    return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

void PutBit(std::uint8_t* row, std::uint32_t x, bool on) {
    const auto bit = static_cast<std::uint8_t>(0x80u >> (x & 7));
    row[x >> 3] = static_cast<std::uint8_t>(on ? row[x >> 3] | bit : row[x >> 3] & ~bit);
}

// Equal row bytes, overlapping columns and overlapping row addresses: the regions may share
// pixels, so one of them must be a temporary.
bool SharePixels(const ImageBuffer& a, const ImageBuffer& b) {
    if (a.RowBytes != b.RowBytes) return false;
    if (a.Right < b.Left || b.Right < a.Left) return false;
    auto span = [](const ImageBuffer& image, std::uintptr_t* low, std::uintptr_t* high) {
        *low = reinterpret_cast<std::uintptr_t>(Row(image, image.Bottom));
        *high = reinterpret_cast<std::uintptr_t>(Row(image, image.Top)) +
                static_cast<std::uintptr_t>(image.RowBytes);
    };
    std::uintptr_t a_low, a_high, b_low, b_high;
    span(a, &a_low, &a_high);
    span(b, &b_low, &b_high);
    return a_low < b_high && b_low < a_high;
}

// ---- nearest neighbour ----

// Source column (relative to the source region) of every target column, read off the mask.
std::vector<std::uint32_t> ColumnMap(std::uint32_t from, std::uint32_t to) {
    const std::vector<std::uint8_t> mask = StepMask(from, to);
    std::vector<std::uint32_t> map(to);
    if (to >= from) {
        std::uint32_t next = 0;
        for (std::uint32_t i = 0; i < to; ++i) {
            if (Marked(mask, i) && i != 0) ++next;
            map[i] = next;
        }
    } else {
        std::uint32_t k = 0;
        for (std::uint32_t j = 0; j < from && k < to; ++j)
            if (Marked(mask, j)) map[k++] = j;
    }
    return map;
}

template <int Bits>
void SampleRow(const std::uint8_t* in, std::uint32_t in_left, std::uint8_t* out,
               std::uint32_t out_left, const std::vector<std::uint32_t>& columns) {
    const std::uint32_t n = static_cast<std::uint32_t>(columns.size());
    if constexpr (Bits == 1) {
        for (std::uint32_t k = 0; k < n; ++k)
            PutBit(out, out_left + k, GetBit(in, in_left + columns[k]));
    } else {
        constexpr int kBytes = Bits / 8;
        const std::uint8_t* from = in + std::size_t{in_left} * kBytes;
        std::uint8_t* to = out + std::size_t{out_left} * kBytes;
        for (std::uint32_t k = 0; k < n; ++k)
            std::memcpy(to + std::size_t{k} * kBytes, from + std::size_t{columns[k]} * kBytes,
                        kBytes);
    }
}

template <int Bits>
void RepeatRow(const std::uint8_t* previous, std::uint8_t* row, std::uint32_t left,
               std::uint32_t width) {
    if constexpr (Bits == 1) {
        for (std::uint32_t k = 0; k < width; ++k) PutBit(row, left + k, GetBit(previous, left + k));
    } else {
        std::memcpy(row + std::size_t{left} * (Bits / 8), previous + std::size_t{left} * (Bits / 8),
                    std::size_t{width} * (Bits / 8));
    }
}

template <int Bits>
void NearestKernel(const ImageBuffer& source, const ImageBuffer& target) {
    const Region s = RegionOf(source), t = RegionOf(target);
    const std::vector<std::uint32_t> columns = ColumnMap(s.width, t.width);
    const std::vector<std::uint8_t> rows = StepMask(s.height, t.height);
    if (t.height >= s.height) {
        std::uint32_t next = 0;
        for (std::uint32_t i = 0; i < t.height; ++i) {
            std::uint8_t* out = Row(target, t.top + i);
            if (i == 0 || Marked(rows, i)) {
                if (i != 0) ++next;
                SampleRow<Bits>(Row(source, s.top + next), s.left, out, t.left, columns);
            } else {
                RepeatRow<Bits>(Row(target, t.top + i - 1), out, t.left, t.width);
            }
        }
    } else {
        std::uint32_t k = 0;
        for (std::uint32_t j = 0; j < s.height && k < t.height; ++j)
            if (Marked(rows, j))
                SampleRow<Bits>(Row(source, s.top + j), s.left, Row(target, t.top + k++), t.left,
                                columns);
    }
}

ImageResult Nearest(ImageBuffer* source, ImageBuffer* target) {
    const int bits = source->Header->BitCount;
    ImageBuffer temporary{};
    ImageBuffer* out = target;
    // Without a temporary the target is written directly: the rows then copy in walk order.
    if (SharePixels(*source, *target)) {
        const Region t = RegionOf(*target);
        if (AllocImage(&temporary, static_cast<std::int32_t>(t.width),
                       static_cast<std::int32_t>(t.height), bits) == kImageOk)
            out = &temporary;
    }
    switch (bits) {
        case 1:
            NearestKernel<1>(*source, *out);
            break;
        case 8:
            NearestKernel<8>(*source, *out);
            break;
        default:
            NearestKernel<24>(*source, *out);
            break;
    }
    ImageResult result = kImageOk;
    if (out == &temporary) {
        result = CopyImageRegion(&temporary, target);
        FreeImage(&temporary);
    }
    CopyPalette(*source, target);
    return result;
}

// ---- smooth ----

struct Scales {
    std::uint32_t x, y;
};

Scales ScalesOf(const Region& s, const Region& t) {
    return {static_cast<std::uint32_t>((std::uint64_t{s.width} << kScaleBits) / t.width),
            static_cast<std::uint32_t>((std::uint64_t{s.height} << kScaleBits) / t.height)};
}

std::uint32_t BlockSize(std::uint32_t scale) {
    const std::uint32_t round =
        scale > kScaleOne && scale <= kSmallShrinkLimit ? kScaleOne - 1 : kHalf;
    return static_cast<std::uint32_t>((std::uint64_t{scale} + round) >> kScaleBits);
}

// Adds n samples of a source row into 32-bit column sums.
void AccumulateRow(const std::uint8_t* in, std::uint32_t* sums, std::size_t n) {
    std::size_t k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; k + 16 <= n; k += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
        const __m128i parts[4] = {_mm_unpacklo_epi16(low, zero), _mm_unpackhi_epi16(low, zero),
                                  _mm_unpacklo_epi16(high, zero), _mm_unpackhi_epi16(high, zero)};
        for (int q = 0; q < 4; ++q) {
            __m128i* at = reinterpret_cast<__m128i*>(sums + k + 4 * q);
            _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), parts[q]));
        }
    }
#endif
    for (; k < n; ++k) sums[k] += in[k];
}

// sum / count for sums of at most 255 * count, as a multiply and shift by a reciprocal rounded
// up: exact while 255 * count * count < 2^32, so larger blocks divide.
struct Divider {
    std::uint32_t count = 0;
    std::uint64_t reciprocal = 0;
    bool exact = false;
    void Set(std::uint32_t n) {
        count = n;
        exact = n < 4096;
        reciprocal = ((std::uint64_t{1} << 32) + n - 1) / n;
    }
    std::uint32_t operator()(std::uint32_t sum) const {
        return exact ? static_cast<std::uint32_t>((sum * reciprocal) >> 32) : sum / count;
    }
};

// Each target pixel is the mean of a block of source pixels. The rows of a target row's block
// are first added column by column, then each target pixel adds the columns of its block.
template <int Channels>
void AverageKernel(const ImageBuffer& source, const ImageBuffer& target, Scales scale) {
    const Region s = RegionOf(source), t = RegionOf(target);
    const std::uint32_t block_width = BlockSize(scale.x), block_height = BlockSize(scale.y);
    const std::uint32_t source_bottom = s.top + s.height;
    // First and one-past-last source column of every target column, relative to the region.
    struct Span {
        std::uint32_t first, end;
    };
    std::vector<Span> spans(t.width);
    std::uint64_t sx = 0;
    for (std::uint32_t j = 0; j < t.width; ++j, sx += scale.x) {
        const std::uint32_t x0 = static_cast<std::uint32_t>(sx >> kScaleBits);
        spans[j] = {x0, std::min(x0 + block_width, s.width)};
    }
    const std::size_t samples = std::size_t{s.width} * Channels;
    std::vector<std::uint32_t> column_sums(samples);
    Divider divide;
    std::uint64_t sy = 0;
    for (std::uint32_t i = 0; i < t.height; ++i, sy += scale.y) {
        const std::uint32_t y0 = s.top + static_cast<std::uint32_t>(sy >> kScaleBits);
        const std::uint32_t y1 = std::min(y0 + block_height, source_bottom);
        std::fill(column_sums.begin(), column_sums.end(), 0u);
        for (std::uint32_t y = y0; y < y1; ++y)
            AccumulateRow(Row(source, y) + std::size_t{s.left} * Channels, column_sums.data(),
                          samples);
        std::uint8_t* out = Row(target, t.top + i) + std::size_t{t.left} * Channels;
        for (const Span& span : spans) {
            const std::uint32_t count = (span.end - span.first) * (y1 - y0);
            if (count != divide.count) divide.Set(count);
            std::uint32_t sums[Channels] = {};
            const std::uint32_t* in = column_sums.data() + std::size_t{span.first} * Channels;
            for (std::uint32_t x = span.first; x < span.end; ++x, in += Channels)
                for (int c = 0; c < Channels; ++c) sums[c] += in[c];
            for (int c = 0; c < Channels; ++c) out[c] = static_cast<std::uint8_t>(divide(sums[c]));
            out += Channels;
        }
    }
}

// The vertical step of bilinear interpolation between two horizontally interpolated rows:
// d = (bottom - top) / one, truncated toward zero, then (top + d * fy + half) / one. The result
// lies between two non-negative rows, so it is never negative and the last division is a shift.
void BlendRows(const int* top, const int* bottom, int fy, std::uint8_t* out, std::size_t n) {
    constexpr int kOne = static_cast<int>(kScaleOne);
    std::size_t k = 0;
#if defined(__SSE2__)
    // Four lanes at a time. |d| <= 255 and 0 <= fy < one both fit 16 bits, so d * fy is one
    // multiply-add of the lane's low half (d) by fy, with its high half (d's sign) times 0.
    const __m128i weight = _mm_set1_epi32(fy);
    const __m128i half = _mm_set1_epi32(static_cast<int>(kHalf));
    const __m128i round_toward_zero = _mm_set1_epi32(kOne - 1);
    auto lanes = [&](std::size_t at) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + at));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + at));
        __m128i diff = _mm_sub_epi32(b, t);
        diff = _mm_add_epi32(diff, _mm_and_si128(_mm_srai_epi32(diff, 31), round_toward_zero));
        const __m128i d = _mm_srai_epi32(diff, kScaleBits);
        const __m128i v = _mm_add_epi32(_mm_add_epi32(t, _mm_madd_epi16(d, weight)), half);
        return _mm_srai_epi32(v, kScaleBits);
    };
    for (; k + 16 <= n; k += 16) {
        const __m128i low = _mm_packs_epi32(lanes(k), lanes(k + 4));
        const __m128i high = _mm_packs_epi32(lanes(k + 8), lanes(k + 12));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(low, high));
    }
#endif
    for (; k < n; ++k) {
        const int d = (bottom[k] - top[k]) / kOne;
        const int v = top[k] + d * fy + static_cast<int>(kHalf);
        out[k] = static_cast<std::uint8_t>(v >> kScaleBits);
    }
}

template <int Channels>
void BilinearKernel(const ImageBuffer& source, const ImageBuffer& target, Scales scale) {
    const Region s = RegionOf(source), t = RegionOf(target);
    const std::uint32_t last_column = s.left + s.width - 1, last_row = s.top + s.height - 1;
    // The source columns and the fraction of every target column are the same on each row, so
    // they are worked out once: byte offsets of the left and right neighbours, and fx.
    struct Column {
        std::uint32_t left, right;
        int fx;
    };
    std::vector<Column> columns(t.width);
    std::uint64_t sx = 0;
    for (std::uint32_t j = 0; j < t.width; ++j, sx += scale.x) {
        const std::uint32_t x = s.left + static_cast<std::uint32_t>(sx >> kScaleBits);
        columns[j] = {x * Channels, (x == last_column ? x : x + 1) * Channels,
                      static_cast<int>(sx & kFractionMask)};
    }
    constexpr int kOne = static_cast<int>(kScaleOne);
    // The horizontal step of a source row (p0 * one + fx * (p1 - p0) for every target column and
    // channel) depends on the row alone, so it is done once per source row and kept while target
    // rows still use it: an enlargement reads each source row pair for several target rows.
    const std::size_t samples = std::size_t{t.width} * Channels;
    std::vector<int> storage(2 * samples);
    int* rows[2] = {storage.data(), storage.data() + samples};
    std::uint32_t held[2] = {~0u, ~0u};  // the source row in each buffer; ~0: none
    auto horizontal = [&](std::uint32_t y, int* into) {
        const std::uint8_t* in = Row(source, y);
        for (const Column& col : columns) {
            for (int c = 0; c < Channels; ++c) {
                const int p0 = in[col.left + c], p1 = in[col.right + c];
                *into++ = p0 * kOne + col.fx * (p1 - p0);
            }
        }
    };
    std::uint64_t sy = 0;
    for (std::uint32_t i = 0; i < t.height; ++i, sy += scale.y) {
        const std::uint32_t y = s.top + static_cast<std::uint32_t>(sy >> kScaleBits);
        const int fy = static_cast<int>(sy & kFractionMask);
        // Buffer 0 takes the upper row; the last lower row becomes the upper one when the
        // picture moves down by one source row.
        if (held[0] != y) {
            if (held[1] == y) {
                std::swap(rows[0], rows[1]);
                std::swap(held[0], held[1]);
            } else {
                horizontal(y, rows[0]);
                held[0] = y;
            }
        }
        const int* top = rows[0];
        const int* bottom = rows[0];  // the last row is its own lower neighbour
        if (y != last_row) {
            if (held[1] != y + 1) {
                horizontal(y + 1, rows[1]);
                held[1] = y + 1;
            }
            bottom = rows[1];
        }
        BlendRows(top, bottom, fy, Row(target, t.top + i) + std::size_t{t.left} * Channels,
                  samples);
    }
}

void SmoothKernel(const ImageBuffer& source, const ImageBuffer& target) {
    const Scales scale = ScalesOf(RegionOf(source), RegionOf(target));
    const bool average = scale.x > kScaleOne && scale.y > kScaleOne;
    const bool grey = source.Header->BitCount == 8;
    if (average)
        grey ? AverageKernel<1>(source, target, scale) : AverageKernel<3>(source, target, scale);
    else
        grey ? BilinearKernel<1>(source, target, scale) : BilinearKernel<3>(source, target, scale);
}

// Smooth scaling of an 8-bit picture with a colour table: through 24 bits, then each pixel takes
// the nearest colour-table entry (squared distance, first entry on ties).
ImageResult SmoothPalette(ImageBuffer* source, ImageBuffer* target) {
    const Region s = RegionOf(*source), t = RegionOf(*target);
    ImageBuffer wide_source{}, wide_target{};
    if (AllocImage(&wide_source, static_cast<std::int32_t>(s.width),
                   static_cast<std::int32_t>(s.height), 24) != kImageOk)
        return kOutOfMemory;
    if (AllocImage(&wide_target, static_cast<std::int32_t>(t.width),
                   static_cast<std::int32_t>(t.height), 24) != kImageOk) {
        FreeImage(&wide_source);
        return kOutOfMemory;
    }
    const std::uint32_t colors = static_cast<std::uint32_t>(std::max(source->ColorCount, 0));
    const PaletteEntry black{0, 0, 0, 0};
    for (std::uint32_t y = 0; y < s.height; ++y) {
        const std::uint8_t* in = Row(*source, s.top + y) + s.left;
        std::uint8_t* out = Row(wide_source, y);
        for (std::uint32_t x = 0; x < s.width; ++x, out += 3) {
            const PaletteEntry& e = in[x] < colors ? source->Palette[in[x]] : black;
            out[0] = e.Blue;
            out[1] = e.Green;
            out[2] = e.Red;
        }
    }
    SmoothKernel(wide_source, wide_target);

    std::unordered_map<std::uint32_t, std::uint8_t> nearest;
    for (std::uint32_t y = 0; y < t.height; ++y) {
        const std::uint8_t* in = Row(wide_target, y);
        std::uint8_t* out = Row(*target, t.top + y) + t.left;
        for (std::uint32_t x = 0; x < t.width; ++x, in += 3) {
            const std::uint32_t key =
                std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16;
            auto [it, inserted] = nearest.try_emplace(key, 0);
            if (inserted) {
                int best = 1 << 30;
                for (std::uint32_t i = 0; i < colors; ++i) {
                    const PaletteEntry& e = source->Palette[i];
                    const int db = e.Blue - in[0], dg = e.Green - in[1], dr = e.Red - in[2];
                    const int distance = db * db + dg * dg + dr * dr;
                    if (distance < best) {
                        best = distance;
                        it->second = static_cast<std::uint8_t>(i);
                    }
                }
            }
            out[x] = it->second;
        }
    }
    FreeImage(&wide_source);
    FreeImage(&wide_target);
    CopyPalette(*source, target);
    return kImageOk;
}

ImageResult Smooth(ImageBuffer* source, ImageBuffer* target) {
    ImageResult result = ValidateImage(source, kDepths8And24);
    if (result != kImageOk) return result;
    result = ValidateImage(target, kDepths8And24);
    if (result != kImageOk) return result;
    if (source->Header->BitCount == 8 && (source->Flags & kGreyScale) == 0)
        return SmoothPalette(source, target);

    const int bits = source->Header->BitCount;
    const Region s = RegionOf(*source), t = RegionOf(*target);
    if (SharePixels(*source, *target)) {
        // The smaller of the two regions goes through a temporary image.
        ImageBuffer temporary{};
        const bool source_smaller =
            std::uint64_t{t.width} * t.height >= std::uint64_t{s.width} * s.height;
        const Region& size = source_smaller ? s : t;
        if (AllocImage(&temporary, static_cast<std::int32_t>(size.width),
                       static_cast<std::int32_t>(size.height), bits) != kImageOk)
            return kOutOfMemory;
        if (source_smaller) {
            result = CopyImageRegion(source, &temporary);
            if (result == kImageOk) SmoothKernel(temporary, *target);
        } else {
            SmoothKernel(*source, temporary);
            result = CopyImageRegion(&temporary, target);
        }
        FreeImage(&temporary);
        if (result != kImageOk) return result;
    } else {
        SmoothKernel(*source, *target);
    }
    CopyPalette(*source, target);
    return kImageOk;
}

}  // namespace

std::vector<std::uint8_t> StepMask(std::uint32_t from, std::uint32_t to) {
    const std::uint32_t longer = std::max(from, to), shorter = std::min(from, to);
    std::vector<std::uint8_t> mask((std::size_t{longer} + 7) / 8, 0);
    // The accumulator grows by the shorter length each step; a step is marked when it passes
    // the threshold, which then grows by the longer length.
    std::uint64_t accumulator = shorter, threshold = 0;
    for (std::uint32_t i = 0; i < longer; ++i, accumulator += shorter) {
        if (accumulator > threshold) {
            mask[i >> 3] = static_cast<std::uint8_t>(mask[i >> 3] | (0x80u >> (i & 7)));
            threshold += longer;
        }
    }
    return mask;
}

ImageResult ResizeImage(ImageBuffer* source, ImageBuffer* target, std::int32_t mode) {
    if (source == nullptr || target == nullptr) return kBadPixels;
    if (source->Header == nullptr || source->Bits == nullptr)
        return ValidateImage(source, kDepthsAny);
    if (target->Header == nullptr || target->Bits == nullptr)
        return ValidateImage(target, kDepthsAny);
    if (source->Header->BitCount != target->Header->BitCount) return kBadDepth;
    // A region whose last column (row) lies just before its first is empty.
    if (source->Right + 1 == source->Left || source->Bottom + 1 == source->Top ||
        target->Right + 1 == target->Left || target->Bottom + 1 == target->Top)
        return kBadSize;
    ImageResult result = ValidateImage(source, kDepths1And8And24);
    if (result != kImageOk) return result;
    result = ValidateImage(target, kDepths1And8And24);
    if (result != kImageOk) return result;

    const Region s = RegionOf(*source), t = RegionOf(*target);
    if (s.width == t.width && s.height == t.height) return CopyImageRegion(source, target);
    if (mode == 0 || source->Header->BitCount == 1) return Nearest(source, target);
    return Smooth(source, target);
}

}  // namespace image
