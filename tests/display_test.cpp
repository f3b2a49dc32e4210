// Display: the fixed palettes, the three reductions worked through on small pictures, and
// DisplayImage on 32-, 8- and 4-bit screens for every display mode, with offsets and clipping.
#include "image/display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <map>
#include <vector>
#include <random>

#include "image/display_palettes.h"
#include "image/dither.h"
#include "image/median_cut.h"
#include "support/test_screen.h"

using namespace image;
using testsupport::MakeGreyPicture;
using testsupport::MakePicture24;
using testsupport::Rgb;
using testsupport::TestWindow;

namespace {

Rgb ColorOfEntry(const PaletteEntry& e) {
    return Rgb{e.Red, e.Green, e.Blue};
}

std::uint8_t IndexAt(const ImageBuffer& picture, int x, int y) {
    return picture
        .Bits[PixelOffset(picture, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y))];
}

// The first pixel (x,y) where the mapped picture's index is not want's (row by row from the
// top), or "" when there is none.
template <typename Index>
std::string FirstDifference(const ImageBuffer& out, int w, int h, const std::vector<Index>& want) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int expected = want[static_cast<std::size_t>(y * w + x)];
            if (IndexAt(out, x, y) != expected)
                return testing::PrintToString(x) + "," + testing::PrintToString(y) + ": " +
                       testing::PrintToString(int{IndexAt(out, x, y)}) + " for " +
                       testing::PrintToString(expected);
        }
    return "";
}

struct Reduced {
    explicit Reduced(int w, int h) { AllocImage(&image, w, h, 8); }
    ~Reduced() { FreeImage(&image); }
    ImageBuffer image;
};

// A picture that every reduction treats differently: a colour gradient.
Rgb Gradient(int x, int y) {
    return Rgb{static_cast<std::uint8_t>(x * 15), static_cast<std::uint8_t>(y * 30),
               static_cast<std::uint8_t>(255 - x * 10)};
}

}  // namespace

TEST(FixedPalette, TwoHundredFiftySixEntriesKeepStaticColoursCubeAndGreys) {
    const auto& p = FixedPalette256();
    EXPECT_EQ(ColorOfEntry(p[0]), (Rgb{0, 0, 0}));
    EXPECT_EQ(ColorOfEntry(p[7]), (Rgb{192, 192, 192}));
    EXPECT_EQ(ColorOfEntry(p[9]), (Rgb{166, 202, 240}));
    EXPECT_EQ(ColorOfEntry(p[10]), (Rgb{255, 255, 255}));  // cube starts with white
    EXPECT_EQ(ColorOfEntry(p[11]), (Rgb{255, 255, 204}));  // blue steps down first
    EXPECT_EQ(ColorOfEntry(p[16]), (Rgb{255, 204, 255}));  // then green
    EXPECT_EQ(ColorOfEntry(p[225]), (Rgb{0, 0, 0}));
    EXPECT_EQ(ColorOfEntry(p[226]), (Rgb{16, 16, 16}));
    EXPECT_EQ(ColorOfEntry(p[245]), (Rgb{244, 244, 244}));
    EXPECT_EQ(ColorOfEntry(p[246]), (Rgb{255, 251, 240}));  // stock entry 10
    EXPECT_EQ(ColorOfEntry(p[248]), (Rgb{128, 128, 128}));  // stock entry 12
    EXPECT_EQ(ColorOfEntry(p[255]), (Rgb{255, 255, 255}));
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                ASSERT_EQ(ColorOfEntry(p[static_cast<std::size_t>(CubeIndex(b, g, r))]),
                          (Rgb{static_cast<std::uint8_t>(51 * r), static_cast<std::uint8_t>(51 * g),
                               static_cast<std::uint8_t>(51 * b)}));
}

TEST(FixedPalette, SixteenEntriesAndTheCornerMap) {
    const auto& p = FixedPalette16();
    EXPECT_EQ(ColorOfEntry(p[7]), (Rgb{192, 192, 192}));
    EXPECT_EQ(ColorOfEntry(p[8]), (Rgb{128, 128, 128}));  // stock entry 12
    for (int corner = 0; corner < 8; ++corner) {
        SCOPED_TRACE(corner);
        const bool b = corner & 1, g = corner & 2, r = corner & 4;
        EXPECT_EQ(
            ColorOfEntry(p[static_cast<std::size_t>(CornerIndex(b, g, r))]),
            (Rgb{static_cast<std::uint8_t>(r ? 255 : 0), static_cast<std::uint8_t>(g ? 255 : 0),
                 static_cast<std::uint8_t>(b ? 255 : 0)}));
    }
}

TEST(OrderedDither, CubeLevelsFollowTheMatrixFromTheRowsEnd) {
    // Grey 25: level 0 remainder 25, so a pixel goes up to 51 where the threshold is below 25.
    // Width 5: the matrix column is (5 - 1 - x) mod 8.
    ImageBuffer picture = MakePicture24(5, 9, [](int, int) { return Rgb{25, 25, 25}; });
    Reduced out(5, 9);
    ASSERT_EQ(DitherToFixedPalette(&picture, &out.image, FixedPalette::k256), kImageOk);
    EXPECT_EQ(out.image.ColorCount, 256);
    EXPECT_EQ(out.image.Flags & kGreyScale, 0u);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 5; ++x) {
            const int threshold = kDitherMatrix[static_cast<std::size_t>(y % 8)]
                                               [static_cast<std::size_t>((5 - 1 - x) % 8)];
            const int level = threshold < 25 ? 1 : 0;
            EXPECT_EQ(IndexAt(out.image, x, y), CubeIndex(level, level, level)) << x << "," << y;
        }
    FreeImage(&picture);
}

TEST(OrderedDither, SixteenColoursCompareWithFiveTimesTheMatrix) {
    // Red 100 is on where 5 x threshold < 100, green 250 always (5 x 50 = 250 is not below),
    // blue 0 never.
    ImageBuffer picture = MakePicture24(8, 8, [](int, int) { return Rgb{100, 250, 0}; });
    Reduced out(8, 8);
    ASSERT_EQ(DitherToFixedPalette(&picture, &out.image, FixedPalette::k16), kImageOk);
    EXPECT_EQ(out.image.ColorCount, 16);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const int t =
                kDitherMatrix[static_cast<std::size_t>(y)][static_cast<std::size_t>(7 - x)];
            const bool green = 5 * t < 250;
            EXPECT_EQ(IndexAt(out.image, x, y), CornerIndex(false, green, 5 * t < 100))
                << x << "," << y;
        }
    FreeImage(&picture);
}

TEST(OrderedDither, UsesThePictureRowOfTheRegion) {
    ImageBuffer picture = MakePicture24(4, 12, [](int, int) { return Rgb{25, 25, 25}; });
    ImageBuffer region;
    CopyImageRecord(picture, &region);
    region.Top = 3;
    Reduced out(4, 9);
    ASSERT_EQ(DitherToFixedPalette(&region, &out.image, FixedPalette::k256), kImageOk);
    for (int x = 0; x < 4; ++x) {
        const int t = kDitherMatrix[3][static_cast<std::size_t>(3 - x)];
        EXPECT_EQ(IndexAt(out.image, x, 0), CubeIndex(t < 25, t < 25, t < 25)) << x;
    }
    FreeImage(&picture);
}

TEST(Diffusion, CubeErrorsSpreadWithArithmeticShifts) {
    // Grey 30 everywhere, worked through: (0,0) 30 -> 51, error -21: right 30 + (-147 >> 4) = 20,
    // below 23, below right 28. (1,0) 20 -> 0, error 20: right 38, below left 26, below 34,
    // below right 31. (2,0) 38 -> 51, error -13: below left 31, below 26. Row 1: 26 -> 51 (error
    // -25, right 31 - 11 = 20), 20 -> 0 (error 20, right 26 + 8 = 34), 34 -> 51.
    ImageBuffer picture = MakePicture24(3, 2, [](int, int) { return Rgb{30, 30, 30}; });
    Reduced out(3, 2);
    ASSERT_EQ(DiffuseToFixedPalette(&picture, &out.image, FixedPalette::k256), kImageOk);
    const int up = CubeIndex(1, 1, 1), down = CubeIndex(0, 0, 0);
    const int expected[2][3] = {{up, down, up}, {up, down, up}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(IndexAt(out.image, x, y), expected[y][x]) << x << "," << y;
    FreeImage(&picture);
}

TEST(Diffusion, SixteenColourErrorsShiftDownAndClampAfterEveryAddition) {
    const struct {
        const char* name;
        std::vector<std::uint8_t> row;
        std::vector<bool> on;
    } cases[] = {
        // 130 is on with error -125; (7 x -125) >> 4 = -55 (not -54) takes 182 to 127: off.
        {"negative shares round down", {130, 182}, {true, false}},
        // 120 is off with error 120; 250 + 52 clamps to 255, on with error 0, so 110 stays off
        // (unclamped it would get 20 and be on).
        {"sums clamp", {120, 250, 110}, {false, true, false}},
        {"thresholds", {127, 0, 128, 255}, {false, false, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int w = static_cast<int>(c.row.size());
        ImageBuffer picture = MakePicture24(w, 1, [&c](int x, int) {
            const std::uint8_t v = c.row[static_cast<std::size_t>(x)];
            return Rgb{v, v, v};
        });
        Reduced out(w, 1);
        ASSERT_EQ(DiffuseToFixedPalette(&picture, &out.image, FixedPalette::k16), kImageOk);
        for (int x = 0; x < w; ++x) {
            const bool on = c.on[static_cast<std::size_t>(x)];
            EXPECT_EQ(IndexAt(out.image, x, 0), CornerIndex(on, on, on)) << x;
        }
        FreeImage(&picture);
    }
}

TEST(Diffusion, EightBitPicturesGoThroughTheirColourTable) {
    ImageBuffer grey = MakeGreyPicture(2, 1, [](int x, int) { return x == 0 ? 255 : 0; });
    Reduced out(2, 1);
    ASSERT_EQ(DiffuseToFixedPalette(&grey, &out.image, FixedPalette::k256), kImageOk);
    EXPECT_EQ(IndexAt(out.image, 0, 0), CubeIndex(5, 5, 5));
    EXPECT_EQ(IndexAt(out.image, 1, 0), CubeIndex(0, 0, 0));
    FreeImage(&grey);
}

// The fixed-palette reductions worked step by step on the whole region, as the display
// describes them: the reference the table-driven routines must match byte for byte.
namespace model {

using Rows = std::vector<std::vector<int>>;  // blue, green, red per pixel, top row first

Rows RegionOf(const ImageBuffer& picture) {
    Rows rows;
    for (std::uint32_t y = picture.Top; y <= picture.Bottom; ++y) {
        rows.emplace_back();
        for (std::uint32_t x = picture.Left; x <= picture.Right; ++x) {
            const std::uint8_t* p = picture.Bits + PixelOffset(picture, x, y);
            if (picture.Header->BitCount == 24) {
                rows.back().insert(rows.back().end(), {p[0], p[1], p[2]});
            } else {
                // Pixels past the colour table's entries are black.
                const PaletteEntry e = *p < picture.ColorCount ? picture.Palette[*p]
                                                               : PaletteEntry{0, 0, 0, 0};
                rows.back().insert(rows.back().end(), {e.Blue, e.Green, e.Red});
            }
        }
    }
    return rows;
}

int IndexOf(bool cube, const int* level) {
    return cube ? CubeIndex(level[0], level[1], level[2])
                : CornerIndex(level[0] != 0, level[1] != 0, level[2] != 0);
}

std::vector<int> Diffusion(Rows v, bool cube) {
    const int h = static_cast<int>(v.size()), w = static_cast<int>(v[0].size() / 3);
    std::vector<int> out;
    for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j) {
            int level[3];
            for (int c = 0; c < 3; ++c) {
                const int x = v[i][j * 3 + c];
                int e;
                if (cube) {
                    level[c] = x / 51 + (x % 51 > 24 ? 1 : 0);
                    e = x % 51 > 24 ? x % 51 - 51 : x % 51;
                } else {
                    level[c] = x >= 128 ? 1 : 0;
                    e = x >= 128 ? x - 255 : x;
                }
                auto add = [&](int ii, int jj, int share) {
                    if (ii < h && jj >= 0 && jj < w)
                        v[ii][jj * 3 + c] = std::clamp(v[ii][jj * 3 + c] + share, 0, 255);
                };
                add(i, j + 1, (7 * e) >> 4);
                add(i + 1, j - 1, (3 * e) >> 4);
                add(i + 1, j, (5 * e) >> 4);
                add(i + 1, j + 1, e >> 4);
            }
            out.push_back(IndexOf(cube, level));
        }
    return out;
}

std::vector<int> Ordered(const Rows& v, bool cube, int top) {
    const int h = static_cast<int>(v.size()), w = static_cast<int>(v[0].size() / 3);
    std::vector<int> out;
    for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j) {
            const int t = kDitherMatrix[static_cast<std::size_t>((top + i) % 8)]
                                       [static_cast<std::size_t>((w - j - 1) % 8)];
            int level[3];
            for (int c = 0; c < 3; ++c) {
                const int x = v[i][j * 3 + c];
                level[c] = cube ? x / 51 + (t < x % 51 ? 1 : 0) : (5 * t < x ? 1 : 0);
            }
            out.push_back(IndexOf(cube, level));
        }
    return out;
}

}  // namespace model

// Random pictures, with values crowded at the places where levels, errors and clamps turn, in
// regions of several shapes (the ordered matrix row follows the region's top), from 24-bit and
// from 8-bit pictures with a partial colour table: every index as the step-by-step reference.
TEST(FixedPaletteReductions, MatchTheStepByStepReferenceOnRandomPictures) {
    std::mt19937 random(11);
    const int edges[] = {0, 1, 24, 25, 26, 50, 51, 76, 127, 128, 129, 229, 254, 255};
    auto value = [&]() -> std::uint8_t {
        return random() % 2 ? static_cast<std::uint8_t>(random())
                            : static_cast<std::uint8_t>(edges[random() % std::size(edges)]);
    };
    const struct {
        int w, h, left, top, right, bottom;
    } shapes[] = {{1, 1, 0, 0, 0, 0},   {1, 9, 0, 0, 0, 8},     {9, 1, 0, 0, 8, 0},
                  {2, 2, 0, 0, 1, 1},   {17, 11, 0, 0, 16, 10}, {40, 23, 3, 5, 36, 21},
                  {64, 48, 9, 2, 63, 47}};
    for (const auto& shape : shapes) {
        for (int depth : {24, 8}) {
            ImageBuffer picture{};
            if (depth == 24) {
                picture = MakePicture24(shape.w, shape.h, [&](int, int) {
                    return Rgb{value(), value(), value()};
                });
            } else {
                picture = MakeGreyPicture(shape.w, shape.h, [&](int, int) { return value(); });
                for (int i = 0; i < 256; ++i)
                    picture.Palette[i] = PaletteEntry{value(), value(), value(), 0};
                picture.ColorCount = 200;  // pixels past the table show black
            }
            picture.Flags = 0;
            picture.Left = static_cast<std::uint32_t>(shape.left);
            picture.Top = static_cast<std::uint32_t>(shape.top);
            picture.Right = static_cast<std::uint32_t>(shape.right);
            picture.Bottom = static_cast<std::uint32_t>(shape.bottom);
            const model::Rows rows = model::RegionOf(picture);
            const int w = shape.right - shape.left + 1, h = shape.bottom - shape.top + 1;
            for (FixedPalette palette : {FixedPalette::k256, FixedPalette::k16}) {
                const bool cube = palette == FixedPalette::k256;
                for (bool diffuse : {true, false}) {
                    SCOPED_TRACE(testing::Message()
                                 << w << "x" << h << " at " << shape.left << "," << shape.top
                                 << ", " << depth << "-bit, " << (cube ? "256" : "16")
                                 << (diffuse ? " diffusion" : " ordered"));
                    Reduced out(w, h);
                    ASSERT_EQ(diffuse ? DiffuseToFixedPalette(&picture, &out.image, palette)
                                      : DitherToFixedPalette(&picture, &out.image, palette),
                              kImageOk);
                    const std::vector<int> want = diffuse ? model::Diffusion(rows, cube)
                                                          : model::Ordered(rows, cube, shape.top);
                    EXPECT_EQ(FirstDifference(out.image, w, h, want), "");
                }
            }
            FreeImage(&picture);
        }
    }
}

// Rows long enough for the sixteen-pixel runs, of every width modulo 8 (the matrix column of a
// run's pixels turns with it) and with runs followed by a part run: every index of both fixed
// palettes, from 24- and 8-bit pictures, as the step-by-step reference.
TEST(FixedPaletteReductions, LongRowsOfEveryPhaseMatchTheReference) {
    std::mt19937 random(29);
    for (int w = 16; w <= 57; w += 3) {
        const int h = 3 + w % 5, left = w % 4, top = w % 7;
        for (int depth : {24, 8}) {
            ImageBuffer picture{};
            auto value = [&]() { return static_cast<std::uint8_t>(random()); };
            if (depth == 24) {
                picture = MakePicture24(left + w, top + h, [&](int, int) {
                    return Rgb{value(), value(), value()};
                });
            } else {
                picture = MakeGreyPicture(left + w, top + h, [&](int, int) { return value(); });
                for (int i = 0; i < 256; ++i)
                    picture.Palette[i] = PaletteEntry{value(), value(), value(), 0};
                picture.ColorCount = 256;
            }
            picture.Flags = 0;
            picture.Left = static_cast<std::uint32_t>(left);
            picture.Top = static_cast<std::uint32_t>(top);
            const model::Rows rows = model::RegionOf(picture);
            for (FixedPalette palette : {FixedPalette::k256, FixedPalette::k16}) {
                const bool cube = palette == FixedPalette::k256;
                SCOPED_TRACE(testing::Message() << w << " wide, " << depth << "-bit, "
                                                << (cube ? "256" : "16"));
                Reduced ordered(w, h), diffused(w, h);
                ASSERT_EQ(DitherToFixedPalette(&picture, &ordered.image, palette), kImageOk);
                ASSERT_EQ(DiffuseToFixedPalette(&picture, &diffused.image, palette), kImageOk);
                const std::vector<int> want_ordered = model::Ordered(rows, cube, top);
                const std::vector<int> want_diffused = model::Diffusion(rows, cube);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const auto at = static_cast<std::size_t>(y * w + x);
                        ASSERT_EQ(IndexAt(ordered.image, x, y), want_ordered[at]) << x << "," << y;
                        ASSERT_EQ(IndexAt(diffused.image, x, y), want_diffused[at])
                            << x << "," << y;
                    }
            }
            FreeImage(&picture);
        }
    }
}

// Diffusion works through rows two at a time, the lower row some runs behind the upper one:
// rows wide enough for the lag to matter, a width that ends in a part run, and one to five rows
// (a pair, a pair and a lone row, a lone row). Smooth pictures with noise carry errors far along
// a row; saturated ones clamp at every step. The row-by-row form, which processors without AVX2
// take, gives the same.
TEST(FixedPaletteReductions, WideDiffusionInRowPairsMatchesTheReference) {
    std::mt19937 random(41);
    for (int w : {150, 643}) {
        for (int h = 1; h <= 5; ++h) {
            for (int depth : {24, 8}) {
                for (bool saturated : {false, true}) {
                    auto channel = [&](int base) {
                        const int noise = static_cast<int>(random() % 41) - 20;
                        const int v = saturated ? (random() % 2 != 0 ? 250 : 5) + noise / 4
                                                : base + noise;
                        return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
                    };
                    ImageBuffer picture{};
                    if (depth == 24) {
                        picture = MakePicture24(w + 1, h, [&](int x, int y) {
                            return Rgb{channel(x * 255 / w), channel(128 + y * 20),
                                       channel(255 - x * 255 / w)};
                        });
                    } else {
                        picture = MakeGreyPicture(w + 1, h, [&](int x, int) {
                            return static_cast<std::uint8_t>(channel(x * 255 / w));
                        });
                        for (int i = 0; i < 256; ++i)
                            picture.Palette[i] = PaletteEntry{channel(i), channel(255 - i),
                                                              channel(i / 2 + 64), 0};
                        picture.ColorCount = 256;
                    }
                    picture.Flags = 0;
                    picture.Left = 1;  // the region starts one column in
                    const model::Rows rows = model::RegionOf(picture);
                    for (FixedPalette palette : {FixedPalette::k256, FixedPalette::k16}) {
                        const bool cube = palette == FixedPalette::k256;
                        SCOPED_TRACE(testing::Message()
                                     << w << "x" << h << ", " << depth << "-bit, "
                                     << (saturated ? "saturated, " : "smooth, ")
                                     << (cube ? "256" : "16"));
                        const std::vector<int> want = model::Diffusion(rows, cube);
                        for (const bool portable : {false, true}) {
                            SCOPED_TRACE(portable ? "row by row" : "rows in pairs where AVX2");
                            ForcePortableDiffusion(portable);
                            Reduced out(w, h);
                            ASSERT_EQ(DiffuseToFixedPalette(&picture, &out.image, palette),
                                      kImageOk);
                            ForcePortableDiffusion(false);
                            EXPECT_EQ(FirstDifference(out.image, w, h, want), "");
                        }
                    }
                    FreeImage(&picture);
                }
            }
        }
    }
}

TEST(MedianCut, EachColourOfAFewGetsItsOwnBoxWidenedFromFiveBits) {
    const Rgb colours[] = {{255, 0, 0}, {100, 50, 10}, {0, 0, 255}, {7, 200, 90}};
    ImageBuffer picture = MakePicture24(4, 3, [&](int x, int) { return colours[x]; });
    PaletteEntry palette[256];
    int boxes = 0;
    ASSERT_EQ(MedianCutPalette(&picture, 256, palette, &boxes), kImageOk);
    EXPECT_EQ(boxes, 4);
    for (const Rgb& c : colours) {
        const Rgb widened{static_cast<std::uint8_t>(Widen5(c.r >> 3)),
                          static_cast<std::uint8_t>(Widen5(c.g >> 3)),
                          static_cast<std::uint8_t>(Widen5(c.b >> 3))};
        bool found = false;
        for (int i = 0; i < boxes; ++i) found |= ColorOfEntry(palette[i]) == widened;
        EXPECT_TRUE(found) << int{widened.r} << "," << int{widened.g} << "," << int{widened.b};
    }
    for (int i = boxes; i < 256; ++i) ASSERT_EQ(ColorOfEntry(palette[i]), ColorOfEntry(palette[0]));

    Reduced out(4, 3);
    ASSERT_EQ(ReduceToAdaptivePalette(&picture, &out.image, 256), kImageOk);
    for (int x = 0; x < 4; ++x) {
        const Rgb c = ColorOfEntry(out.image.Palette[IndexAt(out.image, x, 2)]);
        EXPECT_EQ(c.r, Widen5(colours[x].r >> 3)) << x;
    }
    FreeImage(&picture);
}

TEST(MedianCut, SplitsWhereTheRunningCountReachesHalf) {
    // Reds (5-bit) 0, 10, 20 with counts 1, 1, 2: the running count reaches 2 of 4 at red 10,
    // so the boxes are {0, 10} (weighted mean 5) and {20}.
    ImageBuffer picture = MakePicture24(4, 1, [](int x, int) {
        const int red5[] = {0, 10, 20, 20};
        return Rgb{static_cast<std::uint8_t>(red5[x] << 3), 0, 0};
    });
    PaletteEntry palette[2];
    int boxes = 0;
    ASSERT_EQ(MedianCutPalette(&picture, 2, palette, &boxes), kImageOk);
    ASSERT_EQ(boxes, 2);
    EXPECT_EQ(palette[0].Red, Widen5(5));
    EXPECT_EQ(palette[1].Red, Widen5(20));
    FreeImage(&picture);
}

TEST(MedianCut, EqualRangesSortAlongBlueBeforeRed) {
    // A = (red 0, blue 31) once, B = (31, 0) once, C = (16, 16) twice: red and blue both span 31.
    // Along blue the order is B, C, A and the first box is {B, C}; along red it would be {A, C}.
    ImageBuffer picture = MakePicture24(4, 1, [](int x, int) {
        const int red5[] = {0, 31, 16, 16};
        const int blue5[] = {31, 0, 16, 16};
        return Rgb{static_cast<std::uint8_t>(red5[x] << 3), 0,
                   static_cast<std::uint8_t>(blue5[x] << 3)};
    });
    PaletteEntry palette[2];
    int boxes = 0;
    ASSERT_EQ(MedianCutPalette(&picture, 2, palette, &boxes), kImageOk);
    EXPECT_EQ(palette[0].Red, Widen5((31 + 2 * 16) / 3));
    EXPECT_EQ(palette[0].Blue, Widen5((0 + 2 * 16) / 3));
    EXPECT_EQ(palette[1].Red, Widen5(0));
    EXPECT_EQ(palette[1].Blue, Widen5(31));
    FreeImage(&picture);
}

TEST(MedianCut, HistogramCountsStopAt65534) {
    // Reds 0 (90000 pixels), 10 (40000), 20 (30000). Capped, the total is 135534 and the running
    // count reaches half only with red 10: boxes {0, 10} and {20}. Uncapped, red 0 alone would
    // make up half.
    ImageBuffer picture = MakePicture24(400, 400, [](int x, int y) {
        const int i = y * 400 + x;
        const int red5 = i < 90000 ? 0 : i < 130000 ? 10 : 20;
        return Rgb{static_cast<std::uint8_t>(red5 << 3), 0, 0};
    });
    PaletteEntry palette[2];
    int boxes = 0;
    ASSERT_EQ(MedianCutPalette(&picture, 2, palette, &boxes), kImageOk);
    EXPECT_EQ(palette[1].Red, Widen5(20));
    EXPECT_EQ(palette[0].Red, Widen5(40000 * 10 / (65534 + 40000)));
    FreeImage(&picture);
}

// Median cut worked as the display describes it, with whole sorts: the histogram of capped
// counters, the box of most pixels split where its colours sorted along the widest channel (then
// by key) reach half, the weighted means widened.
std::vector<PaletteEntry> ModelMedianCut(const ImageBuffer& picture, int colors, int* boxes) {
    std::vector<int> histogram(1 << 15, 0);
    for (std::uint32_t y = picture.Top; y <= picture.Bottom; ++y)
        for (std::uint32_t x = picture.Left; x <= picture.Right; ++x) {
            const std::uint8_t* p = picture.Bits + PixelOffset(picture, x, y);
            int& n = histogram[ColorKey(p[2], p[1], p[0])];
            n = std::min(n + 1, 65534);
        }
    auto channel = [](int key, int c) { return (key >> (5 * c)) & 31; };
    std::vector<std::vector<int>> made(1);
    for (int key = 0; key < (1 << 15); ++key)
        if (histogram[key] != 0) made[0].push_back(key);
    auto pixels = [&](const std::vector<int>& box) {
        long sum = 0;
        for (int key : box) sum += histogram[key];
        return sum;
    };
    while (static_cast<int>(made.size()) < colors) {
        int pick = -1;
        for (int b = 0; b < static_cast<int>(made.size()); ++b)
            if (made[b].size() > 1 && (pick < 0 || pixels(made[b]) > pixels(made[pick]))) pick = b;
        if (pick < 0) break;
        std::vector<int>& box = made[pick];
        int range[3];
        for (int c = 0; c < 3; ++c) {
            int lo = 31, hi = 0;
            for (int key : box)
                lo = std::min(lo, channel(key, c)), hi = std::max(hi, channel(key, c));
            range[c] = hi - lo;
        }
        const int c = range[0] >= range[2] && range[0] >= range[1] ? 0
                      : range[2] >= range[1]                       ? 2
                                                                   : 1;
        std::sort(box.begin(), box.end(), [&](int a, int b) {
            return std::pair(channel(a, c), a) < std::pair(channel(b, c), b);
        });
        const long total = pixels(box);
        long running = 0;
        std::size_t split = box.size() - 1;
        for (std::size_t k = 0; k < box.size(); ++k) {
            running += histogram[box[k]];
            if (2 * running >= total) {
                split = std::min(k + 1, box.size() - 1);
                break;
            }
        }
        std::vector<int> second(box.begin() + static_cast<long>(split), box.end());
        box.resize(split);
        made.push_back(second);
    }
    std::vector<PaletteEntry> palette;
    for (const auto& box : made) {
        long sum[3] = {0, 0, 0};
        for (int key : box)
            for (int c = 0; c < 3; ++c) sum[c] += channel(key, c) * histogram[key];
        auto mean = [&](int c) {
            return static_cast<std::uint8_t>(Widen5(static_cast<int>(sum[c] / pixels(box))));
        };
        palette.push_back(PaletteEntry{mean(0), mean(1), mean(2), 0});
    }
    *boxes = static_cast<int>(made.size());
    while (static_cast<int>(palette.size()) < colors) palette.push_back(palette[0]);
    return palette;
}

// Pictures of many colours, of few colours crowded on one channel value (the half falls among
// colours of equal value), of counts past the counters' limit, and regions of a picture: the
// same palette, entry for entry, as the whole-sort reference.
TEST(MedianCut, PalettesMatchTheWholeSortReference) {
    std::mt19937 random(41);
    for (int kind = 0; kind < 5; ++kind) {
        const int w = kind == 3 ? 400 : 97, h = kind == 3 ? 330 : 61;
        ImageBuffer picture = MakePicture24(w, h, [&](int x, int y) {
            auto any = [&]() { return static_cast<std::uint8_t>(random()); };
            switch (kind) {
                case 0:
                    return Rgb{any(), any(), any()};
                case 1:  // a few red values, many greens and blues
                    return Rgb{static_cast<std::uint8_t>((random() % 3) * 8), any(), any()};
                case 2:  // skewed counts: most pixels of a handful of colours
                    return random() % 4 != 0 ? Rgb{static_cast<std::uint8_t>(x % 3 * 40), 9, 200}
                                             : Rgb{any(), any(), any()};
                case 3:  // two colours past the limit of 65534 and a scatter of others
                    return y < 200   ? Rgb{10, 20, 30}
                           : y < 320 ? Rgb{200, 100, 0}
                                     : Rgb{any(), any(), any()};
                default:  // smooth gradients with grain
                    return Rgb{static_cast<std::uint8_t>(x * 2 + random() % 9),
                               static_cast<std::uint8_t>(y * 4 + random() % 9),
                               static_cast<std::uint8_t>(x + y + random() % 9)};
            }
        });
        if (kind == 4) {
            picture.Left = 5, picture.Top = 3, picture.Right = 90, picture.Bottom = 50;
        }
        for (int colors : {2, 7, 256}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << ", " << colors << " colours");
            PaletteEntry palette[256];
            int boxes = 0, want_boxes = 0;
            ASSERT_EQ(MedianCutPalette(&picture, colors, palette, &boxes), kImageOk);
            const std::vector<PaletteEntry> want = ModelMedianCut(picture, colors, &want_boxes);
            ASSERT_EQ(boxes, want_boxes);
            for (int i = 0; i < colors; ++i) {
                ASSERT_EQ(ColorOfEntry(palette[i]), ColorOfEntry(want[static_cast<std::size_t>(i)]))
                    << i;
            }
        }
        FreeImage(&picture);
    }
}

// A picture of more changes of colour than the counting pass keeps runs for, the rest of which
// it counts pixel by pixel: two colours far past the counters' limit, strewn among others, still
// give the reference's palette.
TEST(MedianCut, RestlessPicturesPastTheCountersLimitMatchTheReference) {
    std::mt19937 random(43);
    ImageBuffer picture = MakePicture24(400, 401, [&](int, int) {
        switch (random() % 8) {
            case 0:
            case 1:
            case 2:
            case 3:
                return Rgb{10, 20, 30};
            case 4:
            case 5:
                return Rgb{200, 100, 0};
            default:
                return Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                           static_cast<std::uint8_t>(random())};
        }
    });
    for (int colors : {2, 7, 256}) {
        SCOPED_TRACE(colors);
        PaletteEntry palette[256];
        int boxes = 0, want_boxes = 0;
        ASSERT_EQ(MedianCutPalette(&picture, colors, palette, &boxes), kImageOk);
        const std::vector<PaletteEntry> want = ModelMedianCut(picture, colors, &want_boxes);
        ASSERT_EQ(boxes, want_boxes);
        for (int i = 0; i < colors; ++i)
            ASSERT_EQ(ColorOfEntry(palette[i]), ColorOfEntry(want[static_cast<std::size_t>(i)]))
                << i;
    }
    FreeImage(&picture);
}

// The counting pass finds a row's runs eight pixels at a time where the processor can, the last
// few pixels one by one: rows too short for eight, rows of a few more, runs across the eights
// and past the longest kept, of colours that come back after one other, each way give the
// reference's palette, and, mapped to a palette of their colours, each pixel its own.
TEST(MedianCut, RunsOfEveryLengthAcrossRowsOfEveryWidthCountAndMapLikeTheReference) {
    std::mt19937 random(47);
    // Black and the colour one step of blue from it among them: the mapping's table of answers
    // by colour must tell them apart, and tell either from a place not yet filled.
    const PaletteEntry six[] = {{255, 255, 255, 0}, {40, 90, 200, 0}, {200, 90, 40, 0},
                                {0, 0, 0, 0},       {41, 90, 200, 0}, {1, 0, 0, 0}};
    for (const int w : {1, 10, 11, 12, 19, 301}) {
        SCOPED_TRACE(w);
        std::vector<int> chosen;
        int held = 0;
        int left = 0;
        ImageBuffer picture = MakePicture24(w, 40, [&](int, int) {
            if (left-- <= 0) {
                held = static_cast<int>(random() % 6);
                left = static_cast<int>(random() % (random() % 4 == 0 ? 300u : 3u));
            }
            chosen.push_back(held);
            const PaletteEntry& e = six[held];
            return Rgb{e.Red, e.Green, e.Blue};
        });
        int want_boxes = 0;
        const std::vector<PaletteEntry> want = ModelMedianCut(picture, 16, &want_boxes);
        for (const bool portable : {false, true}) {
            SCOPED_TRACE(portable);
            ForcePortableMatching(portable);
            PaletteEntry palette[256];
            int boxes = 0;
            ASSERT_EQ(MedianCutPalette(&picture, 16, palette, &boxes), kImageOk);
            Reduced out(w, 40);
            ASSERT_EQ(MapToNearestColors(&picture, &out.image, six, 6), kImageOk);
            ForcePortableMatching(false);
            ASSERT_EQ(boxes, want_boxes);
            for (int i = 0; i < 16; ++i)
                ASSERT_EQ(ColorOfEntry(palette[i]), ColorOfEntry(want[static_cast<std::size_t>(i)]))
                    << i;
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(IndexAt(out.image, x, y), chosen[static_cast<std::size_t>(y * w + x)])
                        << x << "," << y;
        }
        FreeImage(&picture);
    }
}

TEST(MedianCut, EveryPixelTakesTheNearestPaletteColour) {
    std::mt19937 random(7);
    ImageBuffer picture = MakePicture24(64, 48, [&random](int, int) {
        return Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                   static_cast<std::uint8_t>(random())};
    });
    Reduced out(64, 48);
    ASSERT_EQ(ReduceToAdaptivePalette(&picture, &out.image, 256), kImageOk);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const Rgb p = testsupport::PixelOf(picture, x, y);
            auto distance = [&p](const PaletteEntry& e) {
                return (e.Red - p.r) * (e.Red - p.r) + (e.Green - p.g) * (e.Green - p.g) +
                       (e.Blue - p.b) * (e.Blue - p.b);
            };
            int best = INT_MAX;
            for (int i = 0; i < 256; ++i) best = std::min(best, distance(out.image.Palette[i]));
            ASSERT_EQ(distance(out.image.Palette[IndexAt(out.image, x, y)]), best) << x << "," << y;
        }
    FreeImage(&picture);
}

// Colours recur all over a picture; each recurrence is matched like the first, wherever it
// lies and whatever colours came between, and always to a nearest palette colour.
TEST(MedianCut, RecurringColoursMatchTheSameNearestEntryEverywhere) {
    std::mt19937 random(5);
    std::vector<Rgb> colours(6000);
    for (Rgb& c : colours)
        c = Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                static_cast<std::uint8_t>(random())};
    const int w = 300, h = 120;
    std::vector<std::size_t> pick(static_cast<std::size_t>(w * h));
    for (std::size_t& k : pick) k = random() % colours.size();
    ImageBuffer picture = MakePicture24(
        w, h, [&](int x, int y) { return colours[pick[static_cast<std::size_t>(y * w + x)]]; });
    Reduced out(w, h);
    ASSERT_EQ(ReduceToAdaptivePalette(&picture, &out.image, 256), kImageOk);
    std::vector<int> seen(colours.size(), -1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t k = pick[static_cast<std::size_t>(y * w + x)];
            const Rgb p = colours[k];
            const int index = IndexAt(out.image, x, y);
            if (seen[k] < 0) {
                auto distance = [&p](const PaletteEntry& e) {
                    return (e.Red - p.r) * (e.Red - p.r) + (e.Green - p.g) * (e.Green - p.g) +
                           (e.Blue - p.b) * (e.Blue - p.b);
                };
                int best = INT_MAX;
                for (int i = 0; i < 256; ++i)
                    best = std::min(best, distance(out.image.Palette[i]));
                ASSERT_EQ(distance(out.image.Palette[index]), best) << x << "," << y;
                seen[k] = index;
            }
            ASSERT_EQ(index, seen[k]) << x << "," << y;
        }
    FreeImage(&picture);
}

// The adaptive mapping's search as the display describes it: the palette's boxes sorted along
// the channel of their largest spread (ties by index), searched outward from the pixel's place,
// a direction ending once that channel alone is at least the best distance. Among entries at
// equal distance the search keeps the first it meets.
std::uint8_t ModelNearest(const PaletteEntry* palette, int boxes, int b, int g, int r) {
    auto channel_of = [](const PaletteEntry& e, int c) -> int {
        return c == 0 ? e.Blue : c == 1 ? e.Green : e.Red;
    };
    int low[3] = {255, 255, 255}, high[3] = {0, 0, 0};
    for (int i = 0; i < boxes; ++i)
        for (int c = 0; c < 3; ++c) {
            low[c] = std::min(low[c], channel_of(palette[i], c));
            high[c] = std::max(high[c], channel_of(palette[i], c));
        }
    const int rb = high[0] - low[0], rg = high[1] - low[1], rr = high[2] - low[2];
    const int channel = rb >= rr && rb >= rg ? 0 : rr >= rg ? 2 : 1;
    std::vector<std::pair<int, int>> sorted;  // value, index
    for (int i = 0; i < boxes; ++i) sorted.emplace_back(channel_of(palette[i], channel), i);
    std::sort(sorted.begin(), sorted.end());
    const int v = channel == 0 ? b : channel == 1 ? g : r;
    int up = 0;
    while (up < boxes && sorted[static_cast<std::size_t>(up)].first < v) ++up;
    int down = up - 1, best = INT_MAX, best_index = 0;
    bool up_open = up < boxes, down_open = down >= 0;
    auto visit = [&](int at) {
        const auto& [value, index] = sorted[static_cast<std::size_t>(at)];
        if ((value - v) * (value - v) >= best) return false;
        const PaletteEntry& e = palette[index];
        const int d = (e.Blue - b) * (e.Blue - b) + (e.Green - g) * (e.Green - g) +
                      (e.Red - r) * (e.Red - r);
        if (d < best) best = d, best_index = index;
        return true;
    };
    while (up_open || down_open) {
        if (up_open) up_open = visit(up) && ++up < boxes;
        if (down_open) down_open = visit(down) && --down >= 0;
    }
    return static_cast<std::uint8_t>(best_index);
}

// The search's entry of palette[0..count) for every pixel, row by row from the top. Each colour's
// is worked out once and kept in nearest, which must hold answers for this palette only.
std::vector<std::uint8_t> SearchEntries(const ImageBuffer& picture, const PaletteEntry* palette,
                                        int count, std::map<std::uint32_t, std::uint8_t>* nearest) {
    std::vector<std::uint8_t> entries;
    const auto w = static_cast<int>(picture.Right - picture.Left + 1);
    const auto h = static_cast<int>(picture.Bottom - picture.Top + 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb p = testsupport::PixelOf(picture, static_cast<int>(picture.Left) + x,
                                               static_cast<int>(picture.Top) + y);
            const std::uint32_t key = p.b | (p.g << 8) | (p.r << 16);
            auto found = nearest->find(key);
            if (found == nearest->end())
                found = nearest->emplace(key, ModelNearest(palette, count, p.b, p.g, p.r)).first;
            entries.push_back(found->second);
        }
    return entries;
}

// Pictures full of colours at equal distance from two or more palette entries (few distinct
// channel values), and noisy ones: every pixel gets the entry the described search gives.
TEST(MedianCut, MappingKeepsTheSearchsChoiceAmongEqualDistances) {
    std::mt19937 random(3);
    const std::uint8_t coarse_values[] = {0, 4, 12, 20, 36, 52, 100, 148, 204, 252};
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        const int w = 160, h = 90;
        ImageBuffer picture = MakePicture24(w, h, [&](int, int) {
            auto pick = [&]() -> std::uint8_t {
                if (kind == 2) return static_cast<std::uint8_t>(random());
                return coarse_values[random() % (kind == 0 ? 4 : std::size(coarse_values))];
            };
            return Rgb{pick(), pick(), pick()};
        });
        PaletteEntry palette[256];
        int boxes = 0;
        ASSERT_EQ(MedianCutPalette(&picture, 256, palette, &boxes), kImageOk);
        Reduced out(w, h);
        ASSERT_EQ(ReduceToAdaptivePalette(&picture, &out.image, 256), kImageOk);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const Rgb p = testsupport::PixelOf(picture, x, y);
                ASSERT_EQ(IndexAt(out.image, x, y), ModelNearest(palette, boxes, p.b, p.g, p.r))
                    << x << "," << y;
            }
        FreeImage(&picture);
    }
}

// White and the colours just below it (as blue + 256 green + 65536 red), among dark ones: a
// colour met for the first time is searched for, never taken from what a slot held before.
TEST(MedianCut, ColoursNearWhiteAreSearchedOnFirstSight) {
    std::vector<Rgb> colours = {{0, 0, 0}, {60, 60, 60}, {0, 90, 200}};
    for (std::uint32_t c = 0xFFFFFF; c > 0xFFFFFF - 300; --c)
        colours.push_back(Rgb{static_cast<std::uint8_t>(c >> 16),
                              static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c)});
    const int w = static_cast<int>(colours.size()), h = 2;
    ImageBuffer picture = MakePicture24(w, h, [&](int x, int y) {
        return y == 0 ? colours[static_cast<std::size_t>(x)]
                      : colours[static_cast<std::size_t>(x % 3)];
    });
    PaletteEntry palette[256];
    int boxes = 0;
    ASSERT_EQ(MedianCutPalette(&picture, 256, palette, &boxes), kImageOk);
    Reduced out(w, h);
    ASSERT_EQ(ReduceToAdaptivePalette(&picture, &out.image, 256), kImageOk);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb p = testsupport::PixelOf(picture, x, y);
            ASSERT_EQ(IndexAt(out.image, x, y), ModelNearest(palette, boxes, p.b, p.g, p.r))
                << x << "," << y;
        }
    FreeImage(&picture);
}

// The mapping with palettes median cut never makes: random ones of every size, ones on a coarse
// grid with repeated colours (many pixels at equal distance from several entries, several
// entries sharing a value on the sorted channel), and pixels at the midpoints of entry pairs and
// beside entries, so that every kind of tie comes up. Every pixel gets the entry the described
// search gives.
TEST(MedianCut, MappingWithAnyPaletteKeepsTheSearchsChoice) {
    std::mt19937 random(11);
    auto byte = [&random]() { return static_cast<std::uint8_t>(random()); };
    for (int trial = 0; trial < 18; ++trial) {
        SCOPED_TRACE(trial);
        const int kind = trial % 3;
        const int count = trial < 3 ? 1 + trial : 1 + static_cast<int>(random() % 256);
        std::vector<PaletteEntry> palette(static_cast<std::size_t>(count));
        for (PaletteEntry& e : palette) {
            if (kind == 0) {
                e = PaletteEntry{byte(), byte(), byte(), 0};
            } else {
                // A grid of 5 (kind 1) or 3 (kind 2) values a channel: many repeats.
                const int levels = kind == 1 ? 5 : 3;
                auto level = [&]() {
                    return static_cast<std::uint8_t>(static_cast<int>(random() % levels) * 240 /
                                                         (levels - 1) +
                                                     8);
                };
                e = PaletteEntry{level(), level(), level(), 0};
            }
        }
        auto clamp = [](int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); };
        const int w = 128, h = 32;
        ImageBuffer picture = MakePicture24(w, h, [&](int, int) {
            const PaletteEntry& a = palette[random() % palette.size()];
            const PaletteEntry& b = palette[random() % palette.size()];
            switch (random() % 4) {
                case 0:  // anywhere
                    return Rgb{byte(), byte(), byte()};
                case 1:  // halfway between two entries
                    return Rgb{static_cast<std::uint8_t>((a.Red + b.Red) / 2),
                               static_cast<std::uint8_t>((a.Green + b.Green) / 2),
                               static_cast<std::uint8_t>((a.Blue + b.Blue) / 2)};
                case 2: {  // beside an entry
                    auto near = [&](int v) { return clamp(v + static_cast<int>(random() % 9) - 4); };
                    return Rgb{near(a.Red), near(a.Green), near(a.Blue)};
                }
                default:  // an entry's own colour
                    return Rgb{a.Red, a.Green, a.Blue};
            }
        });
        Reduced out(w, h);
        ASSERT_EQ(MapToNearestColors(&picture, &out.image, palette.data(), count), kImageOk);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const Rgb p = testsupport::PixelOf(picture, x, y);
                ASSERT_EQ(IndexAt(out.image, x, y),
                          ModelNearest(palette.data(), count, p.b, p.g, p.r))
                    << x << "," << y << " of " << count;
            }
        FreeImage(&picture);
    }
}

// MapToNearestColors of the picture (w x h) to palette[0..count), eight at a time where the
// processor can and one by one, gives every pixel the search's entry (kept in nearest).
void ExpectBothFormsMapLikeTheSearch(ImageBuffer& picture, int w, int h,
                                     const PaletteEntry* palette, int count,
                                     std::map<std::uint32_t, std::uint8_t>* nearest) {
    const std::vector<std::uint8_t> want = SearchEntries(picture, palette, count, nearest);
    for (const bool portable : {false, true}) {
        SCOPED_TRACE(portable);
        ForcePortableMatching(portable);
        Reduced out(w, h);
        ASSERT_EQ(MapToNearestColors(&picture, &out.image, palette, count), kImageOk);
        ForcePortableMatching(false);
        EXPECT_EQ(FirstDifference(out.image, w, h, want), "");
    }
}

// Pictures whose first rows change colour at nearly every pixel and whose others are long runs:
// as a whole they would fit the counting pass's runs, but their first rows make it give up
// looking for runs early and count pixel by pixel (rows of a width no multiple of eight). Either
// way, with or without the vector forms, they give the reference's palette and every pixel the
// search's entry.
TEST(MedianCut, PicturesRestlessOnlyAtTheTopCountAndMapLikeTheReference) {
    std::mt19937 random(53);
    const int w = 1001, h = 330;
    for (const bool restless_first : {true, false}) {
        SCOPED_TRACE(restless_first);
        Rgb held{};
        ImageBuffer picture = MakePicture24(w, h, [&](int x, int y) {
            const bool restless = restless_first ? y < 30 : y >= h - 30;
            if (restless || x % 250 == 0)
                held = Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                           static_cast<std::uint8_t>(random())};
            return held;
        });
        int want_boxes = 0;
        const std::vector<PaletteEntry> want = ModelMedianCut(picture, 256, &want_boxes);
        for (const bool portable : {false, true}) {
            SCOPED_TRACE(portable);
            ForcePortableMatching(portable);
            PaletteEntry palette[256];
            int boxes = 0;
            ASSERT_EQ(MedianCutPalette(&picture, 256, palette, &boxes), kImageOk);
            Reduced out(w, h);
            ASSERT_EQ(ReduceToAdaptivePalette(&picture, &out.image, 256), kImageOk);
            ForcePortableMatching(false);
            ASSERT_EQ(boxes, want_boxes);
            for (int i = 0; i < 256; ++i)
                ASSERT_EQ(ColorOfEntry(palette[i]), ColorOfEntry(want[static_cast<std::size_t>(i)]))
                    << i;
            std::map<std::uint32_t, std::uint8_t> nearest;
            EXPECT_EQ(
                FirstDifference(out.image, w, h, SearchEntries(picture, palette, boxes, &nearest)),
                "");
        }
        FreeImage(&picture);
    }
}

// Runs of one colour longer than a row of most pictures, and a picture of more changes of
// colour than the counting pass keeps runs for: mapped pixel by pixel, all alike.
TEST(MedianCut, LongRunsAndRestlessPicturesMapLikeTheSearch) {
    std::mt19937 random(13);
    std::vector<PaletteEntry> palette(200);
    for (PaletteEntry& e : palette)
        e = PaletteEntry{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                         static_cast<std::uint8_t>(random()), 0};
    struct Case {
        int w, h;
        int longest_run;
    };
    for (const Case c : {Case{700, 6, 700}, Case{400, 200, 1}, Case{333, 300, 3}}) {
        SCOPED_TRACE(c.w);
        Rgb colour{};
        int left = 0;
        ImageBuffer picture = MakePicture24(c.w, c.h, [&](int, int) {
            if (left-- <= 0) {
                colour = Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                             static_cast<std::uint8_t>(random())};
                left = static_cast<int>(random() % static_cast<unsigned>(c.longest_run));
            }
            return colour;
        });
        Reduced out(c.w, c.h);
        ASSERT_EQ(MapToNearestColors(&picture, &out.image, palette.data(), 200), kImageOk);
        std::map<std::uint32_t, std::uint8_t> model;
        EXPECT_EQ(FirstDifference(out.image, c.w, c.h,
                                  SearchEntries(picture, palette.data(), 200, &model)),
                  "");
        FreeImage(&picture);
    }
}

// The mapping takes eight colours at a time where the processor can: the runs the counting
// pass keeps, or, in pictures of more changes of colour than it keeps runs for, the pixels of
// each row (its last few one by one). Palettes on a coarse grid (entries at equal distance from
// a pixel, entries sharing the sorted channel's value) and random ones, pixels at midpoints,
// beside entries and anywhere, held for runs of several lengths, rows of several lengths: every
// pixel gets the search's entry, whether the eight-at-a-time form runs or not.
TEST(MedianCut, EightColoursAtATimeMapLikeTheSearchAndLikeOneByOne) {
    std::mt19937 random(17);
    auto byte = [&random]() { return static_cast<std::uint8_t>(random()); };
    struct Case {
        int levels;  // of the grid a channel; 0 for random entries
        int w, h;
        int longest_run;  // a colour is held for 1 to this many pixels
    };
    for (const Case c : {Case{3, 301, 240, 1}, Case{0, 13, 5600, 1}, Case{3, 97, 50, 12},
                         Case{0, 130, 40, 3}, Case{5, 5, 30, 20}}) {
        SCOPED_TRACE(c.w);
        const int count = 2 + static_cast<int>(random() % 255);
        std::vector<PaletteEntry> palette(static_cast<std::size_t>(count));
        auto level = [&]() {
            return static_cast<std::uint8_t>(
                static_cast<int>(random() % c.levels) * 240 / (c.levels - 1) + 8);
        };
        for (PaletteEntry& e : palette)
            e = c.levels == 0 ? PaletteEntry{byte(), byte(), byte(), 0}
                              : PaletteEntry{level(), level(), level(), 0};
        // Colours from a few thousand, so that the search's answers are worked out for few.
        std::vector<Rgb> anywhere(1024);
        for (Rgb& a : anywhere) a = Rgb{byte(), byte(), byte()};
        Rgb held{};
        int left = 0;
        auto fresh = [&]() -> Rgb {
            const PaletteEntry& a = palette[random() % palette.size()];
            const PaletteEntry& b = palette[random() % palette.size()];
            auto near = [&](int v) {
                return static_cast<std::uint8_t>(
                    std::clamp(v + static_cast<int>(random() % 5) - 2, 0, 255));
            };
            switch (random() % 4) {
                case 0:
                    return anywhere[random() % anywhere.size()];
                case 1:
                    return Rgb{static_cast<std::uint8_t>((a.Red + b.Red) / 2),
                               static_cast<std::uint8_t>((a.Green + b.Green) / 2),
                               static_cast<std::uint8_t>((a.Blue + b.Blue) / 2)};
                case 2:
                    return Rgb{near(a.Red), near(a.Green), near(a.Blue)};
                default:
                    return Rgb{a.Red, a.Green, a.Blue};
            }
        };
        ImageBuffer picture = MakePicture24(c.w, c.h, [&](int, int) {
            if (left-- <= 0) {
                held = fresh();
                left = static_cast<int>(random() % static_cast<unsigned>(c.longest_run));
            }
            return held;
        });
        std::map<std::uint32_t, std::uint8_t> model;
        const std::vector<std::uint8_t> want =
            SearchEntries(picture, palette.data(), count, &model);
        for (const bool portable : {false, true}) {
            SCOPED_TRACE(portable);
            ForcePortableMatching(portable);
            Reduced out(c.w, c.h);
            ASSERT_EQ(MapToNearestColors(&picture, &out.image, palette.data(), count), kImageOk);
            ForcePortableMatching(false);
            EXPECT_EQ(FirstDifference(out.image, c.w, c.h, want), "");
        }
        FreeImage(&picture);
    }
}

// Pictures of more changes of colour than the counting pass keeps runs for are mapped row by
// row, eight pixels at a time, and a row's last few pixels with the eights that end where it
// does. Rows of every width from too narrow for eight to every number of pixels left after
// the eights: every pixel gets the search's entry, with or without the vector forms.
TEST(MedianCut, RestlessRowsOfEveryWidthEndMapLikeTheSearch) {
    std::mt19937 random(61);
    auto byte = [&random]() { return static_cast<std::uint8_t>(random()); };
    std::vector<PaletteEntry> palette(256);
    for (PaletteEntry& e : palette) e = PaletteEntry{byte(), byte(), byte(), 0};
    std::vector<Rgb> colours(2048);
    for (Rgb& c : colours) c = Rgb{byte(), byte(), byte()};
    std::map<std::uint32_t, std::uint8_t> model;
    for (int w = 10; w <= 19; ++w) {
        SCOPED_TRACE(w);
        // More pixels than the runs kept, each of a colour drawn anew.
        const int h = 65536 / w + 64;
        ImageBuffer picture =
            MakePicture24(w, h, [&](int, int) { return colours[random() % colours.size()]; });
        ExpectBothFormsMapLikeTheSearch(picture, w, h, palette.data(), 256, &model);
        FreeImage(&picture);
    }
}


// A palette of four colours near the middle grey, each in it 64 times: from almost every colour
// all copies of the four are about as far, so every list of candidates holds most of the
// palette, the working tables for the lists and for the longer colour-map words fill, and the
// colours past that are searched for. Pictures of many colours, mapped from runs and row by row,
// each way eight at a time and one by one: every pixel still gets the search's entry.
TEST(MedianCut, PalettesOfManyEqualEntriesFillTheTablesAndFallBackToTheSearch) {
    std::vector<PaletteEntry> palette;
    const PaletteEntry four[] = {
        {126, 126, 126, 0}, {130, 126, 126, 0}, {126, 130, 126, 0}, {126, 126, 130, 0}};
    for (int k = 0; k < 256; ++k) palette.push_back(four[k % 4]);
    std::mt19937 random(23);
    // Three colours in each cube of 16 values a side: lists are made for every one of them.
    std::vector<Rgb> colours;
    auto within = [&random](int cube) {
        return static_cast<std::uint8_t>(cube * 16 + static_cast<int>(random() % 16));
    };
    for (int r = 0; r < 16; ++r)
        for (int g = 0; g < 16; ++g)
            for (int b = 0; b < 16; ++b)
                for (int k = 0; k < 3; ++k) colours.push_back(Rgb{within(r), within(g), within(b)});
    std::map<std::uint32_t, std::uint8_t> model;
    for (const auto& [w, h] : {std::pair{600, 120}, std::pair{100, 60}}) {
        SCOPED_TRACE(w);
        ImageBuffer picture =
            MakePicture24(w, h, [&](int, int) { return colours[random() % colours.size()]; });
        ExpectBothFormsMapLikeTheSearch(picture, w, h, palette.data(), 256, &model);
        FreeImage(&picture);
    }
}

TEST(Reductions, RefuseWhatTheyCannotTake) {
    ImageBuffer grey = MakeGreyPicture(4, 4, [](int, int) { return 9; });
    ImageBuffer colour = MakePicture24(4, 4, [](int, int) { return Rgb{1, 2, 3}; });
    Reduced out(4, 4);
    EXPECT_EQ(ReduceToAdaptivePalette(&grey, &out.image, 256), kBadDepth);
    EXPECT_EQ(ReduceToAdaptivePalette(&colour, &out.image, 1), kBadReduction);
    EXPECT_EQ(ReduceToAdaptivePalette(&colour, &out.image, 257), kBadReduction);
    PaletteEntry palette[257] = {};
    EXPECT_EQ(MapToNearestColors(&colour, &out.image, palette, 0), kBadReduction);
    EXPECT_EQ(MapToNearestColors(&colour, &out.image, palette, 257), kBadReduction);
    EXPECT_EQ(MapToNearestColors(&grey, &out.image, palette, 256), kBadDepth);
    EXPECT_EQ(DitherToFixedPalette(&colour, &colour, FixedPalette::k256), kBadDepth);
    ImageBuffer one_bit;
    AllocImage(&one_bit, 4, 4, 1);
    EXPECT_EQ(DiffuseToFixedPalette(&one_bit, &out.image, FixedPalette::k16), kBadDepth);
    ImageBuffer empty;
    ClearImageRecord(&empty);
    EXPECT_EQ(DitherToFixedPalette(&empty, &out.image, FixedPalette::k16), kBadPixels);
    FreeImage(&one_bit);
    FreeImage(&grey);
    FreeImage(&colour);
}

TEST(DisplayImage, ThirtyTwoBitScreensTakeColourPicturesUnchangedInEveryMode) {
    for (int mode = 0; mode <= 3; ++mode) {
        SCOPED_TRACE(mode);
        TestWindow w(32, 16, 8);
        ImageBuffer picture = MakePicture24(16, 8, Gradient);
        platform::HDC dc = platform::GetDC(w.window());
        platform::HPALETTE palette = reinterpret_cast<platform::HPALETTE>(1);
        EXPECT_EQ(DisplayImage(w.window(), dc, &palette, 0, 0, &picture, 0, 0, mode), kImageOk);
        platform::ReleaseDC(w.window(), dc);
        EXPECT_EQ(palette, nullptr);
        const platform::WindowPixels p = w.Pixels();
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 16; ++x) ASSERT_EQ(testsupport::ColorOf(p, x, y), Gradient(x, y));
        FreeImage(&picture);
    }
}

TEST(DisplayImage, GreyPicturesComeWithAGreyLogicalPaletteForTheCaller) {
    TestWindow w(32, 4, 1);
    ImageBuffer picture = MakeGreyPicture(4, 1, [](int x, int) { return 60 * x; });
    platform::HDC dc = platform::GetDC(w.window());
    platform::HPALETTE palette = nullptr;
    EXPECT_EQ(DisplayImage(w.window(), dc, &palette, 0, 0, &picture, 0, 0, 0), kImageOk);
    platform::ReleaseDC(w.window(), dc);
    ASSERT_NE(palette, nullptr);
    platform::PALETTEENTRY entries[256];
    ASSERT_EQ(platform::GetPaletteEntries(palette, 0, 256, entries), 256u);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(entries[i].peRed, i);
        ASSERT_EQ(entries[i].peBlue, i);
    }
    EXPECT_TRUE(platform::DeleteObject(palette));
    for (int x = 0; x < 4; ++x) {
        const auto v = static_cast<std::uint8_t>(60 * x);
        EXPECT_EQ(w.At(x, 0), (Rgb{v, v, v}));
    }
    FreeImage(&picture);
}

TEST(DisplayImage, OffsetsCropAndMoveThePictureAndTheClientAreaCutsIt) {
    const struct {
        const char* name;
        int x_offset, y_offset, dest_x, dest_y;
        int first_x, first_y;  // the window pixel showing picture (0, 0) of what is shown
        int picture_x, picture_y;
    } cases[] = {
        {"x offset 80 shows column 80 on", 80, 0, 0, 0, 0, 0, 80, 0},
        {"y offset skips rows", 0, 5, 0, 0, 0, 0, 0, 5},
        {"negative offset moves right and down", -3, -2, 0, 0, 3, 2, 0, 0},
        {"destination moves the picture", 0, 0, 4, 1, 4, 1, 0, 0},
        {"offset beyond the destination", 10, 0, 4, 0, 0, 0, 6, 0},
    };
    auto picture_colour = [](int x, int y) {
        return Rgb{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7};
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestWindow w(32, 100, 20);
        w.Fill(Rgb{1, 1, 1});
        ImageBuffer picture = MakePicture24(200, 30, picture_colour);
        platform::HDC dc = platform::GetDC(w.window());
        platform::HPALETTE palette;
        EXPECT_EQ(DisplayImage(w.window(), dc, &palette, c.x_offset, c.y_offset, &picture, c.dest_x,
                               c.dest_y, 0),
                  kImageOk);
        platform::ReleaseDC(w.window(), dc);
        EXPECT_EQ(picture.Header->Height, 30);  // restored after the transfer
        const platform::WindowPixels p = w.Pixels();
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 100; ++x) {
                const bool painted = x >= c.first_x && y >= c.first_y;
                const Rgb want = painted ? picture_colour(c.picture_x + x - c.first_x,
                                                          c.picture_y + y - c.first_y)
                                         : Rgb{1, 1, 1};
                ASSERT_EQ(testsupport::ColorOf(p, x, y), want) << x << "," << y;
            }
        FreeImage(&picture);
    }
}

TEST(DisplayImage, PaletteScreensShowTheReductionTheModeSelects) {
    enum class Method { kAdaptive, kDiffusion, kOrdered };
    const struct {
        int depth;
        int mode;
        Method method;
    } cases[] = {
        {8, 0, Method::kAdaptive}, {8, 1, Method::kOrdered},   {8, 2, Method::kDiffusion},
        {8, 3, Method::kOrdered},  {8, 9, Method::kOrdered},   {4, 0, Method::kOrdered},
        {4, 1, Method::kOrdered},  {4, 2, Method::kDiffusion}, {4, 3, Method::kOrdered},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << "-bit screen, mode " << c.mode);
        TestWindow w(c.depth, 16, 8);
        ImageBuffer picture = MakePicture24(16, 8, Gradient);
        Reduced expected(16, 8), other(16, 8);
        const FixedPalette fixed = c.depth == 8 ? FixedPalette::k256 : FixedPalette::k16;
        switch (c.method) {
            case Method::kAdaptive:
                ASSERT_EQ(ReduceToAdaptivePalette(&picture, &expected.image, 256), kImageOk);
                ASSERT_EQ(DiffuseToFixedPalette(&picture, &other.image, fixed), kImageOk);
                break;
            case Method::kDiffusion:
                ASSERT_EQ(DiffuseToFixedPalette(&picture, &expected.image, fixed), kImageOk);
                ASSERT_EQ(DitherToFixedPalette(&picture, &other.image, fixed), kImageOk);
                break;
            case Method::kOrdered:
                ASSERT_EQ(DitherToFixedPalette(&picture, &expected.image, fixed), kImageOk);
                ASSERT_EQ(DiffuseToFixedPalette(&picture, &other.image, fixed), kImageOk);
                break;
        }
        platform::HDC dc = platform::GetDC(w.window());
        platform::HPALETTE palette = nullptr;
        EXPECT_EQ(DisplayImage(w.window(), dc, &palette, 0, 0, &picture, 0, 0, c.mode), kImageOk);
        platform::ReleaseDC(w.window(), dc);
        ASSERT_NE(palette, nullptr);
        platform::DeleteObject(palette);
        const platform::WindowPixels p = w.Pixels();
        int differs_from_other = 0;
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 16; ++x) {
                ASSERT_EQ(testsupport::ColorOf(p, x, y), testsupport::PixelOf(expected.image, x, y))
                    << x << "," << y;
                differs_from_other += testsupport::PixelOf(expected.image, x, y) !=
                                      testsupport::PixelOf(other.image, x, y);
            }
        EXPECT_GT(differs_from_other, 0);  // the picture tells the methods apart
        FreeImage(&picture);
    }
}

TEST(DisplayImage, ReducesOnlyTheVisiblePartOfACroppedPicture) {
    TestWindow w(8, 6, 4);
    ImageBuffer picture = MakePicture24(20, 10, Gradient);
    platform::HDC dc = platform::GetDC(w.window());
    platform::HPALETTE palette = nullptr;
    ASSERT_EQ(DisplayImage(w.window(), dc, &palette, 5, 3, &picture, 0, 0, 1), kImageOk);
    platform::ReleaseDC(w.window(), dc);
    platform::DeleteObject(palette);
    // The same as dithering the region (5, 3)-(10, 6) on its own: rows keep their picture row.
    ImageBuffer region;
    CopyImageRecord(picture, &region);
    region.Left = 5;
    region.Top = 3;
    region.Right = 10;
    region.Bottom = 6;
    Reduced expected(6, 4);
    ASSERT_EQ(DitherToFixedPalette(&region, &expected.image, FixedPalette::k256), kImageOk);
    const platform::WindowPixels p = w.Pixels();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            ASSERT_EQ(testsupport::ColorOf(p, x, y), testsupport::PixelOf(expected.image, x, y));
    FreeImage(&picture);
}

TEST(DisplayImage, FourBitScreensPaintSixteenEntryPicturesWithoutReduction) {
    TestWindow w(4, 16, 1);
    ImageBuffer picture = MakeGreyPicture(16, 1, [](int x, int) { return x; });
    InstallColorTable(&picture, FixedPalette16().data(), 16);
    platform::HDC dc = platform::GetDC(w.window());
    platform::HPALETTE palette = nullptr;
    ASSERT_EQ(DisplayImage(w.window(), dc, &palette, 0, 0, &picture, 0, 0, 2), kImageOk);
    platform::ReleaseDC(w.window(), dc);
    platform::DeleteObject(palette);
    const platform::WindowPixels p = w.Pixels();
    for (int x = 0; x < 16; ++x)
        EXPECT_EQ(testsupport::ColorOf(p, x, 0), ColorOfEntry(FixedPalette16()[x])) << x;
    FreeImage(&picture);
}

TEST(DisplayImage, NothingVisibleMeansNothingPaintedAndSuccess) {
    for (int depth : {32, 8}) {
        SCOPED_TRACE(depth);
        TestWindow w(depth, 8, 8);
        w.Fill(Rgb{128, 128, 128});
        ImageBuffer picture = MakePicture24(8, 8, Gradient);
        platform::HDC dc = platform::GetDC(w.window());
        platform::HPALETTE palette = nullptr;
        EXPECT_EQ(DisplayImage(w.window(), dc, &palette, 0, 0, &picture, 8, 0, 1), kImageOk);
        EXPECT_EQ(DisplayImage(w.window(), dc, &palette, 8, 0, &picture, 0, 0, 1), kImageOk);
        platform::ReleaseDC(w.window(), dc);
        EXPECT_EQ(w.At(0, 0), (Rgb{128, 128, 128}));
        FreeImage(&picture);
    }
}
