// Runs the built installer as a process through winsim on a machine folder
// of its own and reads back what it left.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/core/machine.h"

namespace scenario {

struct RunResult {
    int exitCode = -1;
    std::string output;       // the console, exactly as written
    nlohmann::json report;    // open handles and heap blocks left at exit
    std::vector<nlohmann::json> trace;  // platform calls, when traced
};

class Machine {
public:
    // A fresh machine folder made from a preset (or a description file when
    // the name ends in .json); the folder is named after the current test.
    // A suffix names one of several machines of the same test.
    explicit Machine(const std::string& preset = "default", const std::string& suffix = "");
    // A machine made from a seed (winsim create --random), its description
    // in folder()/random.
    struct Seed {
        uint64_t value;
    };
    Machine(Seed seed, const std::string& suffix);
    // A copy of another machine's folder, as that machine stands (named the
    // same way).
    Machine(const Machine& original, const std::string& suffix);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Runs a Windows command line; input is what standard input holds.
    RunResult run(const std::string& commandLine, const std::string& input = "",
                  const std::string& cwd = "D:\\WIN2000", const std::vector<std::string>& extra = {});
    // Any winsim subcommand on this machine ("restart", "show" ...): its
    // output and exit code.
    RunResult winsim(const std::vector<std::string>& args);

    sim::Machine state() const;
    void edit(const std::function<void(sim::Machine&)>& change);
    const std::string& folder() const { return folder_; }
    // Host path of a Windows path of drive C: in this machine.
    std::string hostPath(const std::string& windowsPath) const;

    // Runs longer than this many seconds are stopped (exit code 124); 0: no
    // limit.
    int timeoutSeconds = 0;
    // Whether run() records the platform calls (RunResult::trace).
    bool traced = true;

private:
    void create(const std::string& suffix, const std::string& source);
    std::string prefix() const;
    std::string folder_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace scenario
