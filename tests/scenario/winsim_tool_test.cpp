// winsim as a user drives it: standard input from a file, console output in
// the machine's code page, and the preset adapters' compatible ids.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>

#include "harness.h"
#include "platform/win_registry.h"

namespace {

using scenario::contains;

void program(scenario::Machine& machine, const std::string& windowsPath, const std::string& script) {
    std::string host = machine.hostPath(windowsPath);
    scenario::writeFile(host, "#!/bin/sh\n" + script + "\n");
    ::chmod(host.c_str(), 0755);
}

TEST(WinsimTool, RunTakesStandardInputFromTheInputFileWithoutAnOutputFile) {
    scenario::Machine machine("clean");
    program(machine, "C:\\echo.exe", "cat");
    std::string answers = machine.folder() + "/answers.txt", caller = machine.folder() + "/caller.txt",
                out = machine.folder() + "/terminal.txt";
    scenario::writeFile(answers, "y\nfrom the file\n");
    scenario::writeFile(caller, "n\nfrom the caller\n");
    std::string command = std::string(WINSIM_BINARY) + " run '" + machine.folder() + "' --input '" + answers +
                          "' -- 'C:\\echo.exe' < '" + caller + "' > '" + out + "'";
    int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(scenario::readFile(out), "y\nfrom the file\n");
}

TEST(WinsimTool, ConsoleOutputInTheMachinesCodePageIsKeptAndShownDecoded) {
    scenario::Machine machine("clean");
    // "日本語" in code page 932, as a Japanese program writes it.
    const std::string japanese = "\x93\xFA\x96\x7B\x8C\xEA";
    program(machine, "C:\\hello.exe", "printf '\\223\\372\\226\\173\\214\\352\\n'");
    machine.edit([](sim::Machine& m) {
        m.defaultLangId = 0x0411;
        sim::ensureKey(m, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce").values["Hello"] =
            sim::RegValue{REG_SZ, sim::regSz("C:\\hello.exe")};
    });
    auto r = machine.winsim({"restart"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "      | 日本語\n")) << r.output;
    ASSERT_FALSE(machine.state().processes.empty());
    EXPECT_EQ(machine.state().processes.back().output, japanese + "\n");
    EXPECT_TRUE(contains(machine.winsim({"show"}).output, "      | 日本語\n"));
    EXPECT_TRUE(contains(machine.winsim({"changes"}).output, "\"日本語\\n\"")) << machine.winsim({"changes"}).output;
}

TEST(WinsimTool, ForceCodeWBindsThePresetOlderAdapterByItsCompatibleId) {
    scenario::Machine machine("old-adapter");
    auto r = machine.run("D:\\WIN2000\\SETUP.EXE /Q -FW");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    size_t adapters = 0;
    for (const auto& d : machine.state().devices) {
        if (d.instanceId.rfind("PCI\\VEN_1D3C&DEV_01A4", 0) != 0) continue;
        ++adapters;
        EXPECT_EQ(d.boundSection, "KorpaOlder.NT");
    }
    EXPECT_EQ(adapters, 1u);
}

// The same seed makes the same machine, whatever came before; another seed
// another machine. The description beside it makes it again with --from.
TEST(WinsimTool, RandomMachineIsTheSameForTheSameSeed) {
    scenario::Machine first(scenario::Machine::Seed{41}, ".first");
    scenario::Machine other(scenario::Machine::Seed{42}, ".other");
    scenario::Machine again(scenario::Machine::Seed{41}, ".again");
    scenario::Machine described(first.folder() + "/random/machine.json", ".described");
    auto show = [](scenario::Machine& m) {
        std::string text = m.winsim({"show"}).output;
        return text.substr(text.find('\n'));  // without the line that names the folder
    };
    EXPECT_EQ(show(first), show(again));
    EXPECT_EQ(scenario::readFile(first.folder() + "/random/machine.json"),
              scenario::readFile(again.folder() + "/random/machine.json"));
    EXPECT_NE(show(first), show(other));
    EXPECT_EQ(show(first), show(described));
}

}  // namespace
