// Starting the family's programs that lie in the system directory.
#pragma once

#include "platform/win_process.h"

// The start-up information of this process, as a program started from it
// gets it: without the reserved parts, and with the window flags and the
// way to show its window given here.
void inheritStartupInfo(STARTUPINFOA* startup, DWORD flags, WORD showWindow);

// Starts systemDir + tail hidden in a console of its own and waits for it.
// Returns 1 when it was started (and has ended), 0 when it could not be
// started; the creation's error is then the thread's last error.
int runSystemProgram(const char* systemDir, const char* commandTail);
