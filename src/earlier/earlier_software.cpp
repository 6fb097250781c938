// Removal of earlier software with its own programs, reinstallation of the
// processor service program, and the probes of the processor service and
// driver.
#include "earlier/earlier_software.h"

#include <cstring>

#include "base/text_search.h"
#include "earlier/service_keys.h"
#include "messages/trace.h"
#include "platform/owned.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"
#include "programs/family_programs.h"
#include "staging/staging_tree.h"

namespace {

const char ProcessorDriverKey[] = "SYSTEM\\CurrentControlSet\\Services\\qrvmpw\\";

// Room for the driver's display name; a longer one cannot be read.
const DWORD DisplayNameSize = 256;

// Display name markers of the recognised processor driver versions, in the
// order in which they are tested.
const char* const RecognizedVersionMarkers[] = {
    "QRV (Version 9.", "QRV (Version 8.", "QRV (Version 7.",
    "QRV (Version 6.", "QRV (Version 5.", "QRV (Version 4.99",
};

}  // namespace

bool removeEarlierSoftware(const Catalogue& messages, const RunDirectories& directories, bool quiet) {
    const char* systemDir = directories.system;
    if (traceFailure(runSystemProgram(systemDir, "\\qrvrvosv.exe -remove")).ok())
        refreshServicePrograms(messages, directories, quiet);
    bool keysDeleted = removeRestartFeatureServiceKeys();
    if (traceFailure(runSystemProgram(systemDir, "\\qrvmpsvc.exe -remove")).ok())
        refreshServicePrograms(messages, directories, quiet);
    copyStagedFilesToSystem(messages, directories, {"QRVMPW.DLL", "QRVMPREM.EXE", "QRVMPSVC.EXE"}, quiet);
    traceFailure(runSystemProgram(systemDir, "\\qrvmpsvc.exe -install"));
    return keysDeleted;
}

ServiceProbe probeService(const char* name) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return GetLastError() == ERROR_ACCESS_DENIED ? ServiceManagerDenied : ServiceNotRegistered;
    ServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS));
    return service ? ServiceRegistered : ServiceNotRegistered;
}

bool isProcessorServiceInstalled() { return probeService("qrvmpsvc") == ServiceRegistered; }

bool lacksRecognizedDriverVersion() {
    RegistryKey key;
    if (openRegistryKey(HKEY_LOCAL_MACHINE, ProcessorDriverKey, KEY_READ, key) != ERROR_SUCCESS) return true;
    char displayName[DisplayNameSize];
    DWORD size = sizeof displayName;
    if (RegQueryValueExA(key.get(), "DisplayName", nullptr, nullptr, reinterpret_cast<LPBYTE>(displayName), &size) !=
        ERROR_SUCCESS)
        return true;
    // The value need not end in a NUL: the text ends at the first NUL or at
    // the end of the bytes read.
    if (size > sizeof displayName) size = sizeof displayName;
    const void* end = std::memchr(displayName, '\0', size);
    size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - displayName) : size;
    for (const char* marker : RecognizedVersionMarkers)
        if (containsText(displayName, length, marker)) return false;
    return true;
}
