// Header fields of a Motion-JPEG reply read as HTTP reads them: field names in any letter case
// at the start of a line, spaces before a value, the boundary parameter of the multipart type
// quoted or not, and the boundary of a head that declares none taken from the first delimiter
// line. The hard part is the media-type grammar; the device's own exact spellings, and what the
// values mean for the stream, are the parse step's.
#pragma once

#include <cstddef>
#include <string>

namespace stream {

// Length of the header line that starts at text: up to its "\r\n", or to the zero that ends the
// block for its last line (a block's own blank line is cut off before its fields are read).
std::size_t HeaderLineLength(const char* text);

// The value of the field `name` (letter case ignored) on a line of the zero-terminated header
// block: the text after the colon with its leading spaces and tabs skipped, up to the line's
// "\r\n" (or the block's end). Only a name at the start of a line counts. nullptr when absent.
const char* FindHeaderField(const char* block, const char* name);

// The boundary parameter of a "multipart/x-mixed-replace" media type (letter case ignored in the
// type and the parameter name; spaces and tabs allowed around ";" and "="; the value a token or
// a quoted string with backslash escapes). value runs to "\r\n" or its zero terminator. Empty
// when the type is another one, or has no boundary parameter, or the parameter is empty.
std::string MultipartBoundary(const char* value, std::size_t max_chars);

// The boundary a part header block starts with: after any empty lines, a line of "--" and the
// boundary (trailing spaces and tabs dropped). Empty when the block starts otherwise.
std::string DelimiterBoundary(const char* block, std::size_t max_chars);

// "chunked" among the codings of a Transfer-Encoding value (letter case ignored).
bool IsChunkedCoding(const char* value);

}  // namespace stream
