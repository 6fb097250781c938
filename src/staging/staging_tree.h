// The staging tree under the system's drivers directory.
#pragma once

// Creates the staging tree and copies the media into it. Always 0.
int stageMediaFiles();

// Copies QRVMPREM.EXE and QRVMPSVC.EXE from the staging tree into the
// system directory. Always 0.
int refreshServicePrograms();
