// `quorlina unregister [--registry FILE]`: removes the control's registration entries from the
// registry file (the type library stays registered).
#include "apps/cli.h"
#include "apps/registry_command.h"
#include "host/module.h"

namespace apps {
namespace {

int Unregister(int argc, char** argv) {
    return RunRegistryCommand(argc, argv,
                              "Removes the control's registration entries from the registry file; "
                              "the CLSID key and the type library entries stay.",
                              &DllUnregisterServer, "DllUnregisterServer", "unregistered",
                              /*removes_only=*/true);
}

const SubcommandRegistrar kRegistrar{
    {"unregister", "remove the control's registration entries", &Unregister}};

}  // namespace
}  // namespace apps
