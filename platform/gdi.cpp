// Device contexts, fills, text, palettes and DIB output on the in-memory screens. Every pixel
// write happens under the screen's lock and is skipped once the window is destroyed; colours are
// resolved once per call (per colour-table entry for DIBs), not per pixel.
#include "platform/gdi.h"

#include <algorithm>
#include <climits>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/bitmap_font.h"
#include "platform/window_internal.h"

namespace platform {
namespace {

// The stock default palette: the twenty static colours, in their customary order.
constexpr std::array<PALETTEENTRY, kStockPaletteEntries> kStockColors = {{
    {0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},     {128, 128, 0, 0},
    {0, 0, 128, 0},     {128, 0, 128, 0},   {0, 128, 128, 0},   {192, 192, 192, 0},
    {192, 220, 192, 0}, {166, 202, 240, 0}, {255, 251, 240, 0}, {160, 160, 164, 0},
    {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},     {255, 255, 0, 0},
    {0, 0, 255, 0},     {255, 0, 255, 0},   {0, 255, 255, 0},   {255, 255, 255, 0},
}};

// The classic system colours, by system-colour index.
constexpr std::array<COLORREF, kSystemColorCount> kSystemColors = {{
    RGB(192, 192, 192), RGB(0, 128, 128),   RGB(0, 0, 128),     RGB(128, 128, 128),
    RGB(192, 192, 192), RGB(255, 255, 255), RGB(0, 0, 0),       RGB(0, 0, 0),
    RGB(0, 0, 0),       RGB(255, 255, 255), RGB(192, 192, 192), RGB(192, 192, 192),
    RGB(128, 128, 128), RGB(0, 0, 128),     RGB(255, 255, 255), RGB(192, 192, 192),
    RGB(128, 128, 128), RGB(128, 128, 128), RGB(0, 0, 0),       RGB(192, 192, 192),
    RGB(255, 255, 255), RGB(0, 0, 0),       RGB(192, 192, 192), RGB(0, 0, 0),
    RGB(255, 255, 225),
}};

constexpr std::uint32_t kOleColorKindMask = 0xFF000000u;
constexpr std::uint32_t kOleRgb = 0x00000000u;
constexpr std::uint32_t kOlePaletteIndex = 0x01000000u;
constexpr std::uint32_t kOlePaletteRgb = 0x02000000u;
constexpr std::uint32_t kOleSystemColor = 0x80000000u;

std::unordered_map<GdiObject*, std::shared_ptr<GdiObject>>& GdiObjects() {
    static auto* objects = new std::unordered_map<GdiObject*, std::shared_ptr<GdiObject>>();
    return *objects;
}

template <typename T>
std::shared_ptr<T> FindObjectLocked(GdiObject* handle) {
    auto it = GdiObjects().find(handle);
    if (it == GdiObjects().end()) return nullptr;
    return std::dynamic_pointer_cast<T>(it->second);
}

DeviceContextObject* LookupDc(HDC dc) {
    std::lock_guard<std::mutex> guard(LayerLock());
    return FindDcLocked(dc);
}

int Distance(int r1, int g1, int b1, int r2, int g2, int b2) {
    return (r1 - r2) * (r1 - r2) + (g1 - g2) * (g1 - g2) + (b1 - b2) * (b1 - b2);
}

// Nearest-colour searches over tables of four-byte colours (logical palette entries, system
// palette entries) whose bytes 0, 1 and 2 are compared with c0, c1 and c2. Each gives the least
// (squared distance << kIndexBits | index) over entries [from, to), INT_MAX for none: the first
// entry of the least distance, without a branch on which is nearer, which cannot be predicted.
constexpr int kIndexBits = 9;  // palettes hold at most 256 entries

int NearestKeyPortable(const std::uint8_t* bytes, int from, int to, int c0, int c1, int c2) {
    int best = INT_MAX;
    for (int i = from; i < to; ++i) {
        const std::uint8_t* e = bytes + 4 * static_cast<std::size_t>(i);
        best = std::min(best, Distance(e[0], e[1], e[2], c0, c1, c2) << kIndexBits | i);
    }
    return best;
}

#if defined(__x86_64__)
// Eight entries at a time; the last few through a masked load, which reads none past to.
__attribute__((target("avx2"))) int NearestKeyAvx2(const std::uint8_t* bytes, int from, int to,
                                                   int c0, int c1, int c2) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256i none = _mm256_set1_epi32(INT_MAX);
    const __m256i v0 = _mm256_set1_epi32(c0), v1 = _mm256_set1_epi32(c1),
                  v2 = _mm256_set1_epi32(c2);
    __m256i best = none;
    for (int i = from; i < to; i += 8) {
        const __m256i index = _mm256_add_epi32(_mm256_set1_epi32(i), lane);
        const __m256i valid = _mm256_cmpgt_epi32(_mm256_set1_epi32(to), index);
        const __m256i e = _mm256_maskload_epi32(
            reinterpret_cast<const int*>(bytes + 4 * static_cast<std::size_t>(i)), valid);
        const __m256i d0 = _mm256_sub_epi32(_mm256_and_si256(e, byte), v0);
        const __m256i d1 = _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(e, 8), byte), v1);
        const __m256i d2 = _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(e, 16), byte), v2);
        const __m256i d = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(d0, d0), _mm256_mullo_epi32(d1, d1)),
            _mm256_mullo_epi32(d2, d2));
        const __m256i key = _mm256_or_si256(_mm256_slli_epi32(d, kIndexBits), index);
        best = _mm256_min_epi32(best, _mm256_blendv_epi8(none, key, valid));
    }
    __m128i m = _mm_min_epi32(_mm256_castsi256_si128(best), _mm256_extracti128_si256(best, 1));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xB1));
    return _mm_cvtsi128_si32(m);
}
#endif

int NearestKey(const std::uint8_t* bytes, int from, int to, int c0, int c1, int c2) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return NearestKeyAvx2(bytes, from, to, c0, c1, c2);
#endif
    return NearestKeyPortable(bytes, from, to, c0, c1, c2);
}

int IndexOfKey(int key) {
    return key == INT_MAX ? 0 : key & ((1 << kIndexBits) - 1);
}

// The first of the logical palette's entries nearest the colour (0 for an empty palette).
int NearestLogical(const std::vector<PALETTEENTRY>& entries, int r, int g, int b) {
    return IndexOfKey(NearestKey(reinterpret_cast<const std::uint8_t*>(entries.data()), 0,
                                 static_cast<int>(entries.size()), r, g, b));
}

// The key of the first of the system palette's entries in use nearest the colour: those below
// the free ones and the free ones taken, then those above the free ones.
int NearestSystemKeyLocked(const Screen& s, int r, int g, int b) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(s.system_palette.data());
    const int taken_end = std::min(s.system_colors, s.free_first + std::max(s.free_used, 0));
    // System entries are blue, green, red.
    const int below = NearestKey(bytes, 0, taken_end, b, g, r);
    const int above = NearestKey(bytes, std::max(s.free_end, 0), s.system_colors, b, g, r);
    return std::min(below, above);
}

// The first of the system palette's entries in use nearest the colour (0 when none is).
int NearestSystemLocked(const Screen& s, int r, int g, int b) {
    return IndexOfKey(NearestSystemKeyLocked(s, r, g, b));
}

static_assert(sizeof(PALETTEENTRY) == 4 && sizeof(RGBQUAD) == 4);

bool SameEntries(const std::vector<PALETTEENTRY>& a, const std::vector<PALETTEENTRY>& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(PALETTEENTRY)) == 0;
}

// Whether the screen's system palette and its use are still what the memo was worked out on.
bool SameSystemLocked(const Screen& s, const PaletteMatchMemo& m) {
    return m.free_used_before == s.free_used &&
           std::memcmp(m.system_before.data(), s.system_palette.data(),
                       static_cast<std::size_t>(s.system_colors) * sizeof(RGBQUAD)) == 0;
}

void RememberSystemLocked(const Screen& s, PaletteMatchMemo* m) {
    m->system_before = s.system_palette;
    m->free_used_before = s.free_used;
}

void MapNearestLocked(DeviceContextObject& dc) {
    Screen& s = *dc.screen;
    if (!s.IsPaletteScreen()) return;
    const auto& entries = dc.palette->entries;
    for (const PaletteMatchMemo& m : s.select_memo)
        if (m.valid && SameEntries(m.entries, entries) && SameSystemLocked(s, m)) {
            std::copy_n(m.to_system.begin(), entries.size(), dc.to_system.begin());
            return;
        }
    for (std::size_t i = 0; i < entries.size(); ++i)
        dc.to_system[i] = static_cast<std::uint8_t>(
            NearestSystemLocked(s, entries[i].peRed, entries[i].peGreen, entries[i].peBlue));
    PaletteMatchMemo& m = s.select_memo[static_cast<std::size_t>(s.select_memo_next)];
    s.select_memo_next = (s.select_memo_next + 1) % static_cast<int>(s.select_memo.size());
    m.valid = true;
    m.entries = entries;
    RememberSystemLocked(s, &m);
    m.to_system = dc.to_system;
}

// What a colour becomes on the context's screen: 0x00RRGGBB on 32-bit screens, a system
// palette index on palette screens. Under the screen lock.
struct DeviceColor {
    std::uint32_t direct;
    std::uint8_t index;
};

DeviceColor ResolveLocked(const DeviceContextObject& dc, int r, int g, int b) {
    DeviceColor c{(static_cast<std::uint32_t>(r) << 16) | (static_cast<std::uint32_t>(g) << 8) |
                      static_cast<std::uint32_t>(b),
                  0};
    if (dc.screen->IsPaletteScreen())
        c.index =
            dc.to_system[static_cast<std::size_t>(NearestLogical(dc.palette->entries, r, g, b))];
    return c;
}

DeviceColor ResolveLocked(const DeviceContextObject& dc, COLORREF color) {
    return ResolveLocked(dc, GetRValue(color), GetGValue(color), GetBValue(color));
}

void PutLocked(Screen& s, int x, int y, const DeviceColor& c) {
    const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(s.width) +
                          static_cast<std::size_t>(x);
    if (s.IsPaletteScreen())
        s.indices[i] = c.index;
    else
        s.direct[i] = c.direct;
}

// The context's clip, cut to the screen.
RECT DrawableLocked(const DeviceContextObject& dc) {
    return Intersect(dc.clip, RECT{0, 0, dc.screen->width, dc.screen->height});
}

RECT ToScreen(const DeviceContextObject& dc, const RECT& r) {
    const std::int64_t ox = dc.origin_x;
    const std::int64_t oy = dc.origin_y;
    auto clamp = [](std::int64_t v) {
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
    };
    return RECT{clamp(r.left + ox), clamp(r.top + oy), clamp(r.right + ox), clamp(r.bottom + oy)};
}

void FillLocked(DeviceContextObject& dc, const RECT& screen_rect, const DeviceColor& c) {
    const RECT area = Intersect(screen_rect, DrawableLocked(dc));
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x) PutLocked(*dc.screen, x, y, c);
    if (!IsEmpty(area)) ++dc.screen->changes;
}

}  // namespace

const std::shared_ptr<PaletteObject>& StockPalette() {
    static const std::shared_ptr<PaletteObject>* stock = [] {
        auto p = std::make_shared<PaletteObject>();
        p->stock = true;
        p->entries.assign(kStockColors.begin(), kStockColors.end());
        return new std::shared_ptr<PaletteObject>(p);
    }();
    return *stock;
}

void AttachPalette(DeviceContextObject& dc, std::shared_ptr<PaletteObject> palette,
                   bool background) {
    std::lock_guard<std::mutex> guard(dc.screen->lock);
    dc.palette = std::move(palette);
    dc.palette_background = background;
    MapNearestLocked(dc);
}

HDC GetDC(HWND window) {
    std::lock_guard<std::mutex> guard(LayerLock());
    std::shared_ptr<WindowObject> w = FindWindowLocked(window);
    if (w == nullptr) return nullptr;
    return CreateDcLocked(w, w->client);
}

int ReleaseDC(HWND, HDC dc) {
    std::lock_guard<std::mutex> guard(LayerLock());
    return ReleaseDcLocked(dc) ? 1 : 0;
}

int GetDeviceCaps(HDC hdc, int index) {
    DeviceContextObject* dc = LookupDc(hdc);
    if (dc == nullptr || index != BITSPIXEL) return 0;
    return dc->screen->bits_per_pixel;
}

HBRUSH CreateSolidBrush(COLORREF color) {
    auto brush = std::make_shared<BrushObject>();
    brush->color = color & 0x00FFFFFFu;
    std::lock_guard<std::mutex> guard(LayerLock());
    GdiObjects().emplace(brush.get(), brush);
    return brush.get();
}

int FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    if (rect == nullptr) return 0;
    DeviceContextObject* dc;
    std::shared_ptr<BrushObject> b;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        dc = FindDcLocked(hdc);
        b = FindObjectLocked<BrushObject>(brush);
    }
    if (dc == nullptr || b == nullptr) return 0;
    std::lock_guard<std::mutex> guard(dc->screen->lock);
    if (dc->window->destroyed) return 0;
    FillLocked(*dc, ToScreen(*dc, *rect), ResolveLocked(*dc, b->color));
    return 1;
}

bool DeleteObject(HBRUSH brush) {
    std::lock_guard<std::mutex> guard(LayerLock());
    return GdiObjects().erase(brush) == 1;
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
    DeviceContextObject* dc = LookupDc(hdc);
    if (dc == nullptr) return 0;
    return std::exchange(dc->text_color, color & 0x00FFFFFFu);
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
    DeviceContextObject* dc = LookupDc(hdc);
    if (dc == nullptr) return 0;
    return std::exchange(dc->back_color, color & 0x00FFFFFFu);
}

int SetBkMode(HDC hdc, int mode) {
    DeviceContextObject* dc = LookupDc(hdc);
    if (dc == nullptr || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
    return std::exchange(dc->back_mode, mode);
}

int DrawText(HDC hdc, const char* text, int count, RECT* rect, UINT format) {
    if (text == nullptr || rect == nullptr) return 0;
    DeviceContextObject* dc = LookupDc(hdc);
    if (dc == nullptr) return 0;
    const std::size_t length = count < 0 ? std::strlen(text) : static_cast<std::size_t>(count);
    const std::int64_t text_width = static_cast<std::int64_t>(length) * kCellWidth;
    std::int64_t x = rect->left;
    std::int64_t y = rect->top;
    if (format & DT_CENTER)
        x = rect->left + (static_cast<std::int64_t>(rect->right) - rect->left - text_width) / 2;
    else if (format & DT_RIGHT)
        x = rect->right - text_width;
    if (format & DT_VCENTER)
        y = rect->top + (static_cast<std::int64_t>(rect->bottom) - rect->top - kCellHeight) / 2;
    else if (format & DT_BOTTOM)
        y = rect->bottom - kCellHeight;

    std::lock_guard<std::mutex> guard(dc->screen->lock);
    if (dc->window->destroyed) return 0;
    const RECT area = Intersect(ToScreen(*dc, *rect), DrawableLocked(*dc));
    const DeviceColor fore = ResolveLocked(*dc, dc->text_color);
    const DeviceColor back = ResolveLocked(*dc, dc->back_color);
    const std::int64_t sx = x + dc->origin_x;
    const std::int64_t sy = y + dc->origin_y;
    for (std::size_t i = 0; i < length; ++i) {
        const Glyph& glyph = GlyphFor(text[i]);
        const std::int64_t cell_x = sx + static_cast<std::int64_t>(i) * kCellWidth;
        for (int row = 0; row < kCellHeight; ++row) {
            const std::int64_t py = sy + row;
            if (py < area.top || py >= area.bottom) continue;
            for (int col = 0; col < kCellWidth; ++col) {
                const std::int64_t px = cell_x + col;
                if (px < area.left || px >= area.right) continue;
                const bool ink =
                    row < kGlyphHeight && col < kGlyphWidth &&
                    ((glyph[static_cast<std::size_t>(row)] >> (kGlyphWidth - 1 - col)) & 1);
                if (ink)
                    PutLocked(*dc->screen, static_cast<int>(px), static_cast<int>(py), fore);
                else if (dc->back_mode == OPAQUE)
                    PutLocked(*dc->screen, static_cast<int>(px), static_cast<int>(py), back);
            }
        }
    }
    ++dc->screen->changes;
    return kCellHeight;
}

HPALETTE CreatePalette(const LOGPALETTE* palette) {
    if (palette == nullptr || palette->palVersion != kPaletteVersion ||
        palette->palNumEntries < 1 || palette->palNumEntries > kMaxPaletteEntries)
        return nullptr;
    auto p = std::make_shared<PaletteObject>();
    p->entries.assign(palette->palPalEntry, palette->palPalEntry + palette->palNumEntries);
    std::lock_guard<std::mutex> guard(LayerLock());
    GdiObjects().emplace(p.get(), p);
    return p.get();
}

bool DeleteObject(HPALETTE palette) {
    std::lock_guard<std::mutex> guard(LayerLock());
    return GdiObjects().erase(palette) == 1;
}

UINT GetPaletteEntries(HPALETTE palette, UINT start, UINT count, PALETTEENTRY* entries) {
    std::shared_ptr<PaletteObject> p;
    if (palette == StockPalette().get()) {
        p = StockPalette();
    } else {
        std::lock_guard<std::mutex> guard(LayerLock());
        p = FindObjectLocked<PaletteObject>(palette);
    }
    if (p == nullptr || entries == nullptr || start >= p->entries.size()) return 0;
    const UINT n = std::min<UINT>(count, static_cast<UINT>(p->entries.size()) - start);
    std::copy_n(p->entries.begin() + start, n, entries);
    return n;
}

HPALETTE GetStockObject(StockObjectId id) {
    return id == DEFAULT_PALETTE ? StockPalette().get() : nullptr;
}

HPALETTE SelectPalette(HDC hdc, HPALETTE palette, bool force_background) {
    DeviceContextObject* dc;
    std::shared_ptr<PaletteObject> p;
    {
        std::lock_guard<std::mutex> guard(LayerLock());
        dc = FindDcLocked(hdc);
        p = palette == StockPalette().get() ? StockPalette()
                                            : FindObjectLocked<PaletteObject>(palette);
    }
    if (dc == nullptr || p == nullptr) return nullptr;
    HPALETTE previous = dc->palette.get();
    AttachPalette(*dc, std::move(p), force_background);
    return previous;
}

UINT RealizePalette(HDC hdc) {
    DeviceContextObject* dc = LookupDc(hdc);
    if (dc == nullptr) return 0;
    Screen& s = *dc->screen;
    if (!s.IsPaletteScreen()) return 0;
    std::lock_guard<std::mutex> guard(s.lock);
    if (dc->palette->stock) {
        MapNearestLocked(*dc);
        return 0;
    }
    const auto& entries = dc->palette->entries;
    PaletteMatchMemo& memo = s.realize_memo;
    if (memo.valid && memo.background == dc->palette_background &&
        SameEntries(memo.entries, entries) && SameSystemLocked(s, memo)) {
        s.system_palette = memo.system_after;
        s.free_used = memo.free_used_after;
        std::copy_n(memo.to_system.begin(), entries.size(), dc->to_system.begin());
        if (memo.changed > 0) ++s.changes;
        return memo.changed;
    }
    memo.valid = false;
    memo.entries = entries;
    memo.background = dc->palette_background;
    RememberSystemLocked(s, &memo);
    if (!dc->palette_background) s.free_used = 0;
    UINT changed = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PALETTEENTRY& e = entries[i];
        // The first entry in use of the same colour, if any, is the first nearest, at distance
        // 0; else the colour takes a free entry while there is one, else the nearest.
        const int key = NearestSystemKeyLocked(s, e.peRed, e.peGreen, e.peBlue);
        int slot = key != INT_MAX && (key >> kIndexBits) == 0 ? IndexOfKey(key) : -1;
        if (slot < 0 && s.free_first + s.free_used < s.free_end) {
            slot = s.free_first + s.free_used++;
            s.system_palette[static_cast<std::size_t>(slot)] =
                RGBQUAD{e.peBlue, e.peGreen, e.peRed, 0};
            ++changed;
        }
        if (slot < 0) slot = IndexOfKey(key);
        dc->to_system[i] = static_cast<std::uint8_t>(slot);
    }
    memo.system_after = s.system_palette;
    memo.free_used_after = s.free_used;
    memo.to_system = dc->to_system;
    memo.changed = changed;
    memo.valid = true;
    if (changed > 0) ++s.changes;
    return changed;
}

namespace {

// Blue, green, red bytes to 0x00RRGGBB words (the same bytes in memory, with a zero fourth).
void CopyBgrToDirectPortable(const std::uint8_t* p, std::uint32_t* out, std::int64_t n) {
    for (; n > 0; --n, p += 3)
        *out++ = (static_cast<std::uint32_t>(p[2]) << 16) |
                 (static_cast<std::uint32_t>(p[1]) << 8) | p[0];
}

#if defined(__x86_64__)
// Four pixels per shuffle. Each 16-byte load reads 4 bytes past the 12 it uses, so the vector
// loop stops while at least 6 pixels (18 bytes) are left and the rest go the portable way.
__attribute__((target("ssse3"))) void CopyBgrToDirectSsse3(const std::uint8_t* p,
                                                           std::uint32_t* out, std::int64_t n) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    for (; n >= 6; n -= 4, p += 12, out += 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(bytes, spread));
    }
    CopyBgrToDirectPortable(p, out, n);
}
#endif

void CopyBgrToDirect(const std::uint8_t* p, std::uint32_t* out, std::int64_t n) {
#if defined(__x86_64__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) return CopyBgrToDirectSsse3(p, out, n);
#endif
    CopyBgrToDirectPortable(p, out, n);
}

// What each colour-table entry of a DIB becomes on the context's screen. On palette screens the
// answer for the same table, logical palette and system entries as last time is taken from the
// screen's memo. True when every index 0..255 stays itself on a palette screen, so that an 8-bit
// picture's rows can be copied as they are.
bool ResolveTableLocked(const DeviceContextObject& dc, const RGBQUAD* table,
                        std::int64_t table_entries, std::array<DeviceColor, 256>* lookup) {
    const auto n = static_cast<std::size_t>(table_entries);
    if (!dc.screen->IsPaletteScreen()) {
        for (std::size_t i = 0; i < n; ++i)
            (*lookup)[i] = ResolveLocked(dc, table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue);
        return false;
    }
    PaletteMatchMemo& memo = dc.screen->table_memo;
    const auto& selected = dc.palette->entries;
    bool same =
        memo.valid && memo.entries.size() == n && SameEntries(memo.selected, selected) &&
        std::memcmp(memo.to_system_before.data(), dc.to_system.data(), selected.size()) == 0;
    for (std::size_t i = 0; same && i < n; ++i) {
        const PALETTEENTRY& e = memo.entries[i];
        same = e.peRed == table[i].rgbRed && e.peGreen == table[i].rgbGreen &&
               e.peBlue == table[i].rgbBlue;
    }
    if (!same) {
        memo.valid = true;
        memo.entries.resize(n);
        memo.selected = selected;
        memo.to_system_before = dc.to_system;
        for (std::size_t i = 0; i < n; ++i) {
            memo.entries[i] = PALETTEENTRY{table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue, 0};
            memo.to_system[i] =
                ResolveLocked(dc, table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue).index;
        }
    }
    bool identity = n == 256;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t index = memo.to_system[i];
        (*lookup)[i] =
            DeviceColor{(static_cast<std::uint32_t>(table[i].rgbRed) << 16) |
                            (static_cast<std::uint32_t>(table[i].rgbGreen) << 8) | table[i].rgbBlue,
                        index};
        identity = identity && index == i;
    }
    return identity;
}

}  // namespace

int SetDIBitsToDevice(HDC hdc, int x_dest, int y_dest, std::uint32_t w, std::uint32_t h, int x_src,
                      int y_src, std::uint32_t start_scan, std::uint32_t lines, const void* bits,
                      const BITMAPINFOHEADER* info, UINT color_use) {
    if (bits == nullptr || info == nullptr || color_use != DIB_RGB_COLORS) return 0;
    if (info->biSize < sizeof(BITMAPINFOHEADER) || info->biCompression != BI_RGB) return 0;
    const int depth = info->biBitCount;
    if (depth != 1 && depth != 8 && depth != 24) return 0;
    if (info->biWidth <= 0 || info->biHeight <= 0) return 0;
    DeviceContextObject* dc = LookupDc(hdc);
    if (dc == nullptr) return 0;

    const std::int64_t width = info->biWidth;
    const std::int64_t height = info->biHeight;
    const std::int64_t row_bytes = (width * depth + 31) / 32 * 4;
    // Rows are counted from the bottom; the ones present in `bits` are [start_scan, +lines).
    const std::int64_t row_first = std::max<std::int64_t>({y_src, 0, start_scan});
    const std::int64_t row_end =
        std::min<std::int64_t>({static_cast<std::int64_t>(y_src) + h, height,
                                static_cast<std::int64_t>(start_scan) + lines});
    const std::int64_t col_first = std::max<std::int64_t>(x_src, 0);
    const std::int64_t col_end =
        std::min<std::int64_t>(static_cast<std::int64_t>(x_src) + w, width);
    const std::int64_t rows_passed = std::max<std::int64_t>(
        0,
        std::min<std::int64_t>(static_cast<std::int64_t>(start_scan) + lines, height) - start_scan);
    const auto* table = reinterpret_cast<const RGBQUAD*>(
        reinterpret_cast<const std::uint8_t*>(info) + info->biSize);
    std::int64_t table_entries = 0;
    if (depth <= 8) {
        table_entries = info->biClrUsed != 0 ? info->biClrUsed : (1 << depth);
        table_entries = std::min<std::int64_t>(table_entries, 1 << depth);
    }
    const auto* data = static_cast<const std::uint8_t*>(bits);

    Screen& s = *dc->screen;
    std::lock_guard<std::mutex> guard(s.lock);
    if (dc->window->destroyed) return 0;
    const RECT area = DrawableLocked(*dc);
    std::array<DeviceColor, 256> lookup{};
    const bool identity = ResolveTableLocked(*dc, table, table_entries, &lookup);
    std::array<std::uint8_t, 256> indices;  // the palette screen's part of lookup, packed
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = lookup[i].index;
    DeviceColor last_color{};
    std::uint32_t last_rgb = 0xFFFFFFFFu;
    bool painted = false;
    // Source column c lands on screen column c + shift_x; the visible columns are cut once.
    const std::int64_t shift_x = dc->origin_x + x_dest - x_src;
    const std::int64_t c_first = std::max<std::int64_t>(col_first, area.left - shift_x);
    const std::int64_t c_end = std::min<std::int64_t>(col_end, area.right - shift_x);
    const bool direct = !s.IsPaletteScreen();
    for (std::int64_t r = row_first; r < row_end && c_first < c_end; ++r) {
        const std::int64_t y =
            dc->origin_y + y_dest + (static_cast<std::int64_t>(y_src) + h - 1 - r);
        if (y < area.top || y >= area.bottom) continue;
        const std::uint8_t* row = data + (r - start_scan) * row_bytes;
        // Index of the screen pixel under source column c_first; visible, so never negative.
        const std::size_t first = static_cast<std::size_t>(y) * static_cast<std::size_t>(s.width) +
                                  static_cast<std::size_t>(c_first + shift_x);
        painted = true;
        if (depth == 24 && direct) {
            // The common case, a true-colour frame on a true-colour screen: a straight copy.
            CopyBgrToDirect(row + c_first * 3, s.direct.data() + first, c_end - c_first);
            continue;
        }
        if (depth == 8) {
            // A colour-table picture (a palette screen's reduced frame): each index through the
            // lookup, with the kind of screen settled once a row.
            const std::uint8_t* from = row + c_first;
            const std::size_t count = static_cast<std::size_t>(c_end - c_first);
            if (direct) {
                std::uint32_t* to = s.direct.data() + first;
                for (std::size_t k = 0; k < count; ++k) to[k] = lookup[from[k]].direct;
            } else if (identity) {
                std::memcpy(s.indices.data() + first, from, count);
            } else {
                std::uint8_t* to = s.indices.data() + first;
                for (std::size_t k = 0; k < count; ++k) to[k] = indices[from[k]];
            }
            continue;
        }
        for (std::int64_t c = c_first; c < c_end; ++c) {
            DeviceColor color;
            if (depth == 1) {
                color = lookup[(row[c >> 3] >> (7 - (c & 7))) & 1];
            } else if (depth == 8) {
                color = lookup[row[c]];
            } else {
                const std::uint8_t* p = row + c * 3;
                const std::uint32_t rgb = (static_cast<std::uint32_t>(p[2]) << 16) |
                                          (static_cast<std::uint32_t>(p[1]) << 8) | p[0];
                if (rgb != last_rgb) {
                    last_rgb = rgb;
                    last_color = ResolveLocked(*dc, p[2], p[1], p[0]);
                }
                color = last_color;
            }
            const std::size_t at = first + static_cast<std::size_t>(c - c_first);
            if (direct)
                s.direct[at] = color.direct;
            else
                s.indices[at] = color.index;
        }
    }
    if (painted) ++s.changes;
    return static_cast<int>(rows_passed);
}

COLORREF GetSysColor(int index) {
    if (index < 0 || index >= kSystemColorCount) return RGB(0, 0, 0);
    return kSystemColors[static_cast<std::size_t>(index)];
}

HRESULT OleTranslateColor(OLE_COLOR color, HPALETTE palette, COLORREF* result) {
    if (result == nullptr) return E_POINTER;
    switch (color & kOleColorKindMask) {
        case kOleRgb:
        case kOlePaletteRgb:
            *result = color & 0x00FFFFFFu;
            return S_OK;
        case kOlePaletteIndex: {
            PALETTEENTRY e;
            const HPALETTE from = palette != nullptr ? palette : GetStockObject(DEFAULT_PALETTE);
            if (GetPaletteEntries(from, color & 0xFFFFu, 1, &e) != 1) return E_INVALIDARG;
            *result = RGB(e.peRed, e.peGreen, e.peBlue);
            return S_OK;
        }
        case kOleSystemColor: {
            const std::uint32_t index = color & 0x00FFFFFFu;
            if (index >= static_cast<std::uint32_t>(kSystemColorCount)) return E_INVALIDARG;
            *result = GetSysColor(static_cast<int>(index));
            return S_OK;
        }
        default:
            return E_INVALIDARG;
    }
}

}  // namespace platform
