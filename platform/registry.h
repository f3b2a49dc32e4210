// The per-user settings registry: keys under a root, each holding named 32-bit numbers and texts.
// An in-process store. The current user's "Internet Settings" key is seeded once from the
// environment's http_proxy / HTTP_PROXY so that the control's proxy detection sees the user's proxy.
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

// Forgets everything and, unless told not to, seeds the proxy settings from the environment again.
// Tests use it to start from a known store.
void RegResetForTesting(bool seed_from_environment);

// Every key currently held under a root, with its values, in key order (for printing and files).
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

}  // namespace platform
