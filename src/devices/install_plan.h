// The driver installation plan: binds every detected device in a fixed order.
#pragma once

#include "base/run_directories.h"
#include "devices/device_table.h"
#include "messages/messages.h"

// What the plan's bindings came to. The flow combines it with its own steps.
struct BindingOutcome {
    bool failed;           // a binding, the temporary root device or the service program's install run failed
    bool restartRequired;  // a binding asked for a restart
};

// Called before each step of the plan that may take a while: a binding, the
// temporary root device made or removed, the processor service program's
// install run. The service phase reports its progress there.
using PlanStepHook = void (*)();

// Binds the devices that detection marked present from the INF files of the
// staging tree, and runs the processor service program from the system
// directory. Both phases take the same steps.
BindingOutcome bindPresentDevices(const Catalogue& messages, const DetectionStateRecord& detection,
                                  const RunDirectories& directories, PlanStepHook beforeStep = nullptr);
