// The snapshot program in the simulated machine: a capture that winsim makes
// into a machine on which SETUP.EXE behaves as on the original, a capture
// that changes nothing, files in use and replacements that wait for the
// next start, and the failures it reports.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "harness.h"
#include "platform/win_files.h"
#include "platform/win_registry.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char* const Snapshot = "D:\\tools\\SNAPSHOT.EXE";
const char* const Staged = "C:\\WINNT\\system32\\drivers\\korpa\\";

using scenario::contains;

json captured(scenario::Machine& m, const std::string& folder = "C:\\capture") {
    auto r = m.run(std::string(Snapshot) + " " + folder);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.report["openHandles"], 0) << r.report.dump();
    EXPECT_EQ(r.report["heapBlocks"], 0) << r.report.dump();
    return json::parse(scenario::readFile(m.hostPath(folder + "\\machine.json")));
}

// Earlier software with keys that resist the cleanup, the USB management
// device, a staged driver newer than the media's, a read-only library, an
// empty folder of the staging tree, a value in the machine's code page and
// a RunOnce value.
void furnish(scenario::Machine& machine) {
    scenario::writeFile(machine.hostPath(std::string(Staged) + "win2000\\QRVMPW.SYS"), "MZ\r\n!@#$9.10.0$#@!\r\n");
    fs::create_directories(machine.hostPath(std::string(Staged) + "nt\\K4100\\rmtptr"));
    scenario::writeFile(machine.hostPath("C:\\WINNT\\system32\\QRVMPW.DLL"), "MZ\r\n!@#$5.0.0$#@!\r\n");
    std::string remover = machine.hostPath("C:\\WINNT\\system32\\qrvrvosv.exe");
    fs::copy_file(fs::path(MEDIA_DIR).parent_path() / "programs" / "qrvrvosv.exe", remover);
    machine.edit([](sim::Machine& m) {
        m.fileAttributes["C:\\WINNT\\system32\\QRVMPW.DLL"] = 0x21;
        sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\qrvrvosv").values["Description"] =
            sim::RegValue{REG_SZ, sim::regSz("Service de red\xE9marrage")};
        sim::ensureKey(m, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce").values["Other"] =
            sim::RegValue{REG_SZ, sim::regSz("C:\\other.exe /once")};
    });
}

TEST(Snapshot, CaptureMakesAMachineOnWhichSetupDoesTheSame) {
    scenario::Machine original("stubborn-keys");
    furnish(original);
    auto r = original.run(std::string(Snapshot) + " C:\\capture", "", "C:\\");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output,
              "Capturing this machine for a rehearsal with winsim.\n"
              "  System directory:     C:\\WINNT\\system32\n"
              "  Default language:     0x0409\n"
              "  Present devices:      7, 0 of them bound to a driver\n"
              "  Family service keys:  5 (the product family's and mpsetup)\n"
              "  RunOnce values:       1\n"
              "  Family files:         3\n"
              "  Staging tree folders: 5\n"
              "  Note: the security of HKLM\\SYSTEM\\CurrentControlSet\\Services\\qrvrvoex cannot be read; the "
              "description says so.\n"
              "Wrote C:\\capture\\machine.json; the files are copied below C:\\capture\\files.\n"
              "Rehearse the installation on it with: winsim create MACHINE --from machine.json\n");
    // Nothing changed but the capture folder (and the record of the run).
    auto changes = original.winsim({"changes"});
    std::istringstream lines(changes.output);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(contains(line, "C/capture") || contains(line, "C:\\capture\\") || contains(line, "processes"))
            << line;

    scenario::Machine copy(original.hostPath("C:\\capture\\machine.json"), "-copy");
    json fromOriginal = json::parse(scenario::readFile(original.hostPath("C:\\capture\\machine.json")));
    EXPECT_EQ(captured(copy), fromOriginal) << "a capture of the copy is the capture of the original";
    EXPECT_EQ(scenario::readFile(copy.hostPath(std::string(Staged) + "win2000\\QRVMPW.SYS")),
              "MZ\r\n!@#$9.10.0$#@!\r\n");
    EXPECT_EQ(copy.state().fileAttributes.at("C:\\WINNT\\system32\\QRVMPW.DLL"), 0x21u);

    // The same installation on both: transcript, exit code, and what it left.
    fs::remove_all(original.hostPath("C:\\capture"));
    fs::remove_all(copy.hostPath("C:\\capture"));
    auto onOriginal = original.run("D:\\WIN2000\\SETUP.EXE /X");
    auto onCopy = copy.run("D:\\WIN2000\\SETUP.EXE /X");
    EXPECT_EQ(onCopy.exitCode, onOriginal.exitCode);
    EXPECT_EQ(onCopy.output, onOriginal.output);
    EXPECT_TRUE(contains(onOriginal.output, "QRVMPW.SYS")) << onOriginal.output;
    EXPECT_EQ(captured(copy), captured(original));
}

// A driver file in use, whose replacement a binding left for the next start,
// and a read-only library, which is not in use: the capture says which file
// is held, and takes the waiting replacement with its new file, so that the
// start of the copy does what the start of the original does.
TEST(Snapshot, FilesInUseAndReplacementsForTheNextStartComeAlong) {
    scenario::Machine original("onboard");
    const std::string driver = "C:\\WINNT\\system32\\drivers\\QRVMPW.SYS";
    const std::string library = "C:\\WINNT\\system32\\QRVMPW.DLL";
    scenario::writeFile(original.hostPath(driver), "earlier driver\r\n!@#$4.21.0$#@!\r\n");
    original.edit([&](sim::Machine& m) {
        m.filesInUse = {driver};
        m.devices.erase(std::remove_if(m.devices.begin(), m.devices.end(),
                                       [](const sim::Device& d) { return d.instanceId.rfind("ISAPNP\\QRV51A", 0) == 0; }),
                        m.devices.end());  // *QRV5190 alone of the four
    });
    ASSERT_EQ(original.run("D:\\WIN2000\\SETUP.EXE /Q").exitCode, 1);
    original.edit([&](sim::Machine& m) { m.fileAttributes[library] = FILE_ATTRIBUTE_READONLY; });

    auto r = original.run(std::string(Snapshot) + " C:\\capture", "", "C:\\");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "  Note: " + driver + " is in use; the description says so.\n"
                                   "  Note: C:\\WINNT\\system32\\drivers\\SET1.tmp replaces " + driver +
                                   " at the next start; both are copied.\n"))
        << r.output;
    json description = json::parse(scenario::readFile(original.hostPath("C:\\capture\\machine.json")));
    EXPECT_EQ(description["filesInUse"], json::array({driver}));
    bool pending = false;
    for (const auto& key : description["registry"])
        if (key["path"] == "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager")
            pending = key["values"]["PendingFileRenameOperations"] ==
                      json({{"type", "REG_MULTI_SZ"},
                            {"data", {"\\??\\C:\\WINNT\\system32\\drivers\\SET1.tmp", "!\\??\\" + driver}}});
    EXPECT_TRUE(pending) << description["registry"].dump();

    scenario::Machine copy(original.hostPath("C:\\capture\\machine.json"), "-copy");
    EXPECT_EQ(sim::pendingRestarts(copy.state()),
              std::vector<std::string>{"a file replacement waits for the next start: " + driver});
    for (scenario::Machine* m : {&original, &copy}) {
        auto start = m->winsim({"restart"});
        EXPECT_TRUE(contains(start.output, "  file " + driver + ": replaced by")) << start.output;
        EXPECT_EQ(scenario::readFile(m->hostPath(driver)),
                  scenario::readFile(std::string(MEDIA_DIR) + "/win2000/QRVMPW.SYS"));
        EXPECT_TRUE(m->state().filesInUse.empty());
    }
}

TEST(Snapshot, WindowsProgramsOfACaptureRunAsTheBuildsOwn) {
    std::string folder = std::string(SCENARIO_WORK_DIR) + "/Snapshot.WindowsPrograms";
    scenario::writeFile(folder + "/capture/files/qrvmpsvc.exe", "MZ a Windows program\r\n");
    scenario::writeFile(folder + "/capture/machine.json",
                        R"({"files": {"C:\\WINNT\\system32\\qrvmpsvc.exe": "files/qrvmpsvc.exe"}})");
    scenario::Machine machine(folder + "/capture/machine.json");
    auto r = machine.run("C:\\WINNT\\system32\\qrvmpsvc.exe -install");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    sim::Machine after = machine.state();
    EXPECT_NE(sim::findKey(after, "SYSTEM\\CurrentControlSet\\Services\\qrvmpsvc"), nullptr);
    // Without program folders, a Windows image does not start.
    machine.edit([](sim::Machine& m) { m.programFolders.clear(); });
    r = machine.run("C:\\WINNT\\system32\\qrvmpsvc.exe -remove");
    EXPECT_EQ(r.exitCode, 125);
}

TEST(Snapshot, WhatCannotBeReadOrWrittenEndsTheCaptureWithoutADescription) {
    scenario::Machine machine("usb");
    auto r =
        machine.run(std::string(Snapshot) + " C:\\capture", "", "D:\\WIN2000", {"--fail", "SetupDiGetClassDevsA#2=5"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output,
              "Capturing this machine for a rehearsal with winsim.\n"
              "SNAPSHOT: cannot list the devices (SetupDiGetClassDevsA): error 5 (access denied).\n"
              "Nothing was captured.\n");
    EXPECT_FALSE(fs::exists(machine.hostPath("C:\\capture")));
    EXPECT_EQ(r.report["openHandles"], 0);

    r = machine.run(std::string(Snapshot) + " C:\\capture\\usb", "", "D:\\WIN2000", {"--fail", "WriteFile#1=112"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(contains(r.output,
                         "SNAPSHOT: cannot write C:\\capture\\usb\\machine.json: error 112.\n"
                         "The capture in C:\\capture\\usb is incomplete and has no description: delete "
                         "the folder.\n"))
        << r.output;
    EXPECT_FALSE(fs::exists(machine.hostPath("C:\\capture\\usb\\machine.json")));

    r = machine.run(std::string(Snapshot) + " C:\\capture");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(contains(r.output, "SNAPSHOT: the folder C:\\capture is not empty: choose a new or empty folder"))
        << r.output;
    r = machine.run(Snapshot);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(contains(r.output, "Usage: SNAPSHOT FOLDER\n")) << r.output;
}

}  // namespace
