// Built-in machines: a plain Windows 2000 server and variants of it that
// carry the devices and earlier software of each installation branch.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/core/machine.h"

namespace sim {

// A Windows 2000 server with no device or software of the product family:
// drive C: below the machine's folder, drive D: the installation media.
Machine baseMachine(const std::string& mediaDir);

// Name and one-line description of every preset.
std::vector<std::pair<std::string, std::string>> presetList();

// Builds a preset; false for an unknown name.
bool makePreset(const std::string& name, const std::string& mediaDir, Machine& m);

// A device with its instance id, setup class, ids and description; present
// and without a driver.
Device plainDevice(const std::string& instance, const std::string& cls, const std::string& guid,
                   std::vector<std::string> ids, const std::string& description);

// A service key below SYSTEM\CurrentControlSet\Services with its Type,
// Start, ErrorControl, ImagePath and DisplayName values.
void addService(Machine& m, const std::string& name, uint32_t type, uint32_t start, const std::string& image,
                const std::string& display);

// Devices of the product family, as Windows enumerates them.
Device newerAdapter();
Device olderAdapter();
Device childFunction(int n, const std::string& parent);
Device onboardProcessor(const std::string& id, int instance);
Device usbManagementDevice();

}  // namespace sim
