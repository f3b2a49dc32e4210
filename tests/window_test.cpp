// The window layer: screens, child windows, messages and their pumping, invalidation and paint,
// fills, text, palettes on palette screens, DIB output, read-out, and painting from two threads.
#include "platform/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <thread>
#include <random>
#include <vector>

#include "platform/gdi.h"

using namespace platform;

namespace {

struct Seen {
    HWND window;
    UINT message;
    WPARAM wparam;
};
std::vector<Seen> g_seen;  // messages reach the test procedure on the test's own thread
LRESULT g_erase_result = 0;

LRESULT RecordingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    g_seen.push_back({w, m, wp});
    if (m == WM_ERASEBKGND) return g_erase_result;
    return DefWindowProc(w, m, wp, lp);
}

// A screen with one child window filling it (or placed at rect), destroyed at the end.
struct Desk {
    explicit Desk(int depth, int w = 16, int h = 12, RECT rect = {0, 0, 0, 0}) {
        screen = CreateScreen(w, h, depth);
        if (rect.right == 0) rect = RECT{0, 0, w, h};
        window = CreateChildWindow(screen, rect, &RecordingProc, nullptr);
        g_seen.clear();
        g_erase_result = 0;
    }
    ~Desk() { DestroyWindow(screen); }
    WindowPixels Pixels() const {
        WindowPixels p;
        ReadWindowPixels(window, &p);
        return p;
    }
    void Fill(COLORREF color, RECT r) const {
        HDC dc = GetDC(window);
        HBRUSH brush = CreateSolidBrush(color);
        FillRect(dc, &r, brush);
        DeleteObject(brush);
        ReleaseDC(window, dc);
    }
    HWND screen;
    HWND window;
};

constexpr std::uint32_t Rgb32(int r, int g, int b) {
    return (static_cast<std::uint32_t>(r) << 16) | (static_cast<std::uint32_t>(g) << 8) |
           static_cast<std::uint32_t>(b);
}

// A bottom-up DIB: header, colour table, rows, in one block.
struct Dib {
    Dib(int w, int h, int depth, std::vector<RGBQUAD> colors = {}) {
        row_bytes = (w * depth + 31) / 32 * 4;
        block.resize(sizeof(BITMAPINFOHEADER) + colors.size() * 4 +
                     static_cast<std::size_t>(row_bytes) * static_cast<std::size_t>(h));
        BITMAPINFOHEADER header{40,
                                w,
                                h,
                                1,
                                static_cast<std::uint16_t>(depth),
                                BI_RGB,
                                static_cast<std::uint32_t>(row_bytes * h),
                                0,
                                0,
                                static_cast<std::uint32_t>(colors.size()),
                                static_cast<std::uint32_t>(colors.size())};
        std::memcpy(block.data(), &header, sizeof header);
        if (!colors.empty()) std::memcpy(block.data() + 40, colors.data(), colors.size() * 4);
        bits = block.data() + 40 + colors.size() * 4;
        height = h;
    }
    // Row y counted from the top of the picture.
    std::uint8_t* Row(int y) { return bits + static_cast<std::size_t>(height - 1 - y) * row_bytes; }
    const BITMAPINFOHEADER* Info() const {
        return reinterpret_cast<const BITMAPINFOHEADER*>(block.data());
    }
    std::vector<std::uint8_t> block;
    std::uint8_t* bits;
    int row_bytes;
    int height;
};

}  // namespace

TEST(Screen, CreatesOnlyTheEmulatedDepthsAndSizes) {
    const struct {
        int w, h, depth;
        bool made;
    } cases[] = {{8, 8, 32, true},  {8, 8, 8, true},
                 {8, 8, 4, true},   {8, 8, 24, false},
                 {8, 8, 16, false}, {0, 8, 32, false},
                 {8, -1, 8, false}, {kMaxScreenSide + 1, 1, 32, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << c.depth);
        HWND s = CreateScreen(c.w, c.h, c.depth);
        EXPECT_EQ(s != nullptr, c.made);
        if (s != nullptr) {
            HDC dc = GetDC(s);
            EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), c.depth);
            ReleaseDC(s, dc);
            EXPECT_TRUE(DestroyWindow(s));
        }
    }
}

TEST(Screen, PaletteScreensStartWithTheStaticColours) {
    PALETTEENTRY stock[kStockPaletteEntries];
    ASSERT_EQ(GetPaletteEntries(GetStockObject(DEFAULT_PALETTE), 0, 20, stock), 20u);
    auto as_rgb = [](const PALETTEENTRY& e) { return Rgb32(e.peRed, e.peGreen, e.peBlue); };
    auto sys = [](const WindowPixels& p, int i) {
        const ScreenColor& c = p.palette[static_cast<std::size_t>(i)];
        return Rgb32(c.red, c.green, c.blue);
    };
    EXPECT_EQ(as_rgb(stock[0]), Rgb32(0, 0, 0));
    EXPECT_EQ(as_rgb(stock[12]), Rgb32(128, 128, 128));
    EXPECT_EQ(as_rgb(stock[19]), Rgb32(255, 255, 255));

    Desk eight(8);
    WindowPixels p = eight.Pixels();
    ASSERT_EQ(p.palette.size(), 256u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(sys(p, i), as_rgb(stock[i])) << i;
    for (int i = 10; i < 20; ++i) EXPECT_EQ(sys(p, 236 + i), as_rgb(stock[i])) << i;

    Desk four(4);
    p = four.Pixels();
    ASSERT_EQ(p.palette.size(), 16u);
    EXPECT_EQ(p.bits_per_pixel, 4);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(sys(p, i), as_rgb(stock[i])) << i;
    for (int i = 12; i < 20; ++i) EXPECT_EQ(sys(p, i - 4), as_rgb(stock[i])) << i;
}

TEST(Window, UnknownHandlesAreRefusedNotFollowed) {
    static char not_a_window;
    HWND fake = reinterpret_cast<HWND>(&not_a_window);
    EXPECT_FALSE(IsWindow(fake));
    EXPECT_EQ(GetDC(fake), nullptr);
    EXPECT_FALSE(InvalidateRect(fake, nullptr, true));
    EXPECT_FALSE(PostMessage(fake, 101, 0, 0));
    EXPECT_EQ(SendMessage(fake, WM_PAINT, 0, 0), 0);
    EXPECT_FALSE(DestroyWindow(fake));
    RECT r{1, 2, 3, 4};
    EXPECT_FALSE(GetClientRect(fake, &r));
    EXPECT_EQ(r.right, 0);
    EXPECT_EQ(CreateChildWindow(fake, RECT{0, 0, 4, 4}, &RecordingProc, nullptr), nullptr);
}

TEST(Window, NewWindowIsPaintedOnceWithEraseOnTheFirstPump) {
    Desk d(32);
    RECT update;
    ASSERT_TRUE(GetUpdateRect(d.window, &update));
    EXPECT_EQ(update.right, 16);
    EXPECT_EQ(PumpMessages(), 1);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].message, static_cast<UINT>(WM_PAINT));
    EXPECT_EQ(g_seen[1].message, static_cast<UINT>(WM_ERASEBKGND));
    EXPECT_NE(g_seen[1].wparam, 0u);  // the paint's device context
    EXPECT_FALSE(GetUpdateRect(d.window, nullptr));
    g_seen.clear();
    EXPECT_EQ(PumpMessages(), 0);
    EXPECT_TRUE(g_seen.empty());
}

TEST(Window, PostedMessagesArriveInOrderOnlyWhenPumped) {
    Desk d(32);
    PumpMessages();
    g_seen.clear();
    ASSERT_TRUE(PostMessage(d.window, 101, 7, 0));
    ASSERT_TRUE(PostMessage(d.window, 102, 8, 0));
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(PumpMessages(), 2);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].message, 101u);
    EXPECT_EQ(g_seen[0].wparam, 7u);
    EXPECT_EQ(g_seen[1].message, 102u);
}

TEST(Window, PostFromAWorkerIsDeliveredOnTheWindowsThread) {
    Desk d(32);
    PumpMessages();
    g_seen.clear();
    std::thread([&] { EXPECT_TRUE(PostMessage(d.window, 101, 0, 0)); }).join();
    EXPECT_EQ(PumpMessages(), 1);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].message, 101u);
}

TEST(Window, InvalidationCollectsAreasAndBeginPaintClipsToThem) {
    Desk d(32);
    PumpMessages();
    d.Fill(RGB(0, 0, 255), RECT{0, 0, 16, 12});
    RECT a{1, 1, 3, 3}, b{5, 2, 6, 4};
    InvalidateRect(d.window, &a, false);
    InvalidateRect(d.window, &b, false);
    RECT update;
    ASSERT_TRUE(GetUpdateRect(d.window, &update));
    EXPECT_EQ(update.left, 1);
    EXPECT_EQ(update.top, 1);
    EXPECT_EQ(update.right, 6);
    EXPECT_EQ(update.bottom, 4);

    PAINTSTRUCT ps;
    HDC dc = BeginPaint(d.window, &ps);
    ASSERT_NE(dc, nullptr);
    EXPECT_FALSE(ps.fErase);  // no erase was asked for
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT all{0, 0, 16, 12};
    FillRect(dc, &all, red);
    DeleteObject(red);
    EndPaint(d.window, &ps);
    WindowPixels p = d.Pixels();
    EXPECT_EQ(p.ColorAt(1, 1), Rgb32(255, 0, 0));
    EXPECT_EQ(p.ColorAt(5, 3), Rgb32(255, 0, 0));
    EXPECT_EQ(p.ColorAt(0, 0), Rgb32(0, 0, 255));
    EXPECT_EQ(p.ColorAt(6, 3), Rgb32(0, 0, 255));
    EXPECT_EQ(p.ColorAt(5, 4), Rgb32(0, 0, 255));
    EXPECT_FALSE(GetUpdateRect(d.window, nullptr));
}

TEST(Window, EraseIsReportedPendingWhenTheHandlerDeclines) {
    Desk d(32);
    PumpMessages();
    for (LRESULT handler : {LRESULT{0}, LRESULT{1}}) {
        SCOPED_TRACE(handler);
        g_erase_result = handler;
        InvalidateRect(d.window, nullptr, true);
        PAINTSTRUCT ps;
        BeginPaint(d.window, &ps);
        EXPECT_EQ(ps.fErase, handler == 0);
        EndPaint(d.window, &ps);
    }
}

TEST(Window, DestroySendsDestroyToParentThenChildrenAndDropsTheirMessages) {
    HWND screen = CreateScreen(20, 20, 32);
    HWND parent = CreateChildWindow(screen, RECT{0, 0, 20, 20}, &RecordingProc, nullptr);
    HWND child = CreateChildWindow(parent, RECT{2, 2, 10, 10}, &RecordingProc, nullptr);
    EXPECT_TRUE(IsChild(parent, child));
    EXPECT_TRUE(IsChild(screen, child));
    EXPECT_FALSE(IsChild(child, parent));
    PostMessage(child, 101, 0, 0);
    g_seen.clear();
    ASSERT_TRUE(DestroyWindow(parent));
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].window, parent);
    EXPECT_EQ(g_seen[0].message, static_cast<UINT>(WM_DESTROY));
    EXPECT_EQ(g_seen[1].window, child);
    EXPECT_FALSE(IsWindow(parent));
    EXPECT_FALSE(IsWindow(child));
    EXPECT_TRUE(IsWindow(screen));
    g_seen.clear();
    PumpMessages();
    EXPECT_TRUE(g_seen.empty());
    EXPECT_FALSE(DestroyWindow(parent));
    DestroyWindow(screen);
}

TEST(Window, MoveTakesChildrenAlongAndRepaintsTheWholeTree) {
    HWND screen = CreateScreen(40, 30, 32);
    HWND parent = CreateChildWindow(screen, RECT{0, 0, 10, 10}, &RecordingProc, nullptr);
    HWND child = CreateChildWindow(parent, RECT{2, 2, 6, 6}, &RecordingProc, nullptr);
    PumpMessages();
    const std::uint64_t changes = ScreenChangeCount(parent);
    ASSERT_TRUE(MoveWindow(parent, RECT{5, 4, 35, 24}));
    EXPECT_GT(ScreenChangeCount(parent), changes);  // the read-out moved with the window
    RECT r;
    ASSERT_TRUE(GetClientRect(parent, &r));
    EXPECT_EQ(r.right, 30);
    EXPECT_EQ(r.bottom, 20);
    for (HWND w : {parent, child}) {
        RECT update;
        ASSERT_TRUE(GetUpdateRect(w, &update));
        RECT client;
        GetClientRect(w, &client);
        EXPECT_EQ(update.right, client.right);
        EXPECT_EQ(update.bottom, client.bottom);
    }
    g_seen.clear();
    EXPECT_EQ(PumpMessages(), 2);
    ASSERT_EQ(g_seen.size(), 4u);
    EXPECT_EQ(g_seen[1].message, static_cast<UINT>(WM_ERASEBKGND));
    EXPECT_EQ(g_seen[3].message, static_cast<UINT>(WM_ERASEBKGND));

    // Painting lands at the new places: the child sits at (5 + 2, 4 + 2) on the screen.
    HDC dc = GetDC(child);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    RECT one{0, 0, 1, 1};
    FillRect(dc, &one, red);
    DeleteObject(red);
    ReleaseDC(child, dc);
    WindowPixels p;
    ASSERT_TRUE(ReadWindowPixels(screen, &p));
    EXPECT_EQ(p.ColorAt(7, 6), Rgb32(255, 0, 0));
    EXPECT_EQ(p.ColorAt(2, 2), 0u);
    ASSERT_TRUE(ReadWindowPixels(parent, &p));
    EXPECT_EQ(p.width, 30);
    EXPECT_EQ(p.ColorAt(2, 2), Rgb32(255, 0, 0));
    DestroyWindow(screen);
}

TEST(Window, MoveRefusesRootsUnknownWindowsAndBadRectangles) {
    Desk d(32);
    static char not_a_window;
    EXPECT_FALSE(MoveWindow(reinterpret_cast<HWND>(&not_a_window), RECT{0, 0, 4, 4}));
    EXPECT_FALSE(MoveWindow(d.screen, RECT{0, 0, 4, 4}));
    const RECT bad[] = {{4, 0, 4, 4}, {0, 5, 4, 4}, {0, 0, kMaxScreenSide + 1, 4}};
    for (const RECT& r : bad) {
        SCOPED_TRACE(r.right);
        EXPECT_FALSE(MoveWindow(d.window, r));
    }
    RECT client;
    GetClientRect(d.window, &client);
    EXPECT_EQ(client.right, 16);
    EXPECT_EQ(client.bottom, 12);
}

TEST(Window, DrawingThroughAContextOfADestroyedWindowDoesNothing) {
    HWND screen = CreateScreen(8, 8, 32);
    HWND w = CreateChildWindow(screen, RECT{0, 0, 8, 8}, &RecordingProc, nullptr);
    HDC dc = GetDC(w);
    DestroyWindow(w);
    HBRUSH brush = CreateSolidBrush(RGB(255, 255, 255));
    RECT r{0, 0, 8, 8};
    EXPECT_EQ(FillRect(dc, &r, brush), 0);
    DeleteObject(brush);
    EXPECT_EQ(ReleaseDC(w, dc), 1);
    WindowPixels p;
    ASSERT_TRUE(ReadWindowPixels(screen, &p));
    EXPECT_EQ(p.ColorAt(3, 3), 0u);
    DestroyWindow(screen);
}

TEST(Window, FocusMovesWithKillAndSetMessages) {
    Desk d(32);
    HWND other = CreateChildWindow(d.screen, RECT{0, 0, 2, 2}, &RecordingProc, nullptr);
    SetFocus(other);
    g_seen.clear();
    EXPECT_EQ(SetFocus(d.window), other);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].window, other);
    EXPECT_EQ(g_seen[0].message, static_cast<UINT>(WM_KILLFOCUS));
    EXPECT_EQ(g_seen[0].wparam, reinterpret_cast<WPARAM>(d.window));
    EXPECT_EQ(g_seen[1].window, d.window);
    EXPECT_EQ(g_seen[1].message, static_cast<UINT>(WM_SETFOCUS));
    EXPECT_EQ(GetFocus(), d.window);
    DestroyWindow(d.window);
    EXPECT_EQ(GetFocus(), nullptr);
}

TEST(Gdi, FillIsClippedToTheChildClientArea) {
    Desk d(32, 10, 10, RECT{2, 3, 6, 8});
    RECT client;
    GetClientRect(d.window, &client);
    EXPECT_EQ(client.right, 4);
    EXPECT_EQ(client.bottom, 5);
    d.Fill(RGB(10, 20, 30), RECT{-5, -5, 50, 50});
    WindowPixels screen;
    ReadWindowPixels(d.screen, &screen);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 10; ++x) {
            const bool inside = x >= 2 && x < 6 && y >= 3 && y < 8;
            EXPECT_EQ(screen.ColorAt(x, y), inside ? Rgb32(10, 20, 30) : 0u) << x << "," << y;
        }
    }
}

TEST(Gdi, CentredTextSitsInTheMiddleInTheContextsColours) {
    Desk d(32, 60, 20);
    HDC dc = GetDC(d.window);
    SetTextColor(dc, RGB(255, 0, 0));
    SetBkColor(dc, RGB(0, 255, 0));
    RECT r{0, 0, 60, 20};
    EXPECT_EQ(DrawText(dc, "Hi", -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE), 8);
    ReleaseDC(d.window, dc);
    // Two 6x8 cells centred: x from 24 to 36, y from 6 to 14.
    WindowPixels p = d.Pixels();
    int ink = 0;
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 60; ++x) {
            const bool cell = x >= 24 && x < 36 && y >= 6 && y < 14;
            const std::uint32_t c = p.ColorAt(x, y);
            if (cell) {
                EXPECT_TRUE(c == Rgb32(255, 0, 0) || c == Rgb32(0, 255, 0)) << x << "," << y;
            } else {
                EXPECT_EQ(c, 0u) << x << "," << y;
            }
            ink += c == Rgb32(255, 0, 0);
        }
    }
    // 'H' has 17 dots, 'i' 9.
    EXPECT_EQ(ink, 26);
    EXPECT_EQ(p.ColorAt(24, 6), Rgb32(255, 0, 0));  // top-left dot of 'H'
}

TEST(Gdi, TransparentTextLeavesTheBackground) {
    Desk d(32, 12, 8);
    d.Fill(RGB(0, 0, 255), RECT{0, 0, 12, 8});
    HDC dc = GetDC(d.window);
    SetBkMode(dc, TRANSPARENT);
    RECT r{0, 0, 12, 8};
    DrawText(dc, "-", 1, &r, DT_SINGLELINE);
    ReleaseDC(d.window, dc);
    WindowPixels p = d.Pixels();
    EXPECT_EQ(p.ColorAt(0, 3), 0u);                // the dash, black
    EXPECT_EQ(p.ColorAt(0, 0), Rgb32(0, 0, 255));  // no opaque cell
}

TEST(Gdi, DibRowsAreBottomUpAndClipped) {
    Desk d(32, 4, 3);
    Dib dib(5, 4, 24);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            std::uint8_t* p = dib.Row(y) + x * 3;
            p[0] = static_cast<std::uint8_t>(x);  // blue: column
            p[1] = static_cast<std::uint8_t>(y);  // green: row from the top
            p[2] = 200;
        }
    HDC dc = GetDC(d.window);
    EXPECT_EQ(SetDIBitsToDevice(dc, 1, 0, 5, 4, 0, 0, 0, 4, dib.bits, dib.Info(), DIB_RGB_COLORS),
              4);
    ReleaseDC(d.window, dc);
    WindowPixels p = d.Pixels();
    EXPECT_EQ(p.ColorAt(0, 0), 0u);  // left of the destination
    for (int y = 0; y < 3; ++y)
        for (int x = 1; x < 4; ++x)
            EXPECT_EQ(p.ColorAt(x, y), Rgb32(200, y, x - 1)) << x << "," << y;
}

// True-colour rows of every width up to a few vectors, placed at odd offsets and cut at both
// edges of the window, land pixel for pixel (the wide copy and its tail agree).
TEST(Gdi, TrueColourDibsOfAnyWidthAndOffsetLandExactly) {
    constexpr int kScreen = 24;
    for (int width = 1; width <= 21; ++width) {
        for (int x_dest : {-3, 0, 5, kScreen - width / 2}) {
            SCOPED_TRACE(std::to_string(width) + " at " + std::to_string(x_dest));
            Desk d(32, kScreen, 2);
            Dib dib(width, 2, 24);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < width; ++x) {
                    std::uint8_t* p = dib.Row(y) + x * 3;
                    p[0] = static_cast<std::uint8_t>(x + 1);
                    p[1] = static_cast<std::uint8_t>(100 + y);
                    p[2] = static_cast<std::uint8_t>(250 - x);
                }
            HDC dc = GetDC(d.window);
            SetDIBitsToDevice(dc, x_dest, 0, static_cast<std::uint32_t>(width), 2, 0, 0, 0, 2,
                              dib.bits, dib.Info(), DIB_RGB_COLORS);
            ReleaseDC(d.window, dc);
            WindowPixels p = d.Pixels();
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < kScreen; ++x) {
                    const int c = x - x_dest;
                    const std::uint32_t want =
                        c >= 0 && c < width ? Rgb32(250 - c, 100 + y, c + 1) : 0u;
                    ASSERT_EQ(p.ColorAt(x, y), want) << x << "," << y;
                }
        }
    }
}

TEST(Gdi, DibSourceOriginCountsRowsFromTheBottom) {
    Desk d(32, 4, 4);
    std::vector<RGBQUAD> table(256);
    for (int i = 0; i < 256; ++i) table[i] = RGBQUAD{0, static_cast<std::uint8_t>(i), 0, 0};
    Dib dib(4, 4, 8, table);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) dib.Row(y)[x] = static_cast<std::uint8_t>(10 * y + x);
    HDC dc = GetDC(d.window);
    // The 2x2 block whose lower-left corner is column 1, bottom row 1: picture rows 1-2.
    SetDIBitsToDevice(dc, 0, 0, 2, 2, 1, 1, 0, 4, dib.bits, dib.Info(), DIB_RGB_COLORS);
    ReleaseDC(d.window, dc);
    WindowPixels p = d.Pixels();
    EXPECT_EQ(p.ColorAt(0, 0), Rgb32(0, 11, 0));
    EXPECT_EQ(p.ColorAt(1, 0), Rgb32(0, 12, 0));
    EXPECT_EQ(p.ColorAt(0, 1), Rgb32(0, 21, 0));
    EXPECT_EQ(p.ColorAt(2, 0), 0u);
}

TEST(Gdi, OneBitDibsStartAtTheSourceBit) {
    Desk d(32, 8, 1);
    Dib dib(16, 1, 1, {RGBQUAD{0, 0, 0, 0}, RGBQUAD{255, 255, 255, 0}});
    dib.Row(0)[0] = 0x0F;  // columns 4-7 white
    dib.Row(0)[1] = 0xF0;  // columns 8-11 white
    HDC dc = GetDC(d.window);
    SetDIBitsToDevice(dc, 0, 0, 8, 1, 4, 0, 0, 1, dib.bits, dib.Info(), DIB_RGB_COLORS);
    ReleaseDC(d.window, dc);
    WindowPixels p = d.Pixels();
    for (int x = 0; x < 8; ++x) EXPECT_EQ(p.ColorAt(x, 0), Rgb32(255, 255, 255)) << x;
}

TEST(Gdi, UnsupportedDibsAreRefused) {
    Desk d(32, 4, 4);
    HDC dc = GetDC(d.window);
    for (int depth : {4, 16, 32}) {
        SCOPED_TRACE(depth);
        Dib dib(4, 4, depth, depth == 4 ? std::vector<RGBQUAD>(16) : std::vector<RGBQUAD>{});
        EXPECT_EQ(
            SetDIBitsToDevice(dc, 0, 0, 4, 4, 0, 0, 0, 4, dib.bits, dib.Info(), DIB_RGB_COLORS), 0);
    }
    Dib dib(4, 4, 24);
    EXPECT_EQ(SetDIBitsToDevice(dc, 0, 0, 4, 4, 0, 0, 0, 4, dib.bits, dib.Info(), 1), 0);
    ReleaseDC(d.window, dc);
}

TEST(Palette, ForegroundRealisationTakesFreeEntriesAndReusesStaticOnes) {
    Desk d(8, 4, 1);
    LOGPALETTE log{kPaletteVersion, 3, {}};
    log.palPalEntry[0] = {10, 20, 30, 0};
    log.palPalEntry[1] = {128, 128, 128, 0};  // a static colour
    log.palPalEntry[2] = {200, 100, 50, 0};
    HPALETTE pal = CreatePalette(&log);
    ASSERT_NE(pal, nullptr);
    HDC dc = GetDC(d.window);
    HPALETTE old = SelectPalette(dc, pal, false);
    EXPECT_EQ(old, GetStockObject(DEFAULT_PALETTE));
    EXPECT_EQ(RealizePalette(dc), 2u);
    Dib dib(3, 1, 8, {RGBQUAD{30, 20, 10, 0}, RGBQUAD{128, 128, 128, 0}, RGBQUAD{50, 100, 200, 0}});
    dib.Row(0)[0] = 0;
    dib.Row(0)[1] = 1;
    dib.Row(0)[2] = 2;
    SetDIBitsToDevice(dc, 0, 0, 3, 1, 0, 0, 0, 1, dib.bits, dib.Info(), DIB_RGB_COLORS);
    SelectPalette(dc, old, false);
    ReleaseDC(d.window, dc);
    WindowPixels p = d.Pixels();
    EXPECT_EQ(p.pixels[0], 10);   // first free entry
    EXPECT_EQ(p.pixels[1], 248);  // the static grey
    EXPECT_EQ(p.pixels[2], 11);
    EXPECT_EQ(p.ColorAt(0, 0), Rgb32(10, 20, 30));
    EXPECT_EQ(p.ColorAt(2, 0), Rgb32(200, 100, 50));
    EXPECT_TRUE(DeleteObject(pal));
    EXPECT_FALSE(DeleteObject(GetStockObject(DEFAULT_PALETTE)));
}

TEST(Palette, BackgroundPaletteKeepsTheForegroundColours) {
    Desk d(8, 2, 1);
    LOGPALETTE fore{kPaletteVersion, 1, {}};
    fore.palPalEntry[0] = {1, 2, 3, 0};
    LOGPALETTE back{kPaletteVersion, 1, {}};
    back.palPalEntry[0] = {250, 2, 3, 0};
    HPALETTE pf = CreatePalette(&fore);
    HPALETTE pb = CreatePalette(&back);
    HDC dc = GetDC(d.window);
    SelectPalette(dc, pf, false);
    RealizePalette(dc);
    SelectPalette(dc, pb, true);
    EXPECT_EQ(RealizePalette(dc), 1u);  // takes the next free entry, not the first
    WindowPixels p = d.Pixels();
    EXPECT_EQ(p.palette[10].red, 1);
    EXPECT_EQ(p.palette[11].red, 250);
    SelectPalette(dc, pf, false);
    RealizePalette(dc);  // foreground again: the free entries start over
    p = d.Pixels();
    EXPECT_EQ(p.palette[10].red, 1);
    ReleaseDC(d.window, dc);
    DeleteObject(pf);
    DeleteObject(pb);
}

namespace {

// One frame the way the display paints a reduced picture: a logical palette of the colour
// table's colours, selected and realised in the foreground, a one-row DIB whose pixel i is table
// entry i, the previous palette put back. Gives the screen's indices of the row.
std::vector<std::uint8_t> PaintFrame(const Desk& d, const std::vector<RGBQUAD>& table) {
    LOGPALETTE log{kPaletteVersion, static_cast<std::uint16_t>(table.size()), {}};
    for (std::size_t i = 0; i < table.size(); ++i)
        log.palPalEntry[i] = {table[i].rgbRed, table[i].rgbGreen, table[i].rgbBlue, 0};
    HPALETTE pal = CreatePalette(&log);
    HDC dc = GetDC(d.window);
    HPALETTE old = SelectPalette(dc, pal, false);
    RealizePalette(dc);
    const int n = static_cast<int>(table.size());
    Dib dib(n, 1, 8, table);
    for (int i = 0; i < n; ++i) dib.Row(0)[i] = static_cast<std::uint8_t>(i);
    SetDIBitsToDevice(dc, 0, 0, static_cast<std::uint32_t>(n), 1, 0, 0, 0, 1, dib.bits, dib.Info(),
                      DIB_RGB_COLORS);
    SelectPalette(dc, old, false);
    ReleaseDC(d.window, dc);
    DeleteObject(pal);
    const WindowPixels p = d.Pixels();
    return std::vector<std::uint8_t>(p.pixels.begin(), p.pixels.begin() + n);
}

}  // namespace

TEST(Palette, RepeatedAndChangingFramePalettesMapAsOnAFreshScreen) {
    // a: two colours of their own around a static one; b: other colours, then a with one changed.
    const std::vector<RGBQUAD> a = {{30, 20, 10, 0}, {128, 128, 128, 0}, {50, 100, 200, 0}};
    const std::vector<RGBQUAD> b = {{1, 2, 3, 0}, {4, 5, 6, 0}, {7, 8, 9, 0}, {50, 100, 200, 0}};
    const std::vector<RGBQUAD> a2 = [&a] {
        std::vector<RGBQUAD> v = a;
        v[0].rgbRed = 31;
        return v;
    }();
    Desk fresh_a(8, 300, 1), fresh_b(8, 300, 1), fresh_a2(8, 300, 1);
    const auto want_a = PaintFrame(fresh_a, a);
    const auto want_b = PaintFrame(fresh_b, b);
    const auto want_a2 = PaintFrame(fresh_a2, a2);
    EXPECT_EQ(want_a, (std::vector<std::uint8_t>{10, 248, 11}));
    Desk d(8, 300, 1);
    for (const auto* frame : {&a, &a, &b, &b, &a, &a2, &a2, &a}) {
        const auto& want = frame == &a ? want_a : frame == &b ? want_b : want_a2;
        EXPECT_EQ(PaintFrame(d, *frame), want);
    }
    // A table that lands on the system palette entry for entry (the static colours where the
    // screen keeps them, colours of its own between) is painted index for index.
    PALETTEENTRY stock[kStockPaletteEntries];
    GetPaletteEntries(GetStockObject(DEFAULT_PALETTE), 0, kStockPaletteEntries, stock);
    std::vector<RGBQUAD> whole(256);
    for (int i = 0; i < 256; ++i) {
        const int s = i < 10 ? i : i >= 246 ? i - 236 : -1;
        whole[static_cast<std::size_t>(i)] =
            s >= 0 ? RGBQUAD{stock[s].peBlue, stock[s].peGreen, stock[s].peRed, 0}
                   : RGBQUAD{static_cast<std::uint8_t>(i), 1, 2, 0};
    }
    for (int frame = 0; frame < 2; ++frame) {
        const auto got = PaintFrame(d, whole);
        for (int i = 0; i < 256; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], i) << i;
    }
    EXPECT_EQ(PaintFrame(d, a), want_a);
    // Realised again in the background, a palette finds its colours already in the system
    // palette the second time.
    LOGPALETTE log{kPaletteVersion, 2, {}};
    log.palPalEntry[0] = {90, 91, 92, 0};
    log.palPalEntry[1] = {93, 94, 95, 0};
    HPALETTE back = CreatePalette(&log);
    HDC dc = GetDC(d.window);
    SelectPalette(dc, back, true);
    EXPECT_EQ(RealizePalette(dc), 2u);
    EXPECT_EQ(RealizePalette(dc), 0u);
    SelectPalette(dc, GetStockObject(DEFAULT_PALETTE), false);
    ReleaseDC(d.window, dc);
    DeleteObject(back);
}

// Once a foreground palette has taken every free entry, a background palette's colours go to
// the first entry of the system palette nearest them: the first of equal colours, the lower of
// two at equal distance, static or taken, below or above the free entries. Compared with a plain
// search over the system palette the screen shows.
TEST(Palette, ColoursPastTheFreeEntriesTakeTheFirstNearestEntry) {
    std::mt19937 random(29);
    auto byte = [&random]() { return static_cast<std::uint8_t>(random()); };
    Desk d(8, 256, 1);
    // Colours for all 236 free entries and two more: two pairs two steps of blue apart (one
    // pair in each order), a static colour (white) and one colour twice.
    std::vector<RGBQUAD> fore(238);
    for (RGBQUAD& q : fore) q = RGBQUAD{byte(), byte(), byte(), 0};
    fore[3] = {100, 100, 100, 0}, fore[200] = {100, 100, 102, 0};
    fore[5] = {40, 50, 62, 0}, fore[150] = {40, 50, 60, 0};
    fore[7] = {255, 255, 255, 0};
    fore[9] = fore[8];
    std::vector<RGBQUAD> back = {{100, 100, 101, 0}, {40, 50, 61, 0}, fore[8],        fore[9],
                                 {255, 255, 254, 0}, {0, 0, 1, 0},    fore[150],      {1, 0, 0, 0}};
    for (int i = 0; i < 120; ++i) back.push_back(RGBQUAD{byte(), byte(), byte(), 0});
    PaintFrame(d, fore);
    const WindowPixels system = d.Pixels();
    LOGPALETTE log{kPaletteVersion, static_cast<std::uint16_t>(back.size()), {}};
    for (std::size_t i = 0; i < back.size(); ++i)
        log.palPalEntry[i] = {back[i].rgbRed, back[i].rgbGreen, back[i].rgbBlue, 0};
    HPALETTE pal = CreatePalette(&log);
    HDC dc = GetDC(d.window);
    SelectPalette(dc, pal, true);
    EXPECT_EQ(RealizePalette(dc), 0u);
    const int n = static_cast<int>(back.size());
    Dib dib(n, 1, 8, back);
    for (int i = 0; i < n; ++i) dib.Row(0)[i] = static_cast<std::uint8_t>(i);
    SetDIBitsToDevice(dc, 0, 0, static_cast<std::uint32_t>(n), 1, 0, 0, 0, 1, dib.bits, dib.Info(),
                      DIB_RGB_COLORS);
    SelectPalette(dc, GetStockObject(DEFAULT_PALETTE), false);
    ReleaseDC(d.window, dc);
    DeleteObject(pal);
    const WindowPixels p = d.Pixels();
    ASSERT_EQ(p.palette.size(), 256u);
    for (int i = 0; i < n; ++i) {
        const RGBQUAD& c = back[static_cast<std::size_t>(i)];
        int want = 0, least = INT_MAX;
        for (int k = 0; k < 256; ++k) {
            const ScreenColor& e = system.palette[static_cast<std::size_t>(k)];
            const int dr = e.red - c.rgbRed, dg = e.green - c.rgbGreen, db = e.blue - c.rgbBlue;
            if (dr * dr + dg * dg + db * db < least) least = dr * dr + dg * dg + db * db, want = k;
        }
        EXPECT_EQ(p.pixels[static_cast<std::size_t>(i)], want) << i;
    }
    // The cases meant: the lower of two at equal distance, and white's static entry.
    EXPECT_EQ(p.pixels[0], 13);
    EXPECT_EQ(p.pixels[1], 15);
    EXPECT_EQ(p.pixels[4], 255);
}

TEST(Palette, FourBitScreensMapEveryColourToTheNearestOfSixteen) {
    Desk d(4, 3, 1);
    LOGPALETTE log{kPaletteVersion, 2, {}};
    log.palPalEntry[0] = {250, 5, 5, 0};
    log.palPalEntry[1] = {100, 100, 110, 0};
    HPALETTE pal = CreatePalette(&log);
    HDC dc = GetDC(d.window);
    SelectPalette(dc, pal, false);
    EXPECT_EQ(RealizePalette(dc), 0u);
    Dib dib(2, 1, 8, {RGBQUAD{5, 5, 250, 0}, RGBQUAD{110, 100, 100, 0}});
    dib.Row(0)[1] = 1;
    SetDIBitsToDevice(dc, 0, 0, 2, 1, 0, 0, 0, 1, dib.bits, dib.Info(), DIB_RGB_COLORS);
    ReleaseDC(d.window, dc);
    WindowPixels p = d.Pixels();
    EXPECT_EQ(p.ColorAt(0, 0), Rgb32(255, 0, 0));
    EXPECT_EQ(p.ColorAt(1, 0), Rgb32(128, 128, 128));
    DeleteObject(pal);
}

TEST(Palette, BrushesOnPaletteScreensTakeTheNearestStaticColour) {
    for (int depth : {8, 4}) {
        SCOPED_TRACE(depth);
        Desk d(depth, 2, 2);
        d.Fill(RGB(120, 130, 125), RECT{0, 0, 2, 2});
        EXPECT_EQ(d.Pixels().ColorAt(1, 1), Rgb32(128, 128, 128));
    }
}

TEST(Palette, CreateRefusesBadVersionsAndCounts) {
    LOGPALETTE log{kPaletteVersion, 0, {}};
    EXPECT_EQ(CreatePalette(&log), nullptr);
    log.palNumEntries = 257;
    EXPECT_EQ(CreatePalette(&log), nullptr);
    log.palNumEntries = 1;
    log.palVersion = 0x200;
    EXPECT_EQ(CreatePalette(&log), nullptr);
}

TEST(Gdi, TranslatesEachKindOfContainerColour) {
    const struct {
        OLE_COLOR in;
        HRESULT hr;
        COLORREF out;
    } cases[] = {
        {RGB(1, 2, 3), S_OK, RGB(1, 2, 3)},
        {0x02000000u | RGB(4, 5, 6), S_OK, RGB(4, 5, 6)},
        {0x01000000u | 12, S_OK, RGB(128, 128, 128)},  // stock palette entry 12
        {0x01000000u | 20, E_INVALIDARG, 0},
        {0x80000000u | 5, S_OK, RGB(255, 255, 255)},   // window background
        {0x80000000u | 15, S_OK, RGB(192, 192, 192)},  // button face
        {0x80000000u | 99, E_INVALIDARG, 0},
        {0x40000000u, E_INVALIDARG, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.in);
        COLORREF out = 0;
        EXPECT_EQ(OleTranslateColor(c.in, nullptr, &out), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(out, c.out);
        }
    }
}

TEST(Screen, ChangeCountRisesWithEveryPaint) {
    Desk d(32, 4, 4);
    const std::uint64_t before = ScreenChangeCount(d.window);
    d.Fill(RGB(1, 1, 1), RECT{0, 0, 1, 1});
    const std::uint64_t after = ScreenChangeCount(d.window);
    EXPECT_GT(after, before);
    d.Fill(RGB(1, 1, 1), RECT{10, 10, 20, 20});  // entirely clipped
    EXPECT_EQ(ScreenChangeCount(d.window), after);
}

TEST(Screen, WorkerAndContainerPaintTheSameWindowAtOnce) {
    Desk d(32, 64, 48);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Dib dib(64, 48, 24);
        std::memset(dib.bits, 0x80, dib.block.size() - 40);
        for (int i = 0; i < 200; ++i) {
            HDC dc = GetDC(d.window);
            SetDIBitsToDevice(dc, 0, 0, 64, 48, 0, 0, 0, 48, dib.bits, dib.Info(), DIB_RGB_COLORS);
            ReleaseDC(d.window, dc);
        }
        InvalidateRect(d.window, nullptr, true);
        done = true;
    });
    int reads = 0;
    while (!done || reads < 10) {
        d.Fill(RGB(0, 0, 255), RECT{0, 0, 64, 48});
        InvalidateRect(d.window, nullptr, true);
        PumpMessages();
        WindowPixels p = d.Pixels();
        const std::uint32_t c = p.ColorAt(10, 10);
        EXPECT_TRUE(c == Rgb32(0, 0, 255) || c == Rgb32(128, 128, 128));
        ++reads;
    }
    worker.join();
}
