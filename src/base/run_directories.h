// The directories of one run: where the media lies, the Windows system
// directory and the staging tree below it. The flow fills them in once per
// phase and hands them down to each layer that builds a path.
#pragma once

#include "base/path_buffer.h"

// The media root as derived from the program's own path: _splitpath's drive
// and directory parts, cut to the size of a Windows path.
constexpr std::size_t SourceDirSize = 260;

// The staging tree, below the system directory.
constexpr char StagingTreeBelowSystem[] = "\\drivers\\korpa";

// The folder that holds the program and the driver package, below the media
// root and below the staging tree alike.
constexpr char ProgramFolder[] = "\\win2000\\";

struct RunDirectories {
    char source[SourceDirSize];
    char system[PathBufferSize];
    char staging[PathBufferSize];
};

// The staging tree below the system directory already fetched; false when
// it does not fit.
inline bool formStagingDir(RunDirectories& directories) {
    return joinPath(directories.staging, directories.system, StagingTreeBelowSystem);
}
