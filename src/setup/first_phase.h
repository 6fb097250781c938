// The interactive first phase, from the banner to the exit code.
#pragma once

#include "setup/outcome.h"
#include "setup/run_state.h"

// Runs after the options and the media root.
ExitCode runFirstPhase(RunState& run);
