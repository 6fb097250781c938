// Starting the family's programs that lie in the system directory.
#pragma once

#include "base/result.h"
#include "platform/win_process.h"

// The start-up information of this process, as a program started from it
// gets it: without the reserved parts, and with the window flags and the
// way to show its window given here.
void inheritStartupInfo(STARTUPINFOA* startup, DWORD flags, WORD showWindow);

// Starts systemDir + tail hidden in a console of its own and waits for it.
// Succeeds when it was started (and has ended); its exit code is not
// looked at.
Result runSystemProgram(const char* systemDir, const char* commandTail);
