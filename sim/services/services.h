// The simulated service control manager: services are the keys below
// SYSTEM\CurrentControlSet\Services that carry a Type value, as Windows keeps
// them.
#pragma once

#include <string>

#include "sim/core/machine.h"

namespace sim {

extern const char* const ServicesRoot;

// The registry key of a service, or null when no such service exists.
RegKey* serviceKey(const std::string& name);

// The manager's database (see Machine::serviceDatabase): loaded from the
// registry at the machine's start. A machine that has not started the
// manager yet (a fresh description, a unit test's machine) loads it at the
// first use of the manager or at the first change of the registry, so that
// a key deleted behind the manager's back stays a service until the next
// start.
void loadServiceDatabase();
void ensureServiceDatabase();
// The service's name as the database keeps it, or empty when the manager
// knows no such service.
std::string knownService(const std::string& name);
// Adds or updates a service the manager registers itself (CreateServiceA,
// an INF's AddService).
void registerService(const std::string& name, const std::string& displayName);

// Removes a service marked for deletion once it is stopped and no handle of
// it is open.
void removeServiceIfUnused(const std::string& name);
bool serviceHandleOpenFor(const std::string& name);

}  // namespace sim
