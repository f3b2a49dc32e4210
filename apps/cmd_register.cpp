// `quorlina register [--registry FILE]`: writes the control's registration entries and its type
// library's into the registry file, as the desktop's registration tool does for a module.
#include "apps/cli.h"
#include "apps/registry_command.h"
#include "host/module.h"

namespace apps {
namespace {

int Register(int argc, char** argv) {
    return RunRegistryCommand(argc, argv,
                              "Writes the control's registration entries (class, programmatic "
                              "identifiers, type library) into the registry file.",
                              &DllRegisterServer, "DllRegisterServer", "registered");
}

const SubcommandRegistrar kRegistrar{
    {"register", "write the control's registration entries", &Register}};

}  // namespace
}  // namespace apps
