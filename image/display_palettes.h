// The fixed palettes that pictures are reduced to on palette displays, the ordered-dither matrix
// and the index maps into both palettes. The 256-colour palette keeps the twenty static colours
// where a palette screen has them and fills the rest with a 6x6x6 colour cube and twenty greys;
// the 16-colour one is the static colours of a 4-bit screen. Reductions live in dither.h.
#pragma once

#include <array>
#include <cstdint>

#include "image/image_buffer.h"

namespace image {

inline constexpr int kFixedColors256 = 256;
inline constexpr int kFixedColors16 = 16;

// Entries 0-9 and 246-255: the stock default palette's entries 0-9 and 10-19; entries 10-225:
// the colour cube, red outermost and blue innermost, each level running 255 down to 0;
// entries 226-245: greys 16, 28, ..., 244.
const std::array<PaletteEntry, kFixedColors256>& FixedPalette256();
// The stock default palette's entries 0-7 and 12-19.
const std::array<PaletteEntry, kFixedColors16>& FixedPalette16();

// Cube levels 0..5 stand for 0, 51, 102, 153, 204, 255.
inline constexpr int kCubeLevels = 6;
inline constexpr int kCubeStep = 51;
inline constexpr int kCubeFirstEntry = 10;
inline constexpr int kCubeLastEntry = 225;
inline constexpr int kGreyFirstEntry = 226;
inline constexpr int kGreyFirstLevel = 16;
inline constexpr int kGreyStep = 12;
constexpr int CubeIndex(int blue, int green, int red) {
    return kCubeLastEntry - (blue + kCubeLevels * green + kCubeLevels * kCubeLevels * red);
}

// Corner colours into the 16-colour palette, by bit 0 = blue, bit 1 = green, bit 2 = red.
inline constexpr std::array<std::uint8_t, 8> kCornerIndex = {0, 12, 10, 14, 9, 13, 11, 15};
constexpr int CornerIndex(bool blue, bool green, bool red) {
    return kCornerIndex[(blue ? 1 : 0) | (green ? 2 : 0) | (red ? 4 : 0)];
}

// The ordered-dither thresholds, rows top to bottom.
inline constexpr int kDitherSize = 8;
inline constexpr std::array<std::array<std::uint8_t, kDitherSize>, kDitherSize> kDitherMatrix = {{
    {0, 38, 9, 47, 2, 40, 11, 50},
    {25, 12, 35, 22, 27, 15, 37, 24},
    {6, 44, 3, 41, 8, 47, 5, 43},
    {31, 19, 28, 15, 34, 21, 31, 18},
    {1, 39, 11, 49, 0, 39, 10, 48},
    {27, 14, 36, 23, 26, 13, 35, 23},
    {7, 46, 4, 43, 7, 45, 3, 42},
    {33, 20, 30, 17, 32, 19, 29, 16},
}};
// On the 16-colour palette a channel is compared with the matrix value times this.
inline constexpr int kDitherScale16 = 5;

}  // namespace image
