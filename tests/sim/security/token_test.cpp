// The simulated process token: the privileges each account holds and must
// enable, the previous state and the token's rights, and the shutdown
// request that needs the shutdown privilege.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win_services.h"
#include "sim_test.h"

namespace {

class SimSecurityToken : public simtest::MachineTest {
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

TEST_F(SimSecurityToken, PlainUserIsNotGrantedTheShutdownPrivilege) {
    sim::setProcessAccount("user");
    DWORD error = 0;
    EXPECT_TRUE(enableShutdown(error));  // succeeds, as on Windows ...
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));  // ... without enabling it
    SetLastError(0);
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), 1314u);  // ERROR_PRIVILEGE_NOT_HELD
    EXPECT_TRUE(sim::machine().rebootRequests.empty());
}

TEST_F(SimSecurityToken, AdministratorAndSystemMustEnableItBeforeTheReboot) {
    for (const char* account : {"administrator", "system"}) {
        SCOPED_TRACE(account);
        start(simtest::machineWith());
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

TEST_F(SimSecurityToken, PreviousStateAndTokenRights) {
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

}  // namespace
