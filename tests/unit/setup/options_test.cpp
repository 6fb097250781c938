// The setup layer's command line, force codes, run-mode decision and media
// root.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devices/device_table.h"
#include "setup/options.h"
#include "setup/service_phase.h"
#include "test_support.h"

using testsupport::MachineTest;

namespace {

// argv whose texts the parser may change in place.
struct Args {
    std::vector<std::string> texts;
    std::vector<char*> argv;
    explicit Args(std::vector<std::string> t) : texts(std::move(t)) {
        for (auto& s : texts) argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }
};

struct Parsed {
    bool result;
    std::string output;
};

Parsed parse(Args& a, RunState& run) {
    testing::internal::CaptureStdout();
    bool r = parseOptions(a.argc(), a.argv.data(), run);
    return {r, testing::internal::GetCapturedStdout()};
}

class SetupOptions : public MachineTest {};

TEST_F(SetupOptions, WholeArgumentFlagsAcceptEitherPrefixAndAnyCase) {
    Args a({"D:\\WIN2000\\SETUP.EXE", "/q", "/x"});
    Parsed p = parse(a, run);
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.output, "");
    EXPECT_TRUE(run.quietMode);
    EXPECT_TRUE(run.unattendedMode);
    EXPECT_FALSE(run.resumeMode);
    EXPECT_FALSE(run.delegateMode);
    // Upper-cased in place; argv[0] never is.
    EXPECT_STREQ(a.argv[1], "/Q");
    EXPECT_STREQ(a.argv[0], "D:\\WIN2000\\SETUP.EXE");
}

TEST_F(SetupOptions, QuietAloneSetsOnlyQuietMode) {
    Args a({"setup", "-Q"});
    parse(a, run);
    EXPECT_TRUE(run.quietMode);
    EXPECT_FALSE(run.unattendedMode);
}

TEST_F(SetupOptions, CombinedOrDecoratedFlagsMatchNothing) {
    Args a({"setup", "/QX", "/X:", "-QUIET", "/F", "/RR", "", "x"});
    Parsed p = parse(a, run);
    EXPECT_TRUE(p.result);
    EXPECT_EQ(p.output, "");
    EXPECT_EQ(run.quietMode + run.unattendedMode + run.resumeMode + run.delegateMode, 0);
    EXPECT_EQ(run.detection.forceCode, 0);
}

TEST_F(SetupOptions, ResumeAndDelegateFlags) {
    Args a({"setup", "-r", "/h"});
    parse(a, run);
    EXPECT_TRUE(run.resumeMode);
    EXPECT_TRUE(run.delegateMode);
    EXPECT_TRUE(run.quietMode);
    EXPECT_FALSE(run.unattendedMode);
}

TEST_F(SetupOptions, ForceCodeEPrintsItsNoticeAndSetsThreeFlags) {
    Args a({"setup", "-fe"});
    Parsed p = parse(a, run);
    EXPECT_EQ(p.output, "Skipping hardware detection - forcing Tovik.\n");
    EXPECT_EQ(run.detection.forceCode, 'E');
    for (int k = 0; k < DeviceEntryCount; ++k)
        EXPECT_EQ(run.detection.present[k], k == 0 || k == 9 || k == 11) << "entry " << k;
}

TEST_F(SetupOptions, EveryValidForceCodeHasItsNoticeAndFlags) {
    struct Case {
        const char* arg;
        const char* notice;
        std::vector<int> flags;
    };
    const Case cases[] = {
        {"-FA", "Skipping hardware detection - forcing RVO.\n", {2}},
        {"-FP", "Skipping hardware detection - forcing Ferrix.\n", {3}},
        {"-FJ", "Skipping hardware detection - forcing Quillo.\n", {4}},
        {"-FR", "Skipping hardware detection - forcing Blenna.\n", {5}},
        {"-FU", "Skipping hardware detection - forcing Dorrin.\n", {}},
        {"-FW", "Skipping hardware detection - forcing Kelvane.\n", {1}},
        {"-fwide", "Skipping hardware detection - forcing Kelvane.\n", {1}},
    };
    for (const Case& c : cases) {
        run = RunState{};
        Args a({"setup", c.arg});
        Parsed p = parse(a, run);
        EXPECT_TRUE(p.result) << c.arg;
        EXPECT_EQ(p.output, c.notice) << c.arg;
        int set = 0;
        for (int k = 0; k < DeviceEntryCount; ++k) set += run.detection.present[k];
        EXPECT_EQ(set, static_cast<int>(c.flags.size())) << c.arg;
        for (int k : c.flags) EXPECT_TRUE(run.detection.present[k]) << c.arg;
        EXPECT_STREQ(run.detection.oldAdapterHardwareId, "");
    }
}

TEST_F(SetupOptions, SeveralForceCodesAddUpAndTheLastOneIsKept) {
    Args a({"setup", "-FA", "-FP"});
    Parsed p = parse(a, run);
    EXPECT_EQ(p.output,
              "Skipping hardware detection - forcing RVO.\n"
              "Skipping hardware detection - forcing Ferrix.\n");
    EXPECT_TRUE(run.detection.present[2]);
    EXPECT_TRUE(run.detection.present[3]);
    EXPECT_EQ(run.detection.forceCode, 'P');
}

TEST_F(SetupOptions, InvalidForceCodeStopsReadingTheArguments) {
    Args a({"setup", "-FZ", "/q"});
    Parsed p = parse(a, run);
    EXPECT_FALSE(p.result);
    EXPECT_EQ(p.output, "Invalid force code!\n");
    EXPECT_FALSE(run.quietMode);
    EXPECT_STREQ(a.argv[2], "/q") << "the argument after the invalid code is never read";

    run = RunState{};
    Args bare({"setup", "-F"});
    EXPECT_EQ(parse(bare, run).output, "Invalid force code!\n");
}

TEST_F(SetupOptions, InvalidForceCodeMakesMainReturnZeroWithoutAnythingElse) {
    Args a({"D:\\WIN2000\\SETUP.EXE", "-F?", "/X"});
    sim::clearCalls();
    testing::internal::CaptureStdout();
    ExitCode code = setupMain(a.argc(), a.argv.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid force code!\n");
    EXPECT_EQ(code, ExitComplete);
    EXPECT_TRUE(sim::calls().empty()) << "no platform call after an invalid force code";
}

// ---- run mode --------------------------------------------------------------

class SetupRunMode : public MachineTest {};

TEST_F(SetupRunMode, ServiceProbeAsksForFullAccessAndClosesBothHandles) {
    EXPECT_FALSE(setupServiceExists(run));
    auto mgr = sim::callsOf("OpenSCManagerA");
    ASSERT_EQ(mgr.size(), 1u);
    EXPECT_EQ(mgr[0].args, (std::vector<std::string>{"null", "null", "0xF003F"}));
    auto svc = sim::callsOf("OpenServiceA");
    ASSERT_EQ(svc.size(), 1u);
    EXPECT_EQ(svc[0].args[1], "\"mpsetup\"");
    EXPECT_EQ(svc[0].args[2], "0xF01FF");
    EXPECT_EQ(svc[0].lastError, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
}

sim::Machine machineWithSetupService(const std::string& account) {
    sim::Machine m = testsupport::machineWith();
    m.account = account;
    sim::RegKey& k = sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Services\\mpsetup");
    k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(0x10)};
    k.values["Start"] = sim::RegValue{REG_DWORD, sim::regDword(2)};
    k.values["ImagePath"] = sim::RegValue{REG_EXPAND_SZ, sim::regSz("C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE")};
    return m;
}

TEST_F(SetupRunMode, RegisteredServiceIsFoundByAnAdministrator) {
    start(machineWithSetupService("administrator"));
    EXPECT_TRUE(setupServiceExists(run));
    EXPECT_EQ(sim::callsOf("CloseServiceHandle").size(), 2u);
    EXPECT_FALSE(run.managerAccessDenied);
}

TEST_F(SetupRunMode, PlainUserCannotOpenTheManagerWithFullAccessSoTheFirstPhaseRuns) {
    start(machineWithSetupService("user"));
    EXPECT_FALSE(setupServiceExists(run));
    auto mgr = sim::callsOf("OpenSCManagerA");
    ASSERT_EQ(mgr.size(), 1u);
    EXPECT_EQ(mgr[0].lastError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(sim::callsOf("OpenServiceA").empty());
    EXPECT_TRUE(run.managerAccessDenied) << "the first phase then changes nothing";
}

// However the dispatcher call fails, the second phase has not run and
// mpsetup is still registered: the installation is not complete.
TEST_F(SetupRunMode, DispatcherFailureEndsWithARestartNeededAndOneEventEntry) {
    const struct {
        DWORD injected;  // 0: the failure of a start from a console
        const char* entry;
    } cases[] = {{0, "mpsetup error: 1063"}, {ERROR_INVALID_DATA, "mpsetup error: 13"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        start(machineWithSetupService("administrator"));
        if (c.injected) sim::failCall("StartServiceCtrlDispatcherA", 1, c.injected);
        Args a({"C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE"});
        testing::internal::CaptureStdout();
        ExitCode code = setupMain(a.argc(), a.argv.data());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(code, ExitRestartNeeded);
        const auto& log = sim::machine().eventLog;
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].source, "mpsetup");
        EXPECT_EQ(log[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(log[0].strings, (std::vector<std::string>{c.entry, "StartServiceCtrlDispatcher failed."}));
        EXPECT_TRUE(sim::callsOf("GetSystemDirectoryA").empty()) << "the first phase must not run";
    }
}

TEST_F(SetupRunMode, ServiceErrorEntryCarriesTheLastErrorOfTheCall) {
    SetLastError(6);
    reportServiceError("SetServiceStatus");
    const auto& log = sim::machine().eventLog;
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].strings, (std::vector<std::string>{"mpsetup error: 6", "SetServiceStatus"}));
    auto report = sim::callsOf("ReportEventA");
    ASSERT_EQ(report.size(), 1u);
    // type 1, category 0, event 0, no user, two strings, no data
    EXPECT_EQ(report[0].args[1], "1");
    EXPECT_EQ(report[0].args[2], "0");
    EXPECT_EQ(report[0].args[3], "0");
    EXPECT_EQ(report[0].args[4], "null");
    EXPECT_EQ(report[0].args[5], "2");
    EXPECT_EQ(report[0].args[6], "0");
    EXPECT_EQ(sim::callsOf("DeregisterEventSource").size(), 1u);
}

TEST_F(SetupRunMode, EventSourceThatCannotBeRegisteredDropsTheErrorSilently) {
    sim::failCall("RegisterEventSourceA", 0, ERROR_ACCESS_DENIED);
    SetLastError(1063);
    reportServiceError("StartServiceCtrlDispatcher failed.");
    EXPECT_TRUE(sim::machine().eventLog.empty());
    EXPECT_TRUE(sim::callsOf("ReportEventA").empty());
}

// ---- the source directory --------------------------------------------------

class SetupSourceDir : public MachineTest {};

TEST_F(SetupSourceDir, EveryRowOfTheDerivationTable) {
    struct Row {
        const char* path;
        const char* expected;
    };
    const Row rows[] = {
        {"D:\\WIN2000\\SETUP.EXE", "D:"},
        {"D:\\drivers\\Win2000\\setup.exe", "D:\\drivers"},
        {"\\win2000\\setup.exe", "c:"},
        {"C:\\tools\\setup.exe", "C:"},
        {"setup.exe", ".."},
        {"setup", ".."},
        {"win2000\\setup.exe", "."},
        {"D:setup.exe", "D:"},
        {"sub\\setup.exe", ""},
        {"D:\\win2000\\tools\\setup.exe", "D:\\win20"},
        {"C:\\WINNT\\system32\\drivers\\korpa\\win2000\\SETUP.EXE", "C:\\WINNT\\system32\\drivers\\korpa"},
        {"\\\\server\\share\\win2000\\setup.exe", "\\\\server\\share"},
        // A media folder whose path holds the program folder's name above
        // it, in any letter case: the root is the folder above the one that
        // holds the program.
        {"D:\\WIN2000\\WIN2000\\SETUP.EXE", "D:\\WIN2000"},
        {"D:\\kits\\win2000\\x\\win2000\\SETUP.EXE", "D:\\kits\\win2000\\x"},
        {"D:\\Kits\\WiN2000\\Setup.Exe", "D:\\Kits"},
        {"\\kits\\WIN2000\\SETUP.EXE", "\\kits"},
        // The same below the current directory.
        {"kits\\win2000\\setup.exe", "kits"},
        {"win2000\\WIN2000\\SETUP.EXE", "win2000"},
        {"D:kits\\Win2000\\SETUP.EXE", "D:kits"},
        {"..\\win2000\\setup.exe", ".."},
        {"win2000\\tools\\setup.exe", "."},
    };
    for (const Row& r : rows) {
        std::memset(run.directories.source, 'x', sizeof run.directories.source);
        deriveSourceDir(r.path, run.directories.source);
        EXPECT_STREQ(run.directories.source, r.expected) << r.path;
    }
}

TEST_F(SetupSourceDir, CurrentDriveGivesTheLowerCaseLetter) {
    sim::machine().currentDrive = 1;
    deriveSourceDir("\\tools\\setup.exe", run.directories.source);
    EXPECT_STREQ(run.directories.source, "a:");
}

TEST_F(SetupSourceDir, ProgramPathsOfAnyLengthStayInsideTheBuffers) {
    for (size_t n : {250u, 255u, 256u, 259u, 260u, 300u, 1000u, 5000u}) {
        std::string path = "D:\\" + std::string(n, 'a') + "\\win2000\\SETUP.EXE";
        deriveSourceDir(path.c_str(), run.directories.source);
        EXPECT_LT(std::strlen(run.directories.source), sizeof run.directories.source) << n;
        std::string longName = "D:\\WIN2000\\" + std::string(n, 'b') + ".EXE";
        deriveSourceDir(longName.c_str(), run.directories.source);
        EXPECT_STREQ(run.directories.source, "D:") << n;
    }
    deriveSourceDir("", run.directories.source);
    EXPECT_STREQ(run.directories.source, "..");
    deriveSourceDir(nullptr, run.directories.source);
    EXPECT_STREQ(run.directories.source, "..");
}

}  // namespace
