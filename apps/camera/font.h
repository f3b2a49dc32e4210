// A tiny 5x7 bitmap font for the test picture: digits, upper-case letters and a few signs.
// Characters without a glyph draw as blanks; lower-case letters draw as their capitals.
// Drawing clips at the picture edges; colours and layout are the caller's.
#pragma once

#include <cstdint>
#include <string_view>

namespace camera {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kGlyphAdvance = 6;  // glyph plus one column of space

struct Rgb {
    std::uint8_t r, g, b;
};

// Draws text into a packed RGB picture with its top-left corner at (x, y), each font pixel
// a scale x scale square.
void DrawText(std::uint8_t* rgb, int width, int height, int x, int y, int scale,
              std::string_view text, Rgb colour);

}  // namespace camera
