// The simulated service control manager and the service side of a process
// it started: services made, marked and removed with their last handle, the
// manager's own database against keys changed with the registry functions,
// the dispatcher that ends the process once its service has stopped, and
// the lines of the control channel. Each call is checked for its result and
// its last error, as Windows answers them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "sim/services/control_channel.h"
#include "sim_test.h"

using simtest::MachineTest;
using simtest::Sentinel;

namespace {

const char* const ServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

class SimServicesManager : public MachineTest {};

TEST_F(SimServicesManager, CreatedServiceLivesInTheRegistryAndGoesWhenItsLastHandleCloses) {
    SC_HANDLE mgr = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(mgr, nullptr);
    SC_HANDLE svc = CreateServiceA(mgr, "demo", "Demo", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, "C:\\demo.exe", nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
    ASSERT_NE(svc, nullptr);
    sim::RegKey* key = sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\demo");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values["ImagePath"].data, sim::regSz("C:\\demo.exe"));
    SetLastError(Sentinel);
    EXPECT_EQ(CreateServiceA(mgr, "demo", "Demo", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                             SERVICE_ERROR_NORMAL, "C:\\demo.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));

    SC_HANDLE second = OpenServiceA(mgr, "demo", SERVICE_ALL_ACCESS);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(DeleteService(svc));
    SetLastError(Sentinel);
    EXPECT_FALSE(DeleteService(second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    CloseServiceHandle(svc);
    EXPECT_NE(sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\demo"), nullptr)
        << "a handle is still open";
    CloseServiceHandle(second);
    EXPECT_EQ(sim::findKey(sim::machine(), "SYSTEM\\CurrentControlSet\\Services\\demo"), nullptr);
    SetLastError(Sentinel);
    EXPECT_EQ(OpenServiceA(mgr, "demo", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    CloseServiceHandle(mgr);
}

TEST_F(SimServicesManager, DispatcherOutsideAServiceStartFailsWith1063) {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("x"), nullptr}, {nullptr, nullptr}};
    SetLastError(Sentinel);
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

class SimServicesDatabase : public MachineTest {
protected:
    SC_HANDLE manager = nullptr;
    void SetUp() override {
        sim::Machine m = simtest::machineWith();
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

TEST_F(SimServicesDatabase, KeyDeletedWithTheRegistryFunctionsStaysAServiceUntilTheNextStart) {
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

TEST_F(SimServicesDatabase, KeyWrittenWithTheRegistryFunctionsIsAServiceOnlyAfterTheNextStart) {
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

TEST_F(SimServicesDatabase, DisplayNameOfAnotherServiceIsRefused) {
    for (const char* display : {"old service", "OLD"}) {
        SetLastError(Sentinel);
        EXPECT_EQ(create("second", display), nullptr) << display;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME)) << display;
    }
    SC_HANDLE service = create("second", "Second Service");
    EXPECT_NE(service, nullptr);
    CloseServiceHandle(service);
}

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

class SimServicesDispatcher : public MachineTest {
protected:
    void TearDown() override {
        ::unsetenv("WINSIM_SERVICE");
        MachineTest::TearDown();
    }
};

TEST_F(SimServicesDispatcher, ReturnsOnceTheServiceReportedStoppedAndItsThreadIsCutOff) {
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

TEST(SimServicesControlChannel, Lines) {
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
