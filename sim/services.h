// The simulated service control manager: services are the keys below
// SYSTEM\CurrentControlSet\Services that carry a Type value, as Windows keeps
// them.
#pragma once

#include <string>

#include "machine.h"

namespace sim {

extern const char* const ServicesRoot;

// The registry key of a service, or null when no such service exists.
RegKey* serviceKey(const std::string& name);

// Removes a service marked for deletion once it is stopped and no handle of
// it is open.
void removeServiceIfUnused(const std::string& name);
bool serviceHandleOpenFor(const std::string& name);

}  // namespace sim
