// Names of host directories looked up without regard to case, as Windows
// compares them.
#pragma once

#include <sys/stat.h>

#include <string>

namespace sim {

// The first entry of the host directory `dir` (whose stat is `dirStat`, or
// which is looked at when none is given) whose name equals `name` without
// regard to case, or empty.
std::string entryNoCase(const std::string& dir, const struct stat& dirStat, const std::string& name);
std::string entryNoCase(const std::string& dir, const std::string& name);

// Whether the names of `dir` as last read, with the changes seen since,
// hold none equal to `name` without regard to case: a hint, taken without
// looking at the host, that entryNoCase (which takes the changes and looks
// at the directory itself) will find nothing.
bool listedWithout(const std::string& dir, const std::string& name);

}  // namespace sim
