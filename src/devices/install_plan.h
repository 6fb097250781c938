// The driver installation plan: binds every detected device in a fixed order.
#pragma once

// Reads DetectionState and systemDir; sets installFailed and
// restartRequired.
void bindPresentDevices();

// The restart indication of the run, passed to every binding. It is not
// reset between bindings; each phase clears it at its start, together with
// installFailed and restartRequired.
extern int restartIndication;
