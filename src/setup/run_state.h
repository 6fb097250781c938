// The shared values of one run of the installer.
#pragma once

#include "platform/path_buffer.h"

// Set by /X, /Q and /H and by the service phase: ask nothing and do not wait
// for a key at the end.
extern int quietMode;

// Root of the installation media, derived from the program's own path.
extern char sourceDir[260];

// The Windows system directory and the root of the staging tree below it.
extern char systemDir[PathBufferSize];
extern char stagingDir[PathBufferSize];

// Outcome flags of an installation run: 0 at the start of a phase and only
// ever set to 1.
extern int installFailed;
extern int restartRequired;

// Set when the service control manager refused this run its full access:
// the account is not an administrator, and the first phase changes nothing.
extern int managerAccessDenied;

// The service that runs the second phase after a restart.
#define SETUP_SERVICE_NAME "mpsetup"

// Puts every shared value back to its state at process start (for tests
// that run several phases in one process).
void resetRunState();
