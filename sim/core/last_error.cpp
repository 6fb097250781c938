// The last error of each thread of the simulated machine.
#include "platform/win_base.h"

static thread_local DWORD lastError = 0;

DWORD WINAPI GetLastError(void) { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }
