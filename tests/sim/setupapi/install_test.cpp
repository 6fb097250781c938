// The simulated Setup API's installation side at its boundary: the setup
// class of an INF with its buffer protocol, devices created with generated
// ids and strict property values, the binding that needs an administrator
// and a model of the INF, a file to copy that is in use, and what a plain
// user may not do. Each call is
// checked for its result and its last error, as Windows answers them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/win_devices.h"
#include "sim/core/names.h"
#include "sim/core/pending_renames.h"
#include "sim/files/next_start.h"
#include "sim/setupapi/device_sets.h"
#include "sim_test.h"

using simtest::MachineTest;
using simtest::Sentinel;

namespace {

// An INF of the media's win2000 folder (drive D:).
std::string infPath(const char* name) { return std::string("D:\\WIN2000\\") + name; }

class SimSetupApiInstall : public MachineTest {};

TEST_F(SimSetupApiInstall, InfClassBufferProtocol) {
    std::string path = infPath("mpw.inf");  // names compare without regard to case
    GUID guid;
    char name[MAX_CLASS_NAME_LEN];
    DWORD required = 0;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetINFClassA(path.c_str(), &guid, name, 3, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 7u);  // "System" and its NUL
    ASSERT_TRUE(SetupDiGetINFClassA(path.c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_STREQ(name, "System");
    EXPECT_EQ(sim::guidText(guid), sim::SystemClassGuid);
    ASSERT_TRUE(SetupDiGetINFClassA(infPath("KORPA.INF").c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_STREQ(name, "MultiFunction");

    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiGetINFClassA(infPath("NONE.INF").c_str(), &guid, name, sizeof name, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SimSetupApiInstall, HardwareIdPropertyMustBeAWellFormedMultiString) {
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
    EXPECT_EQ(sim::findDevice("ROOT\\SYSTEM\\0000"), nullptr);
}

TEST_F(SimSetupApiInstall, GeneratedIdsTakeTheNextFreeNumber) {
    GUID system;
    sim::parseGuid(sim::SystemClassGuid, system);
    HDEVINFO sets[2];
    SP_DEVINFO_DATA records[2];
    for (int i = 0; i < 2; ++i) {
        sets[i] = SetupDiCreateDeviceInfoList(&system, nullptr);
        records[i].cbSize = sizeof records[i];
        ASSERT_TRUE(SetupDiCreateDeviceInfoA(sets[i], "System", &system, nullptr, nullptr, DICD_GENERATE_ID,
                                             &records[i]));
        ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, sets[i], &records[i]));
    }
    EXPECT_NE(sim::findDevice("ROOT\\SYSTEM\\0000"), nullptr);
    EXPECT_NE(sim::findDevice("ROOT\\SYSTEM\\0001"), nullptr);
    for (int i = 0; i < 2; ++i) {
        SetupDiCallClassInstaller(DIF_REMOVE, sets[i], &records[i]);
        SetupDiDestroyDeviceInfoList(sets[i]);
    }
    EXPECT_EQ(sim::findDevice("ROOT\\SYSTEM\\0000"), nullptr) << "a root device that software made goes";
}

TEST_F(SimSetupApiInstall, BindingNeedsAnAdministratorAndAModelForTheDevice) {
    start(simtest::machineWith({sim::newerAdapter()}));
    BOOL reboot = 0;
    std::string korp = infPath("KORP.INF");
    SetLastError(0);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "PCI\\VEN_1D3C&DEV_0207&CC_0680", korp.c_str(),
                                                    INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST)) << "the INF has no model for the adapter";
    sim::setProcessAccount("user");
    std::string korpa = infPath("KORPA.INF");
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "PCI\\VEN_1D3C&DEV_0207&CC_0680", korpa.c_str(),
                                                    INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(SimSetupApiInstall, FileInUseIsWrittenBesideAndReplacedAtTheNextStart) {
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("korpa-sim-in-use-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::path drivers = root / "WINNT/system32/drivers";
    fs::create_directories(drivers);
    std::ofstream(drivers / "QRVMPW.SYS") << "earlier driver";
    auto read = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return in ? ss.str() : std::string("<missing>");
    };
    sim::Machine m = simtest::machineWith({sim::onboardProcessor("*QRV51A1", 1)});
    m.drives["C"] = root.string();
    m.filesInUse = {"C:\\WINNT\\system32\\drivers\\QRVMPW.SYS"};
    start(m);
    std::string media = read(fs::path(BUILD_MEDIA_DIR) / "win2000/QRVMPW.SYS");
    BOOL reboot = FALSE;
    SetLastError(Sentinel);
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "*QRV51A1", infPath("KORP.INF").c_str(),
                                                   INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(reboot);
    EXPECT_TRUE(sim::findDevice("ISAPNP\\QRV51A1\\1")->restartAsked);
    // The earlier driver stays; the new one waits beside it, its library
    // (not in use) is copied at once.
    EXPECT_EQ(read(drivers / "QRVMPW.SYS"), "earlier driver");
    EXPECT_EQ(read(drivers / "SET1.tmp"), media);
    EXPECT_EQ(read(root / "WINNT/system32/QRVMPW.DLL"), read(fs::path(BUILD_MEDIA_DIR) / "win2000/QRVMPW.DLL"));
    std::vector<sim::PendingRename> pending = sim::pendingFileRenames(sim::machine());
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].source, "C:\\WINNT\\system32\\drivers\\SET1.tmp");
    EXPECT_EQ(pending[0].target, "C:\\WINNT\\system32\\drivers\\QRVMPW.SYS");
    EXPECT_TRUE(pending[0].replace);

    // The next start puts the new file in its place and lets go of it.
    sim::carryOutPendingFileRenames();
    EXPECT_EQ(read(drivers / "QRVMPW.SYS"), media);
    EXPECT_FALSE(fs::exists(drivers / "SET1.tmp"));
    EXPECT_TRUE(sim::machine().filesInUse.empty());
    fs::remove_all(root);
}

// A plain user's machine with a device that a binding could change.
class SimSetupApiPlainUser : public MachineTest {
protected:
    void SetUp() override {
        sim::Machine m = simtest::machineWith({simtest::deviceWithIds("ROOT\\SYSTEM\\0000", {"*X"})});
        m.account = "user";
        start(m);
    }
};

TEST_F(SimSetupApiPlainUser, CannotCreateRegisterOrRemoveDevices) {
    GUID system;
    sim::parseGuid("{4D36E97D-E325-11CE-BFC1-08002BE10318}", system);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&system, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set, "System", &system, nullptr, nullptr, DICD_GENERATE_ID, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    SetupDiDestroyDeviceInfoList(set);

    set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    DWORD last = static_cast<DWORD>(sim::machine().devices.size() - 1);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, last, &device));
    SetLastError(Sentinel);
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                   reinterpret_cast<const BYTE*>("*Y\0"), 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    for (DI_FUNCTION function : {DIF_REGISTERDEVICE, DIF_REMOVE}) {
        SetLastError(Sentinel);
        EXPECT_FALSE(SetupDiCallClassInstaller(function, set, &device));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_TRUE(sim::machine().devices.back().present);
}

}  // namespace
