// Reading and walking the hardware-id property of the devices of a set, as
// detection and the removal of a device by id both do it.
#pragma once

#include <cstddef>

#include "platform/owned.h"
#include "platform/win_devices.h"

// Reads the SPDRP_HARDWAREID property of one device into `property`, a
// zero-filled heap block that is replaced by a larger one whenever the Setup
// API asks for more; *propertySize is passed as the block's size and
// receives the size reported. The block is kept for the next device.
// On any failure but a device without ids (ERROR_INVALID_DATA) the error
// stays the thread's last error and the walk over the set ends.
enum HardwareIdsRead { HardwareIdsFound, NoHardwareIds, HardwareIdsUnreadable };
HardwareIdsRead readHardwareIds(HDEVINFO devices, SP_DEVINFO_DATA* device, LocalBlock& property,
                                DWORD* propertySize);

// Calls visit for each id string of a property of `size` bytes, in order,
// until visit answers true; true when one did. A property
// whose first character is NUL holds no id; every string must start inside
// the size; an empty string ends the list. `len` excludes the terminator
// (a string cut off by the size ends there).
bool walkHardwareIds(const char* ids, DWORD size, bool (*visit)(const char* id, size_t len, void* context),
                     void* context);
