// Handles and rectangles of the window system and graphics device interface, declared apart from
// the layer that implements them so that the control's record and the embedding interfaces can
// hold them.
#pragma once

#include <cstdint>

namespace platform {
struct WindowObject;
struct DeviceContextObject;
struct PaletteObject;
using HWND = WindowObject*;
using HDC = DeviceContextObject*;
using HPALETTE = PaletteObject*;

struct RECT {
    std::int32_t left;
    std::int32_t top;
    std::int32_t right;   // exclusive
    std::int32_t bottom;  // exclusive
};
}  // namespace platform
