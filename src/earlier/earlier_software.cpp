// Removal of earlier software with its own programs, reinstallation of the
// processor service program, and the probes of the processor service and
// driver.
#include "earlier/earlier_software.h"

#include <cstdio>
#include <cstring>

#include "base/path_buffer.h"
#include "base/text_search.h"
#include "earlier/service_keys.h"
#include "messages/trace.h"
#include "platform/owned.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "programs/family_programs.h"
#include "staging/guarded_copy.h"
#include "staging/staging_tree.h"

namespace {

const char ProcessorDriverKey[] = "SYSTEM\\CurrentControlSet\\Services\\qrvmpw\\";

// Display name markers of the recognised processor driver versions, in the
// order in which they are tested.
const char* const RecognizedVersionMarkers[] = {
    "QRV (Version 9.", "QRV (Version 8.", "QRV (Version 7.",
    "QRV (Version 6.", "QRV (Version 5.", "QRV (Version 4.99",
};

// The files copied from the staging tree into the system directory, in order.
const char* const ProcessorFiles[] = {"QRVMPW.DLL", "QRVMPREM.EXE", "QRVMPSVC.EXE"};

}  // namespace

int removeEarlierSoftware(const RunDirectories& directories, int quiet) {
    const char* systemDir = directories.system;
    if (traceFailure(runSystemProgram(systemDir, "\\qrvrvosv.exe -remove")).ok())
        refreshServicePrograms(directories, quiet);
    int keysDeleted = removeRestartFeatureServiceKeys();
    if (traceFailure(runSystemProgram(systemDir, "\\qrvmpsvc.exe -remove")).ok())
        refreshServicePrograms(directories, quiet);

    char sourceDirectory[PathBufferSize];
    char targetDirectory[PathBufferSize];
    int sourceLength = std::snprintf(sourceDirectory, sizeof sourceDirectory, "%s\\win2000\\", directories.staging);
    int targetLength = std::snprintf(targetDirectory, sizeof targetDirectory, "%s\\", systemDir);
    // The flow keeps the system directory short enough for both; a path
    // that was cut short is never used for a copy.
    if (sourceLength > 0 && static_cast<size_t>(sourceLength) < sizeof sourceDirectory && targetLength > 0 &&
        static_cast<size_t>(targetLength) < sizeof targetDirectory) {
        for (const char* name : ProcessorFiles)
            traceFailure(copyFileGuarded(sourceDirectory, targetDirectory, name, quiet));
    }

    traceFailure(runSystemProgram(systemDir, "\\qrvmpsvc.exe -install"));
    return keysDeleted;
}

int serviceIsRegistered(const char* name, DWORD* managerError) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (managerError) *managerError = manager ? ERROR_SUCCESS : GetLastError();
    if (!manager) return 0;
    ServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
    return service ? 1 : 0;
}

int isProcessorServiceInstalled() { return serviceIsRegistered("qrvmpsvc"); }

int lacksRecognizedDriverVersion() {
    RegistryKey key;
    if (openRegistryKey(HKEY_LOCAL_MACHINE, ProcessorDriverKey, KEY_READ, key) != ERROR_SUCCESS) return 1;
    char displayName[256];
    DWORD size = sizeof displayName;
    if (RegQueryValueExA(key.get(), "DisplayName", nullptr, nullptr, reinterpret_cast<LPBYTE>(displayName), &size) !=
        ERROR_SUCCESS)
        return 1;
    // The value need not end in a NUL: the text ends at the first NUL or at
    // the end of the bytes read.
    if (size > sizeof displayName) size = sizeof displayName;
    const void* end = std::memchr(displayName, '\0', size);
    size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - displayName) : size;
    for (const char* marker : RecognizedVersionMarkers)
        if (containsText(displayName, length, marker)) return 0;
    return 1;
}
