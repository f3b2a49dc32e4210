// `quorlina run SCRIPT`: runs a script (a file, or - for standard input) against one control,
// hosted as a container hosts it (class factory, client site with ambient properties, in-place
// activation) and driven through its IDispatch as a container's script engine does.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "apps/cli.h"
#include "apps/host.h"
#include "apps/script.h"

namespace apps {
namespace {

int Run(int argc, char** argv) {
    CLI::App app{"Runs a script against one control with a headless window.\n"
                 "Statements: Name = value | Name(args) | print Name ... | wait MS | # comment\n"
                 "Exit status: 0 the script ran and its camera did all it was asked; 1 a line "
                 "failed; 2 bad arguments or no readable script; 3 the script ran, but a session "
                 "it started ended by itself or the camera refused or missed a command (each "
                 "told on stderr)",
                 argv[0]};
    std::string path;
    HostOptions host;
    app.add_option("script", path, "script file, or - for standard input")->required();
    AddHostOptions(app, host);
    ParseOrExit(app, argc, argv);

    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        std::error_code ignored;
        if (std::filesystem::is_directory(path, ignored)) {
            std::cerr << "quorlina run: " << path << ": is a directory, not a script\n";
            return 2;
        }
        file.open(path);
        if (!file) {
            std::cerr << "quorlina run: " << path << ": " << std::strerror(errno) << "\n";
            return 2;
        }
        in = &file;
    }
    std::string error;
    container::HostedControl c =
        container::HostedControl::Create(ControlOptionsOf(host, {}), &error);
    if (!c) {
        std::cerr << "quorlina run: " << error << "\n";
        return 1;
    }
    CameraReport camera{&std::cerr, "quorlina run: "};
    bool ok = RunScript(*in, c.Dispatch(), std::cout, &error, &camera);
    std::cout.flush();
    c = container::HostedControl();  // closing it stops the stream and destroys the control
    if (!ok) {
        std::cerr << "quorlina run: " << error << "\n";
        return 1;
    }
    return camera.failed ? 3 : 0;
}

const SubcommandRegistrar kRegistrar{{"run", "run a script against one control", &Run}};

}  // namespace
}  // namespace apps
