// The command line, the run modes and the media root.
#pragma once

#include "setup/run_state.h"

// Reads the options at index 1 to argc - 1 into run, upper-casing each in
// place. Returns 0 when an invalid force code ends the run, else 1.
int parseOptions(int argc, char** argv, RunState& run);

// 1 when the service "mpsetup" is registered and may be opened with full
// access, else 0. Notes in run when the service control manager refuses
// full access.
int setupServiceExists(RunState& run);

// Derives the media root from the program's own path.
void deriveSourceDir(const char* programPath, char (&sourceDir)[SourceDirSize]);

// The whole program: options, run mode, then one of the two phases.
// Returns the process exit code.
int setupMain(int argc, char** argv);
