// Scheduling of the second phase after a restart.
#pragma once

// 1 when the service "mpsetup" exists afterwards, else 0.
int createSecondPhaseService();
// 0 on success, 122 on failure (message 56 printed).
int setSecondPhaseRunOnce();
