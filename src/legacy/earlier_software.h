// Removal and reinstallation of earlier software.
#pragma once

// Nonzero when service keys of the restart feature were deleted.
int removeEarlierSoftware();
int isProcessorServiceInstalled();
int lacksRecognizedDriverVersion();
