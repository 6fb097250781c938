// The simulated restart with the second phase scheduled as the service
// "mpsetup": the built SETUP.EXE run by `winsim restart` as a service; and
// a driver file in use that the start replaces.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "flow_support.h"
#include "harness.h"
#include "sim/machines/presets.h"

#include "driver_inf.h"

namespace fs = std::filesystem;

namespace {

const char* const StagedSetup = "C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE";

using testinf::inf;

// The default machine as a first phase with /X leaves it: the staging tree
// with the driver package and SETUP.EXE, the processor service program in
// the system directory, and the service scheduled.
void scheduleSecondPhase(scenario::Machine& machine, bool adapterNeedsRestart) {
    std::string staged = "C:\\WINNT\\system32\\drivers\\korpa\\win2000\\";
    scenario::writeFile(machine.hostPath(staged + "korpa.inf"), inf("\"Adapter\"=Install,PCI\\VEN_1D3C&DEV_0207&CC_0680", true));
    scenario::writeFile(machine.hostPath(staged + "serw.inf"), inf("\"Port\"=Install,MF\\MGTPROC_DEV3"));
    scenario::writeFile(machine.hostPath(staged + "mpw.inf"), inf("\"Processor\"=Install,MF\\MGTPROC_DEV5"));
    std::string program = machine.hostPath("C:\\WINNT\\system32\\qrvmpsvc.exe");
    scenario::writeFile(program, "#!/bin/sh\nexit 0\n");
    ::chmod(program.c_str(), 0755);
    std::string setup = machine.hostPath(StagedSetup);
    fs::create_directories(fs::path(setup).parent_path());
    fs::copy_file(std::string(MEDIA_DIR) + "/win2000/SETUP.EXE", setup, fs::copy_options::overwrite_existing);
    machine.edit([&](sim::Machine& m) {
        for (auto& d : m.devices)
            if (d.instanceId.rfind("PCI\\VEN_1D3C", 0) == 0) d.needsRestart = adapterNeedsRestart;
        sim::RegKey& k = sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\mpsetup");
        k.values["Type"] = sim::RegValue{4, sim::regDword(0x10)};
        k.values["Start"] = sim::RegValue{4, sim::regDword(2)};
        k.values["ErrorControl"] = sim::RegValue{4, sim::regDword(1)};
        k.values["ImagePath"] = sim::RegValue{2, sim::regSz(StagedSetup)};
        k.values["ObjectName"] = sim::RegValue{1, sim::regSz("LocalSystem")};
        m.services["mpsetup"] = sim::ServiceRuntime{};
    });
}

using scenario::contains;

TEST(Restart, ServicePhaseInstallsDeletesItselfAndAsksForTheReboot) {
    scenario::Machine machine("default");
    scheduleSecondPhase(machine, true);
    auto r = machine.winsim({"restart"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "  service mpsetup: " + std::string(StagedSetup) + "\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "      | Installation complete")) << r.output;
    EXPECT_TRUE(contains(r.output, "Reboot the machine for the device driver to start. \n")) << r.output;
    EXPECT_TRUE(contains(r.output, "    states reported: 4 1\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "service mpsetup was marked for deletion: removed")) << r.output;
    EXPECT_TRUE(contains(r.output, "  another restart asked for: yes\n")) << r.output;
    // The preset's own system services map to no program and are skipped.
    EXPECT_FALSE(contains(r.output, "Schedule")) << r.output;

    sim::Machine m = machine.state();
    EXPECT_EQ(sim::findKey(m, "SYSTEM\\CurrentControlSet\\Services\\mpsetup"), nullptr);
    EXPECT_EQ(m.services.count("mpsetup"), 0u);
    EXPECT_EQ(m.rebootRequests, std::vector<uint32_t>{2});
    ASSERT_EQ(m.eventLog.size(), 1u);  // the phase's outcome
    EXPECT_EQ(m.eventLog[0].type, 4);
    EXPECT_EQ(m.eventLog[0].strings[0], "mpsetup exit code: 1");
    bool bound = false;
    for (const auto& d : m.devices) {
        EXPECT_FALSE(d.rootCreated) << d.instanceId;
        if (d.instanceId.rfind("PCI\\VEN_1D3C", 0) == 0) bound = !d.boundInf.empty();
    }
    EXPECT_TRUE(bound);
    // The processor service program's install run, then the service.
    ASSERT_EQ(m.processes.size(), 2u);
    EXPECT_EQ(m.processes[0].commandLine, "C:\\WINNT\\system32\\qrvmpsvc.exe -install");
    EXPECT_EQ(m.processes[1].commandLine, StagedSetup);
    EXPECT_EQ(m.processes[1].console, "service");
    EXPECT_TRUE(contains(m.processes[1].output, "Installation complete\n\r"));

    // The next start honours the reboot and runs nothing more.
    auto again = machine.winsim({"restart"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_TRUE(contains(again.output, "reboot request honoured (ExitWindowsEx flags 0x2)")) << again.output;
    EXPECT_FALSE(contains(again.output, "service mpsetup")) << again.output;
    EXPECT_TRUE(contains(again.output, "another restart asked for: no")) << again.output;
    auto changes = machine.winsim({"changes"});
    EXPECT_TRUE(contains(changes.output, "rebootRequests")) << changes.output;
}

// The quiet road: the run at the logon binds the adapter, whose driver
// cannot be replaced while it runs, and asks for a restart. No reboot is
// requested, but the binding's restart is pending: winsim says so and
// --until-settled takes it, after which the child functions that the new
// driver no longer declares are gone and a further run changes nothing.
TEST(Restart, BindingAtTheLogonThatAsksForARestartIsPending) {
    scenario::Machine machine("default");
    machine.edit([](sim::Machine& m) {
        for (auto& d : m.devices)
            if (d.instanceId.rfind("PCI\\VEN_1D3C", 0) == 0) d.needsRestart = true;
    });
    const std::string setup = "D:\\WIN2000\\SETUP.EXE";
    ASSERT_EQ(machine.run(setup + " /Q").exitCode, 1);

    auto first = machine.winsim({"restart"});
    EXPECT_TRUE(contains(first.output, "Reboot the machine for the device driver to start.")) << first.output;
    EXPECT_TRUE(contains(first.output, "  another restart asked for: yes\n    the binding of PCI\\VEN_1D3C"))
        << first.output;
    EXPECT_TRUE(contains(machine.winsim({"show"}).output, "Restart pending: yes\n  the binding of PCI\\VEN_1D3C"));
    EXPECT_TRUE(contains(machine.winsim({"changes"}).output, "~ pendingRestart: [] -> [\"the binding of PCI\\\\VEN_1D3C"));

    auto settle = machine.winsim({"restart", "--until-settled"});
    EXPECT_EQ(settle.exitCode, 0) << settle.output;
    EXPECT_TRUE(contains(settle.output, "no longer exposed by its parent's driver")) << settle.output;
    EXPECT_TRUE(contains(settle.output, "another restart asked for: no")) << settle.output;
    EXPECT_TRUE(contains(machine.winsim({"show"}).output, "Restart pending: no\n"));
    auto again = machine.run(setup + " /Q");
    EXPECT_EQ(again.exitCode, 0) << again.output;
}

TEST(Restart, UntilSettledStopsOnceNoRebootIsAsked) {
    scenario::Machine machine("default");
    scheduleSecondPhase(machine, true);
    auto r = machine.winsim({"restart", "--until-settled"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Start 2 of machine")) << r.output;
    EXPECT_FALSE(contains(r.output, "Start 3 of machine")) << r.output;
    EXPECT_TRUE(machine.state().rebootRequests.empty());
}

TEST(Restart, ServiceThatCannotBeDeletedRunsAgainAtTheNextStart) {
    scenario::Machine machine("default");
    scheduleSecondPhase(machine, true);
    auto r = machine.winsim({"restart", "--fail", "DeleteService#1=5"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Reboot the machine")) << r.output;
    // The phase asks nobody to restart when it cannot delete its service,
    // but the adapter's binding still waits for a restart.
    EXPECT_TRUE(contains(r.output, "another restart asked for: yes\n    the binding of PCI\\VEN_1D3C")) << r.output;
    sim::Machine m = machine.state();
    ASSERT_NE(sim::findKey(m, "SYSTEM\\CurrentControlSet\\Services\\mpsetup"), nullptr);
    EXPECT_TRUE(m.rebootRequests.empty());

    // The adapter runs the media's driver since the first start: binding it
    // again needs no further restart.
    auto again = machine.winsim({"restart"});
    EXPECT_TRUE(contains(again.output, "  service mpsetup: ")) << again.output;
    EXPECT_TRUE(contains(again.output, "another restart asked for: no")) << again.output;
    sim::Machine after = machine.state();
    EXPECT_EQ(sim::findKey(after, "SYSTEM\\CurrentControlSet\\Services\\mpsetup"), nullptr);
}

// What a service phase leaves: the drivers bound, the services, the reboot
// requests, the event log.
std::string outcomeOf(scenario::Machine& machine) {
    sim::Machine m = machine.state();
    std::string out;
    for (const auto& d : m.devices) out += d.instanceId + (d.present ? " present " : " absent ") + d.boundInf + "\n";
    for (const auto& [name, display] : sim::servicesInRegistry(m)) out += "service " + name + "\n";
    out += "reboots " + std::to_string(m.rebootRequests.size()) + "\n";
    for (const auto& e : m.eventLog) out += "event " + e.strings.at(0) + "\n";
    return out;
}

TEST(Restart, StopSentDuringTheServicePhaseLetsTheInstallationEndAsWithoutIt) {
    scenario::Machine plain("default");
    scheduleSecondPhase(plain, true);
    auto without = plain.winsim({"restart"});
    EXPECT_TRUE(contains(without.output, "    states reported: 4 1\n")) << without.output;

    scenario::Machine machine("default");
    scheduleSecondPhase(machine, true);
    EXPECT_EQ(machine.winsim({"control", "mpsetup", "stop", "--before", "UpdateDriverForPlugAndPlayDevicesA#2"}).exitCode,
              0);
    EXPECT_EQ(machine.winsim({"control", "mpsetup", "interrogate", "--before", "SetServiceStatus#2"}).exitCode, 0);
    EXPECT_NE(machine.winsim({"control", "mpsetup", "halt"}).exitCode, 0);
    auto r = machine.winsim({"restart"});
    // Stop pending from the handler (twice: the stop, then the interrogate),
    // then from serviceMain before each step left (the processor's binding,
    // the temporary root device's removal, the install run, the clean-up),
    // and stopped once the installation is over.
    EXPECT_TRUE(contains(r.output, "    states reported: 4 3 3 3 3 3 3 1\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "service mpsetup was marked for deletion: removed")) << r.output;
    EXPECT_TRUE(contains(r.output, "  another restart asked for: yes\n")) << r.output;
    EXPECT_EQ(outcomeOf(machine), outcomeOf(plain));
    EXPECT_FALSE(fs::exists(machine.folder() + "/controls/mpsetup.txt"));
}

TEST(Restart, DevicesAreEnumeratedAgainAndRunOnceRunsOnce) {
    scenario::Machine machine("default");
    machine.edit([](sim::Machine& m) {
        sim::Device& child = m.devices.back();  // child function 4, removed by software
        child.present = false;
        child.boundInf = "C:\\WINNT\\inf\\oem1.inf";
        sim::Device root;
        root.instanceId = "ROOT\\SYSTEM\\0001";
        root.rootCreated = true;
        root.present = false;
        m.devices.push_back(root);
        sim::Device gone = sim::childFunction(2, m.devices[m.devices.size() - 3].instanceId);
        gone.present = false;
        gone.hardware = false;
        m.devices.push_back(gone);
        sim::ensureKey(m, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce").values["Setup"] =
            sim::RegValue{1, sim::regSz("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE -R")};
    });
    scenario::writeFile(machine.hostPath(StagedSetup), "#!/bin/sh\necho resumed \"$@\"\nexit 1\n");
    ::chmod(machine.hostPath(StagedSetup).c_str(), 0755);
    auto r = machine.winsim({"restart"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "found again, to be bound to a driver")) << r.output;
    EXPECT_TRUE(contains(r.output, "ROOT\\SYSTEM\\0001: made by software and removed, gone")) << r.output;
    EXPECT_TRUE(contains(r.output, "  RunOnce Setup: C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE -R\n"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "    exit code 1\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "      | resumed -R\n")) << r.output;

    sim::Machine m = machine.state();
    size_t found = 0;
    for (const auto& d : m.devices) {
        EXPECT_NE(d.instanceId, "ROOT\\SYSTEM\\0001");
        if (d.instanceId.rfind("MF\\MGTPROC_DEV4", 0) == 0) {
            ++found;
            EXPECT_TRUE(d.present);
            EXPECT_TRUE(d.boundInf.empty());
        }
        if (d.instanceId.rfind("MF\\MGTPROC_DEV2", 0) == 0) {
            EXPECT_FALSE(d.present);
        }
    }
    EXPECT_EQ(found, 1u);
    EXPECT_TRUE(sim::findKey(m, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce")->values.empty());

    auto again = machine.winsim({"restart"});
    EXPECT_FALSE(contains(again.output, "RunOnce")) << again.output;
}

// Windows runs the values of HKLM's RunOnce only at the logon of an account
// that may delete them: a plain user's logon leaves them for an
// administrator's.
TEST(Restart, RunOnceWaitsForTheLogonOfAnAccountThatMayDeleteIt) {
    scenario::Machine machine("default");
    const std::string line = std::string(StagedSetup) + " -R";
    machine.edit([&](sim::Machine& m) {
        m.account = "user";
        sim::ensureKey(m, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce").values["Setup"] =
            sim::RegValue{1, sim::regSz(line)};
    });
    scenario::writeFile(machine.hostPath(StagedSetup), "#!/bin/sh\nexit 0\n");
    ::chmod(machine.hostPath(StagedSetup).c_str(), 0755);
    auto r = machine.winsim({"restart"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "  RunOnce: 1 value(s) left for an account that may delete them\n")) << r.output;
    sim::Machine after = machine.state();
    EXPECT_EQ(sim::findKey(after, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce")->values.size(), 1u);

    machine.edit([](sim::Machine& m) { m.account = "administrator"; });
    r = machine.winsim({"restart"});
    EXPECT_TRUE(contains(r.output, "  RunOnce Setup: " + line + "\n")) << r.output;
    after = machine.state();
    EXPECT_TRUE(sim::findKey(after, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce")->values.empty());
}

// A binding while the driver file it brings is in use (the earlier driver
// runs and cannot let go of it): the quiet road of an on-board processor
// asks for the restart, the earlier file stays until then, and the start
// puts the media's in its place; the machine then settles.
TEST(Restart, DriverFileInUseIsReplacedAtTheNextStartAndTheMachineSettles) {
    scenario::Machine machine("onboard");
    const std::string driver = "C:\\WINNT\\system32\\drivers\\QRVMPW.SYS";
    const std::string earlier = "earlier driver\r\n!@#$4.21.0$#@!\r\n";
    scenario::writeFile(machine.hostPath(driver), earlier);
    machine.edit([&](sim::Machine& m) {
        // One on-board processor of the four.
        m.devices.erase(std::remove_if(m.devices.begin(), m.devices.end(),
                                       [](const sim::Device& d) {
                                           return d.instanceId.rfind("ISAPNP\\QRV", 0) == 0 &&
                                                  d.instanceId.rfind("ISAPNP\\QRV51A1\\", 0) != 0;
                                       }),
                        m.devices.end());
        m.filesInUse = {driver};
    });
    auto r = machine.run(flow::MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, flow::Banner + flow::installing("korp.inf") + flow::Complete + flow::RebootForDriver);
    EXPECT_EQ(scenario::readFile(machine.hostPath(driver)), earlier);
    EXPECT_EQ(sim::pendingRestarts(machine.state()),
              (std::vector<std::string>{"the binding of ISAPNP\\QRV51A1\\1 asked for a restart",
                                        "a file replacement waits for the next start: " + driver}));

    auto start = machine.winsim({"restart", "--until-settled"});
    EXPECT_EQ(start.exitCode, 0) << start.output;
    EXPECT_TRUE(contains(start.output, "  file " + driver + ": replaced by C:\\WINNT\\system32\\drivers\\SET1.tmp\n"))
        << start.output;
    EXPECT_EQ(scenario::readFile(machine.hostPath(driver)),
              scenario::readFile(std::string(MEDIA_DIR) + "/win2000/QRVMPW.SYS"));
    sim::Machine m = machine.state();
    EXPECT_TRUE(m.filesInUse.empty());
    EXPECT_EQ(flow::boundInf(m, "ISAPNP\\QRV51A1"), flow::StagingTree + "\\win2000\\korp.inf");

    auto again = machine.run(flow::MediaSetup + " /Q");
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.output, flow::Banner + flow::installing("korp.inf") + flow::Complete);
    EXPECT_TRUE(sim::pendingRestarts(machine.state()).empty());
}

}  // namespace
