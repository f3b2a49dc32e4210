#include "apps/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace apps {

namespace {

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

bool ParseWhole(const std::string& text, long long* value) {
    if (text.empty() || text.size() > 20) return false;
    char* end = nullptr;
    errno = 0;
    *value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

bool ParseReal(const std::string& text, double* value) {
    if (text.empty() || text.size() > 32) return false;
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(text.c_str(), &end);
    return errno == 0 && end != nullptr && *end == '\0' && *value == *value;  // not NaN
}

std::string Quoted(const std::string& text) {
    // A refusal names what was given, cut short: an option value may be anything.
    constexpr std::size_t kShown = 40;
    return "\"" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "\"";
}

}  // namespace

CLI::Validator WholeNumber(long long lo, long long hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            long long value = 0;
            if (ParseWhole(text, &value) && value >= lo && value <= hi) return {};
            return "expected a whole number from " + std::to_string(lo) + " to " +
                   std::to_string(hi) + ", got " + Quoted(text);
        },
        std::to_string(lo) + ".." + std::to_string(hi));
}

CLI::Validator Seconds(double lo, double hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            double value = 0;
            if (ParseReal(text, &value) && value >= lo && value <= hi) return {};
            return "expected seconds from " + Number(lo) + " to " + Number(hi) + ", got " +
                   Quoted(text);
        },
        Number(lo) + ".." + Number(hi) + " s");
}

CLI::Validator OneOf(const std::vector<int>& values) {
    std::string list;
    for (std::size_t i = 0; i < values.size(); ++i)
        list += (i == 0 ? "" : i + 1 == values.size() ? " or " : ", ") + std::to_string(values[i]);
    return CLI::Validator(
        [values, list](std::string& text) -> std::string {
            long long value = 0;
            if (ParseWhole(text, &value))
                for (int v : values)
                    if (value == v) return {};
            return "expected " + list + ", got " + Quoted(text);
        },
        list);
}

CLI::Validator AtMostCharacters(std::size_t limit, const std::string& what) {
    return CLI::Validator(
        [limit, what](std::string& text) -> std::string {
            if (text.size() <= limit) return {};
            return "the control sends at most " + std::to_string(limit) + " characters of the " +
                   what + "; this one has " + std::to_string(text.size()) +
                   ", so the camera would refuse the login";
        },
        "at most " + std::to_string(limit) + " characters");
}

const CLI::Validator& ZoomValidator() {
    static const CLI::Validator zoom = WholeNumber(kMinZoom, kMaxZoom);
    return zoom;
}

const CLI::Validator& DepthValidator() {
    static const CLI::Validator depth = OneOf({32, 8, 4});
    return depth;
}

std::string PlainParseError(const CLI::ParseError& error) {
    std::string message = error.what();
    for (char& c : message)
        if (c == '\n') c = ' ';
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        const std::size_t colon = message.find(": ");
        return "unexpected argument" +
               (colon == std::string::npos ? std::string() : " " + message.substr(colon + 2));
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        const std::size_t colon = message.find(':');
        if (colon != std::string::npos) return message.substr(0, colon) + " needs a value";
    }
    return message;
}

}  // namespace apps
