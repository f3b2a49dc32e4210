#include "apps/target.h"

#include <cctype>

#include "apps/options.h"

namespace apps {

bool ParseTarget(const std::string& text, Target* target, std::string* error) {
    *target = Target{};
    std::string rest = text;
    std::string scheme;
    const std::size_t mark = text.find("://");
    if (mark != std::string::npos) {
        for (std::size_t i = 0; i < mark; ++i)
            scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        if (scheme != "http") {
            *error = "\"" + text.substr(0, mark + 3) +
                     "\" is not spoken by the control: give http://host:port (a Motion-JPEG "
                     "camera) or host:port (its native protocol)";
            return false;
        }
        rest = text.substr(mark + 3);
    }
    // The credentials end at the last "@" before the path: a password may hold an "@".
    const std::size_t path = rest.find('/');
    const std::size_t at = rest.rfind('@', path == std::string::npos ? std::string::npos : path);
    if (at != std::string::npos && (path == std::string::npos || at < path)) {
        const std::string credentials = rest.substr(0, at);
        const std::size_t colon = credentials.find(':');
        target->has_credentials = true;
        target->user = credentials.substr(0, colon);
        target->password = colon == std::string::npos ? "" : credentials.substr(colon + 1);
        rest = rest.substr(at + 1);
        if (target->user.size() > kMaxUserLength) {
            *error = "the user name in the target has " + std::to_string(target->user.size()) +
                     " characters; the control sends at most " + std::to_string(kMaxUserLength);
            return false;
        }
        if (target->password.size() > kMaxPasswordLength) {
            *error = "the password in the target has " + std::to_string(target->password.size()) +
                     " characters; the control sends at most " +
                     std::to_string(kMaxPasswordLength);
            return false;
        }
    }
    if (rest.empty() || rest.front() == ':' || rest.front() == '/') {
        *error = "no camera host in the target";
        return false;
    }
    target->remote_host = mark == std::string::npos ? rest : text.substr(0, mark + 3) + rest;
    return true;
}

}  // namespace apps
