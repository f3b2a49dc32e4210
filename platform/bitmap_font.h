// The built-in bitmap font of the drawing layer: 5x7 glyphs for printable ASCII in a 6x8 cell.
// Characters outside 0x20..0x7E draw as '?'. Placement and colour are the caller's.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kCellWidth = 6;   // glyph plus one column of spacing
inline constexpr int kCellHeight = 8;  // glyph plus one row below

// Seven rows, top first; bit 4 is the leftmost column.
using Glyph = std::array<std::uint8_t, kGlyphHeight>;
const Glyph& GlyphFor(char c);

}  // namespace platform
