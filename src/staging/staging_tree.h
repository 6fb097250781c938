// The staging tree under the system's drivers directory.
#pragma once

#include "base/run_directories.h"

// Creates the staging tree and copies the media into it; quiet copies
// replace an older file without asking. Always 0.
int stageMediaFiles(const RunDirectories& directories, int quiet);

// Copies QRVMPREM.EXE and QRVMPSVC.EXE from the staging tree into the
// system directory. Always 0.
int refreshServicePrograms(const RunDirectories& directories, int quiet);
