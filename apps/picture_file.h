// Pictures and other files the commands write and read: the format follows the file's extension
// (.bmp, .png, .jpg/.jpeg), "-" is standard output for a written file (a BMP picture) and
// standard input for a read one. Files are written whole or not at all, and messages name the
// user's path, never a temporary one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/window.h"

namespace apps {

enum class PictureFormat { Bmp, Png, Jpeg };

// The format a picture written to `path` takes; false with *error for an unknown extension.
bool PictureFormatOf(const std::string& path, PictureFormat* format, std::string* error);

// The window's pixels as a complete file of the format.
bool EncodeWindowPicture(const platform::WindowPixels& pixels, PictureFormat format,
                         std::vector<std::uint8_t>* file, std::string* error);

// Writes the bytes to path, or to standard output for "-".
bool WriteOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes,
                     std::string* error);

// Reads a whole input file, or standard input for "-"; at most max_bytes. The refusal reads the
// same in every command: "PATH: No such file or directory".
bool ReadInputFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error,
                   std::size_t max_bytes = 64u << 20);

// Encodes and writes in one: the picture commands' last step.
bool WriteWindowPicture(const std::string& path, const platform::WindowPixels& pixels,
                        std::string* error);

}  // namespace apps
