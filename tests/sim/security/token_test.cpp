// The simulated process token and shutdown request, and the lines of the
// service control channel.
#include "sim/services/control_channel.h"
#include "test_support.h"

namespace {

class Token : public testsupport::MachineTest {
protected:
    // Opens the token, looks up and enables the shutdown privilege; returns
    // the adjustment's result with its last error.
    BOOL enableShutdown(DWORD& error) {
        HANDLE token = nullptr;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
        TOKEN_PRIVILEGES p{};
        p.PrivilegeCount = 1;
        EXPECT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &p.Privileges[0].Luid));
        p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        SetLastError(0xDEAD);
        BOOL ok = AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr);
        error = GetLastError();
        CloseHandle(token);
        return ok;
    }
};

TEST_F(Token, PlainUserIsNotGrantedTheShutdownPrivilege) {
    sim::setProcessAccount("user");
    DWORD error = 0;
    EXPECT_TRUE(enableShutdown(error));  // succeeds, as on Windows ...
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));  // ... without enabling it
    SetLastError(0);
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), 1314u);  // ERROR_PRIVILEGE_NOT_HELD
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
}

TEST_F(Token, AdministratorAndSystemMustEnableItBeforeTheReboot) {
    for (const char* account : {"administrator", "system"}) {
        SCOPED_TRACE(account);
        start(testsupport::machineWith());
        sim::setProcessAccount(account);
        EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
        EXPECT_EQ(GetLastError(), 1314u);
        DWORD error = 1;
        EXPECT_TRUE(enableShutdown(error));
        EXPECT_EQ(error, 0u);
        EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
        EXPECT_TRUE(ExitWindowsEx(EWX_LOGOFF, 0));  // a logoff is no restart
        EXPECT_EQ(sim::machine().rebootRequests, std::vector<uint32_t>{EWX_REBOOT});
        EXPECT_FALSE(ExitWindowsEx(0x1000, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST_F(Token, PreviousStateAndTokenRights) {
    sim::setProcessAccount("administrator");
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES p{};
    p.PrivilegeCount = 1;
    p.Privileges[0].Luid.LowPart = 19;
    p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(token);

    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &p, 1, &previous, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(length, sizeof previous);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &p, sizeof previous, &previous, &length));
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 19u);
    EXPECT_EQ(previous.Privileges[0].Attributes, 0u);  // it was disabled
    CloseHandle(token);

    LUID luid{};
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_FALSE(LookupPrivilegeValueA("OTHER", SE_SHUTDOWN_NAME, &luid));
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, "seshutdownprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 19u);
}

TEST(ServiceControlChannel, Lines) {
    uint32_t control = 0;
    std::string function, error;
    unsigned nth = 0;
    EXPECT_TRUE(sim::parseServiceControl("interrogate", control, function, nth, error));
    EXPECT_EQ(control, 4u);
    EXPECT_EQ(function, "");
    EXPECT_TRUE(sim::parseServiceControl("  STOP before DeleteService#1 ", control, function, nth, error));
    EXPECT_EQ(control, 1u);
    EXPECT_EQ(function, "DeleteService");
    EXPECT_EQ(nth, 1u);
    EXPECT_TRUE(sim::parseServiceControl("0x80", control, function, nth, error));
    EXPECT_EQ(control, 128u);
    for (const char* bad : {"halt", "stop after X#1", "stop before X", "stop before X#0", "stop before #2",
                            "stop before X#2y", "4 4"})
        EXPECT_FALSE(sim::parseServiceControl(bad, control, function, nth, error)) << bad;
}

}  // namespace
