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

// Keeps the path of `dir`, whose names entryNoCase has read, known to name
// the same directory for as long as no directory from `root` (the drive's
// root, an absolute host path) down to it is made, removed or moved: each
// of them is watched. What happens above the drive's root is not seen.
void anchorListing(const std::string& dir, const std::string& root);

// A directory that this process has just made: where its parent's names are
// anchored, its own are read and anchored at once.
void noteDirectoryMade(const std::string& dir);

// Whether the names of `dir` are known without looking at the host: its
// listing is current (with the changes seen since), and anchored. Then the
// entry equal to `name` without regard to case (or empty) is in `entry`.
bool knownEntry(const std::string& dir, const std::string& name, std::string& entry);

}  // namespace sim
