// The script host's language: one statement a line, run against one control through its
// IDispatch, as a container's script engine does (names through GetIDsOfNames, kinds and
// parameter types from the type information, calls through Invoke).
//   Name = value        puts a property (an integer, or a string in double quotes)
//   Name(args)          calls a method (integer arguments, comma-separated)
//   print Name ...      prints each property as "Name = value", one per line
//   wait MS             sleeps
//   # ...               comment
#pragma once

#include <iosfwd>
#include <string>

#include "platform/com.h"

namespace apps {

// Runs the script. Returns true when every line ran; otherwise false with "line N: ..." in *error.
bool RunScript(std::istream& script, platform::IDispatch& control, std::ostream& out,
               std::string* error);

}  // namespace apps
