// The simulated Setup API's installation side at its boundary: buffer
// protocols, strict value checks and error codes, as Windows answers them.
#include <gtest/gtest.h>

#include <cstring>

#include "binding_fixture.h"
#include "devices/driver_ops.h"
#include "sim/setupapi/device_sets.h"
#include "sim/setupapi/inf.h"
#include "platform/win_devices.h"

using namespace bindingtest;

namespace {

class SimInstallTest : public BindingTest {};

TEST_F(SimInstallTest, InfClassBufferProtocol) {
    startMachine({});
    std::string path = infPath("mpw.inf");  // names compare without regard to case
    GUID guid;
    char name[MAX_CLASS_NAME_LEN];
    DWORD required = 0;
    SetLastError(0xDEAD);
    EXPECT_FALSE(SetupDiGetINFClassA(path.c_str(), &guid, name, 3, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 7u);  // "System" and its NUL
    ASSERT_TRUE(SetupDiGetINFClassA(path.c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_STREQ(name, "System");
    EXPECT_EQ(sim::guidText(guid), "{4D36E97D-E325-11CE-BFC1-08002BE10318}");
    ASSERT_TRUE(SetupDiGetINFClassA(infPath("KORPA.INF").c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_STREQ(name, "MultiFunction");

    SetLastError(0xDEAD);
    EXPECT_FALSE(SetupDiGetINFClassA(infPath("NONE.INF").c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SimInstallTest, EveryMediaInfParsesAndListsItsTableIds) {
    startMachine({});
    for (int k = 0; k < DeviceEntryCount; ++k) {
        sim::Inf inf;
        unsigned long error = 0;
        ASSERT_TRUE(sim::loadInf(std::string(StagingDirectory) + DeviceTable[k].infPath, inf, error) ||
                    k == 8)  // rmtptr.inf is on the media, not in the staging tree
            << DeviceTable[k].infPath << " " << error;
        if (k == 8) continue;
        EXPECT_NE(sim::findModel(sim::infModels(inf), DeviceTable[k].hardwareId), nullptr) << DeviceTable[k].hardwareId;
    }
}

TEST_F(SimInstallTest, HardwareIdPropertyMustBeAWellFormedMultiString) {
    startMachine({});
    GUID guid;
    char name[MAX_CLASS_NAME_LEN];
    ASSERT_TRUE(SetupDiGetINFClassA(infPath("MPW.INF").c_str(), &guid, name, sizeof name, nullptr));
    HDEVINFO set = SetupDiCreateDeviceInfoList(&guid, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA d;
    d.cbSize = sizeof d;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, name, &guid, nullptr, nullptr, DICD_GENERATE_ID, &d));
    const BYTE oneNul[] = "AB";               // "AB\0": the list is not ended
    const BYTE emptyFirst[] = "\0AB\0";       // an empty string before the end
    SetLastError(0);
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, oneNul, 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, emptyFirst, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    // Not registered: not enumerated, and gone with its set.
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA e;
    e.cbSize = sizeof e;
    DWORD n = 0;
    while (SetupDiEnumDeviceInfo(all, n, &e)) ++n;
    EXPECT_EQ(n, sim::machine().devices.size() - 1);
    SetupDiDestroyDeviceInfoList(all);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(device("ROOT\\SYSTEM\\0000"), nullptr);
}

TEST_F(SimInstallTest, GeneratedIdsTakeTheNextFreeNumber) {
    startMachine({});
    HDEVINFO sets[2];
    SP_DEVINFO_DATA records[2];
    for (int i = 0; i < 2; ++i) {
        sets[i] = INVALID_HANDLE_VALUE;
        ASSERT_EQ(createRootDeviceKeepingSet("MF\\MGTPROC_DEV5", infPath("MPW.INF").c_str(), &sets[i], &records[i]), 1);
    }
    EXPECT_NE(device("ROOT\\SYSTEM\\0000"), nullptr);
    EXPECT_NE(device("ROOT\\SYSTEM\\0001"), nullptr);
    for (int i = 0; i < 2; ++i) {
        SetupDiCallClassInstaller(DIF_REMOVE, sets[i], &records[i]);
        SetupDiDestroyDeviceInfoList(sets[i]);
    }
}

TEST_F(SimInstallTest, BindingNeedsAnAdministratorAndAModelForTheDevice) {
    startMachine({sim::newerAdapter()});
    BOOL reboot = 0;
    std::string korp = infPath("KORP.INF");
    SetLastError(0);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "PCI\\VEN_1D3C&DEV_0207&CC_0680", korp.c_str(),
                                                    INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST)) << "the INF has no model for the adapter";
    sim::machine().account = "user";
    sim::setProcessAccount("user");
    std::string korpa = infPath("KORPA.INF");
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "PCI\\VEN_1D3C&DEV_0207&CC_0680", korpa.c_str(),
                                                    INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    sim::setProcessAccount("administrator");
}

}  // namespace
