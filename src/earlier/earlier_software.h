// Removal and reinstallation of earlier software.
#pragma once

#include "base/run_directories.h"
#include "platform/win_base.h"

// The earlier software's own programs remove it, the processor service
// program comes back from the staging tree and installs itself again.
// Nonzero when service keys of the restart feature were deleted.
int removeEarlierSoftware(const RunDirectories& directories, int quiet);
int isProcessorServiceInstalled();

// 1 when the service is registered and may be opened with full access (a run
// without the rights to open the service control manager so sees none).
// When the manager cannot be opened, its error goes to *managerError (0
// otherwise), if given.
int serviceIsRegistered(const char* name, DWORD* managerError = nullptr);
int lacksRecognizedDriverVersion();
