// The fixed palettes, built once from the platform's stock default palette.
#include "image/display_palettes.h"

#include "platform/gdi.h"

namespace image {
namespace {

std::array<platform::PALETTEENTRY, platform::kStockPaletteEntries> StockEntries() {
    std::array<platform::PALETTEENTRY, platform::kStockPaletteEntries> stock{};
    platform::GetPaletteEntries(platform::GetStockObject(platform::DEFAULT_PALETTE), 0,
                                platform::kStockPaletteEntries, stock.data());
    return stock;
}

PaletteEntry FromStock(const platform::PALETTEENTRY& e) {
    return PaletteEntry{e.peBlue, e.peGreen, e.peRed, 0};
}

}  // namespace

const std::array<PaletteEntry, kFixedColors256>& FixedPalette256() {
    static const std::array<PaletteEntry, kFixedColors256> palette = [] {
        const auto stock = StockEntries();
        std::array<PaletteEntry, kFixedColors256> p{};
        for (int i = 0; i < 10; ++i) p[static_cast<std::size_t>(i)] = FromStock(stock[i]);
        int n = kCubeFirstEntry;
        for (int r = kCubeLevels - 1; r >= 0; --r)
            for (int g = kCubeLevels - 1; g >= 0; --g)
                for (int b = kCubeLevels - 1; b >= 0; --b)
                    p[static_cast<std::size_t>(n++)] =
                        PaletteEntry{static_cast<std::uint8_t>(b * kCubeStep),
                                     static_cast<std::uint8_t>(g * kCubeStep),
                                     static_cast<std::uint8_t>(r * kCubeStep), 0};
        for (int i = 0; i < 20; ++i) {
            const auto v = static_cast<std::uint8_t>(kGreyFirstLevel + kGreyStep * i);
            p[static_cast<std::size_t>(n++)] = PaletteEntry{v, v, v, 0};
        }
        for (int i = 10; i < 20; ++i) p[static_cast<std::size_t>(n++)] = FromStock(stock[i]);
        return p;
    }();
    return palette;
}

const std::array<PaletteEntry, kFixedColors16>& FixedPalette16() {
    static const std::array<PaletteEntry, kFixedColors16> palette = [] {
        const auto stock = StockEntries();
        std::array<PaletteEntry, kFixedColors16> p{};
        for (int i = 0; i < 8; ++i) p[static_cast<std::size_t>(i)] = FromStock(stock[i]);
        for (int i = 12; i < 20; ++i) p[static_cast<std::size_t>(i - 4)] = FromStock(stock[i]);
        return p;
    }();
    return palette;
}

}  // namespace image
