// Puts an ImageBuffer into a window: straight through SetDIBitsToDevice on displays of more than
// 8 bits, and on palette displays after reducing a picture the display cannot show to an 8-bit
// palette picture (adaptive median-cut palette, error diffusion or ordered dithering into a
// fixed palette, as the display mode selects). The hard part is the offset arithmetic that shows
// a centre crop of a zoomed picture and the shortened bottom-up bitmap of the visible rows; the
// logical palette made for a frame goes back to the caller, who deletes it.
#pragma once

#include <cstdint>

#include "image/image_buffer.h"
#include "platform/window_types.h"

namespace image {

// Display modes (the control's DisplayMethod).
inline constexpr std::int32_t kDisplayAdaptive = 0;   // median-cut palette on 8-bit displays
inline constexpr std::int32_t kDisplayOrdered = 1;    // ordered dithering (as is any other mode)
inline constexpr std::int32_t kDisplayDiffusion = 2;  // Floyd-Steinberg into the fixed palette

// Paints the picture into the window's context. A positive offset skips that many picture
// columns (rows) at the left (top); a negative one moves the picture right (down) from the
// destination. *palette receives the logical palette made for the picture, or null.
ImageResult DisplayImage(platform::HWND window, platform::HDC dc, platform::HPALETTE* palette,
                         std::int32_t x_offset, std::int32_t y_offset, ImageBuffer* image,
                         std::int32_t dest_x, std::int32_t dest_y, std::int32_t mode);

// DisplayImage for a caller that shows a stream of pictures: a palette display's reduction is
// made in *reduced, whose block is kept for the next call while the visible part keeps its size
// (the caller frees it). DisplayImage itself reduces into a block of its own and frees it.
ImageResult DisplayImageReusing(platform::HWND window, platform::HDC dc,
                                platform::HPALETTE* palette, std::int32_t x_offset,
                                std::int32_t y_offset, ImageBuffer* image, std::int32_t dest_x,
                                std::int32_t dest_y, std::int32_t mode, ImageBuffer* reduced);

// Paints the picture from (source_x, source_y) on at (dest_x, dest_y), clipped to the client
// area, after selecting and realising the picture's logical palette when it has one. Returns
// CreateImagePalette's result; kBadPixels for a record without a block.
ImageResult PaintImage(platform::HWND window, platform::HDC dc, platform::HPALETTE* palette,
                       std::int32_t source_x, std::int32_t source_y, ImageBuffer* image,
                       std::int32_t dest_x, std::int32_t dest_y);

// A logical palette (version 0x300) of the picture's colour table; none for a picture without
// one. kOutOfMemory when the palette cannot be made.
ImageResult CreateImagePalette(ImageBuffer* image, platform::HPALETTE* palette);

// Makes *target an 8-bit palette picture of the part of the picture that the window shows from
// (source_x, source_y) at (dest_x, dest_y), reduced for a display of device_bits. Nothing
// visible: success with a cleared target. On failure the target is freed.
ImageResult ReduceForDevice(platform::HWND window, std::int32_t source_x, std::int32_t source_y,
                            std::int32_t dest_x, std::int32_t dest_y, std::int32_t device_bits,
                            ImageBuffer* image, ImageBuffer* target, std::int32_t mode);

}  // namespace image
