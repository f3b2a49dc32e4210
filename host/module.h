// The module's bookkeeping and entry points: live objects and server locks (which decide whether
// the module may be unloaded), the path of the file holding the code, and the four in-process
// server entry points with C linkage, the only symbols the shared library exports.
#pragma once

#include <string>

#include "platform/com.h"

#define QUORLINA_EXPORT __attribute__((visibility("default")))

namespace host {

// Every object the module hands out counts itself alive from construction to destruction.
void ModuleObjectCreated();
void ModuleObjectDestroyed();
long ModuleLiveObjects();

// Full path of the shared library or executable that holds this code; empty if it cannot be told.
std::string ModulePath();

}  // namespace host

extern "C" {
// Writes the control's registration entries and its type library's into the registry layer.
QUORLINA_EXPORT platform::HRESULT DllRegisterServer();
// Removes the control's entries (the type library stays registered); always S_OK.
QUORLINA_EXPORT platform::HRESULT DllUnregisterServer();
// The class factory of the one class, for IUnknown or IClassFactory.
QUORLINA_EXPORT platform::HRESULT DllGetClassObject(const platform::CLSID& clsid,
                                                    const platform::IID& iid, void** object);
// S_OK when no object and no server lock is outstanding, else S_FALSE.
QUORLINA_EXPORT platform::HRESULT DllCanUnloadNow();
}
