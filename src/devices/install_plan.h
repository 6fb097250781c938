// The driver installation plan: binds every detected device in a fixed order.
#pragma once

enum PlanVariant { FirstPhaseVariant = 1, SecondPhaseVariant = 2 };

// Reads DetectionState and systemDir; sets installFailed and
// restartRequired.
void bindPresentDevices(PlanVariant variant);

// The restart indication of the run, passed to every binding. It is not
// reset between bindings; each phase clears it at its start, together with
// installFailed and restartRequired.
extern int restartIndication;
void clearRestartIndication();
