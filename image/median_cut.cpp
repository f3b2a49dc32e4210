// Median cut and nearest-colour mapping. The histogram, the colour list, the boxes, the sorted
// palette, the candidate lists, the colour map and the runs are library-wide tables; the
// colour-matching lock (made on first use) keeps one reduction at a time in them.
#include "image/median_cut.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cstring>
#include <mutex>

#include "image/dither.h"
#include "image/jpeg_simd.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORLINA_MATCH_AVX2 1
#else
#define QUORLINA_MATCH_AVX2 0
#endif

namespace image {
namespace {

constexpr std::size_t kHistogramSize = 1u << 15;
constexpr int kBlue = 0;
constexpr int kGreen = 1;
constexpr int kRed = 2;
constexpr int kLevels5 = 32;  // values of a 5-bit channel

struct Box {
    std::uint32_t first;   // into WorkingTables::colors
    std::uint32_t count;   // colours in the box
    std::uint32_t pixels;  // sum of their (capped) counts
};

struct SortedEntry {
    std::uint8_t value;  // the entry's value on the search channel
    std::uint8_t index;  // its palette index
};

// Candidate lists of the exact matching: for a cell of colours (32 values a side, within it 16,
// and within that 8 values a side), the palette entries that can be nearest to some colour of
// the cell, each list made from its enclosing cell's, in a pool that falls back to the plain
// search when full. The 8-value cells are the histogram's: only those the picture holds are
// made, one after another, each list only until its colour-map words are made from it.
constexpr std::size_t kTopCells = std::size_t{1} << 9;
constexpr std::size_t kCoarseCells = std::size_t{1} << 12;
constexpr std::size_t kCandidatePool = std::size_t{1} << 20;
constexpr std::uint32_t kNoList = 0xFFFFFFFFu;

// For each set of lanes of eight (a bit each), the lanes in order, then zeros: a permutation
// that packs the lanes of the set to the front.
struct alignas(32) PackLanes : std::array<std::int32_t, 8> {};
constexpr std::array<PackLanes, 256> MakePackLanes() {
    std::array<PackLanes, 256> table{};
    for (int set = 0; set < 256; ++set) {
        int n = 0;
        for (int lane = 0; lane < 8; ++lane)
            if ((set >> lane) & 1)
                table[static_cast<std::size_t>(set)][static_cast<std::size_t>(n++)] = lane;
    }
    return table;
}
alignas(32) constexpr std::array<PackLanes, 256> kPackLanes = MakePackLanes();

// The colour map: for every cell of 4 values a side in an 8-value cell the picture holds, the
// entries that can be nearest to one of its colours: whatever else the 8-value cell's list holds
// is farther everywhere in it. The cells are indexed by the top six bits of red, green and blue
// (MapCell). A word is one of:
// - a single entry: the word is its index, below 256 (kSingleWord);
// - two to four entries: their indexes in its four bytes in ascending order, the last repeated
//   to fill the four; as the top byte is then above the lowest, the word is kInlineWords or
//   more;
// - a longer list: kPoolWord | its place in map_pool (from 1) << 8, where its count and
//   entries are (each as blue | green << 8 | red << 16 | its sorted position << 24, read
//   without the palette);
// - kSearchWord, where the plain search is to be used.
// The order of an inline word's entries is free: a match is the least (distance, step) of them.
constexpr int kMapShift = 2;
constexpr int kMapExtent = (1 << kMapShift) - 1;
constexpr std::size_t kMapCells = std::size_t{1} << 18;
constexpr std::uint32_t kInlineEntries = 4;
constexpr std::uint32_t kSingleWord = 0;
constexpr std::uint32_t kInlineWords = 1u << 24;
constexpr std::uint32_t kPoolWord = 0xFF;
constexpr std::uint32_t kSearchWord = 0xFFFFFF;
// Places below this fit a pool word below kSearchWord.
constexpr std::size_t kMapPool = 0xFFFF;
constexpr std::uint32_t kMapLookAhead = 8;    // pixels, or runs
constexpr std::uint32_t kMatchStretch = 256;  // pixels whose words are gathered at once

// The counting pass keeps a picture's runs of one colour, row after row, as (length - 1) << 24
// | colour, while they fit: a picture of large even areas is then mapped from them, one search
// and one fill a run, without reading its pixels again. A run longer than 256 pixels takes
// several.
constexpr std::size_t kRunLimit = std::size_t{1} << 16;
constexpr std::uint32_t kLongestRun = 256;

constexpr std::size_t MapCell(int blue, int green, int red) {
    return (static_cast<std::size_t>(red >> kMapShift) << 12) |
           (static_cast<std::size_t>(green >> kMapShift) << 6) |
           static_cast<std::size_t>(blue >> kMapShift);
}
// The same from a pixel as blue | green << 8 | red << 16, and its histogram key.
constexpr std::size_t MapCellOf(std::uint32_t bgr) {
    return ((bgr >> 2) & 0x3F) | ((bgr >> 4) & 0xFC0) | ((bgr >> 6) & 0x3F000);
}
constexpr std::uint32_t ColorKeyOf(std::uint32_t bgr) {
    return ((bgr >> 3) & 0x1F) | ((bgr >> 6) & 0x3E0) | ((bgr >> 9) & 0x7C00);
}
constexpr std::uint32_t PackedPixel(const std::uint8_t* p) {
    return p[0] | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16);
}
// The same in one read of four bytes where that is the same: p[3] must be readable.
inline std::uint32_t PackedPixelReadingOneMore(const std::uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v & 0xFFFFFFu;
    } else {
        return PackedPixel(p);
    }
}
// Pixel j of a row of w: all but the last are followed by another pixel's bytes.
inline std::uint32_t PackedPixelOfRow(const std::uint8_t* p, std::uint32_t j, std::uint32_t w) {
    return j + 1 < w ? PackedPixelReadingOneMore(p) : PackedPixel(p);
}

// The runs' answers kept while their picture is mapped: colour | palette index << 24, at the top
// bits of the colour times an odd constant, which spreads near colours apart.
constexpr int kRunAnswerBits = 12;
constexpr std::size_t kRunAnswers = std::size_t{1} << kRunAnswerBits;
constexpr std::uint32_t kAnswerSpread = 0x9E3779B1u;
constexpr std::uint32_t AnswerPlace(std::uint32_t bgr) {
    return (bgr * kAnswerSpread) >> (32 - kRunAnswerBits);
}

struct CandidateList {
    std::uint32_t first;  // into WorkingTables::pool, kNoList when not made yet
    std::uint32_t count;
};

struct WorkingTables {
    std::array<std::uint16_t, kHistogramSize> histogram;
    // Which colour-map cells the picture holds, a bit each (MapCell / 8, bit MapCell % 8): only
    // those need words.
    std::array<std::uint8_t, kMapCells / 8> occupied;
    // The colours present as key << 16 | count (ColorEntry), grouped by box.
    std::array<std::uint32_t, kHistogramSize> colors;
    std::array<std::uint32_t, kHistogramSize> split_scratch;
    // The counting pass's second table of counts (odd pixels of rows counted pixel by pixel).
    std::array<std::uint16_t, kHistogramSize> odd_counts;
    std::array<Box, kAdaptiveColors> boxes;
    std::array<SortedEntry, kAdaptiveColors> sorted;
    std::array<std::uint16_t, 256> first_at_least;  // first sorted entry with value >= v
    std::array<std::uint16_t, kAdaptiveColors> sorted_position;  // of each palette index
    std::array<CandidateList, kTopCells> top;
    std::array<CandidateList, kCoarseCells> coarse;
    // Candidates as (nearest squared distance to the cell << 8) | palette index, each list in
    // ascending order, so a search can stop at the first that cannot come near the best.
    std::array<std::uint32_t, kCandidatePool> pool;
    // The vector forms' copy of each pool entry's palette colour (as NearestColor's palette32_),
    // read in place of a gather from the palette by the entry's index.
    std::array<std::int32_t, kCandidatePool> pool_colors;
    std::array<std::uint32_t, kMapCells> map;
    std::array<std::uint32_t, kMapPool> map_pool;
    std::array<std::uint32_t, kRunLimit> runs;
    std::array<std::uint8_t, kRunLimit> run_indexes;  // their palette indexes
    std::array<std::uint32_t, kRunAnswers> run_answers;
    std::size_t run_count;     // kRunLimit + 1 once they did not fit
    std::uint32_t runs_width;  // of the rows they cover
    // The counting pass's runs of one row: their colours and first pixels, eight more than the
    // widest row's pixels, as the vector form stores eight at a time.
    std::array<std::uint32_t, kMaxImageCoordinate + 8> row_colors;
    std::array<std::uint32_t, kMaxImageCoordinate + 8> row_starts;
};

std::atomic<bool>& PortableMatchingFlag() {
    static std::atomic<bool> flag{false};
    return flag;
}

bool PortableMatchingForced() {
    return PortableMatchingFlag().load(std::memory_order_relaxed);
}

std::mutex& ColorMatchLock() {
    static std::mutex lock;
    return lock;
}

WorkingTables& Tables() {
    static WorkingTables* tables = new WorkingTables();
    return *tables;
}

// A colour of the boxes: its key above its (capped) count, so that the passes over a box read
// nothing else, and entries order as their keys do.
constexpr std::uint32_t ColorEntry(std::uint32_t key, std::uint32_t count) {
    return key << 16 | count;
}
constexpr std::uint32_t EntryCount(std::uint32_t entry) {
    return entry & 0xFFFF;
}
// Where a channel's 5-bit value lies in an entry.
constexpr int EntryShift(int channel) {
    return 16 + 5 * channel;
}
static_assert(EntryShift(kBlue) == 16 && EntryShift(kGreen) == 21 && EntryShift(kRed) == 26);

int ChannelOf(const PaletteEntry& e, int channel) {
    return channel == kBlue ? e.Blue : channel == kGreen ? e.Green : e.Red;
}

// The channel of the largest range; on equal ranges blue before red, red before green.
int WidestChannel(int blue_range, int green_range, int red_range) {
    if (blue_range >= red_range && blue_range >= green_range) return kBlue;
    if (red_range >= green_range) return kRed;
    return kGreen;
}

std::uint32_t BoxPixels(const WorkingTables& t, std::uint32_t first, std::uint32_t count) {
    std::uint32_t sum = 0;
    for (std::uint32_t k = first; k < first + count; ++k) sum += EntryCount(t.colors[k]);
    return sum;
}

// Splits the box where its colours, in order of the widest channel's value and then of the key,
// first reach half its pixels; the second box keeps at least one colour. The box's colours are
// laid out again by the widest channel's value, and only those of the value the half falls in
// are sorted by key: the order of colours within a box matters to nothing that follows. The
// passes over the box do not branch on its colours, which cannot be predicted.
void SplitBox(WorkingTables& t, Box* box, Box* added) {
    std::uint32_t* const colors = t.colors.data() + box->first;
    const std::uint32_t count = box->count;
    // The channels' least and greatest values, kept in registers.
    std::uint32_t low_b = 31, low_g = 31, low_r = 31, high_b = 0, high_g = 0, high_r = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t e = colors[k];
        const std::uint32_t b = (e >> EntryShift(kBlue)) & 31, g = (e >> EntryShift(kGreen)) & 31,
                            r = e >> EntryShift(kRed);
        low_b = std::min(low_b, b), high_b = std::max(high_b, b);
        low_g = std::min(low_g, g), high_g = std::max(high_g, g);
        low_r = std::min(low_r, r), high_r = std::max(high_r, r);
    }
    const int channel =
        WidestChannel(static_cast<int>(high_b - low_b), static_cast<int>(high_g - low_g),
                      static_cast<int>(high_r - low_r));
    const int shift = EntryShift(channel);
    // Alternate colours into two tables, so that no sum waits on the one before it.
    std::uint32_t colors_at[2][kLevels5] = {};
    std::uint32_t pixels_at[2][kLevels5] = {};
    std::uint32_t k = 0;
    for (; k + 2 <= count; k += 2) {
        const std::uint32_t a = colors[k], b = colors[k + 1];
        const std::uint32_t va = (a >> shift) & 31, vb = (b >> shift) & 31;
        ++colors_at[0][va];
        pixels_at[0][va] += EntryCount(a);
        ++colors_at[1][vb];
        pixels_at[1][vb] += EntryCount(b);
    }
    if (k < count) {
        const std::uint32_t v = (colors[k] >> shift) & 31;
        ++colors_at[0][v];
        pixels_at[0][v] += EntryCount(colors[k]);
    }
    // The value at which the running count reaches half, and the colours and pixels before it.
    std::uint32_t half_at = 0;
    std::uint32_t colors_before = 0;
    std::uint64_t running = 0;
    while (half_at < kLevels5 - 1 && 2 * (running + pixels_at[0][half_at] + pixels_at[1][half_at]) <
                                         std::uint64_t{box->pixels}) {
        colors_before += colors_at[0][half_at] + colors_at[1][half_at];
        running += pixels_at[0][half_at] + pixels_at[1][half_at];
        ++half_at;
    }
    // The colours in order of the value, by where each value's run starts, the even-placed
    // colours of a value before the odd ones, so that no place waits on the one before it;
    // those of the value the half falls in then in order of the key.
    std::uint32_t* const scratch = t.split_scratch.data();
    std::uint32_t place[2][kLevels5];
    std::uint32_t at = 0;
    for (std::uint32_t v = 0; v < kLevels5; ++v) {
        place[0][v] = at;
        place[1][v] = at + colors_at[0][v];
        at += colors_at[0][v] + colors_at[1][v];
    }
    const std::uint32_t at_half = colors_at[0][half_at] + colors_at[1][half_at];
    for (k = 0; k + 2 <= count; k += 2) {
        const std::uint32_t a = colors[k], b = colors[k + 1];
        scratch[place[0][(a >> shift) & 31]++] = a;
        scratch[place[1][(b >> shift) & 31]++] = b;
    }
    if (k < count) scratch[place[0][(colors[k] >> shift) & 31]] = colors[k];
    // The first box: the values below, and the first colours in order of the key of the value
    // the half falls in. Those are laid out in that order where few; else by the value of the
    // more significant of the other two channels, and only the colours of the value in which the
    // running count reaches half are sorted.
    std::copy(scratch, scratch + colors_before, colors);
    std::copy(scratch + colors_before + at_half, scratch + count, colors + colors_before + at_half);
    const std::uint32_t* const half = scratch + colors_before;
    std::uint32_t* const ordered = colors + colors_before;
    std::uint32_t sort_from = 0, sort_count = at_half;
    if (at_half > kLevels5) {
        const int high_shift = EntryShift(channel == kRed ? kGreen : kRed);
        std::uint32_t high_colors[kLevels5] = {};
        std::uint32_t high_pixels[kLevels5] = {};
        for (k = 0; k < at_half; ++k) {
            const std::uint32_t v = (half[k] >> high_shift) & 31;
            ++high_colors[v];
            high_pixels[v] += EntryCount(half[k]);
        }
        std::uint32_t high_at = 0;
        while (high_at < kLevels5 - 1 &&
               2 * (running + high_pixels[high_at]) < std::uint64_t{box->pixels}) {
            sort_from += high_colors[high_at];
            running += high_pixels[high_at];
            ++high_at;
        }
        sort_count = high_colors[high_at];
        std::uint32_t high_place[kLevels5];
        for (std::uint32_t v = 0, at_high = 0; v < kLevels5; ++v) {
            high_place[v] = at_high;
            at_high += high_colors[v];
        }
        for (k = 0; k < at_half; ++k) ordered[high_place[(half[k] >> high_shift) & 31]++] = half[k];
    } else {
        std::copy(half, half + at_half, ordered);
    }
    std::sort(ordered + sort_from, ordered + sort_from + sort_count);
    std::uint32_t split = count - 1;
    for (k = sort_from; k < sort_from + sort_count; ++k) {
        running += EntryCount(ordered[k]);
        if (2 * running >= box->pixels) {
            split = std::min(colors_before + k + 1, count - 1);
            break;
        }
    }
    *added = Box{box->first + split, count - split, 0};
    added->pixels = BoxPixels(t, added->first, added->count);
    box->count = split;
    box->pixels -= added->pixels;
}

PaletteEntry BoxColor(const WorkingTables& t, const Box& box) {
    std::uint64_t sum[3] = {0, 0, 0};
    for (std::uint32_t k = box.first; k < box.first + box.count; ++k) {
        const std::uint32_t e = t.colors[k];
        const std::uint64_t n = EntryCount(e);
        sum[kBlue] += ((e >> EntryShift(kBlue)) & 31) * n;
        sum[kGreen] += ((e >> EntryShift(kGreen)) & 31) * n;
        sum[kRed] += (e >> EntryShift(kRed)) * n;
    }
    auto mean = [&box](std::uint64_t s) {
        return static_cast<std::uint8_t>(Widen5(static_cast<int>(s / box.pixels)));
    };
    return PaletteEntry{mean(sum[kBlue]), mean(sum[kGreen]), mean(sum[kRed]), 0};
}

// The runs of one colour in the row of width pixels at p: colors[k] from pixel starts[k] on,
// k < the count returned, and starts[count] = width. Every pixel's colour and place are written
// where the next run would go and kept only where the colour changes: no branch on a change,
// which in a picture of short runs cannot be predicted. colors and starts hold width + 8.
std::uint32_t FindRowRuns(const std::uint8_t* p, std::uint32_t width, std::uint32_t j,
                          std::uint32_t last, std::uint32_t n, std::uint32_t* colors,
                          std::uint32_t* starts) {
    for (p += 3 * std::size_t{j}; j < width; ++j, p += 3) {
        const std::uint32_t bgr = PackedPixelOfRow(p, j, width);
        colors[n] = bgr;
        starts[n] = j;
        n += bgr != last ? 1 : 0;
        last = bgr;
    }
    starts[n] = width;
    return n;
}

#if QUORLINA_MATCH_AVX2
// Eight 3-byte pixels from the 32 bytes at p, one a 4-byte lane as blue | green << 8 | red << 16.
__attribute__((target("avx2"), always_inline)) inline __m256i EightPixels(const std::uint8_t* p) {
    const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i unpack = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, spread), unpack);
}

// FindRowRuns eight pixels at a time: each compared with the one before it, and the colours
// and places of those that differ packed to the front by a lane permutation and stored.
// next is the row counted after this one (this one for the last), whose bytes are asked for
// meanwhile: rows are counted top down, which the bottom-up layout puts at falling addresses.
__attribute__((target("avx2"))) std::uint32_t FindRowRuns8(const std::uint8_t* p,
                                                           const std::uint8_t* next,
                                                           std::uint32_t width,
                                                           std::uint32_t* colors,
                                                           std::uint32_t* starts) {
    const __m256i before = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
    const __m256i eight = _mm256_set1_epi32(8);
    __m256i place = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    // Lane 0: the pixel before the eight; none before the first, and no colour has a top byte.
    __m256i previous = _mm256_set1_epi32(-1);
    std::uint32_t n = 0;
    std::uint32_t j = 0;
    // The 32 bytes read must lie within the row's.
    for (; j + 11 <= width; j += 8) {
        // The picture is larger than the nearest cache.
        _mm_prefetch(reinterpret_cast<const char*>(next + 3 * std::size_t{j}), _MM_HINT_T0);
        const __m256i bgr = EightPixels(p + 3 * std::size_t{j});
        const __m256i shifted =
            _mm256_blend_epi32(_mm256_permutevar8x32_epi32(bgr, before), previous, 1);
        const unsigned changed = static_cast<unsigned>(_mm256_movemask_ps(
                                     _mm256_castsi256_ps(_mm256_cmpeq_epi32(bgr, shifted)))) ^
                                 0xFFu;
        const __m256i pack =
            _mm256_load_si256(reinterpret_cast<const __m256i*>(kPackLanes[changed].data()));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(colors + n),
                            _mm256_permutevar8x32_epi32(bgr, pack));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(starts + n),
                            _mm256_permutevar8x32_epi32(place, pack));
        n += static_cast<std::uint32_t>(std::popcount(changed));
        previous = _mm256_permutevar8x32_epi32(bgr, before);
        place = _mm256_add_epi32(place, eight);
    }
    const std::uint32_t last = j == 0 ? 0xFFFFFFFFu : PackedPixel(p + 3 * std::size_t{j - 1});
    return FindRowRuns(p, width, j, last, n, colors, starts);
}
#endif

// Counts one pixel into counts and marks its colour-map cell in occupied.
inline void CountPixel(std::uint32_t bgr, std::uint16_t* counts, std::uint8_t* occupied) {
    std::uint16_t& n = counts[ColorKeyOf(bgr)];
    n = static_cast<std::uint16_t>(n + (n < kHistogramCountLimit ? 1 : 0));
    const std::size_t cell = MapCellOf(bgr);
    occupied[cell >> 3] |= static_cast<std::uint8_t>(1u << (cell & 7));
}

// Counts the row of width pixels at p pixel by pixel, without looking for runs, alternate
// pixels into even and odd, so that no count waits on the one before it.
void CountRowPixels(const std::uint8_t* p, std::uint32_t width, std::uint32_t j,
                    std::uint16_t* even, std::uint16_t* odd, std::uint8_t* occupied) {
    p += 3 * std::size_t{j};
    for (; j + 2 <= width; j += 2, p += 6) {
        CountPixel(PackedPixelReadingOneMore(p), even, occupied);
        CountPixel(PackedPixelOfRow(p + 3, j + 1, width), odd, occupied);
    }
    if (j < width) CountPixel(PackedPixel(p), even, occupied);
}

#if QUORLINA_MATCH_AVX2
// The bits of each lane from shift on that mask keeps.
__attribute__((target("avx2"), always_inline)) inline __m256i LaneBits(__m256i v, int shift,
                                                                       int mask) {
    return _mm256_and_si256(_mm256_srli_epi32(v, shift), _mm256_set1_epi32(mask));
}

// CountRowPixels with the keys, cells and cell bits of eight pixels at a time worked out in a
// vector; the counting itself stays one pixel after another.
// next is the row counted after this one, asked for meanwhile, as in FindRowRuns8.
__attribute__((target("avx2"))) void CountRowPixels8(const std::uint8_t* p,
                                                     const std::uint8_t* next, std::uint32_t width,
                                                     std::uint16_t* even, std::uint16_t* odd,
                                                     std::uint8_t* occupied) {
    alignas(32) std::uint32_t keys[8];
    alignas(32) std::uint32_t places[8];
    alignas(32) std::uint32_t marks[8];
    std::uint32_t j = 0;
    // The 32 bytes read must lie within the row's.
    for (; j + 11 <= width; j += 8) {
        _mm_prefetch(reinterpret_cast<const char*>(next + 3 * std::size_t{j}), _MM_HINT_T0);
        const __m256i bgr = EightPixels(p + 3 * std::size_t{j});
        const __m256i key =
            _mm256_or_si256(_mm256_or_si256(LaneBits(bgr, 3, 0x1F), LaneBits(bgr, 6, 0x3E0)),
                            LaneBits(bgr, 9, 0x7C00));
        const __m256i cell =
            _mm256_or_si256(_mm256_or_si256(LaneBits(bgr, 2, 0x3F), LaneBits(bgr, 4, 0xFC0)),
                            LaneBits(bgr, 6, 0x3F000));
        _mm256_store_si256(reinterpret_cast<__m256i*>(keys), key);
        _mm256_store_si256(reinterpret_cast<__m256i*>(places), _mm256_srli_epi32(cell, 3));
        _mm256_store_si256(
            reinterpret_cast<__m256i*>(marks),
            _mm256_sllv_epi32(_mm256_set1_epi32(1), _mm256_and_si256(cell, _mm256_set1_epi32(7))));
        for (int lane = 0; lane < 8; lane += 2) {
            std::uint16_t& a = even[keys[lane]];
            a = static_cast<std::uint16_t>(a + (a < kHistogramCountLimit ? 1 : 0));
            std::uint16_t& b = odd[keys[lane + 1]];
            b = static_cast<std::uint16_t>(b + (b < kHistogramCountLimit ? 1 : 0));
            occupied[places[lane]] |= static_cast<std::uint8_t>(marks[lane]);
            occupied[places[lane + 1]] |= static_cast<std::uint8_t>(marks[lane + 1]);
        }
    }
    CountRowPixels(p, width, j, even, odd, occupied);
}
#endif

// The histogram of the (valid, 24-bit) source's region, and which colour-map cells it holds.
void CountColorsLocked(const ImageBuffer& source) {
    WorkingTables& t = Tables();
    t.histogram.fill(0);
    t.occupied.fill(0);
    const std::uint32_t width = source.Right - source.Left + 1;
    const std::uint32_t height = source.Bottom - source.Top + 1;
    // A run of one colour is counted at once: adding its length and stopping at the limit
    // leaves the counter where counting each pixel would.
    t.run_count = 0;
    t.runs_width = width;
    // Counts a run and keeps it while the runs fit; run_count is the caller's copy of
    // t.run_count, kept in a register.
    auto count = [&t](std::uint32_t bgr, std::uint32_t run, std::size_t& run_count) {
        std::uint16_t& n = t.histogram[ColorKeyOf(bgr)];
        n = static_cast<std::uint16_t>(std::min<std::uint32_t>(n + run, kHistogramCountLimit));
        const std::size_t cell = MapCellOf(bgr);
        t.occupied[cell >> 3] |= static_cast<std::uint8_t>(1u << (cell & 7));
        if (run <= kLongestRun && run_count < kRunLimit) {
            t.runs[run_count++] = ((run - 1) << 24) | bgr;
            return;
        }
        for (; run > 0 && run_count < kRunLimit; ++run_count) {
            const std::uint32_t length = std::min(run, kLongestRun);
            t.runs[run_count] = ((length - 1) << 24) | bgr;
            run -= length;
        }
        if (run > 0) run_count = kRunLimit + 1;
    };
    // A region's columns lie below kMaxImageCoordinate.
    if (width > kMaxImageCoordinate) return;
#if QUORLINA_MATCH_AVX2
    const bool avx2 = !PortableMatchingForced() && jpeg::CpuHasAvx2();
#endif
    bool split_counts = false;
    for (std::uint32_t y = source.Top; y <= source.Bottom; ++y) {
        const std::uint8_t* p = source.Bits + PixelOffset(source, source.Left, y);
        // The row counted next, whose bytes the vector forms ask for meanwhile.
        const std::uint8_t* next =
            y < source.Bottom ? source.Bits + PixelOffset(source, source.Left, y + 1) : p;
        if (t.run_count > kRunLimit) {
            // The runs did not fit, or will not: the rows left are counted pixel by pixel.
            std::uint16_t* const odd = t.odd_counts.data();
            if (!split_counts) std::fill(odd, odd + kHistogramSize, 0);
            split_counts = true;
#if QUORLINA_MATCH_AVX2
            if (avx2) {
                CountRowPixels8(p, next, width, t.histogram.data(), odd, t.occupied.data());
                continue;
            }
#endif
            CountRowPixels(p, width, 0, t.histogram.data(), odd, t.occupied.data());
            continue;
        }
        std::uint32_t* const colors = t.row_colors.data();
        std::uint32_t* const starts = t.row_starts.data();
        std::uint32_t runs = 0;
#if QUORLINA_MATCH_AVX2
        if (avx2)
            runs = FindRowRuns8(p, next, width, colors, starts);
        else
#endif
            runs = FindRowRuns(p, width, 0, 0xFFFFFFFFu, 0, colors, starts);
        std::size_t run_count = t.run_count;
        for (std::uint32_t k = 0; k < runs; ++k)
            count(colors[k], starts[k + 1] - starts[k], run_count);
        // A picture whose first sixteenth of rows (at least eight) holds runs at a rate that
        // would fill the table twice over will not fit: looking for its runs is given up early,
        // which changes nothing but the time taken.
        const std::uint64_t rows_done = y - source.Top + 1;
        if (run_count <= kRunLimit && rows_done >= 8 && rows_done * 16 >= height &&
            std::uint64_t{run_count} * height > 2 * kRunLimit * rows_done)
            run_count = kRunLimit + 1;
        t.run_count = run_count;
    }
    if (split_counts) {
        const std::uint16_t* const odd = t.odd_counts.data();
        for (std::size_t k = 0; k < kHistogramSize; ++k)
            t.histogram[k] = static_cast<std::uint16_t>(
                std::min<std::uint32_t>(t.histogram[k] + odd[k], kHistogramCountLimit));
    }
}

ImageResult MedianCutLocked(ImageBuffer* source, int colors, PaletteEntry* palette, int* boxes) {
    if (colors < kMinAdaptiveColors || colors > kAdaptiveColors) return kBadReduction;
    ImageResult r = ValidateImage(source, DepthBit(24));
    if (r != kImageOk) return r;
    CountColorsLocked(*source);
    WorkingTables& t = Tables();
    std::uint32_t present = 0;
    for (std::size_t key = 0; key < kHistogramSize; ++key) {
        // Written at the next place whether present or not: no branch on the picture's colours.
        t.colors[present] = ColorEntry(static_cast<std::uint32_t>(key), t.histogram[key]);
        present += t.histogram[key] != 0 ? 1 : 0;
    }
    t.boxes[0] = Box{0, present, BoxPixels(t, 0, present)};
    int made = 1;
    while (made < colors) {
        // The first of the boxes of most pixels among those of more than one colour (which
        // hold at least two pixels), its pixels kept in a register.
        int pick = -1;
        std::uint32_t most = 0;
        for (int b = 0; b < made; ++b) {
            const Box& box = t.boxes[static_cast<std::size_t>(b)];
            const std::uint32_t pixels = box.count > 1 ? box.pixels : 0;
            pick = pixels > most ? b : pick;
            most = std::max(most, pixels);
        }
        if (pick < 0) break;
        SplitBox(t, &t.boxes[static_cast<std::size_t>(pick)],
                 &t.boxes[static_cast<std::size_t>(made)]);
        ++made;
    }
    for (int b = 0; b < made; ++b) palette[b] = BoxColor(t, t.boxes[static_cast<std::size_t>(b)]);
    for (int b = made; b < colors; ++b) palette[b] = palette[0];
    *boxes = made;
    return kImageOk;
}

// Nearest palette entry by squared distance: outward from the pixel's place along the sorted
// channel, each direction ending once that channel alone is at least the best distance.
class NearestColor {
  public:
    NearestColor(const PaletteEntry* palette, int count, WorkingTables& t)
        : palette_(palette),
          count_(count),
          sorted_(t.sorted.data()),
          first_at_least_(t.first_at_least.data()),
          t_(t) {
        int low[3] = {255, 255, 255};
        int high[3] = {0, 0, 0};
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < 3; ++c) {
                low[c] = std::min(low[c], ChannelOf(palette[i], c));
                high[c] = std::max(high[c], ChannelOf(palette[i], c));
            }
        channel_ = WidestChannel(high[kBlue] - low[kBlue], high[kGreen] - low[kGreen],
                                 high[kRed] - low[kRed]);
        for (int i = 0; i < count; ++i)
            sorted_[i] = SortedEntry{static_cast<std::uint8_t>(ChannelOf(palette[i], channel_)),
                                     static_cast<std::uint8_t>(i)};
        std::sort(sorted_, sorted_ + count, [](const SortedEntry& a, const SortedEntry& b) {
            return a.value != b.value ? a.value < b.value : a.index < b.index;
        });
        int at = 0;
        for (int v = 0; v < 256; ++v) {
            while (at < count && sorted_[at].value < v) ++at;
            first_at_least_[v] = static_cast<std::uint16_t>(at);
        }
        for (int k = 0; k < count; ++k)
            t.sorted_position[sorted_[k].index] = static_cast<std::uint16_t>(k);
        for (int i = 0; i < count; ++i) all_[i] = static_cast<std::uint32_t>(i);
#if QUORLINA_MATCH_AVX2
        if (avx2_) {
            for (int i = 0; i < count; ++i) {
                palette32_[i] = palette[i].Blue | (palette[i].Green << 8) | (palette[i].Red << 16) |
                                (t.sorted_position[static_cast<std::size_t>(i)] << 24);
                sorted32_[i] = sorted_[i].index;
            }
            for (int v = 0; v < 256; ++v) first_at_least32_[v] = first_at_least_[v];
            channel_shift_ = channel_ == kBlue ? 0 : channel_ == kGreen ? 8 : 16;
        }
#endif
        t.top.fill(CandidateList{kNoList, 0});
        t.coarse.fill(CandidateList{kNoList, 0});
        pool_used_ = 0;
    }

    // Makes the colour map's words for every 4-value cell the picture holds, in key order, so
    // that neighbouring cells find their enclosing cells' lists made. With whole_lists, an
    // 8-value cell's list of up to three entries becomes the word of each of its 4-value cells
    // as it is: it holds every entry that can be nearest there too, only not always as few. For
    // a mapping that takes the words of eight pixels at once, to which a single entry saves
    // little, that is cheaper than narrowing each cell's. With vector_words, lists of up to eight
    // are narrowed in one vector: for the many, longer lists of a restless picture that is
    // cheaper; for the few, short ones of a picture of runs it is not.
    void MakeMap(const std::uint16_t* histogram, const std::uint8_t* occupied, bool whole_lists,
                 bool vector_words) {
        vector_words_ = vector_words;
        for (std::uint32_t key = 0; key < kHistogramSize; ++key) {
            // Most keys are absent: four counters at once are passed over where all are zero.
            if (key % 4 == 0) {
                std::uint64_t four;
                std::memcpy(&four, histogram + key, sizeof four);
                if (four == 0) {
                    key += 3;
                    continue;
                }
            }
            if (histogram[key] == 0) continue;
            const int blue = Widen5Corner(key & 31), green = Widen5Corner((key >> 5) & 31),
                      red = Widen5Corner((key >> 10) & 31);
            CandidateList list{kNoList, 0};
            const bool made = MakeCellList(blue, green, red, &list);
            std::uint32_t whole = kSearchWord;
            if (made && whole_lists && list.count >= 1 && list.count <= kInlineEntries) {
                const std::uint32_t* from = t_.pool.data() + list.first;
                std::uint16_t kept[kInlineEntries] = {};
                for (std::uint32_t k = 0; k < list.count; ++k)
                    kept[k] = static_cast<std::uint16_t>(from[k] & 0xFF);
                whole = WordOf(kept, list.count);
            }
            // The eight 4-value cells: sub's bits add 4 to blue, green and red, from the lowest
            // up; the two of each blue pair are neighbours in the map and in occupied.
            const std::size_t corner = MapCell(blue, green, red);
            constexpr std::size_t kGreenStep = MapCell(0, 1 << kMapShift, 0);
            constexpr std::size_t kRedStep = MapCell(0, 0, 1 << kMapShift);
            if (!made || whole != kSearchWord) {
                // One word for all: written to every cell, held or not, without a branch on
                // which are, which cannot be predicted; a cell not held is never read.
                const std::uint32_t word = made ? whole : kSearchWord;
                for (const std::size_t pair : {corner, corner + kGreenStep, corner + kRedStep,
                                               corner + kGreenStep + kRedStep})
                    t_.map[pair] = t_.map[pair + 1] = word;
            } else {
                auto pair_held = [occupied](std::size_t cell) {
                    return (static_cast<std::uint32_t>(occupied[cell >> 3]) >> (cell & 7)) & 3u;
                };
                const std::uint32_t held = pair_held(corner) | pair_held(corner + kGreenStep) << 2 |
                                           pair_held(corner + kRedStep) << 4 |
                                           pair_held(corner + kGreenStep + kRedStep) << 6;
                bool vector = false;
#if QUORLINA_MATCH_AVX2
                vector = vector_words_ && list.count <= 8;
                if (vector) MakeMapWords8(list, blue, green, red, held);
#endif
                for (std::uint32_t left = vector ? 0 : held; left != 0; left &= left - 1) {
                    const int sub = std::countr_zero(left);
                    const int b = blue + ((sub & 1) << kMapShift),
                              g = green + (((sub >> 1) & 1) << kMapShift),
                              r = red + ((sub >> 2) << kMapShift);
                    t_.map[MapCell(b, g, r)] = MakeMapWord(list, b, g, r);
                }
            }
            if (!made) continue;
            pool_used_ = list.first;  // the 8-value cell's list is done with; made last
        }
    }

    const std::uint32_t* MapWord(std::size_t cell) const {
        return t_.map.data() + cell;
    }

    // Find's answer through the colour map. Find returns, among the entries at the smallest
    // distance, the one its outward walk meets first; the walk meets sorted position s at step
    // 2 (s - up) going up and 2 (up - 1 - s) + 1 going down, where up is the first position at
    // or above the pixel's value. A cell's word holds every entry that can be at the smallest
    // distance, so the smallest (distance, step) over them is Find's entry.
    // cell is MapCell of the colour.
    std::uint8_t Match(int blue, int green, int red, std::size_t cell) const {
        const std::uint32_t word = t_.map[cell];
        if (word < 256) return static_cast<std::uint8_t>(word);  // kSingleWord
        const int v = channel_ == kBlue ? blue : channel_ == kGreen ? green : red;
        const int up = first_at_least_[v];
        // The key of an entry of the given colour channels and sorted position.
        auto key_of = [&](int b, int g, int r, int position) {
            const int d =
                (b - blue) * (b - blue) + (g - green) * (g - green) + (r - red) * (r - red);
            // 2 (s - up) at or above up; below it, -2 (s - up) - 1, its bitwise complement.
            const int twice = 2 * (position - up);
            return d * kStepSpan + (twice ^ (twice >> 31));
        };
        auto key = [&](std::uint32_t index) {
            const PaletteEntry& e = palette_[index];
            return key_of(e.Blue, e.Green, e.Red, t_.sorted_position[index]);
        };
        int best_key;
        // Without a branch on how many entries the word holds, or on which is nearest: neither
        // can be predicted. The best key's step gives back its entry.
        if (word >= kInlineWords) {
            best_key = std::min(std::min(key(word & 0xFF), key((word >> 8) & 0xFF)),
                                std::min(key((word >> 16) & 0xFF), key(word >> 24)));
        } else if (word != kSearchWord) {
            const std::uint32_t* at = t_.map_pool.data() + (word >> 8);
            best_key = INT_MAX;
            for (std::uint32_t k = 1; k <= at[0]; ++k) {
                const std::uint32_t e = at[k];
                best_key =
                    std::min(best_key,
                             key_of(static_cast<int>(e & 0xFF), static_cast<int>((e >> 8) & 0xFF),
                                    static_cast<int>((e >> 16) & 0xFF), static_cast<int>(e >> 24)));
            }
        } else {
            return Find(blue, green, red);
        }
        const int step = best_key % kStepSpan;
        return sorted_[step % 2 != 0 ? up - 1 - step / 2 : up + step / 2].index;
    }

    std::uint8_t Find(int blue, int green, int red) const {
        const int v = channel_ == kBlue ? blue : channel_ == kGreen ? green : red;
        int up = first_at_least_[v];
        int down = up - 1;
        int best = INT_MAX;
        std::uint8_t best_index = 0;
        auto try_entry = [&](int at) {
            const int along = sorted_[at].value - v;
            if (along * along >= best) return false;
            const PaletteEntry& e = palette_[sorted_[at].index];
            const int d = (e.Blue - blue) * (e.Blue - blue) +
                          (e.Green - green) * (e.Green - green) + (e.Red - red) * (e.Red - red);
            if (d < best) {
                best = d;
                best_index = sorted_[at].index;
            }
            return true;
        };
        bool up_open = up < count_;
        bool down_open = down >= 0;
        while (up_open || down_open) {
            if (up_open) up_open = try_entry(up) && ++up < count_;
            if (down_open) down_open = try_entry(down) && --down >= 0;
        }
        return best_index;
    }

  private:
    const PaletteEntry* palette_;
    int count_;
    static constexpr int kStepBits = 9;
    static constexpr int kStepSpan = 1 << kStepBits;  // steps are below this
    static_assert(kStepSpan == 2 * kAdaptiveColors);

    static int Widen5Corner(std::uint32_t v5) {
        return static_cast<int>(v5) << 3;
    }

    // The candidate list of the 8-value cell with corner (blue, green, red), made at the pool's
    // end from its enclosing cells' lists (made when first asked for); false when the pool is
    // full.
    bool MakeCellList(int blue, int green, int red, CandidateList* list) {
        const std::size_t coarse = (static_cast<std::size_t>(red >> 4) << 8) |
                                   (static_cast<std::size_t>(green >> 4) << 4) |
                                   static_cast<std::size_t>(blue >> 4);
        CandidateList& parent = t_.coarse[coarse];
        if (parent.first == kNoList) {
            const std::size_t top = (static_cast<std::size_t>(red >> 5) << 6) |
                                    (static_cast<std::size_t>(green >> 5) << 3) |
                                    static_cast<std::size_t>(blue >> 5);
            CandidateList& outer = t_.top[top];
            // The whole palette is in no order of distance, but none is above another.
            if (outer.first == kNoList &&
                !MakeList(all_, static_cast<std::uint32_t>(count_), blue & ~31, green & ~31,
                          red & ~31, 31, &outer, true, true))
                return false;
            // The 16-value lists are short, mostly not past eight: a list made from one would
            // seldom stop early, which is all their order is for.
            if (!MakeList(t_.pool.data() + outer.first, outer.count, blue & ~15, green & ~15,
                          red & ~15, 15, &parent, false, true))
                return false;
        }
        // The colour-map words are made from this list in any order.
        return MakeList(t_.pool.data() + parent.first, parent.count, blue, green, red, 7, list,
                        false, false);
    }

    // The colour map's word for the 4-value cell with corner (blue, green, red), from its
    // 8-value cell's list. Of the list, the entry nearest the cell's centre rules out every
    // other that is farther than it from each colour of the cell: d(x, C) - d(x, E) is linear in
    // x, so its least value over the cell is at the corner each channel's sign picks. What stays
    // can be nearest.
    std::uint32_t MakeMapWord(const CandidateList& list, int blue, int green, int red) {
        const std::uint32_t* from = t_.pool.data() + list.first;
        const int low[3] = {blue, green, red};
        // The first of the nearest, as the least (distance, place in the list): without a
        // branch on which is nearer, which cannot be predicted.
        static_assert(kAdaptiveColors <= 1 << 9);
        int ruler_key = INT_MAX;
        for (std::uint32_t k = 0; k < list.count; ++k) {
            const PaletteEntry& e = palette_[from[k] & 0xFF];
            // Twice the centre, so it stays whole.
            const int db = 2 * e.Blue - (2 * blue + kMapExtent),
                      dg = 2 * e.Green - (2 * green + kMapExtent),
                      dr = 2 * e.Red - (2 * red + kMapExtent);
            const int d = db * db + dg * dg + dr * dr;
            ruler_key = std::min(ruler_key, (d << 9) | static_cast<int>(k));
        }
        const std::uint32_t ruler = from[ruler_key & ((1 << 9) - 1)] & 0xFF;
        const PaletteEntry& r = palette_[ruler];
        const int rc[3] = {r.Blue, r.Green, r.Red};
        const int r_norm = rc[0] * rc[0] + rc[1] * rc[1] + rc[2] * rc[2];
        // One more than the entries: each is written before it is kept or not.
        std::uint16_t kept[kAdaptiveColors + 1];
        kept[0] = static_cast<std::uint16_t>(ruler);
        std::uint32_t count = 1;
        for (std::uint32_t k = 0; k < list.count; ++k) {
            const std::uint32_t index = from[k] & 0xFF;
            const PaletteEntry& e = palette_[index];
            const int ec[3] = {e.Blue, e.Green, e.Red};
            // min over the cell of d(x, e) - d(x, ruler) = |e|^2 - |ruler|^2 - 2 x.(e - ruler).
            int least = ec[0] * ec[0] + ec[1] * ec[1] + ec[2] * ec[2] - r_norm;
            for (int c = 0; c < 3; ++c) {
                const int diff = ec[c] - rc[c];
                least -= 2 * diff * (diff > 0 ? low[c] + kMapExtent : low[c]);
            }
            // Written at the next place either way, and kept only if it can be nearest: which
            // are cannot be predicted.
            kept[count] = static_cast<std::uint16_t>(index);
            count += least <= 0 && index != ruler ? 1 : 0;
        }
        return WordOf(kept, count);
    }

    // The colour map's word for a cell where only kept[0..count) can be nearest.
    std::uint32_t WordOf(const std::uint16_t* kept, std::uint32_t count) {
        if (count == 1) return kSingleWord | kept[0];
        if (count <= kInlineEntries) {
            // The last repeated to fill the four, then put in order by a fixed network of
            // exchanges, without a branch on the entries.
            static_assert(kInlineEntries == 4);
            std::uint32_t e[kInlineEntries];
            for (std::uint32_t k = 0; k < kInlineEntries; ++k) e[k] = kept[std::min(k, count - 1)];
            auto order = [&e](int a, int b) {
                const std::uint32_t low = std::min(e[a], e[b]);
                e[b] = std::max(e[a], e[b]);
                e[a] = low;
            };
            order(0, 1);
            order(2, 3);
            order(0, 2);
            order(1, 3);
            order(1, 2);
            return e[0] | e[1] << 8 | e[2] << 16 | e[3] << 24;
        }
        if (map_pool_used_ + count + 1 > kMapPool) return kSearchWord;
        const auto word = kPoolWord | static_cast<std::uint32_t>(map_pool_used_) << 8;
        t_.map_pool[map_pool_used_++] = count;
        for (std::uint32_t k = 0; k < count; ++k) {
            const PaletteEntry& e = palette_[kept[k]];
            t_.map_pool[map_pool_used_++] = e.Blue | std::uint32_t{e.Green} << 8 |
                                            std::uint32_t{e.Red} << 16 |
                                            std::uint32_t{t_.sorted_position[kept[k]]} << 24;
        }
        return word;
    }

#if QUORLINA_MATCH_AVX2
  public:
    bool HasAvx2() const {
        return avx2_;
    }

    // Match for eight colours (blue | green << 8 | red << 16 a lane) whose colour-map words
    // are given: the entries of inline and pool words worked through in vectors, Match's
    // (distance, step) keys and all, each lane keeping the entry of its least key as it goes,
    // and search words handed to Match one by one. The palette indexes come back one a lane.
    __attribute__((target("avx2"), always_inline)) inline __m256i Match8(__m256i bgr,
                                                                         __m256i word) const {
        const __m256i byte = _mm256_set1_epi32(0xFF);
        const __m256i zero = _mm256_setzero_si256();
        const __m256i single = _mm256_cmpeq_epi32(_mm256_srli_epi32(word, 8), zero);
        if (_mm256_movemask_ps(_mm256_castsi256_ps(single)) == 0xFF) return word;
        const __m256i listed = _mm256_cmpgt_epi32(_mm256_srli_epi32(word, 24), zero);
        // The entries of inline words; 0 in the other lanes, whose answers come from
        // elsewhere, so that every table is read within its entries.
        const __m256i entries = _mm256_and_si256(word, listed);
        const __m256i b = _mm256_and_si256(bgr, byte);
        const __m256i g = _mm256_and_si256(_mm256_srli_epi32(bgr, 8), byte);
        const __m256i r = _mm256_srli_epi32(bgr, 16);
        const __m256i v =
            _mm256_and_si256(_mm256_srl_epi32(bgr, _mm_cvtsi32_si128(channel_shift_)), byte);
        const __m256i up = _mm256_i32gather_epi32(first_at_least32_, v, 4);
        // Match's key of an entry in each lane, from its palette32_ value.
        auto key_of_color = [&](__m256i e) __attribute__((target("avx2"))) {
            const __m256i db = _mm256_sub_epi32(_mm256_and_si256(e, byte), b);
            const __m256i dg = _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(e, 8), byte), g);
            const __m256i dr =
                _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(e, 16), byte), r);
            const __m256i d = _mm256_add_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(db, db), _mm256_mullo_epi32(dg, dg)),
                _mm256_mullo_epi32(dr, dr));
            const __m256i at = _mm256_srli_epi32(e, 24);
            const __m256i twice = _mm256_slli_epi32(_mm256_sub_epi32(at, up), 1);
            const __m256i step = _mm256_xor_si256(twice, _mm256_srai_epi32(twice, 31));
            return _mm256_add_epi32(_mm256_slli_epi32(d, kStepBits), step);
        };
        auto key_of = [&](__m256i entry) __attribute__((target("avx2"))) {
            return key_of_color(_mm256_i32gather_epi32(palette32_, entry, 4));
        };
        // The least key and its entry; equal keys are one entry's, as no two share a step.
        __m256i best = _mm256_set1_epi32(INT_MAX);
        __m256i best_entry = _mm256_setzero_si256();
        auto take = [&](__m256i key, __m256i entry, __m256i * least, __m256i * least_entry)
            __attribute__((target("avx2"))) {
            *least_entry = _mm256_blendv_epi8(*least_entry, entry, _mm256_cmpgt_epi32(*least, key));
            *least = _mm256_min_epi32(*least, key);
        };
        for (int slot = 0; slot < static_cast<int>(kInlineEntries); ++slot) {
            const __m256i entry = _mm256_and_si256(_mm256_srli_epi32(entries, 8 * slot), byte);
            take(key_of(entry), entry, &best, &best_entry);
        }
        // Pool words: their lists' entries in turn, as many rounds as the longest has, each
        // lane reading its list only as far as it goes. The entries come with their colours
        // and sorted positions: a lane keeps the position of its least key, whose palette
        // index is read once at the end.
        const __m256i pooled = _mm256_andnot_si256(
            _mm256_or_si256(_mm256_or_si256(single, listed),
                            _mm256_cmpeq_epi32(word, _mm256_set1_epi32(kSearchWord))),
            _mm256_set1_epi32(-1));
        if (_mm256_movemask_ps(_mm256_castsi256_ps(pooled)) != 0) {
            const int* const pool = reinterpret_cast<const int*>(t_.map_pool.data());
            const __m256i at = _mm256_srli_epi32(word, 8);
            const __m256i count =
                _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), pool, at, pooled, 4);
            alignas(32) std::int32_t counts[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(counts), count);
            const int longest = *std::max_element(counts, counts + 8);
            __m256i pool_best = _mm256_set1_epi32(INT_MAX);
            __m256i pool_position = _mm256_setzero_si256();
            for (int k = 1; k <= longest; ++k) {
                const __m256i live = _mm256_cmpgt_epi32(count, _mm256_set1_epi32(k - 1));
                const __m256i e = _mm256_mask_i32gather_epi32(
                    _mm256_setzero_si256(), pool, _mm256_add_epi32(at, _mm256_set1_epi32(k)), live,
                    4);
                take(_mm256_blendv_epi8(_mm256_set1_epi32(INT_MAX), key_of_color(e), live),
                     _mm256_srli_epi32(e, 24), &pool_best, &pool_position);
            }
            best_entry = _mm256_blendv_epi8(
                best_entry, _mm256_i32gather_epi32(sorted32_, pool_position, 4), pooled);
        }
        __m256i index = _mm256_blendv_epi8(best_entry, word, single);
        // Search words: neither single, inline nor pooled.
        const unsigned others = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(
                                    _mm256_or_si256(_mm256_or_si256(single, listed), pooled)))) ^
                                0xFFu;
        if (others != 0) {
            alignas(32) std::int32_t indexes[8];
            alignas(32) std::uint32_t colours[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(indexes), index);
            _mm256_store_si256(reinterpret_cast<__m256i*>(colours), bgr);
            for (unsigned lanes = others; lanes != 0; lanes &= lanes - 1) {
                const int k = std::countr_zero(lanes);
                const std::uint32_t c = colours[k];
                indexes[k] = Match(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                                   static_cast<int>(c >> 16), MapCellOf(c));
            }
            index = _mm256_load_si256(reinterpret_cast<const __m256i*>(indexes));
        }
        return index;
    }

    // The low bytes of the lanes, packed into eight bytes at out.
    __attribute__((target("avx2"), always_inline)) static inline void StoreLowBytes8(
        __m256i index, std::uint8_t* out) {
        const __m256i low_bytes =
            _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8,
                             12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        const __m256i packed = _mm256_shuffle_epi8(index, low_bytes);
        const std::uint32_t lo =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(packed)));
        const std::uint32_t hi =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(packed, 1)));
        std::memcpy(out, &lo, 4);
        std::memcpy(out + 4, &hi, 4);
    }

    __attribute__((target("avx2"), always_inline)) inline __m256i WordsOf(__m256i bgr) const {
        const __m256i cell = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(bgr, 2), _mm256_set1_epi32(0x3F)),
                            _mm256_and_si256(_mm256_srli_epi32(bgr, 4), _mm256_set1_epi32(0xFC0))),
            _mm256_and_si256(_mm256_srli_epi32(bgr, 6), _mm256_set1_epi32(0x3F000)));
        return _mm256_i32gather_epi32(reinterpret_cast<const int*>(t_.map.data()), cell, 4);
    }

    // Match for the pixels of a row of w from p on, eight at a time, into out: all of them when
    // there are at least eight and the four bytes after them, else none. Returns the number of
    // pixels mapped.
    __attribute__((target("avx2"))) std::uint32_t MatchRow8(const std::uint8_t* p,
                                                            std::uint8_t* out,
                                                            std::uint32_t w) const {
        // Eight 3-byte pixels of 32 bytes read into one 4-byte lane each.
        const __m256i spread = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
        const __m256i unpack =
            _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0, 1, 2, -1, 3,
                             4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
        auto pixels_at = [&](const std::uint8_t* q) __attribute__((target("avx2"))) {
            const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
            return _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, spread), unpack);
        };
        if (w < 8 + 3) return 0;
        // The map is larger than the nearest cache and a restless picture's colours wander
        // over it, so most words are a long wait. They are gathered for a stretch of the row
        // first, with nothing waiting on any of them, so that their waits overlap; only then
        // are the stretch's pixels matched.
        alignas(32) std::uint32_t words[kMatchStretch];
        std::uint32_t j = 0;
        while (j + 8 + 3 <= w) {
            const std::uint32_t stretch_end =
                std::min<std::uint32_t>(j + kMatchStretch, (w - 3) & ~7u);
            const std::uint8_t* q = p;
            for (std::uint32_t k = j; k + 8 <= stretch_end; k += 8, q += 24)
                _mm256_store_si256(reinterpret_cast<__m256i*>(words + (k - j)),
                                   WordsOf(pixels_at(q)));
            for (std::uint32_t k = j; k + 8 <= stretch_end; k += 8, p += 24)
                StoreLowBytes8(
                    Match8(pixels_at(p),
                           _mm256_load_si256(reinterpret_cast<const __m256i*>(words + (k - j)))),
                    out + k);
            j = stretch_end;
        }
        // Up to ten pixels are left. Those before the last eight (then j >= 8, w >= 17) are
        // mapped as the eight before those; the last eight from the 32 bytes that end where the
        // row does, their pixels from the ninth byte on. Pixels already mapped are mapped again,
        // the same.
        const std::uint8_t* const row = p - 3 * std::size_t{j};
        if (w - j > 8) {
            const __m256i bgr = pixels_at(row + 3 * std::size_t{w - 16});
            StoreLowBytes8(Match8(bgr, WordsOf(bgr)), out + w - 16);
        }
        if (j < w) {
            const __m256i last_spread = _mm256_setr_epi32(2, 3, 4, 5, 5, 6, 7, 7);
            const __m256i raw =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 3 * std::size_t{w} - 32));
            const __m256i bgr =
                _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(raw, last_spread), unpack);
            StoreLowBytes8(Match8(bgr, WordsOf(bgr)), out + w - 8);
        }
        return w;
    }

    // Match for the colours of runs[0..count) (the counting pass's runs) into indexes, eight
    // at a time but for the last few. A picture of runs has far fewer colours than runs, and
    // those come back close by: the answers of this mapping are kept in a small table by their
    // colour (run_answers), and eight runs whose colours are all found there take them from it;
    // any eight with one not found are matched.
    __attribute__((target("avx2"))) void MatchRuns8(const std::uint32_t* runs, std::size_t count,
                                                    std::uint8_t* indexes) const {
        const __m256i colour = _mm256_set1_epi32(0xFFFFFF);
        const __m256i spread = _mm256_set1_epi32(static_cast<int>(kAnswerSpread));
        std::uint32_t* const answers = t_.run_answers.data();
        // Each place holds a colour that does not belong there: none is found before it is put.
        std::fill(answers, answers + kRunAnswers, 0u);
        answers[0] = 1;
        static_assert(AnswerPlace(0) == 0 && AnswerPlace(1) != 0);
        std::size_t k = 0;
        for (; k + 8 <= count; k += 8) {
            const __m256i bgr = _mm256_and_si256(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(runs + k)), colour);
            const __m256i place =
                _mm256_srli_epi32(_mm256_mullo_epi32(bgr, spread), 32 - kRunAnswerBits);
            const __m256i kept =
                _mm256_i32gather_epi32(reinterpret_cast<const int*>(answers), place, 4);
            const __m256i found = _mm256_cmpeq_epi32(_mm256_and_si256(kept, colour), bgr);
            if (_mm256_movemask_ps(_mm256_castsi256_ps(found)) == 0xFF) {
                StoreLowBytes8(_mm256_srli_epi32(kept, 24), indexes + k);
                continue;
            }
            const __m256i index = Match8(bgr, WordsOf(bgr));
            StoreLowBytes8(index, indexes + k);
            alignas(32) std::uint32_t places[8];
            alignas(32) std::uint32_t kept_now[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(places), place);
            _mm256_store_si256(reinterpret_cast<__m256i*>(kept_now),
                               _mm256_or_si256(bgr, _mm256_slli_epi32(index, 24)));
            for (int lane = 0; lane < 8; ++lane) answers[places[lane]] = kept_now[lane];
        }
        for (; k < count; ++k) {
            const std::uint32_t c = runs[k] & 0xFFFFFFu;
            indexes[k] = Match(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                               static_cast<int>(c >> 16), MapCellOf(c));
        }
    }

  private:
    // MakeMapWord for each held 4-value cell of one 8-value cell (held's bits as in MakeMap)
    // from a list of up to eight entries, all in one vector: the same nearest to the centre
    // (the least of distance and place), the same entries kept, in the same order. The list's
    // entries, their colours and norms are read and worked out once for all the cells.
    __attribute__((target("avx2"))) void MakeMapWords8(const CandidateList& list, int blue,
                                                       int green, int red, std::uint32_t held) {
        const std::uint32_t* from = t_.pool.data() + list.first;
        const __m256i byte = _mm256_set1_epi32(0xFF);
        const __m256i zero = _mm256_setzero_si256();
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i valid =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(list.count)), lane);
        const __m256i index = _mm256_and_si256(
            _mm256_maskload_epi32(reinterpret_cast<const int*>(from), valid), byte);
        const __m256i e = _mm256_maskload_epi32(t_.pool_colors.data() + list.first, valid);
        const __m256i b = _mm256_and_si256(e, byte);
        const __m256i g = _mm256_and_si256(_mm256_srli_epi32(e, 8), byte);
        const __m256i r = _mm256_and_si256(_mm256_srli_epi32(e, 16), byte);
        const __m256i b2 = _mm256_slli_epi32(b, 1), g2 = _mm256_slli_epi32(g, 1),
                      r2 = _mm256_slli_epi32(r, 1);
        const __m256i norm =
            _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(b, b), _mm256_mullo_epi32(g, g)),
                             _mm256_mullo_epi32(r, r));
        // Lanes past the list never win the least key.
        const __m256i unused = _mm256_andnot_si256(valid, _mm256_set1_epi32(INT_MAX));
        for (std::uint32_t left = held; left != 0; left &= left - 1) {
            const int sub = std::countr_zero(left);
            const int cb = blue + ((sub & 1) << kMapShift),
                      cg = green + (((sub >> 1) & 1) << kMapShift),
                      cr = red + ((sub >> 2) << kMapShift);
            // Twice the distance to twice the centre, as in MakeMapWord.
            const __m256i db = _mm256_sub_epi32(b2, _mm256_set1_epi32(2 * cb + kMapExtent));
            const __m256i dg = _mm256_sub_epi32(g2, _mm256_set1_epi32(2 * cg + kMapExtent));
            const __m256i dr = _mm256_sub_epi32(r2, _mm256_set1_epi32(2 * cr + kMapExtent));
            const __m256i d = _mm256_add_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(db, db), _mm256_mullo_epi32(dg, dg)),
                _mm256_mullo_epi32(dr, dr));
            const __m256i key =
                _mm256_or_si256(_mm256_and_si256(_mm256_or_si256(_mm256_slli_epi32(d, 9), lane),
                                                 valid),
                                unused);
            // The least key in every lane; its low bits are the ruler's lane.
            __m256i m = _mm256_min_epi32(key, _mm256_permute2x128_si256(key, key, 1));
            m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0x4E));
            m = _mm256_min_epi32(m, _mm256_shuffle_epi32(m, 0xB1));
            const __m256i at = _mm256_and_si256(m, _mm256_set1_epi32(7));
            const __m256i ruler = _mm256_permutevar8x32_epi32(index, at);
            __m256i least = _mm256_sub_epi32(norm, _mm256_permutevar8x32_epi32(norm, at));
            // min over the cell of d(x, e) - d(x, ruler) = |e|^2 - |ruler|^2 - 2 x.(e - ruler).
            auto less_side = [&](__m256i x, int low) __attribute__((target("avx2"))) {
                const __m256i diff = _mm256_sub_epi32(x, _mm256_permutevar8x32_epi32(x, at));
                const __m256i side =
                    _mm256_blendv_epi8(_mm256_set1_epi32(low), _mm256_set1_epi32(low + kMapExtent),
                                       _mm256_cmpgt_epi32(diff, zero));
                least =
                    _mm256_sub_epi32(least, _mm256_slli_epi32(_mm256_mullo_epi32(diff, side), 1));
            };
            less_side(b, cb);
            less_side(g, cg);
            less_side(r, cr);
            const __m256i keep = _mm256_andnot_si256(
                _mm256_or_si256(_mm256_cmpgt_epi32(least, zero), _mm256_cmpeq_epi32(index, ruler)),
                valid);
            const unsigned mask =
                static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(keep)));
            alignas(32) std::uint32_t packed[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(packed),
                               _mm256_permutevar8x32_epi32(
                                   index, _mm256_load_si256(reinterpret_cast<const __m256i*>(
                                              kPackLanes[mask].data()))));
            std::uint16_t kept[9];
            kept[0] = static_cast<std::uint16_t>(_mm256_cvtsi256_si32(ruler));
            const auto count = static_cast<std::uint32_t>(std::popcount(mask));
            for (std::uint32_t k = 0; k < count; ++k)
                kept[k + 1] = static_cast<std::uint16_t>(packed[k]);
            t_.map[MapCell(cb, cg, cr)] = WordOf(kept, count + 1);
        }
    }

    // MakeList's two passes over eight entries at a time (the pool must have room for eight
    // more than from_count). The bound is the same: a pass goes on past where MakeList stops
    // only to the end of eight, over entries no nearer to the enclosing cube than the bound, so
    // no farther from this one either. The entries kept are packed into the pool in order.
    __attribute__((target("avx2"))) void MakeList8(const std::uint32_t* from,
                                                   std::uint32_t from_count, int blue, int green,
                                                   int red, int extent, bool from_sorted,
                                                   CandidateList* list) {
        const __m256i byte = _mm256_set1_epi32(0xFF);
        const __m256i zero = _mm256_setzero_si256();
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i low_b = _mm256_set1_epi32(blue), low_g = _mm256_set1_epi32(green),
                      low_r = _mm256_set1_epi32(red);
        const __m256i high_b = _mm256_set1_epi32(blue + extent),
                      high_g = _mm256_set1_epi32(green + extent),
                      high_r = _mm256_set1_epi32(red + extent);
        const std::int32_t* const from_colors = ColorsOf(from);
        auto valid_at = [&](std::uint32_t k) __attribute__((target("avx2"))) {
            return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(from_count - k)), lane);
        };
        if (from_count <= 8) {
            MakeList8Once(from, from_count, blue, green, red, extent, list);
            return;
        }
        int bound = INT_MAX;
        for (std::uint32_t k = 0; k < from_count; k += 8) {
            if (from_sorted && static_cast<int>(from[k] >> 8) >= bound) break;
            const __m256i valid = valid_at(k);
            const __m256i e = _mm256_maskload_epi32(from_colors + k, valid);
            const __m256i b = _mm256_and_si256(e, byte);
            const __m256i g = _mm256_and_si256(_mm256_srli_epi32(e, 8), byte);
            const __m256i r = _mm256_and_si256(_mm256_srli_epi32(e, 16), byte);
            const __m256i fb =
                _mm256_max_epi32(_mm256_sub_epi32(b, low_b), _mm256_sub_epi32(high_b, b));
            const __m256i fg =
                _mm256_max_epi32(_mm256_sub_epi32(g, low_g), _mm256_sub_epi32(high_g, g));
            const __m256i fr =
                _mm256_max_epi32(_mm256_sub_epi32(r, low_r), _mm256_sub_epi32(high_r, r));
            __m256i far = _mm256_add_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(fb, fb), _mm256_mullo_epi32(fg, fg)),
                _mm256_mullo_epi32(fr, fr));
            far = _mm256_blendv_epi8(_mm256_set1_epi32(INT_MAX), far, valid);
            __m128i m =
                _mm_min_epi32(_mm256_castsi256_si128(far), _mm256_extracti128_si256(far, 1));
            m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4E));
            m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xB1));
            bound = std::min(bound, _mm_cvtsi128_si32(m));
        }
        list->first = static_cast<std::uint32_t>(pool_used_);
        const __m256i bound_v = _mm256_set1_epi32(bound);
        for (std::uint32_t k = 0; k < from_count; k += 8) {
            if (from_sorted && static_cast<int>(from[k] >> 8) > bound) break;
            const __m256i valid = valid_at(k);
            const __m256i index = _mm256_and_si256(
                _mm256_maskload_epi32(reinterpret_cast<const int*>(from + k), valid), byte);
            const __m256i e = _mm256_maskload_epi32(from_colors + k, valid);
            const __m256i b = _mm256_and_si256(e, byte);
            const __m256i g = _mm256_and_si256(_mm256_srli_epi32(e, 8), byte);
            const __m256i r = _mm256_and_si256(_mm256_srli_epi32(e, 16), byte);
            const __m256i nb = _mm256_max_epi32(
                _mm256_max_epi32(_mm256_sub_epi32(low_b, b), _mm256_sub_epi32(b, high_b)), zero);
            const __m256i ng = _mm256_max_epi32(
                _mm256_max_epi32(_mm256_sub_epi32(low_g, g), _mm256_sub_epi32(g, high_g)), zero);
            const __m256i nr = _mm256_max_epi32(
                _mm256_max_epi32(_mm256_sub_epi32(low_r, r), _mm256_sub_epi32(r, high_r)), zero);
            const __m256i nearest = _mm256_add_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(nb, nb), _mm256_mullo_epi32(ng, ng)),
                _mm256_mullo_epi32(nr, nr));
            // nearest <= bound in the valid lanes; an entry past the bound along the enclosing
            // cube is past it here too.
            const __m256i keep = _mm256_andnot_si256(_mm256_cmpgt_epi32(nearest, bound_v), valid);
            AppendToPool(keep, nearest, index, e);
        }
        list->count = static_cast<std::uint32_t>(pool_used_) - list->first;
    }

    // Appends the lanes keep marks to the pool, in order: each entry as its nearest distance
    // << 8 | its index, and its colour beside it (the pool must have room for eight).
    __attribute__((target("avx2"), always_inline)) inline void AppendToPool(__m256i keep,
                                                                            __m256i nearest,
                                                                            __m256i index,
                                                                            __m256i colour) {
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(keep)));
        const __m256i pack =
            _mm256_load_si256(reinterpret_cast<const __m256i*>(kPackLanes[mask].data()));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t_.pool.data() + pool_used_),
                            _mm256_permutevar8x32_epi32(
                                _mm256_or_si256(_mm256_slli_epi32(nearest, 8), index), pack));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t_.pool_colors.data() + pool_used_),
                            _mm256_permutevar8x32_epi32(colour, pack));
        pool_used_ += static_cast<std::size_t>(std::popcount(mask));
    }

    // MakeList8 for a list of up to eight, in one pass: the bound and what it keeps from the
    // same vector. MakeList8's early stops change nothing here: the first pass's is never taken
    // at the first entry, and the second's only when a sorted list's first entry, and so every
    // one, is past the bound, when none is kept either.
    __attribute__((target("avx2"))) void MakeList8Once(const std::uint32_t* from,
                                                       std::uint32_t from_count, int blue,
                                                       int green, int red, int extent,
                                                       CandidateList* list) {
        const __m256i byte = _mm256_set1_epi32(0xFF);
        const __m256i zero = _mm256_setzero_si256();
        const __m256i valid =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(from_count)),
                               _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const __m256i e = _mm256_maskload_epi32(ColorsOf(from), valid);
        const __m256i index = _mm256_and_si256(
            _mm256_maskload_epi32(reinterpret_cast<const int*>(from), valid), byte);
        const __m256i b = _mm256_and_si256(e, byte);
        const __m256i g = _mm256_and_si256(_mm256_srli_epi32(e, 8), byte);
        const __m256i r = _mm256_and_si256(_mm256_srli_epi32(e, 16), byte);
        // Each entry's farthest and nearest distance to the cube.
        auto sides = [&](__m256i x, int low, __m256i* far, __m256i* near)
            __attribute__((target("avx2"))) {
            const __m256i below = _mm256_sub_epi32(x, _mm256_set1_epi32(low));
            const __m256i above = _mm256_sub_epi32(_mm256_set1_epi32(low + extent), x);
            *far = _mm256_max_epi32(below, above);
            *near = _mm256_max_epi32(
                _mm256_max_epi32(_mm256_sub_epi32(zero, below), _mm256_sub_epi32(zero, above)),
                zero);
        };
        __m256i fb, fg, fr, nb, ng, nr;
        sides(b, blue, &fb, &nb);
        sides(g, green, &fg, &ng);
        sides(r, red, &fr, &nr);
        __m256i far = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(fb, fb), _mm256_mullo_epi32(fg, fg)),
            _mm256_mullo_epi32(fr, fr));
        far = _mm256_blendv_epi8(_mm256_set1_epi32(INT_MAX), far, valid);
        // The bound in every lane.
        __m256i bound = _mm256_min_epi32(far, _mm256_permute2x128_si256(far, far, 1));
        bound = _mm256_min_epi32(bound, _mm256_shuffle_epi32(bound, 0x4E));
        bound = _mm256_min_epi32(bound, _mm256_shuffle_epi32(bound, 0xB1));
        const __m256i nearest = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(nb, nb), _mm256_mullo_epi32(ng, ng)),
            _mm256_mullo_epi32(nr, nr));
        const __m256i keep = _mm256_andnot_si256(_mm256_cmpgt_epi32(nearest, bound), valid);
        list->first = static_cast<std::uint32_t>(pool_used_);
        AppendToPool(keep, nearest, index, e);
        list->count = static_cast<std::uint32_t>(pool_used_) - list->first;
    }

    // The colours of a list's entries: the palette's for the whole palette, else the pool's.
    const std::int32_t* ColorsOf(const std::uint32_t* from) const {
        return from == all_ ? palette32_ : t_.pool_colors.data() + (from - t_.pool.data());
    }

    // The pool's colours of the entries from first to the pool's end, after their reordering.
    void RefillColors(std::size_t first) {
        for (std::size_t k = first; k < pool_used_; ++k)
            t_.pool_colors[k] = palette32_[t_.pool[k] & 0xFF];
    }
#endif

    // The entries of from that can be nearest to a colour of the cube with corner (blue, green,
    // red) and side extent + 1: those whose nearest point of the cube is no farther than the
    // smallest farthest point of any entry, in ascending order of that distance when sorted.
    // from_sorted says whether from is in such an order (of its own cube, around this one), so
    // that its passes can stop early. False when the pool is full.
    bool MakeList(const std::uint32_t* from, std::uint32_t from_count, int blue, int green, int red,
                  int extent, CandidateList* list, bool sorted, bool from_sorted) {
        if (pool_used_ + from_count > kCandidatePool) return false;
#if QUORLINA_MATCH_AVX2
        if (avx2_ && pool_used_ + from_count + 8 <= kCandidatePool) {
            MakeList8(from, from_count, blue, green, red, extent, from_sorted, list);
            if (sorted) {
                std::sort(t_.pool.data() + list->first, t_.pool.data() + pool_used_);
                RefillColors(list->first);
            }
            return true;
        }
#endif
        const int low[3] = {blue, green, red};
        auto far_side = [extent](int x, int lo) { return std::max(x - lo, lo + extent - x); };
        // As maxima rather than comparisons: which side of the cube an entry lies on is not
        // predictable.
        auto near_side = [extent](int x, int lo) {
            return std::max(std::max(lo - x, x - lo - extent), 0);
        };
        // A sorted from is in ascending order of each entry's nearest distance to a cube around
        // this one, which no distance to this cube undercuts: both passes stop where it passes
        // the bound.
        int bound = INT_MAX;
        for (std::uint32_t k = 0; k < from_count; ++k) {
            if (from_sorted && static_cast<int>(from[k] >> 8) >= bound) break;
            const PaletteEntry& e = palette_[from[k] & 0xFF];
            const int fb = far_side(e.Blue, low[0]), fg = far_side(e.Green, low[1]),
                      fr = far_side(e.Red, low[2]);
            bound = std::min(bound, fb * fb + fg * fg + fr * fr);
        }
        list->first = static_cast<std::uint32_t>(pool_used_);
        for (std::uint32_t k = 0; k < from_count; ++k) {
            if (from_sorted && static_cast<int>(from[k] >> 8) > bound) break;
            const std::uint32_t index = from[k] & 0xFF;
            const PaletteEntry& e = palette_[index];
            const int nb = near_side(e.Blue, low[0]), ng = near_side(e.Green, low[1]),
                      nr = near_side(e.Red, low[2]);
            const int nearest = nb * nb + ng * ng + nr * nr;
            if (nearest <= bound)
                t_.pool[pool_used_++] = (static_cast<std::uint32_t>(nearest) << 8) | index;
        }
        list->count = static_cast<std::uint32_t>(pool_used_) - list->first;
        if (sorted) std::sort(t_.pool.data() + list->first, t_.pool.data() + pool_used_);
#if QUORLINA_MATCH_AVX2
        // Lists made from this one may be made eight entries at a time.
        if (avx2_) RefillColors(list->first);
#endif
        return true;
    }

    SortedEntry* sorted_;
    std::uint16_t* first_at_least_;
    WorkingTables& t_;
    std::uint32_t all_[kAdaptiveColors];
    std::size_t pool_used_ = 0;
    // From 1: a pool word of place 0 would be the single word of entry 255.
    std::size_t map_pool_used_ = 1;
    bool vector_words_ = false;  // MakeMapWord8 is used (with AVX2 only)
    int channel_;
#if QUORLINA_MATCH_AVX2
    // The vector forms' tables, four bytes an entry for gathering: each palette entry as blue |
    // green << 8 | red << 16 | its sorted position << 24, the palette index at each sorted
    // position, and first_at_least_.
    alignas(32) std::int32_t palette32_[kAdaptiveColors];
    alignas(32) std::int32_t sorted32_[kAdaptiveColors];
    alignas(32) std::int32_t first_at_least32_[256];
    int channel_shift_ = 0;
    bool avx2_ = !PortableMatchingForced() && jpeg::CpuHasAvx2();
#endif
};

#if QUORLINA_MATCH_AVX2
// The target's w x h region from the counting pass's runs, each of its palette index, in stores
// of 32 bytes: a run of up to 32 as one, the runs after it writing over the rest, a longer one
// as several ending at its end. Only runs that end too near their row's end to be written
// beyond are filled byte by byte.
__attribute__((target("avx2"))) void FillRuns8(const std::uint32_t* run, const std::uint8_t* index,
                                               ImageBuffer* target, std::uint32_t w,
                                               std::uint32_t h) {
    for (std::uint32_t i = 0; i < h; ++i) {
        std::uint8_t* out = target->Bits + PixelOffset(*target, target->Left, target->Top + i);
        for (std::uint32_t j = 0; j < w; ++run, ++index) {
            const std::uint32_t length = (*run >> 24) + 1;
            const __m256i bytes = _mm256_set1_epi8(static_cast<char>(*index));
            if (length <= 32 && j + 32 <= w) {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), bytes);
            } else if (length >= 32) {
                for (std::uint32_t k = 0; k + 32 < length; k += 32)
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j + k), bytes);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j + length - 32), bytes);
            } else {
                std::memset(out + j, *index, length);
            }
            j += length;
        }
    }
}
#endif

// Each pixel of the source's w x h region, whose colours CountColorsLocked has just counted, to
// the target's region as the nearest of palette[0..count).
void MapLocked(const ImageBuffer& source, ImageBuffer* target, std::uint32_t w, std::uint32_t h,
               const PaletteEntry* palette, int count) {
    WorkingTables& t = Tables();
    NearestColor nearest(palette, count, t);
    const bool from_runs = t.run_count <= kRunLimit && t.runs_width == w;
    bool eight_at_once = false;
#if QUORLINA_MATCH_AVX2
    eight_at_once = nearest.HasAvx2();
#endif
    nearest.MakeMap(t.histogram.data(), t.occupied.data(), eight_at_once,
                    eight_at_once && !from_runs);
#if QUORLINA_MATCH_AVX2
    if (from_runs && nearest.HasAvx2()) {
        nearest.MatchRuns8(t.runs.data(), t.run_count, t.run_indexes.data());
        FillRuns8(t.runs.data(), t.run_indexes.data(), target, w, h);
        return;
    }
#endif
    if (from_runs) {
        const std::uint32_t* run = t.runs.data();
        const std::uint32_t* const runs_end = run + t.run_count;
        std::uint32_t last = 0xFFFFFFFFu;
        std::uint8_t last_index = 0;
        for (std::uint32_t i = 0; i < h; ++i) {
            std::uint8_t* out = target->Bits + PixelOffset(*target, target->Left, target->Top + i);
            for (std::uint32_t j = 0; j < w; ++run) {
                const std::uint32_t bgr = *run & 0xFFFFFFu;
                if (bgr != last) {
                    if (run + kMapLookAhead < runs_end)
                        __builtin_prefetch(nearest.MapWord(MapCellOf(run[kMapLookAhead])));
                    last = bgr;
                    last_index = nearest.Match(static_cast<int>(bgr & 0xFF),
                                               static_cast<int>((bgr >> 8) & 0xFF),
                                               static_cast<int>(bgr >> 16), MapCellOf(bgr));
                }
                const std::uint32_t length = (*run >> 24) + 1;
                std::memset(out + j, last_index, length);
                j += length;
            }
        }
        return;
    }
    for (std::uint32_t i = 0; i < h; ++i) {
        const std::uint8_t* p = source.Bits + PixelOffset(source, source.Left, source.Top + i);
        std::uint8_t* out = target->Bits + PixelOffset(*target, target->Left, target->Top + i);
        std::uint32_t last = 0xFFFFFFFFu;
        std::uint8_t last_index = 0;
        std::uint32_t j = 0;
#if QUORLINA_MATCH_AVX2
        if (nearest.HasAvx2()) {
            j = nearest.MatchRow8(p, out, w);
            p += 3 * j;
        }
#endif
        for (; j < w; ++j, p += 3) {
            const std::uint32_t bgr = PackedPixelOfRow(p, j, w);
            if (bgr != last) {
                // The map is larger than the nearest cache and a changing picture's colours
                // wander over it: the word of a pixel a little ahead is asked for now, so that
                // its wait overlaps this one's. Here, not in a member: a member with nothing but
                // the prefetch in it counts as without effect, and its call is dropped.
                if (j + kMapLookAhead < w)
                    __builtin_prefetch(
                        nearest.MapWord(MapCellOf(PackedPixel(p + 3 * kMapLookAhead))));
                last = bgr;
                last_index = nearest.Match(p[0], p[1], p[2], MapCellOf(bgr));
            }
            out[j] = last_index;
        }
    }
}

}  // namespace

void ForcePortableMatching(bool portable) {
    PortableMatchingFlag().store(portable, std::memory_order_relaxed);
}

ImageResult MedianCutPalette(ImageBuffer* source, int colors, PaletteEntry* palette, int* boxes) {
    std::lock_guard<std::mutex> guard(ColorMatchLock());
    return MedianCutLocked(source, colors, palette, boxes);
}

ImageResult ReduceToAdaptivePalette(ImageBuffer* source, ImageBuffer* target, int colors) {
    if (colors < kMinAdaptiveColors || colors > kAdaptiveColors) return kBadReduction;
    std::uint32_t w, h;
    ImageResult r = CheckReduction(source, target, DepthBit(24), &w, &h);
    if (r != kImageOk) return r;
    std::lock_guard<std::mutex> guard(ColorMatchLock());
    PaletteEntry palette[kAdaptiveColors];
    int boxes = 0;
    r = MedianCutLocked(source, colors, palette, &boxes);
    if (r != kImageOk) return r;
    // Entries past the boxes repeat entry 0, so the search needs only the boxes' colours.
    MapLocked(*source, target, w, h, palette, boxes);
    InstallColorTable(target, palette, colors);
    return kImageOk;
}

ImageResult MapToNearestColors(ImageBuffer* source, ImageBuffer* target,
                               const PaletteEntry* palette, int count) {
    if (count < 1 || count > kAdaptiveColors) return kBadReduction;
    std::uint32_t w, h;
    ImageResult r = CheckReduction(source, target, DepthBit(24), &w, &h);
    if (r != kImageOk) return r;
    std::lock_guard<std::mutex> guard(ColorMatchLock());
    CountColorsLocked(*source);
    MapLocked(*source, target, w, h, palette, count);
    return kImageOk;
}

}  // namespace image
