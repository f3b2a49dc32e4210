// The script host's language: one statement a line, run against one control through its
// IDispatch, as a container's script engine does (names through GetIDsOfNames, kinds and
// parameter types from the type information, calls through Invoke).
//   Name = value        puts a property (an integer, or a string in double quotes)
//   Name(args)          calls a method (integer arguments, comma-separated)
//   print Name ...      prints each property as "Name = value", one per line
//   wait MS             sleeps
//   # ...               comment
// Statement words (print, wait) and member names are case-insensitive.
#pragma once

#include <iosfwd>
#include <string>

#include "platform/com.h"

namespace apps {

// What the camera did while a script ran, beyond the script's own lines.
struct CameraReport {
    std::ostream* notes = nullptr;  // one line each: a session that ended, a command that failed
    std::string prefix;             // put before each line (the program's name)
    bool failed = false;            // set when any such line was written
};

// Runs the script. Returns true when every line ran; otherwise false with "line N: ..." in *error.
// With a report, a session started by the script's Play that ends by itself (or whose native
// attempt fails) is told with the reason and the line that started it, and so is every command
// the camera refused or never received; at the end of the script, commands still under way are
// waited for (bounded), so that their outcome is known before the script's status is.
bool RunScript(std::istream& script, platform::IDispatch& control, std::ostream& out,
               std::string* error, CameraReport* report = nullptr);

}  // namespace apps
