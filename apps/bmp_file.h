// BMP files from image buffers: a 14-byte file header followed by the buffer's block unchanged
// (bitmap header, colour table, bottom-up rows), which is exactly the BMP layout. Used by
// `quorlina decode` and by the tests; reading BMP files is left to the tests' own helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_buffer.h"

namespace apps {

inline constexpr std::size_t kBmpFileHeaderBytes = 14;

// The whole file in memory; empty when the record holds no block.
std::vector<std::uint8_t> BmpFileBytes(const image::ImageBuffer& image);

// The file's bytes in front of the rows (file header, bitmap header, colour table) for a picture
// of the band's width, depth and colour table and the given height; empty without a block.
std::vector<std::uint8_t> BmpHeadBytes(const image::ImageBuffer& band, std::int32_t height);

// Writes the file; false with a message in *error when the record is empty or writing fails.
bool WriteBmpFile(const std::string& path, const image::ImageBuffer& image, std::string* error);

}  // namespace apps
