#include "apps/text_overlay.h"

#include <algorithm>

#include "platform/bitmap_font.h"

namespace apps {

namespace {
constexpr int kMargin = 4;        // pixels around the lines
constexpr int kWideWindow = 480;  // from this width on, the glyphs are drawn twice the size
}  // namespace

std::vector<std::string> WrapText(const std::string& text, int columns) {
    columns = std::max(columns, 1);
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = std::min(text.size(), at + static_cast<std::size_t>(columns));
        if (end < text.size()) {
            const std::size_t space = text.rfind(' ', end);
            if (space != std::string::npos && space > at) end = space;
        }
        lines.push_back(text.substr(at, end - at));
        at = end;
        while (at < text.size() && text[at] == ' ') ++at;
    }
    return lines;
}

void DrawTextOverlay(const SdlLibrary& sdl, SDL_Renderer* renderer, int width, int height,
                     const std::string& text) {
    if (text.empty() || width <= 2 * kMargin) return;
    const int scale = width >= kWideWindow ? 2 : 1;
    const int cell_w = platform::kCellWidth * scale;
    const int cell_h = platform::kCellHeight * scale;
    const std::vector<std::string> lines = WrapText(text, (width - 2 * kMargin) / cell_w);
    const int band = static_cast<int>(lines.size()) * cell_h + 2 * kMargin;
    const int top = std::max(0, height - band);
    sdl.SetRenderDrawColor(renderer, 0, 0, 0, 255);
    const SDL_Rect back{0, top, width, band};
    sdl.RenderFillRect(renderer, &back);
    sdl.SetRenderDrawColor(renderer, 255, 255, 255, 255);
    std::vector<SDL_Rect> dots;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const int y0 = top + kMargin + static_cast<int>(l) * cell_h;
        for (std::size_t i = 0; i < lines[l].size(); ++i) {
            const platform::Glyph& glyph = platform::GlyphFor(lines[l][i]);
            const int x0 = kMargin + static_cast<int>(i) * cell_w;
            for (int row = 0; row < platform::kGlyphHeight; ++row)
                for (int col = 0; col < platform::kGlyphWidth; ++col)
                    if (glyph[row] & (0x10 >> col))
                        dots.push_back(SDL_Rect{x0 + col * scale, y0 + row * scale, scale, scale});
        }
    }
    if (!dots.empty()) sdl.RenderFillRects(renderer, dots.data(), static_cast<int>(dots.size()));
}

}  // namespace apps
