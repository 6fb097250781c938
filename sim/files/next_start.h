// Files that wait for the next start of Windows: a new file that cannot
// take the place of one in use yet is written beside it, for the session
// manager to put in its place early in the next start (the list of such
// operations is sim/core/pending_renames.h).
#pragma once

#include <string>
#include <vector>

#include "sim/files/paths.h"

namespace sim {

// Copies a host file beside an existing target, in the target's folder
// under a temporary name (SET<n>.tmp, the first number not taken), and
// records the replacement of the target by it for the next start, as the
// Setup API's file queue does with a file in use. False with a Windows
// error when the copy cannot be written.
bool replaceAtNextStart(const std::string& sourceHost, const ResolvedPath& target, unsigned long& error);

// The session manager's part of a start: carries out the pending
// replacements and deletions in their order (one whose source is gone is
// passed over, as Windows passes it over), then deletes the list. A file
// replaced or deleted so is no longer in use: what held it held the file
// that is gone. Returns a line for each operation.
std::vector<std::string> carryOutPendingFileRenames();

}  // namespace sim
