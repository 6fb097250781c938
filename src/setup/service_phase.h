// The second phase, run as the one-shot service "mpsetup" after a restart.
#pragma once

#include "platform/win_services.h"

void WINAPI serviceMain(DWORD argc, LPSTR* argv);

// Writes an error entry to the event log under the source "mpsetup": the
// text "mpsetup error: <last error>", then `text`.
void reportServiceError(const char* text);
