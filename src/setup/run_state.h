// What one run of the installer knows: its options, its directories, what
// detection found and its message catalogue. The flow owns one and hands
// the lower layers the parts they need.
#pragma once

#include "base/run_directories.h"
#include "devices/device_table.h"
#include "messages/messages.h"

// The service that runs the second phase after a restart.
#define SETUP_SERVICE_NAME "mpsetup"

struct RunState {
    bool quietMode;       // /X, /Q, /H and the service phase: ask nothing, wait for no key
    bool unattendedMode;  // /X: schedule the second phase as a service
    bool resumeMode;      // /R: the run after a restart
    bool delegateMode;    // /H: leave the work to the legacy setup program
    // The service control manager refused this run its full access: the
    // account is not an administrator, and the first phase changes nothing.
    bool managerAccessDenied;
    RunDirectories directories;
    DetectionStateRecord detection;
    Catalogue messages;
};
