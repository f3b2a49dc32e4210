// The camera a command is pointed at, as the user writes it: "http://host:port", "host:port"
// (the native protocol), or either with "user:password@" before the host. The credentials are
// taken out (RemoteHost never sees them, and no message repeats them); a scheme the control does
// not speak is refused with what it does speak.
#pragma once

#include <string>

namespace apps {

struct Target {
    std::string remote_host;  // what RemoteHost is given: the text without the credentials
    bool has_credentials = false;
    std::string user;
    std::string password;
};

// False with *error (one line, without the password) when the text cannot be a target.
bool ParseTarget(const std::string& text, Target* target, std::string* error);

}  // namespace apps
