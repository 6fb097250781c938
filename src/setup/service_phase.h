// The second phase, run as the one-shot service "mpsetup" after a restart.
#pragma once

#include "devices/install_plan.h"
#include "platform/win_services.h"
#include "setup/outcome.h"
#include "setup/run_state.h"

// The service's entry in the dispatch table.
void WINAPI serviceMain(DWORD argc, LPSTR* argv);

// The second-phase installation on a fresh run state (run is reset first
// and keeps what the phase found), with the built-in catalogue and quiet.
// beforeStep is called before each step of the driver installation plan.
ExitCode installSecondPhase(RunState& run, PlanStepHook beforeStep = nullptr);

// Writes an error entry to the event log under the source "mpsetup": the
// text "mpsetup error: <last error>", then `text`.
void reportServiceError(const char* text);
