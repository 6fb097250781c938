// The command line, the run modes and the source directory.
#pragma once

// Flags of the first phase, 0 at start and only ever set to 1.
extern int unattendedMode;  // /X: schedule the second phase as a service
extern int resumeMode;      // /R: the run after a restart
extern int delegateMode;    // /H: leave the work to the legacy setup program

// Reads the options at index 1 to argc - 1, upper-casing each in place.
// Returns 0 when an invalid force code ends the run, else 1.
int parseOptions(int argc, char** argv);

// 1 when the service "mpsetup" is registered and may be opened with full
// access, else 0. Sets managerAccessDenied when the service control manager
// refuses full access.
int setupServiceExists();

// Derives sourceDir from the program's own path.
void deriveSourceDir(const char* programPath);

// The whole program: options, run mode, then one of the two phases.
// Returns the process exit code.
int setupMain(int argc, char** argv);
