// The system directory and the staging tree below it, as both phases take
// them.
#pragma once

#include "base/result.h"
#include "base/run_directories.h"

// Fetches the system directory and forms the staging tree below it. Fails,
// with nothing kept, when Windows cannot give the directory or it is not
// shorter than MAX_PATH: every path the run builds below it must fit.
Result fetchSystemDirectory(RunDirectories& directories);
