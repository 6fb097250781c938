// The simulated Setup API's enumeration side at its boundary: sets of the
// present devices, the buffer protocol of their properties, the instance
// id, class and driver key, and the last error that every successful call
// clears. Each call is checked for its result and its last error, as
// Windows answers them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "platform/win_devices.h"
#include "platform/win_registry.h"
#include "sim_test.h"

using simtest::deviceWithIds;
using simtest::machineWith;
using simtest::MachineTest;
using simtest::Sentinel;

namespace {

class SimSetupApiEnumeration : public MachineTest {};

TEST_F(SimSetupApiEnumeration, HardwareIdPropertyFollowsTheBufferProtocol) {
    start(machineWith({deviceWithIds("ROOT\\A\\0", {"ID1", "ID22"}), deviceWithIds("ROOT\\B\\0", {})}));
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    DWORD index = static_cast<DWORD>(sim::machine().devices.size() - 2);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, index, &dev));

    DWORD size = 0, type = 0;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 10u) << "ID1\\0ID22\\0\\0";

    BYTE buf[10];
    SetLastError(Sentinel);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, &type, buf, sizeof buf, &size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::memcmp(buf, "ID1\0ID22\0\0", 10), 0);

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, index + 1, &dev));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, nullptr, buf, sizeof buf, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "a device without ids";

    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, index + 2, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    SP_DEVINFO_DATA wrong;
    wrong.cbSize = 28 + 1;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &wrong));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimSetupApiEnumeration, NotPresentDevicesAreLeftOutOfPresentSets) {
    sim::Device gone = deviceWithIds("ROOT\\GONE\\0", {"*QRV51A1"});
    gone.present = false;
    start(machineWith({gone}));
    HDEVINFO present = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    DWORD n = static_cast<DWORD>(sim::machine().devices.size());
    EXPECT_FALSE(SetupDiEnumDeviceInfo(present, n - 1, &dev));
    EXPECT_TRUE(SetupDiEnumDeviceInfo(all, n - 1, &dev));
    SetupDiDestroyDeviceInfoList(present);
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(SimSetupApiEnumeration, InstanceIdClassAndDriverProperties) {
    sim::Device bound = deviceWithIds("PCI\\VEN_1\\3&1", {"PCI\\VEN_1"});
    bound.compatibleIds = {"PCI\\CC_0680"};
    sim::Device bare = deviceWithIds("ROOT\\BARE\\0000", {"X"});
    bare.className.clear();
    bare.classGuid.clear();
    sim::Machine m = machineWith({bound, bare});
    sim::ensureKey(m, "SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1\\3&1").values["Driver"] =
        sim::RegValue{REG_SZ, sim::regSz("{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0003")};
    start(m);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    DWORD last = static_cast<DWORD>(m.devices.size() - 1);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, last - 1, &dev));

    DWORD size = 0;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &dev, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 14u);
    char id[64];
    SetLastError(Sentinel);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &dev, id, sizeof id, &size));
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_STREQ(id, "PCI\\VEN_1\\3&1");

    BYTE buf[128];
    DWORD type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_DRIVER, &type, buf, sizeof buf, &size));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "{4D36E97D-E325-11CE-BFC1-08002BE10318}\\0003");
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_COMPATIBLEIDS, &type, buf, sizeof buf, &size));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size), std::string("PCI\\CC_0680\0\0", 13));
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_CLASS, &type, buf, sizeof buf, &size));
    EXPECT_STREQ(reinterpret_cast<char*>(buf), "System");

    // A device never bound and without a class has none of the three.
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, last, &dev));
    for (DWORD property : {SPDRP_DRIVER, SPDRP_CLASS, SPDRP_CLASSGUID, SPDRP_COMPATIBLEIDS}) {
        SetLastError(Sentinel);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, property, &type, buf, sizeof buf, &size));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << property;
    }
    dev.cbSize = 0;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &dev, id, sizeof id, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
}

class SimSetupApiLastError : public MachineTest {};

TEST_F(SimSetupApiLastError, SuccessfulSetupApiCallsClearIt) {
    GUID system;
    sim::parseGuid("{4D36E97D-E325-11CE-BFC1-08002BE10318}", system);
    SetLastError(Sentinel);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    SetLastError(Sentinel);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    BYTE ids[256];
    SetLastError(Sentinel);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, ids, sizeof ids, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    SetLastError(Sentinel);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    SetLastError(Sentinel);
    set = SetupDiCreateDeviceInfoList(&system, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    const std::pair<const char*, std::function<BOOL()>> steps[] = {
        {"create", [&] { return SetupDiCreateDeviceInfoA(set, "System", &system, nullptr, nullptr, DICD_GENERATE_ID, &device); }},
        {"property", [&] { return SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                                    reinterpret_cast<const BYTE*>("*Y\0"), 4); }},
        {"register", [&] { return SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device); }},
        {"driver list", [&] { return SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER); }},
        {"remove", [&] { return SetupDiCallClassInstaller(DIF_REMOVE, set, &device); }},
    };
    for (const auto& [what, step] : steps) {
        SetLastError(Sentinel);
        EXPECT_TRUE(step()) << what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << what;
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
