// The service side of a process that the simulated service control manager
// started: the control dispatcher, the handler registration and the status
// reports.
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/win_services.h"
#include "runtime.h"

using namespace sim;

#ifndef ERROR_SERVICE_NOT_IN_EXE
#define ERROR_SERVICE_NOT_IN_EXE 1083L
#endif

namespace {
struct ServiceProcess {
    std::string name;                  // the service this process was started as
    LPHANDLER_FUNCTION handler = nullptr;
};
ServiceProcess& self() {
    static ServiceProcess s;
    return s;
}
}  // namespace

BOOL WINAPI StartServiceCtrlDispatcherA(CONST SERVICE_TABLE_ENTRYA* table) {
    LPSERVICE_MAIN_FUNCTIONA main = nullptr;
    std::string started;
    {
        // The call's record and lock end here: the service's own calls run
        // on another thread while the dispatcher waits.
        Call c("StartServiceCtrlDispatcherA", {table && table->lpServiceName ? arg(table->lpServiceName) : "null"});
        if (c.injected()) return FALSE;
        const char* env = std::getenv("WINSIM_SERVICE");
        if (!env || !*env) {
            // Not started by the service control manager.
            SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
            return FALSE;
        }
        if (!table) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        for (const SERVICE_TABLE_ENTRYA* e = table; e->lpServiceName; ++e)
            if (equalNoCase(e->lpServiceName, env)) main = e->lpServiceProc;
        if (!main) {
            SetLastError(ERROR_SERVICE_NOT_IN_EXE);
            return FALSE;
        }
        started = env;
        self().name = started;
        setProcessAccount("system");
    }
    std::thread worker([main, started]() {
        std::vector<char> name(started.begin(), started.end());
        name.push_back('\0');
        char* argv[] = {name.data(), nullptr};
        main(1, argv);
    });
    worker.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler) {
    Call c("RegisterServiceCtrlHandlerA", {arg(name)});
    if (c.injected()) return nullptr;
    if (self().name.empty() || !name || !equalNoCase(name, self().name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    self().handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(newHandle(HandleKind::ServiceStatus, self().name));
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE h, LPSERVICE_STATUS status) {
    Call c("SetServiceStatus", {arg(static_cast<const void*>(h)),
                                status ? "state=" + arg(status->dwCurrentState) : "null",
                                status ? "type=" + argHex(status->dwServiceType) : "",
                                status ? "accepted=" + arg(status->dwControlsAccepted) : "",
                                status ? "exit=" + arg(status->dwWin32ExitCode) : ""});
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::ServiceStatus);
    if (!r) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ServiceRuntime& rt = machine().services[r->name];
    rt.state = status->dwCurrentState;
    rt.reported.push_back(status->dwCurrentState);
    commit();
    return TRUE;
}
