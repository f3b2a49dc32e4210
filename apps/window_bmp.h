// BMP files of a window's pixels as the window layer reads them out: 24-bit for 32-bit screens,
// 8- or 4-bit with the screen's system palette for palette screens. Files are written whole or
// not at all (a temporary file in the same folder, renamed over the target).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/window.h"

namespace apps {

// The complete file; empty for a read-out without pixels.
std::vector<std::uint8_t> WindowBmpBytes(const platform::WindowPixels& pixels);

// Writes the bytes to a temporary file beside path and renames it to path. False with a message
// in *error (the temporary removed) when that fails.
bool WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes,
                         std::string* error);

}  // namespace apps
