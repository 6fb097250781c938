// Scheduling of the second phase: the one-shot service "mpsetup" or the
// RunOnce value that runs the staged installer again.
#include "setup/second_phase.h"

#include <cstdio>
#include <cstring>

#include "base/path_buffer.h"
#include "messages/messages.h"
#include "platform/owned.h"
#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "setup/run_state.h"

namespace {

const char RunOnceKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// The staged installer, from a fresh query of the system directory,
// followed by suffix. Returns 0 when the system directory cannot be read or
// the text does not fit the buffer.
int buildSecondPhaseCommand(char (&command)[PathBufferSize], const char* suffix) {
    char system[PathBufferSize];
    UINT length = GetSystemDirectoryA(system, sizeof system);
    if (length == 0 || length >= sizeof system) return 0;
    int written = std::snprintf(command, sizeof command, "%s\\drivers\\korpa\\win2000\\SETUP.EXE%s", system, suffix);
    return written > 0 && static_cast<size_t>(written) < sizeof command;
}

}  // namespace

int createSecondPhaseService() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    char programPath[PathBufferSize];
    int pathBuilt = buildSecondPhaseCommand(programPath, "");
    if (!manager) return 0;

    // A service left by an earlier, interrupted installation stays as it is.
    if (ServiceHandle(OpenServiceA(manager.get(), SETUP_SERVICE_NAME, SERVICE_ALL_ACCESS))) return 1;
    if (!pathBuilt) return 0;
    ServiceHandle service(CreateServiceA(manager.get(), SETUP_SERVICE_NAME, "QRV Varnock Installation",
                                         SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         SERVICE_ERROR_NORMAL, programPath, nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
    return service ? 1 : 0;
}

int setSecondPhaseRunOnce() {
    char command[PathBufferSize];
    // A command that does not fit is not written at all.
    if (!buildSecondPhaseCommand(command, " -R")) {
        printMessage(MsgRegistryWriteError);
        return 122;
    }
    HKEY created;
    DWORD disposition;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunOnceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &created, &disposition) != ERROR_SUCCESS) {
        printMessage(MsgRegistryWriteError);
        return 122;
    }
    LONG rc;
    {
        RegistryKey key(created);
        rc = RegSetValueExA(key.get(), "Setup", 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                            static_cast<DWORD>(std::strlen(command) + 1));
    }
    if (rc != ERROR_SUCCESS) {
        printMessage(MsgRegistryWriteError);
        return 122;
    }
    return 0;
}
