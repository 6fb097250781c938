// The first phase run from the media on machine folders: every branch, its
// exact console, exit code and the machine it leaves.
#include <gtest/gtest.h>

#include <filesystem>

#include "flow_support.h"
#include "harness.h"
#include "sim/core/machine_json.h"
#include "sim/machines/presets.h"

namespace fs = std::filesystem;
using namespace flow;

namespace {


int callsTo(const scenario::RunResult& r, const std::string& function) {
    int n = 0;
    for (const auto& call : r.trace)
        if (call.value("function", "") == function) ++n;
    return n;
}

TEST(FlowBranches, ChildFunctionFourUnattendedRemovesOldDevicesAndCreatesTheService) {
    scenario::Machine machine("default");
    auto r = machine.run(MediaSetup + " /X");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + RemovingOld + RemovedOld);
    expectNothingLeftOpen(r);
    sim::Machine m = machine.state();
    EXPECT_EQ(device(m, "PCI\\VEN_1D3C&DEV_0207"), nullptr) << "adapter removed";
    EXPECT_EQ(device(m, "MF\\MGTPROC_DEV4"), nullptr) << "child function 4 removed";
    ASSERT_TRUE(hasService(m, "mpsetup"));
    const std::string& image = sim::findKey(m, ServicesKey + "mpsetup")->values.at("ImagePath").data;
    EXPECT_EQ(image.substr(0, image.find('\0')), StagedSetup);
    EXPECT_EQ(runOnceSetup(m), "");
    EXPECT_TRUE(fs::exists(machine.hostPath(StagedSetup))) << "media staged";
    EXPECT_EQ(callsTo(r, "UpdateDriverForPlugAndPlayDevicesA"), 0) << "nothing bound before the restart";
}

TEST(FlowBranches, ChildFunctionFourInteractiveSchedulesRunOnce) {
    scenario::Machine machine("default");
    auto r = machine.run(MediaSetup, "k");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + RemovingOld + RemovedOld + PressAnyKey);
    EXPECT_EQ(callsTo(r, "_getch"), 1);
    expectNothingLeftOpen(r);
    sim::Machine m = machine.state();
    EXPECT_EQ(runOnceSetup(m), StagedSetup + " -R");
    EXPECT_FALSE(hasService(m, "mpsetup"));
}

TEST(FlowBranches, NewerAdapterIsBoundAtOnce) {
    scenario::Machine machine("newer-adapter");
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + newerAdapterBindings() + Complete);
    expectNothingLeftOpen(r);
    sim::Machine m = machine.state();
    EXPECT_EQ(boundInf(m, "PCI\\VEN_1D3C&DEV_0207"), StagingTree + "\\win2000\\korpa.inf");
    EXPECT_EQ(boundInf(m, "MF\\MGTPROC_DEV3"), StagingTree + "\\win2000\\serw.inf");
    EXPECT_EQ(boundInf(m, "MF\\MGTPROC_DEV5"), StagingTree + "\\win2000\\mpw.inf");
    EXPECT_TRUE(hasService(m, "qrvmpsvc")) << "the processor service program installed itself";
}

TEST(FlowBranches, ProcessorServiceIsRemovedAndTheProgramsRefreshedBeforeBinding) {
    scenario::Machine machine("processor-service");
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + newerAdapterBindings() + Complete);
    expectNothingLeftOpen(r);
    sim::Machine m = machine.state();
    ASSERT_EQ(m.processes.size(), 3u);
    EXPECT_EQ(m.processes[0].commandLine, "C:\\WINNT\\system32\\qrvmpsvc.exe -remove");
    EXPECT_EQ(m.processes[1].commandLine, "C:\\WINNT\\system32\\qrvmpsvc.exe -install");
    EXPECT_TRUE(hasService(m, "qrvmpsvc"));
}

// The earlier processor service is removed only on the first run of a
// machine with the newer adapter: neither on the run after the restart (-R)
// nor where only another device of the family is present.
TEST(FlowBranches, ProcessorServiceStaysOnTheResumedRunAndWithoutTheNewerAdapter) {
    scenario::Machine resumed("processor-service", ".resumed");
    auto r = resumed.run(MediaSetup + " /Q /R");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + newerAdapterBindings() + Complete);

    scenario::Machine onboard("processor-service", ".onboard");
    onboard.edit([](sim::Machine& m) {
        m.devices.pop_back();  // the newer adapter
        m.devices.push_back(sim::onboardProcessor("*QRV51A1", 1));
    });
    r = onboard.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + installing("korp.inf") + Complete);

    for (scenario::Machine* machine : {&resumed, &onboard}) {
        sim::Machine m = machine->state();
        for (const auto& p : m.processes) EXPECT_FALSE(contains(p.commandLine, "-remove")) << p.commandLine;
        EXPECT_TRUE(hasService(m, "qrvmpsvc"));
    }
}

TEST(FlowBranches, ProcessorServiceRemoverThatCannotStartFailsTheRunAfterBinding) {
    scenario::Machine machine("processor-service");
    fs::remove(machine.hostPath("C:\\WINNT\\system32\\qrvmpsvc.exe"));
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "File system error: 2\n\n" + newerAdapterBindings() + Failed);
    expectNothingLeftOpen(r);
}

TEST(FlowBranches, OlderAdapterWithoutDriverFileSchedulesTheSecondPhaseAsAfterItsDeletion) {
    // The driver file that is not there counts as deleted.
    scenario::Machine machine("old-adapter");
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + RemovingOld + RemovedOld);
    expectNothingLeftOpen(r);
    sim::Machine scheduled = machine.state();
    EXPECT_EQ(runOnceSetup(scheduled), StagedSetup + " -R");

    // The logon runs the staged installer with -R, which binds the drivers.
    auto logon = machine.winsim({"restart"});
    EXPECT_TRUE(contains(logon.output, "    exit code 0\n")) << logon.output;
    sim::Machine m = machine.state();
    EXPECT_EQ(boundInf(m, "PCI\\VEN_1D3C&DEV_01A4"), StagingTree + "\\win2000\\korpa.inf");
    EXPECT_EQ(boundInf(m, "ISAPNP\\QRV5190"), StagingTree + "\\win2000\\korp.inf");
    EXPECT_EQ(runOnceSetup(m), "");
}

// The machine as it is kept, without the record of programs run and the
// current directories that `winsim run` sets, and the files of its drive C:.
std::string machineWithoutRecords(scenario::Machine& machine) {
    nlohmann::json j;
    sim::toJson(machine.state(), j);
    for (const char* record : {"processes", "currentDrive", "cwd"}) j.erase(record);
    std::string out = j.dump(1);
    for (const auto& e : fs::recursive_directory_iterator(machine.folder() + "/drives/C"))
        out += "\n" + e.path().string();
    return out;
}

TEST(FlowBranches, PlainUserIsToldWhyAndLeavesEveryPresetAsItWas) {
    for (const auto& [preset, description] : sim::presetList()) {
        SCOPED_TRACE(preset);
        scenario::Machine machine(preset, "." + preset);
        std::string before = machineWithoutRecords(machine);
        auto r = machine.run(MediaSetup, "", "D:\\WIN2000", {"--account", "user"});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.output, Banner + "Administrator privileges are required.\n\n" + Failed + PressAnyKey);
        expectNothingLeftOpen(r);
        EXPECT_EQ(machineWithoutRecords(machine), before);
    }
}

TEST(FlowBranches, OlderAdapterWithResumeSkipsTheRemovalAndBinds) {
    scenario::Machine machine("old-adapter");
    auto r = machine.run(MediaSetup + " /Q /R");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + installing("korpa.inf") + installing("serw.inf") + installing("mpw.inf") +
                            installing("korp.inf") + Complete);
    expectNothingLeftOpen(r);
    EXPECT_EQ(callsTo(r, "DeleteFileA"), 0);
    sim::Machine m = machine.state();
    EXPECT_EQ(boundInf(m, "PCI\\VEN_1D3C&DEV_01A4"), StagingTree + "\\win2000\\korpa.inf");
    EXPECT_EQ(boundInf(m, "ISAPNP\\QRV5190"), StagingTree + "\\win2000\\korp.inf");
}

TEST(FlowBranches, OldProcessorDriverIsDeletedAndTheServiceScheduled) {
    scenario::Machine machine("old-driver");
    std::string driver = machine.hostPath("C:\\WINNT\\system32\\drivers\\qrvmpw.sys");
    ASSERT_TRUE(fs::exists(driver));
    auto r = machine.run(MediaSetup + " /X");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + RemovingOld + RemovedOld);
    expectNothingLeftOpen(r);
    EXPECT_FALSE(fs::exists(driver));
    sim::Machine m = machine.state();
    EXPECT_TRUE(hasService(m, "mpsetup"));
    EXPECT_EQ(callsTo(r, "UpdateDriverForPlugAndPlayDevicesA"), 0);
}

TEST(FlowBranches, UsbDeviceReinstallsTheServicePrograms) {
    scenario::Machine machine("usb");
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + Complete);
    expectNothingLeftOpen(r);
    sim::Machine m = machine.state();
    EXPECT_TRUE(hasService(m, "qrvmpsvc"));
    for (const char* file : {"QRVMPW.DLL", "QRVMPREM.EXE", "QRVMPSVC.EXE"})
        EXPECT_TRUE(fs::exists(machine.hostPath(std::string("C:\\WINNT\\system32\\") + file))) << file;
    EXPECT_EQ(callsTo(r, "SetupDiGetClassDevsA"), 1) << "only the HID probe, no device scan";
}

TEST(FlowBranches, EarlierSoftwareKeysDeletedAskForARestart) {
    scenario::Machine machine("earlier-software");
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + Complete + RebootForDriver);
    expectNothingLeftOpen(r);
    sim::Machine m = machine.state();
    EXPECT_FALSE(hasService(m, "qrvrvosv"));
}

TEST(FlowBranches, NoKnownDeviceRunsTheLegacyProgramInTheSameConsole) {
    scenario::Machine machine("clean");
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + "RVOSETUP.EXE: setup, quiet, exit status 0\n" + Complete);
    expectNothingLeftOpen(r);
    sim::Machine m = machine.state();
    ASSERT_FALSE(m.processes.empty());
    EXPECT_EQ(m.processes[0].commandLine, "D:\\nt\\RVOSETUP.EXE -S -Q");
    EXPECT_EQ(m.processes[0].console, "shared");
}

TEST(FlowBranches, LegacyProgramEndingWithEightOrThree) {
    scenario::Machine machine("clean");
    ASSERT_EQ(machine.winsim({"exit-code", "RVOSETUP.EXE", "8"}).exitCode, 0);
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 8);
    EXPECT_EQ(r.output, Banner + "RVOSETUP.EXE: setup, quiet, exit status 8\n" + Failed);
    expectNothingLeftOpen(r);

    ASSERT_EQ(machine.winsim({"exit-code", "RVOSETUP.EXE", "3"}).exitCode, 0);
    r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + "RVOSETUP.EXE: setup, quiet, exit status 3\n" + Complete);

    ASSERT_EQ(machine.winsim({"exit-code", "RVOSETUP.EXE", "1"}).exitCode, 0);
    r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + "RVOSETUP.EXE: setup, quiet, exit status 1\n" + Complete + RebootForDriver);
}

TEST(FlowBranches, LegacyProgramMissingFromTheMediaFails) {
    // Media of its own without the legacy program.
    std::string media = std::string(SCENARIO_WORK_DIR) + "/media-without-legacy";
    fs::remove_all(media);
    fs::copy(MEDIA_DIR, media, fs::copy_options::recursive);
    fs::remove(media + "/nt/RVOSETUP.EXE");
    std::string description = std::string(SCENARIO_WORK_DIR) + "/media-without-legacy.json";
    scenario::writeFile(description, "{\"drives\": {\"C\": \"drives/C\", \"D\": \"" + media + "\"}}");
    scenario::Machine machine(description);
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "File system error: 2\n\n" + Failed);
    expectNothingLeftOpen(r);
}

TEST(FlowBranches, DelegateModeWithoutKnownDevicePassesAllThreeOptions) {
    scenario::Machine machine("clean");
    auto r = machine.run(MediaSetup + " /H");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + "RVOSETUP.EXE: setup, quiet, hidden, exit status 0\n" + Complete);
    expectNothingLeftOpen(r);
    EXPECT_EQ(machine.state().processes[0].commandLine, "D:\\nt\\RVOSETUP.EXE -S -Q -H");
    EXPECT_EQ(callsTo(r, "_getch"), 0);
}

TEST(FlowBranches, DelegateModeWithUsbAndKnownDeviceStagesThenEndsSilently) {
    scenario::Machine machine("usb");
    machine.edit([](sim::Machine& m) { m.devices.push_back(sim::newerAdapter()); });
    auto r = machine.run(MediaSetup + " /H");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner);
    expectNothingLeftOpen(r);
    EXPECT_TRUE(fs::exists(machine.hostPath(StagedSetup))) << "staging happened";
    sim::Machine m = machine.state();
    EXPECT_TRUE(m.processes.size() == 1) << "no program started besides SETUP.EXE";
    EXPECT_FALSE(hasService(m, "qrvmpsvc"));
    EXPECT_EQ(callsTo(r, "_getch"), 0);
}

TEST(FlowBranches, SystemDirectoryOfMaxPathCharactersFailsBeforeAnyWork) {
    scenario::Machine machine("newer-adapter");
    machine.edit([](sim::Machine& m) { m.systemDirectory = "C:\\" + std::string(257, 'S'); });
    auto r = machine.run(MediaSetup, "\n");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + Failed + PressAnyKey);
    expectNothingLeftOpen(r);
    EXPECT_EQ(callsTo(r, "CreateDirectoryA"), 0) << "nothing staged";
    EXPECT_EQ(callsTo(r, "SetupDiGetClassDevsA"), 0) << "no detection";
    EXPECT_EQ(callsTo(r, "_getch"), 1);
}

TEST(FlowBranches, NoLanguageFileKeepsTheBuiltInTexts) {
    std::string media = std::string(SCENARIO_WORK_DIR) + "/media-without-nls";
    fs::remove_all(media);
    fs::copy(MEDIA_DIR, media, fs::copy_options::recursive);
    fs::remove_all(media + "/nls");
    std::string description = std::string(SCENARIO_WORK_DIR) + "/media-without-nls.json";
    scenario::writeFile(description, "{\"defaultLangId\": \"0x0407\", \"drives\": {\"C\": \"drives/C\", \"D\": \"" +
                                         media + "\"}, \"devices\": [{\"instanceId\": \"ISAPNP\\\\QRV51A1\\\\1\", "
                                                 "\"hardwareIds\": [\"*QRV51A1\"]}]}");
    scenario::Machine machine(description);
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + installing("korp.inf") + Complete);
    expectNothingLeftOpen(r);
}

TEST(FlowBranches, LanguageFileOfTheSystemLanguageReplacesTheTexts) {
    scenario::Machine machine("newer-adapter");
    machine.edit([](sim::Machine& m) { m.defaultLangId = 0x0407; });
    auto r = machine.run(MediaSetup + " /Q");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.rfind(Banner, 0), 0u) << "the banner comes from the German file: " << r.output;
    EXPECT_FALSE(contains(r.output, Complete)) << r.output;
    expectNothingLeftOpen(r);  // the loaded catalogue was released
}

TEST(FlowBranches, StagedCopyStagesNothingAgain) {
    scenario::Machine machine("newer-adapter");
    ASSERT_EQ(machine.run(MediaSetup + " /Q").exitCode, 0);
    auto r = machine.run(StagedSetup + " /Q", "", StagingTree + "\\win2000");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + newerAdapterBindings() + Complete);
    expectNothingLeftOpen(r);
    EXPECT_EQ(callsTo(r, "CreateDirectoryA"), 0);
    // The processor service registered by the first run is removed and its
    // programs refreshed from the staging tree; nothing is copied into it.
    for (const auto& call : r.trace)
        if (call.value("function", "") == "CopyFileA") {
            EXPECT_FALSE(contains(call["args"][1].get<std::string>(), "korpa")) << call.dump();
        }
    EXPECT_EQ(r.output, Banner + newerAdapterBindings() + Complete);
}

TEST(FlowBranches, QuietModeInItsThreeForms) {
    scenario::Machine machine("newer-adapter");
    for (const char* option : {" /Q", " -x", " /h"}) {
        auto r = machine.run(MediaSetup + option);
        std::string expected = std::string(option) == " /h" ? Banner : Banner + newerAdapterBindings() + Complete;
        EXPECT_EQ(r.exitCode, 0) << option;
        EXPECT_EQ(r.output, expected) << option;
        EXPECT_EQ(callsTo(r, "_getch"), 0) << option;
        expectNothingLeftOpen(r);
    }
}

TEST(FlowBranches, InteractiveRunTakesItsKeyFromStandardInput) {
    scenario::Machine machine("newer-adapter");
    auto r = machine.run(MediaSetup, "x");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + newerAdapterBindings() + Complete + PressAnyKey);
    EXPECT_EQ(callsTo(r, "_getch"), 1);
    expectNothingLeftOpen(r);
}

TEST(FlowBranches, InteractiveCopyPromptIsAnsweredThroughStandardInput) {
    // An installed library newer than the staged one brings the guarded
    // copy's question; the answer "n" keeps it.
    scenario::Machine machine("usb");
    std::string installed = machine.hostPath("C:\\WINNT\\system32\\QRVMPW.DLL");
    scenario::writeFile(installed, "processor access library !@#$9.99.0$#@!\n");
    auto r = machine.run(MediaSetup, "n\nn\nn\nk");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Do you want to copy anyway? (y/n):\n")) << r.output;
    EXPECT_TRUE(contains(r.output, Complete + PressAnyKey)) << r.output;
    EXPECT_EQ(scenario::readFile(installed), "processor access library !@#$9.99.0$#@!\n");
    expectNothingLeftOpen(r);
}

}  // namespace
