// The setup layer's first phase: the end step, the early returns, the old
// processor driver, the old child devices and the legacy setup program.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "devices/device_table.h"
#include "devices/install_plan.h"
#include "messages/messages.h"
#include "platform/win_files.h"
#include "setup/first_phase.h"
#include "setup/options.h"
#include "setup/second_phase.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testsupport::MachineTest;

namespace {

const char* StagingTree = "C:\\WINNT\\system32\\drivers\\korpa";
std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::string Banner = "QRV Service Processor server software installation\n\r";

class SetupFirstPhase : public MachineTest {
protected:
    std::string root;

    void SetUp() override {
        root = (fs::temp_directory_path() / ("korpa-flow-unit-" + std::to_string(::getpid()))).string();
        fs::remove_all(root);
        fs::create_directories(root + "/C/WINNT/system32/drivers/korpa/nt");
        fs::create_directories(root + "/D/win2000");
        startWith({});
    }
    void TearDown() override {
        MachineTest::TearDown();
        fs::remove_all(root);
    }

    // A machine whose drives live in this test's folder. The program runs
    // as the staged copy, so nothing is staged and the media plays no part.
    void startWith(const std::vector<sim::Device>& devices) {
        sim::Machine m = testsupport::machineWith(devices);
        m.drives["C"] = root + "/C";
        m.drives["D"] = root + "/D";
        start(m);
        run.quietMode = true;
        std::snprintf(run.directories.source, sizeof run.directories.source, "%s", StagingTree);
    }

    std::string host(const std::string& relative) const { return root + "/C/WINNT/system32/" + relative; }

    // A legacy setup program that writes its arguments and ends with `code`.
    void legacyProgram(int code) {
        std::string path = host("drivers/korpa/nt/RVOSETUP.EXE");
        std::ofstream(path) << "#!/bin/sh\necho \"$@\" > '" << root << "/legacy-args'\nexit " << code << "\n";
        fs::permissions(path, fs::perms::owner_all);
    }

    struct Run {
        int exitCode;
        std::string output;
    };
    Run runPhase() {
        testing::internal::CaptureStdout();
        int code = runFirstPhase(run);
        return {code, testing::internal::GetCapturedStdout()};
    }
    // Not quiet, with the key read from an empty standard input.
    Run runPhaseWaitingForAKey() {
        run.quietMode = false;
        int saved = ::dup(0);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        Run r = runPhase();
        ::dup2(saved, 0);
        ::close(saved);
        ::close(null);
        return r;
    }

    bool serviceRegistered(const std::string& name) {
        return sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\" + name) != nullptr;
    }
    sim::RegKey* runOnce() {
        return sim::findKey(sim::machine(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
    }
};

TEST_F(SetupFirstPhase, SystemDirectoryOfMaxPathCharactersFailsAfterTheBanner) {
    sim::machine().systemDirectory = "C:\\" + std::string(257, 'W');  // 260 characters
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "\nInstallation failed\n");
    EXPECT_TRUE(sim::callsOf("SetupDiGetClassDevsA").empty()) << "no detection";
    EXPECT_TRUE(sim::callsOf("CreateDirectoryA").empty()) << "nothing staged";
}

TEST_F(SetupFirstPhase, UnavailableSystemDirectoryFailsTheSameWay) {
    sim::failCall("GetSystemDirectoryA", 1, ERROR_INVALID_PARAMETER);
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "\nInstallation failed\n");
}

TEST_F(SetupFirstPhase, NotQuietAsksForOneKeyAfterTheFinalText) {
    sim::machine().systemDirectory = "C:\\" + std::string(300, 'W');
    Run r = runPhaseWaitingForAKey();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "\nInstallation failed\nPress any key to exit.");
    EXPECT_EQ(sim::callsOf("_getch").size(), 1u);
}

TEST_F(SetupFirstPhase, DelegateModeWithAKnownDeviceEndsAtOnceWithoutText) {
    startWith({sim::newerAdapter()});
    run.delegateMode = true;
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner);
    EXPECT_TRUE(sim::callsOf("_getch").empty());
    EXPECT_TRUE(sim::callsOf("CreateProcessA").empty());
}

// A deletion that fails ends the run through the end step: the final text
// and, unless quiet, the key wait.
TEST_F(SetupFirstPhase, OldProcessorDriverThatCannotBeDeletedEndsAsAFailedInstallation) {
    startWith({sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
    std::ofstream(host("drivers/qrvmpw.sys")) << "old driver";
    sim::machine().fileAttributes["C:\\WINNT\\system32\\drivers\\qrvmpw.sys"] = FILE_ATTRIBUTE_READONLY;
    Run r = runPhaseWaitingForAKey();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "Removing older version of the device drivers.\n\nInstallation failed\n"
                                 "Press any key to exit.");
    EXPECT_EQ(sim::callsOf("_getch").size(), 1u);
    auto deletes = sim::callsOf("DeleteFileA");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].args[0], sim::arg("C:\\WINNT\\system32\\drivers\\qrvmpw.sys"));
    EXPECT_EQ(deletes[0].lastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(serviceRegistered(SETUP_SERVICE_NAME));
    ASSERT_NE(runOnce(), nullptr);
    EXPECT_TRUE(runOnce()->values.empty()) << "no second phase scheduled";
}

// Neither the file nor its folder: the driver is absent, as good as deleted.
TEST_F(SetupFirstPhase, OldProcessorDriverFileThatIsAbsentCountsAsDeleted) {
    for (bool withDriversFolder : {true, false}) {
        SCOPED_TRACE(withDriversFolder ? "no file" : "no drivers folder");
        if (!withDriversFolder) fs::remove_all(root + "/C/WINNT/system32/drivers");
        startWith({sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
        Run r = runPhase();
        EXPECT_EQ(sim::callsOf("DeleteFileA").at(0).lastError,
                  static_cast<uint32_t>(withDriversFolder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.output, Banner + "Removing older version of the device drivers.\n"
                                     "Removed the old device drivers. \nReboot the machine to install the new "
                                     "drivers.\n");
        EXPECT_EQ(runOnce()->values.count("Setup"), 1u);
    }
}

TEST_F(SetupFirstPhase, SecondPhaseThatCannotBeScheduledAfterTheRemovalFailsTheInstallation) {
    // Old drivers gone and nothing left to install the new ones: no reboot
    // message, but a failed installation.
    const struct {
        int unattended;
        const char* function;
        const char* output;
    } cases[] = {
        {1, "CreateServiceA", "\nInstallation failed\n"},
        {1, "OpenSCManagerA", "\nInstallation failed\n"},
        {0, "RegCreateKeyExA", "Error writing to the registry\n\nInstallation failed\n"},
        {0, "RegSetValueExA", "Error writing to the registry\n\nInstallation failed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        for (bool childDevices : {false, true}) {
            sim::Device adapter = sim::newerAdapter();
            if (childDevices)
                startWith({adapter, sim::childFunction(4, adapter.instanceId)});
            else
                startWith({sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
            run.unattendedMode = c.unattended;
            sim::failCall(c.function, 0, ERROR_ACCESS_DENIED);
            Run r = runPhase();
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_EQ(r.output, Banner + "Removing older version of the device drivers.\n" + c.output);
            EXPECT_FALSE(serviceRegistered(SETUP_SERVICE_NAME));
            EXPECT_TRUE(runOnce()->values.empty());
            EXPECT_EQ(sim::openHandleCount(), 0u);
            // The console has no room for the cause; the trace names it.
            auto traces = sim::callsOf("OutputDebugStringA");
            ASSERT_FALSE(traces.empty());
            EXPECT_NE(traces.back().args[0].find(std::string("SETUP: ") + c.function + " failed with error 5 "),
                      std::string::npos)
                << traces.back().args[0];
        }
    }
}

// The old processor driver goes only where the older adapter and the
// on-board processor *QRV5190 are both present: with the processor alone its
// file stays and nothing waits for a restart.
TEST_F(SetupFirstPhase, OnboardProcessorWithoutTheOlderAdapterKeepsTheOldDriver) {
    startWith({sim::onboardProcessor("*QRV5190", 1)});
    std::ofstream(host("drivers/qrvmpw.sys")) << "old driver";
    Run r = runPhase();
    EXPECT_EQ(r.output.find("Removing older version"), std::string::npos) << r.output;
    EXPECT_TRUE(fs::exists(host("drivers/qrvmpw.sys")));
    EXPECT_TRUE(sim::callsOf("DeleteFileA").empty());
    EXPECT_TRUE(runOnce()->values.empty());
    EXPECT_FALSE(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA").empty()) << "the plan ran";
}

TEST_F(SetupFirstPhase, OldProcessorDriverDeletedSchedulesRunOnceAndAsksForARestart) {
    startWith({sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
    std::ofstream(host("drivers/qrvmpw.sys")) << "old driver";
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + "Removing older version of the device drivers.\n"
                                 "Removed the old device drivers. \nReboot the machine to install the new drivers.\n");
    EXPECT_FALSE(fs::exists(host("drivers/qrvmpw.sys")));
    ASSERT_NE(runOnce(), nullptr);
    EXPECT_EQ(runOnce()->values.count("Setup"), 1u);
    EXPECT_FALSE(serviceRegistered(SETUP_SERVICE_NAME));
    EXPECT_TRUE(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA").empty()) << "nothing bound yet";
}

TEST_F(SetupFirstPhase, OldProcessorDriverUnattendedSchedulesTheService) {
    startWith({sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
    run.unattendedMode = true;
    std::ofstream(host("drivers/qrvmpw.sys")) << "old driver";
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(serviceRegistered(SETUP_SERVICE_NAME));
    EXPECT_TRUE(runOnce()->values.empty());
}

TEST_F(SetupFirstPhase, OldProcessorDriverRoadRemovesTheEarlierProcessorServiceFirst) {
    startWith({sim::newerAdapter(), sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
    std::ofstream(host("drivers/qrvmpw.sys")) << "old driver";
    std::ofstream(host("qrvmpsvc.exe")) << "#!/bin/sh\nexit 0\n";
    fs::permissions(host("qrvmpsvc.exe"), fs::perms::owner_all);
    sim::ensureKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\qrvmpsvc").values["Type"] =
        sim::RegValue{4, sim::regDword(0x10)};
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 1) << r.output;
    // The second phase's install run leaves a registration it finds as it
    // is: the earlier one goes now, as on the road of the old child devices.
    auto runs = sim::callsOf("CreateProcessA");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].args[1], "\"C:\\\\WINNT\\\\system32\\\\qrvmpsvc.exe -remove\"");
    EXPECT_FALSE(fs::exists(host("drivers/qrvmpw.sys")));
}

TEST_F(SetupFirstPhase, ResumeModeSkipsTheOldDriverAndBinds) {
    startWith({sim::olderAdapter(), sim::onboardProcessor("*QRV5190", 1)});
    run.resumeMode = true;
    Run r = runPhase();
    EXPECT_TRUE(sim::callsOf("DeleteFileA").empty());
    EXPECT_FALSE(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA").empty()) << "the plan ran";
    EXPECT_NE(r.output.find("Installing drivers for "), std::string::npos);
}

TEST_F(SetupFirstPhase, ChildFunctionFourRemovesTheOldDevicesInsteadOfBinding) {
    sim::Device adapter = sim::newerAdapter();
    startWith({adapter, sim::childFunction(4, adapter.instanceId), sim::onboardProcessor("*QRV51A1", 1)});
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, Banner + "Removing older version of the device drivers.\n"
                                 "Removed the old device drivers. \nReboot the machine to install the new drivers.\n");
    EXPECT_TRUE(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA").empty());
    for (const auto& d : sim::machine().devices) {
        if (d.hardwareIds.empty()) continue;
        const std::string& id = d.hardwareIds.back();
        if (id == "MF\\MGTPROC_DEV4" || id == "PCI\\VEN_1D3C&DEV_0207&CC_0680" || id == "*QRV51A1") {
            EXPECT_FALSE(d.present) << d.instanceId << " still present";
        }
    }
    EXPECT_EQ(runOnce()->values.count("Setup"), 1u);
}

TEST_F(SetupFirstPhase, DeviceScanBrokenOffFailsInsteadOfTakingTheLegacyRoad) {
    startWith({sim::newerAdapter()});
    legacyProgram(0);
    sim::failCall("SetupDiEnumDeviceInfo", 1, 31);  // a device attached to the system is not functioning
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 2);
    ASSERT_GE(r.output.size(), 21u);
    EXPECT_EQ(r.output.substr(r.output.size() - 21), "\nInstallation failed\n") << r.output;
    EXPECT_TRUE(sim::callsOf("CreateProcessA").empty()) << "the legacy program did not run";
    EXPECT_TRUE(sim::callsOf("UpdateDriverForPlugAndPlayDevicesA").empty());
}

// Without a set of the present devices the machine's devices are unknown:
// the run fails rather than take the road of a machine without them.
TEST_F(SetupFirstPhase, DeviceSetThatCannotBeHadFailsWithoutTheLegacyProgram) {
    startWith({sim::newerAdapter()});
    legacyProgram(0);
    sim::failCall("SetupDiGetClassDevsA", 0, ERROR_NOT_ENOUGH_MEMORY);
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "File system error: 8\n\n\nInstallation failed\n");
    EXPECT_FALSE(fs::exists(root + "/legacy-args")) << "the legacy program ran";
    EXPECT_TRUE(sim::callsOf("CreateProcessA").empty());
}

TEST_F(SetupFirstPhase, LegacyProgramGetsItsOptionsAndSharesTheConsole) {
    legacyProgram(3);
    run.delegateMode = true;
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, Banner + "Installation complete\n\r");
    auto creates = sim::callsOf("CreateProcessA");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].args,
              (std::vector<std::string>{"null", sim::arg("C:\\WINNT\\system32\\drivers\\korpa\\nt\\RVOSETUP.EXE -S -Q -H"), "null",
                                        "null", "0", "0x0", "null", "null", "dwFlags=0x0", "wShowWindow=0",
                                        "lpReserved=null", "cbReserved2=0", "lpReserved2=null"}));
    EXPECT_EQ(readText(root + "/legacy-args"), "-S -Q -H\n");
    auto waits = sim::callsOf("WaitForSingleObject");
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].args[1], "INFINITE");
    // Both handles of the process are closed (the fixture counts them).
}

TEST_F(SetupFirstPhase, LegacyProgramExitCodesMapOntoTheInstallersOwn) {
    const struct {
        int program, exitCode;
        const char* finalText;
    } cases[] = {{1, 1, "Installation complete\n\rReboot the machine for the device driver to start. \n\r"},
                 {2, 2, "\nInstallation failed\n"},
                 {8, 8, "\nInstallation failed\n"},
                 {0, 0, "Installation complete\n\r"},
                 {255, 0, "Installation complete\n\r"}};
    for (const auto& c : cases) {
        startWith({});
        legacyProgram(c.program);
        Run r = runPhase();
        EXPECT_EQ(r.exitCode, c.exitCode) << "program ended with " << c.program;
        EXPECT_EQ(r.output, Banner + c.finalText) << "program ended with " << c.program;
        EXPECT_EQ(readText(root + "/legacy-args"), "-S -Q\n");
        EXPECT_EQ(sim::openHandleCount(), 0u);
    }
}

TEST_F(SetupFirstPhase, LegacyProgramThatCannotStartFails) {
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "File system error: 2\n\n\nInstallation failed\n");
}

TEST_F(SetupFirstPhase, LegacyProgramWhoseResultCannotBeReadIsNotReportedAsSuccess) {
    legacyProgram(0);
    sim::failCall("GetExitCodeProcess", 1, ERROR_ACCESS_DENIED);
    Run r = runPhase();
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.output, Banner + "File system error: 5\n\n\nInstallation failed\n");
}

}  // namespace

namespace {

// A program started below the current directory, from a folder of the media
// whose path holds the program folder's name twice: the media there is
// staged.
TEST_F(SetupFirstPhase, RelativeProgramPathStagesTheMediaAboveItsFolder) {
    fs::create_directories(root + "/D/kits/win2000/win2000");
    std::ofstream(root + "/D/kits/win2000/win2000/KORP.INF") << "media";
    fs::remove_all(root + "/C/WINNT/system32/drivers/korpa");
    startWith({});
    sim::machine().currentDrive = 4;  // D:, whose current directory is its root
    std::string programPath = "kits\\win2000\\WIN2000\\SETUP.EXE";
    std::string quiet = "/Q";
    char* argv[] = {&programPath[0], &quiet[0], nullptr};
    testing::internal::CaptureStdout();
    setupMain(2, argv);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(readText(host("drivers/korpa/win2000/KORP.INF")), "media");
}

}  // namespace
