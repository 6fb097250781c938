// Scheduling of the second phase after a restart.
#pragma once

#include "base/result.h"

// Registers the one-shot service "mpsetup" that runs the staged installer
// at the next start; a service of that name that is already there counts.
Result createSecondPhaseService();

// Writes the RunOnce value "Setup" that runs the staged installer with -R at
// the next logon.
Result setSecondPhaseRunOnce();
