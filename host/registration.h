// The registration entries of the control and of its type library, written into and removed from
// the classes root of the registry layer. Texts and key names are exact: containers look them up.
//
// Type library entries (what a desktop type-library registration writes, kept to the library key):
//   TypeLib\{library id}\1.0          = "QuorlinLite 1.0"
//   TypeLib\{library id}\1.0\0\win32  = module path (the library lives in the module's code)
//   TypeLib\{library id}\1.0\FLAGS    = "0"
//   TypeLib\{library id}\1.0\HELPDIR  = the module's directory
#pragma once

#include <string>

namespace host {

// Writes every entry, the class's CLSID subkey afresh (deleted with its subkeys first).
void RegisterControl(const std::string& module_path);
// Removes the programmatic identifiers and the class's CLSID subkey with all their subkeys. The
// CLSID key itself and the type library entries stay.
void UnregisterControl();

}  // namespace host
