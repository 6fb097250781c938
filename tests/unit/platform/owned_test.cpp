// The platform layer's owners, where they do more than give their handle
// back.
#include <gtest/gtest.h>

#include "platform/owned.h"
#include "test_support.h"

namespace {

class PlatformOwners : public testsupport::MachineTest {};

// The work done with a device set ends in an error that the caller reads
// after the set is gone (a scan ends with ERROR_NO_MORE_ITEMS).
TEST_F(PlatformOwners, DeviceSetReleaseKeepsTheLastErrorOfTheWork) {
    DeviceSet set(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    ASSERT_TRUE(set);
    SetLastError(ERROR_NO_MORE_ITEMS);
    set.reset();
    auto destroy = sim::callsOf("SetupDiDestroyDeviceInfoList");
    ASSERT_EQ(destroy.size(), 1u);
    EXPECT_EQ(destroy[0].lastError, 0u) << "the release itself clears the last error";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

}  // namespace
