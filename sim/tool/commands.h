// Subcommands of the winsim tool. Each file of the tool may add its own
// through a static Command object.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

#include "sim/core/machine.h"

namespace winsim {

struct Command {
    explicit Command(std::function<void(CLI::App&)> add);
};

void registerAll(CLI::App& app);

// Loads the machine in a folder or stops the tool with a message.
sim::Machine loadOrExit(const std::string& folder);
void saveOrExit(const std::string& folder, const sim::Machine& m);

// Runs a Windows command line in the machine as winsim run does; returns
// the program's exit code (or -1 when it could not be started, with the
// reason on standard error).
struct RunOptions {
    std::string cwd;        // Windows current directory, "D:\\WIN2000"
    std::string account;    // administrator, user or system; empty: the machine's
    std::string faults;     // WINSIM_FAIL form
    std::string trace;      // file for the record of platform calls
    std::string report;     // file for the exit report (handles and heap left)
    std::string service;    // run as this service (started by the service manager)
    std::string outputFile; // console to a file instead of the terminal
    std::string inputFile;  // standard input from a file
    std::string control;    // control channel of a service (WINSIM_CONTROL)
    std::string power;      // the machine's armed power (WINSIM_POWER, sim/core/power.h)
};
int runInMachine(const std::string& folder, const std::string& commandLine, const RunOptions& options);
// What runInMachine returns for a program that the machine's power cut
// took: it has no exit code.
const int PowerCutOff = -2;
// The exit status of `winsim run` and `winsim restart` when the power was
// cut.
const int PowerCutStatus = 123;
// Arms the power for a cut (`--cut SPEC`) or stops the tool with a message.
void armPowerOrExit(const std::string& folder, const std::string& spec);
// The line that tells where the power went.
std::string powerCutText();

// The control channel of a service in a machine folder
// (controls/<service>.txt): `winsim control` appends to it, `winsim restart`
// hands it to the service's next start.
std::string controlFile(const std::string& folder, const std::string& service);

// Text view of a machine (what `winsim show` prints).
void printMachine(const sim::Machine& m, const std::string& folder, std::ostream& out);

// A program's console bytes as UTF-8 text, decoded with the code page of
// the machine's default language (932 for Japanese, 1252 otherwise).
const char* consoleCodePage(uint16_t langId);
std::string consoleText(const std::string& bytes, uint16_t langId);

// Snapshot of a machine folder (state and files of drive C:) for `changes`.
nlohmann::json snapshot(const std::string& folder);
void printChanges(const nlohmann::json& before, const nlohmann::json& after, std::ostream& out);

}  // namespace winsim
