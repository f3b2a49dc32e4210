// Subcommands of the `quorlina` command register themselves here; main() dispatches by name.
// ParseOrExit gives every subcommand the same behaviour on bad arguments: one line naming the
// argument on stderr and exit status 2; --help prints the usage and exits 0.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace apps {

struct Subcommand {
    const char* name;
    const char* summary;
    int (*run)(int argc, char** argv);  // argv[0] is "quorlina NAME"
};

void RegisterSubcommand(const Subcommand& command);

struct SubcommandRegistrar {
    explicit SubcommandRegistrar(const Subcommand& command) { RegisterSubcommand(command); }
};

// Returns normally when the arguments parsed; otherwise exits the process (0 for --help, 2 else).
void ParseOrExit(CLI::App& app, int argc, char** argv);

}  // namespace apps
