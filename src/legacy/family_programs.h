// Starting the family's programs that lie in the system directory.
#pragma once

// Starts systemDir + tail hidden in a console of its own and waits for it.
// Returns 1 when it was started (and has ended), 0 when it could not be
// started; the creation's error is then the thread's last error.
int runSystemProgram(const char* commandTail);
