// Call-level checks of Wine's answers, made as Wine's own conformance tests
// make them: each call with its result and the last error it left after a
// sentinel, one line a call (scenarios/conformance.py compares them). And the
// service "korpaearly", which reports stopped before it goes on working.
#include "prefixtool.h"

#include <cstdio>
#include <utility>

namespace {

const DWORD Sentinel = 0xDEADBEEF;

// One line of a conformance check: what was called, its result and the last
// error it left (0xdeadbeef when it left the one set before the call).
void check(const char* what, long result) {
    std::printf("%s %ld 0x%lx\n", what, result, static_cast<unsigned long>(GetLastError()));
}

SC_HANDLE createDemandService(SC_HANDLE manager, const std::string& name, const std::string& display) {
    return CreateServiceA(manager, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\windows\\system32\\notepad.exe", nullptr,
                          nullptr, nullptr, nullptr, nullptr);
}

// The service "korpaearly" (this program started by the service control
// manager with "serve-early-stop"): it reports stopped first and only then
// goes on working; main returns as soon as the dispatcher does. Each step
// leaves a file in C:\ behind.
SERVICE_STATUS_HANDLE earlyStatus;

void markStep(const char* path) {
    if (FILE* f = std::fopen(path, "w")) std::fclose(f);
}

void WINAPI ignoreControls(DWORD) {}

// The file that the scenario writes once StartServiceA has returned. Wine's
// manager reads the service's state some time after its status changes, and
// answers StartServiceA with 1053 when it finds the service stopped already.
const char* const StartReturned = "C:\\korpaearly-go";

void waitForTheStarter() {
    const DWORD Limit = 30000, Poll = 50;
    for (DWORD waited = 0; waited < Limit; waited += Poll) {
        if (GetFileAttributesA(StartReturned) != INVALID_FILE_ATTRIBUTES) return;
        Sleep(Poll);
    }
}

void WINAPI stopsEarly(DWORD, LPSTR*) {
    const DWORD WorkAfterTheStop = 1500;
    earlyStatus = RegisterServiceCtrlHandlerA("korpaearly", ignoreControls);
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    SetServiceStatus(earlyStatus, &status);
    waitForTheStarter();
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(earlyStatus, &status);
    Sleep(WorkAfterTheStop);
    markStep("C:\\korpaearly-after-stop");
}

}  // namespace

// service-database <name>: a service whose key is deleted with the registry
// functions, and what the service control manager then answers for it.
int serviceDatabase(const Args& a) {
    if (a.size() != 1) return fail("usage");
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return fail("OpenSCManagerA");
    ServiceHandle service(createDemandService(manager.get(), a[0], a[0] + " display"));
    if (!service) return fail("CreateServiceA");
    service.reset();
    SetLastError(Sentinel);
    check("RegDeleteKeyA", RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("SYSTEM\\CurrentControlSet\\Services\\" + a[0]).c_str()));
    SetLastError(Sentinel);
    service.reset(OpenServiceA(manager.get(), a[0].c_str(), SERVICE_ALL_ACCESS));
    check("OpenServiceA", static_cast<bool>(service));
    const std::pair<std::string, std::string> creations[] = {{a[0], "another display"},
                                                             {a[0] + "2", a[0] + " display"}};
    for (const auto& [name, display] : creations) {
        SetLastError(Sentinel);
        ServiceHandle created(createDemandService(manager.get(), name, display));
        check(name == a[0] ? "CreateServiceA-same-name" : "CreateServiceA-same-display", static_cast<bool>(created));
        if (created) DeleteService(created.get());
    }
    if (service) {
        SetLastError(Sentinel);
        check("DeleteService", DeleteService(service.get()));
        service.reset();
    }
    SetLastError(Sentinel);
    service.reset(OpenServiceA(manager.get(), a[0].c_str(), SERVICE_ALL_ACCESS));
    check("OpenServiceA-after-close", static_cast<bool>(service));
    return 0;
}

// last-errors: the last error that a failing registry call and successful
// Setup API calls leave.
int lastErrors(const Args&) {
    RegistryKey key;
    SetLastError(Sentinel);
    check("RegOpenKeyExA-missing", openRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\KorpaMissing", KEY_READ, key));
    SetLastError(Sentinel);
    DeviceSet set(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    check("SetupDiGetClassDevsA", static_cast<bool>(set));
    if (!set) return 1;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    SetLastError(Sentinel);
    check("SetupDiEnumDeviceInfo", SetupDiEnumDeviceInfo(set.get(), 0, &info));
    SetLastError(Sentinel);
    check("SetupDiDestroyDeviceInfoList", SetupDiDestroyDeviceInfoList(set.release()));
    return 0;
}

int serveEarlyStop() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("korpaearly"), stopsEarly}, {nullptr, nullptr}};
    markStep(StartServiceCtrlDispatcherA(table) ? "C:\\korpaearly-returned" : "C:\\korpaearly-failed");
    return 0;
}
