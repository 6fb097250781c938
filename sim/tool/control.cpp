// winsim control: a control for a service, appended to its control channel
// file in the machine folder, which the service follows while it runs and
// which `winsim restart` hands to its next start.
#include <filesystem>
#include <fstream>
#include <iostream>

#include "sim/core/names.h"
#include "sim/services/control_channel.h"
#include "sim/tool/commands.h"

namespace fs = std::filesystem;

namespace winsim {

std::string controlFile(const std::string& folder, const std::string& service) {
    return (fs::path(folder) / "controls" / (sim::lower(service) + ".txt")).string();
}

}  // namespace winsim

namespace {

void addControl(CLI::App& app) {
    auto* cmd = app.add_subcommand("control", "Send a control to a service: at its next start, or at once "
                                              "when it is running");
    static std::string folder, service, control, before;
    cmd->add_option("folder", folder, "Machine folder")->required();
    cmd->add_option("service", service, "Service name")->required();
    cmd->add_option("control", control, "stop, pause, continue, interrogate, shutdown or a number")->required();
    cmd->add_option("--before", before, "Send it when the service's main thread starts this call: FUNCTION#N");
    cmd->callback([] {
        winsim::loadOrExit(folder);
        std::string line = control + (before.empty() ? "" : " before " + before);
        uint32_t code = 0;
        std::string function, error;
        unsigned nth = 0;
        if (!sim::parseServiceControl(line, code, function, nth, error)) {
            std::cerr << "winsim: " << error << "\n";
            std::exit(2);
        }
        std::string path = winsim::controlFile(folder, service);
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::app) << line << "\n";
    });
}

winsim::Command controlCommand(addControl);

}  // namespace
