// The registry file around a module entry point.
#include "apps/registry_command.h"

#include <filesystem>
#include <iostream>
#include <string>

#include "apps/cli.h"
#include "host/identity.h"
#include "host/module.h"
#include "platform/registry.h"

namespace apps {

int RunRegistryCommand(int argc, char** argv, const char* description, platform::HRESULT (*entry)(),
                       const char* entry_name, const char* done, bool removes_only) {
    CLI::App app{description, argv[0]};
    std::string path;
    app.add_option("--registry", path,
                   "registry file (default $XDG_DATA_HOME/quorlina/registry.txt, else "
                   "~/.local/share/quorlina/registry.txt)");
    ParseOrExit(app, argc, argv);
    const std::string name = argv[0];
    if (app.count("--registry") > 0 && path.empty()) {
        std::cerr << name << ": --registry: expected a file name, got \"\"\n";
        return 2;
    }
    const bool default_path = path.empty();
    if (default_path) path = platform::RegDefaultFilePath();
    if (removes_only && !path.empty()) {
        std::error_code ignored;
        if (!std::filesystem::exists(path, ignored)) {
            std::cout << "nothing was registered in " << path << " (no such file)\n";
            return 0;
        }
    }

    if (default_path) {
        if (path.empty()) {
            std::cerr << name
                      << ": no --registry FILE, and neither XDG_DATA_HOME nor HOME is set\n";
            return 2;
        }
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        if (ec) {
            std::cerr << name << ": cannot create the directory of " << path << ": " << ec.message()
                      << "\n";
            return 1;
        }
    }
    std::string error;
    const platform::RegFileResult loaded = platform::RegLoadFile(path, &error);
    if (loaded == platform::RegFileResult::Damaged) {
        std::cerr << name << ": " << path << ": " << error << " (file left as it is)\n";
        return 1;
    }
    if (loaded == platform::RegFileResult::IoError) {
        std::cerr << name << ": " << error << "\n";
        return 1;
    }
    const platform::HRESULT hr = entry();
    if (!platform::Succeeded(hr)) {
        std::cerr << name << ": " << entry_name << " failed with " << platform::HresultName(hr)
                  << "\n";
        return 1;
    }
    if (platform::RegSaveFile(path, &error) != platform::RegFileResult::Ok) {
        std::cerr << name << ": " << error << " (file left as it was)\n";
        return 1;
    }
    std::cout << done << " " << host::kProgId << " " << platform::FormatGuid(host::kClsidQuorlina)
              << " (module " << host::ModulePath() << ") in " << path << "\n";
    return 0;
}

}  // namespace apps
