// Style names of the simulated camera (see styles.h).
#include "apps/camera/styles.h"

#include <array>

namespace camera {

namespace {

struct StyleName {
    Style style;
    const char* name;
};

constexpr std::array<StyleName, kStyleCount> kStyleNames = {{
    {Style::kPaddedLength, "padded-length"},
    {Style::kQuotedBoundary, "quoted-boundary"},
    {Style::kLateBoundary, "late-boundary"},
    {Style::kNoLength, "no-length"},
    {Style::kStreamPath, "stream-path"},
    {Style::kNoDevicePages, "no-device-pages"},
}};

}  // namespace

const char* to_string(Style style) {
    for (const StyleName& entry : kStyleNames)
        if (entry.style == style) return entry.name;
    return "unknown";
}

bool StyleSet::Add(std::string_view name, std::string* error) {
    for (const StyleName& entry : kStyleNames) {
        if (name == entry.name) {
            bits_ |= Bit(entry.style);
            return true;
        }
    }
    std::string known;
    for (const StyleName& entry : kStyleNames)
        known += (known.empty() ? "" : ", ") + std::string(entry.name);
    *error = "unknown style \"" + std::string(name) + "\" (known: " + known + ")";
    return false;
}

std::string StyleSet::Describe() const {
    std::string text;
    for (const StyleName& entry : kStyleNames)
        if (Has(entry.style)) text += (text.empty() ? "" : ",") + std::string(entry.name);
    return text.empty() ? "device" : text;
}

}  // namespace camera
