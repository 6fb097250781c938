// The second phase, run as the one-shot service "mpsetup" after a restart.
#pragma once

#include "platform/win_services.h"
#include "setup/run_state.h"

extern SERVICE_STATUS_HANDLE serviceStatusHandle;

void WINAPI serviceMain(DWORD argc, LPSTR* argv);
void WINAPI serviceControlHandler(DWORD control);

// The second-phase installation on a fresh run state (run is reset first
// and keeps what the phase found): 0 complete, 1 complete with a restart
// needed, 2 failed.
int installSecondPhase(RunState& run);

// Writes an error entry to the event log under the source "mpsetup": the
// text "mpsetup error: <last error>", then `text`.
void reportServiceError(const char* text);
