// What `quorlina register` and `quorlina unregister` share: the registry file option, loading the
// file, calling the module's entry point, and saving the file again.
#pragma once

#include "platform/com.h"

namespace apps {

// Parses [--registry FILE], loads the file (a missing one is an empty registry), runs entry,
// saves. Prints `done` with the file's path on success. Exit status: 0, 1 when the file is
// damaged or cannot be read or written or the entry point fails, 2 for bad arguments (an empty
// --registry among them). With removes_only, a missing file means nothing was registered there:
// that is said, and no file or folder is made.
int RunRegistryCommand(int argc, char** argv, const char* description, platform::HRESULT (*entry)(),
                       const char* entry_name, const char* done, bool removes_only = false);

}  // namespace apps
