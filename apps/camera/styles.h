// Other servers' ways of writing the HTTP Motion-JPEG stream, for the simulated camera's
// "--style NAME": header spellings of many MJPEG servers, a stream resource of its own, and no
// device pages. Unlike faults these are all well-formed HTTP; a viewer that reads HTTP as HTTP
// reads every one. Where each style enters the wire is the HTTP session's part.
#pragma once

#include <string>
#include <string_view>

namespace camera {

enum class Style {
    kPaddedLength,    // "Content-Length:" with a capital L, its digits padded with spaces
    kQuotedBoundary,  // the boundary parameter spaced around ";" and "=", capitalised and
                      // quoted, with spaces inside the boundary itself
    kLateBoundary,    // the head declares no boundary; the parts' delimiter lines carry it
    kNoLength,        // parts carry no length: their boundaries alone frame them
    kStreamPath,      // the stream is at kStyleStreamPath (any query); "/mjpeg.cgi" answers 404
    kNoDevicePages,   // "/HOME.htm", "/DevInfo.CGI" and the command CGIs answer 404
};
inline constexpr int kStyleCount = 6;

inline constexpr char kStyleStreamPath[] = "/video/live.mjpg";
inline constexpr int kPaddedLengthDigits = 9;  // the padded length's width

// The style's name as --style takes it ("padded-length", ...).
const char* to_string(Style style);

class StyleSet {
  public:
    // Adds one style by name. False with a message naming it (and the known ones) when unknown.
    bool Add(std::string_view name, std::string* error);

    bool Has(Style style) const { return (bits_ & Bit(style)) != 0; }
    bool Empty() const { return bits_ == 0; }
    // The styles in --style form, comma-separated; "device" when empty.
    std::string Describe() const;

  private:
    static unsigned Bit(Style style) { return 1u << static_cast<unsigned>(style); }
    unsigned bits_ = 0;
};

}  // namespace camera
