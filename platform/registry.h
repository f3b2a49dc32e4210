// The per-user settings registry: keys under a root, each holding named 32-bit numbers and texts.
// An in-process store that can be loaded from and saved to a text file. The current user's
// "Internet Settings" key also shows the proxy from the environment's http_proxy / HTTP_PROXY, so
// that the control's proxy detection sees the user's proxy; values stored there take precedence,
// and the environment's are never written to a file.
//
// The file: readable text, one key or value a line, keys in order.
//   ; a comment (so is a line starting with #); blank lines are ignored
//   [HKCR\CLSID\{5D2E91A4-7C3B-4F10-9A6E-2B84C0D7E613}]   a key: HKCR (classes root) or HKCU
//                                       (current user; HKEY_CLASSES_ROOT and HKEY_CURRENT_USER
//                                       are read too), then the path
//   @="Quorlin Lite Class"              the key's default value, a text
//   "ThreadingModel"="Apartment"        a named text
//   "ProxyEnable"=dword:00000001        a named 32-bit number, 1 to 8 hexadecimal digits
// In names and texts \\ stands for a backslash, \" for a quote and \xHH for any byte; bytes below
// 0x20 and 0x7F are written that way, others as they are (texts are ISO-8859-1). A key holding
// nothing but subkeys is implied by them; a key holding nothing at all gets a line of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class RegistryRoot { CurrentUser, ClassesRoot };

inline constexpr const char* kInternetSettingsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Reads a 32-bit number; false when the key or the value is missing or is not a number.
bool RegReadDword(RegistryRoot root, const std::string& key, const std::string& name,
                  std::uint32_t& out);
// Reads a text into out (at most size - 1 characters and a terminator); false when missing.
bool RegReadString(RegistryRoot root, const std::string& key, const std::string& name, char* out,
                   std::size_t size);

// Creates the key (and its parents) when needed and stores the value. An empty name is the key's
// default value.
void RegWriteDword(RegistryRoot root, const std::string& key, const std::string& name,
                   std::uint32_t value);
void RegWriteString(RegistryRoot root, const std::string& key, const std::string& name,
                    const std::string& value);
void RegCreateKey(RegistryRoot root, const std::string& key);
// Removes one value; false when it was not there.
bool RegDeleteValue(RegistryRoot root, const std::string& key, const std::string& name);
// Removes a key with all its subkeys; false when it was not there.
bool RegDeleteTree(RegistryRoot root, const std::string& key);
bool RegKeyExists(RegistryRoot root, const std::string& key);

// Forgets everything and, unless told not to, takes the proxy settings from the environment again.
// Tests use it to start from a known store.
void RegResetForTesting(bool seed_from_environment);

// Every key currently held under a root, with its values, in key order (for printing and files).
// The environment's proxy values are not part of it.
struct RegistryValue {
    std::string name;
    bool is_number = false;
    std::uint32_t number = 0;
    std::string text;
};
struct RegistryKey {
    std::string path;
    std::vector<RegistryValue> values;
};
std::vector<RegistryKey> RegSnapshot(RegistryRoot root);

// --- the registry file ---
enum class RegFileResult {
    Ok,       // loaded (or saved)
    Missing,  // no file at the path: nothing loaded, the store is as it was
    Damaged,  // a line that cannot be read: nothing loaded; *error names the line
    IoError,  // the file could not be read or written; *error says why
};
const char* to_string(RegFileResult result);

// Replaces every stored key of both roots with the file's. On any result but Ok the store is left
// as it was.
RegFileResult RegLoadFile(const std::string& path, std::string* error);
// Writes the store to a new file beside path and renames it over path, so that the old file stays
// whole when anything fails; the directory must exist.
RegFileResult RegSaveFile(const std::string& path, std::string* error);
// $XDG_DATA_HOME/quorlina/registry.txt, else $HOME/.local/share/quorlina/registry.txt; empty when
// neither variable gives an absolute directory.
std::string RegDefaultFilePath();

}  // namespace platform
