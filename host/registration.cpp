// Registration entries under the classes root.
#include "host/registration.h"

#include "host/identity.h"
#include "platform/registry.h"

namespace host {

namespace {

using platform::RegistryRoot;

constexpr const char* kProgIdText = "Quorlin Class";
constexpr const char* kClassKeyText = "Quorlin Lite Class";
constexpr const char* kClsidKey = "CLSID";
constexpr const char* kTypeLibKey = "TypeLib";
constexpr const char* kVersionText = "1.0";
constexpr const char* kToolboxBitmapResource = ",1";
constexpr const char* kTypeLibFlags = "0";

void SetDefault(const std::string& key, const std::string& text) {
    platform::RegWriteString(RegistryRoot::ClassesRoot, key, "", text);
}

std::string ClassKey() {
    return std::string(kClsidKey) + "\\" + platform::FormatGuid(kClsidQuorlina);
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

void RegisterControl(const std::string& module_path) {
    const std::string clsid = platform::FormatGuid(kClsidQuorlina);
    const std::string libid = platform::FormatGuid(kLibidQuorlin);

    SetDefault(kProgId, kProgIdText);
    SetDefault(std::string(kProgId) + "\\CLSID", clsid);
    SetDefault(kVersionIndependentProgId, kProgIdText);
    SetDefault(std::string(kVersionIndependentProgId) + "\\CurVer", kProgId);

    platform::RegCreateKey(RegistryRoot::ClassesRoot, kClsidKey);
    const std::string key = ClassKey();
    platform::RegDeleteTree(RegistryRoot::ClassesRoot, key);
    SetDefault(key, kClassKeyText);
    SetDefault(key + "\\ProgID", kProgId);
    SetDefault(key + "\\VersionIndependentProgID", kVersionIndependentProgId);
    platform::RegCreateKey(RegistryRoot::ClassesRoot, key + "\\Programmable");
    SetDefault(key + "\\InprocServer32", module_path);
    platform::RegWriteString(RegistryRoot::ClassesRoot, key + "\\InprocServer32", "ThreadingModel",
                             kThreadingModel);
    platform::RegCreateKey(RegistryRoot::ClassesRoot, key + "\\Control");
    platform::RegCreateKey(RegistryRoot::ClassesRoot, key + "\\Insertable");
    SetDefault(key + "\\ToolboxBitmap32", module_path + kToolboxBitmapResource);
    SetDefault(key + "\\MiscStatus", "0");
    SetDefault(key + "\\MiscStatus\\1", std::to_string(kMiscStatus));
    SetDefault(key + "\\TypeLib", libid);
    SetDefault(key + "\\Version", kVersionText);

    const std::string lib = std::string(kTypeLibKey) + "\\" + libid + "\\" + kVersionText;
    SetDefault(lib, kLibraryHelp);
    SetDefault(lib + "\\0\\win32", module_path);
    SetDefault(lib + "\\FLAGS", kTypeLibFlags);
    SetDefault(lib + "\\HELPDIR", DirectoryOf(module_path));
}

void UnregisterControl() {
    platform::RegDeleteTree(RegistryRoot::ClassesRoot, kProgId);
    platform::RegDeleteTree(RegistryRoot::ClassesRoot, kVersionIndependentProgId);
    platform::RegDeleteTree(RegistryRoot::ClassesRoot, ClassKey());
}

}  // namespace host
