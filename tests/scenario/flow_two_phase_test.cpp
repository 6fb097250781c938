// Whole installations: the first phase from the media, the simulated restart
// with the service phase or the RunOnce logon, and a second installation on
// the installed machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "flow_support.h"
#include "harness.h"

namespace fs = std::filesystem;
using namespace flow;

namespace {


// What an installation leaves that a second one must neither duplicate nor
// lose: the devices with their drivers, the services, RunOnce, the files of
// drive C:.
struct Installed {
    std::map<std::string, std::string> devices;  // instance id -> bound INF
    std::set<std::string> services;
    std::string runOnce;
    std::set<std::string> files;
    bool operator==(const Installed& o) const {
        return devices == o.devices && services == o.services && runOnce == o.runOnce && files == o.files;
    }
};

std::ostream& operator<<(std::ostream& out, const Installed& i) {
    for (const auto& [id, inf] : i.devices) out << "device " << id << " -> " << inf << "\n";
    for (const auto& s : i.services) out << "service " << s << "\n";
    out << "RunOnce " << i.runOnce << "\n";
    for (const auto& f : i.files) out << "file " << f << "\n";
    return out;
}

Installed installed(scenario::Machine& machine) {
    Installed out;
    sim::Machine m = machine.state();
    for (const auto& d : m.devices)
        if (d.present) out.devices[d.instanceId] = d.boundInf;
    if (const sim::RegKey* k = sim::findKey(m, "SYSTEM\\CurrentControlSet\\Services"))
        for (const auto& [name, key] : k->subkeys)
            if (key.values.count("Type")) out.services.insert(name);
    out.runOnce = runOnceSetup(m);
    for (const auto& e : fs::recursive_directory_iterator(machine.folder() + "/drives/C"))
        out.files.insert(fs::relative(e.path(), machine.folder() + "/drives/C").string());
    return out;
}

void expectNewerAdapterBound(scenario::Machine& machine) {
    sim::Machine m = machine.state();
    EXPECT_EQ(boundInf(m, "PCI\\VEN_1D3C&DEV_0207"), StagingTree + "\\win2000\\korpa.inf");
    EXPECT_EQ(boundInf(m, "MF\\MGTPROC_DEV3"), StagingTree + "\\win2000\\serw.inf");
    EXPECT_EQ(boundInf(m, "MF\\MGTPROC_DEV5"), StagingTree + "\\win2000\\mpw.inf");
    for (const auto& d : m.devices) EXPECT_FALSE(d.rootCreated && d.present) << d.instanceId << " left behind";
    EXPECT_TRUE(hasService(m, "qrvmpsvc"));
    EXPECT_FALSE(hasService(m, "mpsetup"));
    EXPECT_EQ(runOnceSetup(m), "");
}

TEST(FlowTwoPhase, UnattendedRunThroughTheServicePhaseAndItsReboot) {
    scenario::Machine machine("default");
    auto first = machine.run(MediaSetup + " /X");
    ASSERT_EQ(first.exitCode, 1);
    EXPECT_EQ(first.output, Banner + RemovingOld + RemovedOld);
    expectNothingLeftOpen(first);

    auto start = machine.winsim({"restart"});
    EXPECT_EQ(start.exitCode, 0) << start.output;
    EXPECT_TRUE(contains(start.output, "  service mpsetup: " + StagedSetup + "\n    exit code 0\n")) << start.output;
    const std::string console = newerAdapterBindings() + Complete + RebootForDriver;
    sim::Machine m = machine.state();
    ASSERT_GE(m.processes.size(), 2u);
    const sim::ProcessRecord& service = m.processes.back();
    EXPECT_EQ(service.console, "service");
    EXPECT_EQ(service.output, console) << "the service phase's console";
    EXPECT_TRUE(contains(start.output, "    states reported: 4 1\n")) << start.output;
    EXPECT_TRUE(contains(start.output, "service mpsetup was marked for deletion: removed")) << start.output;
    EXPECT_TRUE(contains(start.output, "  another restart asked for: yes\n")) << start.output;
    EXPECT_EQ(m.rebootRequests, std::vector<uint32_t>{2});
    // The phase's outcome, where an administrator looks for it.
    const std::string outcome =
        "mpsetup type 4: \"mpsetup exit code: 1\" \"Installation complete. Reboot the machine for the device driver "
        "to start.\"\n";
    EXPECT_TRUE(contains(start.output, "  event log: 1 new entry\n    " + outcome)) << start.output;
    EXPECT_TRUE(contains(machine.winsim({"show"}).output, "\nEvent log:\n  " + outcome));
    expectNewerAdapterBound(machine);

    auto next = machine.winsim({"restart"});
    EXPECT_TRUE(contains(next.output, "reboot request honoured (ExitWindowsEx flags 0x2)")) << next.output;
    EXPECT_FALSE(contains(next.output, "service mpsetup")) << next.output;
    EXPECT_TRUE(contains(next.output, "another restart asked for: no")) << next.output;
    expectNewerAdapterBound(machine);
}

TEST(FlowTwoPhase, RunOnceRoadResumesAtTheLogonAndCompletes) {
    scenario::Machine machine("default");
    auto first = machine.run(MediaSetup + " /Q");
    ASSERT_EQ(first.exitCode, 1);
    sim::Machine scheduled = machine.state();
    EXPECT_EQ(runOnceSetup(scheduled), StagedSetup + " -R");

    auto start = machine.winsim({"restart"});
    EXPECT_EQ(start.exitCode, 0) << start.output;
    EXPECT_TRUE(contains(start.output, "  RunOnce Setup: " + StagedSetup + " -R\n    exit code 1\n")) << start.output;
    sim::Machine m = machine.state();
    const sim::ProcessRecord& resumed = m.processes.back();
    EXPECT_EQ(resumed.output, Banner + newerAdapterBindings() + Complete + RebootForDriver + PressAnyKey)
        << "the resumed run binds the child functions found again instead of removing them once more";
    expectNewerAdapterBound(machine);
    EXPECT_FALSE(contains(start.output, "RunOnce Setup: " + StagedSetup + " -R\n    exit code 1\n    console:\n"
                                        "      | " + Banner.substr(0, Banner.size() - 1) + "\n      | Removing"))
        << start.output;
}

TEST(FlowTwoPhase, OldProcessorDriverThroughRunOnce) {
    scenario::Machine machine("old-driver");
    ASSERT_EQ(machine.run(MediaSetup + " /Q").exitCode, 1);
    auto start = machine.winsim({"restart"});
    EXPECT_TRUE(contains(start.output, "  RunOnce Setup: " + StagedSetup + " -R\n    exit code 0\n")) << start.output;
    sim::Machine m = machine.state();
    EXPECT_EQ(m.processes.back().output, Banner + installing("korpa.inf") + installing("serw.inf") +
                                             installing("mpw.inf") + installing("korp.inf") + Complete +
                                             PressAnyKey);
    EXPECT_EQ(boundInf(m, "PCI\\VEN_1D3C&DEV_01A4"), StagingTree + "\\win2000\\korpa.inf");
    EXPECT_EQ(boundInf(m, "ISAPNP\\QRV5190"), StagingTree + "\\win2000\\korp.inf");
    EXPECT_TRUE(fs::exists(machine.hostPath("C:\\WINNT\\system32\\drivers\\QRVMPW.SYS"))) << "the new driver";
}

TEST(FlowTwoPhase, SecondInstallationOnABoundMachineConverges) {
    scenario::Machine machine("newer-adapter");
    ASSERT_EQ(machine.run(MediaSetup + " /X").exitCode, 0);
    Installed once = installed(machine);
    auto again = machine.run(MediaSetup + " /X");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.output, Banner + newerAdapterBindings() + Complete);
    expectNothingLeftOpen(again);
    EXPECT_EQ(installed(machine), once) << "nothing duplicated, nothing lost";
}

TEST(FlowTwoPhase, SecondUnattendedInstallationThroughTheRestartConverges) {
    scenario::Machine machine("default");
    ASSERT_EQ(machine.run(MediaSetup + " /X").exitCode, 1);
    ASSERT_EQ(machine.winsim({"restart", "--until-settled"}).exitCode, 0);
    Installed once = installed(machine);
    size_t devices = machine.state().devices.size();

    // The adapter's new driver exposes child functions 3 and 5 only, so the
    // restart no longer enumerates child function 4: the second run binds
    // at once and removes nothing; the adapter runs the media's driver since
    // the restart, so binding it again asks for no further restart.
    EXPECT_EQ(device(machine.state(), "MF\\MGTPROC_DEV4"), nullptr) << "no longer present";
    auto again = machine.run(MediaSetup + " /X");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.output, Banner + newerAdapterBindings() + Complete);
    expectNothingLeftOpen(again);
    auto start = machine.winsim({"restart", "--until-settled"});
    EXPECT_EQ(start.exitCode, 0) << start.output;
    EXPECT_EQ(installed(machine), once) << "nothing duplicated, nothing lost";
    EXPECT_EQ(machine.state().devices.size(), devices);
    expectNewerAdapterBound(machine);
}

}  // namespace
