// The process token of the simulated machine: the security identifiers of
// the process's account, and its privileges (token.cpp keeps which of them
// are enabled; ExitWindowsEx asks for the shutdown privilege).
#pragma once

#include <string>
#include <vector>

namespace sim {

// Security identifiers of the calling process's account, user first.
std::vector<std::string> tokenSids();

}  // namespace sim
