// The record of platform calls and the faults injected into them.
#include <gtest/gtest.h>

#include <string>

#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "sim_test.h"

namespace {

class SimCoreFaults : public simtest::MachineTest {};

TEST_F(SimCoreFaults, TheNthCallFailsWithTheChosenErrorAndReleasesNeverFail) {
    sim::failCall("RegOpenKeyExA", 2, 1234);
    HKEY h;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), 1234);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &h), ERROR_SUCCESS);
    sim::failCall("RegCloseKey", 0, 5);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    auto opens = sim::callsOf("RegOpenKeyExA");
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_TRUE(opens[1].injected);
    EXPECT_FALSE(opens[2].injected);

    std::string error;
    EXPECT_FALSE(sim::parseFaults("RegOpenKeyExA=5", error));
    std::string next = "*#" + std::to_string(sim::callCount() + 1) + "=5";
    EXPECT_TRUE(sim::parseFaults(next, error));
    SetLastError(0);
    EXPECT_EQ(GetSystemDirectoryA(nullptr, 0), 0u);
    EXPECT_EQ(GetLastError(), 5u);
}

}  // namespace
