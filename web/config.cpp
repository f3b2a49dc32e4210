// Reads cameras.json field by field; each check names the field's path and the rule it broke.
// Unknown fields are refused too: a misspelt "zom" would otherwise be silently ignored.
#include "web/config.h"

#include <cctype>
#include <climits>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/window.h"

namespace web {

using nlohmann::json;

const char* to_string(PlayPolicy policy) {
    return policy == PlayPolicy::kAlways ? "always" : "watched";
}

namespace {

struct ConfigError {
    std::string message;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
    throw ConfigError{path + ": " + what};
}

std::string Kind(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        default:
            return "a number";
    }
}

int Integer(const json& v, const std::string& path, int low, int high) {
    if (!v.is_number_integer()) {
        if (v.is_number()) Fail(path, v.dump() + " is not a whole number");
        Fail(path, "expected a whole number " + std::to_string(low) + ".." + std::to_string(high) +
                       ", got " + Kind(v));
    }
    const long long n = v.get<long long>();
    if (n < low || n > high)
        Fail(path, v.dump() + " is outside " + std::to_string(low) + ".." + std::to_string(high));
    return static_cast<int>(n);
}

std::string Text(const json& v, const std::string& path, std::size_t max_bytes) {
    if (!v.is_string()) Fail(path, "expected a string, got " + Kind(v));
    std::string s = v.get<std::string>();
    if (s.size() > max_bytes)
        Fail(path, "longer than " + std::to_string(max_bytes) + " characters");
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) Fail(path, "control characters are not allowed");
    return s;
}

void CheckKeys(const json& object, const std::string& path, const std::set<std::string>& known) {
    for (const auto& [key, value] : object.items()) {
        if (known.count(key) == 0) {
            std::string list;
            for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
            Fail(path.empty() ? key : path + "." + key, "unknown field (known: " + list + ")");
        }
    }
}

bool ParseSizeText(const std::string& text, int* w, int* h) {
    const std::size_t x = text.find('x');
    if (x == std::string::npos || x == 0 || x + 1 >= text.size()) return false;
    long long a = 0, b = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == x) continue;
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        long long& n = i < x ? a : b;
        n = n * 10 + (text[i] - '0');
        if (n > INT_MAX) return false;
    }
    *w = static_cast<int>(a);
    *h = static_cast<int>(b);
    return true;
}

std::uint32_t Colour(const json& v, const std::string& path) {
    const std::string s = Text(v, path, 7);
    const std::string digits = !s.empty() && s[0] == '#' ? s.substr(1) : s;
    if (digits.size() != 6 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        Fail(path, "expected a colour as \"#RRGGBB\", got \"" + s + "\"");
    return static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
}

CameraConfig ParseCamera(const json& v, const std::string& path, int default_quality) {
    if (!v.is_object()) Fail(path, "expected an object, got " + Kind(v));
    CheckKeys(v, path,
              {"name", "target", "user", "password", "auth_type", "preview", "zoom", "resize",
               "display", "depth", "background", "timeout", "play", "allow", "quality"});
    CameraConfig c;
    c.quality = default_quality;
    if (!v.contains("name")) Fail(path + ".name", "missing");
    c.name = Text(v["name"], path + ".name", kMaxCameraNameBytes);
    if (!IsCameraName(c.name))
        Fail(path + ".name", "\"" + c.name + "\" may hold only letters, digits, '-' and '_'");
    if (!v.contains("target")) Fail(path + ".target", "missing");
    c.target = Text(v["target"], path + ".target", kMaxTargetBytes);
    if (c.target.empty()) Fail(path + ".target", "empty");
    if (v.contains("user")) c.user = Text(v["user"], path + ".user", kMaxUserBytes);
    if (v.contains("password"))
        c.password = Text(v["password"], path + ".password", kMaxPasswordBytes);
    if (v.contains("auth_type")) c.auth_type = Integer(v["auth_type"], path + ".auth_type", 0, 255);
    if (v.contains("preview")) {
        const std::string p = Text(v["preview"], path + ".preview", 16);
        if (!ParseSizeText(p, &c.preview_width, &c.preview_height) || c.preview_width < 1 ||
            c.preview_height < 1 || c.preview_width > platform::kMaxScreenSide ||
            c.preview_height > platform::kMaxScreenSide)
            Fail(path + ".preview", "expected \"WxH\" with sides 1.." +
                                        std::to_string(platform::kMaxScreenSide) + ", got \"" + p +
                                        "\"");
    }
    if (v.contains("zoom")) c.zoom = Integer(v["zoom"], path + ".zoom", kMinZoom, kMaxZoom);
    if (v.contains("resize")) c.resize = Integer(v["resize"], path + ".resize", 0, 1);
    if (v.contains("display")) c.display = Integer(v["display"], path + ".display", 0, 2);
    if (v.contains("depth")) {
        c.depth = Integer(v["depth"], path + ".depth", 4, 32);
        if (!platform::IsScreenDepth(c.depth))
            Fail(path + ".depth", std::to_string(c.depth) + " is not one of 32, 8, 4");
    }
    if (v.contains("background")) c.background = Colour(v["background"], path + ".background");
    if (v.contains("timeout"))
        c.timeout = Integer(v["timeout"], path + ".timeout", 1, kMaxTimeoutSeconds);
    if (v.contains("quality")) c.quality = Integer(v["quality"], path + ".quality", 1, 100);
    if (v.contains("play")) {
        const std::string p = Text(v["play"], path + ".play", 16);
        if (p == "watched")
            c.play = PlayPolicy::kWatched;
        else if (p == "always")
            c.play = PlayPolicy::kAlways;
        else
            Fail(path + ".play", "expected \"watched\" or \"always\", got \"" + p + "\"");
    }
    if (v.contains("allow")) {
        const json& a = v["allow"];
        if (!a.is_array()) Fail(path + ".allow", "expected an array of targets, got " + Kind(a));
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::string entry_path = path + ".allow[" + std::to_string(i) + "]";
            std::string t = Text(a[i], entry_path, kMaxTargetBytes);
            if (t.empty()) Fail(entry_path, "empty");
            c.allow.push_back(std::move(t));
        }
    }
    return c;
}

}  // namespace

bool IsCameraName(const std::string& name) {
    if (name.empty() || name.size() > kMaxCameraNameBytes) return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '-' && c != '_') return false;
    return true;
}

bool ParseListen(const std::string& text, std::string* host, int* port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    std::string h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') return false;
        h = h.substr(1, h.size() - 2);
    }
    const std::string p = text.substr(colon + 1);
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    const int n = std::stoi(p);
    if (n < 0 || n > 65535) return false;  // 0: any free port
    for (unsigned char c : h)
        if (!std::isalnum(c) && c != '.' && c != '-' && c != ':') return false;
    *host = h;
    *port = n;
    return true;
}

bool IsLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string TargetWithoutCredentials(const std::string& target) {
    const std::size_t scheme = target.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t slash = target.find('/', start);
    const std::size_t at = target.rfind('@', slash == std::string::npos ? target.size() : slash);
    if (at == std::string::npos || at < start) return target;
    return target.substr(0, start) + target.substr(at + 1);
}

bool ParseServeConfig(const std::string& text, ServeConfig* config, std::string* error) {
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
        // Parse again with exceptions for the position of the fault.
        try {
            doc = json::parse(text);
        } catch (const json::parse_error& e) {
            *error = "not valid JSON (at byte " + std::to_string(e.byte) + ")";
            return false;
        }
        *error = "not valid JSON";
        return false;
    }
    try {
        ServeConfig c;
        if (!doc.is_object()) Fail("(top)", "expected an object, got " + Kind(doc));
        CheckKeys(doc, "", {"listen", "token", "connections", "quality", "cameras"});
        if (doc.contains("listen")) {
            const std::string l = Text(doc["listen"], "listen", 300);
            if (!ParseListen(l, &c.listen_host, &c.port))
                Fail("listen", "expected \"address:port\" with port 1..65535, got \"" + l + "\"");
        }
        if (doc.contains("token")) {
            c.token = Text(doc["token"], "token", kMaxTokenBytes);
            if (c.token.size() < kMinTokenBytes)
                Fail("token", "shorter than " + std::to_string(kMinTokenBytes) + " characters");
            for (unsigned char ch : c.token)
                if (!std::isalnum(ch) && ch != '-' && ch != '_' && ch != '.' && ch != '~')
                    Fail("token", "may hold only letters, digits and - _ . ~");
        }
        if (doc.contains("connections"))
            c.max_connections = Integer(doc["connections"], "connections", 1, kMaxConnectionsLimit);
        int quality = kDefaultQuality;
        if (doc.contains("quality")) quality = Integer(doc["quality"], "quality", 1, 100);
        if (!doc.contains("cameras")) Fail("cameras", "missing");
        const json& cams = doc["cameras"];
        if (!cams.is_array()) Fail("cameras", "expected an array, got " + Kind(cams));
        if (cams.empty()) Fail("cameras", "empty: at least one camera is needed");
        if (cams.size() > kMaxCameras)
            Fail("cameras", "more than " + std::to_string(kMaxCameras) + " cameras");
        std::set<std::string> names;
        for (std::size_t i = 0; i < cams.size(); ++i) {
            const std::string path = "cameras[" + std::to_string(i) + "]";
            CameraConfig cam = ParseCamera(cams[i], path, quality);
            if (!names.insert(cam.name).second)
                Fail(path + ".name", "\"" + cam.name + "\" is used by an earlier camera");
            c.cameras.push_back(std::move(cam));
        }
        *config = std::move(c);
        return true;
    } catch (const ConfigError& e) {
        *error = e.message;
        return false;
    }
}

}  // namespace web
