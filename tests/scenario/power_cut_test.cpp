// The machine's power cut at one platform call (winsim run --cut, winsim
// restart --cut): what the disks keep, what becomes of the machine's
// processes, and a temporary root device that a cut left, which the next
// run removes.
#include <filesystem>

#include "flow_support.h"
#include "harness.h"
#include "sim/core/pending_renames.h"
#include "sim/machines/presets.h"

namespace power_cut {

namespace fs = std::filesystem;
using scenario::contains;

const int PowerCutStatus = 123;

// The machine's number of the first call of `function` whose arguments
// mention `argument`, in an undisturbed run of the command on a copy.
uint64_t machineCallOf(const scenario::Machine& machine, const std::string& commandLine, const std::string& function,
                       const std::string& argument) {
    scenario::Machine copy(machine, ".probe");
    scenario::RunResult r = copy.run(commandLine, "", "D:\\WIN2000", {"--cut", "0"});
    for (const auto& call : r.trace)
        if (call.value("function", "") == function && contains(call["args"].dump(), argument))
            return call.value("machineCall", 0u);
    ADD_FAILURE() << "no call of " << function << " with " << argument;
    return 0;
}

bool allZeros(const std::string& bytes) { return bytes.find_first_not_of('\0') == std::string::npos; }

TEST(PowerCut, CopyInProgressKeepsTheSourcesLengthAndWhatReachedTheDisk) {
    scenario::Machine fresh("default");
    const std::string command = flow::MediaSetup + " /X";
    uint64_t copy = machineCallOf(fresh, command, "CopyFileA", "QRVMPSVC.EXE");
    ASSERT_GT(copy, 0u);
    const std::string media = scenario::readFile(std::string(MEDIA_DIR) + "/win2000/QRVMPSVC.EXE");
    const std::string staged = "C:\\WINNT\\system32\\drivers\\korpa\\win2000\\QRVMPSVC.EXE";

    scenario::Machine half(fresh, ".half");
    scenario::RunResult cut =
        half.winsim({"run", "--cwd", "D:\\WIN2000", "--cut", std::to_string(copy), "--", command});
    EXPECT_EQ(cut.exitCode, PowerCutStatus) << cut.output;
    EXPECT_TRUE(contains(cut.output, "winsim: the machine lost power at platform call " + std::to_string(copy) +
                                         " (CopyFileA): the program has no exit code\n"))
        << cut.output;
    std::string bytes = scenario::readFile(half.hostPath(staged));
    ASSERT_EQ(bytes.size(), media.size());
    EXPECT_EQ(bytes.substr(0, media.size() / 2), media.substr(0, media.size() / 2));
    EXPECT_TRUE(allZeros(bytes.substr(media.size() / 2)));
    sim::Machine m = half.state();
    ASSERT_EQ(m.processes.size(), 1u);
    EXPECT_EQ(m.processes[0].exitCode, -1) << "no exit code";
    EXPECT_FALSE(fs::exists(half.folder() + "/power"));

    // With a lazy writer nothing of it reached the disk, nor the data of
    // the copies just before it; the files themselves stay.
    scenario::Machine lazy(fresh, ".lazy");
    EXPECT_EQ(lazy.run(command, "", "D:\\WIN2000", {"--cut", std::to_string(copy) + ",lazy=1000"}).exitCode,
              PowerCutStatus);
    bytes = scenario::readFile(lazy.hostPath(staged));
    EXPECT_EQ(bytes.size(), media.size());
    EXPECT_TRUE(allZeros(bytes));
    bytes = scenario::readFile(lazy.hostPath("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\KORPA.INF"));
    EXPECT_FALSE(bytes.empty());
    EXPECT_TRUE(allZeros(bytes));
}

TEST(PowerCut, LazyWriterLosesTheRegistryChangesItHadNotWrittenBack) {
    scenario::Machine fresh("default");
    const std::string command = flow::MediaSetup + " /X";
    // The call after the service's creation, the last change of the run.
    uint64_t after = machineCallOf(fresh, command, "CreateServiceA", "mpsetup") + 1;
    for (const char* lazy : {"", ",lazy=1", ",lazy=200"}) {
        scenario::Machine machine(fresh, std::string(".w") + lazy);
        EXPECT_EQ(machine.run(command, "", "D:\\WIN2000", {"--cut", std::to_string(after) + lazy}).exitCode,
                  PowerCutStatus);
        sim::Machine m = machine.state();
        bool written = std::string(lazy) != ",lazy=200";
        EXPECT_EQ(flow::hasService(m, "mpsetup"), written) << lazy;
        // The old child function's removal is older than the service.
        EXPECT_EQ(flow::device(m, "MF\\MGTPROC_DEV4") == nullptr, written) << lazy;
        // Journaled: the staging tree's folders and files stand.
        EXPECT_TRUE(fs::exists(machine.hostPath("C:\\WINNT\\system32\\drivers\\korpa\\nls\\ENGLISH.NLS"))) << lazy;
    }
}

TEST(PowerCut, ProgramTheInstallerWaitsOnEndsWithIt) {
    scenario::Machine fresh("processor-service");
    const std::string command = flow::MediaSetup + " /X";
    // The removal run's calls follow the installer's wait for it.
    uint64_t wait = machineCallOf(fresh, command, "WaitForSingleObject", "INFINITE");
    scenario::Machine machine(fresh, ".cut");
    EXPECT_EQ(machine.run(command, "", "D:\\WIN2000", {"--cut", std::to_string(wait + 2)}).exitCode, PowerCutStatus);
    sim::Machine m = machine.state();
    ASSERT_EQ(m.processes.size(), 2u);
    EXPECT_EQ(m.processes[0].commandLine, "C:\\WINNT\\system32\\qrvmpsvc.exe -remove");
    EXPECT_EQ(m.processes[0].exitCode, -1);
    EXPECT_EQ(m.processes[1].exitCode, -1);
    EXPECT_TRUE(flow::hasService(m, "qrvmpsvc")) << "the removal had not got as far";
}

// A binding whose driver file is in use writes the new file beside it and
// leaves the replacement to the next start, in the registry: after a cut
// the replacement is there only when the registry kept it, and the file
// beside holds the media's bytes only when its data reached the disk too.
TEST(PowerCut, ReplacementLeftForTheNextStartIsKeptOnlyWithTheRegistry) {
    scenario::Machine fresh("onboard");
    const std::string driver = "C:\\WINNT\\system32\\drivers\\QRVMPW.SYS";
    const std::string beside = "C:\\WINNT\\system32\\drivers\\SET1.tmp";
    const std::string earlier = "earlier driver\r\n!@#$4.21.0$#@!\r\n";
    scenario::writeFile(fresh.hostPath(driver), earlier);
    fresh.edit([&](sim::Machine& m) { m.filesInUse = {driver}; });
    const std::string command = flow::MediaSetup + " /Q";
    uint64_t after = machineCallOf(fresh, command, "UpdateDriverForPlugAndPlayDevicesA", "QRV51A1") + 1;
    ASSERT_GT(after, 1u);
    const std::string media = scenario::readFile(std::string(MEDIA_DIR) + "/win2000/QRVMPW.SYS");
    for (bool lazy : {false, true}) {
        scenario::Machine machine(fresh, lazy ? ".lazy" : ".written");
        std::string plan = std::to_string(after) + (lazy ? ",lazy=1000" : "");
        EXPECT_EQ(machine.run(command, "", "D:\\WIN2000", {"--cut", plan}).exitCode, PowerCutStatus);
        EXPECT_EQ(sim::pendingFileRenames(machine.state()).size(), lazy ? 0u : 1u) << plan;
        std::string bytes = scenario::readFile(machine.hostPath(beside));
        ASSERT_EQ(bytes.size(), media.size()) << plan << ": the file beside stands (journaled)";
        EXPECT_EQ(lazy ? allZeros(bytes) : bytes == media, true) << plan;
        // The next start replaces the driver only when the replacement was kept.
        EXPECT_EQ(machine.winsim({"restart"}).exitCode, 0);
        EXPECT_EQ(scenario::readFile(machine.hostPath(driver)), lazy ? earlier : media) << plan;
    }
}

// The run at the logon is cut while the temporary root device of the new
// processor access stands: the next run that binds the newer adapter's
// child functions removes it, so that the processor driver is not left on
// a device without hardware.
TEST(PowerCutRecovery, TemporaryRootDeviceOfACutRunIsRemovedByTheNextRun) {
    scenario::Machine machine("default");
    ASSERT_EQ(machine.run(flow::MediaSetup + " /Q").exitCode, 1);
    std::string logonRun = flow::StagedSetup + " -R";
    // The run at the logon is the start's only program: on a copy that
    // starts without it, the same run by hand makes the same calls.
    scenario::Machine probe(machine, ".probe");
    probe.edit([](sim::Machine& m) { sim::findKey(m, flow::RunOnceKey)->values.erase("Setup"); });
    probe.winsim({"restart"});
    uint64_t made = 0;
    scenario::RunResult r = probe.run(logonRun, "", "D:\\WIN2000", {"--cut", "0"});
    for (const auto& call : r.trace)
        if (call.value("function", "") == "SetupDiCallClassInstaller" && call["args"][0] == "0x19")
            made = call.value("machineCall", 0u);  // DIF_REGISTERDEVICE
    ASSERT_GT(made, 0u);

    auto cut = machine.winsim({"restart", "--cut", std::to_string(made + 1)});
    EXPECT_EQ(cut.exitCode, PowerCutStatus) << cut.output;
    EXPECT_NE(flow::device(machine.state(), "ROOT\\SYSTEM\\"), nullptr) << "the cut left the temporary device";

    // The machine starts again; the administrator runs the installation again.
    EXPECT_EQ(machine.winsim({"restart"}).exitCode, 0);
    machine.run(flow::MediaSetup + " /Q");
    EXPECT_EQ(machine.winsim({"restart", "--until-settled"}).exitCode, 0);
    sim::Machine m = machine.state();
    EXPECT_EQ(flow::device(m, "ROOT\\SYSTEM\\"), nullptr) << "the temporary device is gone";
    EXPECT_NE(flow::boundInf(m, "MF\\MGTPROC_DEV5").find("mpw.inf"), std::string::npos);
}

}  // namespace power_cut
