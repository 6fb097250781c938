// Scheduling of the second phase: the one-shot service "mpsetup" or the
// RunOnce value that runs the staged installer again.
#include "setup/second_phase.h"

#include <cstdio>
#include <cstring>

#include "base/run_directories.h"
#include "platform/owned.h"
#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "setup/run_state.h"

namespace {

const char RunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// The staged installer, from a fresh query of the system directory,
// followed by suffix. False when the system directory cannot be read or the
// text does not fit the buffer: a cut command would start nothing, or
// something else.
bool buildSecondPhaseCommand(char (&command)[PathBufferSize], const char* suffix) {
    char system[PathBufferSize];
    UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system) return false;
    return fitsBuffer(std::snprintf(command, sizeof command, "%s%s%sSETUP.EXE%s", system, StagingTreeBelowSystem,
                                    ProgramFolder, suffix),
                      sizeof command);
}

}  // namespace

Result createSecondPhaseService() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    DWORD managerError = manager ? ERROR_SUCCESS : GetLastError();
    char programPath[PathBufferSize];
    bool pathBuilt = buildSecondPhaseCommand(programPath, "");
    if (!manager) return Result::failure("OpenSCManagerA", managerError);

    // A service left by an earlier, interrupted installation stays as it is.
    if (ServiceHandle(OpenServiceA(manager.get(), SETUP_SERVICE_NAME, SERVICE_ALL_ACCESS))) return Result::success();
    // The path is not named: it was never written when the query failed.
    if (!pathBuilt) return Result::failure("GetSystemDirectoryA", ERROR_FILENAME_EXCED_RANGE, SETUP_SERVICE_NAME);
    ServiceHandle service(CreateServiceA(manager.get(), SETUP_SERVICE_NAME, "QRV Varnock Installation",
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         SERVICE_ERROR_NORMAL, programPath, nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
    if (!service) return Result::failure("CreateServiceA", GetLastError(), SETUP_SERVICE_NAME);
    return Result::success();
}

Result setSecondPhaseRunOnce() {
    char command[PathBufferSize];
    // A command that does not fit is not written at all.
    if (!buildSecondPhaseCommand(command, " -R"))
        return Result::failure("GetSystemDirectoryA", ERROR_FILENAME_EXCED_RANGE, RunOnceKey);
    HKEY created;
    DWORD disposition;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &created, &disposition);
    if (rc != ERROR_SUCCESS) return Result::failure("RegCreateKeyExA", rc, RunOnceKey);
    RegistryKey key(created);
    rc = RegSetValueExA(key.get(), "Setup", 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                        static_cast<DWORD>(std::strlen(command) + 1));
    if (rc != ERROR_SUCCESS) return Result::failure("RegSetValueExA", rc, RunOnceKey);
    return Result::success();
}
