// The interactive first phase, from the banner to the exit code.
#pragma once

// Runs after the options and sourceDir; returns the process exit code.
int runFirstPhase();
