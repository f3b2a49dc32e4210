// The objects behind the window and drawing handles, shared by window.cpp and gdi.cpp only.
// Two kinds of lock: the layer lock guards the handle tables, the window tree, invalid areas,
// queues and focus; each screen's lock guards its pixels and system palette. The layer lock may
// be taken before a screen lock, never the other way round, and neither is held while a window
// procedure runs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/gdi.h"
#include "platform/window.h"

namespace platform {

// What matching a logical palette's colours against a palette screen's system palette gave,
// together with everything that answer was worked out from. A frame on a palette screen brings
// a palette made anew for that frame, yet nearly always with the same colours and onto the same
// system palette as the frame before; an answer whose inputs are all unchanged is taken as it is.
struct PaletteMatchMemo {
    bool valid = false;
    std::vector<PALETTEENTRY> entries;   // the logical palette (SetDIBitsToDevice: the colour table)
    std::vector<PALETTEENTRY> selected;  // SetDIBitsToDevice: the context's logical palette
    std::array<std::uint8_t, 256> to_system_before{};  // SetDIBitsToDevice: its system entries
    bool background = false;                          // RealizePalette: realised in the background
    std::array<RGBQUAD, 256> system_before{};
    int free_used_before = 0;
    // The answer: system entry per logical entry (per colour-table entry), and for RealizePalette
    // the system palette it left and the number of entries it changed.
    std::array<std::uint8_t, 256> to_system{};
    std::array<RGBQUAD, 256> system_after{};
    int free_used_after = 0;
    unsigned changed = 0;
};

struct Screen {
    Screen(int width, int height, int bits_per_pixel);

    const int width;
    const int height;
    const int bits_per_pixel;

    std::mutex lock;                    // guards everything below
    std::vector<std::uint32_t> direct;  // 32-bit screens: 0x00RRGGBB, top row first
    std::vector<std::uint8_t> indices;  // palette screens: system palette index per pixel
    std::array<RGBQUAD, 256> system_palette{};
    int system_colors = 0;  // 256 or 16 on palette screens, 0 on 32-bit ones
    int free_first = 0;     // system entries [free_first, free_end) belong to realised palettes
    int free_end = 0;
    int free_used = 0;  // free entries taken since the last foreground realisation
    std::uint64_t changes = 0;
    // Palette screens: the last answers of selecting (two: a frame's palette and the one put
    // back after it), realising, and mapping a DIB's colour table.
    std::array<PaletteMatchMemo, 2> select_memo;
    int select_memo_next = 0;
    PaletteMatchMemo realize_memo;
    PaletteMatchMemo table_memo;

    bool IsPaletteScreen() const { return bits_per_pixel <= 8; }
};

struct WindowObject {
    std::shared_ptr<Screen> screen;
    WindowObject* parent = nullptr;  // null for a screen's root
    RECT client{};                   // client area in screen coordinates
    RECT visible{};                  // client area clipped by the screen and every ancestor
    WNDPROC procedure = nullptr;
    void* user_data = nullptr;
    std::thread::id owner;

    // Under the layer lock.
    bool has_update = false;
    RECT update{};  // client coordinates
    bool erase_pending = false;
    bool destroying = false;

    // Under the screen lock: set once the window is gone, so that late drawing does nothing.
    bool destroyed = false;
};

struct GdiObject {
    virtual ~GdiObject() = default;
    bool stock = false;
};

struct PaletteObject : GdiObject {
    std::vector<PALETTEENTRY> entries;
};

struct BrushObject : GdiObject {
    COLORREF color = 0;
};

struct DeviceContextObject {
    std::shared_ptr<WindowObject> window;
    std::shared_ptr<Screen> screen;
    int origin_x = 0;  // client (0, 0) in screen coordinates
    int origin_y = 0;
    RECT clip{};  // screen coordinates
    std::shared_ptr<PaletteObject> palette;
    bool palette_background = false;
    std::array<std::uint8_t, 256> to_system{};  // logical entry -> system entry (palette screens)
    COLORREF text_color = RGB(0, 0, 0);
    COLORREF back_color = RGB(255, 255, 255);
    int back_mode = OPAQUE;
};

// The layer lock and the lookups under it; each returns null for a handle the layer does not
// know (any more).
std::mutex& LayerLock();
std::shared_ptr<WindowObject> FindWindowLocked(HWND window);
DeviceContextObject* FindDcLocked(HDC dc);

// A device context for the window, clipped to `clip` (screen coordinates), registered in the
// handle table. The caller holds the layer lock.
HDC CreateDcLocked(const std::shared_ptr<WindowObject>& window, const RECT& clip);
bool ReleaseDcLocked(HDC dc);

// The stock default palette's object, and selecting a palette into a context (its colours mapped
// to the nearest entries of the screen's current system palette). No layer lock needed.
const std::shared_ptr<PaletteObject>& StockPalette();
void AttachPalette(DeviceContextObject& dc, std::shared_ptr<PaletteObject> palette,
                   bool background);

RECT Intersect(const RECT& a, const RECT& b);
bool IsEmpty(const RECT& r);

}  // namespace platform
