// The services of the simulated machine: the keys below
// SYSTEM\CurrentControlSet\Services that carry a Type value, as Windows
// keeps them, and the service control manager's database of them (see
// Machine::serviceDatabase), which the manager answers from.
#pragma once

#include <string>

#include "sim/core/machine.h"

namespace sim {

// The registry key of a service, or null when no such service exists.
RegKey* serviceKey(const std::string& name);

// The service's name as the manager's database keeps it, or empty when the
// manager knows no such service.
std::string knownService(const std::string& name);
// Adds or updates a service the manager registers itself (CreateServiceA,
// an INF's AddService).
void registerService(const std::string& name, const std::string& displayName);

// Removes a service marked for deletion once it is stopped and no handle of
// it is open.
void removeServiceIfUnused(const std::string& name);
bool serviceHandleOpenFor(const std::string& name);

}  // namespace sim
