// The second phase, run as the one-shot service "mpsetup" after a restart:
// report running, install from the staging tree, delete the service, ask
// for the restart that the installation needs, report stopped.
#include "setup/service_phase.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "devices/device_table.h"
#include "devices/install_plan.h"
#include "messages/messages.h"
#include "messages/trace.h"
#include "platform/owned.h"
#include "setup/system_directory.h"

namespace {

// What serviceMain shares with the control handler, which the dispatcher
// calls on its own thread. The status handle is written once by serviceMain,
// before its first report; controls reach the handler only after that
// report, so the handler reads it without a lock.
SERVICE_STATUS_HANDLE serviceStatusHandle;

// Room for the first string of an event entry.
const size_t EventTextSize = 256;

// The final stopped report is tried at most this many times: without a
// status handle (the registration failed) it can never succeed, and the
// phase must still end.
const int StoppedReportAttempts = 3;

// The wait hint of every stop-pending report, in milliseconds: the longest
// single step of the installation, one binding or the processor service
// program's install run.
const DWORD StopStepWaitHint = 120000;

// 0 until a stop is asked for; then the check point of the latest
// stop-pending report. The handler sets it to 1 once; after that only
// serviceMain's thread advances it, one step of the installation at a time.
// The installation runs on to its end all the same (reporting stopped before
// would end the process while drivers are being bound); until then the
// service answers stop pending, and a controller waiting for the stop sees
// the check point advance.
std::atomic<DWORD> stopCheckPoint{0};

// One status report; a failed one goes to the event log. A stop-pending
// report carries its check point and the wait hint of one step; a final
// stopped report of a failed phase carries the phase's exit code.
bool reportServiceState(DWORD state, DWORD checkPoint = 0, ExitCode phaseExitCode = ExitComplete) {
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    if (state == SERVICE_STOP_PENDING) {
        status.dwCheckPoint = checkPoint;
        status.dwWaitHint = StopStepWaitHint;
    }
    if (phaseExitCode != ExitComplete) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(phaseExitCode);
    }
    if (SetServiceStatus(serviceStatusHandle, &status)) return true;
    reportServiceError("SetServiceStatus");
    return false;
}

// Between two steps of the phase, once a stop was asked for: stop pending
// with the next check point, its hint covering the step that follows.
void reportStopProgress() {
    if (stopCheckPoint.load() == 0) return;
    reportServiceState(SERVICE_STOP_PENDING, ++stopCheckPoint);
}

void reportStopped(ExitCode phaseExitCode) {
    for (int attempt = 0; attempt < StoppedReportAttempts; ++attempt)
        if (reportServiceState(SERVICE_STOPPED, 0, phaseExitCode)) return;
}

// One entry under the source "mpsetup": two strings, no category, event
// identifier, user or data.
void writeServiceEvent(WORD type, const char* first, const char* second) {
    HANDLE source = RegisterEventSourceA(nullptr, SETUP_SERVICE_NAME);
    if (!source) return;
    LPCSTR strings[2] = {first, second};
    ReportEventA(source, type, 0, 0, nullptr, 2, 0, strings, nullptr);
    DeregisterEventSource(source);
}

// The phase runs at boot with no console: its outcome goes to the event log,
// an error entry when the installation failed, an information entry
// otherwise, in the form of the error entries.
void reportPhaseOutcome(ExitCode phaseExitCode) {
    char first[EventTextSize];
    std::snprintf(first, sizeof first, "%s exit code: %d", SETUP_SERVICE_NAME, static_cast<int>(phaseExitCode));
    bool failed = phaseExitCode == ExitFailed;
    writeServiceEvent(failed ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, first, outcomeEventText(phaseExitCode));
}

// Enables the shutdown privilege and asks Windows to restart. True when the
// restart was asked for.
bool requestRestart() {
    HANDLE opened = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &opened)) return false;
    KernelHandle token(opened);
    TOKEN_PRIVILEGES privileges;
    std::memset(&privileges, 0, sizeof privileges);
    if (!LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) return false;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // The call succeeds even when the account does not hold the privilege;
    // only the last error tells that it was not enabled.
    BOOL adjusted = AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    if (!adjusted || GetLastError() != ERROR_SUCCESS) return false;
    return ExitWindowsEx(EWX_REBOOT, 0) != FALSE;
}

// Deletes the service so that the phase never runs again, and asks for the
// restart only when the deletion succeeded and the installation wants one.
void removeSetupService(bool restartWish) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    ServiceHandle service(OpenServiceA(manager.get(), SETUP_SERVICE_NAME, SERVICE_ALL_ACCESS));
    if (!service) return;
    if (DeleteService(service.get()) && restartWish) requestRestart();
}

// The phase's installation; its exit code is printed by installSecondPhase.
ExitCode runSecondPhaseSteps(RunState& run, PlanStepHook beforeStep) {
    if (!traceFailure(fetchSystemDirectory(run.directories)).ok()) return ExitFailed;

    Result scan = detectKnownDevices(run.detection);
    if (!scan.ok() || !anyKnownDevicePresent(run.detection)) {
        // A whole scan ends with ERROR_NO_MORE_ITEMS.
        traceFailure(Result::failure("SetupDiEnumDeviceInfo", scan.ok() ? ERROR_NO_MORE_ITEMS : scan.error(),
                                     "no known device present"));
        return ExitFailed;
    }
    BindingOutcome bound = bindPresentDevices(run.messages, run.detection, run.directories, beforeStep);
    if (bound.failed) return ExitFailed;
    return bound.restartRequired ? ExitRestartNeeded : ExitComplete;
}

// Runs on the dispatcher's thread while serviceMain works: it only reports
// the state and never interrupts the installation. A stop is answered with
// stop pending at check point 1, any later control with the current check
// point; serviceMain advances it and reports stopped once the installation
// is over.
void WINAPI serviceControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        DWORD none = 0;
        stopCheckPoint.compare_exchange_strong(none, 1);
    }
    // A report of serviceMain's with a later check point may land before
    // this one: the later check point is then reported again, so that the
    // last report never goes back.
    for (;;) {
        DWORD checkPoint = stopCheckPoint.load();
        reportServiceState(checkPoint ? SERVICE_STOP_PENDING : SERVICE_RUNNING, checkPoint);
        if (stopCheckPoint.load() == checkPoint) return;
    }
}

}  // namespace

ExitCode installSecondPhase(RunState& run, PlanStepHook beforeStep) {
    run = RunState{};
    run.quietMode = true;
    ExitCode exitCode = runSecondPhaseSteps(run, beforeStep);
    printFinalText(run.messages, exitCode);
    return exitCode;
}

void reportServiceError(const char* text) {
    DWORD error = GetLastError();
    char first[EventTextSize];
    std::snprintf(first, sizeof first, "%s error: %d", SETUP_SERVICE_NAME, static_cast<int>(error));
    writeServiceEvent(EVENTLOG_ERROR_TYPE, first, text);
}

void WINAPI serviceMain(DWORD argc, LPSTR* argv) {
    (void)argc;
    (void)argv;
    ExitCode phaseExitCode = ExitComplete;
    stopCheckPoint = 0;
    serviceStatusHandle = RegisterServiceCtrlHandlerA(SETUP_SERVICE_NAME, serviceControlHandler);
    if (serviceStatusHandle && reportServiceState(SERVICE_RUNNING)) {
        RunState run = {};
        phaseExitCode = installSecondPhase(run, reportStopProgress);
        reportStopProgress();  // the event entry, the deletion and the restart request follow
        reportPhaseOutcome(phaseExitCode);
        removeSetupService(phaseExitCode == ExitRestartNeeded);
    }
    // Last of all: once stopped is reported the process may end at once.
    reportStopped(phaseExitCode == ExitFailed ? ExitFailed : ExitComplete);
}
