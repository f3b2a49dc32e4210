// The window system on in-memory screens: a screen of 32, 8 or 4 bits per pixel is a root window
// with child windows, each with a client rectangle and a window procedure; messages are sent
// directly or posted to the queue of the window's thread and pumped there. The hard part is that
// workers paint and invalidate while the container thread pumps: the layer locks itself, and a
// handle it did not make (or that is gone) is refused, never dereferenced. Drawing is gdi.h's.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/window_types.h"

namespace platform {

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Messages the layer delivers.
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_SETFOCUS = 0x0007;    // wParam: the window that lost the focus
inline constexpr UINT WM_KILLFOCUS = 0x0008;   // wParam: the window that gets the focus
inline constexpr UINT WM_PAINT = 0x000F;       // wParam: a device context to draw into, or 0
inline constexpr UINT WM_ERASEBKGND = 0x0014;  // wParam: the device context of the paint

using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Screen limits: depths the layer emulates and the largest side it allocates.
inline constexpr int kMaxScreenSide = 4096;
bool IsScreenDepth(int bits_per_pixel);  // 32, 8 or 4

// A new screen, returned as its root window (client area = the whole screen, painted black).
// Null for an unsupported depth or a side outside 1..kMaxScreenSide. Destroy it with
// DestroyWindow once its children are gone.
HWND CreateScreen(int width, int height, int bits_per_pixel);

// A child window whose client area is `rect` in the parent's client coordinates. It belongs to
// the calling thread: its posted messages are pumped there. The new window starts invalid with
// erasing requested, as a window does when it is first shown. Null for an unknown parent, a
// null procedure or an empty rectangle.
HWND CreateChildWindow(HWND parent, const RECT& rect, WNDPROC procedure, void* user_data);

// Moves a child window to `rect` in the parent's client coordinates and gives it that size; its
// children move with it. The whole window becomes invalid with erasing requested, as after a
// resize with repaint. False for an unknown window, a screen's root, or a rectangle that
// CreateChildWindow would refuse.
bool MoveWindow(HWND window, const RECT& rect);

// Sends WM_DESTROY to the window and then to its children, then removes them all; their
// pending messages are dropped. False for an unknown window or one already being destroyed.
bool DestroyWindow(HWND window);

bool IsWindow(HWND window);
HWND GetParent(HWND window);             // null for a screen's root or an unknown window
bool IsChild(HWND parent, HWND window);  // a descendant of parent, at any depth
void* GetWindowUserData(HWND window);
bool GetClientRect(HWND window, RECT* rect);  // (0, 0, width, height)

// Calls the window procedure on the calling thread. 0 for an unknown window.
LRESULT SendMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Queues the message for the window's thread. Safe from any thread.
bool PostMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Dispatches the calling thread's posted messages (at most kMaxMessagesPerPump, including those
// posted meanwhile), then sends WM_PAINT once to each of its windows with an invalid area.
// Returns the number of messages delivered.
inline constexpr int kMaxMessagesPerPump = 10000;
int PumpMessages();

// Default handling: WM_PAINT begins and ends a paint (validating the window); everything else
// is ignored with result 0 (windows of this layer have no class background to erase).
LRESULT DefWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Adds `rect` (client coordinates; null: the whole client area) to the window's invalid area
// and, when `erase` is set, asks for the background to be erased at the next paint. Safe from
// any thread.
bool InvalidateRect(HWND window, const RECT* rect, bool erase);
// The invalid area's bounding rectangle; false (rect emptied) when nothing is invalid.
bool GetUpdateRect(HWND window, RECT* rect);

struct PAINTSTRUCT {
    HDC hdc;
    bool fErase;  // the background still needs erasing: WM_ERASEBKGND returned 0
    RECT rcPaint;
};
// Takes the invalid area and validates the window; sends WM_ERASEBKGND first when erasing was
// requested. The device context is clipped to the area taken. Pair with EndPaint.
HDC BeginPaint(HWND window, PAINTSTRUCT* paint);
bool EndPaint(HWND window, const PAINTSTRUCT* paint);

// Moves the keyboard focus: WM_KILLFOCUS to the old window, WM_SETFOCUS to the new one.
// Returns the window that had it.
HWND SetFocus(HWND window);
HWND GetFocus();

// --- reading the screen back (present, snapshot, tests, viewers) ---

struct ScreenColor {
    std::uint8_t blue;
    std::uint8_t green;
    std::uint8_t red;
    std::uint8_t reserved;
};

// The pixels of a window's client area, top row first. 32-bit screens give 24 bits per pixel
// (blue, green, red bytes); palette screens give one system-palette index per byte, with the
// system palette as it stands (256 entries on 8-bit screens, 16 on 4-bit ones).
struct WindowPixels {
    int width = 0;
    int height = 0;
    int bits_per_pixel = 0;  // 24, 8 or 4
    std::vector<std::uint8_t> pixels;
    std::vector<ScreenColor> palette;
    std::uint64_t change_count = 0;  // the screen's change count when read

    // The colour at (x, y) as 0x00RRGGBB; the caller keeps x and y inside the picture.
    std::uint32_t ColorAt(int x, int y) const;
};

// A copy of the client pixels; parts of the client area beyond the screen read as black.
bool ReadWindowPixels(HWND window, WindowPixels* pixels);

// Rises whenever a pixel or the system palette of the window's screen may have changed.
std::uint64_t ScreenChangeCount(HWND window);

}  // namespace platform
