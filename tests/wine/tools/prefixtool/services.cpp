// Services: what the service control manager knows, services created,
// queried, started, stopped and deleted through it, and waits for a
// service's state.
#include "prefixtool.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The room for one service's configuration, and for one batch of the
// enumeration of services.
const DWORD ServiceConfigSize = 8192;
const DWORD ServiceListSize = 65536;
// How many times, and how often, a wait asks for a service's state.
const int WaitSteps = 100;
const DWORD WaitStepMilliseconds = 100;

// Opens a service and makes one call on it: the call's failure (where) is
// the command's.
template <typename Call>
int onService(const std::string& name, DWORD access, Call call, const char* where) {
    ServiceHandle manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    ServiceHandle service(OpenServiceA(manager.get(), name.c_str(), access));
    if (!service) return fail("OpenServiceA");
    return call(service.get()) ? 0 : fail(where);
}

// Prints an open service's configuration and state as one line:
// "type=0x10 start=2 state=1 image=... display=...".
int printService(SC_HANDLE service) {
    union {
        QUERY_SERVICE_CONFIGA config;
        char bytes[ServiceConfigSize];
    } buffer;
    DWORD needed = 0;
    SERVICE_STATUS status;
    if (!QueryServiceConfigA(service, &buffer.config, sizeof buffer, &needed)) return fail("QueryServiceConfigA");
    if (!QueryServiceStatus(service, &status)) return fail("QueryServiceStatus");
    std::printf("type=0x%lx start=%lu state=%lu image=%s display=%s\n",
                static_cast<unsigned long>(buffer.config.dwServiceType),
                static_cast<unsigned long>(buffer.config.dwStartType),
                static_cast<unsigned long>(status.dwCurrentState), buffer.config.lpBinaryPathName,
                buffer.config.lpDisplayName);
    return 0;
}

// The names of the registered services (drivers too) that contain one of the
// words, letter case not counting.
bool matchingServices(SC_HANDLE manager, const Args& words, std::vector<std::string>& names) {
    union {
        ENUM_SERVICE_STATUSA entries[1];
        char bytes[ServiceListSize];
    } buffer;
    DWORD resume = 0;
    for (;;) {
        DWORD needed = 0, count = 0;
        BOOL done = EnumServicesStatusA(manager, SERVICE_WIN32 | SERVICE_DRIVER, SERVICE_STATE_ALL, buffer.entries,
                                        sizeof buffer, &needed, &count, &resume);
        if (!done && GetLastError() != ERROR_MORE_DATA) return false;
        for (DWORD i = 0; i < count; ++i)
            if (containsAny(buffer.entries[i].lpServiceName, words)) names.push_back(buffer.entries[i].lpServiceName);
        if (done || count == 0) return true;
    }
}

// Whether the service manager still knows a service (one marked for deletion
// included, whose name a new service cannot take yet).
bool serviceRegistered(SC_HANDLE manager, const std::string& name) {
    ServiceHandle service(OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS));
    return service || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
}

// A deadline in GetTickCount's milliseconds, seconds from now, and how many
// milliseconds are left until it (below 0 once it has passed).
DWORD deadlineIn(const std::string& seconds) {
    return GetTickCount() + 1000 * std::strtoul(seconds.c_str(), nullptr, 10);
}

LONG timeLeft(DWORD deadline) {
    return static_cast<LONG>(deadline - GetTickCount());
}

}  // namespace

ServiceHandle openManager(DWORD access) {
    for (int attempt = 0;; ++attempt) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
        DWORD error = GetLastError();
        if (manager || attempt == 50 || (error != RPC_S_SERVER_UNAVAILABLE && error != RPC_S_SERVER_TOO_BUSY))
            return ServiceHandle(manager);
        Sleep(200);
    }
}

// service-create <name> <type> <start> <image path> <display name>
int serviceCreate(const Args& a) {
    if (a.size() != 5) return fail("usage");
    ServiceHandle manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    ServiceHandle service(CreateServiceA(manager.get(), a[0].c_str(), a[4].c_str(), SERVICE_ALL_ACCESS,
                                         std::strtoul(a[1].c_str(), nullptr, 0), std::strtoul(a[2].c_str(), nullptr, 0),
                                         SERVICE_ERROR_NORMAL, a[3].c_str(), nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
    return service ? 0 : fail("CreateServiceA");
}

// service-query <name>: "missing", or the service's line (printService).
int serviceQuery(const Args& a) {
    if (a.size() != 1) return fail("usage");
    ServiceHandle manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    ServiceHandle service(OpenServiceA(manager.get(), a[0].c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (service) return printService(service.get());
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) return fail("OpenServiceA");
    std::printf("missing\n");
    return 0;
}

// services <word>...: "name line" (printService) for every registered
// service whose name contains one of the words.
int services(const Args& a) {
    ServiceHandle manager = openManager(SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerA");
    std::vector<std::string> names;
    int rc = matchingServices(manager.get(), a, names) ? 0 : fail("EnumServicesStatusA");
    for (const std::string& name : names) {
        ServiceHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
        if (!service) {
            rc = fail("OpenServiceA");
            continue;
        }
        std::printf("%s ", name.c_str());
        if (printService(service.get()) != 0) rc = 1;
    }
    return rc;
}

// services-remove <word>...: stops and deletes every registered service
// whose name contains one of the words and waits (10 s at most) until the
// service manager has let go of each; then deletes the keys under Services
// that match and that no service owns. Prints what it removed.
int servicesRemove(const Args& a) {
    if (a.empty()) return fail("usage");
    std::vector<std::string> names;
    int rc = 0;
    {
        ServiceHandle manager = openManager(SC_MANAGER_ALL_ACCESS);
        if (!manager) return fail("OpenSCManagerA");
        rc = matchingServices(manager.get(), a, names) ? 0 : fail("EnumServicesStatusA");
        for (const std::string& name : names) {
            ServiceHandle service(
                OpenServiceA(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
            if (!service) {
                rc = fail("OpenServiceA");
                continue;
            }
            SERVICE_STATUS status;
            if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
                ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
                for (int wait = 0; wait < WaitSteps && QueryServiceStatus(service.get(), &status) &&
                                   status.dwCurrentState != SERVICE_STOPPED; ++wait)
                    Sleep(WaitStepMilliseconds);
            }
            if (DeleteService(service.get())) std::printf("deleted service %s\n", name.c_str());
            else rc = fail("DeleteService");
        }
        for (const std::string& name : names) {
            for (int wait = 0; wait < WaitSteps && serviceRegistered(manager.get(), name); ++wait)
                Sleep(WaitStepMilliseconds);
            if (serviceRegistered(manager.get(), name)) {
                std::printf("error still-registered %s\n", name.c_str());
                rc = 1;
            }
        }
    }
    RegistryKey servicesKey;
    if (openRegistryKey(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", KEY_ALL_ACCESS, servicesKey) !=
        ERROR_SUCCESS)
        return fail("RegOpenKeyExA");
    for (const std::string& name : subkeyNames(servicesKey.get())) {
        bool owned = false;
        for (const std::string& service : names) owned = owned || lowerCase(service) == lowerCase(name);
        if (owned || !containsAny(name, a)) continue;
        LONG deleted = deleteTree(servicesKey.get(), name);
        if (deleted == ERROR_SUCCESS) std::printf("deleted key %s\n", name.c_str());
        else rc = registryResult(deleted, "deleteTree");
    }
    return rc;
}

// service-delete <name>
int serviceDelete(const Args& a) {
    if (a.size() != 1) return fail("usage");
    return onService(a[0], DELETE, [](SC_HANDLE service) { return DeleteService(service); }, "DeleteService");
}

// service-start <name>
int serviceStart(const Args& a) {
    if (a.size() != 1) return fail("usage");
    return onService(a[0], SERVICE_START, [](SC_HANDLE service) { return StartServiceA(service, 0, nullptr); },
                     "StartServiceA");
}

// service-wait-gone <name> <seconds>: waits until the service is no longer
// registered, keeping the session (and so the service) alive meanwhile.
int serviceWaitGone(const Args& a) {
    if (a.size() != 2) return fail("usage");
    DWORD deadline = deadlineIn(a[1]);
    for (;;) {
        bool gone = false, stopped = false;
        {
            ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
            if (!manager) return fail("OpenSCManagerA");
            ServiceHandle service(OpenServiceA(manager.get(), a[0].c_str(), SERVICE_QUERY_STATUS));
            gone = !service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
            SERVICE_STATUS status;
            stopped = service && QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED;
        }
        if (gone) {
            std::printf("gone\n");
            return 0;
        }
        if (timeLeft(deadline) < 0) {
            std::printf("still registered%s\n", stopped ? " (stopped)" : "");
            return 1;
        }
        Sleep(200);
    }
}

// service-stop-when-running <name> <seconds>: waits until the service
// reports running, sends it a stop through the service control manager and
// prints the status that the service answered:
// "state=<n> checkpoint=<n> wait=<hint>".
int serviceStopWhenRunning(const Args& a) {
    if (a.size() != 2) return fail("usage");
    DWORD deadline = deadlineIn(a[1]);
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail("OpenSCManagerA");
    for (; timeLeft(deadline) > 0; Sleep(10)) {
        ServiceHandle service(OpenServiceA(manager.get(), a[0].c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS));
        SERVICE_STATUS status;
        if (!service || !QueryServiceStatus(service.get(), &status) || status.dwCurrentState != SERVICE_RUNNING)
            continue;
        if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            std::printf("state=%lu checkpoint=%lu wait=%lu\n", static_cast<unsigned long>(status.dwCurrentState),
                        static_cast<unsigned long>(status.dwCheckPoint), static_cast<unsigned long>(status.dwWaitHint));
            return 0;
        }
        fail("ControlService");
    }
    std::printf("never running\n");
    return 1;
}
