// The command line, the run modes and the media root.
#pragma once

#include "setup/outcome.h"
#include "setup/run_state.h"

// Reads the options at index 1 to argc - 1 into run, upper-casing each in
// place. False when an invalid force code ends the run.
bool parseOptions(int argc, char** argv, RunState& run);

// Whether the service "mpsetup" is registered and may be opened with full
// access. Notes in run when the service control manager refuses full access.
bool setupServiceExists(RunState& run);

// Derives the media root from the program's own path.
void deriveSourceDir(const char* programPath, char (&sourceDir)[SourceDirSize]);

// The whole program: options, run mode, then one of the two phases.
ExitCode setupMain(int argc, char** argv);
