// Where the installer depends on Windows 2000 refusing something, the
// simulated machine refuses it too: the service dispatcher that ends the
// process once its service has stopped, the service control manager's own
// database, a plain user's rights, and the last error of registry and Setup
// API calls. Each call is checked for its result and its last error.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>

#include "sim/setupapi/device_sets.h"
#include "platform/win_files.h"
#include "sim/services/services.h"
#include "test_support.h"

namespace fs = std::filesystem;
using testsupport::MachineTest;

namespace {

const char* const ServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

// ---- the service control dispatcher ------------------------------------------

SERVICE_STATUS_HANDLE earlyStatus;

void WINAPI ignoreControls(DWORD) {}

// A service that reports stopped first and only then goes on working.
void WINAPI stopsEarly(DWORD, LPSTR*) {
    earlyStatus = RegisterServiceCtrlHandlerA("early", ignoreControls);
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(earlyStatus, &status);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\AfterTheStop", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

class Dispatcher : public MachineTest {
protected:
    void TearDown() override {
        ::unsetenv("WINSIM_SERVICE");
        MachineTest::TearDown();
    }
};

TEST_F(Dispatcher, ReturnsOnceTheServiceReportedStoppedAndItsThreadIsCutOff) {
    ::setenv("WINSIM_SERVICE", "early", 1);
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("early"), stopsEarly}, {nullptr, nullptr}};
    EXPECT_TRUE(StartServiceCtrlDispatcherA(table));
    // The process ends when main returns: ServiceMain's thread never makes
    // its next call, however long it is given.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim::findKey(sim::machine(), "SOFTWARE\\AfterTheStop"), nullptr);
    EXPECT_TRUE(sim::callsOf("RegCreateKeyExA").empty());
    ASSERT_EQ(sim::callsOf("SetServiceStatus").size(), 1u);
    EXPECT_EQ(sim::callsOf("SetServiceStatus")[0].args[1], "state=1");
}

// ---- the service control manager's database --------------------------------

class ServiceDatabase : public MachineTest {
protected:
    SC_HANDLE manager = nullptr;
    void SetUp() override {
        sim::Machine m = testsupport::machineWith();
        sim::RegKey& k = sim::ensureKey(m, std::string(ServicesKey) + "old");
        k.values["Type"] = sim::RegValue{REG_DWORD, sim::regDword(SERVICE_WIN32_OWN_PROCESS)};
        k.values["DisplayName"] = sim::RegValue{REG_SZ, sim::regSz("Old Service")};
        start(m);
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
    }
    void TearDown() override {
        CloseServiceHandle(manager);
        MachineTest::TearDown();
    }
    SC_HANDLE create(const char* name, const char* display) {
        return CreateServiceA(manager, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\x.exe", nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    }
};

TEST_F(ServiceDatabase, KeyDeletedWithTheRegistryFunctionsStaysAServiceUntilTheNextStart) {
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\old"), ERROR_SUCCESS);

    SetLastError(Sentinel);
    SC_HANDLE service = OpenServiceA(manager, "old", SERVICE_ALL_ACCESS);
    EXPECT_NE(service, nullptr);
    EXPECT_EQ(GetLastError(), Sentinel);

    SetLastError(Sentinel);
    EXPECT_EQ(create("old", "Another"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));

    // Marked for deletion as Wine's manager marks it; it goes with its last
    // handle.
    SetLastError(Sentinel);
    EXPECT_TRUE(DeleteService(service));
    EXPECT_EQ(GetLastError(), Sentinel);
    CloseServiceHandle(service);
    SetLastError(Sentinel);
    EXPECT_EQ(OpenServiceA(manager, "old", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ServiceDatabase, KeyWrittenWithTheRegistryFunctionsIsAServiceOnlyAfterTheNextStart) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\new", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    ASSERT_EQ(RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type),
              ERROR_SUCCESS);
    RegCloseKey(key);
    SetLastError(Sentinel);
    EXPECT_EQ(OpenServiceA(manager, "new", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    sim::loadServiceDatabase(sim::machine());  // the next start
    SC_HANDLE service = OpenServiceA(manager, "new", SERVICE_QUERY_STATUS);
    EXPECT_NE(service, nullptr);
    CloseServiceHandle(service);
}

TEST_F(ServiceDatabase, DisplayNameOfAnotherServiceIsRefused) {
    for (const char* display : {"old service", "OLD"}) {
        SetLastError(Sentinel);
        EXPECT_EQ(create("second", display), nullptr) << display;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME)) << display;
    }
    SC_HANDLE service = create("second", "Second Service");
    EXPECT_NE(service, nullptr);
    CloseServiceHandle(service);
}

// ---- a plain user's rights ---------------------------------------------------

class PlainUser : public MachineTest {
protected:
    fs::path drive;
    void SetUp() override {
        drive = fs::temp_directory_path() / ("korpa-plain-user-" + std::to_string(::getpid()));
        fs::remove_all(drive);
        fs::create_directories(drive / "WINNT/system32/drivers");
        fs::create_directories(drive / "WINNT/Temp");
        std::ofstream(drive / "WINNT/system32/drivers/old.sys") << "driver";
        std::ofstream(drive / "source.txt") << "file";
        sim::Machine m = testsupport::machineWith({testsupport::deviceWithIds("ROOT\\SYSTEM\\0000", {"*X"})});
        m.drives["C"] = drive.string();
        m.account = "user";
        start(m);
    }
    void TearDown() override {
        MachineTest::TearDown();
        fs::remove_all(drive);
    }
};

TEST_F(PlainUser, CannotCreateRegisterOrRemoveDevices) {
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

TEST_F(PlainUser, ReadsButCannotChangeTheSystemDirectory) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\WINNT\\system32\\drivers\\old.sys", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);

    const struct {
        const char* what;
        BOOL (*change)();
    } refused[] = {
        {"create a folder", [] { return CreateDirectoryA("C:\\WINNT\\system32\\drivers\\korpa", nullptr); }},
        {"copy in", [] { return CopyFileA("C:\\source.txt", "C:\\WINNT\\system32\\drivers\\new.sys", FALSE); }},
        {"copy over", [] { return CopyFileA("C:\\source.txt", "C:\\WINNT\\system32\\drivers\\old.sys", FALSE); }},
        {"delete", [] { return DeleteFileA("C:\\WINNT\\system32\\drivers\\old.sys"); }},
        {"set attributes", [] { return SetFileAttributesA("C:\\WINNT\\system32\\drivers\\old.sys", FILE_ATTRIBUTE_NORMAL); }},
        {"create in the Windows folder", [] { return CreateDirectoryA("C:\\WINNT\\new", nullptr); }},
    };
    for (const auto& r : refused) {
        SetLastError(Sentinel);
        EXPECT_FALSE(r.change()) << r.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << r.what;
    }
    // What is not there is still not found; the Temp folder is everybody's.
    SetLastError(Sentinel);
    EXPECT_FALSE(DeleteFileA("C:\\WINNT\\system32\\drivers\\qrvmpw.sys"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(CopyFileA("C:\\source.txt", "C:\\WINNT\\Temp\\copy.txt", FALSE));
    EXPECT_TRUE(fs::exists(drive / "WINNT/system32/drivers/old.sys"));
    EXPECT_FALSE(fs::exists(drive / "WINNT/system32/drivers/korpa"));
}

TEST_F(PlainUser, ReadsButCannotChangeTheKeysTheInstallerWrites) {
    HKEY key;
    SetLastError(Sentinel);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Beep", 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\mpsetup", 0, nullptr, 0,
                              KEY_READ, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Beep"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), Sentinel) << "the registry functions leave the last error alone";

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Beep", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                             sizeof one),
              ERROR_ACCESS_DENIED);
    EXPECT_NE(sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\Beep"), nullptr);
}

// ---- last errors -------------------------------------------------------------

class LastError : public MachineTest {};

TEST_F(LastError, InjectedRegistryFailureIsTheResultAndLeavesTheLastErrorAlone) {
    sim::failCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED);
    HKEY key;
    SetLastError(Sentinel);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), Sentinel);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), Sentinel);
    sim::failCall("RegGetKeySecurity", 1, ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(HKEY_LOCAL_MACHINE, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLastError(), Sentinel);
}

TEST_F(LastError, SuccessfulSetupApiCallsClearIt) {
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
