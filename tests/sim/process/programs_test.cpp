// Programs that the simulated machine starts: a program file that another
// thread of the host has just written starts as on Windows, although a child
// forked meanwhile still holds it open for writing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/win_process.h"
#include "sim_test.h"

namespace fs = std::filesystem;

namespace {

class SimPrograms : public simtest::MachineTest {
protected:
    std::string media;
    void SetUp() override {
        // A folder of this process: the cases of a suite may run side by side.
        media = (fs::temp_directory_path() / ("korpa-sim-programs-" + std::to_string(::getpid()))).string();
        fs::remove_all(media);
        fs::create_directories(media);
        start(sim::baseMachine(media));
    }
    void TearDown() override {
        MachineTest::TearDown();
        fs::remove_all(media);
    }
};

TEST_F(SimPrograms, AProgramJustWrittenStartsWhileAForkedChildStillHoldsItOpen) {
    const std::string program = media + "/LATE.EXE";
    int fd = ::open(program.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    ASSERT_GE(fd, 0);
    const std::string text = "#!/bin/sh\nexit 3\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    // As another thread's fork keeps a copy of the descriptor until its exec.
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::usleep(300 * 1000);
        ::_exit(0);
    }
    ::close(fd);

    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    char line[] = "D:\\LATE.EXE";
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        << "error " << GetLastError();
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 3u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    int status = 0;
    ::waitpid(holder, &status, 0);
}

}  // namespace
