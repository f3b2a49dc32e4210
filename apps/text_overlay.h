// A line of words drawn over the bottom of the viewer's picture with the drawing layer's bitmap
// font: white on a dark band, wrapped at spaces to the window's width.
#pragma once

#include <SDL.h>

#include <string>
#include <vector>

#include "apps/sdl_library.h"

namespace apps {

// The text cut into lines of at most `columns` characters, at spaces where it can.
std::vector<std::string> WrapText(const std::string& text, int columns);

// Draws the text at the bottom of a window `width` x `height` pixels.
void DrawTextOverlay(const SdlLibrary& sdl, SDL_Renderer* renderer, int width, int height,
                     const std::string& text);

}  // namespace apps
