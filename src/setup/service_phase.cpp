#include "setup/service_phase.h"

#include <cstdio>

#include "setup/run_state.h"

SERVICE_STATUS_HANDLE serviceStatusHandle;

void reportServiceError(const char* text) {
    DWORD error = GetLastError();
    HANDLE source = RegisterEventSourceA(nullptr, SETUP_SERVICE_NAME);
    char first[256];
    std::snprintf(first, sizeof first, "%s error: %d", SETUP_SERVICE_NAME, static_cast<int>(error));
    if (!source) return;
    LPCSTR strings[2] = {first, text};
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
}

void WINAPI serviceControlHandler(DWORD control) { (void)control; }
int installSecondPhase() { return 2; }

void WINAPI serviceMain(DWORD argc, LPSTR* argv) {
    (void)argc;
    (void)argv;
    serviceStatusHandle = RegisterServiceCtrlHandlerA(SETUP_SERVICE_NAME, serviceControlHandler);
    if (!serviceStatusHandle) return;
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    if (!SetServiceStatus(serviceStatusHandle, &status)) reportServiceError("SetServiceStatus");
}
