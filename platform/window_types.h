// Handles of the window system and graphics device interface, declared apart from the layer that
// implements them so that the control's record can hold them.
#pragma once

namespace platform {
struct WindowObject;
struct DeviceContextObject;
struct PaletteObject;
using HWND = WindowObject*;
using HDC = DeviceContextObject*;
using HPALETTE = PaletteObject*;
}  // namespace platform
