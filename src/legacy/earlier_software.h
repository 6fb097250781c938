// Removal and reinstallation of earlier software.
#pragma once

// Nonzero when service keys of the restart feature were deleted.
int removeEarlierSoftware();
int isProcessorServiceInstalled();

// 1 when the service is registered and may be opened with full access (a run
// without the rights to open the service control manager so sees none).
int serviceIsRegistered(const char* name);
int lacksRecognizedDriverVersion();
