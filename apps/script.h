// The script host's language: one statement a line, run against one control through its member
// table.
//   Name = value        puts a property (an integer, or a string in double quotes)
//   Name(args)          calls a method (integer arguments, comma-separated)
//   print Name ...      prints each property as "Name = value", one per line
//   wait MS             sleeps
//   # ...               comment
#pragma once

#include <iosfwd>
#include <string>

#include "control/quorlina.h"

namespace apps {

// Runs the script. Returns true when every line ran; otherwise false with "line N: ..." in *error.
bool RunScript(std::istream& script, control::CQuorlina& control, std::ostream& out,
               std::string* error);

}  // namespace apps
