// The replacements and deletions of files that wait for the next start of
// Windows, kept where Windows keeps them: the REG_MULTI_SZ value
// PendingFileRenameOperations of the session manager's key, pairs of texts
// "\??\C:\...\source" and "!\??\C:\...\target" (the "!" replaces a target
// that exists; an empty target deletes the source). The session manager
// carries them out in their order early in the next start, before any
// service or driver runs, and deletes the value.
#pragma once

#include <string>
#include <vector>

#include "sim/core/machine.h"

namespace sim {

extern const char* const SessionManagerKey;    // "SYSTEM\\CurrentControlSet\\Control\\Session Manager"
extern const char* const PendingRenamesValue;  // "PendingFileRenameOperations"

struct PendingRename {
    std::string source;  // Windows path, without the "\??\" of the value
    std::string target;  // Windows path; empty: the source is deleted
    bool replace = false;  // "!": an existing target is replaced
};

// The pairs in their order; an empty list when there is no value (or it is
// not a list of texts).
std::vector<PendingRename> pendingFileRenames(const Machine& m);

// Appends a pair to the value, as MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT
// does (MOVEFILE_REPLACE_EXISTING gives the "!").
void addPendingFileRename(Machine& m, const PendingRename& rename);

// Deletes the value, as the session manager does once it has carried it out.
void clearPendingFileRenames(Machine& m);

}  // namespace sim
