// The `quorlina` command: dispatches to its subcommands (camera, run, demo, ...).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "apps/cli.h"
#include "apps/options.h"

namespace apps {
namespace {
std::map<std::string, Subcommand>& Commands() {
    static std::map<std::string, Subcommand> commands;
    return commands;
}

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: quorlina COMMAND [options]   (quorlina COMMAND --help for details)\n"
                      "       quorlina --version\n\ncommands:\n");
    for (const auto& [name, command] : Commands())
        std::fprintf(out, "  %-10s %s\n", name.c_str(), command.summary);
}
}  // namespace

void RegisterSubcommand(const Subcommand& command) { Commands()[command.name] = command; }

void ParseOrExit(CLI::App& app, int argc, char** argv) {
    // An unknown option is named before anything else is complained about.
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") break;
        if (arg.size() < 2 || arg[0] != '-' || arg == "--help" || arg == "-h") continue;
        if (std::isdigit(static_cast<unsigned char>(arg[1]))) continue;  // a negative number
        std::string name = arg.substr(0, arg.find('='));
        if (app.get_option_no_throw(name) == nullptr) {
            std::fprintf(stderr, "%s: unknown option %s\n", app.get_name().c_str(), name.c_str());
            std::exit(2);
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::printf("%s", app.help().c_str());
        std::exit(0);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s\n", app.get_name().c_str(), PlainParseError(e).c_str());
        std::exit(2);
    }
}

}  // namespace apps

int main(int argc, char** argv) {
    using apps::Commands;
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        apps::PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("quorlina %s\n", QUORLINA_VERSION);
        return 0;
    }
    auto it = Commands().find(argv[1]);
    if (it == Commands().end()) {
        std::fprintf(stderr, "quorlina: unknown command \"%s\" (quorlina --help lists them)\n", argv[1]);
        return 2;
    }
    std::string name = std::string("quorlina ") + argv[1];
    std::vector<char*> args;
    args.push_back(name.data());
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    return it->second.run(static_cast<int>(args.size()), args.data());
}
