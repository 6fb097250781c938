// The staging tree under the system's drivers directory.
#pragma once

#include <initializer_list>

#include "base/run_directories.h"
#include "messages/messages.h"

// Creates the staging tree and copies the media into it; quiet copies
// replace an older file without asking. A file that is missing or cannot be
// copied is passed over.
void stageMediaFiles(const Catalogue& messages, const RunDirectories& directories, bool quiet);

// Copies the named files, in order, from the staging tree's program folder
// into the system directory, passing over what cannot be copied.
void copyStagedFilesToSystem(const Catalogue& messages, const RunDirectories& directories,
                             std::initializer_list<const char*> names, bool quiet);

// Copies the service programs, QRVMPREM.EXE and QRVMPSVC.EXE, back into the
// system directory after a program of the family removed them.
void refreshServicePrograms(const Catalogue& messages, const RunDirectories& directories, bool quiet);
