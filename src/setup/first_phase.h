// The interactive first phase, from the banner to the exit code.
#pragma once

#include "setup/run_state.h"

// Runs after the options and the media root; returns the process exit code.
int runFirstPhase(RunState& run);
