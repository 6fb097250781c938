// The programs layer: a family program started from the system directory,
// on the simulated machine with the media's programs.
#include <gtest/gtest.h>

#include "binding_fixture.h"
#include "platform/win_process.h"
#include "programs/family_programs.h"

using namespace bindingtest;

namespace {

class ProgramsSystemProgram : public BindingTest {};

TEST_F(ProgramsSystemProgram, MissingProgramIsNotStartedAndNamesTheError) {
    startMachine({}, false);
    Result started = runSystemProgram(run.directories.system, "\\qrvmpsvc.exe -install");
    EXPECT_STREQ(started.operation(), "CreateProcessA");
    EXPECT_EQ(started.error(), static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    auto calls = sim::callsOf("CreateProcessA");
    ASSERT_EQ(calls.size(), 1u);
    const auto& a = calls[0].args;
    EXPECT_EQ(a[0], "null");
    EXPECT_EQ(a[1], q("C:\\WINNT\\system32\\qrvmpsvc.exe -install"));
    EXPECT_EQ(a[2], "null");
    EXPECT_EQ(a[3], "null");
    EXPECT_EQ(a[4], "0");
    EXPECT_EQ(a[5], "0x10");  // CREATE_NEW_CONSOLE
    EXPECT_EQ(a[6], "null");
    EXPECT_EQ(a[7], "null");
    EXPECT_EQ(a[8], "dwFlags=0x1");  // STARTF_USESHOWWINDOW
    EXPECT_EQ(a[9], "wShowWindow=0");  // SW_HIDE
    EXPECT_EQ(a[10], "lpReserved=null");
    EXPECT_EQ(a[11], "cbReserved2=0");
    EXPECT_EQ(a[12], "lpReserved2=null");
    EXPECT_TRUE(sim::callsOf("WaitForSingleObject").empty());
}

TEST_F(ProgramsSystemProgram, StartedProgramIsWaitedForWhateverItsExitStatus) {
    startMachine({}, false);
    fs::copy_file(fs::path(BUILD_MEDIA_DIR) / "win2000/QRVMPSVC.EXE",
                  fs::path(folder) / "drives/C/WINNT/system32/QRVMPSVC.EXE");
    sim::machine().programExitCodes["qrvmpsvc.exe"] = 5;
    sim::commit();
    EXPECT_TRUE(runSystemProgram(run.directories.system, "\\qrvmpsvc.exe -install").ok());
    auto wait = sim::callsOf("WaitForSingleObject");
    ASSERT_EQ(wait.size(), 1u);
    EXPECT_EQ(wait[0].args[1], "INFINITE");
    EXPECT_EQ(sim::callsOf("GetExitCodeProcess").size(), 1u);
    EXPECT_EQ(sim::callsOf("CloseHandle").size(), 2u) << "the process and the thread handle";
    ASSERT_EQ(sim::machine().processes.size(), 1u);
    EXPECT_EQ(sim::machine().processes[0].exitCode, 5);
    EXPECT_EQ(sim::machine().processes[0].console, "new");
    // The placeholder registered its service, image in the system directory.
    sim::RegKey* svc = sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\qrvmpsvc");
    ASSERT_NE(svc, nullptr);
    EXPECT_EQ(svc->values["ImagePath"].data.substr(0, svc->values["ImagePath"].data.find('\0')),
              "C:\\WINNT\\system32\\qrvmpsvc.exe");
}

TEST_F(ProgramsSystemProgram, CommandLineThatDoesNotFitStartsNothing) {
    startMachine({}, false);
    std::string tail = "\\" + std::string(520, 'x');
    EXPECT_EQ(runSystemProgram(run.directories.system, tail.c_str()).error(),
              static_cast<unsigned long>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(sim::callsOf("CreateProcessA").empty());
}

}  // namespace
