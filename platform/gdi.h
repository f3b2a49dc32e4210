// The graphics device interface over the in-memory screens of window.h: device contexts of a
// window, solid-brush fills, single-line text in a built-in bitmap font, logical palettes with
// foreground and background realisation into a screen's system palette, and bottom-up DIB output
// of 1, 8 and 24 bits. The hard part is colour on palette screens: every colour goes to the
// nearest entry of the palette selected in the device context, and from there to the system
// palette entry that realisation gave it. Reductions to a palette are the image pipeline's.
#pragma once

#include <cstdint>

#include "platform/com_types.h"
#include "platform/window.h"
#include "platform/window_types.h"

namespace platform {

struct BrushObject;
using HBRUSH = BrushObject*;

// 0x00BBGGRR.
using COLORREF = std::uint32_t;
constexpr COLORREF RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
           (static_cast<COLORREF>(b) << 16);
}
constexpr std::uint8_t GetRValue(COLORREF c) {
    return static_cast<std::uint8_t>(c);
}
constexpr std::uint8_t GetGValue(COLORREF c) {
    return static_cast<std::uint8_t>(c >> 8);
}
constexpr std::uint8_t GetBValue(COLORREF c) {
    return static_cast<std::uint8_t>(c >> 16);
}

// Device contexts. GetDC gives one for the window's client area (origin at its top-left,
// clipped to it); null for an unknown window. Drawing through a context of a destroyed window
// does nothing.
HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);  // 1 when released

inline constexpr int BITSPIXEL = 12;
int GetDeviceCaps(HDC dc, int index);  // BITSPIXEL: 32, 8 or 4; 0 for an unknown context

// Brushes and fills.
HBRUSH CreateSolidBrush(COLORREF color);
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);  // 1 when drawn
bool DeleteObject(HBRUSH brush);

// Text: colour and background as the context holds them (black text, opaque white background
// by default).
inline constexpr int TRANSPARENT = 1;
inline constexpr int OPAQUE = 2;
COLORREF SetTextColor(HDC dc, COLORREF color);  // returns the previous colour
COLORREF SetBkColor(HDC dc, COLORREF color);
int SetBkMode(HDC dc, int mode);

inline constexpr UINT DT_LEFT = 0x00;
inline constexpr UINT DT_CENTER = 0x01;
inline constexpr UINT DT_RIGHT = 0x02;
inline constexpr UINT DT_TOP = 0x00;
inline constexpr UINT DT_VCENTER = 0x04;
inline constexpr UINT DT_BOTTOM = 0x08;
inline constexpr UINT DT_SINGLELINE = 0x20;
// Draws `count` characters of text (-1: up to the terminating zero) as one line placed in rect
// by the DT_ flags and clipped to it. Returns the text's height in pixels, 0 on failure.
int DrawText(HDC dc, const char* text, int count, RECT* rect, UINT format);

// Palettes.
struct PALETTEENTRY {
    std::uint8_t peRed;
    std::uint8_t peGreen;
    std::uint8_t peBlue;
    std::uint8_t peFlags;
};
inline constexpr int kMaxPaletteEntries = 256;
struct LOGPALETTE {
    std::uint16_t palVersion;  // 0x300
    std::uint16_t palNumEntries;
    PALETTEENTRY palPalEntry[kMaxPaletteEntries];
};
inline constexpr std::uint16_t kPaletteVersion = 0x300;

// Null for a version other than 0x300 or an entry count outside 1..256.
HPALETTE CreatePalette(const LOGPALETTE* palette);
bool DeleteObject(HPALETTE palette);  // the stock palette is never deleted
UINT GetPaletteEntries(HPALETTE palette, UINT start, UINT count, PALETTEENTRY* entries);

// The stock default palette: the 20 static colours of a palette screen.
enum StockObjectId { DEFAULT_PALETTE = 15 };
inline constexpr int kStockPaletteEntries = 20;
HPALETTE GetStockObject(StockObjectId id);

// Selects the palette into the context (its colours map to the screen's current entries until
// it is realised) and returns the previous one. A background palette never takes entries of the
// system palette away from a foreground one.
HPALETTE SelectPalette(HDC dc, HPALETTE palette, bool force_background);
// Maps the selected palette into the system palette of a palette screen: colours equal to a
// static colour use it; others take free entries (all of them anew for a foreground palette,
// only those still unused for a background one) and then the nearest entry. Returns the number
// of system entries that changed; 0 on 32-bit screens.
UINT RealizePalette(HDC dc);

// Device-independent bitmaps: the 40-byte header with the colour table directly behind it.
struct BITMAPINFOHEADER {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;  // positive: bottom-up
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    std::uint32_t biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);
struct RGBQUAD {
    std::uint8_t rgbBlue;
    std::uint8_t rgbGreen;
    std::uint8_t rgbRed;
    std::uint8_t rgbReserved;
};
inline constexpr UINT DIB_RGB_COLORS = 0;
inline constexpr std::uint32_t BI_RGB = 0;

// Paints the w x h part of a bottom-up DIB whose lower-left corner is (x_src, y_src), with
// y_src counted from the bottom row, so that its top row lands at (x_dest, y_dest). `bits`
// holds `lines` rows starting with row `start_scan`. 1-, 8- and 24-bit uncompressed DIBs with
// DIB_RGB_COLORS only. Clipped to the context. Returns the number of rows passed, 0 on failure.
int SetDIBitsToDevice(HDC dc, int x_dest, int y_dest, std::uint32_t w, std::uint32_t h, int x_src,
                      int y_src, std::uint32_t start_scan, std::uint32_t lines, const void* bits,
                      const BITMAPINFOHEADER* info, UINT color_use);

// Colours a container may give as ambient properties: plain RGB, a palette index
// (0x01000000 | index), a palette-relative RGB (0x02000000 | rgb) or a system colour
// (0x80000000 | index).
using OLE_COLOR = std::uint32_t;
inline constexpr int kSystemColorCount = 25;
COLORREF GetSysColor(int index);  // the classic defaults; black for an unknown index
HRESULT OleTranslateColor(OLE_COLOR color, HPALETTE palette, COLORREF* result);

}  // namespace platform
