// How Windows names a device's interfaces: the HID interface class and the
// path of a device's HID interface, which the Setup API lists and
// CreateFileA opens.
#pragma once

#include <cstring>
#include <string>

#include "platform/win_base.h"
#include "sim/core/machine.h"

namespace sim {

inline bool sameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The HID interface class (what HidD_GetHidGuid gives).
const GUID& hidGuid();

// The HID interface path of a device ("\\?\hid#vid_...#...#{guid}").
std::string hidInterfacePath(const Device& d);

}  // namespace sim
