// Removal and reinstallation of earlier software, and the probes of the
// processor service and driver.
#pragma once

#include "base/run_directories.h"
#include "messages/messages.h"

// The earlier software's own programs remove it, the processor service
// program comes back from the staging tree and installs itself again.
// True when service keys of the restart feature were deleted: the machine
// must restart.
bool removeEarlierSoftware(const Catalogue& messages, const RunDirectories& directories, bool quiet);

// What the service control manager says of a service, asked with full access.
enum ServiceProbe {
    ServiceRegistered,
    ServiceNotRegistered,  // or not to be opened with full access
    // The manager itself refused full access: the account is no
    // administrator, and every change to the machine would be refused too.
    ServiceManagerDenied,
};
ServiceProbe probeService(const char* name);

// Whether the processor service "qrvmpsvc" is registered.
bool isProcessorServiceInstalled();

// Whether the processor driver is missing or carries no recognised version
// in its display name: the old driver must then go before the new one.
bool lacksRecognizedDriverVersion();
